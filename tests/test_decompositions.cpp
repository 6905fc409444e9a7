// The library's own small decompositions (src/decompositions.cpp) against
// Eigen's: the nearest rotation by the polar iteration is the one of Eigen's
// SVD, and what has no nearest rotation is refused.
#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <random>

#include "decompositions.h"
#include "test_util.h"

namespace {

using Eigen::Matrix3d;

/// U·Vᵀ of Eigen's SVD of m (det m > 0, so that it is a rotation).
Matrix3d polarFactorBySvd(const Matrix3d& m) {
  const Eigen::JacobiSVD<Matrix3d> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  return svd.matrixU() * svd.matrixV().transpose();
}

::testing::AssertionResult IsRotationNear(const Matrix3d& r, const Matrix3d& expected, double tolerance) {
  const double orthogonality = (r.transpose() * r - Matrix3d::Identity()).norm();
  if (!(orthogonality <= 1e-14))
    return ::testing::AssertionFailure() << "|RᵀR − I| = " << orthogonality << " for\n" << r;
  if (!(r.determinant() > 0.0)) return ::testing::AssertionFailure() << "det = " << r.determinant();
  const double gap = (r - expected).norm();
  if (!(gap <= tolerance))
    return ::testing::AssertionFailure() << "|R − U·Vᵀ| = " << gap << " (allowed " << tolerance << "):\n"
                                         << r << "\nagainst\n" << expected;
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(Decompositions, NearestRotationIsThePolarFactorOfEigensSvd) {
  std::mt19937 rng(41);
  std::normal_distribution<double> normal;
  const Matrix3d turn = Eigen::AngleAxisd(2.1, Eigen::Vector3d(1, -2, 0.5).normalized()).toRotationMatrix();
  Matrix3d noise;
  for (int i = 0; i < 9; ++i) noise(i) = normal(rng);
  // The tolerance grows with the conditioning: the polar factor moves by
  // about ε·|M|/σ_min however it is computed.
  const struct { const char* name; Matrix3d m; double tolerance; } cases[] = {
      {"a rotation", turn, 1e-15},
      {"a rotation times 1e-6", 1e-6 * turn, 1e-15},
      {"a rotation times 1e6", 1e6 * turn, 1e-15},
      {"a rotation with noise of 1e-3", turn + 1e-3 * noise, 1e-14},
      {"a rotation with noise of 0.3", turn + 0.3 * noise, 1e-14},
      {"stretched 1e4 along one axis", turn * Eigen::Vector3d(1e4, 1.0, 2.0).asDiagonal(), 1e-11},
      {"squeezed to 1e-5 across one axis", turn * Eigen::Vector3d(1.0, 1e-5, 1.0).asDiagonal(), 1e-10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.m.determinant(), 0.0);
    Matrix3d r;
    ASSERT_TRUE(Zem::linalg::nearestRotation(c.m, &r));
    EXPECT_TRUE(IsRotationNear(r, polarFactorBySvd(c.m), c.tolerance));
  }
}

TEST(Decompositions, NearestRotationRefusesMatricesWithoutOne) {
  const Matrix3d turn = Eigen::AngleAxisd(0.7, Eigen::Vector3d(0, 1, 1).normalized()).toRotationMatrix();
  Matrix3d flat = turn;
  flat.col(2) = flat.col(0) + flat.col(1);
  const struct { const char* name; Matrix3d m; } cases[] = {
      {"a reflection", turn * Eigen::Vector3d(1, 1, -1).asDiagonal()},
      {"rank 2", flat},
      {"zero", Matrix3d::Zero()},
      {"not finite", turn * std::numeric_limits<double>::quiet_NaN()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix3d before = Matrix3d::Constant(7.0);
    Matrix3d r = before;
    EXPECT_FALSE(Zem::linalg::nearestRotation(c.m, &r));
    EXPECT_EQ(r, before);
  }
}

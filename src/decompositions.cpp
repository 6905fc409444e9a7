#include "decompositions.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/SVD>
#include <cmath>
#include <limits>

namespace Zem {
namespace linalg {

Svd3 svd(const Eigen::Matrix3d& m) {
  const Eigen::JacobiSVD<Eigen::Matrix3d> s(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  return {s.matrixU(), s.matrixV(), s.singularValues()};
}

bool nearestRotation(const Eigen::Matrix3d& m, Eigen::Matrix3d* r) {
  // Quadratic convergence: from a matrix a few percent from orthogonal the
  // steps fall below rounding in four or five iterations; sixteen allow for
  // a condition number of about 1e6 (the scaling γ gains a factor of about
  // two hundred per step far from convergence).
  constexpr int kIterations = 16;
  constexpr double kSettled = 16.0 * std::numeric_limits<double>::epsilon();  // of ‖R‖ = √3
  if (!(m.determinant() > 0.0)) return false;
  Eigen::Matrix3d x = m;
  bool scaled = true;
  for (int k = 0; k < kIterations; ++k) {
    const Eigen::Matrix3d inverse = x.inverse();
    const double gamma = scaled ? std::sqrt(std::sqrt(inverse.squaredNorm() / x.squaredNorm())) : 1.0;
    const Eigen::Matrix3d next = 0.5 * (gamma * x + inverse.transpose() / gamma);
    const double change = (next - x).squaredNorm();
    x = next;
    // Near convergence γ is 1 to rounding: no longer worth its two roots.
    scaled = change > 1e-4;
    if (!(change > 3.0 * kSettled * kSettled)) {
      if (!x.allFinite()) return false;
      *r = x;
      return true;
    }
  }
  return false;
}

void symmetricEigen(const Eigen::Matrix3d& a, Eigen::Vector3d* values, Eigen::Matrix3d* vectors) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(a);
  *values = eigen.eigenvalues();
  *vectors = eigen.eigenvectors();
}

void symmetricEigen(const SmallMatrix& a, SmallVector* values, SmallMatrix* vectors) {
  const Eigen::SelfAdjointEigenSolver<SmallMatrix> eigen(a, vectors ? Eigen::ComputeEigenvectors
                                                                     : Eigen::EigenvaluesOnly);
  *values = eigen.eigenvalues();
  if (vectors) *vectors = eigen.eigenvectors();
}

LdltSolution solveLdlt(const SmallMatrix& a, const SmallVector& b) {
  const Eigen::LDLT<SmallMatrix> ldlt(a);
  LdltSolution out;
  out.semiDefinite = ldlt.info() == Eigen::Success && ldlt.isPositive();
  out.smallestPivot = a.rows() > 0 ? ldlt.vectorD().minCoeff() : 0.0;
  out.x = ldlt.solve(b);
  return out;
}

}  // namespace linalg
}  // namespace Zem

// Line and plane fits: known elements back exactly, an SVD of the centred
// points as the independent reference, orientation rules, degenerate sets.
#include <Eigen/SVD>
#include <algorithm>

#include "test_features_util.h"

using namespace Zem;
using namespace Zem::test;

namespace {

Points linePoints(const Pose& pose, int n) {
  Points points;
  for (int i = 0; i < n; ++i) points.push_back(pose.at(0, 0, -50.0 + 100.0 * i / (n - 1)));
  return points;
}

/// A 100 x 60 grid in the (u, v) plane, listed so that its first three
/// points turn right-handed about +w.
Points planePoints(const Pose& pose) {
  Points points;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) points.push_back(pose.at(-50.0 + 25.0 * i, -30.0 + 20.0 * j, 0.0));
  std::swap(points[1], points[4]);  // p0 (-50,-30), p1 (-25,-30), p2 (-50,-10): +w
  return points;
}


/// Points of a 100 x 60 face (or a 100 mm line) with 0.01 mm of noise.
Points randomOn(bool isPlane, const Pose& pose, std::size_t n, std::mt19937* rng) {
  std::uniform_real_distribution<double> u(-50.0, 50.0), v(-30.0, 30.0);
  Points points;
  for (std::size_t i = 0; i < n; ++i) points.push_back(pose.at(u(*rng), isPlane ? v(*rng) : 0.0, 0.0));
  return noisy(points, 0.01, rng);
}

/// The largest gap between residuals and their expected values, named by point.
::testing::AssertionResult SameResiduals(const std::vector<double>& got, const std::vector<double>& expected,
                                         double tol) {
  if (got.size() != expected.size())
    return ::testing::AssertionFailure() << got.size() << " residuals, expected " << expected.size();
  std::size_t worst = 0;
  for (std::size_t i = 1; i < got.size(); ++i)
    if (std::fabs(got[i] - expected[i]) > std::fabs(got[worst] - expected[worst])) worst = i;
  if (got.empty() || std::fabs(got[worst] - expected[worst]) <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "point " << worst << ": residual " << got[worst] << " vs "
                                       << expected[worst] << " (tolerance " << tol << ")";
}

}  // namespace

TEST(FeatureLinePlane, NoiseFreeElementsComeBackExactlyFarFromTheOrigin) {
  std::mt19937 rng(21);
  for (const double distance : {0.0, 2000.0, 5000.0}) {
    SCOPED_TRACE("part " + std::to_string(distance) + " mm from the origin");
    const Pose pose = randomPose(&rng, distance);
    const LineFit line = fitLine(linePoints(pose, 11));
    ASSERT_TRUE(Succeeded(line));
    EXPECT_TRUE(SameVec(line.point, pose.center(), 1e-10));
    EXPECT_TRUE(SameDirection(line.direction, pose.axis(), 1e-10));
    EXPECT_LE(line.rms, 1e-10);
    const PlaneFit plane = fitPlane(planePoints(pose));
    ASSERT_TRUE(Succeeded(plane));
    EXPECT_TRUE(SameVec(plane.point, pose.center(), 1e-10));
    EXPECT_TRUE(SameDirection(plane.normal, pose.axis(), 1e-10));
    EXPECT_LE(plane.form, 1e-10);
  }
}

// Sets of more than 131,072 points are summed in chunks of 65,536 spread over
// the cores, with their last point of an odd count alone.
TEST(FeatureLinePlane, AgreeWithAnSvdOfTheCentredPoints) {
  struct Case {
    const char* name;
    bool isPlane;
    std::size_t count;
  };
  const Case cases[] = {
      {"plane of 20 points", true, 20},
      {"line of 1,025 points (residual buffers of 512, the last point alone)", false, 1025},
      {"plane of 200,001 points (chunks over threads)", true, 200001},
      {"line of 200,001 points (chunks over threads)", false, 200001},
  };
  std::mt19937 rng(5);
  const Pose pose = randomPose(&rng, 800.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Points points = randomOn(c.isPlane, pose, c.count, &rng);
    // The centroid summed in long double: a double sum of 200,001 points
    // 800 mm away is itself some 1e-12 mm off.
    long double sum[3] = {};
    for (const BaVec3d<double>& p : points) {
      sum[0] += p.x;
      sum[1] += p.y;
      sum[2] += p.z;
    }
    const long double count = points.size();
    Eigen::MatrixX3d centred(points.size(), 3);
    for (std::size_t i = 0; i < points.size(); ++i)
      centred.row(Eigen::Index(i)) << double(points[i].x - sum[0] / count), double(points[i].y - sum[1] / count),
          double(points[i].z - sum[2] / count);
    const Eigen::JacobiSVD<Eigen::MatrixX3d> svd(centred, Eigen::ComputeFullV);
    const Eigen::Vector3d reference = svd.matrixV().col(c.isPlane ? 2 : 0);
    const PlaneFit plane = fitPlane(points);
    const LineFit line = fitLine(points);
    const FeatureFit* fit = c.isPlane ? static_cast<const FeatureFit*>(&plane) : &line;
    const BaVec3d<double> direction = c.isPlane ? plane.normal : line.direction;
    ASSERT_TRUE(Succeeded(*fit));
    EXPECT_NEAR(std::fabs(eig(direction).dot(reference)), 1.0, 1e-14);
    std::vector<double> expected(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      const Eigen::Vector3d w = centred.row(Eigen::Index(i)).transpose();
      expected[i] = c.isPlane ? w.dot(eig(direction)) : w.cross(eig(direction)).norm();
    }
    EXPECT_TRUE(SameResiduals(fit->residuals, expected, 1e-12));
    const auto [lo, hi] = std::minmax_element(expected.begin(), expected.end());
    EXPECT_NEAR(fit->form, c.isPlane ? *hi - *lo : 2.0 * *hi, 1e-12);
    const double squares = svd.singularValues().tail(c.isPlane ? 1 : 2).squaredNorm();  // across the element
    EXPECT_NEAR(fit->rms, std::sqrt(squares / double(points.size())), 1e-14);
  }
}

// (Hints, and a plane's normal turning with its points: python/tests/test_features.py.)
TEST(FeatureLinePlane, OrientationFollowsThePointOrder) {
  std::mt19937 rng(8);
  const Pose pose = randomPose(&rng, 100.0);
  Points line = linePoints(pose, 5);  // in order it gives +w (tested above)
  std::reverse(line.begin(), line.end());
  EXPECT_TRUE(SameDirection(fitLine(line).direction, -pose.axis(), 1e-12));
  // First three points on one line: the turn of the whole sequence decides.
  const Points square = {pose.at(0, 0, 0), pose.at(1, 0, 0), pose.at(2, 0, 0), pose.at(2, 2, 0), pose.at(0, 2, 0)};
  EXPECT_TRUE(SameDirection(fitPlane(square).normal, pose.axis(), 1e-12));
  // A plane residual is positive on the side the normal points to.
  Points plane = planePoints(pose);
  plane.push_back(pose.at(0, 0, 0.5));
  EXPECT_GT(fitPlane(plane).residuals.back(), 0.0);
}

TEST(FeatureLinePlane, DegenerateSetsFailWithTheirReason) {
  const Points coincident(4, BaVec3d<double>(2000.0, 1.0, -3.0));
  const Points collinear = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}};
  const Points disc = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}};              // no line direction
  const Points cross = {{-9, 0, 0}, {9, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};  // no normal
  const Points withNan = {{0, 0, 0}, {1, 0, 0}, {0, std::nan(""), 0}};
  using F = FeatureFit;
  const Refused cases[] = {
      {"line of one point", fitLine(Points{{1, 2, 3}}), F::FEATURE_TOO_FEW_POINTS, F::DEGENERACY_NONE},
      {"plane of two points", fitPlane(Points{{1, 2, 3}, {4, 5, 6}}), F::FEATURE_TOO_FEW_POINTS, F::DEGENERACY_NONE},
      {"line of coinciding points", fitLine(coincident), F::FEATURE_DEGENERATE, F::DEGENERACY_COINCIDENT},
      {"plane of coinciding points", fitPlane(coincident), F::FEATURE_DEGENERATE, F::DEGENERACY_COINCIDENT},
      {"plane of collinear points", fitPlane(collinear), F::FEATURE_DEGENERATE, F::DEGENERACY_COLLINEAR},
      {"line through a disc", fitLine(disc), F::FEATURE_DEGENERATE, F::DEGENERACY_NO_DIRECTION},
      {"plane of a symmetric cross", fitPlane(cross), F::FEATURE_DEGENERATE, F::DEGENERACY_NO_NORMAL},
      {"plane with NaN", fitPlane(withNan), F::FEATURE_NOT_FINITE, F::DEGENERACY_NONE},
  };
  for (const Refused& c : cases) EXPECT_TRUE(FailsAsExpected(c));
}

// The decisions are relative to the points' own spread: a strip a million
// times longer than it is wide is a plane in mm, in metres and 5 km away.
TEST(FeatureLinePlane, DecisionsDoNotChangeWithUnitOrPosition) {
  const Points strip = {{0, 0, 0}, {100, 0, 0}, {0, 1e-4, 0}, {100, 1e-4, 0}, {50, 5e-5, 0}};
  for (const double unit : {1.0, 1e-3, 25.4})
    for (const double shift : {0.0, 5000.0}) {
      SCOPED_TRACE("unit " + std::to_string(unit) + ", shift " + std::to_string(shift));
      Points moved;
      for (const BaVec3d<double>& p : strip) moved.push_back((p + BaVec3d<double>(shift, -shift, shift)) * unit);
      const PlaneFit plane = fitPlane(moved);
      ASSERT_TRUE(Succeeded(plane));
      EXPECT_TRUE(SameDirection(plane.normal, BaVec3d<double>(0, 0, 1), 1e-6));
    }
}

TEST(FeatureLinePlane, EveryPointLayoutGivesTheSameBitsAndTheAlignmentTypes) {
  std::mt19937 rng(3);
  const Points points = noisy(planePoints(randomPose(&rng, 300.0)), 0.001, &rng);
  std::vector<BaPoint3d<double>> identified;
  std::vector<double> packed;
  for (const BaVec3d<double>& p : points) {
    identified.emplace_back(p, int(identified.size()) + 7);
    packed.insert(packed.end(), {p.x, p.y, p.z});
  }
  const PlaneFit a = fitPlane(points), b = fitPlane(identified);
  const PlaneFit c = fitPlane(FeaturePoints(packed.data(), points.size()));
  EXPECT_EQ(a.residuals, b.residuals);
  EXPECT_EQ(a.residuals, c.residuals);  // each residual is the normal times a point's offset: the same normal
  const Plane3d plane = a.toPlane3d();
  EXPECT_NEAR(plane.evaluate(points[3]), a.residuals[3], 1e-12);
  const LineFit line = fitLine(points);
  const BaVec3d<double> onLine = line.point + line.direction * 5.0;
  EXPECT_TRUE(SameVec(line.toLine3d().perpend(onLine), onLine, 1e-12));
}

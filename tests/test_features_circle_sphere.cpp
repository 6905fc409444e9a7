// Circle and sphere fits: known elements back exactly, far from the origin
// and over partial arcs; signs and orientation; degenerate sets. (Noisy fits
// against SciPy's minimum: python/tests/test_features.py.)
#include "test_features_util.h"

using namespace Zem;
using namespace Zem::test;

// Then one point 1 mm outside the circle (fitted with a hint against the
// points' turn) and one 1 mm inside the sphere.
TEST(FeatureCircleSphere, NoiseFreeElementsComeBackExactlyAndResidualsArePositiveOutside) {
  const struct { const char* name; double distance, radius, arcDegrees; } rows[] = {
      {"5 mm bore 2,000 mm away", 2000, 2.5, 360},
      {"20 degree arc 2,000 mm away", 2000, 50, 20},
      {"1,000 mm over 90 degrees at the origin", 0, 500, 90}};
  std::mt19937 rng(1);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Pose pose = randomPose(&rng, row.distance);
    Points arc = circlePoints(pose, row.radius, row.arcDegrees, 12);  // counter-clockwise about +w
    const CircleFit circle = fitCircle(arc);
    ASSERT_TRUE(Succeeded(circle));
    EXPECT_TRUE(SameVec(circle.center, pose.center(), 1e-10));
    EXPECT_NEAR(circle.radius, row.radius, 1e-10);
    EXPECT_TRUE(SameDirection(circle.normal, pose.axis(), 1e-10));
    arc.push_back(pose.at(row.radius + 1.0, 0.0, 0.0));
    const CircleFit wider = fitCircle(arc, -pose.axis());
    EXPECT_GT(wider.residuals.back(), 0.0);
    EXPECT_TRUE(SameDirection(wider.normal, -pose.axis(), 1e-9));
    const double innermost = *std::min_element(wider.residuals.begin(), wider.residuals.end());
    EXPECT_NEAR(wider.form, wider.residuals.back() - innermost, 1e-15);
    Points cap = spherePoints(pose, row.radius, std::min(row.arcDegrees, 180.0), 3, 8);
    const SphereFit sphere = fitSphere(cap);
    ASSERT_TRUE(Succeeded(sphere));
    EXPECT_TRUE(SameVec(sphere.center, pose.center(), 1e-10));
    EXPECT_NEAR(sphere.radius, row.radius, 1e-10);
    cap.push_back(pose.at(0.0, 0.0, row.radius - 1.0));
    EXPECT_LT(fitSphere(cap).residuals.back(), 0.0);
  }
}

TEST(FeatureCircleSphere, DegenerateSetsFailWithTheirReason) {
  std::mt19937 rng(6);
  const Pose pose = randomPose(&rng, 2000.0);
  const Points collinear = {pose.at(0, 0, 0), pose.at(1, 0, 0), pose.at(3, 0, 0), pose.at(7, 0, 0)};
  const Points oneCircle = circlePoints(pose, 5.0, 360, 9);
  const Points coincident(5, pose.at(1, 2, 3));
  Points withInf = oneCircle;
  withInf[4].z = HUGE_VAL;
  using F = FeatureFit;
  const Refused cases[] = {
      {"circle of two points", fitCircle(Points{{0, 0, 0}, {1, 0, 0}}), F::FEATURE_TOO_FEW_POINTS, F::DEGENERACY_NONE},
      {"sphere of three points", fitSphere(Points{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}), F::FEATURE_TOO_FEW_POINTS,
       F::DEGENERACY_NONE},
      {"circle of collinear points", fitCircle(collinear), F::FEATURE_DEGENERATE, F::DEGENERACY_COLLINEAR},
      {"sphere of collinear points", fitSphere(collinear), F::FEATURE_DEGENERATE, F::DEGENERACY_COLLINEAR},
      {"sphere of points on one circle", fitSphere(oneCircle), F::FEATURE_DEGENERATE, F::DEGENERACY_COPLANAR},
      {"circle of coinciding points", fitCircle(coincident), F::FEATURE_DEGENERATE, F::DEGENERACY_COINCIDENT},
      {"sphere with an infinite coordinate", fitSphere(withInf), F::FEATURE_NOT_FINITE, F::DEGENERACY_NONE},
  };
  for (const Refused& c : cases) EXPECT_TRUE(FailsAsExpected(c));
  // Three or four points fix a circle or sphere exactly: nothing degenerate.
  EXPECT_TRUE(Succeeded(fitCircle(Points(oneCircle.begin(), oneCircle.begin() + 3))));
  EXPECT_TRUE(Succeeded(fitSphere(spherePoints(pose, 5.0, 90, 1, 3))));
}

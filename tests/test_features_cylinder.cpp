// Cylinder fits: long and short, full and partial, with and without an axis
// hint; the sign of the residuals; degenerate sets. (Noisy fits against
// SciPy's minimum: python/tests/test_features.py.)
#include "test_features_util.h"

using namespace Zem;
using namespace Zem::test;

TEST(FeatureCylinder, NoiseFreeCylindersComeBackExactlyAndResidualsArePositiveOutside) {
  // Each cylinder 2,000 mm from the origin; then one point 1 mm outside it.
  const struct { const char* name; double radius, length, arcDegrees; bool hint; } rows[] = {
      {"long full pin, no hint", 3, 40, 360, false},
      {"long 90 degree patch, no hint", 50, 300, 90, false},
      {"short full bore, no hint", 20, 8, 360, false},
      {"short 90 degree patch with a rough hint", 20, 8, 90, true}};
  std::mt19937 rng(7);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Pose pose = randomPose(&rng, 2000.0);
    Points points = cylinderPoints(pose, row.radius, row.length, row.arcDegrees, 4, 9);
    const BaVec3d<double> hint = row.hint ? pose.axis() + BaVec3d<double>(0.1, -0.1, 0.05) : BaVec3d<double>();
    const CylinderFit fit = fitCylinder(points, hint);
    ASSERT_TRUE(Succeeded(fit));
    EXPECT_TRUE(SameDirection(fit.axis, pose.axis(), 1e-10));  // first point on the lowest ring
    EXPECT_NEAR(fit.radius, row.radius, 1e-10);
    EXPECT_TRUE(SameVec(fit.toLine3d().perpend(pose.center()), pose.center(), 1e-10));
    EXPECT_LE(fit.rms, 1e-10);
    points.push_back(vec(eig(fit.point) + (fit.radius + 1.0) * eig(fit.axis).unitOrthogonal()));
    EXPECT_GT(fitCylinder(points, fit.axis).residuals.back(), 0.0);
  }
}

TEST(FeatureCylinder, DegenerateSetsFailWithTheirReason) {
  std::mt19937 rng(10);
  const Pose pose = randomPose(&rng, 500.0);
  // Four distinct points (one of five repeated) lie on a whole family of cylinders.
  const Points fourPoints = {pose.at(0, 0, 0), pose.at(10, 0, 0), pose.at(0, 10, 0), pose.at(0, 0, 10),
                             pose.at(10, 0, 0)};
  const Points onTheAxis = {pose.at(0, 0, 0), pose.at(0, 0, 1), pose.at(0, 0, 2), pose.at(0, 0, 4), pose.at(0, 0, 9)};
  using F = FeatureFit;
  const Refused cases[] = {
      {"four points", fitCylinder(circlePoints(pose, 5, 360, 4)), F::FEATURE_TOO_FEW_POINTS, F::DEGENERACY_NONE},
      {"points on one circle", fitCylinder(circlePoints(pose, 5, 360, 8)), F::FEATURE_DEGENERATE,
       F::DEGENERACY_COPLANAR},
      {"points on one line", fitCylinder(onTheAxis), F::FEATURE_DEGENERATE, F::DEGENERACY_COLLINEAR},
      {"four distinct points", fitCylinder(fourPoints), F::FEATURE_DEGENERATE, F::DEGENERACY_UNDETERMINED},
  };
  for (const Refused& c : cases) EXPECT_TRUE(FailsAsExpected(c));
}

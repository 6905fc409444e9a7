// The six best-fit functions of Transformation: how they pair, weigh and
// scale, and that every failure returns −1.0 with the matrix untouched.

#include "fit_test_util.h"

using namespace Zem;
using namespace Zem::test;

TEST(TransformationFit, CountIsTestedBeforeSizesAndOnlyPositionPairingThrows) {
  const Problem d = noisyMotion(8, 2);
  const Points four(d.src.begin(), d.src.begin() + 4), two(d.src.begin(), d.src.begin() + 2);
  Transformation fit = kUntouched;
  EXPECT_EQ(fit.computeTransformationNoId(two, d.src, false), -1.0);
  EXPECT_EQ(errorText<ProgError>([&] { fit.computeTransformationNoId(d.src, four, false); }), "Ungleiche Punktemengen");
  EXPECT_EQ(fit.computeTransformation(two, d.src, false), -1.0);
  EXPECT_TRUE(SameBits(fit, kUntouched));
  EXPECT_GE(fit.computeTransformation(d.src, four, false), 0.0);  // four pairs by identifier
}

// The entry points give the same fit, the transformations bit for bit, the
// residuals equal to rounding (the lengths of differences of coordinates of
// up to 200 mm, computed in another order and summed in another order):
// unit weights fit as no weights, and an estimated scale ignores the scale
// argument (7.0). A fixed scale is kept exactly.
TEST(TransformationFit, EveryEntryPointGivesTheSameFitAndAFixedScaleIsKeptExactly) {
  const Problem d = noisyMotion(8, 2);
  Points unit;
  for (const Point& p : d.src) unit.push_back(Point(1, 1, 1, p.id));
  for (bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    Transformation byPosition, byId, weighted;
    const double residual = byPosition.computeTransformationNoId(d.src, d.dst, withScale);
    EXPECT_NEAR(byId.computeTransformation(d.src, d.dst, withScale, withScale ? 7.0 : 1.0), residual, 1e-13);
    EXPECT_NEAR(weighted.computeWeightedTransformation(d.src, d.dst, unit, withScale), residual, 1e-13);
    EXPECT_TRUE(SameBits(byId, byPosition));
    EXPECT_TRUE(SameBits(weighted, byPosition));
  }
  Transformation fixed;
  EXPECT_GE(fixed.computeTransformation(d.src, d.dst, false, 1.7), 0.0);
  EXPECT_EQ(fixed.getMatrix(3, 3), 1.0 / 1.7);
}

TEST(TransformationFit, BadInputReturnsMinusOneAndKeepsTheMatrix) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Problem d = noisyMotion(8, 2);
  Transformation fit = kUntouched;
  for (double scale : {0.0, nan}) {  // a fixed scale of 0 or NaN has no matrix
    EXPECT_EQ(fit.computeTransformation(d.src, d.dst, false, scale), -1.0) << "fixed scale " << scale;
    EXPECT_TRUE(SameBits(fit, kUntouched));
  }
  // Destination point 0 is also the one the first estimate starts from.
  struct Bad { const char* name; Points Problem::*set; std::size_t point; double Point::*coordinate; double value; };
  const Bad cases[] = {{"source y NaN", &Problem::src, 3, &Point::y, nan},
                       {"first destination z infinite", &Problem::dst, 0, &Point::z, inf},
                       {"weight x NaN", &Problem::weights, 2, &Point::x, nan},
                       {"weight z infinite", &Problem::weights, 4, &Point::z, inf},
                       {"weight y negative", &Problem::weights, 4, &Point::y, -0.5}};
  // Bad data and weights are refused before the scale mode matters: rigid only.
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.name);
    Problem bad = d;
    (bad.*b.set)[b.point].*b.coordinate = b.value;
    EXPECT_EQ(fit.computeWeightedTransformation(bad.src, bad.dst, bad.weights, false), -1.0);
    EXPECT_TRUE(SameBits(fit, kUntouched));
  }
}

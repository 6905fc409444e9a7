// The six best-fit functions of Transformation: how they pair, weigh and
// scale, and that every failure returns −1.0 with the matrix untouched.

#include "fit_test_util.h"

using namespace Zem;
using namespace Zem::test;

using Vec = BaVec3d<double>;

namespace {

struct Data { Points src, dst, weights; };

Data noisyMotion(double scale) {
  std::mt19937 rng(2);
  Data d;
  d.src = randomPoints(rng, 8, 50.0, Vec());
  d.dst = moved(d.src, Transformation(Vec(1, 2, 3), Vec(0.3, -0.2, 0.1), scale), rng, 0.01);
  for (const Point& p : d.src) d.weights.push_back(Point(1, 1, 1, p.id));
  return d;
}

}  // namespace

TEST(TransformationFit, CountIsTestedBeforeSizesAndOnlyPositionPairingThrows) {
  const Data d = noisyMotion(1.0);
  const Points four(d.src.begin(), d.src.begin() + 4), two(d.src.begin(), d.src.begin() + 2);
  Transformation fit = kUntouched;
  EXPECT_EQ(fit.computeTransformationNoId(two, d.src, false), -1.0);
  EXPECT_EQ(errorText<ProgError>([&] { fit.computeTransformationNoId(d.src, four, false); }), "Ungleiche Punktemengen");
  EXPECT_EQ(fit.computeTransformation(two, d.src, false), -1.0);
  EXPECT_TRUE(SameBits(fit, kUntouched));
  EXPECT_GE(fit.computeTransformation(d.src, four, false), 0.0);  // four pairs by identifier
}

TEST(TransformationFit, EstimatedScaleIgnoresTheScaleArgumentAndAFixedOneIsKeptExactly) {
  const Data d = noisyMotion(1.7);
  Transformation byPosition, byId, fixed;
  const double residual = byPosition.computeTransformationNoId(d.src, d.dst, true);
  // The same pairs summed in another order: equal to rounding.
  EXPECT_DOUBLE_EQ(byId.computeTransformation(d.src, d.dst, true, 7.0), residual);
  EXPECT_TRUE(SameBits(byId, byPosition));
  EXPECT_GE(fixed.computeTransformation(d.src, d.dst, false, 1.7), 0.0);
  EXPECT_EQ(fixed.getMatrix(3, 3), 1.0 / 1.7);
}

TEST(TransformationFit, UnitWeightsAndEveryEntryPointGiveTheSameFit) {
  const Data d = noisyMotion(1.0);
  Transformation byPosition, byId, weighted;
  const double residual = byPosition.computeTransformationNoId(d.src, d.dst, false);
  // The same lengths summed in another order: equal to rounding; the
  // transformations themselves bit for bit.
  EXPECT_DOUBLE_EQ(byId.computeTransformation(d.src, d.dst, false), residual);
  EXPECT_DOUBLE_EQ(weighted.computeWeightedTransformation(d.src, d.dst, d.weights, false), residual);
  EXPECT_TRUE(SameBits(byId, byPosition));
  EXPECT_TRUE(SameBits(weighted, byPosition));
}

TEST(TransformationFit, BadInputReturnsMinusOneAndKeepsTheMatrix) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Data d = noisyMotion(1.0);
  Transformation fit = kUntouched;
  for (double scale : {0.0, nan}) {  // a fixed scale of 0 or NaN has no matrix
    EXPECT_EQ(fit.computeTransformation(d.src, d.dst, false, scale), -1.0) << "fixed scale " << scale;
    EXPECT_TRUE(SameBits(fit, kUntouched));
  }
  // Destination point 0 is also the one the first estimate starts from.
  struct Bad { const char* name; Points Data::*set; std::size_t point; double Point::*coordinate; double value; };
  const Bad cases[] = {{"source y NaN", &Data::src, 3, &Point::y, nan},
                       {"first destination z infinite", &Data::dst, 0, &Point::z, inf},
                       {"weight x NaN", &Data::weights, 2, &Point::x, nan},
                       {"weight z infinite", &Data::weights, 4, &Point::z, inf},
                       {"weight y negative", &Data::weights, 4, &Point::y, -0.5}};
  for (const Bad& b : cases)
    for (bool withScale : {false, true}) {
      SCOPED_TRACE(std::string(b.name) + (withScale ? ", scaled" : ", rigid"));
      Data bad = d;
      (bad.*b.set)[b.point].*b.coordinate = b.value;
      EXPECT_EQ(fit.computeWeightedTransformation(bad.src, bad.dst, bad.weights, withScale), -1.0);
      EXPECT_TRUE(SameBits(fit, kUntouched));
    }
}

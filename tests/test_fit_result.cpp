// FitResult: the same fit as the Transformation functions, bit for bit, with
// each pair's residual, and the reason of every failure.
#include <algorithm>
#include <limits>
#include <random>

#include "math_fit_result.h"
#include "zem_base.h"
#include "test_util.h"

namespace Zem {
namespace {

using Points = std::vector<BaPoint3d<double>>;

struct Problem {
  Points src, dst, weights;
};

Problem noisyMotion(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> coordinate(-200.0, 200.0), noise(-0.01, 0.01), weight(0.5, 2.0);
  const Transformation motion(BaVec3d<double>(40.0, -7.0, 3.0), BaVec3d<double>(0.3, -0.1, 1.2), 1.0);
  Problem p;
  for (std::size_t i = 0; i < n; ++i) {
    p.src.emplace_back(coordinate(rng), coordinate(rng), coordinate(rng), int(100 - i));
    const BaVec3d<double> q = motion.transformPoint(static_cast<const BaVec3d<double>&>(p.src.back()));
    p.dst.emplace_back(q.x + noise(rng), q.y + noise(rng), q.z + noise(rng), int(100 - i));
    p.weights.emplace_back(weight(rng), weight(rng), weight(rng), int(100 - i));
  }
  return p;
}

TEST(FitResult, IsTheTransformationFitBitForBitWithEveryPairsResidual) {
  const Problem p = noisyMotion(25, 4);
  Points shuffled = p.dst;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1));
  for (bool withScale : {false, true}) {
    Transformation byId = Transformation::identity(), weighted = byId, byPosition = byId;
    const double legacy[3] = {byId.computeTransformation(p.src, shuffled, withScale),
                              weighted.computeWeightedTransformation(p.src, shuffled, p.weights, withScale),
                              byPosition.computeTransformationNoId(p.src, p.dst, withScale)};
    const FitResult results[3] = {FitResult::fitById(p.src, shuffled, {}, withScale),
                                  FitResult::fitById(p.src, shuffled, p.weights, withScale),
                                  FitResult::fitByPosition(p.src, p.dst, {}, withScale)};
    const Transformation* expected[3] = {&byId, &weighted, &byPosition};
    for (int k = 0; k < 3; ++k) {
      const FitResult& r = results[k];
      ASSERT_TRUE(r.isSucceeded()) << k;
      EXPECT_TRUE(test::SameBits(r.transformation, *expected[k])) << k;
      EXPECT_EQ(r.meanWeighted, legacy[k]) << k;
      ASSERT_TRUE(r.pairCount == 25 && r.residuals.size() == 25 && r.distances.size() == 25) << r.pairCount;
      double sum = 0.0, sumSquares = 0.0, largest = 0.0;
      for (std::size_t i = 0; i < 25; ++i) {
        // Pairs in source order; the residual is T·s − d.
        const BaVec3d<double> d = r.transformation.transformPoint(static_cast<const BaVec3d<double>&>(p.src[i])) -
                                  p.dst[i];
        EXPECT_TRUE(test::SameVec(r.residuals[i], d, 1e-12));
        EXPECT_EQ(r.residuals[i].id, p.src[i].id);
        EXPECT_NEAR(r.distances[i], d.length(), 1e-12);
        sum += d.length(), sumSquares += d.lengthSquared(), largest = std::max(largest, d.length());
      }
      EXPECT_NEAR(r.mean, sum / 25, 1e-12);
      EXPECT_NEAR(r.rms, std::sqrt(sumSquares / 25), 1e-12);
      EXPECT_NEAR(r.largest, largest, 1e-12);
      EXPECT_TRUE(k == 1 || std::fabs(r.mean - r.meanWeighted) <= 1e-12) << k;  // unit weights, but for k = 1
    }
  }
}

TEST(FitResult, NamesTheReasonOfEveryFailure) {
  const Problem good = noisyMotion(6, 9);
  Problem collinear = good, notFinite = good, negative = good, repeated = good, twoPairs = good;
  for (std::size_t i = 0; i < 6; ++i) collinear.src[i] = collinear.dst[i] = BaPoint3d<double>(i, 2.0 * i, 0.5, int(i));
  notFinite.dst[3].y = std::numeric_limits<double>::quiet_NaN();
  negative.weights[2].z = -1e-9;
  repeated.src[1].id = repeated.dst[1].id = 100;  // id 100 twice in both sets: 4 + 4 pairs from six points
  twoPairs.dst.resize(2);
  struct Case {
    const Problem& p;
    FitResult::Status_t status;
    const char* text;
  } cases[] = {
      {twoPairs, FitResult::FIT_TOO_FEW_PAIRS, "fewer than three pairs"},
      {collinear, FitResult::FIT_DEGENERATE, "points on one line or coincident"},
      {notFinite, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {negative, FitResult::FIT_NEGATIVE_WEIGHT, "negative weight"},
      {repeated, FitResult::FIT_AMBIGUOUS_PAIRING, "repeated identifiers give more pairs than points"},
  };
  for (const Case& c : cases) {
    const FitResult r = FitResult::fitById(c.p.src, c.p.dst, c.p.weights, false);
    EXPECT_EQ(r.status, c.status) << c.text;
    EXPECT_STREQ(FitResult::getStatusText(r.status), c.text);
    EXPECT_TRUE(r.residuals.empty());
    EXPECT_TRUE(test::SameBits(r.transformation, Transformation::identity()));
    Transformation legacy = Transformation::identity();
    EXPECT_EQ(legacy.computeWeightedTransformation(c.p.src, c.p.dst, c.p.weights, false), -1.0) << c.text;
  }
  EXPECT_THROW(FitResult::fitByPosition(good.src, twoPairs.dst, {}, false), ProgError);
}

}  // namespace
}  // namespace Zem

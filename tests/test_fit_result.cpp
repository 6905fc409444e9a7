// FitResult: the same fit as the Transformation functions, bit for bit, with
// each pair's residual on request, and the reason of every failure.

#include "fit_test_util.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

TEST(FitResult, IsTheTransformationFitBitForBitWithEveryPairsResidualOnRequest) {
  // 517 pairs: the residuals are written in blocks of 256, four at a time.
  constexpr std::size_t n = 517;
  Problem p = noisyMotion(n, 4);
  for (std::size_t i = 0; i < n; ++i) p.src[i].id = p.dst[i].id = p.weights[i].id = int(i);  // none is −1
  Points shuffled = p.dst;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1));
  for (bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    Transformation byId, weighted, byPosition;
    // Each entry point with the residuals and without them (`lean`).
    struct Entry { const char* name; double legacy; const Transformation& fitted; FitResult result, lean; };
    const FitOptions lean{withScale, 1.0, false};
    const Entry entries[] = {
        {"by id", byId.computeTransformation(p.src, shuffled, withScale), byId,
         FitResult::fitById(p.src, shuffled, {}, withScale), FitResult::fitById(p.src, shuffled, Points(), lean)},
        {"weighted by id", weighted.computeWeightedTransformation(p.src, shuffled, p.weights, withScale), weighted,
         FitResult::fitById(p.src, shuffled, p.weights, withScale),
         FitResult::fitById(p.src, shuffled, p.weights, lean)},
        {"by position", byPosition.computeTransformationNoId(p.src, p.dst, withScale), byPosition,
         FitResult::fitByPosition(p.src, p.dst, {}, withScale), FitResult::fitByPosition(p.src, p.dst, Points(), lean)},
    };
    for (const Entry& e : entries) {
      SCOPED_TRACE(e.name);
      ASSERT_TRUE(e.result.isSucceeded());
      EXPECT_TRUE(SameBits(e.result.transformation, e.fitted));
      EXPECT_NEAR(e.result.meanWeighted, e.legacy, 1e-12);  // the same distances, summed in another order
      EXPECT_EQ(e.result.pairCount, n);
      ASSERT_EQ(e.result.residuals.size(), n);
      ASSERT_EQ(e.result.distances.size(), n);
      double sum = 0.0, sumSquares = 0.0;
      for (std::size_t i = 0; i < n; ++i) {  // pairs in source order
        const Vec d = image(e.fitted, p.src[i]) - p.dst[i];
        EXPECT_TRUE(SameVec(e.result.residuals[i], d, 1e-12)) << "pair " << i;
        EXPECT_EQ(e.result.residuals[i].id, p.src[i].id) << "pair " << i;
        EXPECT_NEAR(e.result.distances[i], d.length(), 1e-12) << "pair " << i;
        sum += d.length();
        sumSquares += d.lengthSquared();
      }
      EXPECT_NEAR(e.result.mean, sum / n, 1e-12);
      EXPECT_NEAR(e.result.rms, std::sqrt(sumSquares / n), 1e-12);
      EXPECT_EQ(e.result.largest, *std::max_element(e.result.distances.begin(), e.result.distances.end()));
      // Without residuals: the same fit, no per-pair vectors.
      EXPECT_TRUE(SameBits(e.lean.transformation, e.fitted));
      EXPECT_EQ(e.lean.meanWeighted, e.legacy);
      EXPECT_EQ(e.lean.pairCount, n);
      EXPECT_TRUE(e.lean.residuals.empty());
      EXPECT_TRUE(e.lean.distances.empty());
    }
  }
}

// By position with unit weights nothing tests the coordinates before the
// fit: its moments must show a non-finite one wherever it is, in the first
// pair (the fit's reference) too.
TEST(FitResult, NamesTheReasonOfEveryFailure) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Problem good = noisyMotion(6, 9);
  Problem collinear = good, notFinite = good, negative = good, repeated = good, twoPairs = good;
  Problem firstNaN = good, sourceInf = good, lastMinusInf = good;
  for (std::size_t i = 0; i < 6; ++i) collinear.src[i] = Point(double(i), 2.0 * double(i), 0.5, int(i));
  collinear.dst = collinear.src;
  notFinite.dst[3].y = nan;
  firstNaN.dst[0].z = nan;
  sourceInf.src[3].z = inf;
  lastMinusInf.dst[5].z = -inf;
  negative.weights[2].z = -1e-9;
  repeated.src[1].id = 100;  // id 100 twice in both sets: 4 + 4 pairs from six points
  repeated.dst[1].id = 100;
  twoPairs.dst.resize(2);
  struct Case { const char* name; const Problem& p; bool byPosition; FitResult::Status_t status; const char* text; };
  const Case cases[] = {
      {"two pairs", twoPairs, false, FitResult::FIT_TOO_FEW_PAIRS, "fewer than three pairs"},
      {"collinear", collinear, false, FitResult::FIT_DEGENERATE, "points on one line or coincident"},
      {"NaN destination", notFinite, false, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {"by position, NaN in the first pair", firstNaN, true, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {"by position, +inf in a source point", sourceInf, true, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {"by position, -inf in the last destination", lastMinusInf, true, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {"negative weight", negative, false, FitResult::FIT_NEGATIVE_WEIGHT, "negative weight"},
      {"repeated ids", repeated, false, FitResult::FIT_AMBIGUOUS_PAIRING,
       "repeated identifiers give more pairs than points"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // By identifier with weights; by position with unit weights.
    const FitResult r = c.byPosition ? FitResult::fitByPosition(c.p.src, c.p.dst, {}, false)
                                     : FitResult::fitById(c.p.src, c.p.dst, c.p.weights, false);
    EXPECT_EQ(r.status, c.status);
    EXPECT_STREQ(FitResult::getStatusText(r.status), c.text);
    if (!c.byPosition) {  // without residuals the fit walks the pairs itself: the same failure, the same pairs
      const FitResult lean = FitResult::fitById(c.p.src, c.p.dst, c.p.weights, FitOptions{false, 1.0, false});
      EXPECT_EQ(lean.status, r.status);
      EXPECT_EQ(lean.pairCount, r.pairCount);
    }
    EXPECT_TRUE(r.residuals.empty());
    EXPECT_TRUE(SameBits(r.transformation, Transformation::identity()));
    Transformation legacy = kUntouched;
    EXPECT_EQ(c.byPosition ? legacy.computeTransformationNoId(c.p.src, c.p.dst, false)
                           : legacy.computeWeightedTransformation(c.p.src, c.p.dst, c.p.weights, false),
              -1.0);
    EXPECT_TRUE(SameBits(legacy, kUntouched));
  }
  EXPECT_THROW(FitResult::fitByPosition(good.src, twoPairs.dst, {}, false), ProgError);
}

// FitResult: the same fit as the Transformation functions, bit for bit, with
// each pair's residual on request, and the reason of every failure.

#include "fit_test_util.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

using Vec = BaVec3d<double>;

namespace {

struct Problem { Points src, dst, weights; };

/// n pairs of a part 400 mm across and 0.01 mm of noise, ids 100, 99, ...;
/// weights between 0.5 and 2.
Problem noisyMotion(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Problem p;
  p.src = randomPoints(rng, n, 400.0, Vec(-200.0, -200.0, -200.0));
  for (Point& q : p.src) q.id = 100 - q.id;
  p.dst = moved(p.src, Transformation(Vec(40.0, -7.0, 3.0), Vec(0.3, -0.1, 1.2), 1.0), rng, 0.01);
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  for (const Point& q : p.src) p.weights.push_back(Point(weight(rng), weight(rng), weight(rng), q.id));
  return p;
}

}  // namespace

TEST(FitResult, IsTheTransformationFitBitForBitWithEveryPairsResidualOnRequest) {
  const Problem p = noisyMotion(25, 4);
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
      EXPECT_EQ(e.result.meanWeighted, e.legacy);
      EXPECT_EQ(e.result.pairCount, 25u);
      ASSERT_EQ(e.result.residuals.size(), 25u);
      ASSERT_EQ(e.result.distances.size(), 25u);
      double sum = 0.0, sumSquares = 0.0;
      for (std::size_t i = 0; i < 25; ++i) {  // pairs in source order
        const Vec d = image(e.fitted, p.src[i]) - p.dst[i];
        EXPECT_TRUE(SameVec(e.result.residuals[i], d, 1e-12)) << "pair " << i;
        EXPECT_EQ(e.result.residuals[i].id, p.src[i].id) << "pair " << i;
        EXPECT_NEAR(e.result.distances[i], d.length(), 1e-12) << "pair " << i;
        sum += d.length();
        sumSquares += d.lengthSquared();
      }
      EXPECT_NEAR(e.result.mean, sum / 25, 1e-12);
      EXPECT_NEAR(e.result.rms, std::sqrt(sumSquares / 25), 1e-12);
      EXPECT_EQ(e.result.largest, *std::max_element(e.result.distances.begin(), e.result.distances.end()));
      // Without residuals: the same fit, no per-pair vectors.
      EXPECT_TRUE(SameBits(e.lean.transformation, e.fitted));
      EXPECT_EQ(e.lean.meanWeighted, e.legacy);
      EXPECT_EQ(e.lean.pairCount, 25u);
      EXPECT_TRUE(e.lean.residuals.empty());
      EXPECT_TRUE(e.lean.distances.empty());
    }
    EXPECT_NEAR(entries[0].result.mean, entries[0].result.meanWeighted, 1e-12);  // unit weights
  }
}

TEST(FitResult, NamesTheReasonOfEveryFailure) {
  const Problem good = noisyMotion(6, 9);
  Problem collinear = good, notFinite = good, negative = good, repeated = good, twoPairs = good;
  for (std::size_t i = 0; i < 6; ++i) collinear.src[i] = Point(double(i), 2.0 * double(i), 0.5, int(i));
  collinear.dst = collinear.src;
  notFinite.dst[3].y = std::numeric_limits<double>::quiet_NaN();
  negative.weights[2].z = -1e-9;
  repeated.src[1].id = 100;  // id 100 twice in both sets: 4 + 4 pairs from six points
  repeated.dst[1].id = 100;
  twoPairs.dst.resize(2);
  struct Case { const Problem& p; FitResult::Status_t status; const char* text; };
  const Case cases[] = {
      {twoPairs, FitResult::FIT_TOO_FEW_PAIRS, "fewer than three pairs"},
      {collinear, FitResult::FIT_DEGENERATE, "points on one line or coincident"},
      {notFinite, FitResult::FIT_NOT_FINITE, "non-finite data"},
      {negative, FitResult::FIT_NEGATIVE_WEIGHT, "negative weight"},
      {repeated, FitResult::FIT_AMBIGUOUS_PAIRING, "repeated identifiers give more pairs than points"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const FitResult r = FitResult::fitById(c.p.src, c.p.dst, c.p.weights, false);
    EXPECT_EQ(r.status, c.status);
    EXPECT_STREQ(FitResult::getStatusText(r.status), c.text);
    EXPECT_TRUE(r.residuals.empty());
    EXPECT_TRUE(SameBits(r.transformation, Transformation::identity()));
    Transformation legacy = kUntouched;
    EXPECT_EQ(legacy.computeWeightedTransformation(c.p.src, c.p.dst, c.p.weights, false), -1.0);
    EXPECT_TRUE(SameBits(legacy, kUntouched));
  }
  EXPECT_THROW(FitResult::fitByPosition(good.src, twoPairs.dst, {}, false), ProgError);
}

TEST(FitResult, ByPositionWithUnitWeightsRefusesEveryNonFiniteCoordinate) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Row { const char* name; bool inSource; std::size_t index; double value; };
  const Row rows[] = {
      {"NaN in the first pair (the fit's reference)", false, 0, std::numeric_limits<double>::quiet_NaN()},
      {"+inf in a source point", true, 3, inf},
      {"-inf in the last destination point", false, 5, -inf},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Problem p = noisyMotion(6, 9);
    (row.inSource ? p.src : p.dst)[row.index].z = row.value;
    const FitResult r = FitResult::fitByPosition(p.src, p.dst, {}, true);
    EXPECT_EQ(r.status, FitResult::FIT_NOT_FINITE);
    EXPECT_TRUE(r.residuals.empty());
  }
}

// Pairing by identifier: the same pairs, order and abort rule as comparing
// every source point with every destination point, through the public entry
// points and through the fit.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit_test_util.h"
#include "math_fit_pairing.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

namespace {

/// The plain pairing: every source point against every destination point in
/// order; false when one more pair is found than either set has points.
bool plainPairs(const std::vector<std::int64_t>& src, const std::vector<std::int64_t>& dst,
                std::vector<FitPair>* pairs) {
  pairs->clear();
  for (std::size_t i = 0; i < src.size(); ++i)
    for (std::size_t j = 0; j < dst.size(); ++j) {
      if (src[i] != dst[j] || src[i] == -1) continue;
      if (pairs->size() == src.size() || pairs->size() == dst.size()) return false;
      pairs->push_back({i, j});
    }
  return true;
}

::testing::AssertionResult SamePairs(const std::vector<FitPair>& got, const std::vector<FitPair>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " pairs vs " << want.size() << " expected";
  for (std::size_t k = 0; k < got.size(); ++k)
    if (!(got[k] == want[k]))
      return ::testing::AssertionFailure() << "pair " << k << ": (" << got[k].source << ", " << got[k].destination
                                           << ") vs (" << want[k].source << ", " << want[k].destination << ")";
  return ::testing::AssertionSuccess();
}

/// Identifiers that fill a small range (a direct table) and identifiers
/// spread over the whole range (a hash table); −1 among both.
struct IdKind {
  const char* name;
  std::vector<std::int64_t> pool;
};

const IdKind kIdKinds[] = {
    {"dense", {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
    {"spread over int", {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), -2, 0, 1 << 20,
                         2 << 20, 3 << 20, -(5 << 24), 123456789, -987654321, 7, 1 << 30, 65536, 131072, 42}},
};

}  // namespace

TEST(FitPairing, SamePairsAsThePlainDoubleLoop) {
  std::mt19937 rng(8);
  std::uniform_int_distribution<std::size_t> pick(0, 15), sizes(0, 24);
  int complete = 0, abandoned = 0;
  for (const IdKind& kind : kIdKinds)
    for (int trial = 0; trial < 100; ++trial) {
      SCOPED_TRACE(std::string(kind.name) + " identifiers, trial " + std::to_string(trial));
      std::vector<std::int64_t> srcIds(sizes(rng)), dstIds(sizes(rng));
      for (std::int64_t& id : srcIds) id = kind.pool[pick(rng)];
      for (std::int64_t& id : dstIds) id = kind.pool[pick(rng)];
      Points src, dst;
      for (std::int64_t id : srcIds) src.push_back(Point(0, 0, 0, int(id)));
      for (std::int64_t id : dstIds) dst.push_back(Point(0, 0, 0, int(id)));
      std::vector<FitPair> want, byIds, byPoints;
      const bool ok = plainPairs(srcIds, dstIds, &want);
      EXPECT_EQ(pairByIdentifier(srcIds.data(), srcIds.size(), dstIds.data(), dstIds.size(), &byIds), ok);
      EXPECT_EQ(pairByIdentifier(src, dst, &byPoints), ok);
      EXPECT_TRUE(SamePairs(byIds, want));
      EXPECT_TRUE(SamePairs(byPoints, want));
      (ok ? complete : abandoned) += 1;
    }
  EXPECT_GT(complete, 30);
  EXPECT_GT(abandoned, 30);
}

TEST(FitPairing, IdentifiersBeyondIntPairOnlyWithThemselves) {
  const std::int64_t big = std::int64_t(1) << 40;
  const std::vector<std::int64_t> src = {big, big + 1, -1, std::numeric_limits<std::int64_t>::min(), 5};
  const std::vector<std::int64_t> dst = {5, std::numeric_limits<std::int64_t>::min(), big + 1, -1, big - big};
  std::vector<FitPair> pairs;
  EXPECT_TRUE(pairByIdentifier(src.data(), src.size(), dst.data(), dst.size(), &pairs));
  EXPECT_TRUE(SamePairs(pairs, {{1, 2}, {3, 1}, {4, 0}}));
}

TEST(FitPairing, RepeatedIdentifiersPairEveryCombinationUntilASetIsExhausted) {
  // Source ids (1, 1, 2, 3): both 1s pair with the one destination 1.
  Points src = {Point(0, 0, 0, 1), Point(1, 0, 0, 1), Point(0, 1, 0, 2), Point(0, 0, 1, 3)};
  Points dst = {Point(0, 0, 0, 1), Point(0, 1, 0, 2), Point(0, 0, 1, 3), Point(1, 1, 1, 4)};
  std::vector<FitPair> pairs;
  EXPECT_TRUE(pairByIdentifier(src, dst, &pairs));
  EXPECT_TRUE(SamePairs(pairs, {{0, 0}, {1, 0}, {2, 1}, {3, 2}}));
  dst.pop_back();  // three destination points: the fourth pair is one too many
  EXPECT_FALSE(pairByIdentifier(src, dst, &pairs));
  EXPECT_TRUE(SamePairs(pairs, {{0, 0}, {1, 0}, {2, 1}}));
  Transformation fit = kUntouched;
  EXPECT_EQ(fit.computeTransformation(src, dst, false), -1.0);
  EXPECT_TRUE(SameBits(fit, kUntouched));
}

TEST(FitPairing, FitByIdentifierIsTheFitOfThePairsByPosition) {
  // Destination order shuffled, points without identifier (−1 never pairs,
  // not even with −1) and unmatched identifiers on both sides; weights
  // looked up by identifier (the first weight point of an id wins, a pair
  // without one weighs (1, 1, 1)).
  std::mt19937 rng(5);
  const Transformation motion(BaVec3d<double>(4, -5, 6), BaVec3d<double>(0.2, 0.9, -1.4), 1.0);
  Points src = randomPoints(rng, 20, 100.0, BaVec3d<double>()), dst = moved(src, motion, rng, 0.02), weights;
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  for (const Point& p : src) weights.push_back(Point(weight(rng), weight(rng), weight(rng), p.id));
  weights.push_back(Point(9, 9, 9, 4));
  weights.erase(weights.begin() + 9);
  src[2].id = dst[2].id = -1;
  src[7].id = 1000;
  dst[11].id = 2000;
  std::shuffle(dst.begin(), dst.end(), rng);
  std::vector<FitPair> pairs;
  ASSERT_TRUE(pairByIdentifier(src, dst, &pairs));
  Points s, d, w;
  for (const FitPair& p : pairs) {
    s.push_back(src[p.source]);
    d.push_back(dst[p.destination]);
    const auto found = std::find_if(weights.begin(), weights.end(), [&](const Point& c) { return c.id == s.back().id; });
    w.push_back(found != weights.end() ? *found : Point(1, 1, 1));
  }
  EXPECT_EQ(s.size(), 17u);
  for (bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    Transformation byId, byPosition;
    const double r = byId.computeWeightedTransformation(src, dst, weights, withScale);
    EXPECT_GE(r, 0.0);
    EXPECT_NEAR(FitResult::fitByPosition(s, d, w, withScale).meanWeighted, r, 1e-14);  // summed in another order
    EXPECT_TRUE(SameBits(FitResult::fitByPosition(s, d, w, withScale).transformation, byId));
  }
}

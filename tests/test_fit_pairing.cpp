// Pairing by identifier: the same pairs, order and abort rule as comparing
// every source point with every destination point, through the public entry
// points (how the fit reports an abandoned pairing: test_fit_result.cpp).
#include <algorithm>
#include <cstdint>
#include <numeric>

#include "fit_test_util.h"
#include "math_fit_pairing.h"

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

}  // namespace

// 16 identifiers drawn for up to 24 points on each side: most trials repeat
// some, and many give one pair too many.
TEST(FitPairing, SamePairsAsThePlainDoubleLoop) {
  // Identifiers that fill a small range (a direct table) and identifiers
  // spread over the whole range (a hash table); −1 among both.
  const struct { const char* name; std::vector<std::int64_t> pool; } kinds[] = {
      {"dense", {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
      {"spread over int", {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), -2, 0, 1 << 20,
                           2 << 20, 3 << 20, -(5 << 24), 123456789, -987654321, 7, 1 << 30, 65536, 131072, 42}},
  };
  std::mt19937 rng(8);
  std::uniform_int_distribution<std::size_t> pick(0, 15), sizes(0, 24);
  int complete = 0, abandoned = 0;
  for (const auto& kind : kinds)
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

// Large sets (whose index is entered over threads): the pairs of a reference
// that sorts the destination by identifier, and the same abort rule. Numbered
// from 0, the index first tries a table without the identifiers' range.
TEST(FitPairing, LargeSetsPairAsASortedDestination) {
  const std::size_t n = 150000;
  struct Case {
    const char* name;
    std::int64_t first;   ///< the first identifier, the others counting up from it
    std::size_t repeats;  ///< destination identifiers given twice, in place of others
    std::size_t sources;
    std::int64_t far;     ///< an identifier of both sets, in the middle, in place of another (0: none)
  };
  const Case cases[] = {{"unique identifiers", -7, 0, n, 0},
                        {"repeated identifiers, as many pairs as points", -7, 1000, n, 0},
                        {"repeated identifiers, one pair too many", -7, 1000, n - 2, 0},
                        {"numbered from 0", 0, 0, n, 0},
                        {"numbered from 1, repeated identifiers", 1, 1000, n, 0},
                        {"numbered from 0, one identifier far beyond", 0, 0, n, std::int64_t(1) << 40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(12);
    std::vector<std::int64_t> src(n), dst(n);
    for (std::size_t i = 0; i < n; ++i) src[i] = dst[i] = std::int64_t(i) + c.first;  // dense (a direct table)
    if (c.far != 0) src[n / 2] = dst[n / 2] = c.far;
    for (std::size_t k = 0; k < c.repeats; ++k) dst[n - 1 - k] = dst[k * 50];  // the last ids lose their partners
    std::shuffle(dst.begin(), dst.end(), rng);
    src.resize(c.sources);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return dst[a] < dst[b]; });
    std::vector<std::int64_t> sorted;
    for (std::size_t j : order) sorted.push_back(dst[j]);
    std::vector<FitPair> want, got;
    for (std::size_t i = 0; i < src.size(); ++i) {
      if (src[i] == -1) continue;  // never pairs
      const auto at = std::equal_range(sorted.begin(), sorted.end(), src[i]);
      for (auto k = at.first; k != at.second; ++k) want.push_back({i, order[std::size_t(k - sorted.begin())]});
    }
    const bool complete = want.size() <= src.size();
    want.resize(std::min(want.size(), src.size()));  // the pairs found before the walk gives up
    EXPECT_EQ(pairByIdentifier(src.data(), src.size(), dst.data(), dst.size(), &got), complete);
    EXPECT_TRUE(SamePairs(got, want));
  }
}

// Sets by identifier, small and large (more than two chunks of 65,536 pairs,
// gathered and summed over threads): the fit by identifier is the fit by
// position of its pairs, bit for bit, and Eigen's umeyama on those pairs.
#include <functional>
#include <map>
#include <unordered_map>

#include "fit_test_util.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

namespace {

/// A problem by identifier, the destination shuffled. Ragged: every
/// 1,000th source point unidentified (−1), 500 destination points of
/// identifiers no source point has, and a second, different weight point for
/// every 7th identifier after the others (the first one counts). Not
/// ragged: every source point paired, one weight point per source point, in
/// its order.
struct PairsById {
  Points src, dst, weights;
  Points pairedSrc, pairedDst, pairedWeights;  ///< the pairs in source order, found here by a hash map
};

PairsById pairsById(std::size_t n, bool ragged) {
  PairsById p;
  const Problem base = noisyMotion(n, 17);
  p.src = base.src;
  for (std::size_t i = 0; i < n; ++i) p.src[i].id = ragged && i % 1000 == 999 ? -1 : int(i);
  p.dst = base.dst;
  for (std::size_t i = 0; i < n; ++i) p.dst[i].id = int(i);
  for (int k = 0; ragged && k < 500; ++k) p.dst.push_back(Point(Vec(1e3, 2e3, 3e3), int(n) + k));
  std::mt19937 rng(3);
  std::shuffle(p.dst.begin(), p.dst.end(), rng);
  p.weights = base.weights;
  for (std::size_t i = 0; i < n; ++i) p.weights[i].id = int(i);
  for (std::size_t i = 0; ragged && i < n; i += 7) p.weights.push_back(Point(9.0, 9.0, 0.1, int(i)));
  std::unordered_map<int, std::size_t> dstAt;
  for (std::size_t j = 0; j < p.dst.size(); ++j) dstAt[p.dst[j].id] = j;
  for (std::size_t i = 0; i < n; ++i) {
    if (p.src[i].id == -1) continue;
    p.pairedSrc.push_back(p.src[i]);
    p.pairedDst.push_back(p.dst[dstAt.at(p.src[i].id)]);
    p.pairedWeights.push_back(base.weights[i]);
  }
  return p;
}

/// The pairs of the walk, written out: for each source point in order, every
/// destination point of its identifier in destination order (−1 never
/// pairs), each pair weighted by the first weight point of the identifier,
/// else (1, 1, 1).
struct WalkPairs {
  Points src, dst, weights;
};

WalkPairs walkPairs(const Points& src, const Points& dst, const Points& weights) {
  std::map<int, std::vector<std::size_t>> dstOf;
  for (std::size_t j = 0; j < dst.size(); ++j) dstOf[dst[j].id].push_back(j);
  std::map<int, Point> weightOf;
  for (const Point& w : weights) weightOf.emplace(w.id, w);  // the first one stays
  WalkPairs pairs;
  for (const Point& p : src) {
    if (p.id == -1 || dstOf.count(p.id) == 0) continue;
    for (std::size_t j : dstOf[p.id]) {
      pairs.src.push_back(p);
      pairs.dst.push_back(dst[j]);
      pairs.weights.push_back(weightOf.count(p.id) != 0 ? weightOf[p.id] : Point(1.0, 1.0, 1.0, p.id));
    }
  }
  return pairs;
}

}  // namespace

// A source set numbered from its first identifier on, with a destination of
// as many points in another order, is paired without an index when the
// destination holds each of those identifiers once; sets that only look so
// (the same end points and sizes) are paired the general way, with the
// same pairs as the walk. Sets in the cache, beyond it in one thread, and
// large ones over threads; the numbering is checked as the mean residual is
// summed, four pairs at a time and the last one or three on their own.
TEST(FitGather, NumberedSetsArePairedAsTheWalkPairsThem) {
  struct Row {
    const char* name;
    std::function<void(Points& src, Points& dst, Points& weights)> change;
  };
  const Row rows[] = {
      {"a permutation of the numbering", [](Points&, Points&, Points&) {}},
      {"numbered from 1000", [](Points& src, Points& dst, Points& weights) {
         for (Points* set : {&src, &dst, &weights})
           for (Point& p : *set) p.id += 1000;
       }},
      {"two source identifiers swapped between the ends",
       [](Points& src, Points&, Points&) { std::swap(src[src.size() / 2].id, src[src.size() / 2 + 1].id); }},
      {"a destination identifier twice, one missing", [](Points&, Points& dst, Points&) { dst[7].id = dst[8].id; }},
      {"a destination identifier twice, at both ends (over threads, in different threads' runs)",
       [](Points&, Points& dst, Points&) { dst[7].id = dst[dst.size() - 8].id; }},
      {"a destination identifier beyond the numbering",
       [](Points&, Points& dst, Points&) { dst[9].id = int(dst.size()) + 5; }},
      {"a destination identifier -1", [](Points&, Points& dst, Points&) { dst[10].id = -1; }},
      {"weights in another order", [](Points&, Points&, Points& weights) { std::swap(weights[3], weights[4]); }},
      {"the last weight point of an identifier no source point has",
       [](Points&, Points&, Points& weights) { weights.back().id = int(weights.size()) + 7; }},
      {"numbered across -1, which never pairs", [](Points& src, Points& dst, Points& weights) {
         for (Points* set : {&src, &dst, &weights})
           for (Point& p : *set) p.id -= 5;
       }},
      {"every other identifier (not numbered: paired the general way, every point)",
       [](Points& src, Points& dst, Points& weights) {
         for (Points* set : {&src, &dst, &weights})
           for (Point& p : *set) p.id *= 2;
       }},
  };
  for (const std::size_t n : {std::size_t(2001), std::size_t(20001), std::size_t(140001)}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::to_string(n) + " points, " + row.name);
      Problem p = noisyMotion(n, 29);
      for (std::size_t i = 0; i < n; ++i) p.src[i].id = p.dst[i].id = p.weights[i].id = int(i);
      std::shuffle(p.dst.begin(), p.dst.end(), std::mt19937(7));
      row.change(p.src, p.dst, p.weights);
      const WalkPairs pairs = walkPairs(p.src, p.dst, p.weights);
      Transformation byId, weightedById;
      ASSERT_GE(byId.computeTransformation(p.src, p.dst, false), 0.0);
      ASSERT_GE(weightedById.computeWeightedTransformation(p.src, p.dst, p.weights, false), 0.0);
      const FitResult byPosition = FitResult::fitByPosition(pairs.src, pairs.dst, {}, false);
      const FitResult weightedByPosition = FitResult::fitByPosition(pairs.src, pairs.dst, pairs.weights, false);
      ASSERT_TRUE(byPosition.isSucceeded());
      ASSERT_TRUE(weightedByPosition.isSucceeded());
      EXPECT_EQ(FitResult::fitById(p.src, p.dst, {}, false).pairCount, pairs.src.size());
      EXPECT_TRUE(SameBits(byId, byPosition.transformation));
      EXPECT_TRUE(SameBits(weightedById, weightedByPosition.transformation));
    }
  }
}

// A fit that fails before the pass that checks a numbered set as it reads
// it (the mean residual's) still has its set checked: a source identifier
// −1, which never pairs, among points on one line.
TEST(FitGather, NumberedSetsAreCheckedWhenTheFitFails) {
  const std::size_t n = 2001;
  Points src, dst;
  for (std::size_t i = 0; i < n; ++i) {
    src.push_back(Point(Vec(1.0, 2.0, 3.0) * double(i), int(i)));
    dst.push_back(Point(Vec(-2.0, 1.0, 3.0) * double(i), int(i)));
  }
  src[n / 2].id = -1;
  std::shuffle(dst.begin(), dst.end(), std::mt19937(3));
  FitOptions fitAlone;  // no residuals: the engine's own pairing
  fitAlone.residuals = false;
  const FitResult r = FitResult::fitById(src, dst, {}, fitAlone);
  EXPECT_EQ(r.status, FitResult::FIT_DEGENERATE);
  EXPECT_EQ(r.pairCount, n - 1);
}

TEST(FitGather, SetsByIdentifierAreTheFitByPositionOfTheirPairs) {
  for (const std::size_t n : {std::size_t(2001), std::size_t(ZEM_SANITIZED ? 140001 : 300001)}) {
    for (const bool ragged : {true, false}) {
      const PairsById p = pairsById(n, ragged);
      for (const bool withScale : {false, true}) {
        SCOPED_TRACE(std::to_string(n) + " points, " + (ragged ? "ragged, " : "every point paired, ") +
                     (withScale ? "scaled" : "rigid"));
        Transformation byId, weightedById;
        ASSERT_GE(byId.computeTransformation(p.src, p.dst, withScale), 0.0);
        ASSERT_GE(weightedById.computeWeightedTransformation(p.src, p.dst, p.weights, withScale), 0.0);
        const FitResult withResiduals = FitResult::fitById(p.src, p.dst, {}, withScale);
        const FitResult byPosition = FitResult::fitByPosition(p.pairedSrc, p.pairedDst, {}, withScale);
        const FitResult weightedByPosition =
            FitResult::fitByPosition(p.pairedSrc, p.pairedDst, p.pairedWeights, withScale);
        ASSERT_TRUE(byPosition.isSucceeded());
        ASSERT_TRUE(weightedByPosition.isSucceeded());
        EXPECT_EQ(withResiduals.pairCount, p.pairedSrc.size());
        EXPECT_TRUE(SameBits(byId, byPosition.transformation));
        EXPECT_TRUE(SameBits(withResiduals.transformation, byPosition.transformation));
        EXPECT_TRUE(SameBits(weightedById, weightedByPosition.transformation));
        EXPECT_TRUE(SameImages(byId, umeyamaOf(p.pairedSrc, p.pairedDst, withScale), p.pairedSrc, 1e-9 * 400.0));
      }
    }
  }
}

// Weight points given one per source point, in its order, are read in place
// only while that order is also the first weight point of each identifier:
// a source identifier that comes again takes the weights of its first
// point, in one walk (small) and over threads (large).
TEST(FitGather, RepeatedSourceIdentifiersTakeTheFirstWeightPoint) {
  for (const std::size_t n : {std::size_t(40), std::size_t(ZEM_SANITIZED ? 140001 : 300001)}) {
    SCOPED_TRACE(std::to_string(n) + " source points");
    Problem p = noisyMotion(n, 23);
    for (std::size_t i = 0; i < n; ++i) p.src[i].id = p.dst[i].id = p.weights[i].id = int(i);
    p.src[5].id = p.weights[5].id = 4;  // the second point of identifier 4 pairs with destination 4 too
    p.weights[5] = Point(100.0, 0.01, 100.0, 4);
    Points pairedDst = p.dst, pairedWeights = p.weights;
    pairedDst[5] = p.dst[4];
    pairedWeights[5] = p.weights[4];
    std::shuffle(p.dst.begin(), p.dst.end(), std::mt19937(5));
    Transformation byId;
    ASSERT_GE(byId.computeWeightedTransformation(p.src, p.dst, p.weights, false), 0.0);
    const FitResult byPosition = FitResult::fitByPosition(p.src, pairedDst, pairedWeights, false);
    ASSERT_TRUE(byPosition.isSucceeded());
    EXPECT_TRUE(SameBits(byId, byPosition.transformation));
  }
}

// Pairs by identifier gathered into arrays by position (see fit_gather.h).
//
// By partners: with identifiers that do not repeat in the destination, a
// source point has at most one partner, and the pairs are those of the walk,
// in its order. The source set is cut into chunks (over threads for a large
// set, parallel.h). A first pass finds every source point's partner and
// counts each chunk's pairs; their running sums place each chunk's pairs,
// which a second pass copies, asking for the partners a little ahead as the
// walk does. When every source point pairs, the second pass is left to the
// moments, run by run (deferred), or, speculating, both passes are.
//
// Numbered: a source set numbered first, first + 1, ... and a destination
// set of the same identifiers in another order need no index. Each
// destination point is written to the place of its identifier (writes at
// random, which unlike reads at random do not hold up the pass), its place
// marked (a byte a place, or over threads a bit a place in a bitmap per
// thread, the points written in the same pass where the AVX2 kernels run);
// as many places marked as points means every identifier came once. The
// moments then read the pairs in order, as a fit by position (1e6 pairs
// with per-axis weights: 10 ms in all, 4.3 of it placing), and the pass of
// the mean residual checks the source's numbering as it reads the source
// points (a pass of its own, run by run with the moments, cost 5% of a fit
// of 1e6 pairs). Where the moments' kernel reads the destination
// points through an order (per-axis weights on AVX-512) a set in the cache
// is not copied at all: each pair's destination index is written instead,
// 4 bytes instead of 32 (3% of a fit of 1,000 pairs).
#include "fit_gather.h"

#include <algorithm>
#include <new>

#include "kernels_avx2.h"
#include "parallel.h"

namespace Zem {
namespace fit {

namespace {

/// Source points per chunk.
constexpr std::size_t kChunk = std::size_t(1) << 16;
/// How far ahead the partners are asked for (as in forEachIdPair).
constexpr std::size_t kAhead = 32;

}  // namespace

GatheredPairs::Buffer GatheredPairs::allocate(std::size_t n) {
  void* p = std::malloc(std::max<std::size_t>(n, 1) * sizeof(Point));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(static_cast<Point*>(p));
}

bool GatheredPairs::pairUp(const std::vector<Point>& src, const std::vector<Point>& dst,
                           const std::vector<Point>& weights, const IdIndex& dstById, bool speculate) {
  if (!byPartners(dstById)) return gatherInOneWalk(src, dst, weights, dstById);
  // Every source point pairing gives as many pairs as source points: the
  // walk would abandon them when the destination has fewer points.
  if (!speculate || src.size() > dst.size() || !(weights.empty() || weights.size() == src.size()))
    return gatherByPartners(src, dst, weights, dstById);
  count_ = src.size();
  srcView_ = src.data();
  weightsView_ = weights.empty() ? nullptr : weights.data();
  dst_ = allocate(count_);
  dstSet_ = &dst;
  srcSet_ = &src;
  weightSet_ = &weights;
  dstById_ = &dstById;
  deferred_ = speculating_ = true;
  return true;
}

bool GatheredPairs::pairUpNumbered(const std::vector<Point>& src, const std::vector<Point>& dst,
                                   const std::vector<Point>& weights, bool inPlace) {
  const std::size_t n = src.size();
  if (n == 0 || dst.size() != n || !(weights.empty() || weights.size() == n)) return false;
  // The end points: identifiers first to first + n − 1, computed in 64 bits
  // (an int identifier plus a count below 2^30 cannot overflow), −1 outside.
  const std::int64_t first = src.front().id, last = first + std::int64_t(n) - 1;
  if (src.back().id != last || (first <= -1 && last >= -1)) return false;
  if (inPlace && n <= kInCache) {
    // Each point's index is written to its identifier's place, which it
    // also marks; n marks from n points means every identifier came once.
    std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[n]);
    std::uint32_t* const at = order.get();
    std::fill(at, at + n, IdIndex::kNone);
    std::size_t written = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint64_t k = std::uint64_t(std::int64_t(dst[j].id) - first);  // wraps below first
      if (k >= n) continue;
      written += at[k] == IdIndex::kNone;
      at[k] = std::uint32_t(j);
    }
    if (written != n) return false;
    order_ = std::move(order);
  } else if (!placeNumbered(dst, first)) {
    return false;
  }
  // The source's numbering and the weights are left to the caller's pass
  // of the mean residual, which reads those points anyway (leavesNumbering).
  numberingLeft_ = true;
  count_ = n;
  srcView_ = src.data();
  weightsView_ = weights.empty() ? nullptr : weights.data();
  srcSet_ = &src;
  dstSet_ = &dst;
  weightSet_ = &weights;
  firstId_ = first;
  return true;
}

bool GatheredPairs::placeNumbered(const std::vector<Point>& dst, std::int64_t first) {
  const std::size_t n = dst.size();
  // Each point is written to its identifier's place, which it also marks;
  // n marks from n points means every identifier came once. The writes go
  // to random places, which, unlike reads, do not hold up the pass.
  const Point* const in = dst.data();
  Buffer placed = allocate(n);
  Point* const out = placed.get();
  constexpr std::size_t kWriteAhead = 16;  // the places are written at random: fetch them early
  const std::size_t chunks = parallel::chunksOf(n, kChunk);
  if (n >= parallel::kMinPointsForThreads && parallel::threadCount() > 1) {
    // Each thread marks the places of its run of points in a bitmap of its
    // own: marks shared between cores pass their cache lines back and forth
    // (1e6 points on two cores: 3.5 ms with shared bytes, 0.8 ms so). With
    // the AVX2 kernels the points are written in the same pass
    // (avx2::placeMarked: 4.3 instead of 5.3 ms at 1e6, reading the points
    // once), else only once every place has been marked once, so that no
    // two threads ever write one.
    const std::size_t runs = std::min<std::size_t>(parallel::threadCount(), chunks);
    const std::size_t words = (n + 63) / 64;
    std::unique_ptr<std::uint64_t[]> bitmaps(new std::uint64_t[runs * words]());
    std::uint64_t* const bits = bitmaps.get();
    const bool placing = avx2::enabled();
    parallel::forChunks(runs, unsigned(runs), [bits, words, runs, in, out, first, n, placing](std::size_t r) {
      std::uint64_t* const own = bits + r * words;
      const std::size_t begin = n * r / runs, end = n * (r + 1) / runs;
      if (placing) {
        avx2::placeMarked(in + begin, end - begin, first, n, out, own);
        return;
      }
      for (std::size_t j = begin; j < end; ++j) {
        const std::uint64_t k = std::uint64_t(std::int64_t(in[j].id) - first);  // wraps below first
        if (k < n) own[k >> 6] |= std::uint64_t(1) << (k & 63);
      }
    });
    std::size_t marked = 0;
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t any = 0;
      for (std::size_t r = 0; r < runs; ++r) any |= bits[r * words + w];
      marked += std::size_t(__builtin_popcountll(any));
    }
    if (marked != n) return false;  // an identifier outside the numbering, or repeated
    if (!placing)
      parallel::forChunksOf(n, chunks, [out, in, first, n](std::size_t c) {
        const std::size_t end = std::min(n, (c + 1) * kChunk);
        for (std::size_t j = c * kChunk; j < end; ++j) {
          if (j + kWriteAhead < end) __builtin_prefetch(out + (in[j + kWriteAhead].id - first), 1);
          new (out + (in[j].id - first)) Point(in[j]);
        }
      });
  } else {
    // In one thread the points are written as their places are marked, a
    // byte per place.
    std::unique_ptr<unsigned char[]> marks(new unsigned char[n]());
    unsigned char* const mark = marks.get();
    std::size_t marked = 0;
    if (n <= kInCache) {
      // A set this small is read from the cache whichever way: the new
      // marks are counted in this pass (no pass over the marks).
      for (std::size_t j = 0; j < n; ++j) {
        const std::uint64_t k = std::uint64_t(std::int64_t(in[j].id) - first);
        if (k >= n) continue;
        marked += mark[k] == 0;
        mark[k] = 1;
        new (out + k) Point(in[j]);
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        if (j + kWriteAhead < n) {
          const std::uint64_t later = std::uint64_t(std::int64_t(in[j + kWriteAhead].id) - first);
          if (later < n) __builtin_prefetch(out + later, 1);
        }
        const std::uint64_t k = std::uint64_t(std::int64_t(in[j].id) - first);
        if (k >= n) continue;
        mark[k] = 1;
        new (out + k) Point(in[j]);
      }
      for (std::size_t k = 0; k < n; ++k) marked += mark[k];
    }
    if (marked != n) return false;  // an identifier outside the numbering, or repeated
  }
  dst_ = std::move(placed);
  return true;
}

void GatheredPairs::settleNumbering(const bool* holds) {
  if (!numberingLeft_) return;
  numberingLeft_ = false;
  bool numbered = holds == nullptr || *holds;
  if (holds == nullptr) {
    // Numbered from first on, the source points' identifiers increase, so
    // that weights follow them (followsSource) when they carry the same.
    const Point* const src = srcSet_->data();
    const Point* const weights = weightSet_->empty() ? nullptr : weightSet_->data();
    for (std::size_t i = 0; i < count_; ++i) numbered &= numberedAt(src, weights, firstId_, i);
  }
  if (!numbered) failed_.store(true, std::memory_order_relaxed);
}

const GatheredPairs::Point& GatheredPairs::dstOf(std::size_t i) const {
  if (order_) return (*dstSet_)[order_[i]];
  if (!deferred_) return dst_.get()[i];
  if (!speculating_) return (*dstSet_)[partner_[i]];
  const std::uint32_t j = dstById_->first((*srcSet_)[i].id);
  return j != IdIndex::kNone ? (*dstSet_)[j] : (*srcSet_)[i];
}

bool GatheredPairs::gather(const std::vector<Point>& src, const std::vector<Point>& dst,
                           const std::vector<Point>& weights, const IdIndex& dstById) {
  if (!pairUp(src, dst, weights, dstById)) return false;
  if (deferred_)
    parallel::forChunksOf(count_, parallel::chunksOf(count_, kChunk), [this](std::size_t c) {
      gatherRange(c * kChunk, std::min(count_, (c + 1) * kChunk));
    });
  return true;
}

void GatheredPairs::gatherRange(std::size_t begin, std::size_t end) {
  if (!deferred_) return;
  if (speculating_) {
    gatherSpeculating(begin, end);
    return;
  }
  const std::vector<Point>& dst = *dstSet_;
  Point* const d = dst_.get();
  // Runs are gathered one after another: ask for the partners ahead across
  // the end of this one too.
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < count_) prefetchPoint(dst[partner_[i + kAhead]]);
    new (d + i) Point(dst[partner_[i]]);
  }
}

void GatheredPairs::gatherSpeculating(std::size_t begin, std::size_t end) {
  // Locals, kept in registers: the points written might alias the members.
  const Point* const src = srcSet_->data();
  const Point* const dst = dstSet_->data();
  const IdIndex::Lookup dstById = dstById_->lookup();
  const std::size_t count = count_;
  Point* const d = dst_.get();
  bool paired = true;
  // The index entry 2·kAhead points ahead, the partner (found through that
  // entry, by then at hand) kAhead points ahead, as forEachIdPair asks.
  const bool inCache = dstSet_->size() <= kInCache;
  for (std::size_t i = begin; i < end; ++i) {
    if (!inCache && i + 2 * kAhead < count) dstById.prefetch(src[i + 2 * kAhead].id);
    if (!inCache && i + kAhead < count) {
      const std::uint32_t later = dstById.first(src[i + kAhead].id);
      if (later != IdIndex::kNone) prefetchPoint(dst[later]);
    }
    const std::uint32_t j = dstById.first(src[i].id);
    paired &= j != IdIndex::kNone;
    new (d + i) Point(j != IdIndex::kNone ? dst[j] : src[i]);  // any point: the speculation failed
  }
  // The weights must follow the source points (followsSource).
  if (!weightSet_->empty()) paired &= followsSource(*srcSet_, *weightSet_, begin, end);
  if (!paired) failed_.store(true, std::memory_order_relaxed);
}

bool GatheredPairs::followsSource(const std::vector<Point>& src, const std::vector<Point>& weights,
                                  std::size_t begin, std::size_t end) {
  if (weights.size() != src.size()) return false;
  bool follows = true;
  for (std::size_t i = begin; i < end; ++i) follows &= followsAt(src, weights, i);
  return follows;
}

namespace {

/// The weights of a pair whose source point has this identifier: the
/// first weight point with it, else (1, 1, 1).
GatheredPairs::Point weightOf(std::int64_t id, const std::vector<GatheredPairs::Point>& weights,
                              const IdIndex& weightById) {
  const std::uint32_t k = weightById.first(id);
  return k != IdIndex::kNone ? weights[k] : GatheredPairs::Point(1.0, 1.0, 1.0);
}

/// The weight points by identifier, or an empty index when they follow the
/// source points (or there are none).
IdIndex weightIndex(const std::vector<GatheredPairs::Point>& weights, bool followsSource) {
  return IdIndex(followsSource ? 0 : weights.size(), idsOf(weights), false);
}

}  // namespace

bool GatheredPairs::gatherInOneWalk(const std::vector<Point>& src, const std::vector<Point>& dst,
                                    const std::vector<Point>& weights, const IdIndex& dstById) {
  const bool follows = followsSource(src, weights, 0, src.size());
  const IdIndex weightById = weightIndex(weights, follows);
  const std::size_t most = std::min(src.size(), dst.size());  // the walk never hands out more
  src_ = allocate(most);
  dst_ = allocate(most);
  if (!weights.empty()) weights_ = allocate(most);
  srcView_ = src_.get();
  weightsView_ = weights_.get();
  Point* const s = src_.get();
  Point* const d = dst_.get();
  Point* const w = weights_.get();
  // The pairs are written at k: the output's pointers are copied into the
  // lambda and k is counted in a local (neither may be aliased by the
  // points written, so both stay in registers).
  Point* out[3] = {s, d, w};
  const Point* const in[3] = {src.data(), dst.data(), weights.data()};
  auto onPair = [out, in, follows, &weights, &weightById](std::size_t i, std::size_t j) mutable {
    new (out[0]++) Point(in[0][i]);
    new (out[1]++) Point(in[1][j]);
    if (out[2] != nullptr) new (out[2]++) Point(follows ? in[2][i] : weightOf(in[0][i].id, weights, weightById));
  };
  const auto ahead = [&dst](std::size_t j) { prefetchPoint(dst[j]); };
  std::size_t found = 0;
  const bool complete = forEachIdPair(dstById, src.size(), idsOf(src), dst.size(), onPair, ahead, &found);
  count_ = found;
  return complete;
}

bool GatheredPairs::gatherByPartners(const std::vector<Point>& src, const std::vector<Point>& dst,
                                     const std::vector<Point>& weights, const IdIndex& dstById) {
  const std::size_t n = src.size(), chunks = parallel::chunksOf(n, kChunk);
  const unsigned threads = n < parallel::kMinPointsForThreads ? 1u : parallel::threadCount();
  partner_.reset(new std::uint32_t[n]);
  std::uint32_t* const partner = partner_.get();
  std::vector<std::size_t> first(chunks + 1, 0);  // first[c + 1]: the pairs of chunk c, then where chunk c starts
  std::vector<char> follows(chunks, 0);           // whether chunk c's weight points follow its source points
  const IdIndex::Lookup lookup = dstById.lookup();
  parallel::forChunks(chunks, threads, [&](std::size_t c) {
    const std::size_t begin = c * kChunk, end = std::min(n, begin + kChunk);
    std::size_t found = 0;
    bool weightsFollow = weights.size() == n;  // followsSource, in this loop
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kAhead < end) lookup.prefetch(src[i + kAhead].id);
      partner[i] = lookup.first(src[i].id);
      found += partner[i] != IdIndex::kNone ? 1 : 0;
      if (weightsFollow) weightsFollow = followsAt(src, weights, i);
    }
    first[c + 1] = found;
    follows[c] = weightsFollow ? 1 : 0;
  });
  for (std::size_t c = 0; c < chunks; ++c) first[c + 1] += first[c];
  const std::size_t total = first[chunks], limit = std::min(n, dst.size());
  if (total > limit) {  // the walk abandons the pairing at the pair after `limit`
    count_ = limit;
    return false;
  }
  count_ = total;
  const bool weightsFollow = std::find(follows.begin(), follows.end(), 0) == follows.end();
  const IdIndex weightById = weightIndex(weights, weightsFollow);
  dst_ = allocate(total);
  // Every source point paired: the pairs' source points are the caller's,
  // in order, and so may be their weights.
  const bool everySource = total == n;
  if (!everySource) src_ = allocate(total);
  srcView_ = everySource ? src.data() : src_.get();
  const bool callersWeights = everySource && weightsFollow;
  if (!weights.empty() && !callersWeights) weights_ = allocate(total);
  weightsView_ = callersWeights ? weights.data() : weights_.get();
  // Every pair's source point and weights in place: the destination points
  // are gathered on demand (gatherRange).
  dstSet_ = &dst;
  deferred_ = everySource && (weights.empty() || callersWeights);
  if (deferred_) return true;
  Point* const s = src_.get();
  Point* const d = dst_.get();
  Point* const w = weights_.get();
  parallel::forChunks(chunks, threads, [&](std::size_t c) {
    const std::size_t end = std::min(n, (c + 1) * kChunk);
    std::size_t k = first[c];
    for (std::size_t i = c * kChunk; i < end; ++i) {
      if (i + kAhead < end && partner[i + kAhead] != IdIndex::kNone) prefetchPoint(dst[partner[i + kAhead]]);
      const std::uint32_t j = partner[i];
      if (j == IdIndex::kNone) continue;
      new (d + k) Point(dst[j]);
      if (s != nullptr) new (s + k) Point(src[i]);
      if (w != nullptr) new (w + k) Point(weightsFollow ? weights[i] : weightOf(src[i].id, weights, weightById));
      ++k;
    }
  });
  return true;
}

}  // namespace fit
}  // namespace Zem

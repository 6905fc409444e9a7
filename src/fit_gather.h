// Pairs by identifier gathered into arrays by position. Internal.
#ifndef ZEM_FIT_GATHER_H
#define ZEM_FIT_GATHER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fit_pairing.h"
#include "math_types.h"

namespace Zem {
namespace fit {

/// The pairs of forEachIdPair (fit_pairing.h), in its order, as arrays by
/// position: source points, destination points and, when weight points are
/// given, each pair's weights (the first weight point with the source
/// point's identifier, else (1, 1, 1)). The moments take the pairs in order
/// whichever way they arrive, so the fit of these arrays by position is the
/// fit by identifier, bit for bit.
class GatheredPairs {
 public:
  using Point = BaPoint3d<double>;

  /// Whether the pairs are found source point by source point, each with
  /// at most one partner: when the destination identifiers do not repeat
  /// (so that no pairing is abandoned halfway). Large sets are then paired
  /// and gathered over threads (parallel.h). Else one walk (forEachIdPair).
  static bool byPartners(const IdIndex& dstById) { return !dstById.repeats(); }

  /// Pairs the points and gathers the pairs, or leaves them to gatherRange
  /// (deferred()); `dstById` indexes dst with chains. The weight points are
  /// indexed by identifier only when they do not follow the source points
  /// (see followsSource). False when the pairing is abandoned; count() is
  /// then the pairs found before, as forEachIdPair counts them. src, dst and
  /// weights must outlive the gathering.
  ///
  /// With `speculate`, a set paired by partners is not paired beforehand:
  /// it is taken to pair every source point, with the weights (if any) the
  /// caller's in place, and gatherRange finds the partners as it gathers
  /// (one pass less). Where that does not hold, speculationFailed() says
  /// so once every pair has been gathered, and the caller starts again
  /// without speculating.
  bool pairUp(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
              const IdIndex& dstById, bool speculate = false);

  /// Pairs a source set numbered consecutively (identifiers first to
  /// first + n − 1 in order, −1 not among them) with a destination set of
  /// as many points, each of those identifiers once, in any order: every
  /// source point then pairs with the one destination point of its
  /// identifier, pair i is source point i's, and the destination points are
  /// placed by identifier in one pass over them (no index, no reading at
  /// random). False, with nothing done, when the sets are not of that kind
  /// (seen from the two end points of the source, the sizes, and the
  /// destination's identifiers). The source's numbering between its end
  /// points and the weights (which must follow the source points:
  /// followsSource) are left to the caller (leavesNumbering), whose failed
  /// check speculationFailed() then reports, as for a speculating pairUp.
  /// Nothing is left to gatherRange. The index of the general way is not
  /// needed. With `inPlace`, a set in the cache (kInCache) leaves the
  /// destination points where they are: dstOrder() then gives each pair's
  /// (4 bytes a pair written instead of 32).
  bool pairUpNumbered(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
                      bool inPlace = false);

  /// pairUp, and every pair gathered.
  bool gather(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
              const IdIndex& dstById);

  /// Whether the destination points remain to be gathered by gatherRange:
  /// sets paired by partners in which every source point pairs and the
  /// weights, if any, are the caller's in place, so that pair i is source
  /// point i's and only dst() waits. A pass that reads the pairs in runs
  /// gathers each run just before, while it is in the cache.
  bool deferred() const { return deferred_; }

  /// Gathers the destination points of pairs [begin, end) when deferred();
  /// runs that do not overlap may be gathered from several threads at once.
  void gatherRange(std::size_t begin, std::size_t end);

  /// The destination point of pair i, gathered or not (when speculating,
  /// any point for a source point without a partner).
  const Point& dstOf(std::size_t i) const;

  /// Whether a speculating pairUp was wrong (see there): a source point
  /// without a partner, or weights not in place, met by gatherRange; or
  /// pairs of pairUpNumbered whose numbering failed its check.
  bool speculationFailed() const { return failed_.load(std::memory_order_relaxed); }

  /// Whether pairUpNumbered left the check of the source's numbering and
  /// of the weights (pair i's source and weight points must carry
  /// identifier firstId() + i, see numberedAt) to the caller's next pass
  /// over the pairs, which reads those points anyway (the mean residual's),
  /// and settles with settleNumbering.
  bool leavesNumbering() const { return numberingLeft_; }
  /// The identifier of source point 0 (pairUpNumbered).
  std::int64_t firstId() const { return firstId_; }
  /// The caller's check of the numbering: *holds, or, where holds is null
  /// (the pass did not run), a check of every pair made here. A numbering
  /// that fails is reported by speculationFailed().
  void settleNumbering(const bool* holds);

  /// Whether source point i carries identifier first + i and its weight
  /// point (weights may be null) the same.
  static bool numberedAt(const Point* src, const Point* weights, std::int64_t first, std::size_t i) {
    return (src[i].id == first + std::int64_t(i)) & (weights == nullptr || weights[i].id == src[i].id);
  }

  std::size_t count() const { return count_; }
  const Point* src() const { return srcView_; }
  /// The gathered destination points (when deferred(), only those gathered
  /// so far); null where they were left in place (dstOrder).
  const Point* dst() const { return dst_.get(); }
  /// Pair i's destination point is dstRows()[i], or dstRows()[dstOrder()[i]]
  /// where dstOrder() is not null (pairUpNumbered in place).
  const Point* dstRows() const { return order_ ? dstSet_->data() : dst_.get(); }
  const std::uint32_t* dstOrder() const { return order_.get(); }
  /// Null when no weight points were given.
  const Point* weights() const { return weightsView_; }

 private:
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  /// Storage for n points, not initialised: the gathering writes each once.
  using Buffer = std::unique_ptr<Point, Free>;
  static Buffer allocate(std::size_t n);

  /// Whether weight points [begin, end) are those of the source points at
  /// their places: each with its source point's identifier, the identifiers
  /// increasing from begin − 1 on (so none repeats, and the first weight
  /// point with an identifier is the one at its place). Weights written
  /// point by point beside numbered points are; they need no index.
  static bool followsSource(const std::vector<Point>& src, const std::vector<Point>& weights, std::size_t begin,
                            std::size_t end);
  /// followsSource for weight point i alone (weights as many as src).
  static bool followsAt(const std::vector<Point>& src, const std::vector<Point>& weights, std::size_t i) {
    return weights[i].id == src[i].id && (i == 0 || src[i].id > src[i - 1].id);
  }

  void gatherSpeculating(std::size_t begin, std::size_t end);
  /// pairUpNumbered's placing of the destination points, numbered from
  /// first on, into dst_: false when they do not hold each identifier once.
  bool placeNumbered(const std::vector<Point>& dst, std::int64_t first);
  bool gatherInOneWalk(const std::vector<Point>& src, const std::vector<Point>& dst,
                       const std::vector<Point>& weights, const IdIndex& dstById);
  bool gatherByPartners(const std::vector<Point>& src, const std::vector<Point>& dst,
                        const std::vector<Point>& weights, const IdIndex& dstById);

  Buffer src_, dst_, weights_;
  std::unique_ptr<std::uint32_t[]> partner_;  ///< each source point's partner (in parallel), or IdIndex::kNone
  std::unique_ptr<std::uint32_t[]> order_;    ///< each pair's destination point, when left in place
  const std::vector<Point>* dstSet_ = nullptr;
  bool deferred_ = false;
  // Speculating (see pairUp): the sets gatherRange pairs itself.
  const IdIndex* dstById_ = nullptr;
  const std::vector<Point>* srcSet_ = nullptr;
  const std::vector<Point>* weightSet_ = nullptr;
  bool speculating_ = false;
  bool numberingLeft_ = false;     ///< pairUpNumbered's source numbering and weights left to the caller
  std::int64_t firstId_ = 0;       ///< the identifier of source point 0 (pairUpNumbered)
  std::atomic<bool> failed_{false};
  const Point* srcView_ = nullptr;  ///< src_, or the caller's source points when every one of them pairs in order
  const Point* weightsView_ = nullptr;  ///< weights_, or the caller's weight points when they are the pairs' in order
  std::size_t count_ = 0;
};

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_GATHER_H

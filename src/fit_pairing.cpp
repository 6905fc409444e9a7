// Pairing by identifier: the public entry points (see math_fit_pairing.h)
// and the gathering of the pairs for the fit (see fit_pairing.h).
#include "fit_pairing.h"

#include "math_fit_pairing.h"

namespace Zem {

namespace {

template <class SrcIdOf, class DstIdOf>
bool collectPairs(std::size_t srcCount, const SrcIdOf& srcIdOf, std::size_t dstCount, const DstIdOf& dstIdOf,
                  std::vector<FitPair>* pairs) {
  pairs->clear();
  std::size_t count = 0;
  return fit::forEachIdPair(
      srcCount, srcIdOf, dstCount, dstIdOf, [pairs](std::size_t i, std::size_t j) { pairs->push_back({i, j}); },
      [](std::size_t) {}, &count);
}

}  // namespace

bool pairByIdentifier(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                      std::vector<FitPair>* pairs) {
  return collectPairs(
      src.size(), [&src](std::size_t i) { return std::int64_t(src[i].id); }, dst.size(),
      [&dst](std::size_t j) { return std::int64_t(dst[j].id); }, pairs);
}

bool pairByIdentifier(const std::int64_t* srcIds, std::size_t srcCount, const std::int64_t* dstIds,
                      std::size_t dstCount, std::vector<FitPair>* pairs) {
  return collectPairs(
      srcCount, [srcIds](std::size_t i) { return srcIds[i]; }, dstCount, [dstIds](std::size_t j) { return dstIds[j]; },
      pairs);
}

namespace fit {

bool gatherById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                const std::vector<BaPoint3d<double>>& weights, IdPairs* out) {
  using Point = BaPoint3d<double>;
  if (weights.size() > IdIndex::kMaxPoints) return false;
  const auto idOf = [](const std::vector<Point>& set) {
    return [&set](std::size_t k) { return std::int64_t(set[k].id); };
  };
  const IdIndex weightById(weights.size(), idOf(weights), false);
  const bool unitWeights = weights.empty();
  out->unitWeights = unitWeights;
  std::vector<Point>& pairedSrc = out->pairedSrc;
  std::vector<Point>& pairedDst = out->pairedDst;
  std::vector<Point>& pairedWeights = out->pairedWeights;

  // While pair k is source point k, the source set itself serves as the list
  // of paired source points; it is copied only from the first exception on.
  // Partners and weights are gathered once, so that the iterations of the fit
  // read all three lists in order.
  const std::size_t limit = std::min(src.size(), dst.size());
  bool srcInPlace = true;
  pairedDst.reserve(limit);
  if (!unitWeights) pairedWeights.reserve(limit);
  // The weight point of the source point whose partners are being gathered.
  std::size_t weightOf = std::size_t(-1);
  Point w;
  const auto onPair = [&](std::size_t i, std::size_t j) {
    const Point& p = src[i];
    const std::size_t pairs = pairedDst.size();
    if (srcInPlace && i != pairs) {
      srcInPlace = false;
      pairedSrc.reserve(limit);
      pairedSrc.assign(src.begin(), src.begin() + std::ptrdiff_t(pairs));
    }
    if (!srcInPlace) pairedSrc.push_back(p);
    pairedDst.push_back(dst[j]);
    if (!unitWeights) {
      if (weightOf != i) {
        weightOf = i;
        const std::uint32_t k = weightById.first(p.id);
        w = k != IdIndex::kNone ? weights[k] : Point(1.0, 1.0, 1.0, p.id);
      }
      pairedWeights.push_back(w);
    }
  };
  const auto ahead = [&dst](std::size_t j) {
    const char* const at = reinterpret_cast<const char*>(&dst[j]);
    __builtin_prefetch(at);
    // A point straddling two cache lines needs both.
    if ((reinterpret_cast<std::uintptr_t>(at) & 63u) > 64u - sizeof(Point)) __builtin_prefetch(at + sizeof(Point) - 1);
  };
  const bool ok = forEachIdPair(src.size(), idOf(src), dst.size(), idOf(dst), onPair, ahead, &out->count);
  out->src = srcInPlace ? src.data() : pairedSrc.data();
  return ok;
}

}  // namespace fit
}  // namespace Zem

// Pairing by identifier: the public entry points (see math_fit_pairing.h).
#include "fit_pairing.h"

#include "math_fit_pairing.h"

namespace Zem {

namespace {

template <class SrcIdOf, class DstIdOf>
bool collectPairs(std::size_t srcCount, const SrcIdOf& srcIdOf, std::size_t dstCount, const DstIdOf& dstIdOf,
                  std::vector<FitPair>* pairs) {
  pairs->clear();
  if (dstCount > fit::IdIndex::kMaxPoints) return false;
  const fit::IdIndex dstById(dstCount, dstIdOf, true);
  std::size_t count = 0;
  return fit::forEachIdPair(
      dstById, srcCount, srcIdOf, dstCount, [pairs](std::size_t i, std::size_t j) { pairs->push_back({i, j}); },
      [](std::size_t) {}, &count);
}

}  // namespace

bool pairByIdentifier(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                      std::vector<FitPair>* pairs) {
  return collectPairs(src.size(), fit::idsOf(src), dst.size(), fit::idsOf(dst), pairs);
}

bool pairByIdentifier(const std::int64_t* srcIds, std::size_t srcCount, const std::int64_t* dstIds,
                      std::size_t dstCount, std::vector<FitPair>* pairs) {
  return collectPairs(
      srcCount, [srcIds](std::size_t i) { return srcIds[i]; }, dstCount, [dstIds](std::size_t j) { return dstIds[j]; },
      pairs);
}

}  // namespace Zem

// Pairing of two point sets by identifier, as the best fit pairs them: for
// each source point in order, every destination point with the same
// identifier, in the order of the destination set. Identifier −1 never pairs.
// An identifier that occurs in both sets more than once gives one pair for
// each combination; the pairing is abandoned (false) as soon as one more pair
// is found when the pairs already number as many as either set has points.
#ifndef ZEM_MATH_FIT_PAIRING_H
#define ZEM_MATH_FIT_PAIRING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "math_types.h"

namespace Zem {

/// One pair: the index of its source point and of its destination point.
struct FitPair {
  std::size_t source;
  std::size_t destination;
  bool operator==(const FitPair& b) const { return source == b.source && destination == b.destination; }
};

/// Pairs `src` with `dst` by the points' identifiers. Replaces *pairs with
/// the pairs in pairing order; false when the pairing was abandoned (*pairs
/// then holds the pairs found before).
bool pairByIdentifier(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                      std::vector<FitPair>* pairs);
/// The same for identifiers given apart from the points: srcIds[i] labels
/// source point i, dstIds[j] destination point j (−1: no identifier).
bool pairByIdentifier(const std::int64_t* srcIds, std::size_t srcCount, const std::int64_t* dstIds,
                      std::size_t dstCount, std::vector<FitPair>* pairs);

}  // namespace Zem

#endif  // ZEM_MATH_FIT_PAIRING_H

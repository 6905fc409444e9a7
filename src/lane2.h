// Internal: two doubles side by side, for loops over many points that take
// two points at a time (the fit's moments and residuals, the line and plane
// fits).
#ifndef ZEM_LANE2_H
#define ZEM_LANE2_H

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Zem {

/// Two values side by side; on processors with SIMD registers an operation
/// on a Lane2 is one instruction on both.
typedef double Lane2 __attribute__((vector_size(2 * sizeof(double))));

/// Square roots of both lanes (one instruction where SSE2 is available).
inline Lane2 sqrt2(Lane2 v) {
#if defined(__SSE2__)
  return Lane2(_mm_sqrt_pd(__m128d(v)));
#else
  return Lane2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

/// The same for one value, so that code written for both reads alike.
inline double sqrt2(double v) { return std::sqrt(v); }

}  // namespace Zem

#endif  // ZEM_LANE2_H

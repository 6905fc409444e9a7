// Internal: what the four-lane passes (kernels_avx2.cpp,
// feature_kernels_avx2.cpp) share. Their functions are compiled for AVX2 and
// FMA one by one (ZEM_AVX2), so that the library still loads and runs on
// processors without them; avx2::enabled() decides at run time.
#ifndef ZEM_AVX2_SUPPORT_H
#define ZEM_AVX2_SUPPORT_H

#include "math_types.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZEM_HAVE_AVX2_KERNELS 1
#include <immintrin.h>

#define ZEM_AVX2 __attribute__((target("avx2,fma")))
#define ZEM_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

namespace Zem {
namespace avx2 {

/// The sum of the four lanes.
ZEM_AVX2_INLINE double laneSum(__m256d v) {
  const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

/// x, y and z of four consecutive points, one point per lane. A point is
/// 32 bytes (x, y, z, identifier and padding), so each is one load; the
/// fourth lanes, which hold the identifiers, are dropped by the shuffles.
ZEM_AVX2_INLINE void fourPoints(const BaPoint3d<double>* p, __m256d* x, __m256d* y, __m256d* z) {
  static_assert(sizeof(BaPoint3d<double>) == 4 * sizeof(double), "a point fills four lanes");
  const __m256d p0 = _mm256_loadu_pd(&p[0].x), p1 = _mm256_loadu_pd(&p[1].x);
  const __m256d p2 = _mm256_loadu_pd(&p[2].x), p3 = _mm256_loadu_pd(&p[3].x);
  const __m256d xz01 = _mm256_unpacklo_pd(p0, p1), xz23 = _mm256_unpacklo_pd(p2, p3);
  const __m256d y01 = _mm256_unpackhi_pd(p0, p1), y23 = _mm256_unpackhi_pd(p2, p3);
  *x = _mm256_permute2f128_pd(xz01, xz23, 0x20);
  *z = _mm256_permute2f128_pd(xz01, xz23, 0x31);
  *y = _mm256_permute2f128_pd(y01, y23, 0x20);
}

}  // namespace avx2
}  // namespace Zem

#endif

#endif  // ZEM_AVX2_SUPPORT_H

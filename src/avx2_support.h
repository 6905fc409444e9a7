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
// The same four-lane code with the 32 vector registers of AVX-512.
#define ZEM_AVX512VL __attribute__((target("avx2,fma,avx512f,avx512vl")))

namespace Zem {
namespace avx2 {

/// The sum of the four lanes.
ZEM_AVX2_INLINE double laneSum(__m256d v) {
  const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

/// Two halves of a register from memory: a[0], a[1] low, b[0], b[1] high
/// (one load and one insertion from memory, which, unlike a shuffle of
/// registers, does not wait for the one port that shuffles).
ZEM_AVX2_INLINE __m256d halvesOf(const double* a, const double* b) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)), _mm_loadu_pd(b), 1);
}

/// x, y and z of four consecutive points, one point per lane. A point is
/// 32 bytes (x, y, z, identifier and padding): (x, y) and (z, identifier)
/// of points 0 and 2, and of 1 and 3, share a register each, and three
/// shuffles take the rows from them; the identifiers are dropped.
ZEM_AVX2_INLINE void fourPoints(const BaPoint3d<double>* p, __m256d* x, __m256d* y, __m256d* z) {
  static_assert(sizeof(BaPoint3d<double>) == 4 * sizeof(double), "a point fills four lanes");
  const __m256d xy02 = halvesOf(&p[0].x, &p[2].x), xy13 = halvesOf(&p[1].x, &p[3].x);
  const __m256d z02 = halvesOf(&p[0].z, &p[2].z), z13 = halvesOf(&p[1].z, &p[3].z);
  *x = _mm256_unpacklo_pd(xy02, xy13);
  *y = _mm256_unpackhi_pd(xy02, xy13);
  *z = _mm256_unpacklo_pd(z02, z13);
}

}  // namespace avx2
}  // namespace Zem

#endif

#endif  // ZEM_AVX2_SUPPORT_H

// The line and plane fits' passes four points at a time (see
// feature_kernels_avx2.h and avx2_support.h).
#include "feature_kernels_avx2.h"

#include <cmath>

#include "avx2_support.h"

namespace Zem {
namespace avx2 {

#if ZEM_HAVE_AVX2_KERNELS

namespace {

/// d = p − o of four consecutive points, one point per lane.
struct Four {
  __m256d x, y, z;
};

ZEM_AVX2_INLINE Four load(const BaPoint3d<double>* p, std::size_t i, const __m256d (&o)[3]) {
  __m256d x, y, z;
  fourPoints(p + i, &x, &y, &z);
  return {_mm256_sub_pd(x, o[0]), _mm256_sub_pd(y, o[1]), _mm256_sub_pd(z, o[2])};
}

/// Packed x, y, z: the twelve numbers of four points as pairs, points 0 and
/// 2 in the low and high halves of one register, 1 and 3 of another.
ZEM_AVX2_INLINE Four load(const double* xyz, std::size_t i, const __m256d (&o)[3]) {
  const double* q = xyz + 3 * i;
  const __m256d xy02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(q)), _mm_loadu_pd(q + 6), 1);
  const __m256d zx0213 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(q + 2)), _mm_loadu_pd(q + 8), 1);
  const __m256d yz13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(q + 4)), _mm_loadu_pd(q + 10), 1);
  return {_mm256_sub_pd(_mm256_shuffle_pd(xy02, zx0213, 0xA), o[0]),
          _mm256_sub_pd(_mm256_shuffle_pd(xy02, yz13, 0x5), o[1]),
          _mm256_sub_pd(_mm256_shuffle_pd(zx0213, yz13, 0xA), o[2])};
}

ZEM_AVX2_INLINE void broadcast(const BaVec3d<double>& v, __m256d (&out)[3]) {
  out[0] = _mm256_set1_pd(v.x);
  out[1] = _mm256_set1_pd(v.y);
  out[2] = _mm256_set1_pd(v.z);
}

template <class Points>
ZEM_AVX2_INLINE void moments(const Points* p, std::size_t count, const BaVec3d<double>& origin, double (&s)[9]) {
  __m256d o[3];
  broadcast(origin, o);
  __m256d t[9];
  for (__m256d& v : t) v = _mm256_setzero_pd();
  for (std::size_t i = 0; i < count; i += 4) {
    const Four d = load(p, i, o);
    t[0] = _mm256_add_pd(t[0], d.x);
    t[1] = _mm256_add_pd(t[1], d.y);
    t[2] = _mm256_add_pd(t[2], d.z);
    t[3] = _mm256_fmadd_pd(d.x, d.x, t[3]);
    t[4] = _mm256_fmadd_pd(d.x, d.y, t[4]);
    t[5] = _mm256_fmadd_pd(d.x, d.z, t[5]);
    t[6] = _mm256_fmadd_pd(d.y, d.y, t[6]);
    t[7] = _mm256_fmadd_pd(d.y, d.z, t[7]);
    t[8] = _mm256_fmadd_pd(d.z, d.z, t[8]);
  }
  for (int k = 0; k < 9; ++k) s[k] += laneSum(t[k]);
}

/// Stores four residuals and folds them into the summary's lanes.
ZEM_AVX2_INLINE void keep(__m256d v, double* out, __m256d* squares, __m256d* lo, __m256d* hi) {
  _mm256_storeu_pd(out, v);
  *squares = _mm256_fmadd_pd(v, v, *squares);
  *lo = _mm256_min_pd(v, *lo);
  *hi = _mm256_max_pd(v, *hi);
}

ZEM_AVX2_INLINE void fold(__m256d squares, __m256d lo, __m256d hi, ResidualSummary* summary) {
  summary->squares += laneSum(squares);
  double lanes[4];
  _mm256_storeu_pd(lanes, lo);
  for (double v : lanes) summary->lo = v < summary->lo ? v : summary->lo;
  _mm256_storeu_pd(lanes, hi);
  for (double v : lanes) summary->hi = v > summary->hi ? v : summary->hi;
}

template <class Points>
ZEM_AVX2_INLINE void heights(const Points* p, std::size_t count, const BaVec3d<double>& origin,
                             const BaVec3d<double>& normal, double shift, double* out, ResidualSummary* summary) {
  __m256d o[3], n[3];
  broadcast(origin, o);
  broadcast(normal, n);
  const __m256d minusShift = _mm256_set1_pd(-shift);
  __m256d squares = _mm256_setzero_pd(), lo = _mm256_set1_pd(HUGE_VAL), hi = _mm256_set1_pd(-HUGE_VAL);
  for (std::size_t i = 0; i < count; i += 4) {
    const Four d = load(p, i, o);
    const __m256d v = _mm256_fmadd_pd(d.z, n[2], _mm256_fmadd_pd(d.y, n[1], _mm256_fmadd_pd(d.x, n[0], minusShift)));
    keep(v, out + i, &squares, &lo, &hi);
  }
  fold(squares, lo, hi, summary);
}

template <class Points>
ZEM_AVX2_INLINE void distances(const Points* p, std::size_t count, const BaVec3d<double>& origin,
                               const BaVec3d<double>& centre, const BaVec3d<double>& along, double* out,
                               ResidualSummary* summary) {
  __m256d o[3], c[3], u[3];
  broadcast(origin, o);
  broadcast(centre, c);
  broadcast(along, u);
  __m256d squares = _mm256_setzero_pd(), lo = _mm256_set1_pd(HUGE_VAL), hi = _mm256_set1_pd(-HUGE_VAL);
  for (std::size_t i = 0; i < count; i += 4) {
    const Four d = load(p, i, o);
    const __m256d x = _mm256_sub_pd(d.x, c[0]), y = _mm256_sub_pd(d.y, c[1]), z = _mm256_sub_pd(d.z, c[2]);
    const __m256d e = _mm256_fmsub_pd(y, u[2], _mm256_mul_pd(z, u[1]));
    const __m256d f = _mm256_fmsub_pd(z, u[0], _mm256_mul_pd(x, u[2]));
    const __m256d g = _mm256_fmsub_pd(x, u[1], _mm256_mul_pd(y, u[0]));
    const __m256d v = _mm256_sqrt_pd(_mm256_fmadd_pd(g, g, _mm256_fmadd_pd(f, f, _mm256_mul_pd(e, e))));
    keep(v, out + i, &squares, &lo, &hi);
  }
  fold(squares, lo, hi, summary);
}

}  // namespace

ZEM_AVX2 void pointMoments(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, double (&s)[9]) {
  moments(p, count, o, s);
}
ZEM_AVX2 void pointMoments(const double* xyz, std::size_t count, const BaVec3d<double>& o, double (&s)[9]) {
  moments(xyz, count, o, s);
}
ZEM_AVX2 void planeHeights(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o,
                           const BaVec3d<double>& n, double shift, double* out, ResidualSummary* summary) {
  heights(p, count, o, n, shift, out, summary);
}
ZEM_AVX2 void planeHeights(const double* xyz, std::size_t count, const BaVec3d<double>& o, const BaVec3d<double>& n,
                           double shift, double* out, ResidualSummary* summary) {
  heights(xyz, count, o, n, shift, out, summary);
}
ZEM_AVX2 void lineDistances(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o,
                            const BaVec3d<double>& c, const BaVec3d<double>& u, double* out,
                            ResidualSummary* summary) {
  distances(p, count, o, c, u, out, summary);
}
ZEM_AVX2 void lineDistances(const double* xyz, std::size_t count, const BaVec3d<double>& o, const BaVec3d<double>& c,
                            const BaVec3d<double>& u, double* out, ResidualSummary* summary) {
  distances(xyz, count, o, c, u, out, summary);
}

#else  // not x86-64: the two-lane passes only (avx2::enabled() is false)

void pointMoments(const BaPoint3d<double>*, std::size_t, const BaVec3d<double>&, double (&)[9]) {}
void pointMoments(const double*, std::size_t, const BaVec3d<double>&, double (&)[9]) {}
void planeHeights(const BaPoint3d<double>*, std::size_t, const BaVec3d<double>&, const BaVec3d<double>&, double,
                  double*, ResidualSummary*) {}
void planeHeights(const double*, std::size_t, const BaVec3d<double>&, const BaVec3d<double>&, double, double*,
                  ResidualSummary*) {}
void lineDistances(const BaPoint3d<double>*, std::size_t, const BaVec3d<double>&, const BaVec3d<double>&,
                   const BaVec3d<double>&, double*, ResidualSummary*) {}
void lineDistances(const double*, std::size_t, const BaVec3d<double>&, const BaVec3d<double>&,
                   const BaVec3d<double>&, double*, ResidualSummary*) {}

#endif

}  // namespace avx2
}  // namespace Zem

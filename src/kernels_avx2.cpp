// The fit's passes four pairs at a time (see kernels_avx2.h and
// avx2_support.h).
#include "kernels_avx2.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "avx2_support.h"

namespace Zem {
namespace avx2 {

#if ZEM_HAVE_AVX2_KERNELS

namespace {

bool decide() {
  const char* portable = std::getenv("ZEM_PORTABLE_KERNELS");
  if (portable != nullptr && std::strcmp(portable, "1") == 0) return false;
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

/// The same, and the identifiers' lanes (bits only, never computed with).
ZEM_AVX2_INLINE void fourPointsAndIds(const BaPoint3d<double>* p, __m256d* x, __m256d* y, __m256d* z, __m256d* ids) {
  const __m256d p0 = _mm256_loadu_pd(&p[0].x), p1 = _mm256_loadu_pd(&p[1].x);
  const __m256d p2 = _mm256_loadu_pd(&p[2].x), p3 = _mm256_loadu_pd(&p[3].x);
  const __m256d xz01 = _mm256_unpacklo_pd(p0, p1), xz23 = _mm256_unpacklo_pd(p2, p3);
  const __m256d yi01 = _mm256_unpackhi_pd(p0, p1), yi23 = _mm256_unpackhi_pd(p2, p3);
  *x = _mm256_permute2f128_pd(xz01, xz23, 0x20);
  *z = _mm256_permute2f128_pd(xz01, xz23, 0x31);
  *y = _mm256_permute2f128_pd(yi01, yi23, 0x20);
  *ids = _mm256_permute2f128_pd(yi01, yi23, 0x31);
}

/// Asks for the two cache lines of points `ahead` to `ahead` + 3 places
/// after p, which may lie beyond the array: the address is formed as an
/// integer (a prefetch of any address is harmless; pointer arithmetic
/// beyond an array is not).
inline void prefetchAhead(const BaPoint3d<double>* p, std::size_t ahead) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + ahead * sizeof(BaPoint3d<double>);
  __builtin_prefetch(reinterpret_cast<const void*>(at));
  __builtin_prefetch(reinterpret_cast<const void*>(at + 2 * sizeof(BaPoint3d<double>)));
}

}  // namespace

bool enabled() {
  static const bool use = decide();
  return use;
}

ZEM_AVX2 void centred(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, double* x, double* y,
                      double* z) {
  const __m256d ox = _mm256_set1_pd(o.x), oy = _mm256_set1_pd(o.y), oz = _mm256_set1_pd(o.z);
  for (std::size_t k = 0; k < count; k += 4) {
    // The moments of a block are summed between two calls: ask for the
    // next block's points meanwhile.
    prefetchAhead(p + k, 64);
    __m256d px, py, pz;
    fourPoints(p + k, &px, &py, &pz);
    _mm256_storeu_pd(x + k, _mm256_sub_pd(px, ox));
    _mm256_storeu_pd(y + k, _mm256_sub_pd(py, oy));
    _mm256_storeu_pd(z + k, _mm256_sub_pd(pz, oz));
  }
}

ZEM_AVX2 void unitSums(const double* const (&a)[3], const double* const (&b)[3], std::size_t count, double* s) {
  // Three loops over the block (which stays in the first-level cache), each
  // with few enough sums to keep them in registers.
  {
    __m256d sa[3] = {}, saa[6] = {};
    for (std::size_t k = 0; k < count; k += 4) {
      const __m256d a0 = _mm256_loadu_pd(a[0] + k), a1 = _mm256_loadu_pd(a[1] + k), a2 = _mm256_loadu_pd(a[2] + k);
      sa[0] = _mm256_add_pd(sa[0], a0);
      sa[1] = _mm256_add_pd(sa[1], a1);
      sa[2] = _mm256_add_pd(sa[2], a2);
      saa[0] = _mm256_fmadd_pd(a0, a0, saa[0]);
      saa[1] = _mm256_fmadd_pd(a1, a1, saa[1]);
      saa[2] = _mm256_fmadd_pd(a2, a2, saa[2]);
      saa[3] = _mm256_fmadd_pd(a0, a1, saa[3]);
      saa[4] = _mm256_fmadd_pd(a0, a2, saa[4]);
      saa[5] = _mm256_fmadd_pd(a1, a2, saa[5]);
    }
    for (int i = 0; i < 3; ++i) s[1 + i] += laneSum(sa[i]);
    for (int e = 0; e < 6; ++e) s[7 + e] += laneSum(saa[e]);
  }
  {
    __m256d sb[3] = {}, sba[6] = {};  // Σb, Σb₀·a, Σb₁·a
    for (std::size_t k = 0; k < count; k += 4) {
      const __m256d a0 = _mm256_loadu_pd(a[0] + k), a1 = _mm256_loadu_pd(a[1] + k), a2 = _mm256_loadu_pd(a[2] + k);
      const __m256d b0 = _mm256_loadu_pd(b[0] + k), b1 = _mm256_loadu_pd(b[1] + k), b2 = _mm256_loadu_pd(b[2] + k);
      sb[0] = _mm256_add_pd(sb[0], b0);
      sb[1] = _mm256_add_pd(sb[1], b1);
      sb[2] = _mm256_add_pd(sb[2], b2);
      sba[0] = _mm256_fmadd_pd(b0, a0, sba[0]);
      sba[1] = _mm256_fmadd_pd(b0, a1, sba[1]);
      sba[2] = _mm256_fmadd_pd(b0, a2, sba[2]);
      sba[3] = _mm256_fmadd_pd(b1, a0, sba[3]);
      sba[4] = _mm256_fmadd_pd(b1, a1, sba[4]);
      sba[5] = _mm256_fmadd_pd(b1, a2, sba[5]);
    }
    for (int r = 0; r < 3; ++r) s[4 + r] += laneSum(sb[r]);
    for (int e = 0; e < 6; ++e) s[13 + e] += laneSum(sba[e]);
  }
  {
    __m256d sb2a[3] = {}, sbb = _mm256_setzero_pd();  // Σb₂·a, Σ|b|²
    for (std::size_t k = 0; k < count; k += 4) {
      const __m256d a0 = _mm256_loadu_pd(a[0] + k), a1 = _mm256_loadu_pd(a[1] + k), a2 = _mm256_loadu_pd(a[2] + k);
      const __m256d b0 = _mm256_loadu_pd(b[0] + k), b1 = _mm256_loadu_pd(b[1] + k), b2 = _mm256_loadu_pd(b[2] + k);
      sb2a[0] = _mm256_fmadd_pd(b2, a0, sb2a[0]);
      sb2a[1] = _mm256_fmadd_pd(b2, a1, sb2a[1]);
      sb2a[2] = _mm256_fmadd_pd(b2, a2, sb2a[2]);
      sbb = _mm256_add_pd(sbb, _mm256_fmadd_pd(b0, b0, _mm256_fmadd_pd(b1, b1, _mm256_mul_pd(b2, b2))));
    }
    for (int l = 0; l < 3; ++l) s[19 + l] += laneSum(sb2a[l]);
    s[22] += laneSum(sbb);
  }
}

ZEM_AVX2 void weightFlags(const double* x, const double* y, const double* z, std::size_t count,
                         std::size_t* carrying, bool* negative, bool* isotropic) {
  const __m256d zero = _mm256_setzero_pd();
  __m256d below = zero, unequal = zero;  // lanes ever negative, ever with differing weights
  std::size_t none = 0;
  for (std::size_t k = 0; k < count; k += 4) {
    const __m256d wx = _mm256_loadu_pd(x + k), wy = _mm256_loadu_pd(y + k), wz = _mm256_loadu_pd(z + k);
    const __m256d allZero = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(wx, zero, _CMP_EQ_OQ),
                                                        _mm256_cmp_pd(wy, zero, _CMP_EQ_OQ)),
                                          _mm256_cmp_pd(wz, zero, _CMP_EQ_OQ));
    none += unsigned(__builtin_popcount(unsigned(_mm256_movemask_pd(allZero))));
    below = _mm256_or_pd(below, _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(wx, zero, _CMP_LT_OQ),
                                                          _mm256_cmp_pd(wy, zero, _CMP_LT_OQ)),
                                             _mm256_cmp_pd(wz, zero, _CMP_LT_OQ)));
    // Not (x == y and y == z): unordered (NaN) counts as differing.
    unequal = _mm256_or_pd(unequal,
                           _mm256_or_pd(_mm256_cmp_pd(wx, wy, _CMP_NEQ_UQ), _mm256_cmp_pd(wy, wz, _CMP_NEQ_UQ)));
  }
  *carrying += count - none;
  if (_mm256_movemask_pd(below) != 0) *negative = true;
  if (_mm256_movemask_pd(unequal) != 0) *isotropic = false;
}

ZEM_AVX2 void axisSums(const double* const (&a)[3], const double* const (&b)[3], const double* const (&w)[3],
                       std::size_t count, double* s) {
  for (int r = 0; r < 3; ++r) {
    double* t = s + 15 * r;  // see AxisKind for the order of the fifteen sums
    {
      __m256d sw = _mm256_setzero_pd(), swa[3] = {}, swaa[6] = {};
      for (std::size_t k = 0; k < count; k += 4) {
        const __m256d a0 = _mm256_loadu_pd(a[0] + k), a1 = _mm256_loadu_pd(a[1] + k), a2 = _mm256_loadu_pd(a[2] + k);
        const __m256d wr = _mm256_loadu_pd(w[r] + k);
        const __m256d wa0 = _mm256_mul_pd(wr, a0), wa1 = _mm256_mul_pd(wr, a1), wa2 = _mm256_mul_pd(wr, a2);
        sw = _mm256_add_pd(sw, wr);
        swa[0] = _mm256_add_pd(swa[0], wa0);
        swa[1] = _mm256_add_pd(swa[1], wa1);
        swa[2] = _mm256_add_pd(swa[2], wa2);
        swaa[0] = _mm256_fmadd_pd(wa0, a0, swaa[0]);
        swaa[1] = _mm256_fmadd_pd(wa1, a1, swaa[1]);
        swaa[2] = _mm256_fmadd_pd(wa2, a2, swaa[2]);
        swaa[3] = _mm256_fmadd_pd(wa0, a1, swaa[3]);
        swaa[4] = _mm256_fmadd_pd(wa0, a2, swaa[4]);
        swaa[5] = _mm256_fmadd_pd(wa1, a2, swaa[5]);
      }
      t[0] += laneSum(sw);
      for (int i = 0; i < 3; ++i) t[1 + i] += laneSum(swa[i]);
      for (int e = 0; e < 6; ++e) t[5 + e] += laneSum(swaa[e]);
    }
    {
      __m256d swb = _mm256_setzero_pd(), swba[3] = {}, swbb = _mm256_setzero_pd();
      for (std::size_t k = 0; k < count; k += 4) {
        const __m256d a0 = _mm256_loadu_pd(a[0] + k), a1 = _mm256_loadu_pd(a[1] + k), a2 = _mm256_loadu_pd(a[2] + k);
        const __m256d br = _mm256_loadu_pd(b[r] + k);
        const __m256d wb = _mm256_mul_pd(_mm256_loadu_pd(w[r] + k), br);
        swb = _mm256_add_pd(swb, wb);
        swba[0] = _mm256_fmadd_pd(wb, a0, swba[0]);
        swba[1] = _mm256_fmadd_pd(wb, a1, swba[1]);
        swba[2] = _mm256_fmadd_pd(wb, a2, swba[2]);
        swbb = _mm256_fmadd_pd(wb, br, swbb);
      }
      t[4] += laneSum(swb);
      for (int i = 0; i < 3; ++i) t[11 + i] += laneSum(swba[i]);
      t[14] += laneSum(swbb);
    }
  }
}

ZEM_AVX2 double residualSum(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                            const BaPoint3d<double>* weights, std::size_t count) {
  __m256d row[3][4];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) row[r][c] = _mm256_set1_pd(m[r][c]);
  __m256d sum = _mm256_setzero_pd();
  const std::size_t whole = count - count % 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    prefetchAhead(src + i, 32);
    prefetchAhead(dst + i, 32);
    __m256d px, py, pz, qx, qy, qz;
    fourPoints(src + i, &px, &py, &pz);
    fourPoints(dst + i, &qx, &qy, &qz);
    __m256d d[3];
    const __m256d q[3] = {qx, qy, qz};
    for (int r = 0; r < 3; ++r)
      d[r] = _mm256_fmadd_pd(row[r][0], px,
                             _mm256_fmadd_pd(row[r][1], py, _mm256_fmadd_pd(row[r][2], pz, _mm256_sub_pd(row[r][3], q[r]))));
    if (weights != nullptr) {
      __m256d wx, wy, wz;
      fourPoints(weights + i, &wx, &wy, &wz);
      d[0] = _mm256_mul_pd(d[0], wx);
      d[1] = _mm256_mul_pd(d[1], wy);
      d[2] = _mm256_mul_pd(d[2], wz);
    }
    const __m256d square = _mm256_fmadd_pd(d[0], d[0], _mm256_fmadd_pd(d[1], d[1], _mm256_mul_pd(d[2], d[2])));
    sum = _mm256_add_pd(sum, _mm256_sqrt_pd(square));
  }
  return laneSum(sum);
}

ZEM_AVX2 void residuals(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                        std::size_t count, BaPoint3d<double>* out, double* distances, double (&sums)[3]) {
  __m256d row[3][4];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) row[r][c] = _mm256_set1_pd(m[r][c]);
  __m256d sum = _mm256_setzero_pd(), sumSquares = _mm256_setzero_pd(), largest = _mm256_set1_pd(sums[2]);
  for (std::size_t i = 0; i < count; i += 4) {
    prefetchAhead(src + i, 32);
    prefetchAhead(dst + i, 32);
    __m256d p[3], q[3], ids;
    fourPointsAndIds(src + i, &p[0], &p[1], &p[2], &ids);
    fourPoints(dst + i, &q[0], &q[1], &q[2]);
    __m256d d[3];
    for (int r = 0; r < 3; ++r)
      d[r] = _mm256_fmadd_pd(row[r][0], p[0],
                             _mm256_fmadd_pd(row[r][1], p[1], _mm256_fmadd_pd(row[r][2], p[2], _mm256_sub_pd(row[r][3], q[r]))));
    const __m256d square = _mm256_fmadd_pd(d[0], d[0], _mm256_fmadd_pd(d[1], d[1], _mm256_mul_pd(d[2], d[2])));
    const __m256d distance = _mm256_sqrt_pd(square);
    _mm256_storeu_pd(distances + i, distance);
    sum = _mm256_add_pd(sum, distance);
    sumSquares = _mm256_add_pd(sumSquares, square);
    largest = _mm256_max_pd(distance, largest);
    // Back to one point per register: (dx, dy, dz, the source's identifier).
    const __m256d xy02 = _mm256_unpacklo_pd(d[0], d[1]), xy13 = _mm256_unpackhi_pd(d[0], d[1]);
    const __m256d zi02 = _mm256_unpacklo_pd(d[2], ids), zi13 = _mm256_unpackhi_pd(d[2], ids);
    _mm256_storeu_pd(&out[i].x, _mm256_permute2f128_pd(xy02, zi02, 0x20));
    _mm256_storeu_pd(&out[i + 1].x, _mm256_permute2f128_pd(xy13, zi13, 0x20));
    _mm256_storeu_pd(&out[i + 2].x, _mm256_permute2f128_pd(xy02, zi02, 0x31));
    _mm256_storeu_pd(&out[i + 3].x, _mm256_permute2f128_pd(xy13, zi13, 0x31));
  }
  sums[0] += laneSum(sum);
  sums[1] += laneSum(sumSquares);
  double lanes[4];
  _mm256_storeu_pd(lanes, largest);
  for (double v : lanes) sums[2] = v > sums[2] ? v : sums[2];
}

#else  // not x86-64: the portable passes only

bool enabled() { return false; }
void residuals(const double (&)[3][4], const BaPoint3d<double>*, const BaPoint3d<double>*, std::size_t,
               BaPoint3d<double>*, double*, double (&)[3]) {}
void centred(const BaPoint3d<double>*, std::size_t, const BaVec3d<double>&, double*, double*, double*) {}
void unitSums(const double* const (&)[3], const double* const (&)[3], std::size_t, double*) {}
void axisSums(const double* const (&)[3], const double* const (&)[3], const double* const (&)[3], std::size_t,
              double*) {}
void weightFlags(const double*, const double*, const double*, std::size_t, std::size_t*, bool*, bool*) {}
double residualSum(const double (&)[3][4], const BaPoint3d<double>*, const BaPoint3d<double>*,
                   const BaPoint3d<double>*, std::size_t) {
  return 0.0;
}

#endif

}  // namespace avx2
}  // namespace Zem

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

bool decideWide() {
  const char* avx2Only = std::getenv("ZEM_AVX2_ONLY");
  if (avx2Only != nullptr && std::strcmp(avx2Only, "1") == 0) return false;
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

/// The same, and the identifiers' lanes (bits only, never computed with).
ZEM_AVX2_INLINE void fourPointsAndIds(const BaPoint3d<double>* p, __m256d* x, __m256d* y, __m256d* z, __m256d* ids) {
  const __m256d xy02 = halvesOf(&p[0].x, &p[2].x), xy13 = halvesOf(&p[1].x, &p[3].x);
  const __m256d zi02 = halvesOf(&p[0].z, &p[2].z), zi13 = halvesOf(&p[1].z, &p[3].z);
  *x = _mm256_unpacklo_pd(xy02, xy13);
  *y = _mm256_unpackhi_pd(xy02, xy13);
  *z = _mm256_unpacklo_pd(zi02, zi13);
  *ids = _mm256_unpackhi_pd(zi02, zi13);
}

/// x, y and z of points k to k + 3 of p, or, where order is not null, of
/// the points p[order[k]] to p[order[k + 3]] (the same shuffles).
ZEM_AVX2_INLINE void fourRows(const BaPoint3d<double>* p, const std::uint32_t* order, std::size_t k, __m256d* x,
                              __m256d* y, __m256d* z) {
  if (order == nullptr) {
    fourPoints(p + k, x, y, z);
    return;
  }
  const BaPoint3d<double>&p0 = p[order[k]], &p1 = p[order[k + 1]], &p2 = p[order[k + 2]], &p3 = p[order[k + 3]];
  const __m256d xy02 = halvesOf(&p0.x, &p2.x), xy13 = halvesOf(&p1.x, &p3.x);
  const __m256d z02 = halvesOf(&p0.z, &p2.z), z13 = halvesOf(&p1.z, &p3.z);
  *x = _mm256_unpacklo_pd(xy02, xy13);
  *y = _mm256_unpackhi_pd(xy02, xy13);
  *z = _mm256_unpacklo_pd(z02, z13);
}

/// The lane sums of four vectors, one per lane: (Σa, Σb, Σc, Σd), each
/// added as laneSum adds it, (v₀ + v₂) + (v₁ + v₃).
ZEM_AVX2_INLINE __m256d laneSums(__m256d a, __m256d b, __m256d c, __m256d d) {
  const __m256d ac = _mm256_add_pd(_mm256_permute2f128_pd(a, c, 0x20), _mm256_permute2f128_pd(a, c, 0x31));
  const __m256d bd = _mm256_add_pd(_mm256_permute2f128_pd(b, d, 0x20), _mm256_permute2f128_pd(b, d, 0x31));
  return _mm256_hadd_pd(ac, bd);
}

/// hi[k] + lo[k] += v[k] for the four lanes, as addCompensated.
ZEM_AVX2_INLINE void twoSum(__m256d v, double* hi, double* lo) {
  const __m256d h = _mm256_loadu_pd(hi);
  const __m256d s = _mm256_add_pd(h, v), bv = _mm256_sub_pd(s, h);
  const __m256d error = _mm256_add_pd(_mm256_sub_pd(h, _mm256_sub_pd(s, bv)), _mm256_sub_pd(v, bv));
  _mm256_storeu_pd(lo, _mm256_add_pd(_mm256_loadu_pd(lo), error));
  _mm256_storeu_pd(hi, s);
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

bool wideRegisters() {
  static const bool use = enabled() && decideWide();
  return use;
}

ZEM_AVX2 void centred(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, double* x, double* y,
                      double* z, const std::uint32_t* order) {
  const __m256d ox = _mm256_set1_pd(o.x), oy = _mm256_set1_pd(o.y), oz = _mm256_set1_pd(o.z);
  for (std::size_t k = 0; k < count; k += 4) {
    // The moments of a block are summed between two calls: ask for the
    // next block's points meanwhile.
    if (order == nullptr) prefetchAhead(p + k, 64);
    __m256d px, py, pz;
    fourRows(p, order, k, &px, &py, &pz);
    _mm256_storeu_pd(x + k, _mm256_sub_pd(px, ox));
    _mm256_storeu_pd(y + k, _mm256_sub_pd(py, oy));
    _mm256_storeu_pd(z + k, _mm256_sub_pd(pz, oz));
  }
}

ZEM_AVX2 void addCompensated(const double* s, std::size_t count, double* hi, double* lo) {
  for (std::size_t e = 0; e < count; e += 4) twoSum(_mm256_loadu_pd(s + e), hi + e, lo + e);
}

namespace {

ZEM_AVX2_INLINE void unitMomentsOf(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t blocks,
                                   std::size_t block, const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst,
                                   double* hi, double* lo) {
  const __m256d ps[3] = {_mm256_set1_pd(refSrc.x), _mm256_set1_pd(refSrc.y), _mm256_set1_pd(refSrc.z)};
  const __m256d qs[3] = {_mm256_set1_pd(refDst.x), _mm256_set1_pd(refDst.y), _mm256_set1_pd(refDst.z)};
  const __m256d zero = _mm256_setzero_pd(), size = _mm256_set1_pd(double(block) / 4.0);  // Σ1 over four lanes
  for (std::size_t b = 0; b < blocks; ++b, src += block, dst += block) {
    // One loop, all 22 sums: more than the sixteen registers of AVX2 hold
    // (AVX-512's 32 hold them), but each pair's points are read and turned
    // into rows once.
    __m256d sa[3] = {zero, zero, zero}, sb[3] = {zero, zero, zero}, saa[6] = {}, sba[9] = {}, sbb = zero;
    for (std::size_t k = 0; k < block; k += 4) {
      prefetchAhead(src + k, 64);
      prefetchAhead(dst + k, 64);
      __m256d a[3], q[3];
      fourPoints(src + k, &a[0], &a[1], &a[2]);
      fourPoints(dst + k, &q[0], &q[1], &q[2]);
      for (int r = 0; r < 3; ++r) {
        a[r] = _mm256_sub_pd(a[r], ps[r]);
        q[r] = _mm256_sub_pd(q[r], qs[r]);
        sa[r] = _mm256_add_pd(sa[r], a[r]);
        sb[r] = _mm256_add_pd(sb[r], q[r]);
      }
      saa[0] = _mm256_fmadd_pd(a[0], a[0], saa[0]);
      saa[1] = _mm256_fmadd_pd(a[1], a[1], saa[1]);
      saa[2] = _mm256_fmadd_pd(a[2], a[2], saa[2]);
      saa[3] = _mm256_fmadd_pd(a[0], a[1], saa[3]);
      saa[4] = _mm256_fmadd_pd(a[0], a[2], saa[4]);
      saa[5] = _mm256_fmadd_pd(a[1], a[2], saa[5]);
      for (int r = 0; r < 3; ++r)
        for (int l = 0; l < 3; ++l) sba[3 * r + l] = _mm256_fmadd_pd(q[r], a[l], sba[3 * r + l]);
      sbb = _mm256_add_pd(sbb, _mm256_fmadd_pd(q[0], q[0], _mm256_fmadd_pd(q[1], q[1], _mm256_mul_pd(q[2], q[2]))));
    }
    // In UnitKind's order: Σ1, Σa, Σb, Σa·aᵀ, Σb·aᵀ, Σ|b|², and a 0.
    twoSum(laneSums(size, sa[0], sa[1], sa[2]), hi, lo);
    twoSum(laneSums(sb[0], sb[1], sb[2], saa[0]), hi + 4, lo + 4);
    twoSum(laneSums(saa[1], saa[2], saa[3], saa[4]), hi + 8, lo + 8);
    twoSum(laneSums(saa[5], sba[0], sba[1], sba[2]), hi + 12, lo + 12);
    twoSum(laneSums(sba[3], sba[4], sba[5], sba[6]), hi + 16, lo + 16);
    twoSum(laneSums(sba[7], sba[8], sbb, zero), hi + 20, lo + 20);
  }
}

}  // namespace

namespace {
// The same code compiled twice: for AVX2, and with the 32 registers of
// AVX-512 (still four lanes wide).
ZEM_AVX2 void unitMomentsAvx2(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t blocks,
                              std::size_t block, const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst,
                              double* hi, double* lo) {
  unitMomentsOf(src, dst, blocks, block, refSrc, refDst, hi, lo);
}
ZEM_AVX512VL void unitMomentsWide(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t blocks,
                                  std::size_t block, const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst,
                                  double* hi, double* lo) {
  unitMomentsOf(src, dst, blocks, block, refSrc, refDst, hi, lo);
}
}  // namespace

void unitMoments(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t blocks, std::size_t block,
                 const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst, double* hi, double* lo) {
  if (wideRegisters())
    unitMomentsWide(src, dst, blocks, block, refSrc, refDst, hi, lo);
  else
    unitMomentsAvx2(src, dst, blocks, block, refSrc, refDst, hi, lo);
}

namespace {

/// The weights' flags of weightFlags for four pairs: lanes ever below 0
/// or with differing weights, and the pairs that carry no weight.
struct WeightFlags {
  __m256d below, unequal;
  std::size_t none;
};

ZEM_AVX2_INLINE void takeFlags(__m256d wx, __m256d wy, __m256d wz, WeightFlags* flags) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d allZero = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(wx, zero, _CMP_EQ_OQ),
                                                      _mm256_cmp_pd(wy, zero, _CMP_EQ_OQ)),
                                        _mm256_cmp_pd(wz, zero, _CMP_EQ_OQ));
  flags->none += unsigned(__builtin_popcount(unsigned(_mm256_movemask_pd(allZero))));
  flags->below = _mm256_or_pd(flags->below, _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(wx, zero, _CMP_LT_OQ),
                                                                      _mm256_cmp_pd(wy, zero, _CMP_LT_OQ)),
                                                         _mm256_cmp_pd(wz, zero, _CMP_LT_OQ)));
  // Not (x == y and y == z): unordered (NaN) counts as differing.
  flags->unequal = _mm256_or_pd(flags->unequal, _mm256_or_pd(_mm256_cmp_pd(wx, wy, _CMP_NEQ_UQ),
                                                             _mm256_cmp_pd(wy, wz, _CMP_NEQ_UQ)));
}

/// The fifteen sums of one axis r (AxisKind), lane by lane.
struct AxisLanes {
  __m256d sw, swa[3], swaa[6], swb, swba[3], swbb;
};

ZEM_AVX2_INLINE AxisLanes noAxisLanes() {
  const __m256d zero = _mm256_setzero_pd();
  return {zero, {zero, zero, zero}, {zero, zero, zero, zero, zero, zero}, zero, {zero, zero, zero}, zero};
}

/// Σw_r, Σw_r·a, Σw_r·a·aᵀ of four pairs: weights wr, centred source rows a.
ZEM_AVX2_INLINE void addWeightedSource(__m256d wr, __m256d a0, __m256d a1, __m256d a2, AxisLanes* s) {
  const __m256d wa0 = _mm256_mul_pd(wr, a0), wa1 = _mm256_mul_pd(wr, a1), wa2 = _mm256_mul_pd(wr, a2);
  s->sw = _mm256_add_pd(s->sw, wr);
  s->swa[0] = _mm256_add_pd(s->swa[0], wa0);
  s->swa[1] = _mm256_add_pd(s->swa[1], wa1);
  s->swa[2] = _mm256_add_pd(s->swa[2], wa2);
  s->swaa[0] = _mm256_fmadd_pd(wa0, a0, s->swaa[0]);
  s->swaa[1] = _mm256_fmadd_pd(wa1, a1, s->swaa[1]);
  s->swaa[2] = _mm256_fmadd_pd(wa2, a2, s->swaa[2]);
  s->swaa[3] = _mm256_fmadd_pd(wa0, a1, s->swaa[3]);
  s->swaa[4] = _mm256_fmadd_pd(wa0, a2, s->swaa[4]);
  s->swaa[5] = _mm256_fmadd_pd(wa1, a2, s->swaa[5]);
}

/// Σw_r·b_r, Σw_r·b_r·a, Σw_r·b_r² of four pairs: the destination row br too.
ZEM_AVX2_INLINE void addWeightedDestination(__m256d wr, __m256d br, __m256d a0, __m256d a1, __m256d a2,
                                            AxisLanes* s) {
  const __m256d wb = _mm256_mul_pd(wr, br);
  s->swb = _mm256_add_pd(s->swb, wb);
  s->swba[0] = _mm256_fmadd_pd(wb, a0, s->swba[0]);
  s->swba[1] = _mm256_fmadd_pd(wb, a1, s->swba[1]);
  s->swba[2] = _mm256_fmadd_pd(wb, a2, s->swba[2]);
  s->swbb = _mm256_fmadd_pd(wb, br, s->swbb);
}

/// The fifteen sums' lanes in AxisKind's order.
ZEM_AVX2_INLINE void storeAxis(const AxisLanes& s, __m256d* t) {
  t[0] = s.sw;
  for (int i = 0; i < 3; ++i) t[1 + i] = s.swa[i];
  t[4] = s.swb;
  for (int e = 0; e < 6; ++e) t[5 + e] = s.swaa[e];
  for (int i = 0; i < 3; ++i) t[11 + i] = s.swba[i];
  t[14] = s.swbb;
}

/// The rows of one block that the passes of axes 1 and 2 read, one
/// coordinate per array: the centred source rows, the weights of y and z
/// and the centred destination rows of y and z.
struct StagedBlock {
  alignas(32) double a[3][kMaxBlock];
  alignas(32) double w[2][kMaxBlock];
  alignas(32) double b[2][kMaxBlock];
};

/// Axis 0's fifteen sums (AxisKind's order) of one block into t, in the
/// operations of axisSums; the weights' flags and the look-ahead too, and
/// the rows the other axes need staged for them (taken from the points
/// once, instead of once per axis).
ZEM_AVX2_INLINE void firstAxisPass(const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                                   const std::uint32_t* dstOrder, const BaPoint3d<double>* w, std::size_t block,
                                   const __m256d (&ps)[3], const __m256d (&qs)[3], __m256d* t, WeightFlags* flags,
                                   StagedBlock* staged) {
  AxisLanes sums = noAxisLanes();
  for (std::size_t k = 0; k < block; k += 4) {
    // Points three blocks ahead are asked for meanwhile (one block ahead
    // left a set of 1e6 pairs 3% slower than the buffer's passes).
    prefetchAhead(src + k, 192);
    if (dstOrder == nullptr) prefetchAhead(dst + k, 192);
    prefetchAhead(w + k, 192);
    __m256d a0, a1, a2, wx, wy, wz, b0, b1, b2;
    fourPoints(w + k, &wx, &wy, &wz);
    takeFlags(wx, wy, wz, flags);
    fourPoints(src + k, &a0, &a1, &a2);
    fourRows(dst, dstOrder, k, &b0, &b1, &b2);
    a0 = _mm256_sub_pd(a0, ps[0]);
    a1 = _mm256_sub_pd(a1, ps[1]);
    a2 = _mm256_sub_pd(a2, ps[2]);
    _mm256_store_pd(staged->a[0] + k, a0);
    _mm256_store_pd(staged->a[1] + k, a1);
    _mm256_store_pd(staged->a[2] + k, a2);
    _mm256_store_pd(staged->w[0] + k, wy);
    _mm256_store_pd(staged->w[1] + k, wz);
    _mm256_store_pd(staged->b[0] + k, _mm256_sub_pd(b1, qs[1]));
    _mm256_store_pd(staged->b[1] + k, _mm256_sub_pd(b2, qs[2]));
    addWeightedSource(wx, a0, a1, a2, &sums);
    addWeightedDestination(wx, _mm256_sub_pd(b0, qs[0]), a0, a1, a2, &sums);
  }
  storeAxis(sums, t);
}

/// Axis r's (1 or 2) fifteen sums of one block into t, from the staged rows.
template <int r>
ZEM_AVX2_INLINE void stagedAxisPass(const StagedBlock& staged, std::size_t block, __m256d* t) {
  AxisLanes sums = noAxisLanes();
  for (std::size_t k = 0; k < block; k += 4) {
    const __m256d a0 = _mm256_load_pd(staged.a[0] + k), a1 = _mm256_load_pd(staged.a[1] + k),
                  a2 = _mm256_load_pd(staged.a[2] + k), wr = _mm256_load_pd(staged.w[r - 1] + k);
    addWeightedSource(wr, a0, a1, a2, &sums);
    addWeightedDestination(wr, _mm256_load_pd(staged.b[r - 1] + k), a0, a1, a2, &sums);
  }
  storeAxis(sums, t);
}

}  // namespace

// Only with AVX-512's registers: in AVX2's sixteen the fifteen sums of an
// axis and the rows spill, and this is no faster than the buffer's passes.
ZEM_AVX512VL void axisMoments(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, const BaPoint3d<double>* w,
                              std::size_t blocks, std::size_t block, const BaVec3d<double>& refSrc,
                              const BaVec3d<double>& refDst, double* hi, double* lo, std::size_t* carrying,
                              bool* negative, bool* isotropic, const std::uint32_t* dstOrder) {
  const __m256d ps[3] = {_mm256_set1_pd(refSrc.x), _mm256_set1_pd(refSrc.y), _mm256_set1_pd(refSrc.z)};
  const __m256d qs[3] = {_mm256_set1_pd(refDst.x), _mm256_set1_pd(refDst.y), _mm256_set1_pd(refDst.z)};
  WeightFlags flags{_mm256_setzero_pd(), _mm256_setzero_pd(), 0};
  for (std::size_t b = 0; b < blocks; ++b, src += block, w += block) {
    // A pass per axis over the block (in the first-level cache), each with
    // its fifteen sums in registers.
    __m256d sums[48];
    StagedBlock staged;
    firstAxisPass(src, dst, dstOrder, w, block, ps, qs, sums, &flags, &staged);
    if (dstOrder != nullptr)
      dstOrder += block;
    else
      dst += block;
    stagedAxisPass<1>(staged, block, sums + 15);
    stagedAxisPass<2>(staged, block, sums + 30);
    sums[45] = sums[46] = sums[47] = _mm256_setzero_pd();
    for (int e = 0; e < 48; e += 4) twoSum(laneSums(sums[e], sums[e + 1], sums[e + 2], sums[e + 3]), hi + e, lo + e);
  }
  *carrying += blocks * block - flags.none;
  if (_mm256_movemask_pd(flags.below) != 0) *negative = true;
  if (_mm256_movemask_pd(flags.unequal) != 0) *isotropic = false;
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
  __m256d sums[48];  // in AxisKind's order, and three zeros: reduced four at a time at the end
  for (int r = 0; r < 3; ++r) {
    // Two loops over the block (which stays in the first-level cache), each
    // with few enough sums to keep them in AVX2's registers.
    AxisLanes lanes = noAxisLanes();
    for (std::size_t k = 0; k < count; k += 4)
      addWeightedSource(_mm256_loadu_pd(w[r] + k), _mm256_loadu_pd(a[0] + k), _mm256_loadu_pd(a[1] + k),
                        _mm256_loadu_pd(a[2] + k), &lanes);
    for (std::size_t k = 0; k < count; k += 4)
      addWeightedDestination(_mm256_loadu_pd(w[r] + k), _mm256_loadu_pd(b[r] + k), _mm256_loadu_pd(a[0] + k),
                             _mm256_loadu_pd(a[1] + k), _mm256_loadu_pd(a[2] + k), &lanes);
    storeAxis(lanes, sums + 15 * r);
  }
  sums[45] = sums[46] = sums[47] = _mm256_setzero_pd();
  for (int e = 0; e < 48; e += 4)
    _mm256_storeu_pd(s + e, _mm256_add_pd(_mm256_loadu_pd(s + e), laneSums(sums[e], sums[e + 1], sums[e + 2], sums[e + 3])));
}

/// residualSum, checking the identifiers as well when `check`.
template <bool check>
ZEM_AVX2_INLINE double residualSumOf(const double (&m)[3][4], const BaPoint3d<double>* src,
                                     const BaPoint3d<double>* dst, const BaPoint3d<double>* weights,
                                     std::size_t count, std::int64_t firstId, bool* numbered,
                                     const std::uint32_t* dstOrder) {
  __m256d row[3][4];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) row[r][c] = _mm256_set1_pd(m[r][c]);
  __m256d sum = _mm256_setzero_pd();
  // An identifier lane holds the int in its low 32 bits (the padding above
  // is not compared): a lane differs where (id ^ expected) & low is not 0.
  const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF), four = _mm256_set1_epi64x(4);
  __m256i expected = _mm256_set_epi64x(firstId + 3, firstId + 2, firstId + 1, firstId), differs = _mm256_setzero_si256();
  const std::size_t whole = count - count % 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    prefetchAhead(src + i, 32);
    if (dstOrder == nullptr) prefetchAhead(dst + i, 32);
    __m256d px, py, pz, qx, qy, qz, srcIds;
    if (check)
      fourPointsAndIds(src + i, &px, &py, &pz, &srcIds);
    else
      fourPoints(src + i, &px, &py, &pz);
    fourRows(dst, dstOrder, i, &qx, &qy, &qz);
    __m256d d[3];
    const __m256d q[3] = {qx, qy, qz};
    for (int r = 0; r < 3; ++r)
      d[r] = _mm256_fmadd_pd(row[r][0], px,
                             _mm256_fmadd_pd(row[r][1], py, _mm256_fmadd_pd(row[r][2], pz, _mm256_sub_pd(row[r][3], q[r]))));
    if (check) {
      const __m256i ids = _mm256_castpd_si256(srcIds);
      differs = _mm256_or_si256(differs, _mm256_xor_si256(ids, expected));
      expected = _mm256_add_epi64(expected, four);
    }
    if (weights != nullptr) {
      __m256d wx, wy, wz, weightIds;
      if (check) {
        fourPointsAndIds(weights + i, &wx, &wy, &wz, &weightIds);
        differs = _mm256_or_si256(differs, _mm256_xor_si256(_mm256_castpd_si256(weightIds), _mm256_castpd_si256(srcIds)));
      } else {
        fourPoints(weights + i, &wx, &wy, &wz);
      }
      d[0] = _mm256_mul_pd(d[0], wx);
      d[1] = _mm256_mul_pd(d[1], wy);
      d[2] = _mm256_mul_pd(d[2], wz);
    }
    const __m256d square = _mm256_fmadd_pd(d[0], d[0], _mm256_fmadd_pd(d[1], d[1], _mm256_mul_pd(d[2], d[2])));
    sum = _mm256_add_pd(sum, _mm256_sqrt_pd(square));
  }
  if (check && !_mm256_testz_si256(differs, low)) *numbered = false;
  return laneSum(sum);
}

namespace {

ZEM_AVX2 double residualSumAvx2(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                                const BaPoint3d<double>* weights, std::size_t count, std::int64_t firstId,
                                bool* numbered, const std::uint32_t* dstOrder) {
  return numbered != nullptr ? residualSumOf<true>(m, src, dst, weights, count, firstId, numbered, dstOrder)
                             : residualSumOf<false>(m, src, dst, weights, count, firstId, numbered, dstOrder);
}

ZEM_AVX512VL double residualSumWide(const double (&m)[3][4], const BaPoint3d<double>* src,
                                    const BaPoint3d<double>* dst, const BaPoint3d<double>* weights,
                                    std::size_t count, std::int64_t firstId, bool* numbered,
                                    const std::uint32_t* dstOrder) {
  return numbered != nullptr ? residualSumOf<true>(m, src, dst, weights, count, firstId, numbered, dstOrder)
                             : residualSumOf<false>(m, src, dst, weights, count, firstId, numbered, dstOrder);
}

}  // namespace

double residualSum(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                   const BaPoint3d<double>* weights, std::size_t count, std::int64_t firstId, bool* numbered,
                   const std::uint32_t* dstOrder) {
  return wideRegisters() ? residualSumWide(m, src, dst, weights, count, firstId, numbered, dstOrder)
                         : residualSumAvx2(m, src, dst, weights, count, firstId, numbered, dstOrder);
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

ZEM_AVX2 void placeMarked(const BaPoint3d<double>* in, std::size_t count, std::int64_t first, std::size_t places,
                          BaPoint3d<double>* out, std::uint64_t* marks) {
  static_assert(sizeof(BaPoint3d<double>) == 32, "a point is one 32-byte store");
  constexpr std::size_t kAhead = 16;  // the places are written at random: fetch them early
  for (std::size_t j = 0; j < count; ++j) {
    if (j + kAhead < count) {
      const std::uint64_t later = std::uint64_t(std::int64_t(in[j + kAhead].id) - first);
      if (later < places) __builtin_prefetch(out + later, 1);
    }
    const std::uint64_t k = std::uint64_t(std::int64_t(in[j].id) - first);  // wraps below first
    if (k >= places) continue;
    marks[k >> 6] |= std::uint64_t(1) << (k & 63);
    const __m256d point = _mm256_loadu_pd(&in[j].x);  // x, y, z and the identifier's 8 bytes
    asm volatile("vmovupd %1, %0" : "=m"(*reinterpret_cast<char(*)[32]>(out + k)) : "x"(point));
  }
}

#else  // not x86-64: the portable passes only

bool enabled() { return false; }
void residuals(const double (&)[3][4], const BaPoint3d<double>*, const BaPoint3d<double>*, std::size_t,
               BaPoint3d<double>*, double*, double (&)[3]) {}
void centred(const BaPoint3d<double>*, std::size_t, const BaVec3d<double>&, double*, double*, double*,
             const std::uint32_t*) {}
void unitSums(const double* const (&)[3], const double* const (&)[3], std::size_t, double*) {}
void unitMoments(const BaPoint3d<double>*, const BaPoint3d<double>*, std::size_t, std::size_t, const BaVec3d<double>&,
                 const BaVec3d<double>&, double*, double*) {}
void addCompensated(const double*, std::size_t, double*, double*) {}
bool wideRegisters() { return false; }
void axisMoments(const BaPoint3d<double>*, const BaPoint3d<double>*, const BaPoint3d<double>*, std::size_t, std::size_t,
                 const BaVec3d<double>&, const BaVec3d<double>&, double*, double*, std::size_t*, bool*, bool*,
                 const std::uint32_t*) {}
void axisSums(const double* const (&)[3], const double* const (&)[3], const double* const (&)[3], std::size_t,
              double*) {}
void weightFlags(const double*, const double*, const double*, std::size_t, std::size_t*, bool*, bool*) {}
double residualSum(const double (&)[3][4], const BaPoint3d<double>*, const BaPoint3d<double>*,
                   const BaPoint3d<double>*, std::size_t, std::int64_t, bool*, const std::uint32_t*) {
  return 0.0;
}
void placeMarked(const BaPoint3d<double>*, std::size_t, std::int64_t, std::size_t, BaPoint3d<double>*,
                 std::uint64_t*) {}

#endif

}  // namespace avx2
}  // namespace Zem

// Internal: the fit's passes over many pairs four at a time, for processors
// with AVX2 and FMA (chosen at run time; the portable two-lane passes of
// fit_kernels.h and fit_engine.cpp remain for every other processor).
//
// They compute the same sums in another order and with fused multiply-adds,
// so results differ from the portable passes' by rounding only. The
// environment variable ZEM_PORTABLE_KERNELS=1 makes a process use the
// portable passes (results then identical on every x86-64 processor).
//
// A pass that needs more registers than AVX2's sixteen is compiled a second
// time for the 32 of AVX-512 (still four lanes wide), used where the
// processor has them: the same operations, so the same sums bit for bit.
// ZEM_AVX2_ONLY=1 makes a process use the AVX2 build (for the tests).
#ifndef ZEM_KERNELS_AVX2_H
#define ZEM_KERNELS_AVX2_H

#include <cstddef>
#include <cstdint>

#include "math_types.h"

namespace Zem {
namespace avx2 {

/// Whether this process uses the kernels below: decided once, on the first call.
bool enabled();

/// Writes each of points [0, count) whose identifier lies in first to
/// first + places − 1 to out[identifier − first], setting bit
/// identifier − first of `marks` (places bits), and leaves the others. The
/// places are fetched a little ahead. Several threads may place runs of one
/// set into one `out`, each with its own marks: two of them write one place
/// only when an identifier repeats across their runs, whose placed points
/// the caller then refuses unread (see the marks). Each point is written by
/// one store instruction of the processor's own (an asm statement), so that
/// such racing stores are defined (one of them, or parts of each, lands),
/// not the undefined behaviour a race of C++ stores is.
void placeMarked(const BaPoint3d<double>* in, std::size_t count, std::int64_t first, std::size_t places,
                 BaPoint3d<double>* out, std::uint64_t* marks);

/// Rows x[k] = p[k].x − o.x, y and z alike, for k < count (a multiple of
/// 4); of the points p[order[k]] where order is not null.
void centred(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, double* x, double* y, double* z,
             const std::uint32_t* order = nullptr);

/// Unit weights: the moments of `blocks` blocks of `block` pairs (a
/// multiple of 4) src[i], dst[i] about (refSrc, refDst), read from the
/// points themselves: each block's sums of UnitKind (fit_kernels.h; Σ1 is
/// the block's size) added to the compensated totals hi[0..24), lo[0..24)
/// as addCompensated adds them (entry 23 gets 0).
void unitMoments(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t blocks, std::size_t block,
                 const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst, double* hi, double* lo);

/// Whether the passes that need more registers than AVX2's sixteen have
/// AVX-512's 32 (see the file comment; false without enabled()).
bool wideRegisters();

/// The most pairs a block of axisMoments may hold.
constexpr std::size_t kMaxBlock = 64;

/// Per-axis weights, where wideRegisters(): the moments of `blocks` blocks
/// of `block` pairs (a multiple of 4, at most kMaxBlock) src[i], dst[i]
/// weighted by w[i] about (refSrc, refDst), read from the points
/// themselves: each block's sums of AxisKind added to the compensated
/// totals hi[0..48), lo[0..48) (entries 45 to 47 get 0), and the weights'
/// flags taken, both exactly as centred, weightFlags, axisSums and
/// addCompensated do for the rows of the block. Where dstOrder is not
/// null, pair i's destination point is dst[dstOrder[i]].
void axisMoments(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, const BaPoint3d<double>* w,
                 std::size_t blocks, std::size_t block, const BaVec3d<double>& refSrc, const BaVec3d<double>& refDst,
                 double* hi, double* lo, std::size_t* carrying, bool* negative, bool* isotropic,
                 const std::uint32_t* dstOrder = nullptr);

/// Adds s[e] to the running sum hi[e] + lo[e] (Knuth's two-sum, the same
/// operations as the scalar CompensatedSum of fit_kernels.h), e < count, a
/// multiple of 4.
void addCompensated(const double* s, std::size_t count, double* hi, double* lo);

/// Unit weights: adds to s[1..22] the sums of UnitKind (fit_kernels.h, less
/// Σ1) over entries [0, count) of the rows a[r] = p_r − p₀_r, b[r] = q_r − q₀_r;
/// count is a multiple of 4.
void unitSums(const double* const (&a)[3], const double* const (&b)[3], std::size_t count, double* s);

/// Per-axis weights: adds to s[0..44] the sums of AxisKind over entries
/// [0, count) of the rows a, b and w (the weights), and 0 to s[45..47];
/// count a multiple of 4.
void axisSums(const double* const (&a)[3], const double* const (&b)[3], const double* const (&w)[3],
              std::size_t count, double* s);

/// Per-axis weights (x[k], y[k], z[k]), k < count (a multiple of 4): adds
/// to *carrying those that are not all 0, sets *negative when one is below
/// 0 and clears *isotropic when the three of one differ (each as
/// AxisKind's scalar tests, NaN included).
void weightFlags(const double* x, const double* y, const double* z, std::size_t count, std::size_t* carrying,
                 bool* negative, bool* isotropic);

/// Σ |W·(M·p − q)| over pairs [0, count − count % 4) of src[i], dst[i]
/// (weights[i] per axis, or the identity when weights is null), M the rows
/// of an affine map (already including the scale). Where numbered is not
/// null, also clears *numbered unless every src[i] of those pairs carries
/// identifier firstId + i and its weights[i] (if any) the same. Where
/// dstOrder is not null, pair i's destination point is dst[dstOrder[i]].
double residualSum(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                   const BaPoint3d<double>* weights, std::size_t count, std::int64_t firstId = 0,
                   bool* numbered = nullptr, const std::uint32_t* dstOrder = nullptr);

/// For pairs [0, count) (count a multiple of 4): out[i] = M·src[i] − dst[i]
/// with src[i]'s identifier, distances[i] = |out[i]|, and adds Σ|out[i]|
/// and Σ|out[i]|² to sums[0] and sums[1] and takes the largest |out[i]|
/// into sums[2].
void residuals(const double (&m)[3][4], const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t count,
               BaPoint3d<double>* out, double* distances, double (&sums)[3]);

}  // namespace avx2
}  // namespace Zem

#endif  // ZEM_KERNELS_AVX2_H

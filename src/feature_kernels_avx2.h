// Internal: the line and plane fits' passes over the points four at a time,
// for processors with AVX2 and FMA (avx2::enabled() of kernels_avx2.h
// decides; the two-lane passes of feature_line_plane.cpp remain for every
// other processor). The same sums in another order and with fused
// multiply-adds: results differ from the two-lane passes' by rounding only.
//
// The points come in either layout of FeaturePoints: BaPoint3d (32 bytes a
// point) or packed x, y, z (24 bytes). Counts are multiples of 4; d = p − o.
#ifndef ZEM_FEATURE_KERNELS_AVX2_H
#define ZEM_FEATURE_KERNELS_AVX2_H

#include <cmath>
#include <cstddef>

#include "math_types.h"

namespace Zem {
namespace avx2 {

/// The running summary of a residual pass: Σv², the smallest and the largest v.
struct ResidualSummary {
  double squares = 0.0;
  double lo = HUGE_VAL;
  double hi = -HUGE_VAL;
};

/// Adds to s the sums Σd (x, y, z) and Σ d·dᵀ (xx, xy, xz, yy, yz, zz) of
/// points [0, count).
void pointMoments(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, double (&s)[9]);
void pointMoments(const double* xyz, std::size_t count, const BaVec3d<double>& o, double (&s)[9]);

/// out[i] = d·n − shift (a plane's signed distance) for points [0, count).
void planeHeights(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o, const BaVec3d<double>& n,
                  double shift, double* out, ResidualSummary* summary);
void planeHeights(const double* xyz, std::size_t count, const BaVec3d<double>& o, const BaVec3d<double>& n,
                  double shift, double* out, ResidualSummary* summary);

/// out[i] = |(d − c) × u| (the distance from the line through o + c along
/// the unit vector u) for points [0, count).
void lineDistances(const BaPoint3d<double>* p, std::size_t count, const BaVec3d<double>& o,
                   const BaVec3d<double>& c, const BaVec3d<double>& u, double* out, ResidualSummary* summary);
void lineDistances(const double* xyz, std::size_t count, const BaVec3d<double>& o, const BaVec3d<double>& c,
                   const BaVec3d<double>& u, double* out, ResidualSummary* summary);

}  // namespace avx2
}  // namespace Zem

#endif  // ZEM_FEATURE_KERNELS_AVX2_H

// Internal helpers of the feature constructions (frames from planes, axes,
// lines and points). Not installed.
//
// A frame is an origin O and three row vectors X', Y', Z'. The transformation
// into the frame has the rows (X', −X'·O), (Y', −Y'·O), (Z', −Z'·O) and
// (0, 0, 0, 1): a point p maps to its frame coordinates X'·(p − O), Y'·(p − O),
// Z'·(p − O), with scale 1.
#ifndef ZEM_MATH_TRANS_FRAME_H
#define ZEM_MATH_TRANS_FRAME_H

#include <cmath>

#include "math_transformation.h"

namespace Zem {
namespace frame {

using Vec = BaVec3d<double>;

/// Sine of the angle at or below which two unit directions count as parallel
/// (and three points as collinear). Rounding leaves exactly parallel unit
/// directions at a sine of a few 1e-16; anything this far above that is a
/// genuine, if ill-conditioned, angle. The same bound as the geometry's
/// line-and-plane test.
constexpr double kParallelSine = 1e-12;

inline bool isFinite(const Vec& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

/// Scales v to unit length. False, leaving v unchanged, when a component is
/// not finite or the length is 1e-50 or less. The length is taken without
/// overflow or underflow of the squares, so any finite vector longer than
/// 1e-50 succeeds.
inline bool normalize(Vec& v) {
  if (!isFinite(v)) return false;
  const double len = std::hypot(v.x, v.y, v.z);
  if (!(len > Vec::kMinLength)) return false;
  v = v / len;
  return true;
}

/// v with its component along the unit vector u removed, in two passes. One
/// pass leaves a component of a few eps·|v| along u, which is rounding
/// noise for a v far from u but a large angle for a v nearly parallel to u
/// (eps/sin of the angle between them); the second pass takes that off too,
/// so the result is perpendicular to u to a few ulps.
inline Vec perpendicularPart(const Vec& v, const Vec& u) {
  const Vec once = v - u * u.dot(v);
  return once - u * u.dot(once);
}

/// Reverses the axis when the signed value s of a point lies on the wrong
/// side for the flag: s < 0 with `positive` true, s > 0 with it false. s = 0
/// keeps the axis. Afterwards s ≥ 0 holds for a true flag, s ≤ 0 for false.
inline void orientBySide(Vec& axis, double s, bool positive) {
  if ((s < 0.0 && positive) || (s > 0.0 && !positive)) axis = -axis;
}

/// Sets *out to the transformation into the frame (origin, x, y, z) and
/// returns true; returns false, leaving *out untouched, when an element would
/// not be finite.
inline bool build(const Vec& origin, const Vec& x, const Vec& y, const Vec& z, Transformation* out) {
  const double m[4][4] = {{x.x, x.y, x.z, -x.dot(origin)},
                          {y.x, y.y, y.z, -y.dot(origin)},
                          {z.x, z.y, z.z, -z.dot(origin)},
                          {0.0, 0.0, 0.0, 1.0}};
  for (const auto& row : m)
    for (double e : row)
      if (!std::isfinite(e)) return false;
  *out = Transformation(m);
  return true;
}

/// True when all sixteen elements are finite.
inline bool isFinite(const Transformation& t) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c)
      if (!std::isfinite(t.getMatrix(c, r))) return false;
  return true;
}

}  // namespace frame
}  // namespace Zem

#endif  // ZEM_MATH_TRANS_FRAME_H

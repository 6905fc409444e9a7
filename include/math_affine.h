// Eight-coefficient mapping of the plane: an affine part plus one mixed term
// x·y in each output coordinate,
//     x' = a0 + a1·x + a2·y + a3·x·y
//     y' = a4 + a5·x + a6·y + a7·x·y
// so that four points in general position map exactly onto any four others
// (a quadrilateral onto another). On the unit square it is bilinear
// interpolation of the four target corners. Independent of the 3D classes.
#ifndef ZEM_MATH_AFFINE_H
#define ZEM_MATH_AFFINE_H

#include <vector>

#include "math_types.h"

namespace Zem {

class Affine {
 public:
  /// The identity: a1 = a6 = 1, all other coefficients 0.
  Affine() : a{0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0} {}
  static Affine identity() { return Affine(); }

  /// @name Application (hot paths: inline)
  /// @{
  double transformX(BaVec2d<double> p) const { return a[0] + a[1] * p.x + a[2] * p.y + a[3] * p.x * p.y; }
  double transformY(BaVec2d<double> p) const { return a[4] + a[5] * p.x + a[6] * p.y + a[7] * p.x * p.y; }
  BaVec2d<double> transform(BaVec2d<double> p) const { return BaVec2d<double>(transformX(p), transformY(p)); }
  /// @}

  /// Makes this the mapping "this, then b", keeping only the terms in 1, x, y
  /// and x·y: b's mixed term applied to this output also yields x², y², x²y,
  /// xy² and x²y², which are dropped. The result is the exact composition
  /// whenever b has no mixed term (b.a[3] = b.a[7] = 0). b may be this object.
  void append(const Affine& b);

  /// The coefficients that map src[i] exactly onto dst[i], i = 0 to 3. True
  /// and the coefficients stored when the 8x8 system is solved; false, with
  /// the coefficients unchanged, when it is singular (two equal source
  /// points, three of them on an axis-parallel line, all four on one line...).
  /// That decision does not depend on where the source points lie or on their
  /// unit of length. The absolute form a0 to a7, however, cannot hold every
  /// such mapping: far from the origin compared with the source
  /// quadrilateral's size (a 0.01 cell at 1e5) its coefficients cancel
  /// digits. The result is therefore checked at the four source points:
  /// when it misses a destination point by more than 1e-9 of the
  /// destination's extent (its larger width in x or y) plus four units of
  /// rounding of its largest coordinate, the function returns false with the
  /// coefficients unchanged. After true, transform(src[i]) lies within that
  /// bound of dst[i]. Throws ProgError, before any work, when src or dst
  /// does not hold exactly four points.
  bool computeTransformationRec(const std::vector<BaVec2d<double>>& src, const std::vector<BaVec2d<double>>& dst);
  /// The same for points; only x and y are read.
  bool computeTransformationRec(const std::vector<BaPoint2d<double>>& src,
                                const std::vector<BaPoint2d<double>>& dst);

  double a[8];  ///< a0 to a7 as in the formulas above
};

}  // namespace Zem

#endif  // ZEM_MATH_AFFINE_H

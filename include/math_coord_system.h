// A Cartesian coordinate system of 3D space: an origin and three axis
// directions, kept orthonormal.
//
// Whenever axes are given, they are orthonormalised by Gram–Schmidt, run
// twice so that they are orthonormal to rounding even when two are close:
// the x axis keeps its direction, the y axis is made
// perpendicular to x on the side it was given, the z axis perpendicular to
// both on the side it was given, and all three get unit length. Handedness is
// not enforced: a z axis given opposite to x × y stays opposite, so
// left-handed systems are kept as such.
#ifndef ZEM_MATH_COORD_SYSTEM_H
#define ZEM_MATH_COORD_SYSTEM_H

#include "math_types.h"

namespace Zem {

class Transformation;

namespace IO {
class InStream;
class OutStream;
}  // namespace IO

class CoordinateSystem {
 public:
  /// Origin (0, 0, 0); axes (1, 0, 0), (0, 1, 0), (0, 0, 1).
  CoordinateSystem();
  /// Origin and x, y, z axes; the axes are orthonormalised. Throws ProgError
  /// when they cannot be: an axis of length 1e-50 or less (or not finite),
  /// before or after removing its parts along the earlier axes, or finished
  /// axes whose mutual cosines exceed 1e-9 (what was left of an axis was only
  /// rounding noise).
  CoordinateSystem(const BaVec3d<double>& origin, const BaVec3d<double>& xAxis, const BaVec3d<double>& yAxis,
                   const BaVec3d<double>& zAxis);
  /// Origin and an array of three axes x, y, z, passed to setAxis (which
  /// throws under its own name); the stored axes are then orthonormalised
  /// once more, throwing under the constructor's name should that fail.
  CoordinateSystem(const BaVec3d<double>& origin, BaVec3d<double>* const axes);

  void setOrigin(const BaVec3d<double>& origin) { origin_ = origin; }
  const BaVec3d<double>& getOrigin() const { return origin_; }

  /// Overwrite the three axes, then orthonormalise them. Throws ProgError
  /// when that fails, leaving the system as it was. The array form also
  /// throws for a null pointer.
  void setAxis(const BaVec3d<double>& xAxis, const BaVec3d<double>& yAxis, const BaVec3d<double>& zAxis);
  void setAxis(BaVec3d<double>* const axes);

  /// Copies the x, y and z axes out, in that order.
  void getAxis(BaVec3d<double>* xAxis, BaVec3d<double>* yAxis, BaVec3d<double>* zAxis) const;
  /// The array of the three axes x, y, z.
  const BaVec3d<double>* getAxis() const { return axes_; }

  /// True when the three vectors x, y, z can be orthonormalised as the
  /// constructors and setAxis do. Never throws; a null array gives false.
  static bool checkAxisValid(const BaVec3d<double>& xAxis, const BaVec3d<double>& yAxis,
                             const BaVec3d<double>& zAxis);
  static bool checkAxisValid(const BaVec3d<double>* const axes);

  /// Moves the system: the origin goes to its image under t.transformPoint;
  /// each axis a becomes t.transformPoint(a) − t.transformPoint(0), which
  /// rotates it and scales it by t's scale, and the axes are then
  /// orthonormalised again (so the scale drops out). Throws ProgError when
  /// the moved axes cannot be orthonormalised (for instance a zero 3x3
  /// block), leaving the system as it was.
  void transform(const Transformation& t);
  /// Replaces the origin by its image under t.transformPoint; the axes stay.
  void transformOrigin(const Transformation& t);

  /// Compares the origin component by component with tolerance
  /// `originTolerance`, then the x, y and z axes with `axisTolerance`. A
  /// component a of this system passes against the component b of `other`
  /// when b is exactly 0 and |a| ≤ 1e-50 (whatever the tolerance), or when b
  /// is not 0 and |a − b| ≤ tolerance·|b|. The tolerance is relative to
  /// `other`, so the comparison is not symmetric; NaN never passes.
  bool equalEps(const CoordinateSystem& other, double originTolerance, double axisTolerance) const;

  /// Stream block 96, version 1: origin, x axis, y axis, z axis, each as
  /// three doubles x, y, z. The two integers are not used.
  void saveData(IO::OutStream& out, int, int) const;
  /// Reads a block written by saveData. Versions 0 and 1 are read alike; the
  /// axes are stored as read, without orthonormalisation. A version above 1
  /// throws IO::StreamException before anything is read (the block is left
  /// open). The system changes only when all twelve values were read, so a
  /// stream fault leaves it as it was. The block id is not checked.
  void loadData(IO::InStream& in, int, int);

 private:
  /// Gram–Schmidt twice in place on the stored axes, which come out
  /// orthonormal to rounding; false when an axis has length 1e-50 or less (or
  /// is not finite) before or after the orthogonalisation, or when what is
  /// left of it after the first pass is rounding noise (far from orthogonal
  /// to the earlier axes: it lay in their span). On false the axes hold
  /// whatever the steps had reached; callers restore them.
  bool computeOrthoBase();

  BaVec3d<double> origin_;
  BaVec3d<double> axes_[3];
};

}  // namespace Zem

#endif  // ZEM_MATH_COORD_SYSTEM_H

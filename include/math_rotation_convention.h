// Rotation conventions of other rotation libraries (SciPy, Eigen, most
// textbooks): Euler angles in all 24 conventions, rotation vectors and the
// right-hand quaternion, to and from the rotation block of a Transformation.
//
// Sense: right-hand and active, UNLIKE the library's own elementary rotations.
// Here (c = cos a, s = sin a, rows top to bottom)
//     Rx(a) = [1 0 0; 0 c -s; 0 s c]   a positive angle carries +Y towards +Z
//     Ry(a) = [c 0 s; 0 1 0; -s 0 c]   a positive angle carries +Z towards +X
//     Rz(a) = [c -s 0; s c 0; 0 0 1]   a positive angle carries +X towards +Y
// so Rx(a) = Mx(−a) of math_transformation.h, and likewise for Y and Z. The
// block R still maps column vectors, p' = R p: it is the matrix that SciPy's
// Rotation.as_matrix() and Eigen's AngleAxis::toRotationMatrix() give.
//
// A convention is named as SciPy names it: three axis letters, the first and
// second different and the second and third different (12 sequences: six
// Tait-Bryan such as "ZYX", six proper Euler such as "ZXZ"); upper case is
// intrinsic (each turn about the axes as already turned), lower case
// extrinsic (each turn about the fixed axes). The angles (a1, a2, a3) are
// listed in the letter sequence:
//     intrinsic "PQR": R = Rp(a1)·Rq(a2)·Rr(a3)
//     extrinsic "pqr": R = Rr(a3)·Rq(a2)·Rp(a1)   (p acts first)
// so "pqr" with (a1, a2, a3) is the same rotation as "RQP" with (a3, a2, a1).
//
// Canonical ranges of getEuler: a2 in [−π/2, π/2] for Tait-Bryan and in
// [0, π] for proper Euler sequences; a1 and a3 in (−π, π].
// Gimbal lock: a2 at ±π/2 (Tait-Bryan) or at 0 or π (proper Euler), where
// only a combination of a1 and a3 is defined. getEuler recognises it when
// the two elements of the block that carry cos a2 (sin a2 for proper Euler)
// have a hypotenuse of at most kGimbalLockTolerance, that is when the block
// is at the lock to within its own rounding; it then sets a3 = 0 (as SciPy
// does), a2 to exactly ±π/2, 0 or π, gives the whole turn to a1 and sets
// EulerAngles::gimbalLock. Everywhere else the angles come from two-argument
// arc tangents (never asin or acos) and a1 from the block with the a3 turn
// taken off again, so the three angles rebuild the block to rounding also a
// hair's breadth from the lock.
//
// The library's six orders in these terms: for any angle vector (x, y, z),
// set(t, (x, y, z), order, s) has the rotation block of setEuler with
//     ORDER_XYZ  "xyz"  (−x, −y, −z)        ORDER_YZX  "yzx"  (−y, −z, −x)
//     ORDER_XZY  "xzy"  (−x, −z, −y)        ORDER_ZXY  "zxy"  (−z, −x, −y)
//     ORDER_YXZ  "yxz"  (−y, −x, −z)        ORDER_ZYX  "zyx"  (−z, −y, −x)
// (extrinsic, the same letters, every angle negated; the three-argument set
// is ORDER_YXZ). Equivalently ORDER_XYZ is "ZYX" with (−z, −y, −x), and so on
// with the letters and angles reversed in upper case.
//
// Rotation vectors: the unit axis times the angle in radians, the angle in
// [0, π]; (0, 0, 0) is no rotation. Right-hand quaternions: (x, y, z, w),
// the scalar w last, the rotation by angle a about the unit axis n being
// (n sin(a/2), cos(a/2)) in the sense above. The library's Quaternion of the
// same block holds (−x, −y, −z, w).
#ifndef ZEM_MATH_ROTATION_CONVENTION_H
#define ZEM_MATH_ROTATION_CONVENTION_H

#include <QString>

#include "math_transformation.h"

namespace Zem {

/// One of the 24 Euler-angle conventions, a small value.
class RotationConvention {
 public:
  enum Axis_t { AXIS_X = 0, AXIS_Y = 1, AXIS_Z = 2 };

  /// Throws ProgError when an axis is out of range or two consecutive axes
  /// are the same.
  RotationConvention(Axis_t first, Axis_t second, Axis_t third, bool intrinsic);
  /// From SciPy's name ("ZYX", "xyz", "ZXZ", ...); throws ProgError for any
  /// other text. parse() is the form for text a user typed.
  explicit RotationConvention(const QString& name);
  /// The convention of a library order: extrinsic, the same letters (see
  /// the table above; the angles are negated). Throws ProgError for an order
  /// outside 0 to 5.
  explicit RotationConvention(Transformation::RotationOrder_t order);

  /// True and `*out` set when `name` is one of the 24 names (case matters:
  /// upper case is intrinsic); false and `*out` untouched otherwise.
  static bool parse(const QString& name, RotationConvention* out);

  /// SciPy's name: "ZYX" (intrinsic) or "zyx" (extrinsic).
  QString getName() const;
  /// Axis of the angle at `index` (0, 1 or 2) in the letter sequence.
  Axis_t getAxis(int index) const { return axes[index]; }
  bool isIntrinsic() const { return intrinsic; }
  /// The first and third axes are the same ("ZXZ"); else Tait-Bryan.
  bool isProperEuler() const { return axes[0] == axes[2]; }

  bool operator==(const RotationConvention& o) const {
    return axes[0] == o.axes[0] && axes[1] == o.axes[1] && axes[2] == o.axes[2] && intrinsic == o.intrinsic;
  }
  bool operator!=(const RotationConvention& o) const { return !(*this == o); }

  /// Hypotenuse of the two elements carrying cos a2 (Tait-Bryan) or sin a2
  /// (proper Euler) up to which getEuler reports a gimbal lock: eight units
  /// of rounding of an element of size 1, so that a block built at the lock
  /// (cos(π/2) is 6.1e-17 in doubles) or carried through a few products is
  /// seen as locked, while one 1e-12 rad from it is not.
  static constexpr double kGimbalLockTolerance = 8 * 2.220446049250313e-16;

 private:
  Axis_t axes[3];
  bool intrinsic;
};

/// Three Euler angles in radians, in the letter sequence of a convention.
struct EulerAngles {
  double first{0}, second{0}, third{0};
  /// Set by Transformation::getEuler at a gimbal lock (third is then 0);
  /// ignored by setEuler.
  bool gimbalLock{false};

  EulerAngles() = default;
  EulerAngles(double a1, double a2, double a3) : first(a1), second(a2), third(a3) {}
};

}  // namespace Zem

#endif  // ZEM_MATH_ROTATION_CONVENTION_H

// A rotation as a quaternion of four doubles, stored as (x, y, z, w): the
// vector part first, the scalar part w LAST (the four-value constructor takes
// them in the same order).
//
// The conventions are those of Transformation:
//   - the quaternion of axis n and angle a is (n sin(a/2), cos(a/2)), and its
//     matrix is the elementary rotation of Transformation about that axis
//     (axis X gives Mx(a), which carries +Z towards +Y for a > 0);
//   - so the matrix of (x, y, z, w) is the TRANSPOSE of the matrix the same
//     four numbers give in the usual active convention (as in Eigen);
//   - the Hamilton product p·q applies the rotation of p first, then that of
//     q: getTransformation(p·q) = getTransformation(q)·getTransformation(p),
//     that is getTransformation(p) with getTransformation(q) appended.
// A quaternion built from angles in an order gives, through
// getTransformation(), the rotation block of Transformation::set with the same
// angles and order. Angles are radians.
//
// Nothing keeps the length at 1: the algebra works on any four numbers, and
// the members that only make sense for rotations say what they do otherwise.
#ifndef ZEM_MATH_QUATERNION_H
#define ZEM_MATH_QUATERNION_H

#include <cmath>

#include "math_transformation.h"
#include "math_types.h"

namespace Zem {

class Quaternion {
 public:
  /// @name Construction
  /// @{
  /// Leaves the four values unset: assign or build before reading.
  Quaternion() {}
  /// x, y, z (vector part), then w (scalar part).
  Quaternion(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}
  /// Same as buildFromAxisAngle(axis, angle).
  Quaternion(const BaVec3d<double>& axis, double angle) { buildFromAxisAngle(axis, angle); }
  /// Same as buildFromAngles(angles, order). An order outside 0 to 5 leaves
  /// the values unset.
  Quaternion(const BaVec3d<double>& angles, Transformation::RotationOrder_t order) {
    buildFromAngles(angles, order);
  }
  /// Same as buildFromTransformation(t).
  explicit Quaternion(const Transformation& t) { buildFromTransformation(t); }
  /// @}

  /// @name Builders (overwrite the object)
  /// @{
  /// (n sin(a/2), cos(a/2)) with n the axis scaled to length 1. An axis of
  /// length 1e-50 or less is used as it is, so a zero axis gives
  /// (0, 0, 0, cos(a/2)).
  void buildFromAxisAngle(const BaVec3d<double>& axis, double angle);
  /// Product of the three elementary quaternions in the letter sequence of
  /// the order (ORDER_XYZ: qx·qy·qz, X acting first). An order outside 0 to 5
  /// leaves the object unchanged.
  void buildFromAngles(const BaVec3d<double>& angles, Transformation::RotationOrder_t order);
  /// From t.getAngles(ORDER_XYZ): only the rotation block of t is used;
  /// translation and scale are dropped.
  void buildFromTransformation(const Transformation& t);
  /// @}

  /// @name Conversions
  /// @{
  /// Zero translation, scale 1, and the rotation block of this quaternion. The
  /// quaternion is not normalised first: for a length other than 1 the block
  /// is not a rotation.
  Transformation getTransformation() const;
  /// getTransformation().getAngles(order), with its gimbal-lock rules.
  BaVec3d<double> getAngles(Transformation::RotationOrder_t order) const;
  /// The angles of the rotation that `angles` give in `order`, brought into
  /// the ranges that Transformation::getAngles(order) returns.
  static BaVec3d<double> getQuaternionAngles(const BaVec3d<double>& angles, Transformation::RotationOrder_t order);
  /// (x, y, z) as stored: neither normalised nor divided by sin(a/2).
  BaVec3d<double> getAxis() const { return BaVec3d<double>(x, y, z); }
  /// @}

  /// @name Measures
  /// @{
  double getLengthSqr() const { return x * x + y * y + z * z + w * w; }
  double getLength() const { return std::sqrt(getLengthSqr()); }
  double dot(const Quaternion& q) const { return x * q.x + y * q.y + z * q.z + w * q.w; }
  /// True when the squared length is kMinLengthSqr or less: too short to be
  /// inverted (and so to rotate anything).
  bool isNull() const { return getLengthSqr() <= kMinLengthSqr; }
  /// Componentwise within kEqualTolerance (inclusive). q and −q give the same
  /// rotation but are not equal.
  bool operator==(const Quaternion& q) const {
    return std::fabs(x - q.x) <= kEqualTolerance && std::fabs(y - q.y) <= kEqualTolerance &&
           std::fabs(z - q.z) <= kEqualTolerance && std::fabs(w - q.w) <= kEqualTolerance;
  }
  bool operator!=(const Quaternion& q) const { return !(*this == q); }
  /// @}

  /// @name Algebra (componentwise unless said otherwise)
  /// @{
  Quaternion operator+(const Quaternion& q) const { return Quaternion(x + q.x, y + q.y, z + q.z, w + q.w); }
  Quaternion operator-(const Quaternion& q) const { return Quaternion(x - q.x, y - q.y, z - q.z, w - q.w); }
  Quaternion operator-() const { return Quaternion(-x, -y, -z, -w); }
  Quaternion operator*(double s) const { return Quaternion(x * s, y * s, z * s, w * s); }
  /// s = 0 is not checked: callers avoid it (also in operator/=).
  Quaternion operator/(double s) const { return Quaternion(x / s, y / s, z / s, w / s); }
  friend Quaternion operator*(double s, const Quaternion& q) { return q * s; }
  void operator+=(const Quaternion& q) { *this = *this + q; }
  void operator-=(const Quaternion& q) { *this = *this - q; }
  void operator*=(double s) { *this = *this * s; }
  void operator/=(double s) { *this = *this / s; }

  /// Hamilton product this·q: the rotation of this acts first, then q's.
  Quaternion operator*(const Quaternion& q) const {
    return Quaternion(w * q.x + x * q.w + y * q.z - z * q.y,  //
                      w * q.y + y * q.w + z * q.x - x * q.z,  //
                      w * q.z + z * q.w + x * q.y - y * q.x,  //
                      w * q.w - x * q.x - y * q.y - z * q.z);
  }
  /// this := this·q (q may be this object).
  void operator*=(const Quaternion& q) { *this = *this * q; }

  /// (−x, −y, −z, w): the inverse rotation of a unit quaternion.
  Quaternion getConjugate() const { return Quaternion(-x, -y, -z, w); }
  void conjugate() { *this = getConjugate(); }
  /// Conjugate divided by the squared length; (0, 0, 0, 0) when isNull().
  Quaternion getInverse() const {
    const double n = getLengthSqr();
    return n > kMinLengthSqr ? getConjugate() / n : Quaternion(0.0, 0.0, 0.0, 0.0);
  }
  /// In place; unlike getInverse(), a null quaternion keeps its value.
  void invert();
  /// Divides by the length when the length exceeds kMinLength; otherwise
  /// leaves the value unchanged.
  void normalize();
  /// @}

  /// Rotates v by this quaternion as getTransformation().rotateVector(v) does,
  /// for a UNIT quaternion q: the product q*·(v, 0)·q. It is computed with
  /// the inverse, i = getInverse(), as (i·(v, 0))·i*, so a quaternion of
  /// length L ≠ 1 gives the rotated vector divided by L², and a null one
  /// gives (0, 0, 0).
  BaVec3d<double> rotate(const BaVec3d<double>& v) const;

  /// @name Interpolation (t = 0 gives the first argument, t = 1 the second)
  /// @{
  /// q1 + t·(q2' − q1), normalised (unless its length is kMinLength or less),
  /// with q2' = −q2 when shortestPath and q1·q2 < 0, else q2.
  static Quaternion nlerp(const Quaternion& q1, double t, const Quaternion& q2, bool shortestPath);
  /// Spherical interpolation of unit quaternions at constant angular speed.
  ///   - Nearly equal inputs (angle below kSlerpMinAngle) give q1 for every t.
  ///   - shortestPath and q1·q2 < 0: runs from −q1 (t = 0) to q2 (t = 1) along
  ///     the shorter arc between them, normalised; −q1 and q2 are the
  ///     rotations of q1 and q2. If −q1 and q2 nearly coincide the result is −q1.
  ///   - Otherwise runs from q1 to q2 along the arc between them, not
  ///     normalised. If q2 is nearly −q1 (the same rotation, but no arc
  ///     between them is defined) the result is q1 for every t.
  /// The dot product is clamped to [−1, 1], so rounding never gives NaN.
  static Quaternion slerp(const Quaternion& q1, double t, const Quaternion& q2, bool shortestPath);
  /// @}

  /// Shortest length that normalize() divides by.
  static constexpr double kMinLength = 0.0001;
  /// Squared lengths up to this value count as null (getInverse, invert, isNull).
  static constexpr double kMinLengthSqr = 0.0001;
  /// Largest componentwise difference of two equal quaternions.
  static constexpr double kEqualTolerance = 1e-6;
  /// Angles (radians) between quaternions below which slerp does not divide by
  /// their sine: the single-precision value of 0.0001, widened to double.
  static constexpr double kSlerpMinAngle = static_cast<double>(0.0001f);

  double x, y, z;  ///< vector part
  double w;        ///< scalar part, cos(a/2) for a rotation by a
};

}  // namespace Zem

#endif  // ZEM_MATH_QUATERNION_H

// Quaternions: conversions to and from axis and angle, rotation angles and
// Transformation; inversion, normalisation, rotation of vectors, nlerp and
// slerp. The one-line algebra is inline in the header.
#include "math_quaternion.h"

#include <algorithm>
#include <cmath>

namespace Zem {

void Quaternion::buildFromAxisAngle(const BaVec3d<double>& axis, double angle) {
  BaVec3d<double> n = axis;
  n.normalize();  // a vector of length 1e-50 or less stays as it is
  const double h = angle * 0.5;
  const double s = std::sin(h);
  x = n.x * s;
  y = n.y * s;
  z = n.z * s;
  w = std::cos(h);
}

void Quaternion::buildFromAngles(const BaVec3d<double>& angles, Transformation::RotationOrder_t order) {
  const Quaternion qx(BaVec3d<double>(1.0, 0.0, 0.0), angles.x);
  const Quaternion qy(BaVec3d<double>(0.0, 1.0, 0.0), angles.y);
  const Quaternion qz(BaVec3d<double>(0.0, 0.0, 1.0), angles.z);
  // The left factor acts first, as the first letter of the order does.
  switch (order) {
    case Transformation::ORDER_XYZ: *this = qx * qy * qz; break;
    case Transformation::ORDER_XZY: *this = qx * qz * qy; break;
    case Transformation::ORDER_YXZ: *this = qy * qx * qz; break;
    case Transformation::ORDER_YZX: *this = qy * qz * qx; break;
    case Transformation::ORDER_ZXY: *this = qz * qx * qy; break;
    case Transformation::ORDER_ZYX: *this = qz * qy * qx; break;
  }
}

void Quaternion::buildFromTransformation(const Transformation& t) {
  buildFromAngles(t.getAngles(Transformation::ORDER_XYZ), Transformation::ORDER_XYZ);
}

Transformation Quaternion::getTransformation() const {
  // The transpose of the usual active rotation matrix of (x, y, z, w).
  const double m[4][4] = {
      {1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y + z * w), 2.0 * (x * z - y * w), 0.0},
      {2.0 * (x * y - z * w), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z + x * w), 0.0},
      {2.0 * (x * z + y * w), 2.0 * (y * z - x * w), 1.0 - 2.0 * (x * x + y * y), 0.0},
      {0.0, 0.0, 0.0, 1.0}};
  return Transformation(m);
}

BaVec3d<double> Quaternion::getAngles(Transformation::RotationOrder_t order) const {
  return getTransformation().getAngles(order);
}

BaVec3d<double> Quaternion::getQuaternionAngles(const BaVec3d<double>& angles,
                                                Transformation::RotationOrder_t order) {
  // An order outside 0 to 5 leaves the quaternion unset in buildFromAngles;
  // start from the identity so that such an order reads (0, 0, 0) back.
  Quaternion q(0.0, 0.0, 0.0, 1.0);
  q.buildFromAngles(angles, order);
  return q.getAngles(order);
}

void Quaternion::invert() {
  const double n = getLengthSqr();  // taken once, before any component changes
  if (n > kMinLengthSqr) *this = getConjugate() / n;
}

void Quaternion::normalize() {
  const double len = getLength();
  if (len > kMinLength) *this /= len;
}

BaVec3d<double> Quaternion::rotate(const BaVec3d<double>& v) const {
  // For a unit quaternion i = q*, i* = q, and q*·p·q is the passive (transposed)
  // rotation that getTransformation() describes.
  const Quaternion i = getInverse();
  const Quaternion r = (i * Quaternion(v.x, v.y, v.z, 0.0)) * i.getConjugate();
  return BaVec3d<double>(r.x, r.y, r.z);
}

Quaternion Quaternion::nlerp(const Quaternion& q1, double t, const Quaternion& q2, bool shortestPath) {
  const Quaternion target = (shortestPath && q1.dot(q2) < 0.0) ? -q2 : q2;
  Quaternion r = q1 + t * (target - q1);
  r.normalize();
  return r;
}

Quaternion Quaternion::slerp(const Quaternion& q1, double t, const Quaternion& q2, bool shortestPath) {
  constexpr double kPi = 3.14159265358979323846;
  // Clamped: rounding can carry the dot product of unit quaternions just past
  // ±1, where acos has no real value.
  const double d = std::clamp(q1.dot(q2), -1.0, 1.0);

  if (shortestPath && d < 0.0) {
    // The path runs from −q1 to q2, so the weights use the angle between
    // those two, acos(−d) = π − θ, not θ itself: with θ the speed would not
    // be constant (θ = 120°, t = 1/4 would give 19.1° instead of 15°).
    const double theta = std::acos(-d);
    if (theta < kSlerpMinAngle) return -q1;  // −q1 ≈ q2: no arc to follow
    const double k = 1.0 / std::sin(theta);
    const double a = std::sin((1.0 - t) * theta) * k;
    const double b = std::sin(t * theta) * k;
    Quaternion r = (-a) * q1 + b * q2;
    r.normalize();
    return r;
  }

  const double theta = std::acos(d);
  if (theta < kSlerpMinAngle) return q1;  // nearly equal: q1 for every t, no blend
  // q2 ≈ −q1 is the same rotation as q1, and sin θ vanishes: the great circle
  // through them is not defined, and dividing by sin θ would give inf or NaN.
  if (kPi - theta < kSlerpMinAngle) return q1;
  const double k = 1.0 / std::sin(theta);
  const double a = std::sin((1.0 - t) * theta) * k;
  const double b = std::sin(t * theta) * k;
  return a * q1 + b * q2;
}

}  // namespace Zem

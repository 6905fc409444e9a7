// Shared value types of libZemTransformation: vectors, points, a 4x4 matrix
// and an axis-aligned box. Plain values, no allocation, no invariants beyond
// what each type states.
#ifndef ZEM_MATH_TYPES_H
#define ZEM_MATH_TYPES_H

#include <cmath>

namespace Zem {

/// Three components x, y, z in that order (T = double or float).
/// The default value is the zero vector.
template <typename T>
struct BaVec3d {
  T x{0}, y{0}, z{0};

  BaVec3d() = default;
  BaVec3d(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}

  BaVec3d operator+(const BaVec3d& b) const { return BaVec3d(x + b.x, y + b.y, z + b.z); }
  BaVec3d operator-(const BaVec3d& b) const { return BaVec3d(x - b.x, y - b.y, z - b.z); }
  BaVec3d operator-() const { return BaVec3d(-x, -y, -z); }
  BaVec3d operator*(T s) const { return BaVec3d(x * s, y * s, z * s); }
  BaVec3d operator/(T s) const { return BaVec3d(x / s, y / s, z / s); }
  friend BaVec3d operator*(T s, const BaVec3d& v) { return v * s; }
  BaVec3d& operator+=(const BaVec3d& b) { x += b.x; y += b.y; z += b.z; return *this; }
  BaVec3d& operator-=(const BaVec3d& b) { x -= b.x; y -= b.y; z -= b.z; return *this; }
  BaVec3d& operator*=(T s) { x *= s; y *= s; z *= s; return *this; }
  bool operator==(const BaVec3d& b) const { return x == b.x && y == b.y && z == b.z; }
  bool operator!=(const BaVec3d& b) const { return !(*this == b); }

  T dot(const BaVec3d& b) const { return x * b.x + y * b.y + z * b.z; }
  /// a × b = (a.y·b.z − a.z·b.y, a.z·b.x − a.x·b.z, a.x·b.y − a.y·b.x)
  BaVec3d cross(const BaVec3d& b) const {
    return BaVec3d(y * b.z - z * b.y, z * b.x - x * b.z, x * b.y - y * b.x);
  }
  T lengthSquared() const { return dot(*this); }
  T length() const { return std::sqrt(lengthSquared()); }

  /// Scales the vector to the wanted length. A vector of length 1e-50 or less
  /// has no usable direction: it is left unchanged and false is returned.
  bool normalize(T wantedLength = T(1)) {
    const T len = length();
    if (!(len > T(kMinLength))) return false;
    *this *= wantedLength / len;
    return true;
  }

  /// Below this length a vector counts as zero for normalisation.
  static constexpr double kMinLength = 1e-50;
};

/// A 3D point with an identifier; id −1 means "no identifier". Transformations
/// move x, y, z and copy id unchanged. In the weighted best fit a point of this
/// type also carries the three weights of one pair in x, y, z.
template <typename T>
struct BaPoint3d : BaVec3d<T> {
  int id{-1};

  BaPoint3d() = default;
  BaPoint3d(T x_, T y_, T z_, int id_ = -1) : BaVec3d<T>(x_, y_, z_), id(id_) {}
  BaPoint3d(const BaVec3d<T>& v, int id_) : BaVec3d<T>(v), id(id_) {}
};

/// Two components x, y.
template <typename T>
struct BaVec2d {
  T x{0}, y{0};

  BaVec2d() = default;
  BaVec2d(T x_, T y_) : x(x_), y(y_) {}

  BaVec2d operator+(const BaVec2d& b) const { return BaVec2d(x + b.x, y + b.y); }
  BaVec2d operator-(const BaVec2d& b) const { return BaVec2d(x - b.x, y - b.y); }
  BaVec2d operator*(T s) const { return BaVec2d(x * s, y * s); }
  bool operator==(const BaVec2d& b) const { return x == b.x && y == b.y; }
  bool operator!=(const BaVec2d& b) const { return !(*this == b); }
  T dot(const BaVec2d& b) const { return x * b.x + y * b.y; }
  T length() const { return std::sqrt(dot(*this)); }
};

/// A 2D point with an identifier (−1: none).
template <typename T>
struct BaPoint2d : BaVec2d<T> {
  int id{-1};

  BaPoint2d() = default;
  BaPoint2d(T x_, T y_, int id_ = -1) : BaVec2d<T>(x_, y_), id(id_) {}
};

/// Sixteen values stored row by row; all zero by default.
template <typename T>
struct BaMatrix4x4 {
  T v[16]{};

  T& operator()(unsigned row, unsigned col) { return v[4 * row + col]; }
  const T& operator()(unsigned row, unsigned col) const { return v[4 * row + col]; }
};

/// Axis-aligned box: minimum corner, then maximum corner.
struct Box3d {
  BaVec3d<double> minCorner;
  BaVec3d<double> maxCorner;

  Box3d() = default;
  Box3d(const BaVec3d<double>& minC, const BaVec3d<double>& maxC) : minCorner(minC), maxCorner(maxC) {}
};

}  // namespace Zem

#endif  // ZEM_MATH_TYPES_H

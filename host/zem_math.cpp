#include "zem_math.h"

#include <cmath>

#include "zem_io.h"

namespace Zem {

namespace {

/// Below this length a normal or direction counts as zero (the library-wide
/// rule of `BaVec3d::normalize`).
constexpr double kMinLength = BaVec3d<double>::kMinLength;

}  // namespace

Plane3d::Plane3d(const BaVec3d<double>& normal, const BaVec3d<double>& point)
    : a(normal.x), b(normal.y), c(normal.z), d(-normal.dot(point)) {}

// The projections below work with the unit normal u = n/|n| and the distance
// e = (n·p + d)/|n| rather than dividing by n·n, so that normals of any
// magnitude (1e-40 or 1e+200) neither underflow nor overflow when squared.

BaVec3d<double> Plane3d::perpend(const BaVec3d<double>& p) const {
  const BaVec3d<double> n = getNormal();
  const double len = n.length();
  if (len <= kMinLength) return p;
  const BaVec3d<double> u = n / len;
  const double signedDistance = u.dot(p) + d / len;
  return p - u * signedDistance;
}

BaVec3d<double> Plane3d::getPointOnPlane() const {
  const BaVec3d<double> n = getNormal();
  const double len = n.length();
  if (len <= kMinLength) return BaVec3d<double>();
  const BaVec3d<double> u = n / len;
  return u * (-d / len);
}

BaVec3d<double> Plane3d::getDirection1() const {
  const BaVec3d<double> n = getNormal();
  const double len = n.length();
  if (len <= kMinLength) return BaVec3d<double>(1.0, 0.0, 0.0);
  const BaVec3d<double> u = n / len;

  // The axis with the smallest |u_i| makes the largest angle with the normal;
  // |u_i| ≤ 1/√3, so its projection has length √(1 − u_i²) ≥ √(2/3).
  const double ax = std::fabs(u.x), ay = std::fabs(u.y), az = std::fabs(u.z);
  BaVec3d<double> axis(0.0, 0.0, 1.0);
  if (ax <= ay && ax <= az)
    axis = BaVec3d<double>(1.0, 0.0, 0.0);
  else if (ay <= az)
    axis = BaVec3d<double>(0.0, 1.0, 0.0);

  BaVec3d<double> dir = axis - u * u.dot(axis);
  dir.normalize();  // cannot fail: the length is at least √(2/3) (NaN stays NaN)
  return dir;
}

bool Plane3d::intersect(const BaVec3d<double>& point, const BaVec3d<double>& dir1,
                        const BaVec3d<double>& dir2, const Line3d& line, BaVec3d<double>* out) {
  const BaVec3d<double> n = dir1.cross(dir2);
  const double denom = n.dot(line.d);
  // |n·d| = |n||d| sin(angle between line and plane). Written so that a zero
  // normal or direction (scale 0) and NaN inputs fail as well.
  const double scale = n.length() * line.d.length();
  if (!(std::fabs(denom) > kParallelTolerance * scale)) return false;

  const double t = n.dot(point - line.p) / denom;
  const BaVec3d<double> hit = line.p + line.d * t;
  if (!std::isfinite(hit.x) || !std::isfinite(hit.y) || !std::isfinite(hit.z)) return false;
  *out = hit;
  return true;
}

BaVec3d<double> Line3d::perpend(const BaVec3d<double>& q) const {
  const double len = d.length();
  if (len <= kMinLength) return p;
  const BaVec3d<double> u = d / len;
  return p + u * u.dot(q - p);
}

void readVec3d(IO::InStream* in, BaVec3d<double>* v) {
  BaVec3d<double> read;
  in->readDouble(&read.x);
  in->readDouble(&read.y);
  in->readDouble(&read.z);
  *v = read;
}

void writeVec3d(IO::OutStream* out, const BaVec3d<double>& v) {
  out->writeDouble(v.x);
  out->writeDouble(v.y);
  out->writeDouble(v.z);
}

}  // namespace Zem

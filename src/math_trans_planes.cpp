// Frames from planes, axes and points: the rigid transformation into a
// coordinate frame given by two axes, by a plane and a point, by three planes
// or by an axis and a plane; a plane onto z = 0; the reflection in a plane.
//
// Every construction works on unit normals n̂ = n/|n| and plane constants
// e = d/|n| (the plane n̂·x + e = 0), so that its decisions and results do not
// depend on the length of the normal it is given. All of them build the
// result completely before writing the object, so a false result leaves the
// matrix untouched.
#include <algorithm>
#include <cmath>
#include <vector>

#include "math_trans_frame.h"
#include "math_transformation.h"
#include "zem_base.h"
#include "zem_math.h"

namespace Zem {

namespace {

using frame::Vec;

// The source name carried by every ProgError of this file.
constexpr const char* kSourceFile = "math_trans_planes";

// A coefficient below this fraction of the largest one is not used to place
// the origin of a plane's frame: the origin lies at −d over that coefficient
// along its axis, so the bound keeps it within 1e6 plane distances of
// (0, 0, 0). A fitted vertical wall (c of a few 1e-17) would otherwise put it
// 1e17 plane distances away and every mapped point would lose its digits.
constexpr double kMinCoefficientRatio = 1e-6;

/// The unit normal n̂ and the constant e = d/|n| of the plane. False when the
/// normal cannot be normalised or d is not finite.
bool unitPlane(const Plane3d& plane, Vec* normal, double* constant) {
  Vec n = plane.getNormal();
  const double length = std::hypot(n.x, n.y, n.z);
  if (!frame::normalize(n) || !std::isfinite(plane.d)) return false;
  *normal = n;
  *constant = plane.d / length;
  return true;
}

/// The frame of a plane with its origin on the plane (see the header), Z'
/// oriented by the signed value `side` of a point and the flag.
bool planeAxes(const Plane3d& plane, double side, bool positive, Vec* origin, Vec* x, Vec* y, Vec* z) {
  const double a = plane.a, b = plane.b, c = plane.c, d = plane.d;
  const double largest = std::max({std::fabs(a), std::fabs(b), std::fabs(c)});
  auto usable = [largest](double k) {
    return std::fabs(k) > Vec::kMinLength && std::fabs(k) >= kMinCoefficientRatio * largest;
  };
  // O and the direction towards a second point of the plane. The direction
  // is the difference of the two points worked out by hand (for the c branch
  // (1, 1, (−d − a − b)/c) − (0, 0, −d/c)), so it does not lose its digits
  // when the origin lies far away.
  Vec o, dir;
  if (usable(c)) {
    o = Vec(0.0, 0.0, -d / c);
    dir = Vec(1.0, 1.0, (-a - b) / c);
  } else if (usable(b)) {
    o = Vec(0.0, -d / b, 0.0);
    dir = Vec(1.0, (-a - c) / b, 1.0);
  } else if (usable(a)) {
    o = Vec(-d / a, 0.0, 0.0);
    dir = Vec((-b - c) / a, 1.0, 1.0);
  } else {
    return false;  // no normal (or not a number)
  }
  Vec zAxis = plane.getNormal();
  if (!frame::normalize(dir) || !frame::normalize(zAxis) || !std::isfinite(side)) return false;
  frame::orientBySide(zAxis, side, positive);
  Vec yAxis = zAxis.cross(dir);
  if (!frame::normalize(yAxis)) return false;
  *origin = o;
  *x = dir;
  *y = yAxis;
  *z = zAxis;
  return true;
}

}  // namespace

bool Transformation::computeTransformationCSToCartesian(const std::vector<BaVec3d<double>>& axes,
                                                        const BaVec3d<double>& origin) {
  if (axes.size() < 2)
    throw ProgError("Zem::Transformation::computeTransformationCSToCartesian", kSourceFile, __LINE__,
                    "At least two axes are needed!");
  Vec x = axes[0], y = axes[1];
  if (!frame::normalize(x) || !frame::normalize(y)) return false;
  // Not made perpendicular: the caller's axes are used as they are. Only
  // parallel axes, which leave no Z axis, are refused.
  const Vec z = x.cross(y);
  if (!(z.length() > frame::kParallelSine)) return false;
  return frame::build(origin, x, y, z, this);
}

bool Transformation::computeTransformationPointAndPlane(Plane3d plane, BaVec3d<double> sidePoint,
                                                        bool positive) {
  Vec o, x, y, z;
  return planeAxes(plane, plane.evaluate(sidePoint), positive, &o, &x, &y, &z) && frame::build(o, x, y, z, this);
}

bool Transformation::computeTransformationPointAndPlane(const Plane3d& plane, const BaVec3d<double>& xDirection,
                                                        BaVec3d<double> origin) {
  Vec z = plane.getNormal(), x = xDirection;
  if (!frame::normalize(z) || !frame::normalize(x)) return false;
  // Y' = n̂ × x̂ has the length of the sine between the X direction and the
  // normal; X' = Y' × n̂ is then the X direction projected into the plane.
  // The cross product of nearly parallel vectors is perpendicular to them
  // only to eps/sin, so Y' is made perpendicular to n̂ once more: the frame
  // is orthonormal to rounding however close to the limit the X direction is.
  Vec y = z.cross(x);
  if (!(y.length() > frame::kParallelSine)) return false;
  y = frame::perpendicularPart(y, z);
  frame::normalize(y);
  x = y.cross(z);
  frame::normalize(x);
  return frame::build(origin, x, y, z, this);
}

bool Transformation::computeTransformationPointAndPlane(const Plane3d& plane, const BaVec3d<double>& origin) {
  return computeTransformationPointAndPlane(plane, plane.getDirection1(), origin);
}

bool Transformation::computeTransformation3Planes(Plane3d first, Plane3d second, Plane3d third,
                                                  BaVec3d<double> xSidePoint, bool xPositive,
                                                  BaVec3d<double> zSidePoint, bool zPositive) {
  Vec n1, n2, n3;
  double e1, e2, e3;
  if (!unitPlane(first, &n1, &e1) || !unitPlane(second, &n2, &e2) || !unitPlane(third, &n3, &e3)) return false;
  if (!frame::isFinite(xSidePoint) || !frame::isFinite(zSidePoint)) return false;
  // With unit normals |det| is at most the sine between any two of them, so
  // the test does not depend on the lengths of the normals.
  const double det = n1.dot(n2.cross(n3));
  if (!(std::fabs(det) > frame::kParallelSine)) return false;
  // Cramer's rule for n̂i·P = −ei.
  const Vec p = (n2.cross(n3) * -e1 + n3.cross(n1) * -e2 + n1.cross(n2) * -e3) / det;

  Vec x = n1.cross(n2);
  if (!frame::normalize(x)) return false;
  frame::orientBySide(x, (xSidePoint - p).dot(x), xPositive);
  Vec z = x.cross(n2);
  frame::orientBySide(z, (zSidePoint - p).dot(z), zPositive);
  if (!frame::normalize(z)) return false;
  Vec y = z.cross(x);
  if (!frame::normalize(y)) return false;
  return frame::build(p, x, y, z, this);
}

bool Transformation::computeTransformationXAxisAndPlane(Plane3d plane, BaVec3d<double> start,
                                                        BaVec3d<double> end, BaVec3d<double> offset) {
  Vec z = plane.getNormal(), axis = end - start;
  const double length = axis.length();
  if (!frame::normalize(z) || !frame::normalize(axis)) return false;
  // A measured axis is rarely exactly in the measured plane: project it, so
  // that X' is perpendicular to Z' and the result is rigid. An axis already in
  // the plane keeps its direction. |x| is the sine between the axis and the
  // normal; an axis perpendicular to the plane fails. The bound is raised for
  // points far from (0, 0, 0) compared with the axis' length, whose
  // coordinates alone carry a rounding of eps times that distance.
  Vec x = axis - z * z.dot(axis);
  const double reach = std::max({std::fabs(start.x), std::fabs(start.y), std::fabs(start.z), std::fabs(end.x),
                                 std::fabs(end.y), std::fabs(end.z)});
  if (!(x.length() > frame::kParallelSine * (1.0 + reach / length))) return false;
  x = frame::perpendicularPart(x, z);  // the one projection above leaves x perpendicular to z only to eps/|x|
  frame::normalize(x);
  Vec y = z.cross(x);
  frame::normalize(y);
  Transformation result;
  if (!frame::build(start, x, y, z, &result) || !frame::isFinite(offset)) return false;
  result.append(Transformation(offset, Vec(), 1.0));
  *this = result;
  return true;
}

bool Transformation::compute3d2dTransformation(Plane3d plane, BaVec3d<double> viewDirection,
                                               BaVec3d<double> origin) {
  if (!frame::isFinite(viewDirection)) return false;
  // The side point "point of the plane + n" lies on the side into which n
  // points: its signed value is |n|² > 0. Passing +1 keeps that sign exact
  // for normals of any length. A true flag then gives Z' = n̂, a false one −n̂.
  const bool facesViewer = plane.getNormal().dot(viewDirection) < 0.0;
  Vec o, x, y, z;
  if (!planeAxes(plane, 1.0, facesViewer, &o, &x, &y, &z)) return false;
  // The frame of the plane followed by the translation that takes `origin` to
  // (0, 0, 0) is the frame with the same axes and the origin `origin`; built
  // directly, the translation keeps its digits even when O lies far away.
  return frame::build(origin, x, y, z, this);
}

bool Transformation::computeMirrorTransformation(Plane3d plane) {
  Vec n = plane.getNormal();
  if (!frame::normalize(n)) return false;
  // A takes the plane onto z = 0 (the foot of the perpendicular from (0, 0, 0)
  // to the origin); the mirror is A, then z → −z, then A⁻¹.
  Transformation a;
  if (!a.compute3d2dTransformation(plane, n, plane.perpend(Vec()))) return false;
  Transformation mirror = a;
  mirror.append(Transformation(Vec(1.0, 1.0, -1.0)));
  mirror.append(a.inverse());
  if (!frame::isFinite(mirror)) return false;
  *this = mirror;
  return true;
}

}  // namespace Zem

// Plane-line-point alignment. On each side a plane, a line and a point are
// made consistent by a priority order (the first feature stays as measured,
// the others are moved onto it: the line into the plane, the point onto the
// line, or the plane about the line); then a frame is built on each side,
// origin at the point, Z along the plane normal, X along the line direction
// projected into the plane. The result takes the source frame onto the
// reference frame: a source point p maps to R⁻¹(S(p)).
#include <QString>

#include "math_trans_frame.h"
#include "math_transformation.h"
#include "zem_base.h"
#include "zem_math.h"

namespace Zem {

namespace {

using Vec = BaVec3d<double>;

constexpr const char* kFunction = "Zem::Transformation::computeTransformationPlaneLinePoint";
constexpr const char* kSourceFile = "math_trans_plp";

// Sine of the angle between a line and its plane's normal at or below which
// the line counts as perpendicular to the plane: its projection into the
// plane, or the plane's turn about it, has no usable direction. Compared
// with the sine rather than with a length so that the decision does not
// depend on the lengths of the direction and the normal (or on the units).
constexpr double kPerpendicularSine = 1e-6;

struct Features {
  Plane3d plane;
  Line3d line;
  Vec point;
};

// The line becomes its projection into the plane: its point the foot of the
// perpendicular from P, its direction D − (D·n̂)·n̂. The direction is
// projected by itself, not as the difference of the feet from P and P + D:
// that difference carries the rounding of P's coordinates divided by |D|,
// which far from the origin or for a short D swamps the direction. It is
// projected in two passes, so that it lies in the plane to rounding even for
// a line steep to the plane, and the point moved along it stays in the plane.
// False when the line stood perpendicular.
bool projectLineIntoPlane(Features& f) {
  Vec n = f.plane.getNormal();
  frame::normalize(n);  // a zero normal was refused before; a non-finite one leaves NaN, which fails below
  const double length = f.line.d.length();
  f.line = Line3d(f.plane.perpend(f.line.p), frame::perpendicularPart(f.line.d, n));
  return f.line.d.length() > kPerpendicularSine * length;
}

// The plane becomes the one through the line whose normal is the part of the
// old normal perpendicular to the line, on the same side. False when the
// line stood perpendicular.
bool turnPlaneAboutLine(Features& f) {
  const Vec n = f.plane.getNormal(), d = f.line.d;
  const Vec c = d.cross(n);
  if (!(c.length() > kPerpendicularSine * d.length() * n.length())) return false;
  f.plane = Plane3d(c.cross(d), f.line.p);
  return true;
}

void movePointOntoLine(Features& f) { f.point = f.line.perpend(f.point); }

}  // namespace

bool Transformation::computeTransformationPlaneLinePoint(TrafoPLPMode_t mode, Plane3d srcPlane, Plane3d refPlane,
                                                         Line3d srcLine, Line3d refLine, BaVec3d<double> srcPoint,
                                                         BaVec3d<double> refPoint, QString* message) {
  // Without a priority order nothing would be adjusted: refuse it as every
  // other enumeration of the library does.
  if (static_cast<unsigned>(mode) > PLP_POINT_LINE_PLANE)
    throw ProgError(kFunction, kSourceFile, __LINE__, "invalid transformation mode");
  // A zero normal has no direction to align; the frame built on it would be
  // degenerate.
  if (!(srcPlane.getNormal().length() > Vec::kMinLength) || !(refPlane.getNormal().length() > Vec::kMinLength))
    throw ProgError(kFunction, kSourceFile, __LINE__, "Plane normal could not be normalized!");

  Features side[2] = {{srcPlane, srcLine, srcPoint}, {refPlane, refLine, refPoint}};
  // Every test of the source side comes before the same test of the
  // reference side, so the source message wins when both sides fail.
  const auto fail = [message](int failed) {
    if (message)
      *message = failed == 0 ? translate("TransformationPLP_err", "src line is perpendicular to src plane")
                             : translate("TransformationPLP_err", "ref line is perpendicular to ref plane");
    return false;
  };

  switch (mode) {
    case PLP_PLANE_LINE_POINT:
      for (int s = 0; s < 2; ++s)
        if (!projectLineIntoPlane(side[s])) return fail(s);
      for (Features& f : side) movePointOntoLine(f);
      break;
    case PLP_PLANE_POINT_LINE:
      for (Features& f : side) f.point = f.plane.perpend(f.point);
      for (int s = 0; s < 2; ++s)
        if (!projectLineIntoPlane(side[s])) return fail(s);
      for (Features& f : side) f.line.p = f.point;
      break;
    case PLP_LINE_PLANE_POINT:
    case PLP_LINE_POINT_PLANE:
      for (Features& f : side) movePointOntoLine(f);
      for (int s = 0; s < 2; ++s)
        if (!turnPlaneAboutLine(side[s])) return fail(s);
      break;
    case PLP_POINT_PLANE_LINE:
      for (Features& f : side) f.plane = Plane3d(f.plane.getNormal(), f.point);
      for (int s = 0; s < 2; ++s)
        if (!projectLineIntoPlane(side[s])) return fail(s);
      break;
    case PLP_POINT_LINE_PLANE:
      for (Features& f : side) f.line.p = f.point;
      for (int s = 0; s < 2; ++s)
        if (!turnPlaneAboutLine(side[s])) return fail(s);
      break;
  }

  // After the tests above the frames cannot fail on finite input; input that
  // is not finite (NaN, infinity) fails here, the matrix kept.
  Transformation source, reference;
  if (!source.computeTransformationPointAndPlane(side[0].plane, side[0].line.d, side[0].point) ||
      !reference.computeTransformationPointAndPlane(side[1].plane, side[1].line.d, side[1].point))
    return false;
  source.append(reference.inverse());
  *this = source;
  return true;
}

}  // namespace Zem

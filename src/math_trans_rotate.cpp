// Rotations about axes and the motion of one line onto another.
//
// R(u, θ) for a unit axis u, c = cos θ, s = sin θ, t = 1 − c:
//     | ux·ux·t + c      ux·uy·t + uz·s   ux·uz·t − uy·s |
//     | ux·uy·t − uz·s   uy·uy·t + c      uy·uz·t + ux·s |
//     | ux·uz·t + uy·s   uy·uz·t − ux·s   uz·uz·t + c    |
// the transpose of the usual right-handed one, so that it turns in the same
// sense as the elementary rotations Mx, My, Mz: about Z, +Y goes onto +X.
#include <cmath>
#include <vector>

#include "math_trans_frame.h"
#include "math_transformation.h"
#include "zem_math.h"

namespace Zem {

namespace {

using frame::Vec;

/// x ↦ R(u, θ)·x + translation, u a unit vector.
Transformation axisRotation(const Vec& u, double angle, const Vec& translation) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  const double m[4][4] = {
      {u.x * u.x * t + c, u.x * u.y * t + u.z * s, u.x * u.z * t - u.y * s, translation.x},
      {u.x * u.y * t - u.z * s, u.y * u.y * t + c, u.y * u.z * t + u.x * s, translation.y},
      {u.x * u.z * t + u.y * s, u.y * u.z * t - u.x * s, u.z * u.z * t + c, translation.z},
      {0.0, 0.0, 0.0, 1.0}};
  return Transformation(m);
}

/// A vector perpendicular to v, not normalised: the component of smallest
/// magnitude set to zero and the other two swapped, one negated. On a tie
/// between x and y, y counts as the smaller; on a tie with z, z does. Its
/// length is at least the largest |component| of v, so it is non-zero for
/// every non-zero v, and its dot product with v is exactly zero.
Vec perpendicular(const Vec& v) {
  const double ax = std::fabs(v.x), ay = std::fabs(v.y), az = std::fabs(v.z);
  if (ay > ax) return az > ax ? Vec(0.0, v.z, -v.y) : Vec(v.y, -v.x, 0.0);
  return az > ay ? Vec(v.z, 0.0, -v.x) : Vec(v.y, -v.x, 0.0);
}

/// The frame of a line: origin its point, X' its unit direction, Y' the
/// perpendicular of X'. False, *t untouched, when the direction or the point
/// is unusable.
bool lineFrame(const Line3d& line, Transformation* t) {
  std::vector<Vec> axes(2, line.d);
  frame::normalize(axes[0]);  // a failure leaves it as it is; the frame below then refuses it
  axes[1] = perpendicular(axes[0]);
  return t->computeTransformationCSToCartesian(axes, line.p);
}

}  // namespace

bool Transformation::computeTransformationAngle(BaVec3d<double> translation, BaVec3d<double> direction,
                                                double angle) {
  Vec u = direction;
  if (!frame::normalize(u) || !frame::isFinite(translation) || !std::isfinite(angle)) return false;
  *this = axisRotation(u, angle, translation);
  return true;
}

bool Transformation::computeTransformationRotateAxis(BaVec3d<double> point, BaVec3d<double> direction,
                                                     double angle) {
  Vec u = direction;
  if (!frame::normalize(u) || !frame::isFinite(point) || !std::isfinite(angle)) return false;
  // Translate the axis into (0, 0, 0), turn about it, translate back.
  Transformation result(-point, Vec(), 1.0);
  result.append(axisRotation(u, angle, Vec()));
  result.append(Transformation(point, Vec(), 1.0));
  *this = result;
  return true;
}

bool Transformation::computeTransformationRotateAxis(Line3d axis, double angle) {
  return computeTransformationRotateAxis(axis.p, axis.d, angle);
}

bool Transformation::computeLineToLineTransformation(const Line3d& source, const Line3d& destination) {
  // Into the frame of the source line (written to the object at once), then
  // out of the frame of the destination line.
  if (!lineFrame(source, this)) return false;
  Transformation destinationFrame;
  if (!lineFrame(destination, &destinationFrame)) return false;
  append(destinationFrame.inverse());
  return true;
}

}  // namespace Zem

// 3-2-1 alignment. Three measured points on a primary plane fix the rotation
// about the two axes other than the primary axis k and the position along k;
// two points along a secondary direction fix the rotation about k and the
// position along the secondary axis a; one point fixes the position along
// the tertiary axis b. Each measured point comes with the nominal value of
// one coordinate only. The motion is built by appending translations and
// rotations to the identity, each step bringing one more nominal value into
// place while keeping those reached before it.
//
// Vocabulary: the height of a point is its k coordinate; its horizontal
// coordinates are the other two, i < j in ascending axis order.
#include <QString>

#include <algorithm>
#include <cmath>
#include <vector>

#include "math_transformation.h"
#include "zem_base.h"
#include "zem_math.h"

namespace Zem {

namespace {

using Vec = BaVec3d<double>;

// The function and source names carried by every ProgError of this file.
constexpr const char* kFunction = "Zem::Transformation::computeTransformation321";
constexpr const char* kSourceFile = "math_trans_321";

// Two plane points closer than this (coordinate units) in a coordinate count
// as coincident in it.
constexpr double kCoincident = 0.001;
// The direction step needs the lengths of the measured and the target
// direction in the a-b plane to multiply to at least this.
constexpr double kMinLengthProduct = 1e-9;
// Below this |A_k| the axis A of the third plane rotation counts as horizontal.
constexpr double kHorizontal = 1e-9;
// Angle in radians about each of X, Y and Z of the rotation that moves
// degenerate plane points into a general position, and how often it may be
// applied before the points count as hopeless.
constexpr double kPerturbationAngle = 0.17;
constexpr int kMaxPerturbations = 4;
// Relative rounding of the circle construction of the third plane rotation:
// its centre and its point at height c2 come out to about 1e-15 of the
// largest coordinate involved; this leaves a margin of a thousand times that.
constexpr double kRoundingMargin = 1e-12;

double coord(const Vec& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

void setCoord(Vec& v, int axis, double value) {
  if (axis == 0)
    v.x = value;
  else if (axis == 1)
    v.y = value;
  else
    v.z = value;
}

Vec unitAxis(int axis) {
  Vec e;
  setCoord(e, axis, 1.0);
  return e;
}

// The angle between u and t in [0, π]. atan2 keeps full relative precision
// near 0 and π, where the arc cosine of the normalised dot product loses half
// the digits.
double angleBetween(const Vec& u, const Vec& t) { return std::atan2(u.cross(t).length(), u.dot(t)); }

void appendTranslation(Transformation& t, const Vec& shift) {
  Transformation move;
  move.set(shift, Vec(), 1.0);
  t.append(move);
}

// Of the rotations by −φ and +φ about the line through p along d, the one
// that takes `from` nearer to `to` (the whole point, not one coordinate:
// after quarter turns both may reach the same coordinate). −φ wins a tie.
bool closerRotation(const Vec& p, const Vec& d, double phi, const Vec& from, const Vec& to, Transformation* out) {
  Transformation minus, plus;
  if (!minus.computeTransformationRotateAxis(p, d, -phi) || !plus.computeTransformationRotateAxis(p, d, phi))
    return false;
  const double errorMinus = (minus.transformPoint(from) - to).length();
  const double errorPlus = (plus.transformPoint(from) - to).length();
  *out = errorPlus < errorMinus ? plus : minus;
  return true;
}

// Degenerate plane points: some pair coincides in both horizontal
// coordinates, or in height.
bool isDegenerate(const Vec q[3], int i, int j, int k) {
  static const int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& pair : kPairs) {
    const Vec d = q[pair[0]] - q[pair[1]];
    if (std::fabs(coord(d, i)) < kCoincident && std::fabs(coord(d, j)) < kCoincident) return true;
    if (std::fabs(coord(d, k)) < kCoincident) return true;
  }
  return false;
}

// Plane step: brings the three plane points to the heights c (axis k) and
// chooses between the two mirror-image solutions by `positive`.
bool alignPrimaryPlane(Transformation& t, int k, const std::vector<Vec>& plane, const std::vector<double>& c,
                       bool positive) {
  const int i = k == 0 ? 1 : 0, j = k == 2 ? 1 : 2;
  Vec q[3];
  const auto measure = [&] {
    for (int n = 0; n < 3; ++n) q[n] = t.transformPoint(plane[n]);
  };
  measure();

  // Rigid motions keep distances: no height difference may exceed the
  // distance of its two points.
  static const int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& pair : kPairs)
    if (std::fabs(c[pair[0]] - c[pair[1]]) > (q[pair[0]] - q[pair[1]]).length()) return false;

  // The rotations below need points apart in height and horizontally; a
  // fixed oblique rotation usually moves them into such a position.
  for (int perturbations = 0; isDegenerate(q, i, j, k);) {
    Transformation perturbation;
    perturbation.set(Vec(), Vec(kPerturbationAngle, kPerturbationAngle, kPerturbationAngle), 1.0);
    t.append(perturbation);
    measure();
    if (++perturbations == kMaxPerturbations) return false;
  }

  // P0 to its height.
  Vec shift;
  setCoord(shift, k, c[0] - coord(q[0], k));
  appendTranslation(t, shift);
  measure();

  // P1 to its height by a rotation about the horizontal axis through Q0
  // perpendicular to the horizontal direction D of Q1 − Q0. The target B
  // lies in the vertical plane of Q0 and Q1, on Q1's side of Q0.
  {
    const Vec rel = q[1] - q[0];
    Vec dir = rel;
    setCoord(dir, k, 0.0);
    if (!dir.normalize()) return false;
    const double s = rel.lengthSquared() - (c[0] - c[1]) * (c[0] - c[1]);
    if (s < 0.0) return false;
    Vec target = q[0] + dir * std::sqrt(s);
    setCoord(target, k, c[1]);
    Vec axis;
    setCoord(axis, i, coord(dir, j));
    setCoord(axis, j, -coord(dir, i));
    Transformation rotation;
    if (!closerRotation(q[0], axis, angleBetween(rel, target - q[0]), q[1], target, &rotation)) return false;
    t.append(rotation);
    measure();
  }

  // P2 turns about the line Q0Q1 on a circle with centre F in the plane
  // through Q2 perpendicular to A = Q0 − Q1. Its points at height c2 lie on
  // the line through S along the horizontal M ⟂ A, S being where the
  // steepest line through F in that plane (along K, perpendicular to A in
  // the vertical plane of A) reaches height c2.
  const Vec a = q[0] - q[1];
  Vec e;
  setCoord(e, i, coord(a, j));
  setCoord(e, j, -coord(a, i));
  Vec centre;
  if (!Plane3d::intersect(q[2], e, e.cross(a), Line3d(q[0], a), &centre)) return false;
  Vec g = a;
  setCoord(g, k, std::fabs(coord(a, k)) < kHorizontal ? 1.0 : 0.0);
  const Vec steepest = a.cross(a.cross(g));
  Vec onHeight;
  setCoord(onHeight, k, c[2]);
  Vec sPoint;
  if (!Plane3d::intersect(onHeight, unitAxis(i), unitAxis(j), Line3d(centre, steepest), &sPoint)) return false;

  // The circle must reach height c2. Within rounding of touching it, P2 is
  // turned onto S itself: there the two solutions meet, and the square root
  // below would turn rounding noise into a sideways offset of √ε.
  const double radius = (q[2] - centre).length();
  const double reach = (sPoint - centre).length();
  const double margin =
      kRoundingMargin *
      std::max({q[0].length(), q[1].length(), q[2].length(), std::fabs(c[2]), radius});
  if (reach - radius > margin) return false;
  // P2 on the line Q0Q1 (within rounding) is at its height already and has
  // no direction about the line to turn by.
  if (radius <= margin) return true;
  const double halfChord = reach >= radius - margin ? 0.0 : std::sqrt(radius * radius - reach * reach);

  Vec m;
  setCoord(m, i, -coord(a, j));
  setCoord(m, j, coord(a, i));
  if (!m.normalize()) return false;
  const Vec c1 = sPoint + m * halfChord, c2 = sPoint - m * halfChord;
  Transformation r1, r2;
  if (!closerRotation(q[0], a, angleBetween(c1 - centre, q[2] - centre), q[2], c1, &r1) ||
      !closerRotation(q[0], a, angleBetween(c2 - centre, q[2] - centre), q[2], c2, &r2))
    return false;

  // The aligned normal (P1 − P0) × (P2 − P0) under r1; under r2 it has the
  // opposite k component.
  const double normalK = coord((q[1] - q[0]).cross(r1.transformPoint(q[2]) - q[0]), k);
  const bool takeR1 = positive ? normalK >= 0.0 : normalK < 0.0;
  t.append(takeR1 ? r1 : r2);
  return true;
}

// Direction step: brings the two direction points to the coordinates w along
// axis a by a translation along a and a rotation about the axis k through
// the first point, which keeps every height. `positive` puts the second
// point on the positive b side of the first.
bool alignSecondaryDirection(Transformation& t, int a, int k, const std::vector<Vec>& dir,
                             const std::vector<double>& w, bool positive) {
  const int b = 3 - a - k;
  Vec q0 = t.transformPoint(dir[0]), q1 = t.transformPoint(dir[1]);
  if (std::fabs(w[0] - w[1]) > (q0 - q1).length()) return false;

  Vec shift;
  setCoord(shift, a, w[0] - coord(q0, a));
  appendTranslation(t, shift);
  q0 = t.transformPoint(dir[0]);
  q1 = t.transformPoint(dir[1]);

  // The length of Q0 − Q1 in the a-b plane is kept by the rotation; with the
  // a difference prescribed, the b difference r follows.
  const Vec d = q0 - q1;
  const double s =
      (d.x * d.x + d.y * d.y + d.z * d.z) - (w[1] - w[0]) * (w[1] - w[0]) - coord(d, k) * coord(d, k);
  if (s < 0.0) return false;
  const double r = std::sqrt(s);
  Vec target = q1;
  setCoord(target, a, w[1]);
  setCoord(target, b, coord(q0, b) + (positive ? r : -r));

  Vec u, v;  // Q0 − Q1 and Q0 − target in the a-b plane
  setCoord(u, a, coord(d, a));
  setCoord(u, b, coord(d, b));
  setCoord(v, a, coord(q0, a) - w[1]);
  setCoord(v, b, coord(q0, b) - coord(target, b));
  if (u.length() * v.length() < kMinLengthProduct) return false;

  Transformation rotation;
  if (!closerRotation(q0, unitAxis(k), angleBetween(u, v), q1, target, &rotation)) return false;
  t.append(rotation);
  return true;
}

// Point step: moves the point along b to its coordinate. Always succeeds.
void alignTertiaryPoint(Transformation& t, int b, const Vec& point, double nominal) {
  Vec shift;
  setCoord(shift, b, nominal - coord(t.transformPoint(point), b));
  appendTranslation(t, shift);
}

}  // namespace

bool Transformation::computeTransformation321(TransformMode_t mode, const std::vector<BaVec3d<double>>& plane,
                                              const std::vector<double>& plane_v, bool planePositive,
                                              const std::vector<BaVec3d<double>>& dir,
                                              const std::vector<double>& dir_v, bool dirPositive,
                                              BaVec3d<double> point, double point_v, QString& message) {
  if (plane.size() != 3 || plane_v.size() != 3)
    throw ProgError(kFunction, kSourceFile, __LINE__, "Wrong size for plane or plane_v!");
  if (dir.size() != 2 || dir_v.size() != 2)
    throw ProgError(kFunction, kSourceFile, __LINE__, "Wrong size for dir or dir_v!");

  message = QString();
  *this = identity();

  // Primary (plane normal), secondary (direction) and tertiary (point) axis
  // of each mode, X = 0, Y = 1, Z = 2.
  static const int kAxes[6][3] = {{2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 0, 2}, {0, 1, 2}, {0, 2, 1}};
  const unsigned index = static_cast<unsigned>(mode);
  if (index > 5) throw ProgError(kFunction, kSourceFile, __LINE__, "invalid transformation mode");
  const int k = kAxes[index][0], a = kAxes[index][1], b = kAxes[index][2];

  // NaN would pass every comparison of the steps below unnoticed and end in
  // a matrix of NaN reported as success; infinity likewise. Refused before
  // the first step, so the identity stays.
  const auto finite = [](const Vec& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); };
  const auto allFinite = [](const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  if (!std::all_of(plane.begin(), plane.end(), finite) || !std::all_of(dir.begin(), dir.end(), finite) ||
      !allFinite(plane_v) || !allFinite(dir_v) || !finite(point) || !std::isfinite(point_v))
    return false;

  if (!alignPrimaryPlane(*this, k, plane, plane_v, planePositive)) return false;
  if (!alignSecondaryDirection(*this, a, k, dir, dir_v, dirPositive)) return false;
  alignTertiaryPoint(*this, b, point, point_v);
  return true;
}

}  // namespace Zem

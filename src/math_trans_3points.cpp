// Three-point alignment: completes a partly given destination triangle to
// the shape of the source triangle, then aligns the two triangles.
//
// Completion, in the destination's coordinates:
//   q1: the sphere of radius |p1 − p0| about q0 meets the line x = free,
//       y = q1.y, z = q1.z in q0.x ± h.
//   q2: the spheres about q0 and q1 (radii |p2 − p0|, |p2 − p1|) cut the
//       plane z = q2.z in two circles with squared radii r0², r1², centred at
//       c0 = (q0.x, q0.y) and c1 = (q1.x, q1.y), g = |c1 − c0| apart. With u
//       the unit vector from c0 to c1 and u⊥ = (−u.y, u.x) (counter-clockwise
//       from u), the intersections are c0 + a·u ± b·u⊥ with
//           a = (r0² − r1² + g²) / (2g),   b² = r0² − a².
//       Working along u (not solving for y and then x) treats every
//       direction of q0 → q1 alike, including q1.x = q0.x, and keeps the two
//       mirror-image solutions apart so that the side flag always chooses.
// Alignment: the frame of the source triangle (origin p0, X' along p1 − p0,
// Y' towards p2 in the triangle's plane) followed by the inverse of the same
// frame of the destination triangle.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "math_trans_frame.h"
#include "math_transformation.h"
#include "zem_base.h"

namespace Zem {

namespace {

using frame::Vec;

// The source name carried by every ProgError of this file.
constexpr const char* kSourceFile = "math_trans_3points";

// The squared lengths of the completion are differences of squares of
// coordinates; each carries a rounding error of a few eps·L·S, L the largest
// coordinate and S the longest side. Values within kRounding·L·S of zero are
// zero to rounding: this is a generous bound on that error.
constexpr double kRounding = 64 * std::numeric_limits<double>::epsilon();

double largestMagnitude(const Vec& v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }

/// The frame of the triangle (a, b, c): origin a, X' along b − a, Y' the part
/// of c − a perpendicular to X', Z' = X' × Y'. Y' is taken as (X' × (c − a)) × X',
/// the same direction as c − a minus its component along X', but perpendicular
/// to X' to rounding however flat the triangle is. False, *t untouched, when a
/// and b coincide or the three points lie on a line: the sine of the angle at
/// a at most kParallelSine, raised for points far from (0, 0, 0) compared with
/// the triangle's sides, since their coordinates alone carry a rounding of
/// eps times that distance.
bool triangleFrame(const Vec& a, const Vec& b, const Vec& c, Transformation* t) {
  Vec x = b - a;
  const Vec ac = c - a;
  const double ab = x.length(), acLength = ac.length();
  if (!frame::normalize(x)) return false;
  const double reach = std::max({largestMagnitude(a), largestMagnitude(b), largestMagnitude(c)});
  const Vec normal = x.cross(ac);  // its length is |c − a| times the sine of the angle at a
  if (!(normal.length() > frame::kParallelSine * (acLength + reach * (1.0 + acLength / ab)))) return false;
  return t->computeTransformationCSToCartesian({x, normal.cross(x)}, a);
}

}  // namespace

bool Transformation::computeTransformation3Points(const std::vector<BaPoint3d<double>>& src,
                                                  std::vector<BaPoint3d<double>>& dst, bool positiveX,
                                                  bool leftSide) {
  if (src.size() < 3 || dst.size() < 3)
    throw ProgError("Zem::Transformation::computeTransformation3Points", kSourceFile, __LINE__,
                    "At least three points are needed!");
  // Copies: the caller may pass one vector as both.
  const Vec p0 = src[0], p1 = src[1], p2 = src[2], q0 = dst[0];
  const double q1y = dst[1].y, q1z = dst[1].z, q2z = dst[2].z;
  const double d01 = (p1 - p0).lengthSquared(), d02 = (p2 - p0).lengthSquared(), d12 = (p2 - p1).lengthSquared();
  const double side = std::sqrt(std::max({d01, d02, d12}));
  const double reach = std::max({side, largestMagnitude(p0), largestMagnitude(p1), largestMagnitude(p2),
                                 largestMagnitude(q0), std::fabs(q1y), std::fabs(q1z), std::fabs(q2z)});
  const double rounding = kRounding * reach * side;

  // q1. Written at once. (Comparisons are written so that NaN fails.)
  const double dy = q1y - q0.y, dz = q1z - q0.z;
  const double h2 = d01 - dy * dy - dz * dz;
  if (!(h2 >= -rounding)) return false;
  const double h = h2 > 0.0 ? std::sqrt(h2) : 0.0;
  const double q1x = positiveX ? q0.x + h : q0.x - h;
  dst[1].x = q1x;

  // q2. Centres closer than rounding can tell apart count as coincident:
  // q1 is then directly above or below q0 and the turn about the vertical
  // through q0 is not determined.
  const double gx = q1x - q0.x, gy = dy, g2 = gx * gx + gy * gy;
  if (!(g2 > rounding)) return false;
  const double g = std::sqrt(g2), ux = gx / g, uy = gy / g;
  const double r02 = d02 - (q2z - q0.z) * (q2z - q0.z), r12 = d12 - (q2z - q1z) * (q2z - q1z);
  const double a = (r02 - r12 + g2) / (2.0 * g);
  const double b2 = r02 - a * a;
  // a carries the rounding of its numerator divided by 2g, and a² twice that times |a|.
  if (!(b2 >= -rounding * (1.0 + std::fabs(a) / g))) return false;
  const double b = (b2 > 0.0 ? std::sqrt(b2) : 0.0) * (leftSide ? 1.0 : -1.0);
  const double q2x = q0.x + a * ux - b * uy, q2y = q0.y + a * uy + b * ux;
  dst[2].x = q2x;
  dst[2].y = q2y;

  if (!triangleFrame(p0, p1, p2, this)) return false;
  Transformation destinationFrame;
  if (!triangleFrame(q0, Vec(q1x, q1y, q1z), Vec(q2x, q2y, q2z), &destinationFrame)) return false;
  append(destinationFrame.inverse());
  return true;
}

bool Transformation::computeTransformation3Points(const std::vector<BaVec3d<double>>& src,
                                                  std::vector<BaVec3d<double>>& dst, bool positiveX,
                                                  bool leftSide) {
  std::vector<BaPoint3d<double>> source, destination;
  for (const Vec& p : src) source.emplace_back(p, -1);
  for (const Vec& q : dst) destination.emplace_back(q, -1);
  const bool aligned = computeTransformation3Points(source, destination, positiveX, leftSide);
  for (std::size_t i = 0; i < dst.size(); ++i) dst[i] = destination[i];
  return aligned;
}

}  // namespace Zem

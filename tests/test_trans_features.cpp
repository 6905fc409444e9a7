// Transformations from geometric features: frames from planes, axes and
// points, rotations about axes, line onto line and three-point alignment.
// Features moved by known rigid motions must give the motion back, rigid, and
// every failure must leave the object as documented.
#include <Eigen/Geometry>
#include <functional>
#include <sstream>

#include "test_util.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using V = BaVec3d<double>;
using Points = std::vector<BaPoint3d<double>>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1), nanX(std::nan(""), 0, 0), far(1e5, -2e5, 3e5);

Eigen::Matrix4d toEigen(const Transformation& t) {
  return Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(t.getMatrix().v);
}

/// Orthonormal rotation block of the given determinant, row 3 = (0, 0, 0, 1).
bool isRigid(const Transformation& t, double det = 1.0) {
  const Eigen::Matrix4d m = toEigen(t);
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  return (r * r.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() <= 1e-13 &&
         (m.row(3) - Eigen::RowVector4d(0, 0, 0, 1)).cwiseAbs().maxCoeff() <= 1e-13 &&
         std::fabs(r.determinant() - det) <= 1e-13;
}

/// |R·Rᵀ − I| and |det R − 1| within a few ulps.
::testing::AssertionResult OrthonormalToRounding(const Transformation& t) {
  const Eigen::Matrix3d r = toEigen(t).topLeftCorner<3, 3>();
  const double offOrthonormal = (r * r.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  if (offOrthonormal > 1e-15) return ::testing::AssertionFailure() << "|R·Rᵀ − I| = " << offOrthonormal;
  if (std::fabs(r.determinant() - 1.0) > 1e-15) return ::testing::AssertionFailure() << "det " << r.determinant();
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(FeatureFrames, RigidFramesAreOrthonormalToRoundingDownToTheirLimits) {
  // An X direction or axis ε off the normal, or a second plane ε off the
  // first, leaves one axis to a cancelling cross product or projection; at
  // ε = 1e-11 it was once 3e-5 off perpendicular. The first case is the plane
  // (1, 2, 3, 0) and ε·(3, 0, −1); then random planes far from the origin.
  const char* const names[] = {"plane and X direction", "axis and plane", "three planes", "plane and side point",
                               "plane and origin", "plane onto z = 0"};
  std::mt19937 rng(16);
  std::uniform_real_distribution<double> u(-1, 1), decade(-11.5, -5), reach(0, 7);
  for (int i = 0; i < 3000; ++i) {
    const V n = i ? V(u(rng), u(rng), u(rng)) : V(1, 2, 3), across = n.cross(V(u(rng), u(rng), u(rng)));
    const double eps = i < 3 ? std::pow(10.0, -6.0 - 2.5 * i) : std::pow(10.0, decade(rng));
    const V dir = n + (i ? across * (eps * n.length() / across.length()) : V(3, 0, -1) * eps);
    const V at = V(u(rng), u(rng), u(rng)) * std::pow(10.0, reach(rng));
    const Plane3d plane(n, at + V(u(rng), u(rng), u(rng)));
    Transformation t[6];
    const bool built[6] = {
        t[0].computeTransformationPointAndPlane(plane, dir, at),
        t[1].computeTransformationXAxisAndPlane(plane, at, at + dir * 10, ex),
        t[2].computeTransformation3Planes(plane, Plane3d(dir, at), Plane3d(ex + ey * 2, at), at, true, ez, false),
        t[3].computeTransformationPointAndPlane(plane, at, true), t[4].computeTransformationPointAndPlane(plane, at),
        t[5].compute3d2dTransformation(plane, dir, at)};
    for (int k = 0; k < 6; ++k) {
      std::ostringstream trace;
      trace << names[k] << ", case " << i << ", ε " << eps;
      SCOPED_TRACE(trace.str());
      if (built[k]) {
        EXPECT_TRUE(OrthonormalToRounding(t[k]));
      }
    }
  }
}

TEST(FeatureConstructions, GiveBackKnownRigidMotions) {
  // Frames: features built at the origin along X, Y, Z, normals of random
  // length and sign, moved into place by G, must give G⁻¹ (the axis-and-plane
  // one followed by its offset). Quarter turns leave normals with components
  // of a few 1e-17, as fitted planes have.
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  const double special[] = {0.0, kPi / 2, -kPi / 2, kPi, 1e-9};
  auto turn = [](const V& a, const V& b, const V& c) { return (b - a).cross(c - a).z; };  // > 0: c left of a → b
  const std::vector<Transformation> motions = rigidMotions(9, 335);
  for (int trial = 0; trial < int(motions.size()); ++trial) {
    const Transformation& g = motions[trial];
    auto dir = [&](const V& v) { return g.rotateVector(v) * len(rng); };
    auto plane = [&](const V& n) { return Plane3d(dir(n), g.transformPoint(V())); };
    const bool xPos = u(rng) < 0, zPos = u(rng) < 0;
    const V offset(u(rng), u(rng), u(rng)), o = g.transformPoint(V()), end = g.transformPoint(V(400, 0, 400 * u(rng)));
    Transformation t[4];
    // The axis leaves the plane by up to 45°: it is projected into it.
    ASSERT_TRUE(t[0].computeTransformationCSToCartesian({dir(ex), dir(ey)}, o) &&
                t[1].computeTransformationPointAndPlane(plane(ez), dir(ex + ez * u(rng)), o) &&
                t[2].computeTransformation3Planes(plane(ez * u(rng)), plane(ey * u(rng)), plane(ex + ey * u(rng)),
                                                  g.transformPoint(ex * (xPos ? 3 : -3)), xPos,
                                                  g.transformPoint(ez * (zPos ? 3 : -3) + ex * 5), zPos) &&
                t[3].computeTransformationXAxisAndPlane(plane(ez), o, end, offset));
    t[3].append(Transformation(-offset, V(), 1.0));  // the offset follows the frame
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(SameMatrix(t[i], g.inverse(), kTightTol)) << i << ", trial " << trial;

    // The plane onto z = 0, its frame by a side point, and the mirror in it, for points 100 away.
    const Plane3d p = plane(ez);
    const V in = g.transformPoint(V(100 * u(rng), 100 * u(rng), 0)), view(u(rng), u(rng), u(rng));
    const V off = p.getNormal() * (u(rng) / p.getNormal().length());
    Transformation flat, side, mirror;
    ASSERT_TRUE(flat.compute3d2dTransformation(p, view, in) && mirror.computeMirrorTransformation(p) &&
                side.computeTransformationPointAndPlane(p, in + off, true));
    ASSERT_TRUE(isRigid(flat) && isRigid(side) && isRigid(mirror, -1.0));
    EXPECT_TRUE(SameVec(flat.transformPoint(in), V(), 1e-12) && std::fabs(flat.transformPoint(o).z) <= 1e-12 &&
                flat.rotateVector(view).z <= 0.0);
    // The plane's points go to z = 0 and keep their distance (a far origin would lose their digits); the side
    // point goes to +|off|.
    const V a = side.transformPoint(in), b = side.transformPoint(o), c = side.transformPoint(in + off);
    EXPECT_LE(std::fabs(a.z) + std::fabs(b.z) + std::fabs(c.z - off.length()), 1e-9);
    EXPECT_NEAR((a - b).length(), (in - o).length(), 1e-9);
    EXPECT_TRUE(SameVec(mirror.transformPoint(in + off), in - off, 1e-12) &&
                SameMatrix(mirror, mirror.inverse(), 1e-12));

    // Rotations about the line (in, d), against Eigen's AngleAxis, whose
    // positive angles turn the other way (ours: about Z, +Y goes onto +X).
    // Line onto line carries the point and the direction.
    const V d = dir(V(u(rng), u(rng), u(rng))), e = dir(V(u(rng), u(rng), u(rng)));
    const double angle = trial % 2 ? kPi * u(rng) : special[trial / 2 % 5];
    const Eigen::Vector3d pe(in.x, in.y, in.z), axis = Eigen::Vector3d(d.x, d.y, d.z).normalized();
    const Eigen::Affine3d about = Eigen::Translation3d(pe) * Eigen::AngleAxisd(-angle, axis);
    Transformation byAngle, byAxis, byLine, lines;
    ASSERT_TRUE(byAngle.computeTransformationAngle(in, d, angle) &&
                byAxis.computeTransformationRotateAxis(in, d, angle) &&
                byLine.computeTransformationRotateAxis(Line3d(in, d), angle) &&
                lines.computeLineToLineTransformation(Line3d(in, d), Line3d(o, e)));
    EXPECT_LE((toEigen(byAngle) - about.matrix()).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_LE((toEigen(byAxis) - (about * Eigen::Translation3d(-pe)).matrix()).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_TRUE(SameBits(byAxis, byLine) && isRigid(lines) && SameVec(lines.transformPoint(in), o, 1e-12) &&
                SameVec(lines.rotateVector(d / d.length()), e / e.length(), 1e-13));

    // Three points: the destination comes first, every third one with q1.x =
    // q0.x and every fifth one standing vertical (touching circles); the
    // source is it moved by G. With the true side the completion is the true
    // triangle and the result G⁻¹ (checked where a square root does not
    // amplify rounding), with the other its mirror image; either way the
    // source maps onto the completion.
    const V q0(20 * u(rng), 20 * u(rng), 20 * u(rng));
    const V q1 = q0 + V(trial % 3 ? 10 * u(rng) : 0.0, 10 * u(rng), 10 * u(rng));
    const V q2 = q0 + (trial % 5 ? V(10 * u(rng), 10 * u(rng), 10 * u(rng)) : (q1 - q0) * u(rng) + ez * u(rng));
    const bool positiveX = q1.x > q0.x || (q1.x == q0.x && u(rng) < 0), trueSide = turn(q0, q1, q2) > 0;
    const bool leftSide = trial % 2 ? trueSide : !trueSide;
    const std::vector<V> src = {g.transformPoint(q0), g.transformPoint(q1), g.transformPoint(q2)};
    std::vector<V> dst = {q0, V(nanX.x, q1.y, q1.z), V(nanX.x, nanX.x, q2.z)};
    Transformation three;
    ASSERT_TRUE(three.computeTransformation3Points(src, dst, positiveX, leftSide) && isRigid(three)) << trial;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(SameVec(three.transformPoint(src[i]), dst[i], 1e-9)) << trial;
    EXPECT_TRUE((dst[1].x == q0.x || (dst[1].x > q0.x) == positiveX) &&
                (trial % 5 == 0 || (turn(dst[0], dst[1], dst[2]) > 0) == leftSide));
    EXPECT_TRUE(!(trial % 2 && trial % 3 && trial % 5) || SameMatrix(three, g.inverse(), 1e-9)) << trial;
  }
}

TEST(FeatureFrames, WorkedFramesUseTheirConventions) {
  // Side-point frames take their origin and X' ∥ (1, 1, ·) from c, else b,
  // else a, and Z' by the side and the flag; with only an origin X' is the
  // plane's first direction; two axes are not made perpendicular:
  // Y' = (1, 1, 0)/√2 and Z' = X' × Y' = (0, 0, 1/√2).
  const double r = 1 / std::sqrt(2.0);
  Transformation t[4];
  ASSERT_TRUE(t[0].computeTransformationPointAndPlane(Plane3d(0, 0, 1, -5), V(0, 0, 10), false) &&
              t[1].computeTransformationPointAndPlane(Plane3d(1, 0, 0, -2), V(3, 0, 0), true) &&
              t[2].computeTransformationPointAndPlane(Plane3d(0, 0, 3, -15), V(1, 2, 3)) &&
              t[3].computeTransformationCSToCartesian({V(2, 0, 0), V(3, 3, 0)}, V(1, 1, 1)));
  const V from[4] = {{1, 2, 4}, {3, 1, 2}, {2, 2, 7}, {2, 1, 2}};
  const V to[4] = {{3 * r, -r, 1}, {3 * r, r, 1}, {1, 0, 4}, {1, r, r}};
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(SameVec(t[i].transformPoint(from[i]), to[i], 1e-15)) << i;
  // Line onto line: the perpendicular of the source direction goes onto that
  // of the destination, (0, −1, 0) for the X axis. Smallest x, z, y, then the ties.
  const V perpendiculars[][2] = {{{1, 2, 3}, {0, 3, -2}}, {{3, 2, 1}, {2, -3, 0}}, {{2, 1, 3}, {3, 0, -2}},
                                 {{1, 1, 1}, {1, -1, 0}}, {{1, 1, 2}, {2, 0, -1}}, {{2, 1, 1}, {1, -2, 0}}};
  for (const auto& [v, perp] : perpendiculars) {
    ASSERT_TRUE(t[0].computeLineToLineTransformation(Line3d(V(), v), Line3d(V(), ex)));
    EXPECT_TRUE(SameVec(t[0].rotateVector(perp / perp.length()), -ey, 1e-15)) << v;
  }
}

TEST(FeatureFrames, FailuresLeaveTheMatrixUntouched) {
  const Plane3d none(0, 0, 0, 1), xy(0, 0, 1, 0), yz(1, 0, 0, 0), slanted(0.1, 0.2, 0.3, 0);
  const Plane3d likeIt(0.07, 0.14, 0.21, 1);  // parallel to `slanted` up to rounding
  const V along(0.3, 0.6, 0.9);               // parallel to its normal up to rounding
  Points two = {{V(), 0}, {ex, 1}}, three = {{V(), 0}, {ex, 1}, {ey, 2}};
  // Three points: the destination as given is q0 = (0, 0, 0), q1 by y and z,
  // q2 by z; 99 marks what must stay unwritten. On plain vectors the
  // completion is copied back as far as it got: q1 and q2 as expected after the call.
  const auto threePoints = [](std::vector<V> src, V q1, V q2) {
    return [=](Transformation& t) {
      std::vector<V> dst = {V(), V(99, q1.y, q1.z), V(99, 99, q2.z)};
      const bool ok = t.computeTransformation3Points(src, dst, true, true);
      EXPECT_TRUE(SameVec(dst[1], q1, 1e-7) && SameVec(dst[2], q2, 1e-7)) << dst[1] << dst[2];
      return ok;
    };
  };
  const std::vector<V> right = {V(), 3 * ex, 4 * ey}, axis = {V(), V(0.3, 0.7, 1.1), 3 * ex};
  const double up = axis[1].length(), height = 3 * axis[1].x / up;
  const std::function<bool(Transformation&)> calls[] = {
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({slanted.getNormal(), along}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, ey}, V(0, HUGE_VAL, 0)); },
      [&](Transformation& t) { EXPECT_THROW(t.computeTransformationCSToCartesian({ex}, V()), ProgError); return 0; },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, ez, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(xy, nanX, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, V()); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(slanted, along, V()); },
      [&](Transformation& t) { return t.computeTransformation3Planes(yz, slanted, likeIt, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, yz, none, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(slanted, far, far + along, ex); },
      [&](Transformation& t) { return t.computeMirrorTransformation(none); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), V(0, 1e-60, 0), 1.0); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), nanX, 1.0); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(V(), V(0, 0, HUGE_VAL), 1.0); },
      [&](Transformation& t) { return t.computeLineToLineTransformation(Line3d(V(), nanX), Line3d()); },
      [&](Transformation& t) { EXPECT_THROW(t.computeTransformation3Points(two, three, 1, 1), ProgError); return 0; },
      [&](Transformation& t) { EXPECT_THROW(t.computeTransformation3Points(three, two, 1, 1), ProgError); return 0; },
      threePoints(right, {99, 5, 0}, {99, 99, 0}),  // q1 farther in y and z alone than p1 from p0
      // q1 directly above q0 up to rounding (h² = 2.2e-16 puts q1.x at 1.5e-8), q2 at the height of p2 along
      // p1 − p0: both circles are one circle and nothing fixes the turn about the vertical
      threePoints(axis, {0, 0, up}, {99, 99, height}),
      threePoints(right, {3, 0, 0}, {99, 99, 100}),  // the circles do not meet
      // A collinear source, up to the rounding of coordinates far from (0, 0, 0).
      threePoints({far, far + along / 3, far + along}, {std::sqrt(0.14), 0, 0}, {std::sqrt(1.26), 0, 0}),
  };
  for (const auto& call : calls) {
    Transformation t = kUntouched;
    EXPECT_TRUE(!call(t) && SameBits(t, kUntouched) && SameVec(three[2], ey, 0.0)) << &call - calls;
  }
  // Only the destination line unusable: the frame of the source line stays.
  Transformation t = kUntouched;
  EXPECT_FALSE(t.computeLineToLineTransformation(Line3d(V(1, 2, 3), V(0, 0, 2)), Line3d(V(), nanX)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 2, 3)), V(), 1e-15) && SameVec(t.rotateVector(ez), ex, 1e-15));
}

TEST(ThreePoints, WorkedTriangles) {
  const Points right = {{0, 0, 0, 7}, {3, 0, 0, 7}, {0, 4, 0, 7}}, slanted = {{0, 0, 0, 7}, {2, 0, 0, 7}, {1, 1, 0, 7}};
  // The expected motion: the translation q0 after the rotation by `angles`.
  const struct { const Points& src; V q0; bool positiveX, leftSide; V q1, q2, angles; } rows[] = {
      {right, {10, 20, 0}, true, true, {13, 20, 0}, {10, 24, 0}, {}},
      {right, {10, 20, 0}, true, false, {13, 20, 0}, {10, 16, 0}, {kPi, 0, 0}},  // half a turn about q0 → q1
      {right, {10, 20, 0}, false, false, {7, 20, 0}, {10, 24, 0}, {0, kPi, 0}},
      {slanted, {5, 0, 0}, true, true, {7, 0, 0}, {6, 1, 0}, {}},
  };
  for (const auto& row : rows) {
    // 99: ignored; the fourth point is not touched.
    Points dst = {{row.q0, 7}, {V(99, row.q1.y, row.q1.z), 7}, {V(99, 99, row.q2.z), 7}, {V(1, 2, 3), 7}};
    Transformation t;
    ASSERT_TRUE(t.computeTransformation3Points(row.src, dst, row.positiveX, row.leftSide));
    EXPECT_TRUE(SameVec(dst[1], row.q1, 0.0) && SameVec(dst[2], row.q2, 1e-14) && SameVec(dst[3], V(1, 2, 3), 0.0));
    EXPECT_TRUE(dst[1].id == 7 && dst[2].id == 7 && SameMatrix(t, Transformation(row.q0, row.angles, 1.0), 1e-14));
  }
}

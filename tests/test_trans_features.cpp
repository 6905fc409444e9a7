// Transformations from geometric features: frames from planes, axes and
// points, rotations about axes, line onto line and three-point alignment.
// Features are built in a known frame and moved by random rigid motions; the
// constructions must give the motion back, rigid, and every failure must
// leave the object untouched.
#include <Eigen/Geometry>
#include <algorithm>
#include <functional>
#include <iterator>
#include <vector>

#include "test_util.h"
#include "zem_base.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using V = BaVec3d<double>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1);
const Transformation kSentinel(V(1.5, -2.5, 3.5), V(0.1, 0.2, 0.3), 1.25);  // detects any write
const double kNaN = std::nan("");

Transformation translation(const V& t) { return Transformation(t, V(), 1.0); }

/// A rigid motion whose angles include quarter and half turns as often as
/// random ones, with a translation of up to 20 in each coordinate.
Transformation randomMotion(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double special[] = {0.0, kPi / 2, -kPi / 2, kPi};
  auto angle = [&] { return u(rng) < 0.0 ? kPi * u(rng) : special[rng() % 4]; };
  return Transformation(V(20 * u(rng), 20 * u(rng), 20 * u(rng)), V(angle(), angle(), angle()), 1.0);
}

Eigen::Matrix4d toEigen(const Transformation& t) {
  Eigen::Matrix4d e;
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) e(r, c) = t.getMatrix(c, r);
  return e;
}

/// Orthonormal rotation block of the given determinant, row 3 = (0, 0, 0, 1).
::testing::AssertionResult IsRigid(const Transformation& t, double det = 1.0) {
  const Eigen::Matrix4d m = toEigen(t);
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  const double off = std::max((r * r.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(),
                              (m.row(3) - Eigen::RowVector4d(0, 0, 0, 1)).cwiseAbs().maxCoeff());
  if (off <= 1e-13 && std::fabs(r.determinant() - det) <= 1e-13) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not rigid (off by " << off << ", det " << r.determinant() << ")\n" << m;
}

}  // namespace

// ---------------------------------------------------------------------------
// Frames from planes, axes and points

TEST(FeatureFrames, GiveBackRandomRigidMotions) {
  // The frame's features are built at the origin along X, Y, Z, with normals
  // of random length and sign, and moved into place by G: each construction
  // must then be G⁻¹ (the XAxisAndPlane one followed by its offset).
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    const Transformation g = randomMotion(rng);
    const Transformation expected = g.inverse();
    auto dir = [&](const V& v) { return g.rotateVector(v) * len(rng); };
    auto sign = [&] { return u(rng) < 0 ? -1.0 : 1.0; };
    auto plane = [&](const V& n) { return Plane3d(dir(n), g.transformPoint(V())); };
    const bool xPos = u(rng) < 0, zPos = u(rng) < 0;
    const V offset(u(rng), u(rng), u(rng));
    Transformation withOffset = expected, t[4];

    withOffset.append(translation(offset));
    ASSERT_TRUE(t[0].computeTransformationCSToCartesian({dir(ex), dir(ey)}, g.transformPoint(V())));
    ASSERT_TRUE(t[1].computeTransformationPointAndPlane(plane(ez), dir(ex + ez * u(rng)), g.transformPoint(V())));
    ASSERT_TRUE(t[2].computeTransformation3Planes(plane(ez * sign()), plane(ey * sign()), plane(ex + ey * u(rng)),
                                                  g.transformPoint(ex * (xPos ? 3 : -3)), xPos,
                                                  g.transformPoint(ez * (zPos ? 3 : -3) + ex * 5), zPos));
    // The axis leaves the plane by up to 45°: it is projected into it.
    ASSERT_TRUE(t[3].computeTransformationXAxisAndPlane(plane(ez), g.transformPoint(V()),
                                                        g.transformPoint(ex * 4 + ez * (4 * u(rng))), offset));
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(SameMatrix(t[i], i == 3 ? withOffset : expected, kTightTol)) << "construction " << i
                                                                                << ", trial " << trial;
      ASSERT_TRUE(IsRigid(t[i]));
    }
  }
}

TEST(FeatureFrames, WorkedPlaneCases) {
  // Each row: the frame of a plane oriented by a side point; where O, X' and
  // Z' must be.
  const double r = 1 / std::sqrt(2.0);
  const struct {
    Plane3d plane;
    V side;
    bool positive;
    V origin, x, z;
  } rows[] = {
      {{0, 0, 1, -5}, {0, 0, 10}, true, {0, 0, 5}, {r, r, 0}, ez},
      {{0, 0, 1, -5}, {0, 0, 10}, false, {0, 0, 5}, {r, r, 0}, -ez},
      {{0, 0, 2, -10}, {0, 0, 0}, true, {0, 0, 5}, {r, r, 0}, -ez},  // point opposite the normal
      {{1, 0, 0, -2}, {3, 0, 0}, true, {2, 0, 0}, {0, r, r}, ex},      // falls through to a
  };
  for (const auto& row : rows) {
    Transformation t;
    ASSERT_TRUE(t.computeTransformationPointAndPlane(row.plane, row.side, row.positive));
    EXPECT_TRUE(SameVec(t.transformPoint(row.origin), V(), 1e-15));
    EXPECT_TRUE(SameVec(t.rotateVector(row.x), ex, 1e-15));
    EXPECT_TRUE(SameVec(t.rotateVector(row.z), ez, 1e-15));
    EXPECT_TRUE(IsRigid(t));
  }
  Transformation t;
  ASSERT_TRUE(t.compute3d2dTransformation(Plane3d(0, 0, 1, 0), -ez, V()));
  EXPECT_TRUE(SameVec(t.transformPoint(ex), V(r, -r, 0), 1e-15));
  ASSERT_TRUE(t.compute3d2dTransformation(Plane3d(0, 0, 1, 0), ez, V()));
  EXPECT_TRUE(SameVec(t.transformPoint(ez), -ez, 1e-15));
  ASSERT_TRUE(t.computeTransformationPointAndPlane(Plane3d(0, 0, 3, -15), V(1, 2, 3)));  // X' = getDirection1
  EXPECT_TRUE(SameVec(t.transformPoint(V(2, 2, 7)), V(1, 0, 4), 1e-15));
  ASSERT_TRUE(t.computeMirrorTransformation(Plane3d(0, 0, 1, 0)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 2, 3)), V(1, 2, -3), 1e-15));
  ASSERT_TRUE(t.computeTransformationXAxisAndPlane(Plane3d(0, 0, 1, -1), V(1, 1, 1), V(4, 5, 1), V(7, 8, 9)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(4, 5, 1)), V(12, 8, 9), 1e-14));

  // Axes that are not perpendicular are used as given: Y' = (1, 1, 0)/√2 and
  // Z' = X' × Y' = (0, 0, 1/√2).
  ASSERT_TRUE(t.computeTransformationCSToCartesian({V(2, 0, 0), V(3, 3, 0)}, V(1, 1, 1)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(2, 1, 1)), V(1, r, 0), 1e-15));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 1, 2)), V(0, 0, r), 1e-15));
}

TEST(FeatureFrames, PlaneOntoZeroAndMirrorForRandomPlanes) {
  // Includes nearly vertical walls whose c is a few 1e-17, as a fit leaves
  // them: the origin must stay near and the plane must still map to z = 0.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0), len(1e-3, 1e3);
  for (int trial = 0; trial < 300; ++trial) {
    V n(u(rng), u(rng), trial % 3 == 0 ? 3e-17 * u(rng) : u(rng));
    n = n * (len(rng) / n.length());
    const Plane3d plane(n, V(100 * u(rng), 100 * u(rng), 100 * u(rng)));
    const V onPlane = plane.perpend(V(100 * u(rng), 100 * u(rng), 100 * u(rng)));
    const V view(u(rng), u(rng), u(rng)), off = n * (u(rng) / n.length());  // up to 1 off the plane
    Transformation flat, side, mirror;
    ASSERT_TRUE(flat.compute3d2dTransformation(plane, view, onPlane));
    ASSERT_TRUE(side.computeTransformationPointAndPlane(plane, onPlane + off, true));
    ASSERT_TRUE(mirror.computeMirrorTransformation(plane));
    ASSERT_TRUE(IsRigid(flat) && IsRigid(side) && IsRigid(mirror, -1.0));
    EXPECT_TRUE(SameVec(flat.transformPoint(onPlane), V(), 1e-12));
    EXPECT_LE(flat.rotateVector(view).z, 0.0);  // Z' · view ≤ 0
    EXPECT_NEAR(side.transformPoint(onPlane).z, 0.0, 1e-9);
    EXPECT_NEAR(side.transformPoint(onPlane + off).z, off.length(), 1e-9);  // Z' towards the side point
    const V other = plane.perpend(V());  // in-plane distances keep their digits
    EXPECT_NEAR((side.transformPoint(other) - side.transformPoint(onPlane)).length(), (other - onPlane).length(),
                1e-9);

    const V p = onPlane + off;
    EXPECT_TRUE(SameVec(mirror.transformPoint(onPlane), onPlane, 1e-12));
    EXPECT_TRUE(SameVec(mirror.transformPoint(p), onPlane - off, 1e-12));
    Transformation twice = mirror;
    twice.append(mirror);
    EXPECT_TRUE(SameMatrix(twice, Transformation::identity(), 1e-12));
  }
}

TEST(FeatureFrames, FailuresLeaveTheMatrixUntouched) {
  using Call = std::function<bool(Transformation&)>;
  const Plane3d none(0, 0, 0, 1), xy(0, 0, 1, 0);
  const Plane3d yz(1, 0, 0, 0), xz(0, 1, 0, 0), slanted(0.1, 0.2, 0.3, 0), parallelToIt(0.3, 0.6, 0.9, 1),
                above(0, 0, 2, 1);
  const V nanX(kNaN, 0, 0);
  // clang-format off
  const Call calls[] = {
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({V(), ey}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, V(-2, 0, 0)}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, V(kNaN, 1, 0)}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, ey}, V(0, HUGE_VAL, 0)); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, ez, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(Plane3d(0, 0, 1, kNaN), ez, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(xy, nanX, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, ex, V()); },
      // X along the normal, exactly and up to rounding
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(xy, V(0, 0, -2), V()); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(slanted, V(0.3, 0.6, 0.9), V()); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, V()); },
      // two of the planes parallel, exactly and up to rounding; no normal; no side
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, above, yz, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, slanted, parallelToIt, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, xz, none, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, xz, yz, nanX, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(none, V(), ex, V()); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(xy, ex, ex, V()); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(xy, V(), ez, V()); },  // axis ⟂ plane
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(xy, V(), ex, nanX); },
      [&](Transformation& t) { return t.compute3d2dTransformation(none, ez, V()); },
      [&](Transformation& t) { return t.compute3d2dTransformation(xy, nanX, V()); },
      [&](Transformation& t) { return t.computeMirrorTransformation(none); },
      // rotations: a direction of no length or not finite, an angle or a point not finite
      [&](Transformation& t) { return t.computeTransformationAngle(V(), V(), 1.0); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), V(0, 1e-60, 0), 1.0); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), nanX, 1.0); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), ez, kNaN); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(V(), V(0, 0, HUGE_VAL), 1.0); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(nanX, ez, 1.0); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(Line3d(V(), V(1e-60, 0, 0)), 1.0); },
      [&](Transformation& t) { return t.computeLineToLineTransformation(Line3d(V(), V()), Line3d()); },
      [&](Transformation& t) { return t.computeLineToLineTransformation(Line3d(V(), nanX), Line3d()); },
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    Transformation t = kSentinel;
    EXPECT_FALSE(calls[i](t)) << "call " << i;
    EXPECT_TRUE(SameBits(t, kSentinel)) << "call " << i;
  }
  Transformation t = kSentinel;
  EXPECT_THROW(t.computeTransformationCSToCartesian({ex}, V()), ProgError);
  EXPECT_TRUE(SameBits(t, kSentinel));
}

// ---------------------------------------------------------------------------
// Rotations about axes and line onto line

TEST(FeatureRotations, AxisRotationsMatchAnIndependentConstruction) {
  // Positive angles turn the other way from Eigen's (right-handed) AngleAxis:
  // x ↦ AngleAxis(−θ, u)·(x − p) + p.
  std::mt19937 rng(64);
  std::uniform_real_distribution<double> u(-1.0, 1.0), len(1e-3, 1e3);
  const double special[] = {0.0, kPi / 2, -kPi / 2, kPi, 1e-9};
  for (int trial = 0; trial < 300; ++trial) {
    const V p(20 * u(rng), 20 * u(rng), 20 * u(rng)), d = V(u(rng), u(rng), u(rng)) * len(rng);
    const double angle = trial % 2 ? kPi * u(rng) : special[trial / 2 % 5];
    const Eigen::Vector3d axis = Eigen::Vector3d(d.x, d.y, d.z).normalized(), pe(p.x, p.y, p.z);
    Eigen::Matrix4d about = Eigen::Matrix4d::Identity(), through = about;
    about.topLeftCorner<3, 3>() = Eigen::AngleAxisd(-angle, axis).toRotationMatrix();
    through = about;
    about.topRightCorner<3, 1>() = pe;  // then translated by p
    through.topRightCorner<3, 1>() = pe - through.topLeftCorner<3, 3>() * pe;

    Transformation a, b, c;
    ASSERT_TRUE(a.computeTransformationAngle(p, d, angle));
    ASSERT_TRUE(b.computeTransformationRotateAxis(p, d, angle));
    ASSERT_TRUE(c.computeTransformationRotateAxis(Line3d(p, d), angle));
    EXPECT_LE((toEigen(a) - about).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_LE((toEigen(b) - through).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_TRUE(SameBits(b, c));
    EXPECT_TRUE(IsRigid(a) && IsRigid(b));
  }
  // The sense, written out: a quarter turn about Z carries +Y onto +X, a half
  // turn about the axis through (1, 0, 0) takes (2, 0, 0) to (0, 0, 0).
  Transformation t;
  ASSERT_TRUE(t.computeTransformationAngle(V(1, 2, 3), V(0, 0, 5), kPi / 2));
  EXPECT_TRUE(SameVec(t.transformPoint(ey), V(2, 2, 3), 1e-15));
  ASSERT_TRUE(t.computeTransformationRotateAxis(ex, ez, kPi));
  EXPECT_TRUE(SameVec(t.transformPoint(V(2, 0, 0)), V(), 1e-15));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 0, 7)), V(1, 0, 7), 1e-15));
}

TEST(FeatureRotations, LineOntoLineCarriesPointAndDirection) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0), len(1e-3, 1e3);
  auto randomLine = [&] {
    return Line3d(V(20 * u(rng), 20 * u(rng), 20 * u(rng)), V(u(rng), u(rng), u(rng)) * len(rng));
  };
  for (int trial = 0; trial < 300; ++trial) {
    const Line3d s = randomLine(), d = trial % 3 ? randomLine() : Line3d(randomLine().p, s.d * len(rng));
    Transformation t, self;
    ASSERT_TRUE(t.computeLineToLineTransformation(s, d));
    ASSERT_TRUE(self.computeLineToLineTransformation(s, s));
    EXPECT_TRUE(IsRigid(t));
    EXPECT_TRUE(SameVec(t.transformPoint(s.p), d.p, 1e-12));
    EXPECT_TRUE(SameVec(t.rotateVector(s.d / s.d.length()), d.d / d.d.length(), 1e-13));
    EXPECT_TRUE(SameMatrix(self, Transformation::identity(), 1e-12));
    if (trial % 3 == 0) {  // the same direction: a pure translation
      EXPECT_TRUE(SameMatrix(t, translation(d.p - s.p), 1e-12));
    }
  }
  Transformation t;
  ASSERT_TRUE(t.computeLineToLineTransformation(Line3d(V(), ex), Line3d(V(5, 0, 0), ey)));
  EXPECT_TRUE(SameVec(t.transformPoint(ex), V(5, 1, 0), 1e-15));

  // The roll: the perpendicular of the source direction goes onto that of
  // the destination, (0, −1, 0) for the X axis.
  const V perpendiculars[][2] = {
      {{1, 2, 3}, {0, 3, -2}}, {{3, 2, 1}, {2, -3, 0}}, {{2, 1, 3}, {3, 0, -2}},  // smallest x, z, y
      {{1, 1, 1}, {1, -1, 0}}, {{1, 1, 2}, {2, 0, -1}}, {{2, 1, 1}, {1, -2, 0}}};  // ties
  for (const auto& [v, perp] : perpendiculars) {
    ASSERT_TRUE(t.computeLineToLineTransformation(Line3d(V(), v), Line3d(V(), ex)));
    EXPECT_TRUE(SameVec(t.rotateVector(perp / perp.length()), -ey, 1e-15)) << v;
  }
}

TEST(FeatureRotations, LineOntoLineKeepsTheSourceFrameWhenOnlyTheDestinationFails) {
  for (const V& bad : {V(), V(kNaN, 0, 0), V(0, HUGE_VAL, 0)}) {
    Transformation t = kSentinel;
    EXPECT_FALSE(t.computeLineToLineTransformation(Line3d(V(1, 2, 3), V(0, 0, 2)), Line3d(V(), bad)));
    EXPECT_TRUE(SameVec(t.transformPoint(V(1, 2, 3)), V(), 1e-15));
    EXPECT_TRUE(SameVec(t.rotateVector(ez), ex, 1e-15));
  }
}

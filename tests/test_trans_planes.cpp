// Frames from planes, axes and points (math_trans_planes.cpp): features moved
// by known rigid motions give the motion back, rigid and orthonormal to
// rounding down to their limits; worked frames pin the conventions; every
// failure leaves the matrix untouched.
#include "test_util.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

using V = BaVec3d<double>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1), nanX(std::nan(""), 0, 0), far(1e5, -2e5, 3e5);

// An X direction or axis ε off the normal, or a second plane ε off the
// first, leaves one axis to a cancelling cross product or projection; at
// ε = 1e-11 it was once 3e-5 off perpendicular. Random planes far from the
// origin, ε from 10^−11.5 to 10^−5.
TEST(FeatureFrames, RigidFramesAreOrthonormalToRoundingDownToTheirLimits) {
  std::mt19937 rng(16);
  std::uniform_real_distribution<double> u(-1, 1), decade(-11.5, -5), reach(0, 7);
  for (int trial = 0; trial < 3000; ++trial) {
    const double eps = std::pow(10.0, decade(rng));
    SCOPED_TRACE(testing::Message() << "trial " << trial << ", ε " << eps);
    const V n(u(rng), u(rng), u(rng)), across = n.cross(V(u(rng), u(rng), u(rng)));
    const V dir = n + across * (eps * n.length() / across.length());
    const V at = V(u(rng), u(rng), u(rng)) * std::pow(10.0, reach(rng));
    const Plane3d plane(n, at + V(u(rng), u(rng), u(rng)));
    Transformation t[6];
    const struct { const char* name; bool built; const Transformation& frame; } frames[] = {
        {"plane and X direction", t[0].computeTransformationPointAndPlane(plane, dir, at), t[0]},
        {"axis and plane", t[1].computeTransformationXAxisAndPlane(plane, at, at + dir * 10, ex), t[1]},
        {"three planes",
         t[2].computeTransformation3Planes(plane, Plane3d(dir, at), Plane3d(ex + ey * 2, at), at, true, ez, false),
         t[2]},
        {"plane and side point", t[3].computeTransformationPointAndPlane(plane, at, true), t[3]},
        {"plane and origin", t[4].computeTransformationPointAndPlane(plane, at), t[4]},
        {"plane onto z = 0", t[5].compute3d2dTransformation(plane, dir, at), t[5]}};
    for (const auto& f : frames)
      if (f.built) {
        EXPECT_TRUE(Rigid(f.frame, 1.0, 1e-15)) << f.name;
      }
  }
}

// Features built at the origin along X, Y, Z, normals of random length and
// sign, moved into place by G, must give G⁻¹ (the axis-and-plane frame
// followed by its offset). Quarter turns leave normals with components of a
// few 1e-17, as fitted planes have. The axis leaves the plane by up to 45°:
// it is projected into it.
TEST(FeatureFrames, FeaturesMovedByAKnownMotionGiveItBack) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (const Transformation& g : rigidMotions(9, 335)) {
    const auto dir = [&](const V& v) { return g.rotateVector(v) * len(rng); };
    const auto plane = [&](const V& n) { return Plane3d(dir(n), g.transformPoint(V())); };
    const bool xPos = u(rng) < 0, zPos = u(rng) < 0;
    const V offset(u(rng), u(rng), u(rng)), o = g.transformPoint(V()), end = g.transformPoint(V(400, 0, 400 * u(rng)));
    const V xSide = g.transformPoint(ex * (xPos ? 3 : -3)), zSide = g.transformPoint(ez * (zPos ? 3 : -3) + ex * 5);
    Transformation t[4];
    const struct { const char* name; bool built; const Transformation& frame; } frames[] = {
        {"two axes", t[0].computeTransformationCSToCartesian({dir(ex), dir(ey)}, o), t[0]},
        {"plane and X direction", t[1].computeTransformationPointAndPlane(plane(ez), dir(ex + ez * u(rng)), o), t[1]},
        {"three planes",
         t[2].computeTransformation3Planes(plane(ez * u(rng)), plane(ey * u(rng)), plane(ex + ey * u(rng)), xSide, xPos,
                                           zSide, zPos),
         t[2]},
        {"axis and plane", t[3].computeTransformationXAxisAndPlane(plane(ez), o, end, offset), t[3]}};
    t[3].append(Transformation(-offset, V(), 1.0));  // the offset follows the frame
    for (const auto& f : frames) {
      SCOPED_TRACE(f.name);
      ASSERT_TRUE(f.built);
      ASSERT_TRUE(SameMatrix(f.frame, g.inverse(), kTightTol));
    }
  }
}

// The plane onto z = 0 (its point to the origin, the view direction pointing
// down), its frame by a side point (the plane's points to z = 0 keeping their
// distance, a far origin would lose their digits; the side point to +|off|),
// and the mirror in it, for points 100 away.
TEST(FeatureFrames, PlaneOntoZ0SidePointFrameAndMirror) {
  std::mt19937 rng(10);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (const Transformation& g : rigidMotions(10, 335)) {
    const Plane3d p(g.rotateVector(ez) * len(rng), g.transformPoint(V()));
    const V o = g.transformPoint(V()), in = g.transformPoint(V(100 * u(rng), 100 * u(rng), 0));
    const V view(u(rng), u(rng), u(rng)), off = p.getNormal() * (u(rng) / p.getNormal().length());
    Transformation flat, side, mirror;
    ASSERT_TRUE(flat.compute3d2dTransformation(p, view, in));
    ASSERT_TRUE(side.computeTransformationPointAndPlane(p, in + off, true));
    ASSERT_TRUE(mirror.computeMirrorTransformation(p));
    ASSERT_TRUE(Rigid(mirror, -1.0));  // the other two: RigidFramesAreOrthonormalToRoundingDownToTheirLimits
    EXPECT_TRUE(SameVec(flat.transformPoint(in), V(), 1e-12));
    EXPECT_NEAR(flat.transformPoint(o).z, 0.0, 1e-12);
    EXPECT_LE(flat.rotateVector(view).z, 0.0);
    const V a = side.transformPoint(in), b = side.transformPoint(o), c = side.transformPoint(in + off);
    EXPECT_NEAR(a.z, 0.0, 1e-9);
    EXPECT_NEAR(b.z, 0.0, 1e-9);
    EXPECT_NEAR(c.z, off.length(), 1e-9);
    EXPECT_NEAR((a - b).length(), (in - o).length(), 1e-9);
    EXPECT_TRUE(SameVec(mirror.transformPoint(in + off), in - off, 1e-12));
    EXPECT_TRUE(SameMatrix(mirror, mirror.inverse(), 1e-12));
  }
}

// Side-point frames take their origin and X' ∥ (1, 1, ·) from c, else b,
// else a, and Z' by the side and the flag; with only an origin X' is the
// plane's first direction; two axes are not made perpendicular:
// Y' = (1, 1, 0)/√2 and Z' = X' × Y' = (0, 0, 1/√2).
TEST(FeatureFrames, WorkedFramesUseTheirConventions) {
  const double r = 1 / std::sqrt(2.0);
  Transformation t[4];
  const struct { const char* name; bool built; const Transformation& frame; V from, to; } frames[] = {
      {"side point, flag false", t[0].computeTransformationPointAndPlane(Plane3d(0, 0, 1, -5), V(0, 0, 10), false),
       t[0], {1, 2, 4}, {3 * r, -r, 1}},
      {"side point, flag true", t[1].computeTransformationPointAndPlane(Plane3d(1, 0, 0, -2), V(3, 0, 0), true),
       t[1], {3, 1, 2}, {3 * r, r, 1}},
      {"origin only", t[2].computeTransformationPointAndPlane(Plane3d(0, 0, 3, -15), V(1, 2, 3)), t[2], {2, 2, 7},
       {1, 0, 4}},
      {"two axes", t[3].computeTransformationCSToCartesian({V(2, 0, 0), V(3, 3, 0)}, V(1, 1, 1)), t[3], {2, 1, 2},
       {1, r, r}}};
  for (const auto& f : frames) {
    SCOPED_TRACE(f.name);
    ASSERT_TRUE(f.built);
    EXPECT_TRUE(SameVec(f.frame.transformPoint(f.from), f.to, 1e-15));
  }
}

TEST(FeatureFrames, FailuresLeaveTheMatrixUntouched) {
  const Plane3d none(0, 0, 0, 1), xy(0, 0, 1, 0), yz(1, 0, 0, 0), slanted(0.1, 0.2, 0.3, 0);
  const Plane3d likeIt(0.07, 0.14, 0.21, 1);  // parallel to `slanted` up to rounding
  const V along(0.3, 0.6, 0.9);               // parallel to its normal up to rounding
  const struct { const char* name; std::function<bool(Transformation&)> call; } cases[] = {
      {"axes parallel up to rounding",
       [&](Transformation& t) { return t.computeTransformationCSToCartesian({slanted.getNormal(), along}, V()); }},
      {"infinite origin",
       [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, ey}, V(0, HUGE_VAL, 0)); }},
      {"side point, no plane", [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, ez, true); }},
      {"side point NaN", [&](Transformation& t) { return t.computeTransformationPointAndPlane(xy, nanX, true); }},
      {"origin, no plane", [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, V()); }},
      {"X direction along the normal",
       [&](Transformation& t) { return t.computeTransformationPointAndPlane(slanted, along, V()); }},
      {"planes parallel up to rounding",
       [&](Transformation& t) { return t.computeTransformation3Planes(yz, slanted, likeIt, ex, true, ez, true); }},
      {"third plane missing",
       [&](Transformation& t) { return t.computeTransformation3Planes(xy, yz, none, ex, true, ez, true); }},
      {"axis along the normal, far away",
       [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(slanted, far, far + along, ex); }},
      {"mirror in no plane", [&](Transformation& t) { return t.computeMirrorTransformation(none); }}};
  for (const auto& c : cases) EXPECT_TRUE(FailsUntouched(c.call)) << c.name;
  Transformation t = kUntouched;
  EXPECT_THROW(t.computeTransformationCSToCartesian({ex}, V()), ProgError);
  EXPECT_TRUE(SameBits(t, kUntouched));
}

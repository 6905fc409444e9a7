// Transformations from geometric features: frames from planes, axes and
// points, rotations about axes, line onto line and three-point alignment.
// Features are built in a known frame and moved by random rigid motions; the
// constructions must give the motion back, rigid, and every failure must
// leave the object as documented.
#include <Eigen/Geometry>
#include <algorithm>
#include <functional>
#include <vector>

#include "test_util.h"
#include "zem_base.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using V = BaVec3d<double>;
using Points = std::vector<BaPoint3d<double>>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1), nanX(std::nan(""), 0, 0), far(1e5, -2e5, 3e5);
const Transformation kSentinel(V(1.5, -2.5, 3.5), V(0.1, 0.2, 0.3), 1.25);  // detects any write

Transformation translation(const V& t) { return Transformation(t, V(), 1.0); }

/// Angles are quarter and half turns as often as random ones (quarter turns
/// leave normals with components of a few 1e-17, as fitted planes have).
Transformation randomMotion(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double special[] = {0.0, kPi / 2, -kPi / 2, kPi};
  auto angle = [&] { return u(rng) < 0.0 ? kPi * u(rng) : special[rng() % 4]; };
  return Transformation(V(20 * u(rng), 20 * u(rng), 20 * u(rng)), V(angle(), angle(), angle()), 1.0);
}

Eigen::Matrix4d toEigen(const Transformation& t) {
  return Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(t.getMatrix().v);
}

/// Orthonormal rotation block of the given determinant, row 3 = (0, 0, 0, 1).
::testing::AssertionResult IsRigid(const Transformation& t, double det = 1.0) {
  Eigen::Matrix4d m = toEigen(t), r = m;
  r.topLeftCorner<3, 3>() *= m.topLeftCorner<3, 3>().transpose();  // R·Rᵀ must be I, row 3 (0, 0, 0, 1)
  const double off = (r - Eigen::Matrix4d::Identity()).leftCols<3>().cwiseAbs().maxCoeff() + std::fabs(r(3, 3) - 1);
  if (off <= 1e-13 && std::fabs(m.topLeftCorner<3, 3>().determinant() - det) <= 1e-13)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not rigid with determinant " << det << ":\n" << m;
}

Points points(std::initializer_list<V> vs) {
  Points out;
  for (const V& v : vs) out.emplace_back(v, 7);
  return out;
}

}  // namespace

TEST(FeatureFrames, GiveBackRandomRigidMotionsAndMapThePlaneToZero) {
  // The features are built at the origin along X, Y, Z, with normals of random
  // length and sign, and moved into place by G: each frame must be G⁻¹ (the
  // axis-and-plane one followed by its offset).
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    const Transformation g = randomMotion(rng), expected = g.inverse();
    auto dir = [&](const V& v) { return g.rotateVector(v) * len(rng); };
    auto plane = [&](const V& n) { return Plane3d(dir(n), g.transformPoint(V())); };
    const bool xPos = u(rng) < 0, zPos = u(rng) < 0;
    const V offset(u(rng), u(rng), u(rng)), o = g.transformPoint(V());
    Transformation withOffset = expected, t[4];
    withOffset.append(translation(offset));
    ASSERT_TRUE(t[0].computeTransformationCSToCartesian({dir(ex), dir(ey)}, o));
    ASSERT_TRUE(t[1].computeTransformationPointAndPlane(plane(ez), dir(ex + ez * u(rng)), o));
    ASSERT_TRUE(t[2].computeTransformation3Planes(plane(ez * u(rng)), plane(ey * u(rng)), plane(ex + ey * u(rng)),
                                                  g.transformPoint(ex * (xPos ? 3 : -3)), xPos,
                                                  g.transformPoint(ez * (zPos ? 3 : -3) + ex * 5), zPos));
    // The axis leaves the plane by up to 45°: it is projected into it.
    ASSERT_TRUE(t[3].computeTransformationXAxisAndPlane(plane(ez), o, g.transformPoint(V(4, 0, 4 * u(rng))), offset));
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(SameMatrix(t[i], i == 3 ? withOffset : expected, kTightTol)) << i << ", trial " << trial;
      ASSERT_TRUE(IsRigid(t[i]));
    }

    // The plane onto z = 0 and the mirror in it, for points 100 away.
    const Plane3d p = plane(ez);
    const V in = g.transformPoint(V(100 * u(rng), 100 * u(rng), 0)), view(u(rng), u(rng), u(rng));
    const V off = p.getNormal() * (u(rng) / p.getNormal().length());
    Transformation flat, side, mirror, twice;
    ASSERT_TRUE(flat.compute3d2dTransformation(p, view, in) && mirror.computeMirrorTransformation(p));
    ASSERT_TRUE(side.computeTransformationPointAndPlane(p, in + off, true));
    ASSERT_TRUE(IsRigid(flat) && IsRigid(side) && IsRigid(mirror, -1.0));
    EXPECT_TRUE(SameVec(flat.transformPoint(in), V(), 1e-12) && flat.rotateVector(view).z <= 0.0);
    EXPECT_NEAR(flat.transformPoint(o).z, 0.0, 1e-12);
    // The plane's points go to z = 0 and keep their distances; the side point goes to +|off|.
    const V a = side.transformPoint(in), b = side.transformPoint(o), c = side.transformPoint(in + off);
    EXPECT_LE(std::fabs(a.z) + std::fabs(b.z) + std::fabs(c.z - off.length()), 1e-9);
    EXPECT_NEAR((a - b).length(), (in - o).length(), 1e-9);
    EXPECT_TRUE(SameVec(mirror.transformPoint(in + off), in - off, 1e-12));
    twice = mirror;
    twice.append(mirror);
    EXPECT_TRUE(SameMatrix(twice, Transformation::identity(), 1e-12));
  }
}

TEST(FeatureFrames, WorkedPlaneFramesAndAxesUsedAsGiven) {
  const double r = 1 / std::sqrt(2.0);
  const struct { Plane3d plane; V side; bool positive; V origin, x, z; } rows[] = {
      {{0, 0, 1, -5}, {0, 0, 10}, false, {0, 0, 5}, {r, r, 0}, -ez},
      {{0, 0, 2, -10}, {0, 0, 0}, true, {0, 0, 5}, {r, r, 0}, -ez},  // point opposite the normal
      {{1, 0, 0, -2}, {3, 0, 0}, true, {2, 0, 0}, {0, r, r}, ex},      // falls through to a
  };
  Transformation t;
  for (const auto& row : rows) {
    ASSERT_TRUE(t.computeTransformationPointAndPlane(row.plane, row.side, row.positive));
    EXPECT_TRUE(SameVec(t.transformPoint(row.origin), V(), 1e-15) && SameVec(t.rotateVector(row.x), ex, 1e-15) &&
                SameVec(t.rotateVector(row.z), ez, 1e-15));
  }
  ASSERT_TRUE(t.computeTransformationPointAndPlane(Plane3d(0, 0, 3, -15), V(1, 2, 3)));  // X' = (1, 0, 0) of z = 5
  EXPECT_TRUE(SameVec(t.transformPoint(V(2, 2, 7)), V(1, 0, 4), 1e-15));
  // Y' = (1, 1, 0)/√2 and Z' = X' × Y' = (0, 0, 1/√2): not made perpendicular.
  ASSERT_TRUE(t.computeTransformationCSToCartesian({V(2, 0, 0), V(3, 3, 0)}, V(1, 1, 1)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(2, 1, 2)), V(1, r, r), 1e-15));
}

TEST(FeatureFrames, FailuresLeaveTheMatrixUntouched) {
  const Plane3d none(0, 0, 0, 1), xy(0, 0, 1, 0), yz(1, 0, 0, 0), slanted(0.1, 0.2, 0.3, 0);
  const Plane3d likeIt(0.07, 0.14, 0.21, 1);  // parallel to `slanted` up to rounding
  const V along(0.3, 0.6, 0.9);               // parallel to its normal up to rounding
  // clang-format off
  const std::function<bool(Transformation&)> calls[] = {
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({V(), ey}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({slanted.getNormal(), likeIt.getNormal()}, V()); },
      [&](Transformation& t) { return t.computeTransformationCSToCartesian({ex, ey}, V(0, HUGE_VAL, 0)); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, ez, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(xy, nanX, true); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(none, V()); },
      [&](Transformation& t) { return t.computeTransformationPointAndPlane(slanted, along, V()); },
      [&](Transformation& t) { return t.computeTransformation3Planes(yz, slanted, likeIt, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformation3Planes(xy, yz, none, ex, true, ez, true); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(xy, ex, ex, V()); },
      [&](Transformation& t) { return t.computeTransformationXAxisAndPlane(slanted, far, far + along, ex); },
      [&](Transformation& t) { return t.compute3d2dTransformation(none, ez, V()); },
      [&](Transformation& t) { return t.computeMirrorTransformation(none); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), V(0, 1e-60, 0), 1.0); },
      [&](Transformation& t) { return t.computeTransformationAngle(V(), nanX, 1.0); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(V(), V(0, 0, HUGE_VAL), 1.0); },
      [&](Transformation& t) { return t.computeTransformationRotateAxis(Line3d(V(), V()), 1.0); },
      [&](Transformation& t) { return t.computeLineToLineTransformation(Line3d(V(), nanX), Line3d()); },
  };
  // clang-format on
  for (const auto& call : calls) {
    Transformation t = kSentinel;
    EXPECT_FALSE(call(t)) << &call - calls;
    EXPECT_TRUE(SameBits(t, kSentinel)) << &call - calls;
  }
  Transformation t = kSentinel;
  EXPECT_THROW(t.computeTransformationCSToCartesian({ex}, V()), ProgError);
  EXPECT_TRUE(SameBits(t, kSentinel));
}

TEST(FeatureRotations, AxisRotationsMatchAnIndependentConstruction) {
  // Positive angles turn against Eigen's right-handed AngleAxis: about Z, +Y goes onto +X.
  std::mt19937 rng(64);
  std::uniform_real_distribution<double> u(-1.0, 1.0), len(1e-3, 1e3);
  const double special[] = {0.0, kPi / 2, -kPi / 2, kPi, 1e-9};
  for (int trial = 0; trial < 300; ++trial) {
    const V p(20 * u(rng), 20 * u(rng), 20 * u(rng)), d = V(u(rng), u(rng), u(rng)) * len(rng);
    const double angle = trial % 2 ? kPi * u(rng) : special[trial / 2 % 5];
    const Eigen::Vector3d pe(p.x, p.y, p.z);
    const Eigen::AngleAxisd turn(-angle, Eigen::Vector3d(d.x, d.y, d.z).normalized());
    const Eigen::Affine3d about = Eigen::Translation3d(pe) * turn, through = about * Eigen::Translation3d(-pe);
    Transformation a, b, c;
    ASSERT_TRUE(a.computeTransformationAngle(p, d, angle) && b.computeTransformationRotateAxis(p, d, angle));
    ASSERT_TRUE(c.computeTransformationRotateAxis(Line3d(p, d), angle));
    EXPECT_LE((toEigen(a) - about.matrix()).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_LE((toEigen(b) - through.matrix()).cwiseAbs().maxCoeff(), kTightTol);
    EXPECT_TRUE(SameBits(b, c) && IsRigid(a) && IsRigid(b));
  }
  Transformation t;
  ASSERT_TRUE(t.computeTransformationAngle(V(1, 2, 3), V(0, 0, 5), kPi / 2));
  EXPECT_TRUE(SameVec(t.transformPoint(ey), V(2, 2, 3), 1e-15));
}

TEST(FeatureRotations, LineOntoLineCarriesPointAndDirection) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0), len(1e-3, 1e3);
  auto line = [&] { return Line3d(V(20 * u(rng), 20 * u(rng), 20 * u(rng)), V(u(rng), u(rng), u(rng)) * len(rng)); };
  for (int trial = 0; trial < 300; ++trial) {
    const Line3d s = line(), d = trial % 3 ? line() : Line3d(line().p, s.d * len(rng));  // every third parallel
    Transformation t, self;
    ASSERT_TRUE(t.computeLineToLineTransformation(s, d) && self.computeLineToLineTransformation(s, s));
    EXPECT_TRUE(IsRigid(t) && SameVec(t.transformPoint(s.p), d.p, 1e-12));
    EXPECT_TRUE(SameVec(t.rotateVector(s.d / s.d.length()), d.d / d.d.length(), 1e-13));
    EXPECT_TRUE(SameMatrix(self, Transformation::identity(), 1e-12));
    EXPECT_TRUE(trial % 3 || SameMatrix(t, translation(d.p - s.p), 1e-12));  // parallel: a pure translation
  }
  // The roll: the perpendicular of the source direction goes onto that of the
  // destination, (0, −1, 0) for the X axis. Smallest x, z, y, then the ties.
  const V perpendiculars[][2] = {{{1, 2, 3}, {0, 3, -2}}, {{3, 2, 1}, {2, -3, 0}}, {{2, 1, 3}, {3, 0, -2}},
                                 {{1, 1, 1}, {1, -1, 0}}, {{1, 1, 2}, {2, 0, -1}}, {{2, 1, 1}, {1, -2, 0}}};
  Transformation t;
  for (const auto& [v, perp] : perpendiculars) {
    ASSERT_TRUE(t.computeLineToLineTransformation(Line3d(V(), v), Line3d(V(), ex)));
    EXPECT_TRUE(SameVec(t.rotateVector(perp / perp.length()), -ey, 1e-15)) << v;
  }
  // Only the destination unusable: the frame of the source line stays.
  t = kSentinel;
  EXPECT_FALSE(t.computeLineToLineTransformation(Line3d(V(1, 2, 3), V(0, 0, 2)), Line3d(V(), nanX)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 2, 3)), V(), 1e-15) && SameVec(t.rotateVector(ez), ex, 1e-15));
}

TEST(ThreePoints, WorkedTriangles) {
  const Points right = points({{0, 0, 0}, {3, 0, 0}, {0, 4, 0}}), slanted = points({{0, 0, 0}, {2, 0, 0}, {1, 1, 0}});
  // The expected motion: the translation q0 after the rotation by `angles`.
  const struct { const Points& src; V q0; bool positiveX, leftSide; V q1, q2, angles; } rows[] = {
      {right, {10, 20, 0}, true, true, {13, 20, 0}, {10, 24, 0}, {}},
      {right, {10, 20, 0}, true, false, {13, 20, 0}, {10, 16, 0}, {kPi, 0, 0}},  // half a turn about q0 → q1
      {right, {10, 20, 0}, false, false, {7, 20, 0}, {10, 24, 0}, {0, kPi, 0}},
      {slanted, {5, 0, 0}, true, true, {7, 0, 0}, {6, 1, 0}, {}},
  };
  for (const auto& row : rows) {
    Points dst = points({row.q0, {99, row.q1.y, row.q1.z}, {99, 99, row.q2.z}, {1, 2, 3}});  // 99: ignored
    Transformation t;
    ASSERT_TRUE(t.computeTransformation3Points(row.src, dst, row.positiveX, row.leftSide));
    EXPECT_TRUE(SameVec(dst[1], row.q1, 0.0) && SameVec(dst[2], row.q2, 1e-14) && SameVec(dst[3], V(1, 2, 3), 0.0));
    EXPECT_TRUE(dst[1].id == 7 && dst[2].id == 7);
    EXPECT_TRUE(SameMatrix(t, Transformation(row.q0, row.angles, 1.0), 1e-14));
  }
}

TEST(ThreePoints, RandomTrianglesMapOntoTheirCompletion) {
  // The destination is chosen first, every third one with q1.x = q0.x and
  // every fifth one standing vertical (touching circles); the source is it
  // moved by G. With the true side the completion is the true triangle and
  // the result G⁻¹ (checked where a square root does not amplify rounding);
  // the other side gives the mirror image. Either way the source must map
  // onto the completed destination.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto turn = [](const V& a, const V& b, const V& c) { return (b - a).cross(c - a).z; };  // > 0: c left of a → b
  for (int trial = 0; trial < 400; ++trial) {
    const V q0(20 * u(rng), 20 * u(rng), 20 * u(rng));
    const V q1 = q0 + V(trial % 3 ? 10 * u(rng) : 0.0, 10 * u(rng), 10 * u(rng));
    const V q2 = q0 + (trial % 5 ? V(10 * u(rng), 10 * u(rng), 10 * u(rng)) : (q1 - q0) * u(rng) + ez * u(rng));
    const Transformation g = randomMotion(rng);
    const bool positiveX = q1.x > q0.x || (q1.x == q0.x && u(rng) < 0), trueSide = turn(q0, q1, q2) > 0;
    const bool leftSide = trial % 2 ? trueSide : !trueSide;
    const std::vector<V> src = {g.transformPoint(q0), g.transformPoint(q1), g.transformPoint(q2)};
    std::vector<V> dst = {q0, V(nanX.x, q1.y, q1.z), V(nanX.x, nanX.x, q2.z)};
    Transformation t;
    ASSERT_TRUE(t.computeTransformation3Points(src, dst, positiveX, leftSide)) << "trial " << trial;
    ASSERT_TRUE(IsRigid(t));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(SameVec(t.transformPoint(src[i]), dst[i], 1e-9)) << "trial " << trial;
    EXPECT_TRUE(dst[1].x == q0.x || (dst[1].x > q0.x) == positiveX);
    EXPECT_TRUE(trial % 5 == 0 || (turn(dst[0], dst[1], dst[2]) > 0) == leftSide);
    EXPECT_TRUE(!(trial % 2 && trial % 3 && trial % 5) || SameMatrix(t, g.inverse(), 1e-9)) << trial;
  }
}

TEST(ThreePoints, FailuresLeaveWhatTheyShould) {
  // The destination as given is q0 = (0, 0, 0), q1 by y and z, q2 by z; 99 marks what must stay unwritten.
  const Points right = points({{0, 0, 0}, {3, 0, 0}, {0, 4, 0}});
  const V axis(0.3, 0.7, 1.1);
  const double up = axis.length(), height = 3 * axis.x / up;
  const struct { Points src; V q1, q2; } rows[] = {  // q1, q2 after the call
      {right, {99, 5, 0}, {99, 99, 0}},  // q1 farther in y and z alone than p1 from p0
      {points({{0, 0, 0}, {0, 0, 5}, {3, 0, 0}}), {0, 0, 5}, {99, 99, 0}},  // q1 directly above q0
      // ... up to rounding (h² = 2.2e-16 puts q1.x at 1.5e-8), q2 at the height of p2 along p1 − p0: both
      // circles are one circle and nothing fixes the turn about the vertical
      {points({{0, 0, 0}, axis, {3, 0, 0}}), {0, 0, up}, {99, 99, height}},
      {right, {3, 0, 0}, {99, 99, 100}},                                   // the circles do not meet
      {points({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}), {1, 0, 0}, {2, 0, 0}},  // collinear source
      {points({far, far + V(0.1, 0.2, 0.3), far + V(0.3, 0.6, 0.9)}), {std::sqrt(0.14), 0, 0},
       {std::sqrt(1.26), 0, 0}},  // ... up to the rounding of coordinates far from (0, 0, 0)
  };
  for (const auto& row : rows) {
    const V q1In(99, row.q1.y, row.q1.z), q2In(99, 99, row.q2.z);
    Points dst = points({V(), q1In, q2In});
    std::vector<V> plainSrc(row.src.begin(), row.src.end()), plain = {V(), q1In, q2In};
    Transformation t = kSentinel, s = kSentinel;
    EXPECT_FALSE(t.computeTransformation3Points(row.src, dst, true, true));
    EXPECT_FALSE(s.computeTransformation3Points(plainSrc, plain, true, true));  // copies back as far as it got
    EXPECT_TRUE(SameBits(t, kSentinel) && SameBits(s, kSentinel));
    EXPECT_TRUE(SameVec(dst[1], row.q1, 1e-7) && SameVec(dst[2], row.q2, 1e-7)) << dst[1] << dst[2];
    EXPECT_TRUE(SameVec(plain[1], dst[1], 0.0) && SameVec(plain[2], dst[2], 0.0));
  }
  Points two = points({V(), ex}), three = points({V(), ex, ey});
  Transformation t = kSentinel;
  EXPECT_THROW(t.computeTransformation3Points(two, three, true, true), ProgError);
  EXPECT_THROW(t.computeTransformation3Points(three, two, true, true), ProgError);
  EXPECT_TRUE(SameBits(t, kSentinel) && SameVec(three[2], ey, 0.0));
}

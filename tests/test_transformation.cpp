// Conventions, angle orders, composition and the other operations of the
// transformation core.
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using Order = Transformation::RotationOrder_t;
using V = BaVec3d<double>;

namespace {

Transformation fromAngles(const V& a, Order o, const V& t = {}, double s = 1.0) {
  Transformation x;
  x.set(t, a, o, s);
  return x;
}

enum Axis { X, Y, Z };

double& component(V& v, Axis axis) { return axis == X ? v.x : axis == Y ? v.y : v.z; }

/// Each order with the axes of its middle and last angle. Each order's
/// rotation is checked against SciPy in python/tests/test_transformation.py.
struct OrderAxes { Order order; const char* name; Axis middle, last; };
const OrderAxes kOrders[] = {{Transformation::ORDER_XYZ, "XYZ", Y, Z}, {Transformation::ORDER_XZY, "XZY", Z, Y},
                             {Transformation::ORDER_YXZ, "YXZ", X, Z}, {Transformation::ORDER_YZX, "YZX", Z, X},
                             {Transformation::ORDER_ZXY, "ZXY", X, Y}, {Transformation::ORDER_ZYX, "ZYX", Y, X}};

}  // namespace

// --- Storage, indices and scale -------------------------------------------

// getMatrix(column, row); m33 is 1/scale.
TEST(TransformationConvention, TheFirstIndexIsTheColumnTheMatrixRowByRowAndTheGlExportColumnByColumn) {
  const Transformation t(V(7, 8, 9), V(0.1, 0.2, 0.3), 2.0);
  EXPECT_EQ(t.getMatrix(3, 0), 7.0);
  EXPECT_EQ(t.getMatrix(0, 3), 0.0);
  EXPECT_EQ(t.getMatrix(3, 3), 0.5);
  Eigen::Matrix4d byIndex;
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) byIndex(r, c) = t.getMatrix(c, r);
  double gl[16];
  t.getGLTransformation(gl);
  EXPECT_TRUE(SameElements(toEigen(t), byIndex, 0.0)) << "getMatrix(), row by row";
  EXPECT_TRUE(SameElements(Eigen::Map<const Eigen::Matrix4d>(gl), byIndex, 0.0)) << "GL, column by column";
}

// p' = s·(R·p + t): the scale also scales the translation, which is stored
// unscaled (m03 above).
TEST(TransformationConvention, PointsTurnShiftThenScaleVectorsOnlyTurnAndIdsStay) {
  const Transformation t(V(7, 8, 9), V(0.1, 0.2, 0.3), 2.0);
  const V v(1.5, -2.5, 0.25), r = t.rotateVector(v);
  EXPECT_TRUE(SameVec(t.transformPoint(v), (r + t.getTranslation()) * 2.0, kTightTol));
  EXPECT_EQ(t.transformPoint(BaPoint3d<double>(1, 2, 3, 42)).id, 42);
}

// No translation, and inverse() is its transpose, not its reciprocal.
TEST(TransformationConvention, PerAxisScaling) {
  const Transformation d(V(2, 3, 4));
  EXPECT_TRUE(d.transformPoint(V(1, 1, 1)) == V(2, 3, 4));
  EXPECT_TRUE(SameMatrix(d.inverse(), d, 0.0));
}

// --- Orders and angles ------------------------------------------------------

// Translation and scale with an identity rotation; no angles.
TEST(TransformationAngles, AnOrderOutside0To5TurnsNothing) {
  const V a(0.3, -0.2, 0.5);
  const Transformation outside = fromAngles(a, static_cast<Order>(7), V(1, 2, 3), 4.0);
  EXPECT_TRUE(SameMatrix(outside, Transformation(V(1, 2, 3), V(), 4.0), 0.0));
  EXPECT_EQ(Transformation(V(), a, 1.0).getAngles(static_cast<Order>(6)), V());
}

// getAngles() inverts it inside the principal ranges.
TEST(TransformationAngles, TheThreeArgumentSetIsYXZ) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (int i = 0; i < 200; ++i) {
    const V b(angle(rng) / 2, angle(rng), angle(rng)), t(1, 2, 3);
    ASSERT_TRUE(SameMatrix(Transformation(t, b, 0.5), fromAngles(b, Transformation::ORDER_YXZ, t, 0.5), kTightTol));
    ASSERT_TRUE(SameVec(Transformation(t, b, 0.5).getAngles(), b, kTightTol)) << b;
  }
}

TEST(TransformationAngles, RotationsCarryingRoundingRebuildAtNearAndAwayFromTheLockInAllOrders) {
  // d is a rotation composed with a and a⁻¹: the rotation set from the angles
  // up to rounding, as after any composition. At the lock its test element
  // lands on 1, just below or just above it, and the neighbours of the
  // element are rounding noise. Within 1.5e-8 of the lock the element rounds
  // to ±1 while its neighbours (cos b) are not noise: no lock there. Angles
  // well inside the principal ranges come back.
  const struct { const char* name; double middle; bool anglesComeBack; } rows[] = {
      {"at +lock", kPi / 2, false},           {"at -lock", -kPi / 2, false},
      {"1e-12 below +lock", kPi / 2 - 1e-12, false}, {"1e-10 above -lock", -kPi / 2 + 1e-10, false},
      {"1e-8 below +lock", kPi / 2 - 1e-8, false},   {"1e-8 above -lock", -kPi / 2 + 1e-8, false},
      {"2e-7 below +lock", kPi / 2 - 2e-7, false},   {"3e-6 above -lock", -kPi / 2 + 3e-6, false},
      {"1.2", 1.2, true},                     {"-0.3", -0.3, true}};
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> angle(-kPi + 1e-6, kPi - 1e-6);
  for (const OrderAxes& o : kOrders)
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string("order ") + o.name + ", middle angle " + row.name);
      for (int i = 0; i < 500; ++i) {
        V l(angle(rng), angle(rng), angle(rng));
        component(l, o.middle) = row.middle;
        Transformation d = fromAngles(l, o.order);
        const Transformation a(V(), V(angle(rng), angle(rng), angle(rng)), 1.0);
        d.append(a);
        d.append(a.inverse());
        ASSERT_TRUE(SameMatrix(fromAngles(d.getAngles(o.order), o.order), d, kTightTol)) << "angles " << l;
        if (row.anglesComeBack) {
          ASSERT_TRUE(SameVec(d.getAngles(o.order), l, kTightTol)) << "angles " << l;
        }
      }
    }
}

TEST(TransformationAngles, ExactGimbalLockPutsTheTurnIntoTheFirstAngle) {
  // A middle angle of exactly ±π/2 makes the test element exactly ±1 (for
  // ORDER_XYZ m20 = sin y): it comes back exactly, the angle acting last is
  // 0 and the first one takes the combined turn, so the three rebuild.
  for (const OrderAxes& o : kOrders)
    for (double sign : {1.0, -1.0}) {
      SCOPED_TRACE(std::string("order ") + o.name + (sign > 0 ? " at +π/2" : " at -π/2"));
      V l(0.3, 0.25, 0.2);
      component(l, o.middle) = sign * kPi / 2;
      V a = fromAngles(l, o.order).getAngles(o.order);
      EXPECT_EQ(component(a, o.middle), sign * kPi / 2);
      EXPECT_EQ(component(a, o.last), 0.0);
      EXPECT_TRUE(SameMatrix(fromAngles(a, o.order), fromAngles(l, o.order), kTightTol));
    }
}

// --- Composition, inverse, interpolation ----------------------------------

// Prepend, and one pair of each, against numpy's matrix products in
// python/tests/test_transformation.py; here scales of either sign.
TEST(TransformationCompose, AppendActsAfterAlsoOnItselfAndInverseUndoes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-3, 3);
  auto random = [&] {
    return Transformation(V(u(rng), u(rng), u(rng)) * 100.0, V(u(rng), u(rng), u(rng)), 0.5 + u(rng) * u(rng) / 3);
  };
  const V p(3.25, -7, 11);
  for (int i = 0; i < 100; ++i) {
    const Transformation m1 = random(), m2 = random();
    Transformation a = m1, twice = m1, undone = m1;
    a.append(m2);
    twice.append(twice);  // the argument may be the object itself
    undone.append(m1.inverse());
    ASSERT_TRUE(SameVec(a.transformPoint(p), m2.transformPoint(m1.transformPoint(p)), 1e-10)) << i;
    ASSERT_TRUE(SameVec(twice.transformPoint(p), m1.transformPoint(m1.transformPoint(p)), 1e-10)) << i;
    ASSERT_NEAR(a.getScale(), m1.getScale() * m2.getScale(), kTightTol);  // the scales multiply
    ASSERT_TRUE(SameMatrix(undone, Transformation::identity(), 1e-12)) << i;
  }
}

// Element by element (m33, 1/scale, too) against numpy in
// python/tests/test_transformation.py; t is not clamped.
TEST(TransformationCompose, LerpExtrapolates) {
  const Transformation a(V(0, 0, 0), V(0.1, 0.2, 0.3), 1.0), b(V(10, 20, 30), V(-0.5, 0.4, 1.0), 4.0);
  EXPECT_EQ(Transformation::lerp(a, 2.0, b).getMatrix(3, 0), 20.0);
}

// --- Angles, error vectors and boxes through a transformation ---------------

// transformAngles gives the angles of R_A·Rᵀ (R, then it, is R_A), in which
// translation and scale play no part; error vectors are rotated and scaled,
// never translated.
TEST(TransformationApply, AnglesGiveTheTurnThatFollowsTheRotationErrorVectorsAreNeverTranslated) {
  const Transformation m(V(100, 200, 300), V(-0.1, 0.25, 0.4), 2.0);
  const V a(0.3, -0.2, 0.5), e(0.01, -0.02, 0.005), p(1, 2, 3);
  Transformation r = m.getRotationMatrix();
  r.append(Transformation(V(), m.transformAngles(a), 1.0));
  EXPECT_TRUE(SameMatrix(r, Transformation(V(), a, 1.0), kTightTol));
  EXPECT_TRUE(SameVec(m.transformError(e), m.transformPoint(p + e) - m.transformPoint(p), 1e-12));
}

// The axis-aligned box of the eight transformed corners.
TEST(TransformationApply, BoxIsTheBoxOfTheCorners) {
  const Box3d turned = Transformation(V(), V(0, 0, kPi / 4), 1.0).transformBox(Box3d(V(-1, -1, 0), V(1, 1, 1)));
  EXPECT_TRUE(SameVec(turned.minCorner, V(-std::sqrt(2.0), -std::sqrt(2.0), 0), kTightTol));
  EXPECT_TRUE(SameVec(turned.maxCorner, V(std::sqrt(2.0), std::sqrt(2.0), 1), kTightTol));
}

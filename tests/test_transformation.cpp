// Conventions, angle orders, composition and the other operations of the
// transformation core.
#include <Eigen/Dense>
#include <cfloat>

#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using Order = Transformation::RotationOrder_t;

namespace {

const Order kAllOrders[6] = {Transformation::ORDER_XYZ, Transformation::ORDER_XZY, Transformation::ORDER_YXZ,
                             Transformation::ORDER_YZX, Transformation::ORDER_ZXY, Transformation::ORDER_ZYX};

Transformation fromAngles(const BaVec3d<double>& a, Order o, const BaVec3d<double>& t = {}, double s = 1.0) {
  Transformation x;
  x.set(t, a, o, s);
  return x;
}

Eigen::Matrix4d toEigen(const Transformation& t) {
  Eigen::Matrix4d e;
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) e(r, c) = t.getMatrix(c, r);
  return e;
}

// Elementary rotations written out independently of the library.
Eigen::Matrix3d mx(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return (Eigen::Matrix3d() << 1, 0, 0, 0, c, s, 0, -s, c).finished();
}
Eigen::Matrix3d my(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return (Eigen::Matrix3d() << c, 0, -s, 0, 1, 0, s, 0, c).finished();
}
Eigen::Matrix3d mz(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return (Eigen::Matrix3d() << c, s, 0, -s, c, 0, 0, 0, 1).finished();
}

// The product for each order: the first letter acts first, so it stands rightmost.
Eigen::Matrix3d expectedRotation(Order o, const BaVec3d<double>& a) {
  const Eigen::Matrix3d X = mx(a.x), Y = my(a.y), Z = mz(a.z);
  switch (o) {
    case Transformation::ORDER_XYZ: return Z * Y * X;
    case Transformation::ORDER_XZY: return Y * Z * X;
    case Transformation::ORDER_YXZ: return Z * X * Y;
    case Transformation::ORDER_YZX: return X * Z * Y;
    case Transformation::ORDER_ZXY: return Y * X * Z;
    case Transformation::ORDER_ZYX: return X * Y * Z;
  }
  return Eigen::Matrix3d::Identity();
}

// Which angle of an order is the middle one.
double& middle(BaVec3d<double>& a, Order o) {
  switch (o) {
    case Transformation::ORDER_XYZ: case Transformation::ORDER_ZYX: return a.y;
    case Transformation::ORDER_XZY: case Transformation::ORDER_YZX: return a.z;
    default: return a.x;
  }
}

}  // namespace

// --- Storage, indices and scale -------------------------------------------

TEST(TransformationConvention, GetMatrixTakesColumnFirst) {
  const Transformation t(BaVec3d<double>(7, 8, 9), BaVec3d<double>(0.1, 0.2, 0.3), 2.0);
  EXPECT_EQ(t.getMatrix(3, 0), 7.0);  // x translation m03
  EXPECT_EQ(t.getMatrix(3, 2), 9.0);
  EXPECT_EQ(t.getMatrix(0, 3), 0.0);  // m30
  EXPECT_EQ(t.getMatrix(3, 3), 0.5);  // m33 = 1/scale
  EXPECT_DOUBLE_EQ(t.getMatrix(0, 1), std::sin(0.1) * std::sin(0.2) * std::cos(0.3) - std::cos(0.2) * std::sin(0.3));  // m10
  const BaMatrix4x4<double> rows = t.getMatrix();
  double gl[16];
  t.getGLTransformation(gl);
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) {
      EXPECT_EQ(rows(r, c), t.getMatrix(c, r));
      EXPECT_EQ(rows.v[4 * r + c], t.getMatrix(c, r));
      EXPECT_EQ(gl[4 * c + r], t.getMatrix(c, r));
    }
  EXPECT_EQ(gl[12], 7.0);
  EXPECT_EQ(gl[15], 0.5);
}

TEST(TransformationConvention, ScaleAppliesAfterTranslationAndM33IsItsReciprocal) {
  const BaVec3d<double> t(1, -2, 3), p(4, 5, -6);
  const Transformation x(t, BaVec3d<double>(), 2.0);
  EXPECT_TRUE(SameVec(x.transformPoint(p), (p + t) * 2.0, 0.0));
  EXPECT_TRUE(SameVec(x.transformPoint(BaVec3d<double>()), t * 2.0, 0.0));  // s·t, not t
  EXPECT_EQ(x.getTranslation(), t);                                        // stored, not scaled
  EXPECT_EQ(x.getScale(), 2.0);
  EXPECT_EQ(x.getMatrix(3, 3), 0.5);
  EXPECT_EQ(x.transformW(p), 1.0);
  const Transformation rot = x.getRotationMatrix();
  EXPECT_EQ(rot.getMatrix(3, 3), 1.0);
  EXPECT_EQ(rot.getTranslation(), BaVec3d<double>());
}

TEST(TransformationConvention, PerAxisScalingIsNotATranslationAndIsNotInverted) {
  const Transformation d(BaVec3d<double>(2, 3, 4));
  EXPECT_EQ(d.transformPoint(BaVec3d<double>(1, 1, 1)), BaVec3d<double>(2, 3, 4));
  EXPECT_EQ(d.getTranslation(), BaVec3d<double>());
  EXPECT_TRUE(SameMatrix(d.inverse(), d, 0.0));  // transpose of a diagonal, not its reciprocal
}

TEST(TransformationConvention, PositiveAnglesTurnInThePassiveSense) {
  const BaVec3d<double> ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1);
  const Transformation aboutX(BaVec3d<double>(), BaVec3d<double>(kPi / 2, 0, 0), 1.0);
  EXPECT_TRUE(SameVec(aboutX.transformPoint(ey), -ez, kTightTol));
  EXPECT_TRUE(SameVec(aboutX.transformPoint(ez), ey, kTightTol));
  const Transformation aboutY(BaVec3d<double>(), BaVec3d<double>(0, kPi / 2, 0), 1.0);
  EXPECT_TRUE(SameVec(aboutY.transformPoint(ex), ez, kTightTol));
  EXPECT_TRUE(SameVec(aboutY.transformPoint(ez), -ex, kTightTol));
  const Transformation aboutZ(BaVec3d<double>(), BaVec3d<double>(0, 0, kPi / 2), 1.0);
  EXPECT_TRUE(SameVec(aboutZ.transformPoint(ex), -ey, kTightTol));
  EXPECT_TRUE(SameVec(aboutZ.transformPoint(ey), ex, kTightTol));
}

TEST(TransformationConvention, OverloadsForVectorsFloatsAndPoints) {
  const Transformation t(BaVec3d<double>(10, 20, 30), BaVec3d<double>(0.3, -0.2, 0.5), 2.0);
  const BaVec3d<double> v(1.5, -2.5, 0.25);
  // rotateVector neither translates nor scales.
  const BaVec3d<double> r = t.rotateVector(v);
  EXPECT_NEAR(r.length(), v.length(), kTightTol);
  EXPECT_TRUE(SameVec(t.transformPoint(v), (r + t.getTranslation()) * 2.0, 1e-12));
  // Float overloads: computed in double, rounded once.
  const BaVec3d<float> vf(1.5f, -2.5f, 0.25f);
  const BaVec3d<double> pd = t.transformPoint(v);
  const BaVec3d<float> pf = t.transformPoint(vf);
  EXPECT_EQ(pf.x, static_cast<float>(pd.x));
  EXPECT_EQ(pf.z, static_cast<float>(pd.z));
  EXPECT_EQ(t.rotateVector(vf).y, static_cast<float>(r.y));
  // Points keep their identifier.
  const BaPoint3d<double> p(1, 2, 3, 42);
  const BaPoint3d<double> q = t.transformPoint(p);
  EXPECT_EQ(q.id, 42);
  EXPECT_EQ(q.x, t.transformX(p));
}

TEST(TransformationConvention, IdentityMapsEverythingToItself) {
  const Transformation id = Transformation::identity();
  const BaVec3d<double> p(-3.5, 8, 1e6);
  EXPECT_EQ(id.transformPoint(p), p);
  EXPECT_EQ(id.rotateVector(p), p);
  EXPECT_EQ(id.getScale(), 1.0);
  for (Order o : kAllOrders) EXPECT_EQ(id.getAngles(o), BaVec3d<double>()) << o;
  EXPECT_EQ(id.getAngles(), BaVec3d<double>());
}

// --- Orders and angles ------------------------------------------------------

TEST(TransformationAngles, EachOrderIsTheProductOfItsElementaryRotations) {
  const BaVec3d<double> a(0.3, -0.2, 0.5);
  for (Order o : kAllOrders) {
    const Eigen::Matrix4d got = toEigen(fromAngles(a, o));
    EXPECT_LT((got.topLeftCorner<3, 3>() - expectedRotation(o, a)).cwiseAbs().maxCoeff(), kTightTol) << o;
  }
}

TEST(TransformationAngles, ThreeArgumentSetIsOrderYXZ) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (int i = 0; i < 200; ++i) {
    const BaVec3d<double> a(angle(rng), angle(rng), angle(rng));
    const Transformation closed(BaVec3d<double>(1, 2, 3), a, 0.5);
    ASSERT_TRUE(SameMatrix(closed, fromAngles(a, Transformation::ORDER_YXZ, {1, 2, 3}, 0.5), kTightTol)) << i;
  }
  // getAngles() without an order inverts it inside the principal ranges.
  const BaVec3d<double> a(0.3, -0.2, 0.5);
  EXPECT_TRUE(SameVec(Transformation(BaVec3d<double>(), a, 1.0).getAngles(), a, kTightTol));
}

TEST(TransformationAngles, OrderOutsideRangeGivesIdentityRotationAndZeroAngles) {
  const BaVec3d<double> t(1, 2, 3);
  const Transformation x = fromAngles(BaVec3d<double>(0.4, 0.5, 0.6), static_cast<Order>(7), t, 4.0);
  Transformation expected(t, BaVec3d<double>(), 4.0);
  EXPECT_TRUE(SameMatrix(x, expected, 0.0));
  const Transformation r(BaVec3d<double>(), BaVec3d<double>(0.4, 0.5, 0.6), 1.0);
  EXPECT_EQ(r.getAngles(static_cast<Order>(6)), BaVec3d<double>());
}

class TransformationAnglesRoundTrip : public ::testing::TestWithParam<Order> {};

TEST_P(TransformationAnglesRoundTrip, AnglesInPrincipalRangesComeBack) {
  const Order o = GetParam();
  std::mt19937 rng(5 + static_cast<unsigned>(o));
  std::uniform_real_distribution<double> outer(-kPi + 1e-6, kPi - 1e-6);
  std::uniform_real_distribution<double> inner(-1.45, 1.45);  // away from ±π/2
  for (int i = 0; i < 5000; ++i) {
    BaVec3d<double> a(outer(rng), outer(rng), outer(rng));
    middle(a, o) = inner(rng);
    const Transformation t = fromAngles(a, o, {3, 4, 5}, 1.25);
    const BaVec3d<double> back = t.getAngles(o);
    ASSERT_TRUE(SameVec(back, a, 1e-12)) << "trial " << i;
    ASSERT_TRUE(SameMatrix(fromAngles(back, o, {3, 4, 5}, 1.25), t, kTightTol)) << "trial " << i;
  }
}

TEST_P(TransformationAnglesRoundTrip, RotationsCarryingRoundingRebuildAtNearAndAwayFromTheLock) {
  // d is a rotation composed with a and a⁻¹: the rotation set from the angles
  // up to rounding, as after any composition. At the lock its test element
  // lands on 1, just below or just above it, and the neighbours of the
  // element are rounding noise.
  const Order o = GetParam();
  std::mt19937 rng(17 + static_cast<unsigned>(o));
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  const double middles[] = {kPi / 2, -kPi / 2, kPi / 2 - 2e-7, -kPi / 2 + 3e-6, 1.2, -0.3};
  for (int i = 0; i < 6000; ++i) {
    BaVec3d<double> l(angle(rng), angle(rng), angle(rng));
    middle(l, o) = middles[i % 6];
    Transformation d = fromAngles(l, o);
    const Transformation a(BaVec3d<double>(), BaVec3d<double>(angle(rng), angle(rng), angle(rng)), 1.0);
    d.append(a);
    d.append(a.inverse());
    ASSERT_TRUE(SameMatrix(fromAngles(d.getAngles(o), o), d, kTightTol)) << "trial " << i << " angles " << l;
  }
}

INSTANTIATE_TEST_SUITE_P(AllSixOrders, TransformationAnglesRoundTrip, ::testing::ValuesIn(kAllOrders));

TEST(TransformationAngles, ExactGimbalLockPutsTheTurnIntoTheFirstAngle) {
  const Transformation up = fromAngles(BaVec3d<double>(0.3, kPi / 2, 0.2), Transformation::ORDER_XYZ);
  ASSERT_EQ(up.getMatrix(0, 2), 1.0);  // m20 is exactly 1: first gimbal-lock case
  const BaVec3d<double> a = up.getAngles(Transformation::ORDER_XYZ);
  EXPECT_NEAR(a.x, 0.5, kTightTol);
  EXPECT_EQ(a.y, kPi / 2);
  EXPECT_EQ(a.z, 0.0);

  const Transformation down = fromAngles(BaVec3d<double>(0.3, -kPi / 2, 0.2), Transformation::ORDER_XYZ);
  ASSERT_EQ(down.getMatrix(0, 2), -1.0);
  const BaVec3d<double> b = down.getAngles(Transformation::ORDER_XYZ);
  EXPECT_NEAR(b.x, 0.3 - 0.2, kTightTol);
  EXPECT_EQ(b.y, -kPi / 2);
  EXPECT_EQ(b.z, 0.0);
}

TEST(TransformationAngles, JustBelowOneTakesTheGeneralCase) {
  // A turn about Y whose sine is the largest double below 1: no tolerance may
  // push it into the gimbal-lock case.
  const double s = std::nextafter(1.0, 0.0), c = std::sqrt((1.0 - s) * (1.0 + s));
  const double m[4][4] = {{c, 0, -s, 0}, {0, 1, 0, 0}, {s, 0, c, 0}, {0, 0, 0, 1}};
  const BaVec3d<double> a = Transformation(m).getAngles(Transformation::ORDER_XYZ);
  EXPECT_LT(a.y, kPi / 2);
  EXPECT_GT(a.y, kPi / 2 - 1e-7);
  EXPECT_EQ(a.x, 0.0);
  EXPECT_EQ(a.z, 0.0);
}

// --- Composition, inverse, interpolation ----------------------------------

TEST(TransformationCompose, AppendActsAfterPrependActsBefore) {
  const Transformation m1(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, 0.7, -0.3), 1.5);
  const Transformation m2(BaVec3d<double>(-4, 0.5, 9), BaVec3d<double>(-0.6, 0.2, 1.1), 0.8);
  const BaVec3d<double> p(3.25, -7, 11);
  Transformation a = m1;
  a.append(m2);
  EXPECT_TRUE(SameVec(a.transformPoint(p), m2.transformPoint(m1.transformPoint(p)), 1e-12));
  EXPECT_NEAR(a.getScale(), 1.5 * 0.8, kTightTol);
  Transformation b = m1;
  b.prepend(m2);
  EXPECT_TRUE(SameVec(b.transformPoint(p), m1.transformPoint(m2.transformPoint(p)), 1e-12));
  // The argument may be the object itself.
  Transformation twice = m1, twiceBefore = m1;
  twice.append(twice);
  twiceBefore.prepend(twiceBefore);
  EXPECT_TRUE(SameVec(twice.transformPoint(p), m1.transformPoint(m1.transformPoint(p)), 1e-12));
  EXPECT_TRUE(SameMatrix(twice, twiceBefore, 1e-12));
}

TEST(TransformationCompose, InverseUndoesWithScale) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-3, 3);
  for (int i = 0; i < 100; ++i) {
    const Transformation m(BaVec3d<double>(u(rng) * 100, u(rng) * 100, u(rng) * 100),
                           BaVec3d<double>(u(rng), u(rng), u(rng)), 0.5 + std::fabs(u(rng)));
    const Transformation inv = m.inverse();
    // The same matrix as a general 4x4 inverse (m33 carries 1/scale on both sides).
    EXPECT_LT((toEigen(inv) - toEigen(m).inverse()).cwiseAbs().maxCoeff(), 1e-12);
    Transformation a = m, b = m;
    a.append(inv);
    b.prepend(inv);
    ASSERT_TRUE(SameMatrix(a, Transformation::identity(), 1e-12)) << i;
    ASSERT_TRUE(SameMatrix(b, Transformation::identity(), 1e-12)) << i;
  }
}

TEST(TransformationCompose, LerpIsElementWiseOnReciprocalScales) {
  const Transformation a(BaVec3d<double>(0, 0, 0), BaVec3d<double>(0.1, 0.2, 0.3), 1.0);
  const Transformation b(BaVec3d<double>(10, 20, 30), BaVec3d<double>(-0.5, 0.4, 1.0), 4.0);
  EXPECT_TRUE(SameMatrix(Transformation::lerp(a, 0.0, b), a, 0.0));
  EXPECT_TRUE(SameMatrix(Transformation::lerp(a, 1.0, b), b, 0.0));
  const Transformation mid = Transformation::lerp(a, 0.5, b);
  EXPECT_EQ(mid.getMatrix(3, 3), (1.0 + 0.25) / 2);  // the m33 average, not the scale average
  EXPECT_EQ(mid.getTranslation(), BaVec3d<double>(5, 10, 15));
  EXPECT_EQ(Transformation::lerp(a, 2.0, b).getMatrix(3, 0), 20.0);  // t is not clamped
}

// --- Angles, error vectors and boxes through a transformation ---------------

TEST(TransformationApply, TransformAnglesGivesTheRelativeRotation) {
  const BaVec3d<double> a(0.3, -0.2, 0.5);
  EXPECT_TRUE(SameVec(Transformation::identity().transformAngles(a), a, kTightTol));
  const Transformation m(BaVec3d<double>(5, 6, 7), BaVec3d<double>(-0.1, 0.25, 0.4), 3.0);
  const BaVec3d<double> got = m.transformAngles(a);
  // R_A·Rᵀ, with translation and scale playing no part.
  const Eigen::Matrix3d rA = toEigen(Transformation(BaVec3d<double>(), a, 1.0)).topLeftCorner<3, 3>();
  const Eigen::Matrix3d r = toEigen(m).topLeftCorner<3, 3>();
  const Eigen::Matrix3d rGot = toEigen(Transformation(BaVec3d<double>(), got, 1.0)).topLeftCorner<3, 3>();
  EXPECT_LT((rGot - rA * r.transpose()).cwiseAbs().maxCoeff(), kTightTol);
}

TEST(TransformationApply, ErrorVectorsAreRotatedAndScaledNeverTranslated) {
  const BaVec3d<double> e(0.01, -0.02, 0.005);
  EXPECT_EQ(Transformation(BaVec3d<double>(100, 200, 300), BaVec3d<double>(), 1.0).transformError(e), e);
  const Transformation m(BaVec3d<double>(100, 200, 300), BaVec3d<double>(0.2, 0.3, -0.4), 2.0);
  EXPECT_TRUE(SameVec(m.transformError(e), m.rotateVector(e) * 2.0, 1e-15));
  const BaVec3d<double> p(1, 2, 3);
  EXPECT_TRUE(SameVec(m.transformError(e), m.transformPoint(p + e) - m.transformPoint(p), 1e-12));
}

TEST(TransformationApply, BoxEnclosesTheTransformedCorners) {
  const Box3d box(BaVec3d<double>(-1, -1, 0), BaVec3d<double>(1, 1, 1));
  const Box3d same = Transformation::identity().transformBox(box);
  EXPECT_EQ(same.minCorner, box.minCorner);
  EXPECT_EQ(same.maxCorner, box.maxCorner);
  const Box3d turned = Transformation(BaVec3d<double>(), BaVec3d<double>(0, 0, kPi / 4), 1.0).transformBox(box);
  EXPECT_TRUE(SameVec(turned.minCorner, BaVec3d<double>(-std::sqrt(2.0), -std::sqrt(2.0), 0), kTightTol));
  EXPECT_TRUE(SameVec(turned.maxCorner, BaVec3d<double>(std::sqrt(2.0), std::sqrt(2.0), 1), kTightTol));
  // Scale and translation apply to the corners as to any point.
  const Box3d moved = Transformation(BaVec3d<double>(1, 0, 0), BaVec3d<double>(), 2.0).transformBox(box);
  EXPECT_EQ(moved.minCorner, BaVec3d<double>(0, -2, 0));
  EXPECT_EQ(moved.maxCorner, BaVec3d<double>(4, 2, 2));
}

TEST(SharedTypes, VectorNormalisationRefusesTinyVectors) {
  BaVec3d<double> v(3, 0, 4);
  EXPECT_TRUE(v.normalize(10.0));
  EXPECT_EQ(v, BaVec3d<double>(6, 0, 8));
  BaVec3d<double> tiny(1e-51, 0, 0);
  EXPECT_FALSE(tiny.normalize());
  EXPECT_EQ(tiny.x, 1e-51);  // unchanged
  BaVec3d<double> justAbove(2e-50, 0, 0);
  EXPECT_TRUE(justAbove.normalize());
  EXPECT_EQ(justAbove.x, 1.0);
  EXPECT_EQ(BaVec3d<double>(1, 0, 0).cross(BaVec3d<double>(0, 1, 0)), BaVec3d<double>(0, 0, 1));
  EXPECT_EQ(BaPoint3d<double>(1, 2, 3).id, -1);
}

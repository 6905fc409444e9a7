// Euler conventions, rotation vectors and right-hand quaternions against
// Eigen's AngleAxis and Quaternion (right-hand, active, as SciPy).
#include "math_quaternion.h"
#include "math_rotation_convention.h"
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using V = BaVec3d<double>;
using Conv = RotationConvention;

namespace {

std::vector<Conv> allConventions() {
  std::vector<Conv> out;
  for (const char* name : {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX", "XYX", "XZX", "YXY", "YZY", "ZXZ", "ZYZ"})
    for (bool lower : {false, true}) out.emplace_back(lower ? QString::fromLatin1(name).toLower() : name);
  return out;
}

Eigen::Matrix3d block(const Transformation& t) { return toEigen(t).topLeftCorner<3, 3>(); }

/// The three angles in the canonical ranges of the convention.
::testing::AssertionResult Canonical(const Conv& c, const EulerAngles& a) {
  const bool middleOk = c.isProperEuler() ? a.second >= 0.0 && a.second <= kPi
                                          : a.second >= -kPi / 2 && a.second <= kPi / 2;
  if (!middleOk) return ::testing::AssertionFailure() << "second angle " << a.second;
  for (double outer : {a.first, a.third})
    if (!(outer > -kPi && outer <= kPi)) return ::testing::AssertionFailure() << "outer angle " << outer;
  return ::testing::AssertionSuccess();
}

}  // namespace

// Of the 216 names of three letters x, y, z in either case, and of names of
// other lengths or letters; a refused name leaves the convention as it was,
// and the constructor refuses it too.
TEST(RotationConvention, ParsesExactlySciPysTwentyFourNamesAndTheConstructorsRefuseTheRest) {
  const std::string where = "|Zem::RotationConvention::RotationConvention|math_rotation_convention";
  QStringList names = {"", "xy", "xyzx", "abc", "x y"};
  const QString letters = "xyzXYZ";
  for (const QChar first : letters)
    for (const QChar second : letters)
      for (const QChar third : letters) names << QString(first) + second + third;
  int accepted = 0;
  for (const QString& name : names) {
    SCOPED_TRACE(name.toStdString());
    Conv c(Conv::AXIS_Z, Conv::AXIS_X, Conv::AXIS_Z, true);
    if (!Conv::parse(name, &c)) {
      EXPECT_EQ(c.getName(), "ZXZ");
      EXPECT_EQ(progErrorOf([&] { Conv{name}; }), "Not a rotation convention!" + where);
      continue;
    }
    ++accepted;
    EXPECT_EQ(c.getName(), name);
    EXPECT_EQ(c.isIntrinsic(), name[0].isUpper());
  }
  EXPECT_EQ(accepted, 24);
  EXPECT_EQ(progErrorOf([] { Conv(Conv::AXIS_X, Conv::AXIS_Y, Conv::AXIS_Y, true); }),
            "Consecutive axes must differ!" + where);
}

// That the angles rebuild the rotation, unflagged, is checked against SciPy
// in python/tests/test_conventions.py; SciPy's angles agree only modulo 2π.
TEST(RotationConvention, GetEulerGivesEveryRotationInCanonicalRanges) {
  for (const Conv& c : allConventions())
    for (int i = 0; i < 2000; ++i) {
      SCOPED_TRACE(c.getName().toStdString());
      const Eigen::Quaterniond q = Eigen::Quaterniond::UnitRandom();
      Transformation t;
      t.setRightHandQuaternion(V(), Quaternion(q.x(), q.y(), q.z(), q.w()), 1.0);
      ASSERT_TRUE(Canonical(c, t.getEuler(c)));
    }
}

// setEuler, and getEuler's rebuild and lock flag, are compared with SciPy in
// python/tests/test_conventions.py; here the angles themselves.
TEST(RotationConvention, NextToTheLockTheMiddleAngleComesBackAndOnlyTheLockIsFlagged) {
  // The middle angle at its limit (±π/2, or 0 and π) and 1e-12 to 1e-6 rad
  // inside it; the flag must be set exactly at the limit, with the third
  // angle 0.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> outer(-kPi, kPi);
  for (const Conv& c : allConventions())
    for (double limit : c.isProperEuler() ? std::vector<double>{0.0, kPi} : std::vector<double>{-kPi / 2, kPi / 2})
      for (double offset : {0.0, 1e-12, 3e-11, 1e-9, 2e-8, 1e-7, 1e-6}) {
        SCOPED_TRACE(testing::Message() << c.getName().toStdString() << " limit " << limit << " offset " << offset);
        const double inward = limit > 0.0 ? -offset : offset;
        const EulerAngles a(outer(rng), limit + inward, outer(rng));
        Transformation t;
        t.setEuler(V(), c, a, 1.0);
        const EulerAngles back = t.getEuler(c);
        EXPECT_EQ(back.gimbalLock, offset == 0.0);
        EXPECT_TRUE(Canonical(c, back));
        if (offset == 0.0) {
          EXPECT_EQ(back.third, 0.0);
          EXPECT_EQ(back.second, limit);
        } else {
          EXPECT_NEAR(back.second, a.second, 1e-15);
        }
      }
}

// The table of math_rotation_convention.h; that each order's rotation is its
// convention's with the angles negated is checked against SciPy in
// python/tests/test_conventions.py (the README's table).
TEST(RotationConvention, LibraryOrdersNameTheirExtrinsicConventions) {
  const struct { Transformation::RotationOrder_t order; const char* convention; } table[] = {
      {Transformation::ORDER_XYZ, "xyz"}, {Transformation::ORDER_XZY, "xzy"}, {Transformation::ORDER_YXZ, "yxz"},
      {Transformation::ORDER_YZX, "yzx"}, {Transformation::ORDER_ZXY, "zxy"}, {Transformation::ORDER_ZYX, "zyx"}};
  for (const auto& row : table) EXPECT_EQ(Conv(row.order).getName(), QString(row.convention));
}

// Near zero and near a half turn against SciPy in python/tests/test_conventions.py;
// here translation and scale are kept and no turn comes back as (0, 0, 0).
TEST(RotationVector, KeepsTranslationAndScaleAndAgreesWithEigenAngleAxis) {
  const Eigen::Vector3d axis = Eigen::Vector3d(1, -2, 2) / 3;
  const V unit(axis.x(), axis.y(), axis.z());
  for (double angle : {0.0, 1e-300, 1.0, kPi}) {
    SCOPED_TRACE(testing::Message() << "angle " << angle);
    Transformation t;
    t.setRotationVector(V(1, 2, 3), unit * angle, 2.0);
    EXPECT_TRUE(SameElements(block(t), Eigen::AngleAxisd(angle, axis).toRotationMatrix(), kTightTol));
    EXPECT_EQ(t.getTranslation(), V(1, 2, 3));
    EXPECT_EQ(t.getScale(), 2.0);
    V back = t.getRotationVector();
    if (angle == kPi && back.dot(unit) < 0.0) back = -back;  // v and −v: one half turn
    EXPECT_TRUE(SameVec(back, unit * angle, kTightTol));
  }
}

TEST(RightHandQuaternion, IsEigensUpToSignAndTheConjugateOfTheLibrarysOwn) {
  for (int i = 0; i < 2000; ++i) {
    const Eigen::Quaterniond e = Eigen::Quaterniond::UnitRandom();
    const Quaternion eigen(e.x(), e.y(), e.z(), e.w());
    Transformation t;
    ASSERT_TRUE(t.setRightHandQuaternion(V(), eigen * 2.0, 1.0));
    ASSERT_TRUE(SameElements(block(t), e.toRotationMatrix(), kTightTol));
    const Quaternion q = t.getRightHandQuaternion();
    const double largest = std::max({std::fabs(q.x), std::fabs(q.y), std::fabs(q.z), std::fabs(q.w)});
    ASSERT_TRUE(q == eigen * (q.dot(eigen) < 0.0 ? -1.0 : 1.0)) << i;
    ASSERT_EQ(std::max({q.x, q.y, q.z, q.w}), largest) << "the largest component is negative";
    const Quaternion own(t);
    ASSERT_TRUE(own * (own.dot(q.getConjugate()) < 0.0 ? -1.0 : 1.0) == q.getConjugate()) << i;
  }
  for (const Quaternion& bad : {Quaternion(0, 0, 0, 0), Quaternion(0, NAN, 0, 1)})  // null; not finite
    EXPECT_TRUE(FailsUntouched([&](Transformation& t) { return t.setRightHandQuaternion(V(), bad, 1.0); }))
        << "(" << bad.x << ", " << bad.y << ", " << bad.z << ", " << bad.w << ")";
}

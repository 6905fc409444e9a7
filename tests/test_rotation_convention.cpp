// Euler conventions, rotation vectors and right-hand quaternions against
// Eigen's AngleAxis and Quaternion (right-hand, active, as SciPy).
#include <Eigen/Geometry>

#include "math_quaternion.h"
#include "math_rotation_convention.h"
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using V = BaVec3d<double>;
using Conv = RotationConvention;

namespace {

const V kZero;

std::vector<Conv> allConventions() {
  std::vector<Conv> out;
  for (const char* name : {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX", "XYX", "XZX", "YXY", "YZY", "ZXZ", "ZYZ"})
    for (bool lower : {false, true}) out.emplace_back(lower ? QString::fromLatin1(name).toLower() : name);
  return out;
}

Eigen::Matrix3d eigenEuler(const Conv& c, const EulerAngles& a) {
  const auto turn = [&](int i, double angle) { return Eigen::AngleAxisd(angle, Eigen::Vector3d::Unit(c.getAxis(i))); };
  if (c.isIntrinsic()) return (turn(0, a.first) * turn(1, a.second) * turn(2, a.third)).toRotationMatrix();
  return (turn(2, a.third) * turn(1, a.second) * turn(0, a.first)).toRotationMatrix();
}

::testing::AssertionResult BlockIs(const Transformation& t, const Eigen::Matrix3d& e, double tol) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (!(std::fabs(t.getMatrix(c, r) - e(r, c)) <= tol))
        return ::testing::AssertionFailure() << "element m" << r << c << ": " << t.getMatrix(c, r) << " vs " << e(r, c);
  return ::testing::AssertionSuccess();
}

Transformation fromEuler(const Conv& c, const EulerAngles& a) {
  Transformation t;
  t.setEuler(kZero, c, a, 1.0);
  return t;
}

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

// Of the 216 names of three letters x, y, z in either case; a refused name
// leaves the convention as it was.
TEST(RotationConvention, ParsesExactlySciPysTwentyFourNames) {
  int accepted = 0;
  const QString letters = "xyzXYZ";
  for (const QChar first : letters)
    for (const QChar second : letters)
      for (const QChar third : letters) {
        const QString name = QString(first) + second + third;
        SCOPED_TRACE(name.toStdString());
        Conv c(Conv::AXIS_Z, Conv::AXIS_X, Conv::AXIS_Z, true);
        if (!Conv::parse(name, &c)) {
          EXPECT_EQ(c.getName(), "ZXZ");
          continue;
        }
        ++accepted;
        EXPECT_EQ(c.getName(), name);
        EXPECT_EQ(c.isIntrinsic(), name[0].isUpper());
      }
  EXPECT_EQ(accepted, 24);
  Conv c(Conv::AXIS_X, Conv::AXIS_Y, Conv::AXIS_Z, false);
  for (const char* bad : {"", "xy", "xyzx", "abc", "x y"}) EXPECT_FALSE(Conv::parse(bad, &c)) << bad;
}

TEST(RotationConvention, ConstructorsRefuseWhatParseRefuses) {
  EXPECT_EQ(progErrorOf([] { Conv("XXY"); }),
            "Not a rotation convention!|Zem::RotationConvention::RotationConvention|math_rotation_convention");
  EXPECT_EQ(progErrorOf([] { Conv(Conv::AXIS_X, Conv::AXIS_Y, Conv::AXIS_Y, true); }),
            "Consecutive axes must differ!|Zem::RotationConvention::RotationConvention|math_rotation_convention");
}

TEST(RotationConvention, SetEulerIsEigensProductOfAxisTurns) {
  std::mt19937 rng(22);
  std::uniform_real_distribution<double> angle(-2 * kPi, 2 * kPi);
  for (const Conv& c : allConventions())
    for (int i = 0; i < 200; ++i) {
      const EulerAngles a(angle(rng), angle(rng), angle(rng));
      ASSERT_TRUE(BlockIs(fromEuler(c, a), eigenEuler(c, a), kTightTol)) << c.getName().toStdString();
    }
}

TEST(RotationConvention, GetEulerRebuildsEveryRotationInCanonicalRanges) {
  for (const Conv& c : allConventions())
    for (int i = 0; i < 2000; ++i) {
      SCOPED_TRACE(c.getName().toStdString());
      const Eigen::Quaterniond q = Eigen::Quaterniond::UnitRandom();
      Transformation t;
      t.setRightHandQuaternion(kZero, Quaternion(q.x(), q.y(), q.z(), q.w()), 1.0);
      const EulerAngles a = t.getEuler(c);
      ASSERT_TRUE(Canonical(c, a));
      ASSERT_TRUE(BlockIs(fromEuler(c, a), q.toRotationMatrix(), kTightTol));
      ASSERT_FALSE(a.gimbalLock);
    }
}

TEST(RotationConvention, NextToTheLockRebuildsToRoundingAndOnlyTheLockIsFlagged) {
  // The middle angle at its limit (±π/2, or 0 and π) and 1e-12 to 1e-6 rad
  // inside it; the flag must be set exactly at the limit, with the third
  // angle 0 and the whole turn in the first.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> outer(-kPi, kPi);
  for (const Conv& c : allConventions())
    for (double limit : c.isProperEuler() ? std::vector<double>{0.0, kPi} : std::vector<double>{-kPi / 2, kPi / 2})
      for (double offset : {0.0, 1e-12, 3e-11, 1e-9, 2e-8, 1e-7, 1e-6}) {
        SCOPED_TRACE(testing::Message() << c.getName().toStdString() << " limit " << limit << " offset " << offset);
        const double inward = limit > 0.0 ? -offset : offset;
        const EulerAngles a(outer(rng), limit + inward, outer(rng));
        const EulerAngles back = fromEuler(c, a).getEuler(c);
        EXPECT_EQ(back.gimbalLock, offset == 0.0);
        EXPECT_TRUE(Canonical(c, back));
        EXPECT_TRUE(BlockIs(fromEuler(c, back), eigenEuler(c, a), kTightTol));
        if (offset == 0.0) {
          EXPECT_EQ(back.third, 0.0);
          EXPECT_EQ(back.second, limit);
        } else {
          EXPECT_NEAR(back.second, a.second, 1e-15);
        }
      }
}

TEST(RotationConvention, LibraryOrdersAreExtrinsicConventionsWithNegatedAngles) {
  // The table of math_rotation_convention.h (and of the README).
  // axisOf: which component of (x, y, z) is the convention's first, second, third angle.
  struct Row { Transformation::RotationOrder_t order; const char* convention; int axisOf[3]; };
  const Row table[] = {{Transformation::ORDER_XYZ, "xyz", {0, 1, 2}}, {Transformation::ORDER_XZY, "xzy", {0, 2, 1}},
                       {Transformation::ORDER_YXZ, "yxz", {1, 0, 2}}, {Transformation::ORDER_YZX, "yzx", {1, 2, 0}},
                       {Transformation::ORDER_ZXY, "zxy", {2, 0, 1}}, {Transformation::ORDER_ZYX, "zyx", {2, 1, 0}}};
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (const Row& row : table) {
    SCOPED_TRACE(row.convention);
    EXPECT_EQ(Conv(row.order).getName(), row.convention);
    for (int i = 0; i < 500; ++i) {
      const double xyz[3] = {angle(rng), angle(rng), angle(rng)};
      Transformation ours;
      ours.set(kZero, V(xyz[0], xyz[1], xyz[2]), row.order, 1.0);
      const EulerAngles a(-xyz[row.axisOf[0]], -xyz[row.axisOf[1]], -xyz[row.axisOf[2]]);
      ASSERT_TRUE(BlockIs(ours, eigenEuler(Conv(row.convention), a), kTightTol));
    }
  }
}

TEST(RotationVector, AgreesWithEigenAngleAxisNearZeroAndNearAHalfTurn) {
  for (double angle : {0.0, 1e-300, 1e-12, 1e-8, 1e-3, 1.0, 3.0, kPi - 1e-9, kPi - 1e-12, kPi}) {
    for (int i = 0; i < 200; ++i) {
      const Eigen::Vector3d axis = Eigen::Vector3d::Random().normalized();
      Transformation t;
      t.setRotationVector(V(1, 2, 3), V(axis.x(), axis.y(), axis.z()) * angle, 2.0);
      SCOPED_TRACE("angle " + std::to_string(angle));
      ASSERT_TRUE(BlockIs(t, Eigen::AngleAxisd(angle, axis).toRotationMatrix(), kTightTol));
      ASSERT_EQ(t.getTranslation(), V(1, 2, 3));
      ASSERT_EQ(t.getScale(), 2.0);
      V back = t.getRotationVector();
      if (angle > 3.0 && back.dot(V(axis.x(), axis.y(), axis.z())) < 0.0) back = -back;  // v and −v: one half turn
      ASSERT_NEAR((back - V(axis.x(), axis.y(), axis.z()) * angle).length(), 0.0, kTightTol);
    }
  }
}

TEST(RightHandQuaternion, IsEigensUpToSignAndTheConjugateOfTheLibrarysOwn) {
  for (int i = 0; i < 2000; ++i) {
    const Eigen::Quaterniond e = Eigen::Quaterniond::UnitRandom();
    const Quaternion eigen(e.x(), e.y(), e.z(), e.w());
    Transformation t;
    ASSERT_TRUE(t.setRightHandQuaternion(kZero, eigen * 2.0, 1.0));
    ASSERT_TRUE(BlockIs(t, e.toRotationMatrix(), kTightTol));
    const Quaternion q = t.getRightHandQuaternion();
    const double largest = std::max({std::fabs(q.x), std::fabs(q.y), std::fabs(q.z), std::fabs(q.w)});
    ASSERT_TRUE(q == eigen * (q.dot(eigen) < 0.0 ? -1.0 : 1.0)) << i;
    ASSERT_EQ(std::max({q.x, q.y, q.z, q.w}), largest) << "the largest component is negative";
    const Quaternion own(t);
    ASSERT_TRUE(own * (own.dot(q.getConjugate()) < 0.0 ? -1.0 : 1.0) == q.getConjugate()) << i;
  }
  Transformation t = kUntouched;
  EXPECT_FALSE(t.setRightHandQuaternion(V(), Quaternion(0, 0, 0, 0), 1.0));
  EXPECT_FALSE(t.setRightHandQuaternion(V(), Quaternion(0, NAN, 0, 1), 1.0));
  EXPECT_TRUE(SameBits(t, kUntouched));
}

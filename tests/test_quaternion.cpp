// Quaternions (math_quaternion.cpp) against the transformation core's orders
// and products, and slerp against Eigen's.
#include <iomanip>

#include "math_quaternion.h"
#include "test_util.h"

namespace Zem {
/// Quaternions show as (x, y, z, w) in the messages of failed checks, not as bytes.
void PrintTo(const Quaternion& q, std::ostream* os) {
  *os << std::setprecision(17) << "(" << q.x << ", " << q.y << ", " << q.z << ", " << q.w << ")";
}
}  // namespace Zem

using namespace Zem;
using namespace Zem::test;
using Order = Transformation::RotationOrder_t;
using V = BaVec3d<double>;
using Q = Quaternion;

namespace {

/// Each order and its middle angle (the one that turns second).
struct OrderMiddle { Order order; const char* name; double V::*middle; };
const OrderMiddle kOrders[] = {{Transformation::ORDER_XYZ, "XYZ", &V::y}, {Transformation::ORDER_XZY, "XZY", &V::z},
                               {Transformation::ORDER_YXZ, "YXZ", &V::x}, {Transformation::ORDER_YZX, "YZX", &V::z},
                               {Transformation::ORDER_ZXY, "ZXY", &V::x}, {Transformation::ORDER_ZYX, "ZYX", &V::y}};

const Q kOne(0, 0, 0, 1), kTurn(V(0.3, -0.5, 1.1), Transformation::ORDER_YZX);  // no rotation; a general one

/// The quaternion of angles `a` in order `o`, its angles, the quaternion of
/// the transformation and the rotation of a vector all agree with
/// Transformation::set; a failure names the check and the angles.
::testing::AssertionResult AgreesWithTheTransformation(const V& a, Order o) {
  Transformation t, back;
  t.set(V(), a, o, 1.0);
  back.set(V(), Q::getQuaternionAngles(a, o), o, 1.0);
  const Q q(a, o);
  const struct { const char* name; ::testing::AssertionResult same; } checks[] = {
      {"Q(angles)", SameMatrix(q.getTransformation(), t, kTightTol)},
      {"getQuaternionAngles", SameMatrix(back, t, kTightTol)},
      {"Q(transformation)", SameMatrix(Q(t).getTransformation(), t, kTightTol)},
      {"rotate", SameVec(q.rotate(a), t.rotateVector(a), kTightTol)}};
  for (const auto& check : checks)
    if (!check.same)
      return ::testing::AssertionFailure() << "angles " << a << ", " << check.name << ": " << check.same.message();
  return ::testing::AssertionSuccess();
}

}  // namespace

// The quaternion is the Hamilton product of the elementary ones in the letter
// sequence of the order, so matching Transformation::set also pins the order
// of the product: in p·q the rotation of p acts first. Within 1.5e-8 of the
// lock its test element rounds to ±1 without being at it.
TEST(Quaternion, AnglesAndProductsFollowTheOrdersAlsoAtTheGimbalLock) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  const auto randomAngles = [&] { return V(angle(rng), angle(rng), angle(rng)); };
  for (const OrderMiddle& o : kOrders) {
    SCOPED_TRACE(o.name);
    for (int trial = 0; trial < 2000; ++trial) ASSERT_TRUE(AgreesWithTheTransformation(randomAngles(), o.order));
    for (const double sign : {1.0, -1.0})
      for (const double offset : {0.0, 1e-7, -1e-7, 1e-4, 1e-8, -1e-8, 1e-12, -1e-10})
        for (int trial = 0; trial < 25; ++trial) {
          V a = randomAngles();
          a.*o.middle = sign * (kPi / 2 + offset);
          ASSERT_TRUE(AgreesWithTheTransformation(a, o.order));
        }
  }
}

// Eigen takes the shorter arc, ours without shortestPath if q1·q2 ≥ 0.
// Eigen's constructor takes w first; its matrix of the same four numbers is
// the transpose of ours. Eigen's slerp keeps unit length and constant angular
// speed, so matching its rotation checks ours for both.
TEST(Quaternion, SlerpFollowsEigensShorterArcAtConstantSpeed) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (const bool shortestPath : {true, false})
    for (int trial = 0; trial < 250; ++trial) {
      const Q q1(V(angle(rng), angle(rng), angle(rng)), Transformation::ORDER_XYZ);
      Q q2(V(angle(rng), angle(rng), angle(rng)), Transformation::ORDER_XYZ);
      if (!shortestPath && q1.dot(q2) < 0.0) q2 = -q2;
      const Eigen::Quaterniond e1(q1.w, q1.x, q1.y, q1.z), e2(q2.w, q2.x, q2.y, q2.z);
      for (double t : {0.0, 0.25, 0.6, 1.0}) {
        SCOPED_TRACE(testing::Message() << "shortest path " << shortestPath << ", trial " << trial << ", t " << t);
        const Eigen::Matrix3d eigen = e1.slerp(t, e2).toRotationMatrix().transpose();
        const Eigen::Matrix4d ours = toEigen(Q::slerp(q1, t, q2, shortestPath).getTransformation());
        ASSERT_TRUE(SameElements(ours.topLeftCorner<3, 3>(), eigen, kTightTol));
      }
    }
}

TEST(Quaternion, AxisAndAngleNormaliseTheAxis) {
  EXPECT_EQ(Q(V(2, 0, 0), kPi / 2), Q(std::sin(kPi / 4), 0, 0, std::cos(kPi / 4)));
}

// q and −q are the same rotation with no arc between them; nor is there one
// where the dot product of a quaternion with itself rounds past 1.
TEST(Quaternion, NlerpAndSlerpWithoutAnArcOrPastTheUnitDotGiveNoNaN) {
  for (double t : {0.0, 0.3, 1.0}) EXPECT_EQ(Q::nlerp(kTurn, t, -kTurn, true), kTurn) << t;
  EXPECT_EQ(Q::nlerp(kTurn, 0.5, -kTurn, false), Q(0, 0, 0, 0));  // length 0 is returned as it is
  // slerp gives q1 (or −q1 along the shortest path).
  EXPECT_EQ(Q::slerp(kTurn, 0.3, -kTurn, false), kTurn);
  EXPECT_EQ(Q::slerp(kOne, 0.5, -kOne, true), -kOne);
  const Q past1(std::nextafter(1.0, 2.0), 0, 0, 0);  // dot with itself rounds above 1: clamped
  EXPECT_EQ(Q::slerp(past1, 0.3, past1, false), past1);
}

// With shortestPath and q1·q2 < 0 from −q1 to q2, at constant speed: θ = 120°,
// t = 1/4 turns by 15°.
TEST(Quaternion, SlerpAlongTheShortestPathStartsFromMinusQ1) {
  const Q q120(std::sqrt(0.75), 0, 0, -0.5);
  EXPECT_EQ(Q::slerp(kOne, 0.0, q120, true), -kOne);
  EXPECT_EQ(Q::slerp(kOne, 1.0, q120, true), q120);
  EXPECT_NEAR(2 * std::acos(std::fabs(Q::slerp(kOne, 0.25, q120, true).w)), 2 * kPi / 12, kTightTol);
}

// A null quaternion inverts to zero, rotates everything to zero and is kept
// by invert(), not zeroed.
TEST(Quaternion, NullQuaternionsAndInversion) {
  Q tiny(0, 0, 0, 0.005), two(0, 0, 0, 2);
  EXPECT_TRUE(tiny.isNull());
  EXPECT_FALSE(kOne.isNull());
  EXPECT_EQ(tiny.getInverse(), Q(0, 0, 0, 0));
  EXPECT_EQ(tiny.rotate(V(1, 2, 3)), V());
  tiny.invert();
  two.invert();
  EXPECT_EQ(tiny.w, 0.005);
  EXPECT_EQ(two.w, 0.5);
  EXPECT_EQ(kTurn * kTurn.getInverse(), kOne);
}

// Components within 1e-6 are equal.
TEST(Quaternion, EqualityHasAnAbsoluteToleranceOf1e6) {
  const Q zero(0, 0, 0, 0);
  EXPECT_EQ(zero, Q(0.5e-6, -1e-6, 0, 1e-6));
  EXPECT_NE(zero, Q(0, 0, 2e-6, 0));
  EXPECT_NE(kOne, -kOne);
}

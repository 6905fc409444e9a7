// Quaternions against the transformation core's orders and products, and
// slerp against Eigen's.
#include <Eigen/Geometry>
#include <iomanip>
#include <sstream>

#include "math_quaternion.h"
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using Order = Transformation::RotationOrder_t;
using V = BaVec3d<double>;
using Q = Quaternion;

TEST(Quaternion, AnglesAndProductsFollowTheOrdersAlsoAtTheGimbalLock) {
  // The quaternion is the Hamilton product of the elementary ones in the
  // letter sequence of the order, so matching Transformation::set also pins
  // the order of the product: in p·q the rotation of p acts first.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  const int middleOf[6] = {1, 2, 0, 2, 0, 1};  // which angle turns second: y in ORDER_XYZ, z in ORDER_XZY, ...
  // Within 1.5e-8 of the lock its test element rounds to ±1 without being at it.
  const double lockOffsets[8] = {0.0, 1e-7, -1e-7, 1e-4, 1e-8, -1e-8, 1e-12, -1e-10};
  for (int i = 0; i < 6 * 2400; ++i) {  // the last 6 * 400 at or near the gimbal lock, middle angle ±π/2
    const Order o = static_cast<Order>(i % 6);
    V a(angle(rng), angle(rng), angle(rng));
    double* const component[3] = {&a.x, &a.y, &a.z};
    if (i >= 6 * 2000) *component[middleOf[o]] = (i / 6 % 2 ? -1 : 1) * (kPi / 2 + lockOffsets[i / 12 % 8]);
    std::ostringstream trace;
    trace << std::setprecision(17) << "order " << o << ", angles " << a;
    SCOPED_TRACE(trace.str());
    Transformation t, back;
    t.set(V(), a, o, 1.0);
    back.set(V(), Q::getQuaternionAngles(a, o), o, 1.0);
    const Q q(a, o);
    ASSERT_TRUE(SameMatrix(q.getTransformation(), t, kTightTol));
    ASSERT_TRUE(SameMatrix(back, t, kTightTol));
    ASSERT_TRUE(SameMatrix(Q(t).getTransformation(), t, kTightTol));
    ASSERT_TRUE(SameVec(q.rotate(a), t.rotateVector(a), kTightTol));
  }
}

TEST(Quaternion, SlerpFollowsEigensShorterArcAtConstantSpeed) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  for (int i = 0; i < 500; ++i) {
    const Q q1(V(angle(rng), angle(rng), angle(rng)), Transformation::ORDER_XYZ);
    Q q2(V(angle(rng), angle(rng), angle(rng)), Transformation::ORDER_XYZ);
    const bool shortestPath = i % 2 == 0;  // Eigen takes the shorter arc, ours without shortestPath if q1·q2 ≥ 0
    if (!shortestPath && q1.dot(q2) < 0.0) q2 = -q2;
    // Eigen's constructor takes w first; its matrix of the same four numbers is the transpose of ours. Eigen's
    // slerp keeps unit length and constant angular speed, so matching its rotation checks ours for both.
    const Eigen::Quaterniond e1(q1.w, q1.x, q1.y, q1.z), e2(q2.w, q2.x, q2.y, q2.z);
    for (double t : {0.0, 0.25, 0.6, 1.0}) {
      const Eigen::Matrix3d eigen = e1.slerp(t, e2).toRotationMatrix().transpose();
      const Transformation ours = Q::slerp(q1, t, q2, shortestPath).getTransformation();
      for (int k = 0; k < 9; ++k) ASSERT_NEAR(ours.getMatrix(k % 3, k / 3), eigen(k / 3, k % 3), kTightTol) << i;
    }
  }
}

TEST(Quaternion, EdgeCasesOfInterpolationInversionAndEquality) {
  const Q q(V(0.3, -0.5, 1.1), Transformation::ORDER_YZX), zero(0, 0, 0, 0), one(0, 0, 0, 1);
  EXPECT_EQ(Q(V(2, 0, 0), kPi / 2), Q(std::sin(kPi / 4), 0, 0, std::cos(kPi / 4)));  // the axis is normalised
  for (double t : {0.0, 0.3, 1.0}) EXPECT_EQ(Q::nlerp(q, t, -q, true), q) << t;
  EXPECT_EQ(Q::nlerp(q, 0.5, -q, false), zero);  // length 0 is returned as it is
  const Q past1(std::nextafter(1.0, 2.0), 0, 0, 0);  // dot with itself rounds above 1: clamped, not NaN
  EXPECT_EQ(Q::slerp(past1, 0.3, past1, false), past1);
  // The same rotation with no arc between them: q1 (or −q1 along the shortest path), no inf or NaN.
  EXPECT_TRUE(Q::slerp(q, 0.3, -q, false) == q && Q::slerp(one, 0.5, -one, true) == -one);
  // With shortestPath and q1·q2 < 0 from −q1 to q2, at constant speed: θ = 120°, t = 1/4 turns by 15°.
  const Q q120(std::sqrt(0.75), 0, 0, -0.5);
  EXPECT_TRUE(Q::slerp(one, 0.0, q120, true) == -one && Q::slerp(one, 1.0, q120, true) == q120);
  EXPECT_NEAR(2 * std::acos(std::fabs(Q::slerp(one, 0.25, q120, true).w)), 2 * kPi / 12, kTightTol);
  Q tiny(0, 0, 0, 0.005), two(0, 0, 0, 2);
  EXPECT_TRUE(tiny.isNull() && !one.isNull() && tiny.getInverse() == zero && tiny.rotate(V(1, 2, 3)) == V());
  tiny.invert();  // a null quaternion is kept, not zeroed
  two.invert();
  EXPECT_TRUE(tiny.w == 0.005 && two.w == 0.5 && q * q.getInverse() == one);
  EXPECT_TRUE(zero == Q(0.5e-6, -1e-6, 0, 1e-6) && zero != Q(0, 0, 2e-6, 0) && one != -one);  // 1e-6 is equal
}

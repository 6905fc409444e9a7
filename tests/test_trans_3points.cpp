// Three-point alignment (math_trans_3points.cpp): known motions come back
// with the true side, the mirror image with the other; worked triangles; and
// failures that leave the matrix untouched and the destination completed as
// far as it got.
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using V = BaVec3d<double>;
using Points = std::vector<BaPoint3d<double>>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1), far(1e5, -2e5, 3e5);
const double kNaN = std::nan("");

/// > 0: c lies left of a → b (seen from +Z).
double turn(const V& a, const V& b, const V& c) { return (b - a).cross(c - a).z; }

}  // namespace

// The destination comes first, the source is it moved by G. With the true
// side the completion is the true triangle and the result G⁻¹ (checked where
// a square root does not amplify rounding: q1.x ≠ q0.x and no touching
// circles), with the other its mirror image; either way the source maps onto
// the completion, rigidly.
TEST(ThreePoints, KnownMotionsComeBackWithTheTrueSideAndTheMirrorImageWithTheOther) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  enum Shape { kGeneral, kQ1AboveQ0, kVertical };
  const struct { const char* name; Shape shape; } shapes[] = {
      {"general", kGeneral}, {"q1.x = q0.x", kQ1AboveQ0}, {"vertical: touching circles", kVertical}};
  for (const Transformation& g : rigidMotions(9, 335))
    for (const auto& s : shapes)
      for (const bool trueSideGiven : {true, false}) {
        SCOPED_TRACE(testing::Message() << s.name << (trueSideGiven ? ", the true side" : ", the other side"));
        const V q0(20 * u(rng), 20 * u(rng), 20 * u(rng));
        const V q1 = q0 + V(s.shape == kQ1AboveQ0 ? 0.0 : 10 * u(rng), 10 * u(rng), 10 * u(rng));
        const V q2 = q0 + (s.shape == kVertical ? (q1 - q0) * u(rng) + ez * u(rng)
                                                : V(10 * u(rng), 10 * u(rng), 10 * u(rng)));
        const bool positiveX = q1.x > q0.x || (q1.x == q0.x && u(rng) < 0);
        const bool leftSide = (turn(q0, q1, q2) > 0) == trueSideGiven;
        const std::vector<V> src = {g.transformPoint(q0), g.transformPoint(q1), g.transformPoint(q2)};
        std::vector<V> dst = {q0, V(kNaN, q1.y, q1.z), V(kNaN, kNaN, q2.z)};
        Transformation three;
        ASSERT_TRUE(three.computeTransformation3Points(src, dst, positiveX, leftSide));
        ASSERT_TRUE(Rigid(three));
        for (const std::size_t k : {0u, 1u, 2u}) ASSERT_TRUE(SameVec(three.transformPoint(src[k]), dst[k], 1e-9)) << k;
        if (dst[1].x != q0.x) {
          EXPECT_EQ(dst[1].x > q0.x, positiveX) << "the side of q1";
        }
        if (s.shape != kVertical) {
          EXPECT_EQ(turn(dst[0], dst[1], dst[2]) > 0, leftSide) << "the side of q2";
        }
        if (s.shape == kGeneral && trueSideGiven) {
          EXPECT_TRUE(SameMatrix(three, g.inverse(), 1e-9));
        }
      }
}

// The expected motion: the translation q0 after the rotation by `angles`.
// 99: ignored; a fourth point and the identifiers are not touched.
TEST(ThreePoints, WorkedTriangles) {
  const Points right = {{0, 0, 0, 7}, {3, 0, 0, 7}, {0, 4, 0, 7}}, slanted = {{0, 0, 0, 7}, {2, 0, 0, 7}, {1, 1, 0, 7}};
  const struct { const char* name; const Points& src; V q0; bool positiveX, leftSide; V q1, q2, angles; } rows[] = {
      {"right angle", right, {10, 20, 0}, true, true, {13, 20, 0}, {10, 24, 0}, {}},
      {"right side: half a turn about q0 → q1", right, {10, 20, 0}, true, false, {13, 20, 0}, {10, 16, 0}, {kPi, 0, 0}},
      {"negative x", right, {10, 20, 0}, false, false, {7, 20, 0}, {10, 24, 0}, {0, kPi, 0}},
      {"slanted", slanted, {5, 0, 0}, true, true, {7, 0, 0}, {6, 1, 0}, {}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Points dst = {{row.q0, 7}, {V(99, row.q1.y, row.q1.z), 7}, {V(99, 99, row.q2.z), 7}, {V(1, 2, 3), 7}};
    Transformation t;
    ASSERT_TRUE(t.computeTransformation3Points(row.src, dst, row.positiveX, row.leftSide));
    EXPECT_TRUE(SameVec(dst[1], row.q1, 0.0));
    EXPECT_TRUE(SameVec(dst[2], row.q2, 1e-14));
    EXPECT_TRUE(SameVec(dst[3], V(1, 2, 3), 0.0));
    for (const auto& q : dst) EXPECT_EQ(q.id, 7) << "point " << q;
    EXPECT_TRUE(SameMatrix(t, Transformation(row.q0, row.angles, 1.0), 1e-14));
  }
}

// The destination as given is q0 = (0, 0, 0), q1 by y and z, q2 by z; 99
// marks what must stay unwritten. On plain vectors the completion is copied
// back as far as it got: q1 and q2 as expected after the call.
TEST(ThreePoints, FailuresLeaveTheMatrixAndCompleteTheDestinationAsFarAsTheyGot) {
  const V along(0.3, 0.6, 0.9);
  const std::vector<V> right = {V(), 3 * ex, 4 * ey}, axis = {V(), V(0.3, 0.7, 1.1), 3 * ex};
  const double up = axis[1].length(), height = 3 * axis[1].x / up;
  const struct { const char* name; std::vector<V> src; V q1, q2; } cases[] = {
      {"q1 farther in y and z alone than p1 from p0", right, {99, 5, 0}, {99, 99, 0}},
      // h² = 2.2e-16 puts q1.x at 1.5e-8; q2 at the height of p2 along p1 − p0:
      // both circles are one circle and nothing fixes the turn about the vertical.
      {"q1 above q0 up to rounding", axis, {0, 0, up}, {99, 99, height}},
      {"the circles do not meet", right, {3, 0, 0}, {99, 99, 100}},
      {"collinear source far from the origin", {far, far + along / 3, far + along}, {std::sqrt(0.14), 0, 0},
       {std::sqrt(1.26), 0, 0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<V> dst = {V(), V(99, c.q1.y, c.q1.z), V(99, 99, c.q2.z)};
    EXPECT_TRUE(
        FailsUntouched([&](Transformation& t) { return t.computeTransformation3Points(c.src, dst, true, true); }));
    EXPECT_TRUE(SameVec(dst[1], c.q1, 1e-7));
    EXPECT_TRUE(SameVec(dst[2], c.q2, 1e-7));
  }
}

// Fewer than three points on either side: ProgError before anything is written.
TEST(ThreePoints, FewerThanThreePointsThrowProgError) {
  Points two = {{V(), 0}, {ex, 1}}, three = {{V(), 0}, {ex, 1}, {ey, 2}};
  Transformation t = kUntouched;
  EXPECT_THROW(t.computeTransformation3Points(two, three, true, true), ProgError);
  EXPECT_THROW(t.computeTransformation3Points(three, two, true, true), ProgError);
  EXPECT_TRUE(SameBits(t, kUntouched));
  EXPECT_TRUE(SameVec(three[2], ey, 0.0));
}

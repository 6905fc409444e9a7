// Rotations about axes and line onto line (math_trans_rotate.cpp) against
// Eigen's AngleAxis, worked perpendiculars, and failures that leave the
// matrix untouched.
#include "test_util.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

using V = BaVec3d<double>;
const V ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1), nanX(std::nan(""), 0, 0);

// Eigen's AngleAxis turns positive angles the other way (ours: about Z, +Y
// goes onto +X). Special angles and a random one, about a line through a
// point 100 away.
TEST(Rotations, AboutALineMatchEigensAngleAxis) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (const Transformation& g : rigidMotions(9, 335))
    for (const double angle : {0.0, kPi / 2, -kPi / 2, kPi, 1e-9, kPi * u(rng)}) {
      SCOPED_TRACE(angle);
      const V in = g.transformPoint(V(100 * u(rng), 100 * u(rng), 0)), d = g.rotateVector(V(u(rng), u(rng), u(rng)));
      const Eigen::Vector3d pe(in.x, in.y, in.z), axis = Eigen::Vector3d(d.x, d.y, d.z).normalized();
      const Eigen::Affine3d about = Eigen::Translation3d(pe) * Eigen::AngleAxisd(-angle, axis);
      Transformation byAngle, byAxis, byLine;
      ASSERT_TRUE(byAngle.computeTransformationAngle(in, d * len(rng), angle));
      ASSERT_TRUE(byAxis.computeTransformationRotateAxis(in, d, angle));
      ASSERT_TRUE(byLine.computeTransformationRotateAxis(Line3d(in, d), angle));
      EXPECT_TRUE(SameElements(toEigen(byAngle), about.matrix(), kTightTol));
      EXPECT_TRUE(SameElements(toEigen(byAxis), (about * Eigen::Translation3d(-pe)).matrix(), kTightTol));
      EXPECT_TRUE(SameBits(byAxis, byLine));
    }
}

// Line onto line carries the point and the direction, rigidly.
TEST(Rotations, LineOntoLineCarriesThePointAndTheDirection) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> len(1e-3, 1e3), u(-1.0, 1.0);
  for (const Transformation& g : rigidMotions(11, 335)) {
    const V in = g.transformPoint(V(100 * u(rng), 100 * u(rng), 0)), o = g.transformPoint(V());
    const V d = g.rotateVector(V(u(rng), u(rng), u(rng))) * len(rng), e = g.rotateVector(V(u(rng), u(rng), u(rng)));
    Transformation lines;
    ASSERT_TRUE(lines.computeLineToLineTransformation(Line3d(in, d), Line3d(o, e)));
    EXPECT_TRUE(Rigid(lines));
    EXPECT_TRUE(SameVec(lines.transformPoint(in), o, 1e-12));
    EXPECT_TRUE(SameVec(lines.rotateVector(d / d.length()), e / e.length(), 1e-13));
  }
}

// The perpendicular of the source direction goes onto that of the
// destination, (0, −1, 0) for the X axis. Smallest x, z, y, then the ties.
TEST(Rotations, LineOntoLineTakesThePerpendicularByTheSmallestComponent) {
  const struct { V direction, perpendicular; } rows[] = {{{1, 2, 3}, {0, 3, -2}}, {{3, 2, 1}, {2, -3, 0}},
                                                         {{2, 1, 3}, {3, 0, -2}}, {{1, 1, 1}, {1, -1, 0}},
                                                         {{1, 1, 2}, {2, 0, -1}}, {{2, 1, 1}, {1, -2, 0}}};
  for (const auto& [v, perp] : rows) {
    SCOPED_TRACE(testing::Message() << "direction " << v);
    Transformation t;
    ASSERT_TRUE(t.computeLineToLineTransformation(Line3d(V(), v), Line3d(V(), ex)));
    EXPECT_TRUE(SameVec(t.rotateVector(perp / perp.length()), -ey, 1e-15));
  }
}

TEST(Rotations, UnusableAxesLeaveTheMatrixUntouched) {
  const struct { const char* name; std::function<bool(Transformation&)> call; } cases[] = {
      {"axis of length 1e-60", [](Transformation& t) { return t.computeTransformationAngle(V(), V(0, 1e-60, 0), 1); }},
      {"NaN axis", [](Transformation& t) { return t.computeTransformationAngle(V(), nanX, 1.0); }},
      {"infinite axis", [](Transformation& t) { return t.computeTransformationRotateAxis(V(), V(0, 0, HUGE_VAL), 1); }},
      {"NaN source line",
       [](Transformation& t) { return t.computeLineToLineTransformation(Line3d(V(), nanX), Line3d()); }}};
  for (const auto& c : cases) EXPECT_TRUE(FailsUntouched(c.call)) << c.name;
}

// Only the destination line unusable: the frame of the source line stays.
TEST(Rotations, UnusableDestinationLineLeavesTheSourceFrame) {
  Transformation t = kUntouched;
  EXPECT_FALSE(t.computeLineToLineTransformation(Line3d(V(1, 2, 3), V(0, 0, 2)), Line3d(V(), nanX)));
  EXPECT_TRUE(SameVec(t.transformPoint(V(1, 2, 3)), V(), 1e-15));
  EXPECT_TRUE(SameVec(t.rotateVector(ez), ex, 1e-15));
}

// 3-2-1 alignment (math_trans_321.cpp): known motions come back in all six
// modes, the flags select the mirror solutions, and the failure paths leave
// matrix and message as documented.

#include "test_util.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using Vec = BaVec3d<double>;
using Vecs = std::vector<Vec>;

constexpr double kAlignTol = 1e-9;

/// A mode with its primary (plane normal), secondary (edge) and tertiary
/// (point) axis; X = 0.
struct Mode321 { const char* name; Transformation::TransformMode_t mode; int primary, secondary, tertiary; };
const Mode321 kModes[] = {{"ZYX", Transformation::ALIGN_ZYX, 2, 1, 0}, {"ZXY", Transformation::ALIGN_ZXY, 2, 0, 1},
                          {"YZX", Transformation::ALIGN_YZX, 1, 2, 0}, {"YXZ", Transformation::ALIGN_YXZ, 1, 0, 2},
                          {"XYZ", Transformation::ALIGN_XYZ, 0, 1, 2}, {"XZY", Transformation::ALIGN_XZY, 0, 2, 1}};

double at(const Vec& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

/// The point with coordinates kab.x, kab.y, kab.z along the mode's primary,
/// secondary and tertiary axis.
Vec placed(const Vec& kab, const Mode321& m) {
  double c[3];
  c[m.primary] = kab.x;
  c[m.secondary] = kab.y;
  c[m.tertiary] = kab.z;
  return Vec(c[0], c[1], c[2]);
}

}  // namespace

// The part placed by truth⁻¹ has its plane points given as (k, a, b) (a flat
// datum measured in place is degenerate and takes the perturbation; on a
// vertical one the circle of P2 about P0P1 just touches its height, where
// both mirror solutions meet), an edge at a = 3 along b and an end face at
// b = −2. After the alignment the plane points have their heights, the edge
// points a = 3, the end point b = −2; the plane's normal and the edge point
// the way the flags say, and with the true flags the motion is truth.
TEST(Alignment321, KnownMotionsComeBackInEveryModeAndTheFlagsSelectTheMirrorSolutions) {
  const struct { const char* name; Vec points[3]; bool touching; } datums[] = {
      {"flat", {{5, 5, 10}, {5, 80, 20}, {5, 40, 70}}, false},
      {"slanted", {{0, 5, 10}, {5, 80, 20}, {12, 40, 70}}, false},
      {"touching: one solution for both plane flags", {{0, 0, 0}, {3, 0, 10}, {10, 0, 3}}, true}};
  const Vec edgeAndEnd[3] = {Vec(4, 3, 10), Vec(4, 3, 90), Vec(4, 50, -2)};
  for (const Mode321& m : kModes)
    for (const Transformation& truth : rigidMotions(321, 40))
      for (const auto& datum : datums) {
        const auto measured = [&](const Vec& kab) { return truth.inverse().transformPoint(placed(kab, m)); };
        const auto planeUp = [&m](const Vecs& q) { return at((q[1] - q[0]).cross(q[2] - q[0]), m.primary) >= 0; };
        const Vec* p = datum.points;
        const Vecs plane{measured(p[0]), measured(p[1]), measured(p[2])};
        const Vecs edge{measured(edgeAndEnd[0]), measured(edgeAndEnd[1])};
        const Vec end = measured(edgeAndEnd[2]);
        const bool nominalUp = planeUp({placed(p[0], m), placed(p[1], m), placed(p[2], m)});
        for (const bool planePositive : {true, false})
          for (const bool dirPositive : {true, false}) {
            SCOPED_TRACE(testing::Message() << "mode " << m.name << ", datum " << datum.name << ", flags "
                                            << planePositive << dirPositive);
            Transformation t;
            QString message = "unchanged";
            ASSERT_TRUE(t.computeTransformation321(m.mode, plane, {p[0].x, p[1].x, p[2].x}, planePositive, edge,
                                                   {3, 3}, dirPositive, end, -2, message));
            ASSERT_TRUE(message.isEmpty()) << message.toStdString();
            double heights = 0.0, edgeOff = 0.0;
            for (int n = 0; n < 3; ++n) heights += std::fabs(at(t.transformPoint(plane[n]), m.primary) - p[n].x);
            for (const Vec& q : edge) edgeOff += std::fabs(at(t.transformPoint(q), m.secondary) - 3);
            ASSERT_LT(heights, kAlignTol) << "the plane points off their heights";
            ASSERT_LT(edgeOff, kAlignTol) << "the edge points off a = 3";
            ASSERT_NEAR(at(t.transformPoint(end), m.tertiary), -2, kAlignTol) << "the end point off b = -2";
            if (!datum.touching) {
              const Vecs moved{t.transformPoint(plane[0]), t.transformPoint(plane[1]), t.transformPoint(plane[2])};
              ASSERT_EQ(planeUp(moved), planePositive) << "the side of the plane's normal";
            }
            ASSERT_EQ(at(t.transformPoint(edge[1]) - t.transformPoint(edge[0]), m.tertiary) >= 0, dirPositive)
                << "the way of the edge";
            if (dirPositive && (datum.touching || planePositive == nominalUp)) {  // the true flags
              ASSERT_TRUE(SameMatrix(t, truth, kAlignTol));
            }
          }
      }
}

// Mode ZYX, measured in place: a failure after the plane, or after the plane
// and the shift along the edge, keeps those steps.
TEST(Alignment321, FailureKeepsTheStepsDoneBefore) {
  const Transformation tilt(Vec(), Vec(0.3, 0.2, 0.0), 1.0);
  const Vecs side10{Vec(), tilt.transformPoint(Vec(10, 0, 0)), tilt.transformPoint(Vec(5, 5 * std::sqrt(3.0), 0))};
  const Vecs datum{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, edge{Vec(10, 3, 4), Vec(90, 3, 4)};
  Transformation fourTurns = Transformation::identity();
  for (int n = 0; n < 4; ++n) fourTurns.append(Transformation(Vec(), Vec(0.17, 0.17, 0.17), 1.0));
  // `matrix`: what a failure before the plane step leaves (the identity bit
  // for bit, the four perturbing turns to rounding). Without it the plane
  // step was done (P0 and P1 at their heights, P2 too when `thirdHeight`),
  // and the shift along the edge when `shifted`.
  struct Case { const char* name; Vecs plane; std::vector<double> pv; Vecs dir; std::vector<double> dv;
                const Transformation* matrix; bool thirdHeight, shifted; };
  const Transformation identity = Transformation::identity();
  const Case cases[] = {
      {"heights farther apart than the points", datum, {0, 80, 12}, edge, {3, 3}, &identity, false, false},
      {"coinciding plane points", {Vec(), Vec(), Vec(10, 10, 1)}, {0, 0, 1}, edge, {3, 3}, &fourTurns, false, false},
      {"circle of P2 below its height", side10, {0, 9, 9}, edge, {3, 3}, nullptr, false, false},
      {"edge values farther apart", datum, {0, 5, 12}, edge, {0, 200}, nullptr, true, false},
      {"edge too short across", datum, {0, 5, 12}, {edge[0], Vec(11, 3, 60)}, {0, 5}, nullptr, true, true},
      {"edge along the normal", datum, {0, 5, 12}, {edge[0], Vec(10, 3, 60)}, {0, 0}, nullptr, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Transformation t = kUntouched;
    QString message = "unchanged";
    EXPECT_FALSE(t.computeTransformation321(Transformation::ALIGN_ZYX, c.plane, c.pv, true, c.dir, c.dv, true, Vec(),
                                            0, message));
    EXPECT_TRUE(message.isEmpty()) << message.toStdString();
    if (c.matrix != nullptr) {
      EXPECT_TRUE(SameMatrix(t, *c.matrix, c.matrix == &identity ? -1.0 : 1e-15));
      continue;
    }
    const double h01 = std::fabs(t.transformZ(c.plane[0]) - c.pv[0]) + std::fabs(t.transformZ(c.plane[1]) - c.pv[1]);
    const double h2 = std::fabs(t.transformZ(c.plane[2]) - c.pv[2]), a0 = std::fabs(t.transformY(c.dir[0]) - c.dv[0]);
    EXPECT_LT(h01, kAlignTol) << "P0 and P1 off their heights";
    EXPECT_EQ(h2 < kAlignTol, c.thirdHeight) << "P2 off its height by " << h2;
    EXPECT_EQ(a0 < kAlignTol, c.shifted) << "the edge off its value by " << a0;
  }
}

TEST(Alignment321, NonFiniteInputFailsWithTheIdentityAndAnEmptyMessage) {
  Vecs plane{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, dir{Vec(10, 3, 4), Vec(90, 3, 4)};
  std::vector<double> pv{0, 5, 12}, dv{3, 3};
  Vec point(1, 2, 3);
  double pointV = 0;
  const struct { const char* name; double* slot; } inputs[] = {
      {"plane point", &plane[1].y}, {"plane value", &pv[2]}, {"dir point", &dir[0].z},
      {"dir value", &dv[1]},        {"point", &point.x},     {"point value", &pointV}};
  for (const auto& input : inputs)
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity()}) {
      SCOPED_TRACE(std::string(input.name) + " " + std::to_string(bad));
      const double kept = *input.slot;
      *input.slot = bad;
      Transformation t = kUntouched;
      QString message = "unchanged";
      EXPECT_FALSE(t.computeTransformation321(Transformation::ALIGN_ZYX, plane, pv, true, dir, dv, true, point,
                                              pointV, message));
      EXPECT_TRUE(SameBits(t, Transformation::identity()));
      EXPECT_TRUE(message.isEmpty());
      *input.slot = kept;
    }
}

// The sizes are tested first and leave everything alone; the mode is tested
// after the reset to the identity.
TEST(Alignment321, PreconditionsThrowProgError) {
  Transformation t = kUntouched;
  QString message = "unchanged";
  const std::string where = "|Zem::Transformation::computeTransformation321|math_trans_321";
  const Vecs p3{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, p2{p3[0], p3[1]};
  const auto align = [&](int mode, const Vecs& plane, const Vecs& dir) {
    t.computeTransformation321(Transformation::TransformMode_t(mode), plane, {0, 5, 12}, true, dir,
                               std::vector<double>(dir.size(), 3.0), true, Vec(), 0, message);
  };
  EXPECT_EQ(progErrorOf([&] { align(0, p2, p3); }), "Wrong size for plane or plane_v!" + where);  // plane first
  EXPECT_EQ(progErrorOf([&] { align(0, p3, p3); }), "Wrong size for dir or dir_v!" + where);
  EXPECT_TRUE(SameBits(t, kUntouched));
  EXPECT_EQ(message, "unchanged");
  // 6: not a mode, but a value the enumeration can hold
  EXPECT_EQ(progErrorOf([&] { align(6, p3, p2); }), "invalid transformation mode" + where);
  EXPECT_TRUE(SameBits(t, Transformation::identity()));
  EXPECT_TRUE(message.isEmpty());
}

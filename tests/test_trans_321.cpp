// 3-2-1 alignment: known motions come back in all six modes, the flags select
// the four mirror solutions, the touching circle, and the failure paths with
// the state they leave. ProgError cases: test_trans_plp.cpp.
#include <gtest/gtest.h>

#include <QString>
#include <cmath>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"

using Zem::Transformation;
using Zem::test::SameMatrix;

namespace {

using Vec = Zem::BaVec3d<double>;
using Vecs = std::vector<Vec>;

constexpr double kAlignTol = 1e-9;
// Primary (plane normal), secondary (edge) and tertiary (point) axis of the
// modes ALIGN_ZYX ... ALIGN_XZY; X = 0.
const int kAxes[6][3] = {{2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 0, 2}, {0, 1, 2}, {0, 2, 1}};

double at(const Vec& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

struct Aligned {
  bool ok;
  Transformation t;
  QString message;
  Vec nominal[6], aligned[6];  // three plane points, two edge points, the end point
};

/// Aligns the part placed by truth⁻¹: plane points given as (k, a, b), an
/// edge at a = 3 along b, an end face at b = −2.
Aligned align(int mode, const Vec (&plane)[3], const Transformation& truth, bool planePos, bool dirPos) {
  const Vec kab[6] = {plane[0], plane[1], plane[2], Vec(4, 3, 10), Vec(4, 3, 90), Vec(4, 50, -2)};
  Aligned r{false, Transformation::identity(), "unchanged", {}, {}};
  Vec meas[6];
  for (int n = 0; n < 6; ++n) {
    double* c[3] = {&r.nominal[n].x, &r.nominal[n].y, &r.nominal[n].z};
    *c[kAxes[mode][0]] = kab[n].x, *c[kAxes[mode][1]] = kab[n].y, *c[kAxes[mode][2]] = kab[n].z;
    meas[n] = truth.inverse().transformPoint(r.nominal[n]);
  }
  r.ok = r.t.computeTransformation321(Transformation::TransformMode_t(mode), {meas[0], meas[1], meas[2]},
                                      {kab[0].x, kab[1].x, kab[2].x}, planePos, {meas[3], meas[4]}, {3, 3}, dirPos,
                                      meas[5], -2, r.message);
  for (int n = 0; n < 6; ++n) r.aligned[n] = r.t.transformPoint(meas[n]);
  return r;
}

}  // namespace

TEST(Align321, RecoversKnownMotionsAndTheFlagsSelectTheFourMirrorSolutions) {
  // A flat datum measured in place is degenerate and takes the perturbation.
  const Vec datums[2][3] = {{{5, 5, 10}, {5, 80, 20}, {5, 40, 70}}, {{0, 5, 10}, {5, 80, 20}, {12, 40, 70}}};
  for (int mode = 0; mode < 6; ++mode) {
    const int k = kAxes[mode][0], a = kAxes[mode][1], b = kAxes[mode][2];
    const auto up = [k](const Vec* p) { return at((p[1] - p[0]).cross(p[2] - p[0]), k) >= 0; };
    for (const auto& plane : datums)
      for (const Transformation& truth : Zem::test::rigidMotions(321, 40))
        for (const bool pp : {true, false})
          for (const bool dp : {true, false}) {
            const Aligned r = align(mode, plane, truth, pp, dp);
            double off = std::fabs(at(r.aligned[5] - r.nominal[5], b));
            for (int n = 0; n < 5; ++n) off += std::fabs(at(r.aligned[n] - r.nominal[n], n < 3 ? k : a));
            ASSERT_TRUE(r.ok && r.message.isEmpty() && off < kAlignTol && up(r.aligned) == pp &&
                        (at(r.aligned[4] - r.aligned[3], b) >= 0) == dp)
                << "mode " << mode << " flags " << pp << dp << " off " << off;
            if (pp == up(r.nominal) && dp) {
              ASSERT_TRUE(SameMatrix(r.t, truth, kAlignTol)) << "mode " << mode;
            }
          }
  }
}

TEST(Align321, CircleTouchingTheHeightTurnsTheThirdPlanePointOntoIt) {
  // A vertical datum: the circle of P2 about P0P1 touches its height at the
  // top, where both mirror solutions meet; rounding leaves it a few ulps
  // above or below.
  const Vec vertical[3] = {{0, 0, 0}, {3, 0, 10}, {10, 0, 3}};
  for (int n = 0; n < 24; ++n) {
    const Transformation truth(Vec(20, 30, -5), Vec(0.3 + 0.1 * n, -0.5, 0.8), 1.0);
    EXPECT_TRUE(SameMatrix(align(0, vertical, truth, n % 2, true).t, truth, kAlignTol)) << n;
  }
}

TEST(Align321, GeometricFailuresKeepTheStepsDoneBefore) {
  // Mode ZYX, measured in place.
  const Transformation tilt(Vec(), Vec(0.3, 0.2, 0.0), 1.0);
  const Vecs side10{Vec(), tilt.transformPoint(Vec(10, 0, 0)), tilt.transformPoint(Vec(5, 5 * std::sqrt(3.0), 0))};
  const Vecs datum{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, edge{Vec(10, 3, 4), Vec(90, 3, 4)};
  Transformation fourTurns = Transformation::identity();
  for (int n = 0; n < 4; ++n) fourTurns.append(Transformation(Vec(), Vec(0.17, 0.17, 0.17), 1.0));
  enum Left { kIdentity, kPerturbed, kTwoHeights, kPlane, kPlaneAndShift };
  const struct {
    Vecs plane;
    std::vector<double> pv;
    Vecs dir;
    std::vector<double> dv;
    Left left;
  } cases[] = {
      {datum, {0, 80, 12}, edge, {3, 3}, kIdentity},                          // heights farther apart than points
      {{Vec(), Vec(), Vec(10, 10, 1)}, {0, 0, 1}, edge, {3, 3}, kPerturbed},  // coinciding plane points
      {side10, {0, 9, 9}, edge, {3, 3}, kTwoHeights},                         // circle of P2 below its height
      {datum, {0, 5, 12}, edge, {0, 200}, kPlane},                            // edge values farther apart
      {datum, {0, 5, 12}, {edge[0], Vec(11, 3, 60)}, {0, 5}, kPlaneAndShift},  // edge too short across
      {datum, {0, 5, 12}, {edge[0], Vec(10, 3, 60)}, {0, 0}, kPlaneAndShift},  // edge along the normal
  };
  for (const auto& c : cases) {
    Transformation t(Vec(1, 2, 3), Vec(0.1, 0.2, 0.3), 1.25);
    QString message = "unchanged";
    EXPECT_FALSE(t.computeTransformation321(Transformation::ALIGN_ZYX, c.plane, c.pv, true, c.dir, c.dv, true, Vec(),
                                            0, message));
    const double h01 = std::fabs(t.transformZ(c.plane[0]) - c.pv[0]) + std::fabs(t.transformZ(c.plane[1]) - c.pv[1]);
    const double h2 = std::fabs(t.transformZ(c.plane[2]) - c.pv[2]), a0 = std::fabs(t.transformY(c.dir[0]) - c.dv[0]);
    const bool left[] = {bool(Zem::test::SameBits(t, Transformation::identity())),
                         bool(SameMatrix(t, fourTurns, 1e-15)), h01 < kAlignTol && h2 > 0.5,
                         h01 + h2 < kAlignTol && a0 > 1, h01 + h2 + a0 < kAlignTol};
    EXPECT_TRUE(left[c.left] && message.isEmpty()) << "case " << c.left << ": off " << h01 << " " << h2 << " " << a0;
  }
}

// 3-2-1 and plane-line-point alignment: known motions come back in all six
// modes of each, the 3-2-1 flags select the mirror solutions, each
// plane-line-point mode keeps its first feature and adjusts the others, and
// the failure paths leave matrix, message and partial results as documented.
#include <Eigen/Geometry>
#include <QString>
#include <limits>

#include "test_util.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using Vec = BaVec3d<double>;
using Vecs = std::vector<Vec>;

constexpr double kAlignTol = 1e-9;
// Primary (plane normal), secondary (edge) and tertiary (point) axis of the
// 3-2-1 modes ALIGN_ZYX ... ALIGN_XZY; X = 0.
const int kAxes[6][3] = {{2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 0, 2}, {0, 1, 2}, {0, 2, 1}};

double at(const Vec& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

struct Side { Plane3d plane; Line3d line; Vec point; };
// Inconsistent on purpose: the line leaves the plane, the point lies on neither.
const Side kSource{Plane3d(0.1, -0.2, 1.0, -3.0), Line3d(Vec(1, 2, 5), Vec(2, 0.5, 0.7)), Vec(4, -3, 9)};
// A frame's own features: the plane z = 0, the X axis, the origin.
const Side kFrame{Plane3d(0, 0, 1, 0), Line3d(Vec(), Vec(1, 0, 0)), Vec()};

Side moved(const Side& s, const Transformation& t) {
  return {Plane3d(t.rotateVector(s.plane.getNormal()), t.transformPoint(s.plane.getPointOnPlane())),
          Line3d(t.transformPoint(s.line.p), t.rotateVector(s.line.d)), t.transformPoint(s.point)};
}

bool alignPLP(Transformation& t, int mode, const Side& src, const Side& ref, QString* message = nullptr) {
  return t.computeTransformationPlaneLinePoint(Transformation::TrafoPLPMode_t(mode), src.plane, ref.plane, src.line,
                                               ref.line, src.point, ref.point, message);
}

}  // namespace

TEST(Alignment, KnownMotionsComeBackInEveryModeAndTheFlagsSelectTheMirrorSolutions) {
  // 3-2-1: the part placed by truth⁻¹ has its plane points given as (k, a, b)
  // (a flat datum measured in place is degenerate and takes the perturbation;
  // on a vertical one the circle of P2 about P0P1 just touches its height,
  // where both mirror solutions meet), an edge at a = 3 along b and an end
  // face at b = −2. Plane-line-point: modes 2 and 3 are one.
  const Vec datums[3][3] = {{{5, 5, 10}, {5, 80, 20}, {5, 40, 70}},
                            {{0, 5, 10}, {5, 80, 20}, {12, 40, 70}},
                            {{0, 0, 0}, {3, 0, 10}, {10, 0, 3}}};
  for (int mode = 0; mode < 6; ++mode) {
    const int k = kAxes[mode][0], a = kAxes[mode][1], b = kAxes[mode][2];
    const auto up = [k](const Vec* p) { return at((p[1] - p[0]).cross(p[2] - p[0]), k) >= 0; };
    for (const Transformation& truth : rigidMotions(321, 40)) {
      Transformation plp = kUntouched, twin;
      ASSERT_TRUE(alignPLP(plp, mode, kSource, moved(kSource, truth)) && SameMatrix(plp, truth, kAlignTol)) << mode;
      ASSERT_TRUE(mode != 2 || (alignPLP(twin, 3, kSource, moved(kSource, truth)) && SameBits(plp, twin)));
      for (const auto& plane : datums) {
        const bool touching = &plane == &datums[2];  // one solution for both plane flags
        const Vec kab[6] = {plane[0], plane[1], plane[2], Vec(4, 3, 10), Vec(4, 3, 90), Vec(4, 50, -2)};
        Vec nominal[6], meas[6], r[6];  // three plane points, two edge points, the end point
        for (int n = 0; n < 6; ++n) {
          double* c[3] = {&nominal[n].x, &nominal[n].y, &nominal[n].z};
          *c[k] = kab[n].x, *c[a] = kab[n].y, *c[b] = kab[n].z;
          meas[n] = truth.inverse().transformPoint(nominal[n]);
        }
        for (const bool pp : {true, false})
          for (const bool dp : {true, false}) {
            Transformation t;
            QString message = "unchanged";
            ASSERT_TRUE(t.computeTransformation321(Transformation::TransformMode_t(mode), {meas[0], meas[1], meas[2]},
                                                   {kab[0].x, kab[1].x, kab[2].x}, pp, {meas[3], meas[4]}, {3, 3}, dp,
                                                   meas[5], -2, message) && message.isEmpty());
            for (int n = 0; n < 6; ++n) r[n] = t.transformPoint(meas[n]);
            double off = 0.0;  // from the nominal values: heights of the plane points, edge points along a, end along b
            for (int n = 0; n < 6; ++n) off += std::fabs(at(r[n] - nominal[n], n < 3 ? k : n < 5 ? a : b));
            ASSERT_TRUE(off < kAlignTol && (touching || up(r) == pp) && (at(r[4] - r[3], b) >= 0) == dp)
                << "mode " << mode << " datum " << &plane - datums << " flags " << pp << dp << " off " << off;
            ASSERT_TRUE(!dp || !(touching || pp == up(nominal)) || SameMatrix(t, truth, kAlignTol)) << mode;
          }
      }
    }
  }
}

TEST(Alignment, Failing321KeepsTheStepsDoneBefore) {
  // Mode ZYX, measured in place.
  const Transformation tilt(Vec(), Vec(0.3, 0.2, 0.0), 1.0);
  const Vecs side10{Vec(), tilt.transformPoint(Vec(10, 0, 0)), tilt.transformPoint(Vec(5, 5 * std::sqrt(3.0), 0))};
  const Vecs datum{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, edge{Vec(10, 3, 4), Vec(90, 3, 4)};
  Transformation fourTurns = Transformation::identity();
  for (int n = 0; n < 4; ++n) fourTurns.append(Transformation(Vec(), Vec(0.17, 0.17, 0.17), 1.0));
  enum Left { kIdentity, kPerturbed, kTwoHeights, kPlane, kPlaneAndShift };
  const struct { Vecs plane; std::vector<double> pv; Vecs dir; std::vector<double> dv; Left left; } cases[] = {
      {datum, {0, 80, 12}, edge, {3, 3}, kIdentity},                          // heights farther apart than points
      {{Vec(), Vec(), Vec(10, 10, 1)}, {0, 0, 1}, edge, {3, 3}, kPerturbed},  // coinciding plane points
      {side10, {0, 9, 9}, edge, {3, 3}, kTwoHeights},                         // circle of P2 below its height
      {datum, {0, 5, 12}, edge, {0, 200}, kPlane},                            // edge values farther apart
      {datum, {0, 5, 12}, {edge[0], Vec(11, 3, 60)}, {0, 5}, kPlaneAndShift},  // edge too short across
      {datum, {0, 5, 12}, {edge[0], Vec(10, 3, 60)}, {0, 0}, kPlaneAndShift},  // edge along the normal
  };
  for (const auto& c : cases) {
    Transformation t = kUntouched;
    QString message = "unchanged";
    EXPECT_FALSE(t.computeTransformation321(Transformation::ALIGN_ZYX, c.plane, c.pv, true, c.dir, c.dv, true, Vec(),
                                            0, message));
    const double h01 = std::fabs(t.transformZ(c.plane[0]) - c.pv[0]) + std::fabs(t.transformZ(c.plane[1]) - c.pv[1]);
    const double h2 = std::fabs(t.transformZ(c.plane[2]) - c.pv[2]), a0 = std::fabs(t.transformY(c.dir[0]) - c.dv[0]);
    const bool left[] = {bool(SameBits(t, Transformation::identity())), bool(SameMatrix(t, fourTurns, 1e-15)),
                         h01 < kAlignTol && h2 > 0.5, h01 + h2 < kAlignTol && a0 > 1, h01 + h2 + a0 < kAlignTol};
    EXPECT_TRUE(left[c.left] && message.isEmpty()) << "case " << c.left << ": off " << h01 << " " << h2 << " " << a0;
  }
}

TEST(Alignment, NonFinite321InputFailsWithTheIdentityAndAnEmptyMessage) {
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

TEST(Alignment, PlaneLinePointKeepsTheFirstFeatureAndAdjustsTheOthers) {
  // Source probes and where the source frame puts them (NaN: any value).
  const double any = std::numeric_limits<double>::quiet_NaN();
  const Vec p = kSource.point, pd = p + kSource.line.d, l0 = kSource.line.p, l1 = l0 + kSource.line.d;
  const Vec q0 = kSource.plane.getPointOnPlane(), q1 = kSource.plane.perpend(Vec(10, -7, 3));
  const double h = -kSource.plane.evaluate(p) / kSource.plane.getNormal().length();
  const struct { int mode; Vec probe, image; } cases[] = {
      {0, q0, {any, any, 0}}, {0, l1, {any, 0, any}}, {0, p, {0, any, any}},  // line projected, point moved across it
      {1, q1, {any, any, 0}}, {1, p, {0, 0, any}}, {1, pd, {any, 0, any}},    // point projected, line through it
      {2, l0, {any, 0, 0}},   {2, l1, {any, 0, 0}}, {2, p, {0, any, any}},    // line kept, point moved onto it
      {4, p, {0, 0, 0}},      {4, q1, {any, any, h}}, {4, pd, {any, 0, any}}, // plane moved through the point
      {5, p, {0, 0, 0}},      {5, pd, {kSource.line.d.length(), 0, 0}},       // line moved through the point
  };
  const Transformation truth(Vec(30, -4, 11), Vec(0.7, -1.2, 2.5), 1.0);
  for (const auto& c : cases) {
    Transformation t;
    ASSERT_TRUE(alignPLP(t, c.mode, kSource, moved(kFrame, truth)));
    const Vec d = truth.inverse().transformPoint(t.transformPoint(c.probe)) - c.image;
    const auto near = [](double diff) { return std::isnan(diff) || std::fabs(diff) < 1e-9; };  // NaN: any value
    EXPECT_TRUE(near(d.x) && near(d.y) && near(d.z)) << "mode " << c.mode << " probe " << c.probe << " off " << d;
  }
}

TEST(Alignment, PlaneLinePointMatchesAnIndependentFrameFarAwayForAnyDirectionLength) {
  // Each side's frame in long double (Eigen): Z the unit normal and X the
  // direction projected into the plane (modes 0, 1, 4), or X the direction and
  // Z the normal's part across it (2, 3, 5); good to eps over the sine of the
  // line's angle to the normal. Lines far away or short once lost their
  // direction. In mode 0 the source plane lands on the reference plane.
  using Vl = Eigen::Matrix<long double, 3, 1>;
  using Ml = Eigen::Matrix<long double, 3, 3>;
  const auto frame = [](const Side& s, bool planeFirst) {
    const Vl n = Vl(s.plane.a, s.plane.b, s.plane.c).normalized();
    const Vl d = Vl(s.line.d.x, s.line.d.y, s.line.d.z).normalized();
    const Vl x = planeFirst ? Vl((d - n * n.dot(d)).normalized()) : d;
    const Vl z = planeFirst ? n : Vl((n - d * d.dot(n)).normalized());
    Ml rows;
    rows << x.transpose(), z.cross(x).transpose(), z.transpose();
    return rows;
  };
  std::mt19937 rng(16);
  std::uniform_real_distribution<double> u(-1, 1), decade(0, 1);
  const auto random = [&] { return Vec(u(rng), u(rng), u(rng)); };
  const double sines[3] = {1.0, 2e-6, 0.0};  // of the line's angle to the normal; 0: random
  const auto sine = [](const Side& s) {
    return s.line.d.cross(s.plane.getNormal()).length() / (s.line.d.length() * s.plane.getNormal().length());
  };
  const auto side = [&](int i) {
    const Vec n = random() * std::pow(10.0, 6 * decade(rng) - 3), across = n.cross(random());
    const Vec p = random() * std::pow(10.0, 7 * decade(rng));
    const double sin = sines[i % 3] ? sines[i % 3] : 0.01 + 0.99 * decade(rng);
    const double length = std::pow(10.0, 18 * decade(rng) - 9);
    const Vec d = (n / n.length() * std::sqrt(1 - sin * sin) + across / across.length() * sin) * length;
    return Side{Plane3d(n, p + random()), Line3d(p, d), p + random() * 100};
  };
  for (int i = 0; i < 6000; ++i) {
    const int mode = i % 6;
    const Side src = side(i / 6), ref = side(i / 6 + 1);
    SCOPED_TRACE("mode " + std::to_string(mode) + ", case " + std::to_string(i));
    Transformation t;
    ASSERT_TRUE(alignPLP(t, mode, src, ref));
    const Ml expected = frame(ref, mode < 2 || mode == 4).transpose() * frame(src, mode < 2 || mode == 4);
    double off = 0.0;
    for (int k = 0; k < 9; ++k)
      off = std::max(off, double(std::fabs(t.getMatrix(k % 3, k / 3) - expected(k / 3, k % 3))));
    EXPECT_LE(off, 2e-15 / std::min(sine(src), sine(ref)));
    if (mode != 0) continue;
    const double reach = std::max(src.line.p.length(), ref.line.p.length()) + 200;
    for (const Vec& q : {src.point, src.point + Vec(100, 0, 0), src.point + Vec(0, 0, 100)}) {
      const Vec onPlane = t.transformPoint(src.plane.perpend(q));
      EXPECT_LE(std::fabs(ref.plane.evaluate(onPlane)) / ref.plane.getNormal().length(), 2e-15 * reach);
    }
  }
}

TEST(Alignment, PlaneLinePointLineWithin1e6RadOfTheNormalFailsSourceFirstInAnyUnit) {
  const QString text[2] = {translate("TransformationPLP_err", "src line is perpendicular to src plane"),
                           translate("TransformationPLP_err", "ref line is perpendicular to ref plane")};
  // 1e-5 rad off the normal is usable, 1e-7 rad is not, whatever the unit of
  // length and the length of the normal.
  const auto side = [](bool perpendicular, double unit, double normal) {
    const double angle = perpendicular ? 1e-7 : 1e-5;
    return Side{Plane3d(0, 0, normal, -normal * unit),
                Line3d(Vec(1, 2, 3) * unit, Vec(std::sin(angle), 0, std::cos(angle)) * unit), Vec(1, 1, 1) * unit};
  };
  for (int mode = 0; mode < 6; ++mode)
    for (const double unit : {1e-9, 1.0, 1e9})
      for (const double normal : {1e-9, 1.0, 1e9})
        for (int perpendicular = 0; perpendicular < 4; ++perpendicular) {  // bit 0: source, bit 1: reference
          const bool srcPerp = perpendicular & 1, fails = perpendicular != 0;
          Transformation t = kUntouched;
          QString message = "unchanged";
          const Side src = side(srcPerp, unit, normal), ref = side(perpendicular & 2, unit, normal);
          EXPECT_EQ(alignPLP(t, mode, src, ref, nullptr) || alignPLP(t, mode, src, ref, &message), !fails);
          EXPECT_TRUE(message == (fails ? text[srcPerp ? 0 : 1] : "unchanged") && (!fails || SameBits(t, kUntouched)))
              << mode << " " << unit << " " << normal << " " << perpendicular;
        }
}

TEST(Alignment, PreconditionsThrowProgError) {
  Transformation t = kUntouched;
  QString msg = "unchanged";
  const std::string plp = "|Zem::Transformation::computeTransformationPlaneLinePoint|math_trans_plp";
  const std::string s321 = "|Zem::Transformation::computeTransformation321|math_trans_321";
  const Side flat{Plane3d(0, 0, 0, 1), kSource.line, kSource.point};
  EXPECT_EQ(progErrorOf([&] { alignPLP(t, -1, kSource, kFrame, &msg); }), "invalid transformation mode" + plp);
  EXPECT_EQ(progErrorOf([&] { alignPLP(t, 6, kSource, kFrame, &msg); }), "invalid transformation mode" + plp);
  EXPECT_EQ(progErrorOf([&] { alignPLP(t, 3, kSource, flat, &msg); }), "Plane normal could not be normalized!" + plp);
  const Vecs p3{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, p2{p3[0], p3[1]};
  const auto a321 = [&](int mode, const Vecs& plane, const Vecs& dir) {
    t.computeTransformation321(Transformation::TransformMode_t(mode), plane, {0, 5, 12}, true, dir,
                               std::vector<double>(dir.size(), 3.0), true, Vec(), 0, msg);
  };
  EXPECT_EQ(progErrorOf([&] { a321(0, p2, p3); }), "Wrong size for plane or plane_v!" + s321);  // plane tested first
  EXPECT_EQ(progErrorOf([&] { a321(0, p3, p3); }), "Wrong size for dir or dir_v!" + s321);
  EXPECT_TRUE(SameBits(t, kUntouched) && msg == "unchanged");
  EXPECT_EQ(progErrorOf([&] { a321(6, p3, p2); }), "invalid transformation mode" + s321);
  t = kUntouched, msg = "unchanged";
  EXPECT_EQ(progErrorOf([&] { a321(-1, p3, p2); }), "invalid transformation mode" + s321);
  EXPECT_TRUE(SameBits(t, Transformation::identity()) && msg.isEmpty());  // the mode is tested after the reset
}

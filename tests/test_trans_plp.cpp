// Plane-line-point alignment (math_trans_plp.cpp): known motions come back in
// all six modes, each mode keeps its first feature and adjusts the others, it
// matches an independent frame far away, and the failure paths leave matrix
// and message as documented.
#include "test_util.h"
#include "zem_math.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using Vec = BaVec3d<double>;
using Mode = Transformation::TrafoPLPMode_t;

// planeFirst: the frame's Z is the plane's normal (else its X is the line).
struct NamedMode { Mode mode; const char* name; bool planeFirst; };
const NamedMode kModes[] = {{Transformation::PLP_PLANE_LINE_POINT, "plane-line-point", true},
                            {Transformation::PLP_PLANE_POINT_LINE, "plane-point-line", true},
                            {Transformation::PLP_LINE_PLANE_POINT, "line-plane-point", false},
                            {Transformation::PLP_LINE_POINT_PLANE, "line-point-plane", false},
                            {Transformation::PLP_POINT_PLANE_LINE, "point-plane-line", true},
                            {Transformation::PLP_POINT_LINE_PLANE, "point-line-plane", false}};

struct Side { Plane3d plane; Line3d line; Vec point; };
// Inconsistent on purpose: the line leaves the plane, the point lies on neither.
const Side kSource{Plane3d(0.1, -0.2, 1.0, -3.0), Line3d(Vec(1, 2, 5), Vec(2, 0.5, 0.7)), Vec(4, -3, 9)};
// A frame's own features: the plane z = 0, the X axis, the origin.
const Side kFrame{Plane3d(0, 0, 1, 0), Line3d(Vec(), Vec(1, 0, 0)), Vec()};

Side moved(const Side& s, const Transformation& t) {
  return {Plane3d(t.rotateVector(s.plane.getNormal()), t.transformPoint(s.plane.getPointOnPlane())),
          Line3d(t.transformPoint(s.line.p), t.rotateVector(s.line.d)), t.transformPoint(s.point)};
}

bool alignPLP(Transformation& t, Mode mode, const Side& src, const Side& ref, QString* message = nullptr) {
  return t.computeTransformationPlaneLinePoint(mode, src.plane, ref.plane, src.line, ref.line, src.point, ref.point,
                                               message);
}

/// Each component of `off` within 1e-9 of zero, except those where `expected` is NaN (any value).
::testing::AssertionResult NearWhereGiven(const Vec& got, const Vec& expected) {
  const Vec d = got - expected;
  for (const auto& [name, diff] : {std::pair("x", d.x), std::pair("y", d.y), std::pair("z", d.z)})
    if (!std::isnan(diff) && !(std::fabs(diff) < 1e-9))
      return ::testing::AssertionFailure() << name << " off by " << diff << " in " << got << " vs " << expected;
  return ::testing::AssertionSuccess();
}

}  // namespace

// Modes 2 and 3 are one.
TEST(AlignmentPlp, KnownMotionsComeBackInEveryMode) {
  for (const NamedMode& m : kModes)
    for (const Transformation& truth : rigidMotions(321, 40)) {
      SCOPED_TRACE(m.name);
      Transformation t = kUntouched;
      ASSERT_TRUE(alignPLP(t, m.mode, kSource, moved(kSource, truth)));
      ASSERT_TRUE(SameMatrix(t, truth, 1e-9));
      if (m.mode == Transformation::PLP_LINE_PLANE_POINT) {
        Transformation twin;
        ASSERT_TRUE(alignPLP(twin, Transformation::PLP_LINE_POINT_PLANE, kSource, moved(kSource, truth)));
        ASSERT_TRUE(SameBits(t, twin));
      }
    }
}

// Source probes and where the source frame puts them (NaN: any value).
TEST(AlignmentPlp, EachModeKeepsTheFirstFeatureAndAdjustsTheOthers) {
  const double any = std::numeric_limits<double>::quiet_NaN();
  const Vec p = kSource.point, pd = p + kSource.line.d, l0 = kSource.line.p, l1 = l0 + kSource.line.d;
  const Vec q0 = kSource.plane.getPointOnPlane(), q1 = kSource.plane.perpend(Vec(10, -7, 3));
  const double h = -kSource.plane.evaluate(p) / kSource.plane.getNormal().length();
  const struct { const char* name; Mode mode; Vec probe, image; } cases[] = {
      {"line projected: plane point", Transformation::PLP_PLANE_LINE_POINT, q0, {any, any, 0}},
      {"line projected: line point", Transformation::PLP_PLANE_LINE_POINT, l1, {any, 0, any}},
      {"line projected: point moved across it", Transformation::PLP_PLANE_LINE_POINT, p, {0, any, any}},
      {"point projected: plane point", Transformation::PLP_PLANE_POINT_LINE, q1, {any, any, 0}},
      {"point projected: point", Transformation::PLP_PLANE_POINT_LINE, p, {0, 0, any}},
      {"point projected: line through it", Transformation::PLP_PLANE_POINT_LINE, pd, {any, 0, any}},
      {"line kept: its start", Transformation::PLP_LINE_PLANE_POINT, l0, {any, 0, 0}},
      {"line kept: its end", Transformation::PLP_LINE_PLANE_POINT, l1, {any, 0, 0}},
      {"line kept: point moved onto it", Transformation::PLP_LINE_PLANE_POINT, p, {0, any, any}},
      {"plane through the point: point", Transformation::PLP_POINT_PLANE_LINE, p, {0, 0, 0}},
      {"plane through the point: plane point", Transformation::PLP_POINT_PLANE_LINE, q1, {any, any, h}},
      {"plane through the point: line", Transformation::PLP_POINT_PLANE_LINE, pd, {any, 0, any}},
      {"line through the point: point", Transformation::PLP_POINT_LINE_PLANE, p, {0, 0, 0}},
      {"line through the point: line", Transformation::PLP_POINT_LINE_PLANE, pd, {kSource.line.d.length(), 0, 0}}};
  const Transformation truth(Vec(30, -4, 11), Vec(0.7, -1.2, 2.5), 1.0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Transformation t;
    ASSERT_TRUE(alignPLP(t, c.mode, kSource, moved(kFrame, truth)));
    EXPECT_TRUE(NearWhereGiven(truth.inverse().transformPoint(t.transformPoint(c.probe)), c.image));
  }
}

// Each side's frame in long double (Eigen): Z the unit normal and X the
// direction projected into the plane (plane first), or X the direction and Z
// the normal's part across it; good to eps over the sine of the line's angle
// to the normal. Lines far away or short once lost their direction. With the
// plane first and the line second the source plane lands on the reference
// plane.
TEST(AlignmentPlp, MatchesAnIndependentFrameFarAwayForAnyDirectionLength) {
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
  const auto sine = [](const Side& s) {
    return s.line.d.cross(s.plane.getNormal()).length() / (s.line.d.length() * s.plane.getNormal().length());
  };
  // A random side whose line makes the angle of sine `sin` with the normal (0: a random one).
  const auto side = [&](double sin) {
    const Vec n = random() * std::pow(10.0, 6 * decade(rng) - 3), across = n.cross(random());
    const Vec p = random() * std::pow(10.0, 7 * decade(rng));
    const double s = sin != 0.0 ? sin : 0.01 + 0.99 * decade(rng);
    const double length = std::pow(10.0, 18 * decade(rng) - 9);
    const Vec d = (n / n.length() * std::sqrt(1 - s * s) + across / across.length() * s) * length;
    return Side{Plane3d(n, p + random()), Line3d(p, d), p + random() * 100};
  };
  const struct { const char* name; double src, ref; } sines[] = {
      {"across, nearly along", 1.0, 2e-6}, {"nearly along, random", 2e-6, 0.0}, {"random, across", 0.0, 1.0}};
  for (int trial = 0; trial < 333; ++trial)
    for (const auto& pair : sines)
      for (const NamedMode& m : kModes) {
        const Side src = side(pair.src), ref = side(pair.ref);
        SCOPED_TRACE(testing::Message() << m.name << ", sines " << pair.name << ", trial " << trial);
        Transformation t;
        ASSERT_TRUE(alignPLP(t, m.mode, src, ref));
        const Ml expected = frame(ref, m.planeFirst).transpose() * frame(src, m.planeFirst);
        EXPECT_TRUE(SameElements(toEigen(t).topLeftCorner<3, 3>(), expected, 2e-15 / std::min(sine(src), sine(ref))));
        if (m.mode != Transformation::PLP_PLANE_LINE_POINT) continue;
        const double reach = std::max(src.line.p.length(), ref.line.p.length()) + 200;
        for (const Vec& q : {src.point, src.point + Vec(100, 0, 0), src.point + Vec(0, 0, 100)}) {
          const Vec onPlane = t.transformPoint(src.plane.perpend(q));
          EXPECT_LE(std::fabs(ref.plane.evaluate(onPlane)) / ref.plane.getNormal().length(), 2e-15 * reach);
        }
      }
}

// 1e-5 rad off the normal is usable, 1e-7 rad is not, whatever the unit of
// length and the length of the normal; the source is named first. A failure
// leaves the matrix untouched; a success gives the matrix of the call without
// a message.
TEST(AlignmentPlp, LineWithin1e6RadOfTheNormalFailsSourceFirstInAnyUnit) {
  const QString srcText = translate("TransformationPLP_err", "src line is perpendicular to src plane");
  const QString refText = translate("TransformationPLP_err", "ref line is perpendicular to ref plane");
  const auto side = [](bool perpendicular, double unit, double normal) {
    const double angle = perpendicular ? 1e-7 : 1e-5;
    return Side{Plane3d(0, 0, normal, -normal * unit),
                Line3d(Vec(1, 2, 3) * unit, Vec(std::sin(angle), 0, std::cos(angle)) * unit), Vec(1, 1, 1) * unit};
  };
  for (const NamedMode& m : kModes)
    for (const double unit : {1e-9, 1.0, 1e9})
      for (const double normal : {1e-9, 1.0, 1e9})
        for (const bool srcPerpendicular : {false, true})
          for (const bool refPerpendicular : {false, true}) {
            SCOPED_TRACE(testing::Message() << m.name << ", unit " << unit << ", normal " << normal << ", src "
                                            << srcPerpendicular << ", ref " << refPerpendicular);
            const bool fails = srcPerpendicular || refPerpendicular;
            const Side src = side(srcPerpendicular, unit, normal), ref = side(refPerpendicular, unit, normal);
            Transformation withoutMessage = kUntouched, t = kUntouched;
            QString message = "unchanged";
            EXPECT_EQ(alignPLP(withoutMessage, m.mode, src, ref, nullptr), !fails);
            EXPECT_EQ(alignPLP(t, m.mode, src, ref, &message), !fails);
            EXPECT_EQ(message, !fails ? QString("unchanged") : srcPerpendicular ? srcText : refText);
            EXPECT_TRUE(SameBits(t, fails ? kUntouched : withoutMessage));
          }
}

TEST(AlignmentPlp, PreconditionsThrowProgError) {
  Transformation t = kUntouched;
  QString message = "unchanged";
  const std::string where = "|Zem::Transformation::computeTransformationPlaneLinePoint|math_trans_plp";
  const Side flat{Plane3d(0, 0, 0, 1), kSource.line, kSource.point};
  // 6: not a mode, but a value the enumeration can hold
  EXPECT_EQ(progErrorOf([&] { alignPLP(t, Mode(6), kSource, kFrame, &message); }),
            "invalid transformation mode" + where);
  EXPECT_EQ(progErrorOf([&] { alignPLP(t, Transformation::PLP_LINE_POINT_PLANE, kSource, flat, &message); }),
            "Plane normal could not be normalized!" + where);
}

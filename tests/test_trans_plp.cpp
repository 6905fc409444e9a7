// Plane-line-point alignment: known motions come back in all six modes, each
// mode keeps its first feature and adjusts the others, and the failure paths
// leave matrix and message as they were. Also the ProgError cases of the
// 3-2-1 alignment.
#include <gtest/gtest.h>

#include <QString>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_base.h"
#include "zem_math.h"

using Zem::Line3d;
using Zem::Plane3d;
using Zem::Transformation;
using Zem::test::SameBits;

namespace {

using Vec = Zem::BaVec3d<double>;

const Transformation kSentinel(Vec(1.5, -2.5, 3.5), Vec(0.1, 0.2, 0.3), 1.25);

struct Side {
  Plane3d plane;
  Line3d line;
  Vec point;
};
// Inconsistent on purpose: the line leaves the plane, the point lies on neither.
const Side kSource{Plane3d(0.1, -0.2, 1.0, -3.0), Line3d(Vec(1, 2, 5), Vec(2, 0.5, 0.7)), Vec(4, -3, 9)};
// A frame's own features: the plane z = 0, the X axis, the origin.
const Side kFrame{Plane3d(0, 0, 1, 0), Line3d(Vec(), Vec(1, 0, 0)), Vec()};

Side moved(const Side& s, const Transformation& t) {
  return {Plane3d(t.rotateVector(s.plane.getNormal()), t.transformPoint(s.plane.getPointOnPlane())),
          Line3d(t.transformPoint(s.line.p), t.rotateVector(s.line.d)), t.transformPoint(s.point)};
}

bool align(Transformation& t, int mode, const Side& src, const Side& ref, QString* message = nullptr) {
  return t.computeTransformationPlaneLinePoint(Transformation::TrafoPLPMode_t(mode), src.plane, ref.plane, src.line,
                                               ref.line, src.point, ref.point, message);
}

}  // namespace

TEST(PlaneLinePoint, RecoversKnownMotionsInEveryModeModesTwoAndThreeAlike) {
  for (int mode = 0; mode < 6; ++mode)
    for (const Transformation& truth : Zem::test::rigidMotions(6, 40)) {
      Transformation t = kSentinel, twin;
      ASSERT_TRUE(align(t, mode, kSource, moved(kSource, truth)) && Zem::test::SameMatrix(t, truth, 1e-9)) << mode;
      ASSERT_TRUE(mode != 2 || (align(twin, 3, kSource, moved(kSource, truth)) && SameBits(t, twin)));
    }
}

TEST(PlaneLinePoint, FirstFeatureKeptOthersAdjusted) {
  // Source probes and where the source frame puts them (NaN: any value).
  const double any = std::numeric_limits<double>::quiet_NaN();
  const Vec p = kSource.point, pd = p + kSource.line.d, l0 = kSource.line.p, l1 = l0 + kSource.line.d;
  const Vec q0 = kSource.plane.getPointOnPlane(), q1 = kSource.plane.perpend(Vec(10, -7, 3));
  const double h = -kSource.plane.evaluate(p) / kSource.plane.getNormal().length();
  const struct {
    int mode;
    Vec probe, image;
  } cases[] = {
      {0, q0, {any, any, 0}}, {0, l1, {any, 0, any}}, {0, p, {0, any, any}},  // line projected, point moved across it
      {1, q1, {any, any, 0}}, {1, p, {0, 0, any}}, {1, pd, {any, 0, any}},    // point projected, line through it
      {2, l0, {any, 0, 0}},   {2, l1, {any, 0, 0}}, {2, p, {0, any, any}},    // line kept, point moved onto it
      {4, p, {0, 0, 0}},      {4, q1, {any, any, h}}, {4, pd, {any, 0, any}}, // plane moved through the point
      {5, p, {0, 0, 0}},      {5, pd, {kSource.line.d.length(), 0, 0}},       // line moved through the point
  };
  const Transformation truth(Vec(30, -4, 11), Vec(0.7, -1.2, 2.5), 1.0);
  for (const auto& c : cases) {
    Transformation t;
    ASSERT_TRUE(align(t, c.mode, kSource, moved(kFrame, truth)));
    const Vec got = truth.inverse().transformPoint(t.transformPoint(c.probe)), d = got - c.image;
    const auto near = [](double diff) { return std::isnan(diff) || std::fabs(diff) < 1e-9; };  // NaN: any value
    EXPECT_TRUE(near(d.x) && near(d.y) && near(d.z)) << "mode " << c.mode << " probe " << c.probe << " image " << got;
  }
}

TEST(PlaneLinePoint, LineWithin1e6RadOfTheNormalFailsSourceFirstInAnyUnit) {
  const QString text[2] = {Zem::translate("TransformationPLP_err", "src line is perpendicular to src plane"),
                           Zem::translate("TransformationPLP_err", "ref line is perpendicular to ref plane")};
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
        for (const bool srcPerp : {false, true})
          for (const bool refPerp : {false, true}) {
            const Side src = side(srcPerp, unit, normal), ref = side(refPerp, unit, normal);
            const bool fails = srcPerp || refPerp;
            Transformation t = kSentinel;
            QString message = "unchanged";
            EXPECT_EQ(align(t, mode, src, ref, nullptr) || align(t, mode, src, ref, &message), !fails);
            EXPECT_EQ(message, fails ? text[srcPerp ? 0 : 1] : "unchanged") << mode << " " << unit << " " << normal;
            EXPECT_TRUE(!fails || SameBits(t, kSentinel));
          }
}

TEST(PlaneLinePointAnd321, PreconditionsThrowProgError) {
  Transformation t = kSentinel;
  QString msg = "unchanged";
  const auto thrown = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const Zem::ProgError& e) {
      return (e.getText() + "|" + e.getFunction() + "|" + e.getFile()).toStdString();
    }
    return std::string("nothing thrown");
  };
  const std::string plp = "|Zem::Transformation::computeTransformationPlaneLinePoint|math_trans_plp";
  const std::string s321 = "|Zem::Transformation::computeTransformation321|math_trans_321";
  const Side flat{Plane3d(0, 0, 0, 1), kSource.line, kSource.point};
  EXPECT_EQ(thrown([&] { align(t, -1, kSource, kFrame, &msg); }), "invalid transformation mode" + plp);
  EXPECT_EQ(thrown([&] { align(t, 6, kSource, kFrame, &msg); }), "invalid transformation mode" + plp);
  EXPECT_EQ(thrown([&] { align(t, 3, kSource, flat, &msg); }), "Plane normal could not be normalized!" + plp);
  const std::vector<Vec> p3{Vec(5, 10, 0), Vec(80, 20, 5), Vec(40, 70, 12)}, p2{p3[0], p3[1]};
  const auto a321 = [&](int mode, const std::vector<Vec>& plane, const std::vector<Vec>& dir) {
    t.computeTransformation321(Transformation::TransformMode_t(mode), plane, {0, 5, 12}, true, dir,
                               std::vector<double>(dir.size(), 3.0), true, Vec(), 0, msg);
  };
  EXPECT_EQ(thrown([&] { a321(0, p2, p3); }), "Wrong size for plane or plane_v!" + s321);  // plane tested first
  EXPECT_EQ(thrown([&] { a321(0, p3, p3); }), "Wrong size for dir or dir_v!" + s321);
  EXPECT_TRUE(SameBits(t, kSentinel) && msg == "unchanged");
  EXPECT_EQ(thrown([&] { a321(6, p3, p2); }), "invalid transformation mode" + s321);
  t = kSentinel, msg = "unchanged";
  EXPECT_EQ(thrown([&] { a321(-1, p3, p2); }), "invalid transformation mode" + s321);
  EXPECT_TRUE(SameBits(t, Transformation::identity()) && msg.isEmpty());  // the mode is tested after the reset
}

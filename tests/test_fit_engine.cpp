// The best fit proper: the least-squares optimum against Eigen's closed-form
// solution, orientations at the angle singularity, what makes a problem
// determined, and the weighted optimum.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "fit_test_util.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using Vec = BaVec3d<double>;

/// One kind of problem: the angles of the motion, how many points, where.
struct Kind {
  const char* name;
  double angleX;  ///< the angle about X of the motion (the others are fixed)
  std::size_t points;
  double extent;  ///< mm
  Vec origin;
};

const Kind kKinds[] = {
    {"general", 0.4, 25, 300.0, Vec(-120, 40, 300)},
    {"about X at +pi/2", kPi / 2, 25, 300.0, Vec(-120, 40, 300)},
    {"about X at -pi/2", -kPi / 2, 25, 300.0, Vec(-120, 40, 300)},
    {"about X 1e-7 below pi/2", kPi / 2 - 1e-7, 25, 300.0, Vec(-120, 40, 300)},
    {"about X 5e-8 above -pi/2", -kPi / 2 + 5e-8, 25, 300.0, Vec(-120, 40, 300)},
    {"three points", 1.0, 3, 300.0, Vec(0, 0, 0)},
    {"small part far from the origin", -0.7, 12, 20.0, Vec(8000, -6000, 3000)},
};

}  // namespace

TEST(FitEngine, UnitWeightsGiveEigensClosedFormSolution) {
  std::mt19937 rng(20261206);
  for (const Kind& kind : kKinds)
    for (bool withScale : {false, true})
      for (double noise : {0.0, 0.01}) {
        SCOPED_TRACE(std::string(kind.name) + (withScale ? ", scaled" : ", rigid") +
                     (noise > 0.0 ? ", noisy" : ", exact"));
        const Points src = randomPoints(rng, kind.points, kind.extent, kind.origin);
        const Transformation truth(Vec(30, -500, 250), Vec(kind.angleX, 2.0, -2.5), withScale ? 1.7 : 1.0);
        const Points dst = moved(src, truth, rng, noise);
        Transformation fit = kUntouched;
        const double residual = fit.computeTransformationNoId(src, dst, withScale);
        ASSERT_GE(residual, 0.0);
        EXPECT_TRUE(SameImages(fit, umeyamaOf(src, dst, withScale), src, 1e-9));
        double sum = 0.0;
        for (std::size_t i = 0; i < src.size(); ++i) sum += (image(fit, src[i]) - dst[i]).length();
        EXPECT_NEAR(residual, sum / double(src.size()), 1e-12);  // the mean distance
        if (noise == 0.0) {
          EXPECT_TRUE(SameImages(fit, truth, src, 1e-9));
        }
        if (!withScale) {
          EXPECT_EQ(fit.getScale(), 1.0);
        }
      }
}

TEST(FitEngine, DeterminacyDependsOnlyOnTheGeometryOfTheWeightedPairs) {
  // Noise-free data of a known motion: fitted and reproduced to 1e-9 mm
  // whatever a common weight factor, tiny per-axis weights, pairs of weight 0
  // (anywhere, with any destination), the units or the position; refused,
  // leaving the matrix as it was, when the weighted points lie on one line
  // (the turn about it is free) or at one point.
  std::mt19937 rng(23);
  const Vec along = Vec(2, -1, 3) / std::sqrt(14.0), off = Vec(1, 2, 0) / std::sqrt(5.0), corner(-3e4, 5e3, 120);
  const Points spread = randomPoints(rng, 10, 400.0, Vec(-200, 50, -300));
  const Points thin = {Point(corner, 0), Point(corner + along * 1000.0, 1),
                       Point(corner + along * 2000.0 + off * 1e-3, 2)};
  Points line, point, thinInMetres;
  for (const Point& p : thin) thinInMetres.push_back(Point(p * 1e-3, p.id));
  for (int i = 0; i < 12; ++i) {
    line.push_back(Point(corner * 100.0 + along * (40.0 * i - 200), i));
    point.push_back(Point(10, -5, 3, i));
  }
  struct Case {
    const char* name;
    const Points& src;
    Vec weight;
    bool determined;
    bool zeroWeightPairFarOff;
  };
  const Case cases[] = {{"thin triangle", thin, Vec(1, 1, 1), true, false},
                        {"thin triangle in metres", thinInMetres, Vec(1, 1, 1), true, false},
                        {"weight 0 pair far off", spread, Vec(1, 1, 1), true, true},
                        {"x weights 1e-12", spread, Vec(1e-12, 1, 1), true, false},
                        {"weights times 1e-160", spread, Vec(1, 2, 3) * 1e-160, true, false},
                        {"weights times 1e160", spread, Vec(1, 2, 3) * 1e160, true, false},
                        {"collinear", line, Vec(1, 1, 1), false, false},
                        {"collinear, weights times 1e160", line, Vec(1, 2, 3) * 1e160, false, false},
                        {"collinear, weight 0 pair off the line", line, Vec(1, 2, 3) * 1e-160, false, true},
                        {"coincident", point, Vec(1, 1, 1), false, false}};
  for (const Case& c : cases)
    for (bool withScale : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (withScale ? ", scaled" : ", rigid"));
      const Transformation truth(Vec(-40, 25, 300), Vec(0.5, 2.0, 1.0), withScale ? 1.7 : 1.0);
      Points src = c.src, dst = moved(src, truth, rng, 0.0), weights;
      if (c.zeroWeightPairFarOff) {
        src.push_back(Point(1e8, 1e8, 1e8, 99));
        dst.push_back(Point(5, -7, 1, 99));
      }
      for (const Point& p : src) weights.push_back(Point(p.id == 99 ? Vec() : c.weight, p.id));
      Transformation fit = kUntouched;
      const double r = fit.computeWeightedTransformation(src, dst, weights, withScale);
      if (c.determined) {
        EXPECT_GE(r, 0.0);
        EXPECT_TRUE(SameImages(fit, truth, c.src, 1e-9));
      } else {
        EXPECT_EQ(r, -1.0);
        EXPECT_TRUE(SameBits(fit, kUntouched));
      }
    }
}

TEST(FitEngine, PerAxisWeightsGiveTheWeightedOptimum) {
  // Per-axis weights (some zero) have no closed form: no small move of any
  // parameter lowers the weighted sum of squares, and the returned value is
  // the mean of |w ∘ (T·p − d)|, where a zero weight removes a coordinate.
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> weight(0.0, 4.0);
  const Points src = randomPoints(rng, 40, 150.0, Vec(-30, 60, 10));
  Points dst = moved(src, Transformation(Vec(9, 8, 7), Vec(1.0, -0.4, 2.0), 1.3), rng, 0.05), weights;
  for (const Point& p : src) weights.push_back(Point(weight(rng), weight(rng), weight(rng), p.id));
  weights[3].x = 0.0;
  weights[17].z = 0.0;
  dst[3].x += 3.0;  // an outlier where it weighs nothing
  const auto cost = [&](const Transformation& t, bool squares) {
    double sum = 0.0;
    for (std::size_t i = 0; i < src.size(); ++i) {
      const Vec d = image(t, src[i]) - dst[i], w(weights[i].x * d.x, weights[i].y * d.y, weights[i].z * d.z);
      sum += squares ? w.x * d.x + w.y * d.y + w.z * d.z : w.length() / double(src.size());
    }
    return sum;
  };
  const char* const names[7] = {"t.x", "t.y", "t.z", "angle x", "angle y", "angle z", "scale"};
  for (bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    Transformation fit = kUntouched;
    const double residual = fit.computeWeightedTransformation(src, dst, weights, withScale);
    ASSERT_GE(residual, 0.0);
    EXPECT_NEAR(residual, cost(fit, false), 1e-12);
    const Vec t = fit.getTranslation(), a = fit.getAngles();
    const double steps[7] = {1e-4, 1e-4, 1e-4, 1e-6, 1e-6, 1e-6, 1e-7};
    for (int k = 0; k < (withScale ? 7 : 6); ++k)
      for (double sign : {-1.0, 1.0}) {
        std::array<double, 7> q = {t.x, t.y, t.z, a.x, a.y, a.z, fit.getScale()};
        q[k] += sign * steps[k];
        const Transformation nearby(Vec(q[0], q[1], q[2]), Vec(q[3], q[4], q[5]), q[6]);
        EXPECT_GE(cost(nearby, true), cost(fit, true) * (1 - 1e-12)) << names[k] << " moved by " << sign * steps[k];
      }
  }
}

// Weighted least-squares best fit of two point sets: agreement with Eigen's
// closed-form solution, orientations at the angle singularity, what makes a
// problem determined, identifier pairing, weights, scale and the failure paths.
#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "test_util.h"
#include "zem_base.h"

using namespace Zem;
using namespace Zem::test;

namespace {

using Vec = BaVec3d<double>;
using Point = BaPoint3d<double>;
using Points = std::vector<Point>;

/// Set to recognisable values, to detect any write.
const Transformation kSentinel(Vec(1.5, -2.5, 3.5), Vec(0.1, 0.2, 0.3), 1.25);

Vec image(const Transformation& t, const Point& p) { return t.transformPoint(static_cast<const Vec&>(p)); }

Points randomPoints(std::mt19937& rng, std::size_t n, double extent, const Vec& origin) {
  std::uniform_real_distribution<double> u(0.0, extent);
  Points pts;
  for (std::size_t i = 0; i < n; ++i) pts.push_back(Point(origin + Vec(u(rng), u(rng), u(rng)), int(i)));
  return pts;
}

/// The images of `src` under `t`, each coordinate off by Gaussian noise of deviation `noise`.
Points moved(const Points& src, const Transformation& t, std::mt19937& rng, double noise) {
  std::normal_distribution<double> g(0.0, noise);
  Points dst;
  for (const Point& p : src)
    dst.push_back(Point(t.transformPoint(p) + (noise > 0 ? Vec(g(rng), g(rng), g(rng)) : Vec()), p.id));
  return dst;
}

}  // namespace

TEST(BestFitOptimum, AgreesWithUmeyamaExactDataReproduced) {
  // The first 28 problems run through angles about X at and next to ±π/2, where
  // the angle parameterisation is one degree of freedom short (the fit must not
  // care), with and without noise; every fourth of the rest is a small set far
  // from the origin.
  const double halfPi = kPi / 2, xs[7] = {0.4, halfPi, -halfPi, halfPi - 1e-7, -halfPi + 1e-7, halfPi - 3e-8,
                                          -halfPi + 5e-8};
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<int> count(3, 60);
  std::uniform_real_distribution<double> shift(-800.0, 800.0), scales(0.3, 3.0), angle(-kPi, kPi);
  for (int trial = 0; trial < 88; ++trial) {
    const bool withScale = trial % 2 == 1, special = trial < 28, far = !special && trial % 4 == 0;
    const double noise = special && trial % 4 < 2 ? 0.0 : 0.01;
    const Points src = randomPoints(rng, special ? 25 : std::size_t(count(rng)), far ? 20.0 : 300.0,
                                    Vec(shift(rng), shift(rng), shift(rng)) * (far ? 10.0 : 1.0));
    const Transformation truth(Vec(shift(rng), shift(rng), shift(rng)),
                               Vec(special ? xs[trial / 4] : angle(rng) / 2, angle(rng), angle(rng)),
                               withScale ? (special ? 2.0 : scales(rng)) : 1.0);
    const Points dst = moved(src, truth, rng, noise);
    Transformation fit = kSentinel, byId = kSentinel, fixed = kSentinel;
    const double residual = fit.computeTransformationNoId(src, dst, withScale);
    ASSERT_GE(residual, 0.0) << "trial " << trial;
    if (withScale) {  // the scale argument is ignored when the scale is estimated, kept exactly when not
      EXPECT_TRUE(byId.computeTransformation(src, dst, true, 7.0) == residual && SameBits(byId, fit));
      EXPECT_TRUE(fixed.computeTransformation(src, dst, false, truth.getScale()) >= 0.0 &&
                  fixed.getMatrix(3, 3) == 1.0 / truth.getScale() && (noise > 0.0 || SameMatrix(fixed, truth, 1e-10)));
    }
    Eigen::Matrix3Xd a(3, long(src.size())), b(3, long(src.size()));
    double sum = 0.0;
    for (std::size_t i = 0; i < src.size(); ++i) {
      a.col(long(i)) << src[i].x, src[i].y, src[i].z;
      b.col(long(i)) << dst[i].x, dst[i].y, dst[i].z;
      sum += (image(fit, src[i]) - dst[i]).length();
    }
    const Eigen::Matrix4d u = Eigen::umeyama(a, b, withScale);  // p' = u·p: u[r][c] = m[r][c]/m33
    for (unsigned r = 0; r < 3; ++r)
      for (unsigned c = 0; c < 4; ++c)
        EXPECT_NEAR(fit.getMatrix(c, r) / fit.getMatrix(3, 3), u(r, c), 1e-12 * (1e3 + std::fabs(u(r, c))));
    EXPECT_NEAR(residual, sum / double(src.size()), 1e-12) << "trial " << trial;  // the mean distance
    EXPECT_TRUE(withScale || fit.getScale() == 1.0);
    EXPECT_TRUE(noise > 0.0 || SameMatrix(fit, truth, 1e-10)) << "trial " << trial;
  }
}

TEST(BestFitDeterminacy, DependsOnlyOnTheGeometryOfTheWeightedPairs) {
  // Noise-free data of a known motion: fitted and reproduced to 1e-9 mm
  // whatever a common weight factor, tiny per-axis weights, pairs of weight 0
  // (anywhere, with any destination), the units or the position; refused,
  // leaving the matrix as it was, when the weighted points lie on one line
  // (the turn about it is free) or at one point. Unit weights also go through
  // the unweighted entry points.
  std::mt19937 rng(23);
  const Vec along = Vec(2, -1, 3) / std::sqrt(14.0), off = Vec(1, 2, 0) / std::sqrt(5.0), corner(-3e4, 5e3, 120);
  const Points spread = randomPoints(rng, 10, 400.0, Vec(-200, 50, -300));
  Points thin = {Point(corner, 0), Point(corner + along * 1000.0, 1), Point(corner + along * 2000.0 + off * 1e-3, 2)};
  Points line, point, thinInMetres;
  for (const Point& p : thin) thinInMetres.push_back(Point(p * 1e-3, p.id));
  for (int i = 0; i < 12; ++i) {
    line.push_back(Point(corner * 100.0 + along * (40.0 * i - 200), i));
    point.push_back(Point(10, -5, 3, i));
  }
  struct Case { const char* name; const Points& src; Vec weight; bool determined, zeroPairsOff; };
  const Case cases[] = {{"thin triangle", thin, Vec(1, 1, 1), true, false},
                        {"thin triangle in metres", thinInMetres, Vec(1, 1, 1), true, false},
                        {"weight 0 pairs far off", spread, Vec(1, 1, 1), true, true},
                        {"x weights 1e-12", spread, Vec(1e-12, 1, 1), true, false},
                        {"weights times 1e-160", spread, Vec(1, 2, 3) * 1e-160, true, false},
                        {"weights times 1e160", spread, Vec(1, 2, 3) * 1e160, true, false},
                        {"collinear", line, Vec(1, 1, 1), false, false},
                        {"collinear, weights times 1e160", line, Vec(1, 2, 3) * 1e160, false, false},
                        {"collinear, weight 0 pairs off it", line, Vec(1, 2, 3) * 1e-160, false, true},
                        {"coincident", point, Vec(1, 1, 1), false, false}};
  for (const Case& c : cases)
    for (bool withScale : {false, true}) {
      const Transformation truth(Vec(-40, 25, 300), Vec(0.5, 2.0, 1.0), withScale ? 1.7 : 1.0);
      Points src = c.src, dst = moved(src, truth, rng, 0.0), weights;
      if (c.zeroPairsOff) src.push_back(Point(1e8, 1e8, 1e8, 99)), dst.push_back(Point(5, -7, 1, 99));
      for (const Point& p : src) weights.push_back(Point(p.id == 99 ? Vec() : c.weight, p.id));
      const bool unit = c.weight == Vec(1, 1, 1) && !c.zeroPairsOff;
      for (int entry = 0; entry < (unit ? 3 : 1); ++entry) {
        Transformation fit = kSentinel;
        const double r = entry == 0   ? fit.computeWeightedTransformation(src, dst, weights, withScale)
                         : entry == 1 ? fit.computeTransformationNoId(src, dst, withScale)
                                      : fit.computeTransformation(src, dst, withScale);
        double gap = r >= 0.0 ? 0.0 : HUGE_VAL;
        for (std::size_t i = 0; i < c.src.size(); ++i)
          gap = std::max(gap, (image(fit, src[i]) - image(truth, src[i])).length());
        EXPECT_TRUE(c.determined ? gap < 1e-9 : r == -1.0 && SameBits(fit, kSentinel))
            << c.name << ", scale " << withScale << ", entry point " << entry << ", off by " << gap;
      }
    }
}

TEST(BestFitFailures, SizesCountsNonFiniteAndNegativeInputKeepTheMatrix) {
  std::mt19937 rng(2);
  const Points src = randomPoints(rng, 8, 50.0, Vec()), four(src.begin(), src.begin() + 4),
               two(src.begin(), src.begin() + 2), dst = moved(src, Transformation(Vec(1, 2, 3), Vec(), 1.0), rng, 0.01);
  Transformation fit = kSentinel;
  EXPECT_EQ(fit.computeTransformationNoId(two, src, false), -1.0);  // the count test comes before the size test
  EXPECT_EQ(errorText<ProgError>([&] { fit.computeTransformationNoId(src, four, false); }), "Ungleiche Punktemengen");
  EXPECT_EQ(fit.computeTransformation(two, src, false), -1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (double scale : {0.0, nan})  // a fixed scale of 0 or NaN has no matrix
    EXPECT_EQ(fit.computeTransformation(src, dst, false, scale), -1.0);
  // Set (source, destination, weights), point, coordinate, value. Destination
  // point 0 is also the one the first estimate starts from.
  struct Bad { int set; std::size_t point; double Point::*coordinate; double value; };
  for (const Bad& b : {Bad{0, 3, &Point::y, nan}, Bad{1, 0, &Point::z, inf}, Bad{1, 6, &Point::x, nan},
                       Bad{2, 2, &Point::x, nan}, Bad{2, 4, &Point::z, inf}, Bad{2, 4, &Point::y, -0.5}})
    for (bool withScale : {false, true}) {
      Points sets[3] = {src, dst, Points()};
      for (const Point& p : src) sets[2].push_back(Point(1, 1, 1, p.id));
      sets[b.set][b.point].*b.coordinate = b.value;
      EXPECT_EQ(fit.computeWeightedTransformation(sets[0], sets[1], sets[2], withScale), -1.0) << b.set;
    }
  EXPECT_TRUE(SameBits(fit, kSentinel));
  EXPECT_GE(fit.computeTransformation(src, four, false), 0.0);  // pairing by identifier never throws
}

TEST(BestFitPairing, SameResultAsThePlainDoubleLoop) {
  // Identifier pairing written the plain way (every source point against
  // every destination point, weights searched linearly, abandoned when one
  // more pair is found than either set has points), then fitted by position.
  // Identifiers that fill their range and identifiers spread over all of int
  // take different lookup structures; −1 (never paired, not even with −1) is
  // among both.
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> smallIds(-1, 14), sizes(3, 24), choice(0, 3);
  std::uniform_real_distribution<double> weight(0.2, 3.0), coordinate(-100.0, 100.0);
  const int wide[16] = {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), -2, 0, 1 << 20,
                        2 << 20, 3 << 20, -(5 << 24), 123456789, -987654321, 7, 1 << 30, 65536, 131072, 42};
  auto at = [&](int id) { return Point(coordinate(rng), coordinate(rng), coordinate(rng), id); };
  int fitted = 0, aborted = 0;
  for (int trial = 0; trial < 200; ++trial) {
    auto id = [&] { return trial % 2 == 1 ? wide[smallIds(rng) + 1] : smallIds(rng); };
    Points src, dst, weights;
    for (int i = sizes(rng); i > 0; --i) src.push_back(at(id()));
    for (int i = sizes(rng); i > 0; --i) dst.push_back(at(id()));
    for (int i = sizes(rng) / 2; i > 0; --i) weights.push_back(Point(weight(rng), weight(rng), weight(rng), id()));
    Points s, d, w;  // the plain pairing, then fresh unique identifiers that pair one to one, in order
    bool abort = false;
    for (const Point& p : src)
      for (const Point& q : dst) {
        if (p.id != q.id || p.id == -1 || abort) continue;
        abort = s.size() == src.size() || s.size() == dst.size();
        const auto found = std::find_if(weights.begin(), weights.end(), [&](const Point& c) { return c.id == p.id; });
        w.push_back(Point(found == weights.end() ? Vec(1, 1, 1) : Vec(*found), int(s.size()) + 100));
        s.push_back(Point(p, w.back().id));
        d.push_back(Point(q, w.back().id));
      }
    const bool withScale = choice(rng) == 0;
    Transformation byId = kSentinel, expected = kSentinel;
    const double r = byId.computeWeightedTransformation(src, dst, weights, withScale);
    const double want = abort || s.size() < 3 ? -1.0 : expected.computeWeightedTransformation(s, d, w, withScale);
    EXPECT_TRUE(r == want && SameBits(byId, expected)) << "trial " << trial;
    aborted += abort ? 1 : 0;
    fitted += want >= 0.0 ? 1 : 0;
  }
  EXPECT_TRUE(fitted > 15 && aborted > 15) << fitted << " fitted, " << aborted << " abandoned";
}

TEST(BestFitWeights, WeightedResultIsTheWeightedOptimum) {
  // Per-axis weights (some zero) have no closed form: check that no small move
  // of any parameter lowers the weighted sum of squares, and that the returned
  // value is the mean of |w ∘ (T·p − d)|, where a zero weight removes a coordinate.
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> weight(0.0, 4.0);
  const Points src = randomPoints(rng, 40, 150.0, Vec(-30, 60, 10));
  Points dst = moved(src, Transformation(Vec(9, 8, 7), Vec(1.0, -0.4, 2.0), 1.3), rng, 0.05), weights;
  for (const Point& p : src) weights.push_back(Point(weight(rng), weight(rng), weight(rng), p.id));
  weights[3].x = weights[17].z = 0.0;
  dst[3].x += 3.0;                             // an outlier where it weighs nothing
  weights.push_back(Point(7.0, 7.0, 7.0, 3));  // the first weight point of an id wins
  auto cost = [&](const Transformation& t, bool squares) {
    double sum = 0.0;
    for (std::size_t i = 0; i < src.size(); ++i) {
      const Vec d = image(t, src[i]) - dst[i], w(weights[i].x * d.x, weights[i].y * d.y, weights[i].z * d.z);
      sum += squares ? w.x * d.x + w.y * d.y + w.z * d.z : w.length() / double(src.size());
    }
    return sum;
  };
  for (bool withScale : {false, true}) {
    Transformation fit = kSentinel;
    const double residual = fit.computeWeightedTransformation(src, dst, weights, withScale);
    ASSERT_GE(residual, 0.0);
    EXPECT_NEAR(residual, cost(fit, false), 1e-12);
    const Vec t = fit.getTranslation(), a = fit.getAngles();
    const double step[7] = {1e-4, 1e-4, 1e-4, 1e-6, 1e-6, 1e-6, withScale ? 1e-7 : 0.0};
    for (int k = 0; k < 14; ++k) {
      std::array<double, 7> q = {t.x, t.y, t.z, a.x, a.y, a.z, fit.getScale()};
      q[k / 2] += (k % 2 == 0 ? -1.0 : 1.0) * step[k / 2];
      EXPECT_GE(cost(Transformation(Vec(q[0], q[1], q[2]), Vec(q[3], q[4], q[5]), q[6]), true),
                cost(fit, true) * (1 - 1e-12)) << "parameter " << k / 2;
    }
  }
}

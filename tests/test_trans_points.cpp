// Weighted least-squares best fit of two point sets: agreement with Eigen's
// closed-form solution, orientations at the angle singularity, degenerate
// sets, identifier pairing, weights, scale and every failure path.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_base.h"

using Zem::Transformation;
using Zem::test::kPi;
using Zem::test::SameBits;

namespace {

using Vec = Zem::BaVec3d<double>;
using Point = Zem::BaPoint3d<double>;
using Points = std::vector<Point>;

/// Set to recognisable values, to detect any write.
const Transformation kSentinel(Vec(1.5, -2.5, 3.5), Vec(0.1, 0.2, 0.3), 1.25);

Vec image(const Transformation& t, const Point& p) { return t.transformPoint(static_cast<const Vec&>(p)); }

Points randomPoints(std::mt19937& rng, std::size_t n, double extent, const Vec& origin) {
  std::uniform_real_distribution<double> u(0.0, extent);
  Points pts;
  for (std::size_t i = 0; i < n; ++i)
    pts.push_back(Point(origin.x + u(rng), origin.y + u(rng), origin.z + u(rng), int(i)));
  return pts;
}

/// The images of `src` under `t`, each coordinate off by Gaussian noise of deviation `noise`.
Points moved(const Points& src, const Transformation& t, std::mt19937& rng, double noise) {
  std::normal_distribution<double> g(0.0, 1.0);
  Points dst;
  for (const Point& p : src) {
    Point q = t.transformPoint(p);
    q.x += noise * g(rng), q.y += noise * g(rng), q.z += noise * g(rng);
    dst.push_back(q);
  }
  return dst;
}

/// Largest distance between the images of the source points under `t` and
/// under Eigen's closed-form fit.
double umeyamaGap(const Transformation& t, const Points& src, const Points& dst, bool withScale) {
  Eigen::Matrix3Xd a(3, long(src.size())), b(3, long(dst.size()));
  for (std::size_t i = 0; i < src.size(); ++i) {
    a.col(long(i)) << src[i].x, src[i].y, src[i].z;
    b.col(long(i)) << dst[i].x, dst[i].y, dst[i].z;
  }
  const Eigen::Matrix4d u = Eigen::umeyama(a, b, withScale);
  double gap = 0.0;
  for (const Point& p : src) {
    const Vec q = image(t, p);
    const Eigen::Vector3d e = (u * Eigen::Vector4d(p.x, p.y, p.z, 1.0)).head<3>();
    gap = std::max(gap, (Eigen::Vector3d(q.x, q.y, q.z) - e).norm());
  }
  return gap;
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
    Transformation fit = kSentinel;
    const double residual = fit.computeTransformationNoId(src, dst, withScale);
    ASSERT_GE(residual, 0.0) << "trial " << trial;
    EXPECT_LT(umeyamaGap(fit, src, dst, withScale), 1e-8) << "trial " << trial;
    double sum = 0.0;
    for (std::size_t i = 0; i < src.size(); ++i) sum += (image(fit, src[i]) - dst[i]).length();
    EXPECT_NEAR(residual, sum / double(src.size()), 1e-12) << "trial " << trial;
    EXPECT_TRUE(withScale || fit.getScale() == 1.0);
    if (noise == 0.0) {
      EXPECT_TRUE(Zem::test::SameMatrix(fit, truth, 1e-10)) << "trial " << trial;
      EXPECT_NEAR(fit.getScale(), truth.getScale(), 1e-12);
      EXPECT_NEAR(std::fabs(fit.getAngles().x), std::fabs(xs[trial / 4]), 2e-7) << "trial " << trial;
    }
  }
}

TEST(BestFitDegenerate, CollinearOrCoincidentPointsAreRefused) {
  // The weighted points on one line (the turn about it is free) or at one
  // point (every turn is): no unique answer, so the fit refuses rather than
  // pick one, whatever the weight factor or position, and whatever pairs of
  // weight 0 lie off the line.
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> along(-100.0, 100.0);
  const Transformation truth(Vec(7, 8, 9), Vec(0.3, 0.2, 0.1), 1.0);
  struct Case { const char* name; double length, factor; Vec base; bool offLineZeroPairs; };
  const Case cases[] = {{"collinear", 1.0, 1.0, Vec(10, -5, 3), false},
                        {"collinear, weights 1e160, far", 1.0, 1e160, Vec(3e6, -1e6, 2e5), false},
                        {"collinear, weights 1e-160, weight 0 pairs off it", 1.0, 1e-160, Vec(10, -5, 3), true},
                        {"coincident", 0.0, 1.0, Vec(10, -5, 3), false}};
  for (const Case& c : cases)
    for (double noise : {0.0, 0.01})
      for (bool withScale : {false, true}) {
        Points src, weights;
        for (int i = 0; i < 12; ++i) {
          const double l = c.length * along(rng);
          const Vec p = c.base + Vec(0.6 * l, 0.8 * l, 0.0);
          const bool zero = c.offLineZeroPairs && i % 4 == 0;
          src.push_back(Point(zero ? p + Vec(0, 0, 50) : p, i));
          weights.push_back(Point(Vec(1, 2, 3) * (zero ? 0.0 : c.factor), i));
        }
        const Points dst = moved(src, truth, rng, noise);
        Transformation fit = kSentinel;
        EXPECT_EQ(fit.computeWeightedTransformation(src, dst, weights, withScale), -1.0)
            << c.name << ", noise " << noise << ", scale " << withScale;
        EXPECT_TRUE(SameBits(fit, kSentinel));
        if (c.factor == 1.0 && !c.offLineZeroPairs) {
          EXPECT_EQ(fit.computeTransformationNoId(src, dst, withScale), -1.0) << c.name;
        }
      }
  // One point off the line makes the problem determined again.
  Points src, dst;
  for (int i = 0; i < 12; ++i) src.push_back(Point(10 + 6.0 * i, -5 + 8.0 * i, i == 5 ? 4.0 : 3.0, i));
  dst = moved(src, truth, rng, 0.0);
  Transformation fit = kSentinel;
  EXPECT_LT(fit.computeTransformationNoId(src, dst, false), 1e-9);
  EXPECT_TRUE(Zem::test::SameMatrix(fit, truth, 1e-9));
}

TEST(BestFitDegenerate, WellPosedWhateverTheWeightsUnitsAndPosition) {
  // Noise-free data of a known motion. Whether a problem is determined depends
  // only on the pairs that carry weight: not on a common weight factor, tiny
  // per-axis weights, pairs of weight 0 (with any destination) or a thin
  // but proper triangle. Unit weights also go through the unweighted entry points.
  std::mt19937 rng(23);
  const Vec along = Vec(2, -1, 3) / std::sqrt(14.0), off = Vec(1, 2, 0) / std::sqrt(5.0);
  const Vec corner(-3e4, 5e3, 120);
  const Points spread = randomPoints(rng, 10, 400.0, Vec(-200, 50, -300));
  const Points thin = {Point(corner, 0), Point(corner + along * 1000.0, 1),
                       Point(corner + along * 2000.0 + off * 0.001, 2)};
  Points thinInMetres = thin;
  for (Point& p : thinInMetres) p = Point(p * 1e-3, p.id);
  struct Case { const char* name; Points src; Vec weight; double factor; bool farZeroPair; };
  const Case cases[] = {{"thin triangle", thin, Vec(1, 1, 1), 1.0, false},
                        {"thin triangle in metres", thinInMetres, Vec(1, 1, 1), 1.0, false},
                        {"weight 0 pair at 1e8", spread, Vec(1, 1, 1), 1.0, true},
                        {"x weights 1e-12", spread, Vec(1e-12, 1, 1), 1.0, false},
                        {"weights times 1e-160", spread, Vec(1, 2, 3), 1e-160, false},
                        {"weights times 1e160", spread, Vec(1, 2, 3), 1e160, false}};
  for (const Case& c : cases)
    for (bool withScale : {false, true}) {
      const Transformation truth(Vec(-40, 25, 300), Vec(0.5, 2.0, 1.0), withScale ? 1.7 : 1.0);
      Points src = c.src, dst = moved(src, truth, rng, 0.0), weights;
      for (const Point& p : src) weights.push_back(Point(c.weight * c.factor, p.id));
      if (c.farZeroPair) {
        src.push_back(Point(1e8, 1e8, 1e8, 99));
        dst.push_back(Point(5, -7, 1, 99));
        weights.push_back(Point(0, 0, 0, 99));
      }
      const bool unit = c.weight == Vec(1, 1, 1) && !c.farZeroPair;
      for (int entry = 0; entry < (unit ? 3 : 1); ++entry) {
        Transformation fit = kSentinel;
        const double r = entry == 0   ? fit.computeWeightedTransformation(src, dst, weights, withScale)
                         : entry == 1 ? fit.computeTransformationNoId(src, dst, withScale)
                                      : fit.computeTransformation(src, dst, withScale);
        double gap = r >= 0.0 ? 0.0 : HUGE_VAL;
        for (std::size_t i = 0; i < c.src.size(); ++i)
          gap = std::max(gap, (image(fit, src[i]) - image(truth, src[i])).length());
        EXPECT_LT(gap, 1e-9) << c.name << ", scale " << withScale << ", entry point " << entry;
      }
    }
}

TEST(BestFitFailures, SizeTestsAndTheirOrder) {
  std::mt19937 rng(1);
  const Points five = randomPoints(rng, 5, 10.0, Vec());
  const Points four(five.begin(), five.begin() + 4), two(five.begin(), five.begin() + 2);
  Transformation fit = kSentinel;
  EXPECT_EQ(fit.computeTransformationNoId(two, five, false), -1.0);  // count before size
  try {
    fit.computeTransformationNoId(five, four, false);
    ADD_FAILURE() << "no ProgError";
  } catch (const Zem::ProgError& e) {
    EXPECT_EQ(e.getText(), QString("Ungleiche Punktemengen"));
    EXPECT_EQ(e.getFunction(), QString("Zem::Transformation::computeWeightedTransformationNoId"));
    EXPECT_EQ(e.getFile(), QString("math_trans_points"));
  }
  EXPECT_TRUE(SameBits(fit, kSentinel));
  // Pairing by identifier never throws it.
  EXPECT_GE(fit.computeTransformation(five, four, false), 0.0);
  EXPECT_EQ(Transformation(kSentinel).computeTransformation(two, five, false), -1.0);
}

TEST(BestFitFailures, NonFiniteOrNegativeInputFailsAndKeepsTheMatrix) {
  std::mt19937 rng(2);
  const Points src = randomPoints(rng, 8, 50.0, Vec());
  const Points dst = moved(src, Transformation(Vec(1, 2, 3), Vec(0.1, 0.2, 0.3), 1.0), rng, 0.01);
  Points unit;
  for (const Point& p : src) unit.push_back(Point(1, 1, 1, p.id));
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  // Set (source, destination, weights), point, coordinate, value. Destination
  // point 0 is also the one the first estimate starts from.
  struct Bad { int set; std::size_t point; double Point::*coordinate; double value; };
  for (const Bad& b : {Bad{0, 3, &Point::y, nan}, Bad{1, 0, &Point::z, inf}, Bad{1, 6, &Point::x, nan},
                       Bad{2, 2, &Point::x, nan}, Bad{2, 4, &Point::z, inf}, Bad{2, 4, &Point::y, -0.5}})
    for (bool withScale : {false, true}) {
      Points sets[3] = {src, dst, unit};
      sets[b.set][b.point].*b.coordinate = b.value;
      Transformation fit = kSentinel;
      EXPECT_EQ(fit.computeWeightedTransformation(sets[0], sets[1], sets[2], withScale), -1.0) << b.set;
      EXPECT_TRUE(SameBits(fit, kSentinel));
    }
  // A fixed scale of 0 or NaN has no matrix.
  Transformation fit = kSentinel;
  EXPECT_EQ(fit.computeTransformation(src, dst, false, 0.0), -1.0);
  EXPECT_EQ(fit.computeTransformation(src, dst, false, nan), -1.0);
  EXPECT_TRUE(SameBits(fit, kSentinel));
}

TEST(BestFitScale, FixedScaleIsKeptExactlyAndIgnoredWhenEstimated) {
  std::mt19937 rng(4);
  const Points src = randomPoints(rng, 10, 100.0, Vec(0, 0, 0));
  const Transformation truth(Vec(5, 6, 7), Vec(-0.5, 0.25, 1.0), 2.0);
  const Points dst = moved(src, truth, rng, 0.0);
  Transformation fixed = kSentinel, a = kSentinel, b = kSentinel;
  ASSERT_GE(fixed.computeTransformation(src, dst, false, 2.0), 0.0);
  EXPECT_EQ(fixed.getMatrix(3, 3), 0.5);
  EXPECT_TRUE(Zem::test::SameMatrix(fixed, truth, 1e-10));
  EXPECT_EQ(a.computeTransformation(src, dst, true, 7.0), b.computeTransformation(src, dst, true));
  EXPECT_TRUE(SameBits(a, b));
  EXPECT_NEAR(a.getScale(), 2.0, 1e-12);
}

namespace {

struct Pairs {
  bool aborted = false;
  Points src, dst, weights;
};

/// Identifier pairing written the plain way: every source point against every
/// destination point, weights searched linearly.
Pairs pairByDoubleLoop(const Points& src, const Points& dst, const Points& weights) {
  Pairs r;
  for (const Point& p : src)
    for (const Point& q : dst) {
      if (p.id != q.id || p.id == -1) continue;
      r.aborted = r.src.size() == src.size() || r.src.size() == dst.size();
      if (r.aborted) return r;
      const auto w = std::find_if(weights.begin(), weights.end(), [&](const Point& c) { return c.id == p.id; });
      r.src.push_back(p);
      r.dst.push_back(q);
      r.weights.push_back(w == weights.end() ? Point(1.0, 1.0, 1.0, p.id) : *w);
    }
  return r;
}

}  // namespace

TEST(BestFitPairing, SameResultAsThePlainDoubleLoop) {
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> smallIds(-1, 14), sizes(3, 24), choice(0, 3);
  std::uniform_real_distribution<double> weight(0.2, 3.0);
  // Identifiers that fill their range and identifiers spread over all of int
  // (the extremes included) take different lookup structures; −1 (never
  // paired, not even with −1) is among both.
  const int wide[16] = {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), -2, 0, 1 << 20,
                        2 << 20, 3 << 20, -(5 << 24), 123456789, -987654321, 7, 1 << 30, 65536, 131072, 42};
  const Transformation truth(Vec(3, -4, 5), Vec(0.2, -0.3, 0.9), 1.0);
  // Coordinates belong to identifiers so that duplicate pairs stay consistent.
  auto at = [](int id) {
    const double k = double(id % 97);
    return Point(17.0 * k, 5.0 * k * k - 30.0 * k, 80.0 * std::sin(double(id)), id);
  };
  int fitted = 0, aborted = 0;
  for (int trial = 0; trial < 200; ++trial) {
    auto id = [&] { return trial % 2 == 1 ? wide[smallIds(rng) + 1] : smallIds(rng); };
    Points src, dst, weights;
    const int ns = sizes(rng), nd = sizes(rng), nw = sizes(rng) / 2;
    for (int i = 0; i < ns; ++i) src.push_back(at(id()));
    for (int i = 0; i < nd; ++i) dst.push_back(at(id()));
    for (int i = 0; i < nw; ++i) weights.push_back(Point(weight(rng), weight(rng), weight(rng), id()));
    const bool withScale = choice(rng) == 0;
    dst = moved(dst, truth, rng, 0.01);
    const Pairs ref = pairByDoubleLoop(src, dst, weights);
    Transformation byId = kSentinel, expected = kSentinel;
    const double r = byId.computeWeightedTransformation(src, dst, weights, withScale);
    if (ref.aborted || ref.src.size() < 3) {
      EXPECT_EQ(r, -1.0) << "trial " << trial;
      EXPECT_TRUE(SameBits(byId, kSentinel));
      aborted += ref.aborted ? 1 : 0;
      continue;
    }
    // The same lists with fresh unique identifiers pair one to one, in order.
    Points s = ref.src, d = ref.dst, w = ref.weights;
    for (std::size_t i = 0; i < s.size(); ++i) s[i].id = d[i].id = w[i].id = int(i) + 100;
    EXPECT_EQ(r, expected.computeWeightedTransformation(s, d, w, withScale)) << "trial " << trial;
    EXPECT_TRUE(SameBits(byId, expected)) << "trial " << trial;
    fitted += r >= 0.0 ? 1 : 0;
  }
  EXPECT_GT(fitted, 15);
  EXPECT_GT(aborted, 15);
}

TEST(BestFitPairing, DuplicateAndUnpairableIdentifiers) {
  // Source ids (1, 1, 2, 3) against (1, 2, 3, 4): four pairs; against (1, 2, 3): abort.
  const Points s4 = {Point(0, 0, 0, 1), Point(0.01, 0, 0, 1), Point(50, 0, 0, 2), Point(0, 40, 0, 3)};
  const Points d4 = {Point(1, 1, 1, 1), Point(51, 1, 1, 2), Point(1, 41, 1, 3), Point(9, 9, 9, 4)};
  Transformation fit = kSentinel, expected = kSentinel;
  const double r4 = fit.computeTransformation(s4, d4, false);
  ASSERT_GE(r4, 0.0);
  EXPECT_EQ(r4, expected.computeTransformationNoId(s4, {d4[0], d4[0], d4[1], d4[2]}, false));
  EXPECT_TRUE(SameBits(fit, expected));
  fit = kSentinel;
  EXPECT_EQ(fit.computeTransformation(s4, Points(d4.begin(), d4.begin() + 3), false), -1.0);
  EXPECT_TRUE(SameBits(fit, kSentinel));

}

TEST(BestFitWeights, WeightedResultIsTheWeightedOptimum) {
  // Per-axis weights (some zero) have no closed form: check that no small move
  // of any parameter lowers the weighted sum of squares, and that the returned
  // value is the mean of |w ∘ (T·p − d)|, where a zero weight removes a coordinate.
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> weight(0.0, 4.0);
  const Points src = randomPoints(rng, 40, 150.0, Vec(-30, 60, 10));
  Points dst = moved(src, Transformation(Vec(9, 8, 7), Vec(1.0, -0.4, 2.0), 1.3), rng, 0.05);
  Points weights;
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
    const std::array<double, 7> p = {t.x, t.y, t.z, a.x, a.y, a.z, fit.getScale()};
    const double step[7] = {1e-4, 1e-4, 1e-4, 1e-6, 1e-6, 1e-6, withScale ? 1e-7 : 0.0};
    for (int k = 0; k < 14; ++k) {
      std::array<double, 7> q = p;
      q[k / 2] += (k % 2 == 0 ? -1.0 : 1.0) * step[k / 2];
      EXPECT_GE(cost(Transformation(Vec(q[0], q[1], q[2]), Vec(q[3], q[4], q[5]), q[6]), true),
                cost(fit, true) * (1 - 1e-12))
          << "parameter " << k / 2;
    }
  }
}

TEST(BestFitPairing, LargeShuffledSetsPairLikePositions) {
  std::mt19937 rng(13);
  Points src = randomPoints(rng, 3001, 400.0, Vec(-200, -200, 0));
  const Transformation truth(Vec(10, 20, 30), Vec(-0.7, 0.2, 1.4), 1.0);
  for (int stride : {1, 7, -104729}) {  // a direct table, then hashed identifiers
    for (std::size_t i = 0; i < src.size(); ++i) src[i].id = 5 + stride * int(i);
    const Points dst = moved(src, truth, rng, 0.01);
    Points shuffled = dst;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    Transformation byId = kSentinel, byPos = kSentinel;
    const double r = byId.computeTransformation(src, shuffled, true);
    ASSERT_GE(r, 0.0);
    EXPECT_EQ(r, byPos.computeTransformationNoId(src, dst, true));
    EXPECT_TRUE(SameBits(byId, byPos)) << "stride " << stride;
  }
}

// Weighted least-squares best fit of two point sets: agreement with Eigen's
// closed-form solution, orientations at the angle singularity, degenerate
// sets, identifier pairing, weights, scale and every failure path.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "math_transformation.h"
#include "test_util.h"
#include "zem_base.h"

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::ProgError;
using Zem::Transformation;
using Zem::test::kPi;
using Zem::test::SameBits;

namespace {

using Point = BaPoint3d<double>;
using Points = std::vector<Point>;

/// A transformation set to recognisable values, to detect any write.
Transformation sentinel() {
  return Transformation(BaVec3d<double>(1.5, -2.5, 3.5), BaVec3d<double>(0.1, 0.2, 0.3), 1.25);
}

Points randomPoints(std::mt19937& rng, std::size_t n, double extent, const BaVec3d<double>& origin) {
  std::uniform_real_distribution<double> u(0.0, extent);
  Points pts;
  for (std::size_t i = 0; i < n; ++i)
    pts.push_back(Point(origin.x + u(rng), origin.y + u(rng), origin.z + u(rng), int(i)));
  return pts;
}

Points moved(const Points& src, const Transformation& t, std::mt19937& rng, double noise) {
  std::normal_distribution<double> g(0.0, noise > 0.0 ? noise : 1.0);
  Points dst;
  for (const Point& p : src) {
    Point q = t.transformPoint(p);
    if (noise > 0.0) {
      q.x += g(rng);
      q.y += g(rng);
      q.z += g(rng);
    }
    dst.push_back(q);
  }
  return dst;
}

Eigen::Matrix4d umeyamaOf(const Points& src, const Points& dst, bool withScale) {
  Eigen::Matrix3Xd a(3, long(src.size())), b(3, long(dst.size()));
  for (std::size_t i = 0; i < src.size(); ++i) {
    a.col(long(i)) << src[i].x, src[i].y, src[i].z;
    b.col(long(i)) << dst[i].x, dst[i].y, dst[i].z;
  }
  return Eigen::umeyama(a, b, withScale);
}

/// Largest distance between the images of the source points under our result
/// and under Eigen's.
double imageGap(const Transformation& t, const Eigen::Matrix4d& u, const Points& src) {
  double gap = 0.0;
  for (const Point& p : src) {
    const BaVec3d<double> q = t.transformPoint(static_cast<const BaVec3d<double>&>(p));
    const Eigen::Vector4d e = u * Eigen::Vector4d(p.x, p.y, p.z, 1.0);
    gap = std::max(gap, (Eigen::Vector3d(q.x, q.y, q.z) - e.head<3>() / e(3)).norm());
  }
  return gap;
}

double meanDistance(const Transformation& t, const Points& src, const Points& dst) {
  double sum = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i)
    sum += (t.transformPoint(static_cast<const BaVec3d<double>&>(src[i])) - dst[i]).length();
  return sum / double(src.size());
}

BaVec3d<double> randomAngles(std::mt19937& rng) {
  std::uniform_real_distribution<double> a(-kPi, kPi), half(-kPi / 2, kPi / 2);
  return BaVec3d<double>(half(rng), a(rng), a(rng));
}

}  // namespace

TEST(BestFitOptimum, AgreesWithUmeyamaOnRandomProblems) {
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<int> count(3, 60);
  std::uniform_real_distribution<double> shift(-800.0, 800.0), scales(0.3, 3.0);
  for (int trial = 0; trial < 60; ++trial) {
    const bool withScale = trial % 2 == 1;
    const std::size_t n = std::size_t(count(rng));
    const Points src = randomPoints(rng, n, 300.0, BaVec3d<double>(shift(rng), shift(rng), shift(rng)));
    const Transformation truth(BaVec3d<double>(shift(rng), shift(rng), shift(rng)), randomAngles(rng),
                               withScale ? scales(rng) : 1.0);
    const Points dst = moved(src, truth, rng, 0.01);

    Transformation fit = sentinel();
    const double residual = fit.computeTransformationNoId(src, dst, withScale);
    ASSERT_GE(residual, 0.0) << "trial " << trial;
    EXPECT_LT(imageGap(fit, umeyamaOf(src, dst, withScale), src), 1e-8) << "trial " << trial;
    EXPECT_NEAR(residual, meanDistance(fit, src, dst), 1e-12) << "trial " << trial;
    if (!withScale) {
      EXPECT_EQ(fit.getScale(), 1.0);
    }
  }
}

TEST(BestFitOptimum, ExactMotionIsReproduced) {
  std::mt19937 rng(5);
  const Points src = randomPoints(rng, 7, 100.0, BaVec3d<double>(10, 20, 30));
  const Transformation truth(BaVec3d<double>(40, -50, 60), BaVec3d<double>(0.4, -1.1, 2.5), 1.0);
  const Points dst = moved(src, truth, rng, 0.0);
  Transformation fit = sentinel();
  const double residual = fit.computeTransformationNoId(src, dst, false);
  ASSERT_GE(residual, 0.0);
  EXPECT_LT(residual, 1e-10);
  EXPECT_LT(Zem::test::maxAbsDiff(fit, truth), 1e-10);

  const Transformation twice(BaVec3d<double>(40, -50, 60), BaVec3d<double>(0.4, -1.1, 2.5), 2.0);
  const Points dst2 = moved(src, twice, rng, 0.0);
  ASSERT_GE(fit.computeTransformationNoId(src, dst2, true), 0.0);
  EXPECT_NEAR(fit.getScale(), 2.0, 1e-12);
}

TEST(BestFitOptimum, AngleSingularityIsNoObstacle) {
  // The angle about X at ±π/2 leaves the angle parameterisation one degree of
  // freedom short; the fit must not care.
  const double halfPi = kPi / 2;
  const double xs[] = {halfPi, -halfPi, halfPi - 1e-7, -halfPi + 1e-7, halfPi - 3e-8, -halfPi + 5e-8};
  std::mt19937 rng(11);
  for (double ax : xs)
    for (double noise : {0.0, 0.01})
      for (bool withScale : {false, true}) {
        const Points src = randomPoints(rng, 25, 200.0, BaVec3d<double>(-100, 50, 300));
        const Transformation truth(BaVec3d<double>(12, -340, 56), BaVec3d<double>(ax, 0.7, -2.2),
                                   withScale ? 1.7 : 1.0);
        const Points dst = moved(src, truth, rng, noise);
        Transformation fit = sentinel();
        const double residual = fit.computeTransformationNoId(src, dst, withScale);
        ASSERT_GE(residual, 0.0) << ax << " " << noise;
        EXPECT_LT(imageGap(fit, umeyamaOf(src, dst, withScale), src), 1e-8) << ax << " " << noise;
        if (noise == 0.0) {
          EXPECT_LT(residual, 1e-9);
          EXPECT_NEAR(std::fabs(fit.getAngles().x), halfPi, 2e-7);
        }
      }
}

TEST(BestFitOptimum, FarFromOriginAndLargeAngles) {
  std::mt19937 rng(3);
  const Points src = randomPoints(rng, 30, 20.0, BaVec3d<double>(5000, -8000, 3000));
  const Transformation truth(BaVec3d<double>(-2000, 100, 9000), BaVec3d<double>(-1.2, 3.0, -3.0), 1.0);
  const Points dst = moved(src, truth, rng, 0.005);
  Transformation fit = sentinel();
  ASSERT_GE(fit.computeTransformationNoId(src, dst, false), 0.0);
  EXPECT_LT(imageGap(fit, umeyamaOf(src, dst, false), src), 1e-8);
}

TEST(BestFitDegenerate, CollinearPointsNeverGiveNonsense) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> along(-100.0, 100.0);
  for (double noise : {0.0, 0.01})
    for (bool withScale : {false, true}) {
      Points src;
      for (int i = 0; i < 12; ++i) {
        const double l = along(rng);
        src.push_back(Point(10 + 0.6 * l, -5 + 0.8 * l, 3.0, i));
      }
      const Transformation truth(BaVec3d<double>(7, 8, 9), BaVec3d<double>(0.3, 0.2, 0.1), 1.0);
      const Points dst = moved(src, truth, rng, noise);
      Transformation fit = sentinel();
      const double residual = fit.computeTransformationNoId(src, dst, withScale);
      EXPECT_FALSE(std::isnan(residual));
      if (residual < 0.0) {
        EXPECT_EQ(residual, -1.0);
        EXPECT_TRUE(SameBits(fit, sentinel()));
      } else {
        for (std::size_t i = 0; i < src.size(); ++i)
          EXPECT_LT((fit.transformPoint(static_cast<const BaVec3d<double>&>(src[i])) - dst[i]).length(),
                    noise > 0.0 ? 0.1 : 1e-6);
      }
    }
  // All source points equal: no usable direction at all.
  const Points same(5, Point(1, 2, 3, 0));
  Points dst = same;
  dst[1].x = 4;
  Transformation fit = sentinel();
  const double residual = fit.computeTransformationNoId(same, dst, true);
  EXPECT_FALSE(std::isnan(residual));
  if (residual < 0.0) {
    EXPECT_TRUE(SameBits(fit, sentinel()));
  }
}

TEST(BestFitFailures, SizeTestsAndTheirOrder) {
  std::mt19937 rng(1);
  const Points five = randomPoints(rng, 5, 10.0, BaVec3d<double>());
  const Points four(five.begin(), five.begin() + 4);
  const Points two(five.begin(), five.begin() + 2);
  Transformation fit = sentinel();
  EXPECT_EQ(fit.computeTransformationNoId(two, five, false), -1.0);  // count before size
  try {
    fit.computeTransformationNoId(five, four, false);
    ADD_FAILURE() << "no ProgError";
  } catch (const ProgError& e) {
    EXPECT_EQ(e.getText(), QString("Ungleiche Punktemengen"));
    EXPECT_EQ(e.getFunction(), QString("Zem::Transformation::computeWeightedTransformationNoId"));
    EXPECT_EQ(e.getFile(), QString("math_trans_points"));
  }
  EXPECT_TRUE(SameBits(fit, sentinel()));
  // Pairing by identifier never throws it.
  EXPECT_GE(fit.computeTransformation(five, four, false), 0.0);
  EXPECT_EQ(sentinel().computeTransformation(two, five, false), -1.0);
}

TEST(BestFitFailures, NonFiniteOrNegativeInputFailsAndKeepsTheMatrix) {
  std::mt19937 rng(2);
  const Points src = randomPoints(rng, 8, 50.0, BaVec3d<double>());
  const Points dst = moved(src, Transformation(BaVec3d<double>(1, 2, 3), BaVec3d<double>(0.1, 0.2, 0.3), 1.0),
                           rng, 0.01);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Points unitWeights(src.size(), Point(1, 1, 1, -1));

  auto check = [&](Points s, Points d, Points w, bool withScale) {
    for (std::size_t i = 0; i < s.size(); ++i) w[i].id = s[i].id;
    Transformation fit = sentinel();
    EXPECT_EQ(fit.computeWeightedTransformation(s, d, w, withScale), -1.0);
    EXPECT_TRUE(SameBits(fit, sentinel()));
  };
  for (bool withScale : {false, true}) {
    Points s = src;
    s[3].y = nan;
    check(s, dst, unitWeights, withScale);
    Points d = dst;
    d[0].z = inf;  // point 0 is also the one the first estimate starts from
    check(src, d, unitWeights, withScale);
    d = dst;
    d[6].x = nan;
    check(src, d, unitWeights, withScale);
    Points w = unitWeights;
    w[2].x = nan;
    check(src, dst, w, withScale);
    w = unitWeights;
    w[4].z = inf;
    check(src, dst, w, withScale);
    w = unitWeights;
    w[4].y = -0.5;
    check(src, dst, w, withScale);
  }
  // A fixed scale of 0 has no matrix.
  Transformation fit = sentinel();
  EXPECT_EQ(fit.computeTransformation(src, dst, false, 0.0), -1.0);
  EXPECT_EQ(fit.computeTransformation(src, dst, false, nan), -1.0);
  EXPECT_TRUE(SameBits(fit, sentinel()));
}

TEST(BestFitScale, FixedScaleIsKeptExactlyAndIgnoredWhenEstimated) {
  std::mt19937 rng(4);
  const Points src = randomPoints(rng, 10, 100.0, BaVec3d<double>(0, 0, 0));
  const Transformation truth(BaVec3d<double>(5, 6, 7), BaVec3d<double>(-0.5, 0.25, 1.0), 2.0);
  const Points dst = moved(src, truth, rng, 0.0);

  Transformation fixed = sentinel();
  ASSERT_GE(fixed.computeTransformation(src, dst, false, 2.0), 0.0);
  EXPECT_EQ(fixed.getMatrix(3, 3), 0.5);
  EXPECT_LT(Zem::test::maxAbsDiff(fixed, truth), 1e-10);

  Transformation a = sentinel(), b = sentinel();
  const double ra = a.computeTransformation(src, dst, true, 7.0);
  const double rb = b.computeTransformation(src, dst, true);
  EXPECT_EQ(ra, rb);
  EXPECT_TRUE(SameBits(a, b));
  EXPECT_NEAR(a.getScale(), 2.0, 1e-12);
}

namespace {

struct Reference {
  bool aborted = false;
  Points src, dst, weights;
};

/// Identifier pairing written the plain way: every source point against every
/// destination point, weights searched linearly.
Reference pairByDoubleLoop(const Points& src, const Points& dst, const Points& weights) {
  Reference r;
  for (const Point& p : src)
    for (const Point& q : dst) {
      if (p.id != q.id || p.id == -1) continue;
      if (r.src.size() == src.size() || r.src.size() == dst.size()) {
        r.aborted = true;
        return r;
      }
      Point w(1.0, 1.0, 1.0, p.id);
      for (const Point& c : weights)
        if (c.id == p.id) {
          w = c;
          break;
        }
      r.src.push_back(p);
      r.dst.push_back(q);
      r.weights.push_back(w);
    }
  return r;
}

}  // namespace

TEST(BestFitPairing, SameResultAsThePlainDoubleLoop) {
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> smallIds(-1, 14), sizes(3, 24), choice(0, 3);
  std::uniform_real_distribution<double> weight(0.2, 3.0);
  // Identifiers that fill their range and identifiers spread over all of int
  // (the extremes included) take different lookup structures.
  const int wide[16] = {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), -2, 0, 1 << 20,
                        2 << 20, 3 << 20, -(5 << 24), 123456789, -987654321, 7, 1 << 30, 65536, 131072, 42};
  bool sparse = false;
  auto ids = [&](std::mt19937& g) { return sparse ? wide[smallIds(g) + 1] : smallIds(g); };
  const Transformation truth(BaVec3d<double>(3, -4, 5), BaVec3d<double>(0.2, -0.3, 0.9), 1.0);
  int fitted = 0, aborted = 0;
  for (int trial = 0; trial < 200; ++trial) {
    sparse = trial % 2 == 1;
    // Coordinates belong to identifiers so that duplicate pairs stay consistent.
    Points src, dst, weights;
    const int ns = sizes(rng), nd = sizes(rng), nw = sizes(rng) / 2;
    std::normal_distribution<double> g(0.0, 0.01);
    auto at = [](int id) {
      const double k = double(id % 97);
      return Point(17.0 * k, 5.0 * k * k - 30.0 * k, 80.0 * std::sin(double(id)), id);
    };
    for (int i = 0; i < ns; ++i) src.push_back(at(ids(rng)));
    for (int i = 0; i < nd; ++i) {
      Point q = truth.transformPoint(at(ids(rng)));
      q.x += g(rng);
      dst.push_back(q);
    }
    for (int i = 0; i < nw; ++i) weights.push_back(Point(weight(rng), weight(rng), weight(rng), ids(rng)));
    const bool withScale = choice(rng) == 0;

    const Reference ref = pairByDoubleLoop(src, dst, weights);
    Transformation byId = sentinel();
    const double r = byId.computeWeightedTransformation(src, dst, weights, withScale);
    if (ref.aborted || ref.src.size() < 3) {
      EXPECT_EQ(r, -1.0) << "trial " << trial;
      EXPECT_TRUE(SameBits(byId, sentinel()));
      aborted += ref.aborted ? 1 : 0;
      continue;
    }
    // The same lists with fresh unique identifiers pair one to one, in order.
    Points s = ref.src, d = ref.dst, w = ref.weights;
    for (std::size_t i = 0; i < s.size(); ++i) s[i].id = d[i].id = w[i].id = int(i) + 100;
    Transformation expected = sentinel();
    const double re = expected.computeWeightedTransformation(s, d, w, withScale);
    EXPECT_EQ(r, re) << "trial " << trial;
    EXPECT_TRUE(SameBits(byId, expected)) << "trial " << trial;
    fitted += r >= 0.0 ? 1 : 0;
  }
  EXPECT_GT(fitted, 15);
  EXPECT_GT(aborted, 15);
}

TEST(BestFitPairing, ReorderedDuplicateAndMissingIdentifiers) {
  std::mt19937 rng(9);
  Points src = randomPoints(rng, 6, 100.0, BaVec3d<double>());
  const Transformation truth(BaVec3d<double>(1, 1, 1), BaVec3d<double>(0.3, 0.1, -0.2), 1.0);
  const Points dst = moved(src, truth, rng, 0.01);

  // Reordered destination: same as position pairing of the sorted sets.
  Points shuffled = dst;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  Transformation byId = sentinel(), byPos = sentinel();
  EXPECT_EQ(byId.computeTransformation(src, shuffled, false), byPos.computeTransformationNoId(src, dst, false));
  EXPECT_TRUE(SameBits(byId, byPos));

  // Source ids (1, 1, 2, 3) against (1, 2, 3, 4): four pairs; against (1, 2, 3): abort.
  const Points s4 = {Point(0, 0, 0, 1), Point(0.01, 0, 0, 1), Point(50, 0, 0, 2), Point(0, 40, 0, 3)};
  const Points d4 = {Point(1, 1, 1, 1), Point(51, 1, 1, 2), Point(1, 41, 1, 3), Point(9, 9, 9, 4)};
  Transformation fit = sentinel();
  const double r4 = fit.computeTransformation(s4, d4, false);
  ASSERT_GE(r4, 0.0);
  const Points pairedS = s4, pairedD = {d4[0], d4[0], d4[1], d4[2]};
  Transformation expected = sentinel();
  EXPECT_EQ(r4, expected.computeTransformationNoId(pairedS, pairedD, false));
  EXPECT_TRUE(SameBits(fit, expected));
  const Points d3(d4.begin(), d4.begin() + 3);
  fit = sentinel();
  EXPECT_EQ(fit.computeTransformation(s4, d3, false), -1.0);
  EXPECT_TRUE(SameBits(fit, sentinel()));

  // Identifier −1 never pairs: too few pairs remain.
  Points noIds = src;
  for (std::size_t i = 2; i < noIds.size(); ++i) noIds[i].id = -1;
  Points dstNoIds = dst;
  dstNoIds[0].id = -1;
  fit = sentinel();
  EXPECT_EQ(fit.computeTransformation(noIds, dst, false), -1.0);
  EXPECT_EQ(fit.computeTransformation(src, dstNoIds, false), byPos.computeTransformationNoId(
      Points(src.begin() + 1, src.end()), Points(dst.begin() + 1, dst.end()), false));
}

TEST(BestFitWeights, FirstWinsDefaultsAndZeroWeights) {
  std::mt19937 rng(10);
  const Points src = randomPoints(rng, 8, 100.0, BaVec3d<double>(20, 0, -40));
  Points dst = moved(src, Transformation(BaVec3d<double>(2, 3, 4), BaVec3d<double>(0.5, 0.4, 0.3), 1.0), rng, 0.01);
  dst[5].x += 3.0;  // an outlier in x

  // Zero x weight for the outlier: it no longer pulls the fit, and its x
  // difference adds nothing to the returned residual.
  Points weights = {Point(0.0, 1.0, 1.0, 5), Point(7.0, 7.0, 7.0, 5)};  // first wins
  Transformation weighted = sentinel();
  const double r = weighted.computeWeightedTransformation(src, dst, weights, false);
  ASSERT_GE(r, 0.0);
  double expected = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    BaVec3d<double> e = weighted.transformPoint(static_cast<const BaVec3d<double>&>(src[i])) - dst[i];
    if (i == 5) e.x = 0.0;
    expected += e.length();
  }
  EXPECT_NEAR(r, expected / double(src.size()), 1e-12);

  Points clean = dst;
  clean[5].x -= 3.0;
  Transformation plain = sentinel();
  ASSERT_GE(plain.computeTransformation(src, clean, false), 0.0);
  EXPECT_LT(imageGap(weighted, umeyamaOf(src, clean, false), src), 0.02);  // outlier ignored

  // Weights for identifiers not in the sets, or none at all: unit weights.
  Transformation a = sentinel(), b = sentinel();
  EXPECT_EQ(a.computeWeightedTransformation(src, dst, {Point(9, 9, 9, 77)}, true),
            b.computeTransformation(src, dst, true));
  EXPECT_TRUE(SameBits(a, b));
}

TEST(BestFitWeights, WeightedResultIsTheWeightedOptimum) {
  // Per-axis weights have no closed form: check that no small move of the
  // result lowers the weighted sum of squares.
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> weight(0.0, 4.0);
  const Points src = randomPoints(rng, 40, 150.0, BaVec3d<double>(-30, 60, 10));
  const Points dst = moved(src, Transformation(BaVec3d<double>(9, 8, 7), BaVec3d<double>(1.0, -0.4, 2.0), 1.3),
                           rng, 0.05);
  Points weights;
  for (const Point& p : src) weights.push_back(Point(weight(rng), weight(rng), weight(rng), p.id));
  for (bool withScale : {false, true}) {
    Transformation fit = sentinel();
    ASSERT_GE(fit.computeWeightedTransformation(src, dst, weights, withScale), 0.0);
    auto cost = [&](const Transformation& t) {
      double sum = 0.0;
      for (std::size_t i = 0; i < src.size(); ++i) {
        const BaVec3d<double> d = t.transformPoint(static_cast<const BaVec3d<double>&>(src[i])) - dst[i];
        sum += weights[i].x * d.x * d.x + weights[i].y * d.y * d.y + weights[i].z * d.z * d.z;
      }
      return sum;
    };
    const double best = cost(fit);
    const BaVec3d<double> t = fit.getTranslation(), a = fit.getAngles();
    const double s = fit.getScale();
    for (int k = 0; k < 7; ++k)
      for (double h : {-1.0, 1.0}) {
        BaVec3d<double> t2 = t, a2 = a;
        double s2 = s;
        const double dt = 1e-4 * h, da = 1e-6 * h;
        switch (k) {
          case 0: t2.x += dt; break;
          case 1: t2.y += dt; break;
          case 2: t2.z += dt; break;
          case 3: a2.x += da; break;
          case 4: a2.y += da; break;
          case 5: a2.z += da; break;
          default: s2 += withScale ? 1e-7 * h : 0.0; break;
        }
        EXPECT_GE(cost(Transformation(t2, a2, s2)), best * (1.0 - 1e-12)) << "direction " << k;
      }
  }
}

TEST(BestFitPairing, LargeShuffledSetsPairLikePositions) {
  std::mt19937 rng(13);
  Points src = randomPoints(rng, 3001, 400.0, BaVec3d<double>(-200, -200, 0));
  const Transformation truth(BaVec3d<double>(10, 20, 30), BaVec3d<double>(-0.7, 0.2, 1.4), 1.0);
  for (int stride : {1, 7, -104729}) {  // a direct table, then hashed identifiers
    for (std::size_t i = 0; i < src.size(); ++i) src[i].id = 5 + stride * int(i);
    const Points dst = moved(src, truth, rng, 0.01);
    Points shuffled = dst;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    Transformation byId = sentinel(), byPos = sentinel();
    const double r = byId.computeTransformation(src, shuffled, true);
    ASSERT_GE(r, 0.0);
    EXPECT_EQ(r, byPos.computeTransformationNoId(src, dst, true));
    EXPECT_TRUE(SameBits(byId, byPos)) << "stride " << stride;
  }
}

// The best fit proper: the least-squares optimum against Eigen's closed-form
// solution on bad data, at the angle singularity, far from the origin and on
// thin parts, what makes a problem determined, and weight matrices. (The
// weighted optimum against an independent optimiser is tested in Python,
// against SciPy.)

#include "fit_test_util.h"
#include "math_fit_result.h"

using namespace Zem;
using namespace Zem::test;

TEST(FitEngine, DeterminacyDependsOnlyOnTheGeometryOfTheWeightedPairs) {
  // Noise-free data of a known motion: fitted and reproduced to 1e-9 mm
  // whatever a common weight factor, tiny per-axis weights, weights that
  // differ per pair and axis, pairs of weight 0 (anywhere, with any
  // destination), the units or the position; refused, leaving the matrix as
  // it was, when the weighted points lie on one line (the turn about it is
  // free) or at one point. The bars are 1e-7 as thick as long, along a
  // diagonal (no axis of the coordinates separates them). The moments hold
  // their cross-section only roughly: with weights per pair and axis the
  // refinement on the residuals used to stop at its first step that overshot.
  std::mt19937 rng(23);
  const Vec along = Vec(2, -1, 3) / std::sqrt(14.0), off = Vec(1, 2, 0) / std::sqrt(5.0), corner(-3e4, 5e3, 120);
  const Points spread = randomPoints(rng, 10, 400.0, Vec(-200, 50, -300));
  const Points thin = {Point(corner, 0), Point(corner + along * 1000.0, 1),
                       Point(corner + along * 2000.0 + off * 1e-3, 2)};
  const Points thinInMetres = moved(thin, Transformation(Vec(), Vec(), 1e-3), rng, 0.0);
  Points line, point;
  for (int i = 0; i < 12; ++i) {
    line.push_back(Point(corner * 100.0 + along * (40.0 * i - 200), i));
    point.push_back(Point(10, -5, 3, i));
  }
  const auto thinBar = [&rng](int n) {
    const Vec diagonal = Vec(1, 2, 2) / 3.0, across1 = Vec(2, 1, -2) / 3.0, across2 = Vec(2, -2, 1) / 3.0;
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    Points bar;
    for (int i = 0; i < n; ++i)
      bar.push_back(Point(diagonal * (1000.0 * u(rng)) + (across1 * u(rng) + across2 * u(rng)) * 1e-4, i));
    return bar;
  };
  const Points bar10 = thinBar(10), bar1000 = thinBar(1000), bar100000 = thinBar(sweep(100000));
  // `weight`, or with perPair each pair's weights drawn from 0.5 to 2 times it.
  struct Case {
    const char* name;
    const Points& src;
    Vec weight;
    bool determined, zeroWeightPairFarOff, perPair = false;
  };
  const Case cases[] = {{"thin triangle", thin, Vec(1, 1, 1), true, false},
                        {"thin bar of 10 points", bar10, Vec(1, 1, 1), true, false},
                        {"thin bar of 1000 points", bar1000, Vec(1, 1, 1), true, false},
                        {"thin bar of 100000 points (10000 sanitized)", bar100000, Vec(1, 1, 1), true, false},
                        {"thin bar of 10 points, weights per pair and axis", bar10, Vec(1, 1, 1), true, false, true},
                        {"thin bar of 1000 points, weights per pair and axis", bar1000, Vec(1, 1, 1), true, false, true},
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
      const int farOff = 1 << 20;  // an identifier no set uses
      if (c.zeroWeightPairFarOff) {
        src.push_back(Point(1e8, 1e8, 1e8, farOff));
        dst.push_back(Point(5, -7, 1, farOff));
      }
      std::uniform_real_distribution<double> factor(0.5, 2.0);
      for (const Point& p : src) {
        // Every draw a statement of its own: the order of a call's arguments differs between compilers.
        const double fx = c.perPair ? factor(rng) : 1.0, fy = c.perPair ? factor(rng) : 1.0;
        const Vec w(fx * c.weight.x, fy * c.weight.y, (c.perPair ? factor(rng) : 1.0) * c.weight.z);
        weights.push_back(Point(p.id == farOff ? Vec() : w, p.id));
      }
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

// Problems of unit weights whose answer is known only as Eigen's optimum:
// random ones with gross errors (swapped pairs among them), up to the first
// that fails, then named ones.
TEST(FitEngine, BadDataStillGivesTheLeastSquaresOptimum) {
  const auto expectOptimum = [](const Points& src, const Points& dst, bool withScale) {
    Transformation fit = kUntouched;
    const double residual = fit.computeTransformationNoId(src, dst, withScale);
    double sum = 0.0;
    for (std::size_t i = 0; i < src.size(); ++i) sum += (image(fit, src[i]) - dst[i]).length();
    // The mean distance, to the rounding of the coordinates and of the sum.
    EXPECT_NEAR(residual, sum / double(src.size()), 1e-12 + 1e-15 * (dst[0].length() + residual));
    const double extent = std::max(extentOf(dst), extentOf(src));
    EXPECT_TRUE(SameImages(fit, umeyamaOf(src, dst, withScale), src, 1e-9 * extent));
  };
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> count(3, 25), errors(0, 4);
  std::uniform_real_distribution<double> angle(-kPi, kPi), shift(-1e3, 1e3), decade(-2.0, 2.0), unit(0.0, 1.0);
  for (int trial = 0; trial < sweep(10000) && !HasFailure(); ++trial) {
    const bool withScale = unit(rng) < 0.5;
    const Points src = randomPoints(rng, std::size_t(count(rng)), 100.0, Vec(shift(rng), shift(rng), shift(rng)));
    const Transformation truth(Vec(shift(rng), shift(rng), shift(rng)), Vec(angle(rng) / 2, angle(rng), angle(rng)),
                               std::pow(10.0, decade(rng)));
    Points dst = moved(src, truth, rng, 0.01);
    for (int k = errors(rng); k > 0; --k) {  // gross errors up to a hundred times the part
      Point& p = dst[std::size_t(unit(rng) * double(dst.size() - 1))];
      p = Point(p + Vec(unit(rng) - 0.5, unit(rng) - 0.5, unit(rng) - 0.5) * 1e4 * unit(rng), p.id);
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << src.size() << " points, scale " << withScale);
    expectOptimum(src, dst, withScale);
  }
  rng.seed(1824);
  const Transformation motion(Vec(120, -40, 75), Vec(0.3, -1.1, 2.4), 1.0);
  const Points part = randomPoints(rng, 30, 100.0, Vec(10, 20, 30));
  Points inch = moved(part, motion, rng, 0.005), grid, thin;
  for (Point& p : inch) p = Point(p / 25.4, p.id);
  const Points box = randomPoints(rng, 1000, 2000.0, Vec(-1000, -500, 0));
  const Transformation toMap(Vec(5e8, 5e9, 1e5), Vec(0.2, 0.1, 2.9), 0.001);  // mm onto a grid in metres
  for (const Point& p : box) grid.push_back(Point(toMap.transformPoint(p), p.id));
  std::uniform_real_distribution<double> along(0.0, 100.0), across(0.0, 0.1);
  for (int i = 0; i < 40; ++i) thin.push_back(Point(along(rng), across(rng), across(rng), i));
  const Points bar = moved(thin, motion, rng, 3.0);  // noise 30 times the thickness
  const Points unrelated = randomPoints(rng, 30, 80.0, Vec(-500, 300, 40));
  // The angle about X at and next to ±π/2, where three angles lose a degree
  // of freedom (the fit must not care).
  const auto aboutX = [&](double turn) {
    return moved(part, Transformation(Vec(30, -500, 250), Vec(turn, 2.0, -2.5), 1.7), rng, 0.0);
  };
  struct Case { const char* name; Points src, dst; bool withScale; };
  const Case cases[] = {
      {"inch against mm, rigid", part, inch, false}, {"mm onto a map grid, scaled", box, grid, true},
      {"unrelated sets", part, unrelated, false},    {"unrelated sets, scaled", part, unrelated, true},
      {"noisy thin bar", thin, bar, false},          {"noisy thin bar, scaled", thin, bar, true},
      {"about X at pi/2, scaled", part, aboutX(kPi / 2), true},
      {"about X at -pi/2, scaled", part, aboutX(-kPi / 2), true},
      {"about X 1e-7 below pi/2, scaled", part, aboutX(kPi / 2 - 1e-7), true},
      {"about X 5e-8 above -pi/2, scaled", part, aboutX(-kPi / 2 + 5e-8), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectOptimum(c.src, c.dst, c.withScale);
  }
}

TEST(FitEngine, FarFromTheOriginAnyScaleGivesTheMotionBack) {
  std::mt19937 rng(6);
  const Points near = randomPoints(rng, 20, 50.0, Vec(-20, 10, 5));
  for (double offset : {0.0, 1e6})
    for (double scale : {1e-6, 1e-3, 1.0, 1e3, 1e6})
      for (double away : {0.0, 1e4, 1e7})
        for (bool withScale : {true, false}) {
          if (offset * scale > 1e7) continue;         // destinations up to 1e7 away
          if (!withScale && scale != 1.0) continue;  // a rigid fit of a rigid motion only
          SCOPED_TRACE(std::string(withScale ? "scaled" : "rigid") + ", source at " + std::to_string(offset) +
                       ", scale " + std::to_string(scale) + ", destination at " + std::to_string(away));
          const Points src = moved(near, Transformation(Vec(offset, -offset, offset / 2), Vec(), 1.0), rng, 0.0);
          const Transformation truth(Vec(away, away / 3, -away) / scale, Vec(1.2, -0.4, 2.2), scale);
          const Points dst = moved(src, truth, rng, 0.0);
          Transformation fit;
          EXPECT_GE(fit.computeTransformationNoId(src, dst, withScale), 0.0);
          // 5e-10 mm (a few ε of 1e6 mm) at the scale of the source; 1e-15 of the
          // destination's distance is rounding.
          EXPECT_TRUE(SameImages(fit, truth, src, 5e-10 * std::max(1.0, scale) + 1e-15 * away));
        }
}

TEST(FitEngine, WeightsThatDifferBetweenAxesGiveTheGlobalOptimum) {
  // Noise-free pairs of a known motion whose axes weigh 0, 0.01, 1 or 100:
  // the motion is the only exact fit, but from the mean weights the
  // iteration found other minima (weighted sums of squares of 1e3 to 5e4).
  // Each row: its name, the angles of the motion (degrees), five points and their weights.
  struct Row { const char* name; Vec anglesDeg; Points src, weights; };
  const Row rows[] = {
      {"mostly y and the second point", Vec(-20, -168, -129),
       {Point(50, 31, 30), Point(20, 12, -16), Point(49, -3, -29), Point(35, -34, 36), Point(11, -39, -46)},
       {Point(1, 100, 0.01), Point(100, 100, 100), Point(1, 0.01, 1), Point(0.01, 0.01, 0.01), Point(0, 100, 0)}},
      {"x and y, a point on y alone", Vec(59, 12, -133),
       {Point(-45, -10, 33), Point(-41, -9, 47), Point(46, -29, -50), Point(17, -49, -20), Point(0, 38, -41)},
       {Point(100, 100, 0.01), Point(100, 1, 100), Point(100, 1, 0.01), Point(0, 1, 0), Point(100, 100, 0)}},
      {"a different axis per point", Vec(33, -80, 66),
       {Point(41, -38, -9), Point(47, -40, 16), Point(23, -7, -43), Point(2, -7, 38), Point(18, -16, -45)},
       {Point(100, 0.01, 100), Point(1, 1, 100), Point(100, 100, 100), Point(0, 0.01, 100), Point(0.01, 0, 1)}},
  };
  for (const Row& row : rows)
    for (bool withScale : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (withScale ? ", scaled" : ", rigid"));
      const Transformation truth(Vec(10, 20, 30), row.anglesDeg * (kPi / 180.0), withScale ? 1.25 : 1.0);
      std::mt19937 rng(1);
      const Points dst = moved(row.src, truth, rng, 0.0);
      const FitResult fit = FitResult::fitByPosition(row.src, dst, row.weights, FitOptions{withScale, 1.0, false});
      ASSERT_TRUE(fit.isSucceeded()) << FitResult::getStatusText(fit.status);
      EXPECT_TRUE(SameImages(fit.transformation, truth, row.src, 1e-9));
    }
}

TEST(FitEngine, WeightMatricesGeneralisePerAxisWeights) {
  const Problem p = noisyMotion(25, 40);
  std::mt19937 rng(40);
  std::uniform_real_distribution<double> angle(0.1, 3.0);
  std::vector<FitWeightMatrix> diagonal, normalsInPlane;
  for (const Point& w : p.weights) {
    diagonal.push_back({{{w.x, 0, 0}, {0, w.y, 0}, {0, 0, w.z}}});
    const double a = angle(rng), c = std::cos(a), s = std::sin(a);  // normals in the x-y plane: nothing fixes z
    normalsInPlane.push_back({{{c * c, c * s, 0}, {c * s, s * s, 0}, {0, 0, 0}}});
  }
  for (bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    const FitOptions options{withScale, 1.0, false};
    const FitResult byAxes = FitResult::fitByPosition(p.src, p.dst, p.weights, options);
    const FitResult byMatrices = FitResult::fitByPosition(p.src, p.dst, diagonal, options);
    ASSERT_TRUE(byMatrices.isSucceeded());
    // The same optimum, each found to the iteration's stopping rule (a Newton
    // decrement of 1e-14 of F): on these pairs about 2e-9 mm apart, as the
    // builds' rounding decides.
    EXPECT_TRUE(SameImages(byMatrices.transformation, byAxes.transformation, p.src, 1e-8));
    EXPECT_NEAR(byMatrices.meanWeighted, byAxes.meanWeighted, 1e-7 * byAxes.meanWeighted);
    const FitResult inPlane = FitResult::fitByPosition(p.src, p.dst, normalsInPlane, options);
    EXPECT_EQ(inPlane.status, FitResult::FIT_DEGENERATE);
  }
}

// Large sets are summed in chunks of 65,536 pairs over threads, every chunk
// about the set's first pair that carries weight: here one in the second
// chunk, after 70,000 pairs of weight 0 that lie far off.
TEST(FitEngine, LargeSetsAreSummedInChunksAboutTheFirstWeightedPair) {
  const std::size_t n = ZEM_SANITIZED ? 140000 : 250000, unweighted = 70000;
  Problem p = noisyMotion(n, 23);
  for (std::size_t i = 0; i < unweighted; ++i) p.dst[i] = Point(p.dst[i] + Vec(5e3, -5e3, 5e3), p.dst[i].id);
  Points axes(n, Point(2.0, 2.0, 2.0));
  std::vector<FitWeightMatrix> matrices(n);
  for (std::size_t i = 0; i < n; ++i)
    for (int r = 0; r < 3; ++r) matrices[i].m[r][r] = 2.0;
  for (std::size_t i = 0; i < unweighted; ++i) {
    axes[i] = Point(0.0, 0.0, 0.0);
    matrices[i] = FitWeightMatrix();
  }
  const Points src(p.src.begin() + unweighted, p.src.end()), dst(p.dst.begin() + unweighted, p.dst.end());
  for (const bool withScale : {false, true}) {
    SCOPED_TRACE(withScale ? "scaled" : "rigid");
    const Eigen::Matrix4d reference = umeyamaOf(src, dst, withScale);
    const FitOptions options{withScale, 1.0, false};
    const FitResult byAxes = FitResult::fitByPosition(p.src, p.dst, axes, options);
    const FitResult byMatrices = FitResult::fitByPosition(p.src, p.dst, matrices, options);
    ASSERT_TRUE(byAxes.isSucceeded());
    ASSERT_TRUE(byMatrices.isSucceeded());
    EXPECT_TRUE(SameImages(byAxes.transformation, reference, src, 1e-9 * 400.0));
    EXPECT_TRUE(SameImages(byMatrices.transformation, reference, src, 1e-9 * 400.0));
  }
}

// The weights' flags (a negative weight, weights that differ between axes)
// come from every pair, wherever it lies in a set of many blocks: one
// negative weight fails the fit, and weights that differ only in the
// middle of the set make it iterate to the per-axis optimum, the same as
// with those pairs first.
TEST(FitEngine, EveryPairsWeightsCountWhereverItLies) {
  const std::size_t n = 1000;
  Problem p = noisyMotion(n, 31);
  std::mt19937 rng(31);
  p.dst = moved(p.src, Transformation(Vec(40.0, -7.0, 3.0), Vec(0.3, -0.1, 1.2), 1.0), rng, 1.0);  // 1 mm of noise
  Points unequalInside(n, Point(1.0, 1.0, 1.0));
  for (std::size_t i = 256; i < 768; ++i) unequalInside[i] = Point(0.05, 1.0, 20.0);
  // The same pairs, those of unequal weights first.
  Points src, dst, unequalFirst;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (k + 256) % n;
    src.push_back(p.src[i]);
    dst.push_back(p.dst[i]);
    unequalFirst.push_back(unequalInside[i]);
  }
  const FitResult inside = FitResult::fitByPosition(p.src, p.dst, unequalInside, false);
  const FitResult first = FitResult::fitByPosition(src, dst, unequalFirst, false);
  const FitResult equal = FitResult::fitByPosition(p.src, p.dst, {}, false);
  ASSERT_TRUE(inside.isSucceeded());
  ASSERT_TRUE(first.isSucceeded());
  ASSERT_TRUE(equal.isSucceeded());
  EXPECT_TRUE(SameImages(inside.transformation, first.transformation, p.src, 1e-9 * 400.0));
  EXPECT_FALSE(SameImages(inside.transformation, equal.transformation, p.src, 1e-3));  // the weights matter
  for (const std::size_t at : {std::size_t(3), std::size_t(700)}) {
    SCOPED_TRACE("a negative weight at pair " + std::to_string(at));
    Points negative(n, Point(1.0, 1.0, 1.0));
    negative[at].z = -1e-9;
    EXPECT_EQ(FitResult::fitByPosition(p.src, p.dst, negative, false).status, FitResult::FIT_NEGATIVE_WEIGHT);
  }
}

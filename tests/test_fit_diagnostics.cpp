// Held freedoms, gross errors and the statistics of FitResult: against an
// independent minimiser (Eigen's Levenberg-Marquardt on numerical
// derivatives) and against simulation. The Monte-Carlo cases run a few
// hundred seeded trials here; ZEM_LONG_TESTS=1 runs the full counts.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstdlib>
#include <unsupported/Eigen/NonLinearOptimization>
#include <unsupported/Eigen/NumericalDiff>

#include "fit_test_util.h"
#include "math_fit_result.h"

namespace Zem {
namespace {

using test::Point;
using test::Points;
using Eigen::Matrix3d;
using Eigen::Vector3d;

bool longRun() { return std::getenv("ZEM_LONG_TESTS") != nullptr; }

/// 12 well-spread points of a 200 mm part (the corners and face centres of
/// a box, jittered).
Points spreadPart(std::mt19937& rng) {
  std::uniform_real_distribution<double> jitter(-10.0, 10.0);
  Points pts;
  for (int i = 0; i < 12; ++i) {
    const double x = (i & 1) ? 200.0 : 0.0, y = (i & 2) ? 150.0 : 0.0, z = (i & 4) ? 100.0 : 0.0;
    pts.push_back(Point(x + jitter(rng), (i < 8 ? y : 75.0) + jitter(rng), (i < 8 ? z : 50.0 * (i - 8)) + jitter(rng), i));
  }
  return pts;
}

Transformation randomMotion(std::mt19937& rng, double scale) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Transformation t;
  t.set(BaVec3d<double>(500.0 * u(rng), 500.0 * u(rng), 500.0 * u(rng)), BaVec3d<double>(u(rng), u(rng), u(rng)),
        scale);
  return t;
}

Vector3d toEigen(const BaVec3d<double>& v) { return Vector3d(v.x, v.y, v.z); }

// ---------------------------------------------------------------------------
// Held freedoms against an independent minimisation over the free parameters.

/// The model of a held fit for Eigen's minimiser: parameters (free
/// translation components, rotation vector or angle, scale), residuals of
/// all pairs with per-axis weights.
struct HeldModel {
  using Scalar = double;
  enum { InputsAtCompileTime = Eigen::Dynamic, ValuesAtCompileTime = Eigen::Dynamic };
  using InputType = Eigen::VectorXd;
  using ValueType = Eigen::VectorXd;
  using JacobianType = Eigen::MatrixXd;
  int parameters;
  const Points& src;
  const Points& dst;
  const Points& weights;
  FitOptions options;
  HeldModel(const Points& s, const Points& d, const Points& w, const FitOptions& o, int params)
      : parameters(params), src(s), dst(d), weights(w), options(o) {}
  int inputs() const { return parameters; }
  int values() const { return int(3 * src.size()); }

  /// q = s·R·p + T from the parameters x.
  void unpack(const InputType& x, Matrix3d* rotation, Vector3d* translation, double* scale) const {
    int k = 0;
    *translation = Vector3d::Zero();
    for (int a = 0; a < 3; ++a)
      if (options.translation[a]) (*translation)(a) = x(k++);
    *rotation = Matrix3d::Identity();
    if (options.rotation == FitRotation::Free) {
      const Vector3d w(x(k), x(k + 1), x(k + 2));
      k += 3;
      if (w.norm() > 0.0) *rotation = Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix();
    } else if (options.rotation != FitRotation::None) {
      const int axis = int(options.rotation) - int(FitRotation::AboutX);
      *rotation = Eigen::AngleAxisd(x(k++), Vector3d::Unit(axis)).toRotationMatrix();
    }
    *scale = options.withScale ? x(k) : options.scale;
  }
  int operator()(const InputType& x, ValueType& f) const {
    Matrix3d r;
    Vector3d t;
    double s;
    unpack(x, &r, &t, &s);
    for (std::size_t i = 0; i < src.size(); ++i) {
      const Vector3d res = s * (r * toEigen(src[i])) + t - toEigen(dst[i]);
      f.segment<3>(long(3 * i)) = res.cwiseProduct(toEigen(weights[i]).cwiseSqrt());
    }
    return 0;
  }
};

struct HeldCase {
  FitRotation rotation;
  int translationMask;  // bit a: translation along axis a free
  bool withScale;
};

std::string describe(const HeldCase& c) {
  const char* rotations[] = {"free", "x", "y", "z", "none"};
  return std::string("rotation ") + rotations[int(c.rotation)] + ", translation mask " +
         std::to_string(c.translationMask) + (c.withScale ? ", scale estimated" : ", scale fixed");
}

FitOptions optionsOf(const HeldCase& c) {
  FitOptions o;
  o.rotation = c.rotation;
  for (int a = 0; a < 3; ++a) o.translation[a] = (c.translationMask >> a) & 1;
  o.withScale = c.withScale;
  return o;
}

/// The independent optimum, started from the motion that made the data.
Transformation referenceFit(const Points& src, const Points& dst, const Points& weights, const FitOptions& o,
                            const Eigen::VectorXd& truth) {
  HeldModel model(src, dst, weights, o, int(truth.size()));
  Eigen::NumericalDiff<HeldModel, Eigen::Central> numeric(model);
  Eigen::LevenbergMarquardt<Eigen::NumericalDiff<HeldModel, Eigen::Central>> lm(numeric);
  lm.parameters.xtol = 1e-15;
  lm.parameters.ftol = 1e-15;
  lm.parameters.gtol = 0.0;
  lm.parameters.maxfev = 100000;
  Eigen::VectorXd x = truth;
  for (int restart = 0; restart < 3; ++restart) lm.minimize(x);
  Matrix3d r;
  Vector3d t;
  double s;
  model.unpack(x, &r, &t, &s);
  double m[4][4] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = r(i, j);
  m[3][3] = 1.0;
  Transformation result;
  result.set(BaVec3d<double>(t.x() / s, t.y() / s, t.z() / s), Transformation(m).getAngles(), s);
  return result;
}

/// Σ rᵀWr of a transformation with per-axis weights.
double objectiveOf(const Transformation& t, const Points& src, const Points& dst, const Points& weights) {
  double f = 0.0;
  for (std::size_t i = 0; i < src.size(); ++i) {
    const BaVec3d<double> r = t.transformPoint(src[i]) - dst[i];
    f += weights[i].x * r.x * r.x + weights[i].y * r.y * r.y + weights[i].z * r.z * r.z;
  }
  return f;
}

/// Whether the matrix entries that a held freedom fixes are exactly 0.
::testing::AssertionResult HeldEntriesAreZero(const Transformation& t, const FitOptions& o) {
  for (int a = 0; a < 3; ++a)
    if (!o.translation[a] && t.getMatrix(3, unsigned(a)) != 0.0)
      return ::testing::AssertionFailure() << "translation component " << a << " is " << t.getMatrix(3, unsigned(a));
  if (o.rotation == FitRotation::Free) return ::testing::AssertionSuccess();
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 3; ++c) {
      const int axis = int(o.rotation) - int(FitRotation::AboutX);
      const bool offAxis = o.rotation == FitRotation::None ? r != c : (int(r) == axis) != (int(c) == axis);
      if (offAxis && t.getMatrix(c, r) != 0.0)
        return ::testing::AssertionFailure() << "rotation entry (" << r << ", " << c << ") is " << t.getMatrix(c, r);
    }
  return ::testing::AssertionSuccess();
}

TEST(FitHeldFreedoms, EveryCombinationIsTheOptimumOverTheFreeParameters) {
  std::mt19937 rng(19);
  std::uniform_real_distribution<double> u(-0.5, 0.5), w(0.5, 2.0);
  for (int rotation = 0; rotation < 5; ++rotation)
    for (int mask = 0; mask < 8; ++mask)
      for (bool withScale : {false, true}) {
        const HeldCase c{FitRotation(rotation), mask, withScale};
        SCOPED_TRACE(describe(c));
        const FitOptions o = optionsOf(c);
        // Data from a motion of the held kind, with noise and per-axis weights.
        std::vector<double> x;
        for (int a = 0; a < 3; ++a)
          if (o.translation[a]) x.push_back(100.0 * u(rng));
        if (c.rotation == FitRotation::Free) x.insert(x.end(), {u(rng), u(rng), u(rng)});
        if (c.rotation != FitRotation::Free && c.rotation != FitRotation::None) x.push_back(2.0 * u(rng));
        if (withScale) x.push_back(1.0 + 0.01 * u(rng));
        const Eigen::VectorXd truth = Eigen::Map<Eigen::VectorXd>(x.data(), long(x.size()));
        const Points src = spreadPart(rng);
        Points weights;
        for (const Point& p : src) weights.push_back(Point(w(rng), w(rng), w(rng), p.id));
        HeldModel model(src, src, weights, o, int(x.size()));
        Matrix3d r;
        Vector3d t;
        double s;
        model.unpack(truth, &r, &t, &s);
        Points dst;
        for (const Point& p : src) {
          const Vector3d q = s * (r * toEigen(p)) + t + Vector3d(u(rng), u(rng), u(rng)) * 0.2;
          dst.push_back(Point(q.x(), q.y(), q.z(), p.id));
        }
        const FitResult fit = FitResult::fitByPosition(src, dst, weights, o);
        ASSERT_TRUE(fit.isSucceeded()) << FitResult::getStatusText(fit.status);
        EXPECT_TRUE(HeldEntriesAreZero(fit.transformation, o));
        const Transformation reference = referenceFit(src, dst, weights, o, truth);
        EXPECT_LE(objectiveOf(fit.transformation, src, dst, weights),
                  objectiveOf(reference, src, dst, weights) * (1.0 + 1e-11));
        // Numerical derivatives hold this reference to some 1e-8 mm; the
        // Python tests compare with SciPy to 1e-9.
        EXPECT_TRUE(test::SameImages(fit.transformation, reference, src, 1e-7));
      }
}

TEST(FitHeldFreedoms, AFreedomThePairsDoNotFixIsNamed) {
  // Points on the Z axis cannot show a turn about Z.
  Points src, dst;
  for (int i = 0; i < 5; ++i) {
    src.push_back(Point(0.0, 0.0, 10.0 * i, i));
    dst.push_back(Point(1.0, 2.0, 10.0 * i + 3.0, i));
  }
  FitOptions o;
  o.rotation = FitRotation::AboutZ;
  const FitResult turn = FitResult::fitByPosition(src, dst, Points(), o);
  EXPECT_EQ(turn.status, FitResult::FIT_DEGENERATE);
  EXPECT_STREQ(turn.undetermined, "rotation about Z");
  // The same line fixes a translation-only fit.
  o.rotation = FitRotation::None;
  EXPECT_TRUE(FitResult::fitByPosition(src, dst, Points(), o).isSucceeded());
  // Weights along Z only leave a translation in X free.
  Points alongZ(src.size(), Point(0.0, 0.0, 1.0));
  o.translation[1] = false;
  const FitResult shift = FitResult::fitByPosition(src, dst, alongZ, o);
  EXPECT_EQ(shift.status, FitResult::FIT_DEGENERATE);
  EXPECT_STREQ(shift.undetermined, "translation in X");
  EXPECT_TRUE(test::SameImages(shift.transformation, Transformation::identity(), src, 0.0));
}

// ---------------------------------------------------------------------------
// Covariance against simulation.

/// The change (dt, ω, ds) about c that carries the truth onto the result.
Eigen::Matrix<double, 7, 1> changeOf(const Transformation& truth, const Transformation& result, const Vector3d& c) {
  Eigen::Matrix4d a, b;
  for (unsigned i = 0; i < 4; ++i)
    for (unsigned j = 0; j < 4; ++j) {
      a(i, j) = truth.getMatrix(j, i) / truth.getMatrix(3, 3);
      b(i, j) = result.getMatrix(j, i) / result.getMatrix(3, 3);
    }
  const Eigen::Matrix4d change = b * a.inverse();
  const Matrix3d m = change.block<3, 3>(0, 0);
  const double grow = std::cbrt(m.determinant());
  const Eigen::AngleAxisd turn(Matrix3d(m / grow));
  Eigen::Matrix<double, 7, 1> out;
  out.head<3>() = (change * Eigen::Vector4d(c.x(), c.y(), c.z(), 1.0)).head<3>() - c;
  out.segment<3>(3) = turn.angle() * turn.axis();
  out(6) = grow - 1.0;
  return out;
}

struct CovarianceCase {
  const char* name;
  bool withScale;
  bool perAxis;
};

/// Runs `trials` noisy fits and compares the empirical variances of the
/// change and of one mapped point with the mean reported ones.
void checkCovariance(const CovarianceCase& c, int trials, double tolerance) {
  SCOPED_TRACE(c.name);
  std::mt19937 rng(7);
  const Points src = spreadPart(rng);
  const Transformation truth = randomMotion(rng, c.withScale ? 1.001 : 1.0);
  std::uniform_real_distribution<double> w(0.25, 4.0);
  Points weights;
  for (const Point& p : src)
    weights.push_back(c.perAxis ? Point(w(rng), w(rng), w(rng), p.id) : Point(1.0, 1.0, 1.0, p.id));
  const double sigma = 0.005;
  const BaVec3d<double> probe(300.0, -50.0, 120.0);
  Eigen::Matrix<double, 7, 1> sum = Eigen::Matrix<double, 7, 1>::Zero(), sumSquares = sum, reported = sum;
  Vector3d pointSum = Vector3d::Zero(), pointSquares = Vector3d::Zero(), pointReported = Vector3d::Zero();
  FitOptions o;
  o.withScale = c.withScale;
  for (int trial = 0; trial < trials; ++trial) {
    Points dst;
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::size_t i = 0; i < src.size(); ++i) {
      const BaVec3d<double> q = truth.transformPoint(src[i]);
      dst.push_back(Point(q.x + sigma * noise(rng) / std::sqrt(weights[i].x),
                          q.y + sigma * noise(rng) / std::sqrt(weights[i].y),
                          q.z + sigma * noise(rng) / std::sqrt(weights[i].z), src[i].id));
    }
    const FitResult fit = FitResult::fitByPosition(src, dst, weights, o);
    ASSERT_TRUE(fit.isSucceeded());
    const Eigen::Matrix<double, 7, 1> d = changeOf(truth, fit.transformation, toEigen(fit.center));
    sum += d;
    sumSquares += d.cwiseProduct(d);
    for (int k = 0; k < 7; ++k) reported(k) += fit.covariance[k][k];
    const Vector3d q = toEigen(fit.transformation.transformPoint(probe));
    pointSum += q;
    pointSquares += q.cwiseProduct(q);
    const FitCovariance3 pc = fit.pointCovariance(probe);
    for (int k = 0; k < 3; ++k) pointReported(k) += pc.m[k][k];
  }
  const char* names[] = {"dtx", "dty", "dtz", "wx", "wy", "wz", "ds"};
  for (int k = 0; k < (c.withScale ? 7 : 6); ++k) {
    SCOPED_TRACE(names[k]);
    const double empirical = sumSquares(k) / trials - (sum(k) / trials) * (sum(k) / trials);
    EXPECT_NEAR(empirical / (reported(k) / trials), 1.0, tolerance);
  }
  if (!c.withScale) {
    EXPECT_EQ(reported(6), 0.0);
  }
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(std::string("mapped point ") + names[k]);
    const double empirical = pointSquares(k) / trials - (pointSum(k) / trials) * (pointSum(k) / trials);
    EXPECT_NEAR(empirical / (pointReported(k) / trials), 1.0, tolerance);
  }
}

const CovarianceCase kCovarianceCases[] = {
    {"rigid, unit weights", false, false},
    {"with scale, unit weights", true, false},
    {"rigid, per-axis weights", false, true},
    {"with scale, per-axis weights", true, true},
};

TEST(FitCovariance, MatchesTheScatterOfSimulatedFits) {
  // 400 seeded trials estimate a variance to about 7%; the full run uses 2,000.
  for (const CovarianceCase& c : kCovarianceCases) checkCovariance(c, longRun() ? 2000 : 400, longRun() ? 0.1 : 0.2);
}

TEST(FitCovariance, SigmaGivenScalesTheCovarianceAndSigma0StaysEstimated) {
  std::mt19937 rng(3);
  const Points src = spreadPart(rng);
  const Points dst = test::moved(src, randomMotion(rng, 1.0), rng, 0.01);
  const FitResult estimated = FitResult::fitByPosition(src, dst, Points(), FitOptions());
  FitOptions o;
  o.sigma = 0.002;
  const FitResult given = FitResult::fitByPosition(src, dst, Points(), o);
  EXPECT_EQ(given.sigma0, estimated.sigma0);
  EXPECT_EQ(given.redundancy, 36 - 6);
  const double ratio = (0.002 * 0.002) / (estimated.sigma0 * estimated.sigma0);
  EXPECT_NEAR(given.covariance[5][5] / estimated.covariance[5][5], ratio, 1e-12 * ratio);
  EXPECT_NEAR(given.covariance[0][0] / estimated.covariance[0][0], ratio, 1e-12 * ratio);
}

TEST(FitCovariance, DecisionsDoNotDependOnUnitsOrACommonWeight) {
  std::mt19937 rng(5);
  const Points src = spreadPart(rng);
  Points dst = test::moved(src, randomMotion(rng, 1.0), rng, 0.01);
  dst[4].x += 0.5;
  Points srcInch, dstInch, heavy(src.size(), Point(1000.0, 1000.0, 1000.0));
  for (std::size_t i = 0; i < src.size(); ++i) {
    srcInch.push_back(Point(src[i] / 25.4, src[i].id));
    dstInch.push_back(Point(dst[i] / 25.4, dst[i].id));
  }
  const FitResult mm = FitResult::fitByPosition(src, dst, Points(), FitOptions());
  const FitResult inch = FitResult::fitByPosition(srcInch, dstInch, Points(), FitOptions());
  const FitResult weighted = FitResult::fitByPosition(src, dst, heavy, FitOptions());
  for (std::size_t i = 0; i < src.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(inch.statistics[i], mm.statistics[i], 1e-8 * mm.statistics[i]);
    EXPECT_NEAR(weighted.statistics[i], mm.statistics[i], 1e-8 * mm.statistics[i]);
  }
  EXPECT_NEAR(inch.condition, mm.condition, 1e-6 * mm.condition);
}

// ---------------------------------------------------------------------------
// Gross errors.

struct RejectionCase {
  const char* name;
  int grossErrors;
  bool sigmaGiven;
  double required;  ///< share of trials that reject exactly the corrupted pairs
};

double exactRejectionShare(const RejectionCase& c, int trials) {
  std::mt19937 rng(1000 + c.grossErrors + (c.sigmaGiven ? 10 : 0));
  const double sigma = 0.005;
  std::uniform_real_distribution<double> size(10.0 * sigma, 100.0 * sigma);
  std::normal_distribution<double> direction(0.0, 1.0);
  FitOptions o;
  o.reject = true;
  o.sigma = c.sigmaGiven ? sigma : 0.0;
  int exact = 0;
  for (int trial = 0; trial < trials; ++trial) {
    const Points src = spreadPart(rng);
    Points dst = test::moved(src, randomMotion(rng, 1.0), rng, sigma);
    std::vector<int> order(src.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = int(i);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<bool> corrupted(src.size(), false);
    for (int k = 0; k < c.grossErrors; ++k) {
      const Vector3d d = Vector3d(direction(rng), direction(rng), direction(rng)).normalized() * size(rng);
      Point& p = dst[std::size_t(order[std::size_t(k)])];
      p = Point(p + BaVec3d<double>(d.x(), d.y(), d.z()), p.id);
      corrupted[std::size_t(order[std::size_t(k)])] = true;
    }
    const FitResult fit = FitResult::fitByPosition(src, dst, Points(), o);
    if (fit.isSucceeded() && fit.rejected == corrupted) ++exact;
  }
  return double(exact) / trials;
}

TEST(FitRejection, FindsExactlyTheGrossErrors) {
  const RejectionCase cases[] = {
      {"clean, sigma given", 0, true, 0.98},     {"clean, sigma estimated", 0, false, 0.98},
      {"one, sigma given", 1, true, 0.97},       {"one, sigma estimated", 1, false, 0.97},
      {"two, sigma given", 2, true, 0.97},       {"two, sigma estimated", 2, false, 0.97},
      {"three, sigma given", 3, true, 0.97},     {"three, sigma estimated", 3, false, 0.95},
  };
  for (const RejectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_GE(exactRejectionShare(c, longRun() ? 1000 : 200), c.required);
  }
}

TEST(FitRejection, ASwappedPairIsSetAsideAndTheRestFitsAsTheCleanData) {
  std::mt19937 rng(11);
  const Points src = spreadPart(rng);
  const Points clean = test::moved(src, randomMotion(rng, 1.0), rng, 0.003);
  Points swapped = clean;
  std::swap(swapped[2], swapped[9]);
  std::swap(swapped[2].id, swapped[9].id);
  FitOptions o;
  o.reject = true;
  const FitResult fit = FitResult::fitById(src, swapped, Points(), o);
  ASSERT_TRUE(fit.isSucceeded());
  std::vector<bool> expected(src.size(), false);
  expected[2] = expected[9] = true;
  EXPECT_EQ(fit.rejected, expected);
  EXPECT_EQ(fit.usedCount, src.size() - 2);
  EXPECT_GT(fit.statistics[2], 100.0);
  // The rest fits as the ten clean pairs alone do.
  Points src10, dst10;
  for (std::size_t i = 0; i < src.size(); ++i)
    if (!expected[i]) src10.push_back(src[i]), dst10.push_back(clean[i]);
  const FitResult ten = FitResult::fitByPosition(src10, dst10, Points(), FitOptions());
  EXPECT_TRUE(test::SameImages(fit.transformation, ten.transformation, src, 1e-9));
  EXPECT_NEAR(fit.rms, ten.rms, 1e-12);
}

TEST(FitRejection, NeverSetsAsideMoreThanHalf) {
  std::mt19937 rng(13);
  const Points src = spreadPart(rng);
  Points dst = test::moved(src, Transformation::identity(), rng, 0.001);
  std::uniform_real_distribution<double> far(-50.0, 50.0);
  for (std::size_t i = 0; i < 8; ++i) dst[i] = Point(dst[i] + BaVec3d<double>(far(rng), far(rng), far(rng)), dst[i].id);
  FitOptions o;
  o.reject = true;
  o.sigma = 0.001;
  const FitResult fit = FitResult::fitByPosition(src, dst, Points(), o);
  ASSERT_TRUE(fit.isSucceeded());
  EXPECT_GE(fit.usedCount, 6u);
}

}  // namespace
}  // namespace Zem

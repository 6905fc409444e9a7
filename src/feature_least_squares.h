// Internal: the damped least-squares search (Levenberg-Marquardt) behind the
// iterative element fits. Each step factors the Jacobian by Householder QR
// and solves the damped system on the triangular factor, so that the normal
// matrix, which squares the conditioning of a partial arc, is never formed.
// The search is a template over the element's problem; its linear algebra,
// on matrices of at most kMaxParameters columns, is compiled once
// (feature_least_squares.cpp) for every element.
#ifndef ZEM_FEATURE_LEAST_SQUARES_H
#define ZEM_FEATURE_LEAST_SQUARES_H

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <vector>

#include "feature_common.h"

namespace Zem {
namespace feature {

struct SearchOutcome {
  enum Result_t { CONVERGED, NOT_FINITE, NOT_CONVERGED };
  Result_t result = NOT_CONVERGED;
  int iterations = 0;
  double cost = 0.0;        ///< sum of squared residuals at the end
  bool determined = false;  ///< the Jacobian at the end has full rank (CONVERGED only)
};

/// Steps at or below this size (in the data's scaled coordinates, where the
/// element's parameters are of order 1) change nothing beyond rounding.
constexpr double kNegligibleStep = 1e-14;
/// A column-scaled Jacobian whose smallest singular value is this small
/// relative to its largest leaves the element free to move along that
/// direction: the points do not determine it. Genuine partial arcs (20
/// degrees) stay above 1e-4.
constexpr double kRankTolerance = 1e-10;
constexpr int kMaxIterations = 400;

/// The most parameters an element has (a circle in 3D: centre, normal, radius).
constexpr int kMaxParameters = 6;
/// One row per residual, one column per parameter.
using Jacobian = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, Eigen::Dynamic, kMaxParameters>;
using Step = Eigen::Matrix<double, Eigen::Dynamic, 1, Eigen::ColMajor, kMaxParameters, 1>;
using Square = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, kMaxParameters, kMaxParameters>;

/// The linear algebra of the search's steps from one point: J = Q·R.
class StepSolver {
 public:
  /// Factors the Jacobian J at the point with residuals r, and raises the
  /// column scales (Marquardt's, never shrinking) to J's column norms.
  StepSolver(const Jacobian& J, const Eigen::VectorXd& r, Step* scales);
  /// The step δ minimising |J·δ + r|² + λ·|D·δ|² with D the scales; λ = 0
  /// gives the Gauss-Newton step.
  Step step(double lambda, const Step& scales) const;

 private:
  Square r_;  ///< the triangular factor
  Step qtr_;  ///< the first columns' part of Qᵀ·r
};

/// The points determine the parameters at J: the singular values of J with
/// unit columns stay above kRankTolerance relative to the largest.
bool determines(const Jacobian& J);

/// What the problems of the round elements share: the points (centred and
/// scaled, one per column), one residual per point unless a problem says
/// otherwise, and a radius that has run off to infinity (no finite minimum
/// ahead) beyond `runaway` in those scaled coordinates.
template <class StateT, int P>
class RadiusProblem {
 public:
  using State = StateT;
  static constexpr int kParameters = P;
  RadiusProblem(const Eigen::Matrix3Xd& q, double runaway) : q_(q), runaway_(runaway) {}
  Eigen::Index residualCount() const { return q_.cols(); }
  bool runsAway(const State& s) const { return !(std::fabs(s.radius) < runaway_); }

 protected:
  const Eigen::Matrix3Xd& q_;
  double runaway_;
};

/// Minimises the sum of squared residuals of `problem`, starting from and
/// writing to *state. A Problem has, with P its number of parameters:
///   using State = ...;  static constexpr int kParameters = P;
///   Eigen::Index residualCount() const;
///   void evaluate(const State&, Eigen::VectorXd* r, Jacobian* J) const;
///       (J, of P columns, may be null: residuals only)
///   State moved(const State&, const Step& step) const;   (P entries)
///   bool runsAway(const State&) const;   (true: no finite minimum ahead)
template <class Problem>
SearchOutcome searchLeastSquares(const Problem& problem, typename Problem::State* state) {
  static_assert(Problem::kParameters <= kMaxParameters, "more parameters than the search takes");
  const Eigen::Index m = problem.residualCount();
  Eigen::VectorXd r(m), trialR(m);
  Jacobian J(m, Problem::kParameters);
  SearchOutcome out;
  typename Problem::State x = *state;
  problem.evaluate(x, &r, &J);
  double cost = r.squaredNorm();
  if (!std::isfinite(cost) || !J.allFinite()) {
    out.result = SearchOutcome::NOT_FINITE;
    return out;
  }
  Step scales = Step::Zero(Problem::kParameters);
  double lambda = 0.0;  // 0: a plain Gauss-Newton step
  bool done = false;
  while (!done && out.iterations < kMaxIterations) {
    ++out.iterations;
    const StepSolver solver(J, r, &scales);
    for (;;) {
      const Step step = solver.step(lambda, scales);
      const bool finite = step.allFinite();
      const bool negligible = finite && step.cwiseAbs().maxCoeff() <= kNegligibleStep;
      double trialCost = HUGE_VAL;
      typename Problem::State trial = x;
      if (finite) {
        trial = problem.moved(x, step);
        problem.evaluate(trial, &trialR, nullptr);
        trialCost = trialR.squaredNorm();
      }
      if (std::isfinite(trialCost) && trialCost < cost) {
        x = trial;
        r.swap(trialR);
        cost = trialCost;
        lambda = lambda < 1e-12 ? 0.0 : lambda * 0.1;
        if (problem.runsAway(x)) {
          *state = x;
          out.cost = cost;
          return out;  // NOT_CONVERGED
        }
        done = negligible;
        break;
      }
      // No decrease: at the minimum to rounding once the step is negligible
      // or the damping has shrunk it to nothing.
      if (negligible || lambda > 1e20) {
        done = true;
        break;
      }
      lambda = lambda == 0.0 ? 1e-6 : lambda * 10.0;
    }
    problem.evaluate(x, &r, &J);
    if (!J.allFinite()) {
      out.result = SearchOutcome::NOT_FINITE;
      return out;
    }
  }
  *state = x;
  out.cost = cost;
  if (!done) return out;  // NOT_CONVERGED
  out.result = SearchOutcome::CONVERGED;
  out.determined = determines(J);
  return out;
}

/// The status of a search that found no usable minimum.
inline FeatureFit::Status_t failureOf(const SearchOutcome& o) {
  return o.result == SearchOutcome::NOT_FINITE ? FeatureFit::FEATURE_NOT_FINITE : FeatureFit::FEATURE_NOT_CONVERGED;
}

/// The best minimum of a round element's `problem` over starts across each
/// of the unit `directions`: a start is the algebraic circle of the points
/// seen along the direction (none when there is no circle), made a state by
/// `start(direction, centre, radius)`. The best is the converged search of
/// lowest cost with a positive radius. False, with *fit failed, when there
/// is none or the points do not determine it.
template <class Problem, class Start>
bool bestRoundSearch(const Problem& problem, const Eigen::Matrix3Xd& q, const std::vector<Eigen::Vector3d>& directions,
                     const Start& start, FeatureFit* fit, typename Problem::State* best, SearchOutcome* outcome) {
  bool found = false;
  SearchOutcome last;
  for (const Eigen::Vector3d& direction : directions) {
    Eigen::Vector3d u, v;
    perpendicularPair(direction, &u, &v);
    Eigen::Vector2d c;
    double radius = 0.0;
    if (!algebraicCircle(q, u, v, &c, &radius)) continue;
    typename Problem::State s = start(direction, Eigen::Vector3d(c(0) * u + c(1) * v), radius);
    last = searchLeastSquares(problem, &s);
    if (last.result == SearchOutcome::CONVERGED && s.radius > 0.0 && (!found || last.cost < outcome->cost)) {
      *best = s;
      *outcome = last;
      found = true;
    }
  }
  if (!found) {
    fail(fit, failureOf(last));
    return false;
  }
  if (!outcome->determined) {
    fail(fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_UNDETERMINED);
    return false;
  }
  return true;
}

}  // namespace feature
}  // namespace Zem

#endif  // ZEM_FEATURE_LEAST_SQUARES_H

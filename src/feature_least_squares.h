// Internal: the damped least-squares search (Levenberg-Marquardt) behind the
// iterative element fits. Each step factors the Jacobian by Householder QR
// and solves the damped system on the triangular factor, so that the normal
// matrix, which squares the conditioning of a partial arc, is never formed.
#ifndef ZEM_FEATURE_LEAST_SQUARES_H
#define ZEM_FEATURE_LEAST_SQUARES_H

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

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
///   void evaluate(const State&, Eigen::VectorXd* r, Eigen::Matrix<double, Eigen::Dynamic, P>* J) const;
///       (J may be null: residuals only)
///   State moved(const State&, const Eigen::Matrix<double, P, 1>& step) const;
///   bool runsAway(const State&) const;   (true: no finite minimum ahead)
template <class Problem>
SearchOutcome searchLeastSquares(const Problem& problem, typename Problem::State* state) {
  constexpr int P = Problem::kParameters;
  using Jacobian = Eigen::Matrix<double, Eigen::Dynamic, P>;
  using Vector = Eigen::Matrix<double, P, 1>;
  using Square = Eigen::Matrix<double, P, P>;
  const Eigen::Index m = problem.residualCount();
  Eigen::VectorXd r(m), trialR(m);
  Jacobian J(m, P);
  SearchOutcome out;
  typename Problem::State x = *state;
  problem.evaluate(x, &r, &J);
  double cost = r.squaredNorm();
  if (!std::isfinite(cost) || !J.allFinite()) {
    out.result = SearchOutcome::NOT_FINITE;
    return out;
  }
  Vector scales = Vector::Zero();  // Marquardt's column scaling, never shrinking
  double lambda = 0.0;             // 0: a plain Gauss-Newton step
  bool done = false;
  while (!done && out.iterations < kMaxIterations) {
    ++out.iterations;
    scales = scales.cwiseMax(J.colwise().norm().transpose());
    const Eigen::HouseholderQR<Jacobian> qr(J);
    const Square R = qr.matrixQR().template topRows<P>().template triangularView<Eigen::Upper>();
    const Vector qtr = (qr.householderQ().transpose() * r).template head<P>();
    for (;;) {
      Vector step;
      if (lambda == 0.0) {
        step = -R.template triangularView<Eigen::Upper>().solve(qtr);
      } else {
        Eigen::Matrix<double, 2 * P, P> damped;
        damped << R, Square(std::sqrt(lambda) * scales.asDiagonal());
        Eigen::Matrix<double, 2 * P, 1> rhs;
        rhs << -qtr, Vector::Zero();
        step = damped.householderQr().solve(rhs);
      }
      const bool negligible = step.allFinite() && step.cwiseAbs().maxCoeff() <= kNegligibleStep;
      double trialCost = HUGE_VAL;
      typename Problem::State trial = x;
      if (step.allFinite()) {
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
  // Determinacy: the singular values of the Jacobian with unit columns.
  const Vector norms = J.colwise().norm().transpose();
  if (norms.minCoeff() > 0.0) {
    const Eigen::HouseholderQR<Jacobian> qr(J);
    const Square R = qr.matrixQR().template topRows<P>().template triangularView<Eigen::Upper>();
    const Vector sv = Eigen::JacobiSVD<Square>(R * norms.cwiseInverse().asDiagonal()).singularValues();
    out.determined = sv(P - 1) > kRankTolerance * sv(0);
  }
  return out;
}

}  // namespace feature
}  // namespace Zem

#endif  // ZEM_FEATURE_LEAST_SQUARES_H

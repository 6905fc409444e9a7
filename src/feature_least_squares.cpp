// The linear algebra of the damped least-squares search
// (feature_least_squares.h), compiled once for every element.
#include "feature_least_squares.h"

namespace Zem {
namespace feature {

namespace {

/// The upper triangular factor R of J (as many rows as J has columns).
Square triangularFactor(const Eigen::HouseholderQR<Jacobian>& qr) {
  const Eigen::Index p = qr.matrixQR().cols();
  return qr.matrixQR().topRows(p).triangularView<Eigen::Upper>();
}

}  // namespace

StepSolver::StepSolver(const Jacobian& J, const Eigen::VectorXd& r, Step* scales) {
  *scales = scales->cwiseMax(J.colwise().norm().transpose());
  const Eigen::HouseholderQR<Jacobian> qr(J);
  r_ = triangularFactor(qr);
  qtr_ = (qr.householderQ().transpose() * r).head(J.cols());
}

Step StepSolver::step(double lambda, const Step& scales) const {
  if (lambda == 0.0) return -r_.triangularView<Eigen::Upper>().solve(qtr_);
  // The damped system as one least-squares problem: [R; √λ·D]·δ = [−Qᵀr; 0].
  const Eigen::Index p = r_.cols();
  // (The Jacobian's own type, so that its factorisation is compiled once.)
  Jacobian damped(2 * p, p);
  damped << r_, Square(std::sqrt(lambda) * scales.asDiagonal());
  Eigen::VectorXd rhs(2 * p);
  rhs << -qtr_, Step::Zero(p);
  return Eigen::HouseholderQR<Jacobian>(damped).solve(rhs);
}

bool determines(const Jacobian& J) {
  // The singular values of R with unit columns are those of J with unit columns.
  const Step norms = J.colwise().norm().transpose();
  if (!(norms.array() > 0.0).all()) return false;
  const Square unitColumns = triangularFactor(Eigen::HouseholderQR<Jacobian>(J)) * norms.cwiseInverse().asDiagonal();
  const Step sv = Eigen::JacobiSVD<Square>(unitColumns).singularValues();
  return sv(sv.size() - 1) > kRankTolerance * sv(0);
}

}  // namespace feature
}  // namespace Zem

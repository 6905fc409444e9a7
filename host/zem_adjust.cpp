#include "zem_adjust.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

namespace Zem {
namespace EQN {

namespace {

bool allFinite(const std::vector<double>& v) {
  for (double d : v)
    if (!std::isfinite(d)) return false;
  return true;
}

}  // namespace

// --- Equation ---------------------------------------------------------------

Equation::Equation(unsigned n) : n_(n), a_(std::size_t(n) * n, 0.0), b_(n, 0.0), x_(n, 0.0) {
  if (n == 0) throw ProgError("Zem::EQN::Equation::Equation", __FILE__, __LINE__, "system without variables");
}

void Equation::setRow(unsigned i, const std::vector<double>& coefficients, double rhs) {
  if (i >= n_) throw ProgError("Zem::EQN::Equation::setRow", __FILE__, __LINE__, "row index out of range");
  if (coefficients.size() != n_)
    throw ProgError("Zem::EQN::Equation::setRow", __FILE__, __LINE__, "row size differs from the system size");
  std::copy(coefficients.begin(), coefficients.end(), a_.begin() + std::ptrdiff_t(i) * n_);
  b_[i] = rhs;
}

bool Equation::solve() {
  if (!allFinite(a_) || !allFinite(b_)) return false;
  const Eigen::Index n = n_;
  Eigen::MatrixXd a = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
      a_.data(), n, n);
  Eigen::VectorXd b = Eigen::Map<const Eigen::VectorXd>(b_.data(), n);

  // Equilibrate so that the rank test does not depend on the units of the
  // variables or the equations: every column, then every row, gets a largest
  // magnitude of 1. A zero column or row makes the system singular at once.
  Eigen::VectorXd colScale(n);
  for (Eigen::Index c = 0; c < n; ++c) {
    const double m = a.col(c).cwiseAbs().maxCoeff();
    if (!(m > 0.0)) return false;
    colScale(c) = 1.0 / m;
    a.col(c) *= colScale(c);
  }
  for (Eigen::Index r = 0; r < n; ++r) {
    const double m = a.row(r).cwiseAbs().maxCoeff();
    if (!(m > 0.0)) return false;
    a.row(r) /= m;
    b(r) /= m;
  }

  Eigen::FullPivLU<Eigen::MatrixXd> lu(a);
  lu.setThreshold(kSingularThreshold);
  if (!lu.isInvertible()) return false;
  const Eigen::VectorXd y = lu.solve(b);
  const Eigen::VectorXd x = y.cwiseProduct(colScale);
  if (!x.allFinite()) return false;
  for (Eigen::Index i = 0; i < n; ++i) x_[std::size_t(i)] = x(i);
  return true;
}

double Equation::getXValue(unsigned i) const {
  if (i >= n_) throw ProgError("Zem::EQN::Equation::getXValue", __FILE__, __LINE__, "variable index out of range");
  return x_[i];
}

// --- EquationAdjust ---------------------------------------------------------

EquationAdjust::EquationAdjust(unsigned n)
    : n_(n), normal_(std::size_t(n) * n, 0.0), rhs_(n, 0.0), x_(n, 0.0), rank_(n), present_(n, 0u), scale_(n, 0.0) {
  if (n == 0)
    throw ProgError("Zem::EQN::EquationAdjust::EquationAdjust", __FILE__, __LINE__, "problem without variables");
}

void EquationAdjust::setObservation(const std::vector<double>& row, double value, double weight) {
  if (row.size() != n_)
    throw ProgError("Zem::EQN::EquationAdjust::setObservation", __FILE__, __LINE__,
                    "row size differs from the number of variables");
  if (weight < 0.0)
    throw ProgError("Zem::EQN::EquationAdjust::setObservation", __FILE__, __LINE__, "negative weight");

  // Gather the present coefficients once, then fill the upper triangle from
  // them alone: the absent ones cost nothing beyond the comparison.
  unsigned count = 0;
  for (unsigned i = 0; i < n_; ++i)
    if (row[i] != kAbsent) present_[count++] = i;

  double* const normal = normal_.data();
  const std::size_t n = n_;
  for (unsigned k = 0; k < count; ++k) {
    const unsigned i = present_[k];
    const double wc = weight * row[i];
    rhs_[i] += wc * value;
    double* const rowI = normal + i * n;
    for (unsigned l = k; l < count; ++l) rowI[present_[l]] += wc * row[present_[l]];
  }
  if (weight != 0.0) ++observations_;  // one of weight 0 adds exact zeros
}

void EquationAdjust::addNormalSums(const double* normal, const double* rhs, std::size_t observations) {
  const std::size_t n = n_;
  for (std::size_t i = 0; i < n; ++i) {
    rhs_[i] += rhs[i];
    for (std::size_t j = i; j < n; ++j) normal_[i * n + j] += normal[i * n + j];
  }
  observations_ += observations;
}

void EquationAdjust::clearAccumulation() {
  std::fill(normal_.begin(), normal_.end(), 0.0);
  std::fill(rhs_.begin(), rhs_.end(), 0.0);
  observations_ = 0;
}

bool EquationAdjust::solve() {
  const Eigen::Index n = n_;
  Eigen::MatrixXd normal(n, n);
  Eigen::VectorXd rhs(n);
  bool finite = true;
  double largest = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    rhs(i) = rhs_[std::size_t(i)];
    finite = finite && std::isfinite(rhs(i));
    for (Eigen::Index j = i; j < n; ++j) {
      const double v = normal_[std::size_t(i * n + j)];
      finite = finite && std::isfinite(v);
      largest = std::max(largest, std::fabs(v));
      normal(i, j) = normal(j, i) = v;
    }
  }
  const bool usable = observations_ > 0 && largest > 0.0;
  const double observations = double(observations_);
  clearAccumulation();
  if (!finite || !usable) return false;

  // Symmetric equilibration: every variable is measured in the unit that
  // gives its column of the (weighted) observation matrix a length of 1, so
  // that the normal matrix has a unit diagonal. The rank decision then does
  // not depend on the units of the variables, on a common factor of the
  // weights or on a column that is small only because its observations weigh
  // little. A variable that no observation touches (zero diagonal) keeps the
  // scale 0: its column stays zero and its value 0.
  Eigen::Map<Eigen::VectorXd> scale(scale_.data(), n);
  for (Eigen::Index i = 0; i < n; ++i) scale(i) = normal(i, i) > 0.0 ? 1.0 / std::sqrt(normal(i, i)) : 0.0;
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j) normal(i, j) *= scale(i) * scale(j);

  Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd> cod;
  cod.setThreshold(kRankTolerance * std::sqrt(observations));
  cod.compute(normal);
  const Eigen::VectorXd x = scale.cwiseProduct(cod.solve(scale.cwiseProduct(rhs)));
  if (!x.allFinite()) return false;
  for (Eigen::Index i = 0; i < n; ++i) x_[std::size_t(i)] = x(i);
  rank_ = unsigned(cod.rank());
  return true;
}

double EquationAdjust::getXValue(unsigned i) const {
  if (i >= n_)
    throw ProgError("Zem::EQN::EquationAdjust::getXValue", __FILE__, __LINE__, "variable index out of range");
  return x_[i];
}

}  // namespace EQN
}  // namespace Zem

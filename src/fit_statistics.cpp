// The statistics of a best fit: the pairs' tests and the covariance of a
// mapped point (the model in fit_model.h).
//
// Statistics. With W = Kᵀ·K (K of rank r, the pair's observations), e = K·v
// the whitened residual and A = K·J·B, the cofactor matrix of e is
// I − A·(BᵀNB)⁻¹·Aᵀ for a pair used and I + A·(BᵀNB)⁻¹·Aᵀ for the prediction
// of a pair set aside; T·sigma² = eᵀ·Q⁻¹·e. For a pair used this is also the
// drop of Σ rᵀWr when the pair leaves the fit, which gives its leave-one-out
// variance of unit weight (Σ rᵀWr − T·sigma²) / (redundancy − r).
#include <algorithm>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <cmath>
#include <vector>

#include "fit_model.h"

namespace Zem {
namespace fit {

namespace {

/// A direction of a pair's cofactor matrix below this counts as fixed by
/// that pair alone (leverage 1): its residual there is 0 and untestable.
constexpr double kLeverage = 1e-9;

/// The whitening K of a weight W = KᵀK (rows of 0 beyond its rank) and its rank.
int whitening(const Matrix3d& w, bool diagonal, Matrix3d* k) {
  if (diagonal) {
    k->setZero();
    int rank = 0;
    for (int a = 0; a < 3; ++a)
      if (w(a, a) > 0.0) {
        (*k)(a, a) = std::sqrt(w(a, a));
        ++rank;
      }
    return rank;
  }
  Eigen::SelfAdjointEigenSolver<Matrix3d> eigen;
  eigen.computeDirect(w);
  const Vector3d values = eigen.eigenvalues();
  const double limit = 1e-12 * values.cwiseAbs().maxCoeff();
  int rank = 0;
  k->setZero();
  for (int a = 0; a < 3; ++a)
    if (values(a) > limit) {
      k->row(a) = std::sqrt(values(a)) * eigen.eigenvectors().col(a).transpose();
      ++rank;
    }
  return rank;
}

}  // namespace

Assessment assess(const Pairs& pairs, const Freedoms& fr, const Pose& pose) {
  Assessment out;
  centroidOf(pairs, &out.center, &out.spread);
  Matrix7 n7;
  Vector7 g7;
  normalEquations(pairs, pose, out.center, &n7, &g7, &out.omega);
  out.basis = basisOf(fr, pose.translation, out.center);
  out.normal = analyse(n7, out.basis, fr);
  const std::size_t n = pairs.list.n;
  out.drop.assign(n, 0.0);
  out.rank.assign(n, 0);
  long observations = 0;
  const bool diagonal = pairs.list.weights.matrices == nullptr;
  // The cofactor matrix of a pair's fitted point is J·M·Jᵀ.
  Matrix7 m = Matrix7::Zero();
  if (out.normal.regular) m = out.basis * out.normal.inverse * out.basis.transpose();
  for (std::size_t i = 0; i < n; ++i) {
    const Matrix3d w = pairs.weight(i);
    Matrix3d k;
    const int rank = whitening(w, diagonal, &k);
    if (pairs.used[i]) observations += rank;
    if (rank == 0 || !out.normal.regular) continue;
    const Vector3d q = pose.map(pairs.list.src[i]);
    const Vector3d e = k * (q - toEigen(pairs.list.dst[i]));
    const Eigen::Matrix<double, 3, 7> j = jacobian(q, out.center);
    const Matrix3d h = k * (j * m * j.transpose()) * k.transpose();
    const Matrix3d cofactor = pairs.used[i] ? Matrix3d(Matrix3d::Identity() - h) : Matrix3d(Matrix3d::Identity() + h);
    // A regular weight and a cofactor well away from singular (its
    // eigenvalues lie in (0, 1] for a pair used, at least 1 for one set
    // aside, so the determinant bounds the smallest): the closed-form
    // inverse. Otherwise the directions that the pair fixes alone are left out.
    if (rank == 3 && cofactor.determinant() > kLeverage) {
      out.drop[i] = e.dot(cofactor.inverse() * e);
      out.rank[i] = 3;
      continue;
    }
    Matrix3d masked = cofactor;
    for (int d = 0; d < 3; ++d)
      if (k.row(d).isZero()) masked.row(d).setZero(), masked.col(d).setZero();
    Eigen::SelfAdjointEigenSolver<Matrix3d> eigen;
    eigen.computeDirect(masked);
    double drop = 0.0;
    int freeRank = 0;
    for (int d = 0; d < 3; ++d) {
      const double value = eigen.eigenvalues()(d);
      if (!(value > kLeverage)) continue;
      const double along = eigen.eigenvectors().col(d).dot(e);
      drop += along * along / value;
      ++freeRank;
    }
    out.drop[i] = drop;
    out.rank[i] = freeRank;
  }
  out.redundancy = observations - fr.count();
  return out;
}

double chiSquareQuantile(int degrees, double p) {
  return boost::math::quantile(boost::math::chi_squared_distribution<double>(degrees), p);
}

/// The statistic of pair i (0 when it cannot be tested) and its
/// degrees of freedom of the variance (0: a-priori sigma, or untestable);
/// `sigma` the a-priori sigma, or 0 for the least-squares estimate
/// (leave-one-out for a pair used).
double statisticOf(const Assessment& a, const Pairs& pairs, std::size_t i, double sigma, long* dof) {
  *dof = 0;
  const int r = a.rank[i];
  if (r == 0) return 0.0;
  if (sigma > 0.0) return a.drop[i] / (sigma * sigma);
  const long rest = pairs.used[i] ? a.redundancy - r : a.redundancy;
  if (rest <= 0) return 0.0;
  const double variance = (pairs.used[i] ? a.omega - a.drop[i] : a.omega) / double(rest);
  // A variance at the rounding level of the data leaves nothing to test.
  if (!(variance > 64.0 * kEpsilon * kEpsilon * a.spread)) return 0.0;
  *dof = rest;
  return a.drop[i] / variance;
}

/// The critical value of a statistic with r degrees of freedom at `alpha`:
/// chi-square (sigma given, dof 0) or r times F(r, dof).
double criticalOf(int r, long dof, double alpha) {
  if (dof == 0) return chiSquareQuantile(r, 1.0 - alpha);
  return double(r) * boost::math::quantile(boost::math::fisher_f_distribution<double>(r, double(dof)), 1.0 - alpha);
}

/// The median of the drops of the pairs used, each divided by the median of
/// chi-square with its degrees of freedom: a variance of unit weight that a
/// few gross errors do not pull up.
double robustVariance(const Assessment& a, const Pairs& pairs) {
  // The medians of chi-square with 1, 2 and 3 degrees of freedom.
  static const double kMedian[4] = {0.0, 0.454936423119572, 1.386294361119891, 2.3659738843753377};
  std::vector<double> scaled;
  for (std::size_t i = 0; i < pairs.list.n; ++i)
    if (pairs.used[i] && a.rank[i] > 0) scaled.push_back(a.drop[i] / kMedian[a.rank[i]]);
  if (scaled.empty()) return 0.0;
  const std::size_t mid = scaled.size() / 2;
  std::nth_element(scaled.begin(), scaled.begin() + std::ptrdiff_t(mid), scaled.end());
  double median = scaled[mid];
  if (scaled.size() % 2 == 0) median = 0.5 * (median + *std::max_element(scaled.begin(), scaled.begin() + std::ptrdiff_t(mid)));
  return median;
}

}  // namespace fit

FitCovariance3 FitResult::pointCovariance(const BaVec3d<double>& p) const {
  const BaVec3d<double> q = transformation.transformPoint(p);
  const Eigen::Matrix<double, 3, 7> j =
      fit::jacobian(Eigen::Vector3d(q.x, q.y, q.z), Eigen::Vector3d(center.x, center.y, center.z));
  Eigen::Matrix<double, 7, 7> c;
  for (int r = 0; r < 7; ++r)
    for (int k = 0; k < 7; ++k) c(r, k) = covariance[r][k];
  const Eigen::Matrix3d result = j * c * j.transpose();
  FitCovariance3 out;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) out.m[r][k] = result(r, k);
  return out;
}

}  // namespace Zem

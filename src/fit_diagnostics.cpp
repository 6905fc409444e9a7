// Held freedoms, gross errors and the statistics of a best fit.
//
// Model. A source point p maps to q = s·R·p + T. A step of the fit, and the
// parameters whose covariance the result reports, are a small change applied
// after the current map in the destination frame, about the weighted
// centroid c of the destination points used:
//   q -> (1 + ds)·exp([ω]×)·(q − c) + c + dt,   θ = (dt, ω, ds) ∈ R⁷,
// whose Jacobian at θ = 0 is J = [I, −[q − c]×, q − c] for every pair.
// Measured about c, the columns are nearly orthogonal however far the part
// lies from the origin.
//
// Held freedoms. A held rotation axis or a fixed scale drops its column. A
// fixed translation component T_k = 0 drops dt_k, but a free turn or scale
// about c moves T_k; its column then carries the dt_k that keeps T_k, so
// that the free directions are the tangent of the set of maps with the held
// values (columns B, 7 x m). The normal matrix of the free parameters is
// Bᵀ·N·B with N = Σ JᵀWJ. Every step ends with the held components set to
// their values exactly, so that a held rotation is exactly the identity or a
// turn about its axis and a fixed translation component exactly 0.
//
// Minimisation. Gauss-Newton with Levenberg-Marquardt damping over the free
// directions, the objective and its normal equations from one pass over the
// pairs each; it stops when the predicted decrease is at rounding level
// relative to the objective. Starts: the closed-form (Horn) rotation of the
// pairs' mean weights, centred and, with a translation component held, also
// about the origin; a turn about one axis from its closed form in the plane
// of the turn; the lowest result wins.
//
// Statistics. With W = Kᵀ·K (K of rank r, the pair's observations), e = K·v
// the whitened residual and A = K·J·B, the cofactor matrix of e is
// I − A·(BᵀNB)⁻¹·Aᵀ for a pair used and I + A·(BᵀNB)⁻¹·Aᵀ for the prediction
// of a pair set aside; T·sigma² = eᵀ·Q⁻¹·e. For a pair used this is also the
// drop of Σ rᵀWr when the pair leaves the fit, which gives its leave-one-out
// variance of unit weight (Σ rᵀWr − T·sigma²) / (redundancy − r).
#include "fit_diagnostics.h"

#include <Eigen/Dense>
#include <algorithm>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <cmath>
#include <limits>
#include <vector>

#include "zem_base.h"

namespace Zem {
namespace fit {

namespace {

using Point = BaPoint3d<double>;
using Status = FitResult::Status_t;
using Eigen::Matrix3d;
using Eigen::Vector3d;
using Matrix7 = Eigen::Matrix<double, 7, 7>;
using Vector7 = Eigen::Matrix<double, 7, 1>;
using Basis = Eigen::Matrix<double, 7, Eigen::Dynamic, 0, 7, 7>;
using MatrixM = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 7, 7>;
using VectorM = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 7, 1>;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
/// The smallest eigenvalue of the equilibrated normal matrix that counts as
/// determined: below, the free set is fixed only by rounding (as the
/// unconstrained fit decides).
constexpr double kDeterminacy = 8.0 * kEpsilon;
/// A direction of a pair's cofactor matrix below this counts as fixed by
/// that pair alone (leverage 1): its residual there is 0 and untestable.
constexpr double kLeverage = 1e-9;
constexpr int kMaxIterations = 100;
/// The minimisation stops when the predicted decrease is below this
/// fraction of the objective (plus its rounding).
constexpr double kOptimality = 1e-16;

const char* const kFreedomNames[7] = {"translation in X", "translation in Y", "translation in Z", "rotation about X",
                                      "rotation about Y",  "rotation about Z", "scale"};

Vector3d toEigen(const BaVec3d<double>& v) { return Vector3d(v.x, v.y, v.z); }

Matrix3d crossMatrix(const Vector3d& v) {
  Matrix3d m;
  m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return m;
}

/// The turn by `angle` (radians, right-handed) about destination axis `axis`,
/// with the entries of the axis exactly 0 and 1.
Matrix3d axisRotation(int axis, double angle) {
  const int a = (axis + 1) % 3, b = (axis + 2) % 3;
  const double c = std::cos(angle), s = std::sin(angle);
  Matrix3d r = Matrix3d::Identity();
  r(a, a) = c;
  r(a, b) = -s;
  r(b, a) = s;
  r(b, b) = c;
  return r;
}

/// The free parameters, in the order of θ.
struct Freedoms {
  bool free[7];
  int rotationAxis;  ///< 0..2 for a turn about one axis; −1 otherwise
  int count() const { return int(std::count(free, free + 7, true)); }
};

Freedoms freedomsOf(const FitOptions& o) {
  Freedoms f{};
  for (int k = 0; k < 3; ++k) f.free[k] = o.translation[k];
  f.rotationAxis = -1;
  switch (o.rotation) {
    case FitRotation::Free: f.free[3] = f.free[4] = f.free[5] = true; break;
    case FitRotation::AboutX: f.rotationAxis = 0; break;
    case FitRotation::AboutY: f.rotationAxis = 1; break;
    case FitRotation::AboutZ: f.rotationAxis = 2; break;
    case FitRotation::None: break;
  }
  if (f.rotationAxis >= 0) f.free[3 + f.rotationAxis] = true;
  f.free[6] = o.withScale;
  return f;
}

/// q = s·R·p + T; `angle` is the turn of R when the rotation is about one axis.
struct Pose {
  Matrix3d rotation = Matrix3d::Identity();
  double scale = 1.0;
  Vector3d translation = Vector3d::Zero();
  double angle = 0.0;
  Vector3d map(const Point& p) const { return scale * (rotation * toEigen(p)) + translation; }
};

Pose poseOf(const Transformation& t) {
  const double w = 1.0 / t.getMatrix(3, 3);
  Matrix3d a;
  Pose pose;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) a(r, c) = t.getMatrix(unsigned(c), unsigned(r)) * w;
    pose.translation(r) = t.getMatrix(3, unsigned(r)) * w;
  }
  pose.scale = std::cbrt(a.determinant());
  pose.rotation = a / pose.scale;
  return pose;
}

Transformation transformationOf(const Pose& pose) {
  double r[4][4] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = pose.rotation(i, j);
  r[3][3] = 1.0;
  const Vector3d t = pose.translation / pose.scale;
  Transformation result;
  result.set(BaVec3d<double>(t.x(), t.y(), t.z()), Transformation(r).getAngles(), pose.scale);
  return result;
}

/// The pairs with their weights and which of them take part.
struct Pairs {
  const PairList& list;
  std::vector<char> used;
  Matrix3d weight(std::size_t i) const {
    if (list.weights.matrices) {
      Matrix3d w;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) w(r, c) = 0.5 * (list.weights.matrices[i].m[r][c] + list.weights.matrices[i].m[c][r]);
      return w;
    }
    if (list.weights.perAxis) return toEigen(list.weights.perAxis[i]).asDiagonal();
    return Matrix3d::Identity();
  }
  std::size_t usedCount() const { return std::size_t(std::count(used.begin(), used.end(), char(1))); }
};

/// The weighted centroid of the destination points used (weight tr(W)/3),
/// and the weighted spread Σ tr(W)·|d − c|² that sets the rounding level.
void centroidOf(const Pairs& pairs, Vector3d* center, double* spread) {
  double sw = 0.0;
  Vector3d sum = Vector3d::Zero();
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const double w = pairs.weight(i).trace();
    sw += w;
    sum += w * toEigen(pairs.list.dst[i]);
  }
  *center = sw > 0.0 ? Vector3d(sum / sw) : Vector3d::Zero();
  double s = 0.0;
  for (std::size_t i = 0; i < pairs.list.n; ++i)
    if (pairs.used[i]) s += pairs.weight(i).trace() * (toEigen(pairs.list.dst[i]) - *center).squaredNorm();
  *spread = s;
}

/// Σ rᵀWr over the pairs used.
double objective(const Pairs& pairs, const Pose& pose) {
  double f = 0.0;
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const Vector3d r = pose.map(pairs.list.src[i]) - toEigen(pairs.list.dst[i]);
    f += r.dot(pairs.weight(i) * r);
  }
  return f;
}

Eigen::Matrix<double, 3, 7> jacobian(const Vector3d& q, const Vector3d& center) {
  Eigen::Matrix<double, 3, 7> j;
  const Vector3d e = q - center;
  j.block<3, 3>(0, 0).setIdentity();
  j.block<3, 3>(0, 3) = -crossMatrix(e);
  j.col(6) = e;
  return j;
}

/// N = Σ JᵀWJ and g = Σ JᵀWr over the pairs used, and Σ rᵀWr.
void normalEquations(const Pairs& pairs, const Pose& pose, const Vector3d& center, Matrix7* n, Vector7* g,
                     double* f) {
  n->setZero();
  g->setZero();
  *f = 0.0;
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const Vector3d q = pose.map(pairs.list.src[i]);
    const Vector3d r = q - toEigen(pairs.list.dst[i]);
    const Eigen::Matrix<double, 3, 7> j = jacobian(q, center);
    const Matrix3d w = pairs.weight(i);
    const Eigen::Matrix<double, 3, 7> wj = w * j;
    n->noalias() += j.transpose() * wj;
    g->noalias() += wj.transpose() * r;
    *f += r.dot(w * r);
  }
}

/// The free directions (see the file comment) at the translation T.
Basis basisOf(const Freedoms& fr, const Vector3d& translation, const Vector3d& center) {
  Basis b(7, fr.count());
  b.setZero();
  int column = 0;
  for (int k = 0; k < 7; ++k) {
    if (!fr.free[k]) continue;
    b(k, column) = 1.0;
    Vector3d moved = Vector3d::Zero();  // how a unit step about c moves T
    if (k >= 3 && k < 6) moved = Vector3d::Unit(k - 3).cross(translation - center);
    if (k == 6) moved = translation - center;
    for (int a = 0; a < 3; ++a)
      if (!fr.free[a]) b(a, column) = -moved(a);
    ++column;
  }
  return b;
}

/// The pose after the change θ (a 7-vector), held components reset.
Pose applied(const Pose& pose, const Vector7& theta, const Freedoms& fr, const Vector3d& center) {
  Pose next = pose;
  const Vector3d omega = theta.segment<3>(3);
  Matrix3d turn = Matrix3d::Identity();
  if (fr.rotationAxis >= 0) {
    next.angle = pose.angle + omega(fr.rotationAxis);
    next.rotation = axisRotation(fr.rotationAxis, next.angle);
    turn = axisRotation(fr.rotationAxis, omega(fr.rotationAxis));
  } else if (fr.free[3] && omega.norm() > 0.0) {
    turn = Eigen::AngleAxisd(omega.norm(), omega.normalized()).toRotationMatrix();
    next.rotation = turn * pose.rotation;
  }
  const double grow = fr.free[6] ? 1.0 + theta(6) : 1.0;
  next.scale = pose.scale * grow;
  next.translation = grow * (turn * (pose.translation - center)) + center + theta.head<3>();
  for (int a = 0; a < 3; ++a)
    if (!fr.free[a]) next.translation(a) = 0.0;
  return next;
}

/// Eigen-decomposition of the equilibrated normal matrix of the free
/// parameters: the inverse, the condition number and the weakest freedom.
struct Normal {
  bool regular = false;  ///< whether `inverse` is set
  MatrixM inverse;
  double smallest = 0.0;  ///< smallest eigenvalue, equilibrated
  double condition = 0.0;
  int weakest = 0;  ///< index 0..6 of the freedom of the weakest direction
};

Normal analyse(const Matrix7& n7, const Basis& b, const Freedoms& fr) {
  const MatrixM n = b.transpose() * n7 * b;
  Normal out;
  const VectorM diagonal = n.diagonal();
  const int m = int(n.rows());
  std::vector<int> index;
  for (int k = 0; k < 7; ++k)
    if (fr.free[k]) index.push_back(k);
  if (m == 0) {  // nothing free: the held values are the result
    out.regular = true;
    out.smallest = out.condition = 1.0;
    out.inverse.resize(0, 0);
    return out;
  }
  for (int k = 0; k < m; ++k)
    if (!(diagonal(k) > 0.0)) {
      out.weakest = index[std::size_t(k)];
      return out;
    }
  const VectorM unit = diagonal.cwiseSqrt().cwiseInverse();
  const MatrixM equilibrated = unit.asDiagonal() * n * unit.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<MatrixM> eigen(equilibrated);
  const VectorM values = eigen.eigenvalues();
  out.smallest = values(0);
  out.condition = values(m - 1) / values(0);
  int largest = 0;
  eigen.eigenvectors().col(0).cwiseAbs().maxCoeff(&largest);
  out.weakest = index[std::size_t(largest)];
  out.regular = out.smallest > 0.0;
  if (out.regular)
    out.inverse = unit.asDiagonal() * eigen.eigenvectors() * values.cwiseInverse().asDiagonal() *
                  eigen.eigenvectors().transpose() * unit.asDiagonal();
  return out;
}

/// Minimises Σ rᵀWr over the free directions from *pose (see the file
/// comment). FIT_DEGENERATE with *weakest set when the pairs do not
/// determine the free set.
Status minimise(const Pairs& pairs, const Freedoms& fr, Pose* pose, double* f, int* weakest) {
  Vector3d center;
  double spread;
  centroidOf(pairs, &center, &spread);
  const double rounding = kEpsilon * kEpsilon * spread;
  double mu = 0.0;
  Matrix7 n7;
  Vector7 g7;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    normalEquations(pairs, *pose, center, &n7, &g7, f);
    if (!n7.allFinite() || !g7.allFinite() || !std::isfinite(*f)) return FitResult::FIT_NOT_CONVERGED;
    if (fr.count() == 0) return FitResult::FIT_SUCCEEDED;
    const Basis b = basisOf(fr, pose->translation, center);
    const Normal normal = analyse(n7, b, fr);
    if (!(normal.smallest > kDeterminacy)) {
      *weakest = normal.weakest;
      return FitResult::FIT_DEGENERATE;
    }
    const MatrixM n = b.transpose() * n7 * b;
    const VectorM g = b.transpose() * g7;
    const VectorM diagonal = n.diagonal();
    const double tolerance = kOptimality * *f + rounding;
    bool accepted = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      const VectorM theta = (n + MatrixM(mu * diagonal.asDiagonal())).ldlt().solve(-g);
      const double decrement = -g.dot(theta);
      const Pose next = applied(*pose, b * theta, fr, center);
      const double nextF = objective(pairs, next);
      if (nextF < *f && next.scale * pose->scale > 0.0) {
        *pose = next;
        *f = nextF;
        accepted = true;
        mu = mu < 1e-6 ? 0.0 : mu / 8.0;
      }
      if (!(decrement > tolerance)) return FitResult::FIT_SUCCEEDED;  // optimal to rounding
      if (!accepted) mu = mu == 0.0 ? 1e-9 : mu * 8.0;
    }
    if (!accepted) return FitResult::FIT_SUCCEEDED;  // no damped step lowers F: rounding level
  }
  return FitResult::FIT_SUCCEEDED;
}

/// The closed-form starts of a fit with held freedoms (see the file comment).
std::vector<Pose> startsOf(const Pairs& pairs, const Freedoms& fr, const FitOptions& o) {
  double sw = 0.0;
  Vector3d sa = Vector3d::Zero(), sb = Vector3d::Zero();
  Matrix3d sba = Matrix3d::Zero();
  double saa = 0.0, sbb = 0.0;
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const double w = pairs.weight(i).trace() / 3.0;
    const Vector3d a = toEigen(pairs.list.src[i]), b = toEigen(pairs.list.dst[i]);
    sw += w;
    sa += w * a;
    sb += w * b;
    sba += w * b * a.transpose();
    saa += w * a.squaredNorm();
    sbb += w * b.squaredNorm();
  }
  std::vector<Pose> starts;
  if (!(sw > 0.0)) return starts;
  const Vector3d abar = sa / sw, bbar = sb / sw;
  const bool held = !(fr.free[0] && fr.free[1] && fr.free[2]);
  for (int centred = 1; centred >= (held ? 0 : 1); --centred) {
    const Vector3d ac = centred ? abar : Vector3d::Zero(), bc = centred ? bbar : Vector3d::Zero();
    Matrix3d c = sba / sw - bc * ac.transpose();
    const double varA = saa / sw - ac.squaredNorm(), varB = sbb / sw - bc.squaredNorm();
    const double sign = (!o.withScale && o.scale < 0.0) ? -1.0 : 1.0;
    c *= sign;
    Pose pose;
    if (fr.rotationAxis >= 0) {
      const int a = (fr.rotationAxis + 1) % 3, b = (fr.rotationAxis + 2) % 3;
      pose.angle = std::atan2(c(b, a) - c(a, b), c(a, a) + c(b, b));
      pose.rotation = axisRotation(fr.rotationAxis, pose.angle);
    } else if (fr.free[3]) {
      const Eigen::JacobiSVD<Matrix3d> svd(c, Eigen::ComputeFullU | Eigen::ComputeFullV);
      const double d = svd.matrixU().determinant() * svd.matrixV().determinant() < 0.0 ? -1.0 : 1.0;
      pose.rotation = svd.matrixU() * Vector3d(1.0, 1.0, d).asDiagonal() * svd.matrixV().transpose();
    }
    pose.scale = o.withScale ? (varA > 0.0 && varB > 0.0 ? std::sqrt(varB / varA) : 1.0) : o.scale;
    pose.translation = bc - pose.scale * (pose.rotation * ac);
    for (int k = 0; k < 3; ++k)
      if (!fr.free[k]) pose.translation(k) = 0.0;
    starts.push_back(pose);
  }
  return starts;
}

/// The fit of the pairs used with held freedoms, from the starts.
Status fitHeld(const Pairs& pairs, const Freedoms& fr, const FitOptions& o, Pose* best, int* weakest) {
  Status status = FitResult::FIT_DEGENERATE;
  double bestF = std::numeric_limits<double>::infinity();
  for (Pose pose : startsOf(pairs, fr, o)) {
    double f = 0.0;
    const Status s = minimise(pairs, fr, &pose, &f, weakest);
    if (s == FitResult::FIT_NOT_CONVERGED) return s;
    if (s == FitResult::FIT_SUCCEEDED && f < bestF) {
      bestF = f;
      *best = pose;
      status = s;
    }
  }
  return status;
}

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

/// Everything the statistics of the pairs need, at one fit.
struct Assessment {
  Normal normal;
  Basis basis;
  Vector3d center;
  double omega = 0.0;  ///< Σ rᵀWr over the pairs used
  double spread = 0.0;
  long redundancy = 0;
  std::vector<double> drop;  ///< per pair: T·sigma² (see the file comment)
  std::vector<int> rank;     ///< per pair: degrees of freedom of the test
};

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
  for (std::size_t i = 0; i < n; ++i) {
    const Matrix3d w = pairs.weight(i);
    Matrix3d k;
    const int rank = whitening(w, diagonal, &k);
    if (pairs.used[i]) observations += rank;
    if (rank == 0 || !out.normal.regular) continue;
    const Vector3d q = pose.map(pairs.list.src[i]);
    const Vector3d e = k * (q - toEigen(pairs.list.dst[i]));
    const Eigen::Matrix<double, 3, Eigen::Dynamic, 0, 3, 7> a = k * jacobian(q, out.center) * out.basis;
    const Matrix3d h = a * out.normal.inverse * a.transpose();
    Matrix3d cofactor = Matrix3d::Identity();
    cofactor += pairs.used[i] ? Matrix3d(-h) : h;
    for (int d = 0; d < 3; ++d)
      if (k.row(d).isZero()) cofactor.row(d).setZero(), cofactor.col(d).setZero();
    Eigen::SelfAdjointEigenSolver<Matrix3d> eigen;
    eigen.computeDirect(cofactor);
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

/// Quantiles of chi-square with 1, 2 or 3 degrees of freedom at one
/// probability, worked out once (a quantile costs microseconds).
struct ChiSquareQuantiles {
  double value[4];
  explicit ChiSquareQuantiles(double p) : value{0.0, chiSquareQuantile(1, p), chiSquareQuantile(2, p), chiSquareQuantile(3, p)} {}
};

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
  std::vector<double> scaled;
  const ChiSquareQuantiles half(0.5);
  for (std::size_t i = 0; i < pairs.list.n; ++i)
    if (pairs.used[i] && a.rank[i] > 0) scaled.push_back(a.drop[i] / half.value[a.rank[i]]);
  if (scaled.empty()) return 0.0;
  const std::size_t mid = scaled.size() / 2;
  std::nth_element(scaled.begin(), scaled.begin() + std::ptrdiff_t(mid), scaled.end());
  double median = scaled[mid];
  if (scaled.size() % 2 == 0) median = 0.5 * (median + *std::max_element(scaled.begin(), scaled.begin() + std::ptrdiff_t(mid)));
  return median;
}

/// Pairs the free parameters need: three for a free rotation, two for a
/// turn about one axis, else one (and never fewer than the parameters ask).
std::size_t pairsNeeded(const Freedoms& fr) {
  const std::size_t byRotation = fr.free[3] && fr.rotationAxis < 0 ? 3 : (fr.rotationAxis >= 0 ? 2 : 1);
  return std::max(byRotation, std::size_t((fr.count() + 2) / 3));
}

/// Refits the pairs used from *pose; false (pose unchanged) when they no
/// longer determine the free set.
bool refit(const Pairs& pairs, const Freedoms& fr, Pose* pose) {
  Pose trial = *pose;
  double f = 0.0;
  int weakest = 0;
  if (minimise(pairs, fr, &trial, &f, &weakest) != FitResult::FIT_SUCCEEDED) return false;
  *pose = trial;
  return true;
}

/// Worst-first rejection with a robust scale, then the take-back step (see
/// FitOptions).
void rejectGrossErrors(Pairs* pairs, const Freedoms& fr, const FitOptions& o, Pose* pose) {
  const std::size_t n = pairs->list.n;
  const std::size_t keep = std::max<std::size_t>(3, pairsNeeded(fr) + 1);
  std::size_t setAside = 0;
  const ChiSquareQuantiles critical(1.0 - o.alpha);
  for (;;) {
    if (pairs->usedCount() <= keep || setAside + 1 > n / 2) break;
    const Assessment a = assess(*pairs, fr, *pose);
    if (!a.normal.regular) break;
    const double variance = o.sigma > 0.0 ? o.sigma * o.sigma : robustVariance(a, *pairs);
    if (!(variance > 64.0 * kEpsilon * kEpsilon * a.spread)) break;
    double worstRatio = 1.0;
    std::size_t worst = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (!pairs->used[i] || a.rank[i] == 0) continue;
      const double ratio = a.drop[i] / variance / critical.value[a.rank[i]];
      if (ratio > worstRatio) {
        worstRatio = ratio;
        worst = i;
      }
    }
    if (worst == n) break;
    pairs->used[worst] = 0;
    if (!refit(*pairs, fr, pose)) {
      pairs->used[worst] = 1;
      break;
    }
    ++setAside;
  }
  if (setAside == 0) return;
  // Take back the pairs that pass against the final least-squares fit.
  const Assessment a = assess(*pairs, fr, *pose);
  bool back = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (pairs->used[i]) continue;
    long dof;
    const double statistic = statisticOf(a, *pairs, i, o.sigma, &dof);
    const bool testable = a.rank[i] > 0 && (o.sigma > 0.0 || dof > 0);
    if (testable && statistic <= criticalOf(a.rank[i], dof, o.alpha)) {
      pairs->used[i] = 1;
      back = true;
    }
  }
  if (back) refit(*pairs, fr, pose);
}

/// |W·r| for the mean weighted residual: w ∘ r for weight points.
double weightedLength(const Pairs& pairs, std::size_t i, const Vector3d& r) {
  if (pairs.list.weights.perAxis) return toEigen(pairs.list.weights.perAxis[i]).cwiseProduct(r).norm();
  return (pairs.weight(i) * r).norm();
}

}  // namespace

bool holdsFreedoms(const FitOptions& o) {
  return o.rotation != FitRotation::Free || !o.translation[0] || !o.translation[1] || !o.translation[2];
}

void fitWithDiagnostics(const PairList& list, const FitOptions& o, const Transformation* unconstrained,
                        FitResult* r) {
  if (o.reject && !(o.alpha > 0.0 && o.alpha < 1.0))
    throw ProgError("Zem::FitResult", "fit_diagnostics", __LINE__, "alpha not between 0 and 1");
  if (!(o.sigma >= 0.0) || !std::isfinite(o.sigma))
    throw ProgError("Zem::FitResult", "fit_diagnostics", __LINE__, "sigma negative or not finite");
  const Freedoms fr = freedomsOf(o);
  Pairs pairs{list, std::vector<char>(list.n, 1)};
  Pose pose;
  if (unconstrained && !holdsFreedoms(o)) {
    pose = poseOf(*unconstrained);
  } else {
    int weakest = 0;
    const Status status = fitHeld(pairs, fr, o, &pose, &weakest);
    if (status != FitResult::FIT_SUCCEEDED) {
      r->status = status;
      if (status == FitResult::FIT_DEGENERATE) r->undetermined = kFreedomNames[weakest];
      return;
    }
  }
  if (o.reject) rejectGrossErrors(&pairs, fr, o, &pose);
  const bool changed = holdsFreedoms(o) || pairs.usedCount() != list.n || !unconstrained;
  r->status = FitResult::FIT_SUCCEEDED;
  if (changed) {
    r->transformation = transformationOf(pose);
    for (unsigned i = 0; i < 4; ++i)
      for (unsigned j = 0; j < 4; ++j)
        if (!std::isfinite(r->transformation.getMatrix(i, j))) {
          r->status = FitResult::FIT_NOT_CONVERGED;
          r->transformation = Transformation::identity();
          return;
        }
    pose = poseOf(r->transformation);  // the statistics of the stored result
    double total = 0.0;
    for (std::size_t i = 0; i < list.n; ++i)
      if (pairs.used[i]) total += weightedLength(pairs, i, pose.map(list.src[i]) - toEigen(list.dst[i]));
    r->meanWeighted = total / double(pairs.usedCount());
  }
  const Assessment a = assess(pairs, fr, pose);
  r->usedCount = pairs.usedCount();
  r->center = BaVec3d<double>(a.center.x(), a.center.y(), a.center.z());
  r->redundancy = a.redundancy;
  r->condition = a.normal.condition;
  r->sigma0 = a.redundancy > 0 ? std::sqrt(a.omega / double(a.redundancy)) : std::numeric_limits<double>::quiet_NaN();
  const double variance = o.sigma > 0.0 ? o.sigma * o.sigma : r->sigma0 * r->sigma0;
  if (a.normal.regular && std::isfinite(variance)) {
    const Matrix7 covariance = variance * a.basis * a.normal.inverse * a.basis.transpose();
    for (int i = 0; i < 7; ++i)
      for (int j = 0; j < 7; ++j) r->covariance[i][j] = covariance(i, j);
  }
  r->statistics.assign(list.n, 0.0);
  r->rejected.assign(list.n, false);
  for (std::size_t i = 0; i < list.n; ++i) {
    long dof;
    r->statistics[i] = statisticOf(a, pairs, i, o.sigma, &dof);
    r->rejected[i] = !pairs.used[i];
  }
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

// Weighted least-squares best fit of paired point sets.
//
// Model. A source point p maps to q = s·R·p + T (R a rotation, s the uniform
// scale, T the translation); the result is stored as set(T/s, angles of R, s),
// q = s·(R·p + t). Each pair weighs its residual r = q − d by a symmetric
// positive semi-definite 3x3 matrix W (the identity, diag(wx, wy, wz), or a
// general one), and the fit minimises F = Σ rᵀ·W·r.
//
// One pass. The pairs are read once, into the weighted moments of
// fit_kernels.h, which make F an exact quadratic in the twelve numbers of an
// affine map about a reference pair inside the set. Everything below works on
// those twelve numbers, in time independent of the count: the pairs are read
// once more only for the mean weighted residual, when it is asked for.
//
// Start. The closed-form solution (Horn, Umeyama) with each pair's mean weight
// tr(W)/3: weighted centroids, the cross-covariance C = U·D·Vᵀ (SVD), R = U·S·Vᵀ
// with S = diag(1, 1, ±1) so that det R = +1 (a reflection is never the
// answer), s = tr(D·S) / (weighted variance of the source) when estimated.
// When every pair's weight is a multiple of the identity (unit weights among
// them) this is the optimum.
//
// Iteration. A safeguarded Newton method on the rotation manifold: a step
// (du, ω, σ) maps (A = s·R, u) to A' = (1 + σ)·exp([ω]×)·A and
// u' = u + du + (A − A')·ā, which turns and scales about the weighted centroid
// ā (so that the translation does not carry the rotation's and the scale's
// corrections). Gradient and Hessian, second-order terms of the rotation
// included, follow exactly from the quadratic. Levenberg-Marquardt damping
// (on the diagonal of the Gauss-Newton matrix) keeps every accepted step
// downhill; the change of F is computed directly from the step, without the
// cancellation of evaluating F twice. It stops on optimality: when the Newton
// decrement −gradᵀ·δ is at rounding level relative to F, or when no damped
// step lowers F any more. Only arithmetic that is not finite fails it.
//
// Determinacy. The pairs determine the transformation when the Gauss-Newton
// matrix of the free parameters at the result, equilibrated to a unit
// diagonal, is regular beyond rounding: its smallest eigenvalue above
// kDeterminacy. Equilibrated, that does not depend on the units, a common
// weight factor, where the part lies or the number of pairs, only on the
// geometry of the weighted pairs. All points on one line, or at one point,
// or weights that leave a direction free, fail as degenerate.
#include "fit_engine.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>

#include "fit_kernels.h"
#include "fit_pairing.h"

namespace Zem {
namespace fit {

namespace {

using Point = BaPoint3d<double>;
using Vec = BaVec3d<double>;
using Status = FitResult::Status_t;
using Eigen::Matrix3d;
using Eigen::Vector3d;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

/// The smallest eigenvalue of the equilibrated Gauss-Newton matrix that
/// counts as determined. The moments are exact to a few ε of their size
/// (compensated sums), so that an eigenvalue of a few ε is rounding: the
/// weighted points then lie on a line (or a point) up to the precision of
/// the arithmetic. A thin part whose cross-section is 1e-7 of its length has
/// eigenvalues near 1e-14 = 45ε and counts as determined.
constexpr double kDeterminacy = 8.0 * kEpsilon;

/// Below this determinacy the optimum found from the moments is refined
/// with gradients taken from the residuals (one pass each, at most
/// kRefinePasses): the moments hold a thin part's cross-section only to a
/// few ε of its length, the residuals to ε of their own size.
constexpr double kRefine = 1e-5;
constexpr int kRefinePasses = 8;

/// Newton iterations at most; a fit converges quadratically from the closed
/// form in a handful. Reaching the limit ends the iteration where it is (it
/// is not a failure: every accepted step lowered F).
constexpr int kMaxIterations = 200;
/// The iteration stops when the Newton decrement is below this fraction of
/// the objective (plus its rounding).
constexpr double kOptimality = 1e-14;

Vector3d toEigen(const Vec& v) { return Vector3d(v.x, v.y, v.z); }

/// [v]×: the matrix of the cross product v × ·.
Matrix3d crossMatrix(const Vector3d& v) {
  Matrix3d m;
  m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return m;
}

/// The mean-weight moments of the quadratic: for isotropic weights exactly
/// Σw, Σw·a, Σw·b, Σw·a·aᵀ and Σw·b·aᵀ.
struct MeanMoments {
  double sw;
  Vector3d sa, sb;
  Matrix3d saa, sba;
};

MeanMoments meanMoments(const Quadratic& q) {
  MeanMoments m;
  m.sw = q.H.block<3, 3>(9, 9).trace() / 3.0;
  for (int k = 0; k < 3; ++k) {
    m.sa(k) = q.H.block<3, 3>(3 * k, 9).trace() / 3.0;
    for (int l = 0; l < 3; ++l) m.saa(k, l) = q.H.block<3, 3>(3 * k, 3 * l).trace() / 3.0;
    m.sba.col(k) = q.g.segment<3>(3 * k);  // Σ a_k·W·b
  }
  m.sb = q.g.segment<3>(9);
  return m;
}

/// An estimate b ≈ A·a + u with A = s·R.
struct Estimate {
  Matrix3d rotation;
  double scale;
  Vector3d u;
  Matrix3d affine() const { return scale * rotation; }
  Vector12 packed() const {
    Vector12 x;
    const Matrix3d a = affine();
    for (int k = 0; k < 3; ++k) x.segment<3>(3 * k) = a.col(k);
    x.segment<3>(9) = u;
    return x;
  }
};

/// The closed-form start (see the file comment). False when the pairs carry
/// no weight, or the estimated scale is 0 (nothing correlates).
bool closedForm(const MeanMoments& m, bool withScale, double scale, Vector3d* centroid, Estimate* e) {
  if (!(m.sw > 0.0)) return false;
  const Vector3d abar = m.sa / m.sw, bbar = m.sb / m.sw;
  const Matrix3d caa = m.saa / m.sw - abar * abar.transpose();
  Matrix3d cba = m.sba / m.sw - bbar * abar.transpose();
  // A fixed negative scale turns the source through the origin: the best
  // rotation then takes −C.
  if (!withScale && scale < 0.0) cba = -cba;
  const Eigen::JacobiSVD<Matrix3d> svd(cba, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const double d = svd.matrixU().determinant() * svd.matrixV().determinant() < 0.0 ? -1.0 : 1.0;
  const Vector3d signs(1.0, 1.0, d);
  e->rotation = svd.matrixU() * signs.asDiagonal() * svd.matrixV().transpose();
  e->scale = withScale ? svd.singularValues().dot(signs) / caa.trace() : scale;
  if (!(e->scale != 0.0) || !std::isfinite(e->scale)) return false;
  e->u = bbar - e->affine() * abar;
  *centroid = abar;
  return true;
}

/// Derivatives of x by the step parameters θ = (du, ω, σ) at θ = 0 (see the
/// file comment): J (12 × n) and the second-order term of the Hessian,
/// T_jk = ⟨G, ∂²A'/∂θ_j∂θ_k⟩ with G = ∇_A F − ∇_u F·āᵀ.
template <int N>
struct Derivatives {
  Eigen::Matrix<double, 12, N> J;
  Eigen::Matrix<double, N, N> T;
};

template <int N>
Derivatives<N> derivativesAt(const Estimate& e, const Vector3d& abar, const Vector12& gradX) {
  Derivatives<N> d;
  d.J.setZero();
  d.T.setZero();
  const Matrix3d a = e.affine();
  Matrix3d grad;  // ∇_A F − ∇_u F·āᵀ
  for (int k = 0; k < 3; ++k) grad.col(k) = gradX.segment<3>(3 * k);
  grad -= gradX.segment<3>(9) * abar.transpose();
  const auto setColumn = [&d, &abar](int j, const Matrix3d& dA) {
    for (int k = 0; k < 3; ++k) d.J.template block<3, 1>(3 * k, j) = dA.col(k);
    d.J.template block<3, 1>(9, j) = -dA * abar;
  };
  Matrix3d turned[3];
  for (int j = 0; j < 3; ++j) {
    d.J(9 + j, j) = 1.0;
    turned[j] = crossMatrix(Vector3d::Unit(j)) * a;
    setColumn(3 + j, turned[j]);
  }
  for (int j = 0; j < 3; ++j)
    for (int k = j; k < 3; ++k) {
      const Matrix3d ej = crossMatrix(Vector3d::Unit(j)), ek = crossMatrix(Vector3d::Unit(k));
      d.T(3 + j, 3 + k) = d.T(3 + k, 3 + j) = (0.5 * (ej * ek + ek * ej) * a).cwiseProduct(grad).sum();
    }
  if constexpr (N == 7) {
    setColumn(6, a);
    for (int j = 0; j < 3; ++j) d.T(6, 3 + j) = d.T(3 + j, 6) = turned[j].cwiseProduct(grad).sum();
  }
  return d;
}

/// The estimate after the step θ.
template <int N>
Estimate stepped(const Estimate& e, const Vector3d& abar, const Eigen::Matrix<double, N, 1>& theta) {
  Estimate next = e;
  const Vector3d omega = theta.template segment<3>(3);
  const double angle = omega.norm();
  if (angle > 0.0) next.rotation = Eigen::AngleAxisd(angle, omega / angle).toRotationMatrix() * e.rotation;
  if constexpr (N == 7) next.scale = e.scale * (1.0 + theta(6));
  next.u = e.u + theta.template head<3>() + (e.affine() - next.affine()) * abar;
  return next;
}

/// The optimum from the closed-form start (see the file comment). False
/// when the weighted pairs do not determine the transformation.
template <int N>
Status optimise(const Quadratic& q, const Vector3d& abar, Estimate* e) {
  using VectorN = Eigen::Matrix<double, N, 1>;
  using MatrixN = Eigen::Matrix<double, N, N>;
  Vector12 x = e->packed();
  double mu = 0.0;
  int settled = 0;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const Vector12 gradX = 2.0 * (q.H * x - q.g);
    const double f = x.dot(q.H * x) - 2.0 * q.g.dot(x) + q.c;
    const Derivatives<N> d = derivativesAt<N>(*e, abar, gradX);
    const MatrixN gaussNewton = 2.0 * d.J.transpose() * q.H * d.J;
    const VectorN grad = d.J.transpose() * gradX;
    const MatrixN hessian = gaussNewton + d.T;
    const VectorN diagonal = gaussNewton.diagonal();
    if (!(diagonal.minCoeff() > 0.0)) return FitResult::FIT_DEGENERATE;
    if (!grad.allFinite() || !hessian.allFinite()) return FitResult::FIT_NOT_CONVERGED;
    const double tolerance = kOptimality * (std::fabs(f) + kEpsilon * std::fabs(q.c));
    bool accepted = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      const Eigen::LDLT<MatrixN> ldlt(hessian + MatrixN(mu * diagonal.asDiagonal()));
      const bool positive = ldlt.info() == Eigen::Success && ldlt.isPositive() && ldlt.vectorD().minCoeff() > 0.0;
      if (positive) {
        const VectorN theta = ldlt.solve(-grad);
        const double decrement = -grad.dot(theta);
        // Steps that promise less than rounding are still taken while they
        // lower F (the gradient then falls to its own rounding level); two
        // in a row end the iteration.
        if (mu == 0.0 && decrement <= tolerance && ++settled >= 2) return FitResult::FIT_SUCCEEDED;
        if (decrement > tolerance) settled = 0;
        const Estimate next = stepped<N>(*e, abar, theta);
        const Vector12 nextX = next.packed();
        const Vector12 dx = nextX - x;
        const double change = dx.dot(gradX + q.H * dx);
        if (!std::isfinite(change)) return FitResult::FIT_NOT_CONVERGED;
        if (change < 0.0 && next.scale * e->scale > 0.0) {
          *e = next;
          x = nextX;
          accepted = true;
          mu = mu < 1e-6 ? 0.0 : mu / 8.0;
          continue;
        }
        if (decrement <= tolerance) return FitResult::FIT_SUCCEEDED;  // no lower F within rounding
      }
      mu = mu == 0.0 ? 1e-9 : mu * 8.0;
    }
    if (!accepted) return FitResult::FIT_SUCCEEDED;  // no damped step lowers F: rounding level
  }
  return FitResult::FIT_SUCCEEDED;
}

/// The smallest eigenvalue of the equilibrated Gauss-Newton matrix of the
/// free parameters at e: how well the weighted pairs determine them (see the
/// file comment); 0 when a parameter has no effect at all.
template <int N>
double determinacy(const Quadratic& q, const Vector3d& abar, const Estimate& e) {
  using MatrixN = Eigen::Matrix<double, N, N>;
  const Derivatives<N> d = derivativesAt<N>(e, abar, Vector12::Zero());
  const MatrixN normal = d.J.transpose() * q.H * d.J;
  const Eigen::Matrix<double, N, 1> diagonal = normal.diagonal();
  if (!(diagonal.minCoeff() > 0.0)) return 0.0;
  const Eigen::Matrix<double, N, 1> unit = diagonal.cwiseSqrt().cwiseInverse();
  const MatrixN equilibrated = unit.asDiagonal() * normal * unit.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<MatrixN> eigen(equilibrated, Eigen::EigenvaluesOnly);
  return eigen.eigenvalues()(0);
}

/// The optimum from the moments: closed form, Newton iteration, determinacy.
struct Solution {
  Estimate estimate;
  Vector3d centroid;          ///< ā
  double determinacy = 0.0;   ///< see determinacy()
};

Status solve(const Quadratic& q, bool withScale, double scale, Solution* out) {
  if (!q.finite) return FitResult::FIT_NOT_FINITE;
  if (q.negative) return FitResult::FIT_NEGATIVE_WEIGHT;
  if (q.weighted == 0) return FitResult::FIT_DEGENERATE;
  if (!withScale && !(scale != 0.0 && std::isfinite(scale))) return FitResult::FIT_DEGENERATE;  // no matrix
  if (!closedForm(meanMoments(q), withScale, scale, &out->centroid, &out->estimate)) return FitResult::FIT_DEGENERATE;
  // With isotropic weights the closed form is the optimum.
  if (!q.isotropic) {
    const Status status = withScale ? optimise<7>(q, out->centroid, &out->estimate)
                                    : optimise<6>(q, out->centroid, &out->estimate);
    if (status != FitResult::FIT_SUCCEEDED) return status;
  }
  out->determinacy = withScale ? determinacy<7>(q, out->centroid, out->estimate)
                               : determinacy<6>(q, out->centroid, out->estimate);
  return out->determinacy > kDeterminacy ? FitResult::FIT_SUCCEEDED : FitResult::FIT_DEGENERATE;
}

/// The transformation of an estimate about the reference pair:
/// q = A·(p − p₀) + u + q₀ = s·R·p + T, stored as set(T/s, angles of R, s).
Status toTransformation(const Quadratic& q, const Estimate& e, Transformation* result) {
  const Vector3d translation = e.u + toEigen(q.refDst) - e.affine() * toEigen(q.refSrc);
  double r[4][4] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = e.rotation(i, j);
  r[3][3] = 1.0;
  const Vector3d t = translation / e.scale;
  Transformation fitted;
  fitted.set(Vec(t.x(), t.y(), t.z()), Transformation(r).getAngles(), e.scale);
  for (unsigned i = 0; i < 4; ++i)
    for (unsigned j = 0; j < 4; ++j)
      if (!std::isfinite(fitted.getMatrix(i, j))) return FitResult::FIT_NOT_CONVERGED;
  *result = fitted;
  return FitResult::FIT_SUCCEEDED;
}

/// The per-pair weight of each kind, and |W ∘ r| for the mean weighted residual.
UnitKind::Weight unitWeight() { return {}; }
MatrixKind::Weight matrixWeight(const FitWeightMatrix& m) {
  // Only the symmetric part of W counts in rᵀ·W·r.
  return {{m.m[0][0], m.m[1][1], m.m[2][2], 0.5 * (m.m[0][1] + m.m[1][0]), 0.5 * (m.m[0][2] + m.m[2][0]),
           0.5 * (m.m[1][2] + m.m[2][1])}};
}


/// W·r for each kind of weight.
Vec weighted(const Vec& r, const UnitKind::Weight&) { return r; }
Vec weighted(const Vec& r, const AxisKind::Weight& w) { return Vec(w.x * r.x, w.y * r.y, w.z * r.z); }
Vec weighted(const Vec& r, const MatrixKind::Weight& m) {
  const double* w = m.w;
  return Vec(w[0] * r.x + w[3] * r.y + w[4] * r.z, w[3] * r.x + w[1] * r.y + w[5] * r.z,
             w[4] * r.x + w[5] * r.y + w[2] * r.z);
}

/// Mean of |W·(T·p − d)| over the pairs that `walk` hands out, with
/// T·p = (R·p + t)·s (one division for the whole set).
template <class Walk>
double meanWeightedResidual(const Transformation& t, const Walk& walk, std::size_t n) {
  double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);
  const double s = 1.0 / t.getMatrix(3, 3);
  double total = 0.0;
  walk([&](const Vec& p, const Vec& d, const auto& w) {
    const Vec q((a[0][0] * p.x + a[0][1] * p.y + a[0][2] * p.z + a[0][3]) * s,
                (a[1][0] * p.x + a[1][1] * p.y + a[1][2] * p.z + a[1][3]) * s,
                (a[2][0] * p.x + a[2][1] * p.y + a[2][2] * p.z + a[2][3]) * s);
    total += weighted(q - d, w).length();
  });
  return total / double(n);
}

/// F and ∇_x F at the estimate, from the residuals themselves: one pass,
/// without the cancellation of the moments.
template <class Walk>
void residualGradient(const Walk& walk, const Quadratic& q, const Estimate& e, Vector12* grad, double* f) {
  const Matrix3d a = e.affine();
  const Vector3d offset = e.u + toEigen(q.refDst) - a * toEigen(q.refSrc);  // q = A·p + offset
  Vector12 sum = Vector12::Zero();
  double ssq = 0.0;
  walk([&](const Vec& p, const Vec& d, const auto& w) {
    const Vector3d ap = toEigen(p - q.refSrc);
    const Vector3d r = a * toEigen(p) + offset - toEigen(d);
    const Vec wr = weighted(Vec(r.x(), r.y(), r.z()), w);
    const Vector3d v(wr.x, wr.y, wr.z);
    for (int k = 0; k < 3; ++k) sum.segment<3>(3 * k) += ap(k) * v;
    sum.segment<3>(9) += v;
    ssq += r.dot(v);
  });
  *grad = 2.0 * sum;
  *f = ssq;
}

/// Refines an ill-determined optimum with gradients from the residuals (see
/// kRefine): Newton steps with the moments' Hessian, as long as they lower F.
template <int N, class Walk>
void refine(const Walk& walk, const Quadratic& q, Solution* s) {
  using MatrixN = Eigen::Matrix<double, N, N>;
  using VectorN = Eigen::Matrix<double, N, 1>;
  Vector12 gradX;
  double f;
  residualGradient(walk, q, s->estimate, &gradX, &f);
  for (int pass = 0; pass < kRefinePasses; ++pass) {
    const Derivatives<N> d = derivativesAt<N>(s->estimate, s->centroid, gradX);
    const MatrixN hessian = 2.0 * d.J.transpose() * q.H * d.J + d.T;
    const VectorN grad = d.J.transpose() * gradX;
    const Eigen::LDLT<MatrixN> ldlt(hessian);
    if (ldlt.info() != Eigen::Success || !ldlt.isPositive()) return;
    const VectorN theta = ldlt.solve(-grad);
    if (!(-grad.dot(theta) > kOptimality * f)) return;  // optimal to rounding
    const Estimate next = stepped<N>(s->estimate, s->centroid, theta);
    Vector12 nextGrad;
    double nextF;
    residualGradient(walk, q, next, &nextGrad, &nextF);
    if (!(nextF < f)) return;
    s->estimate = next;
    gradX = nextGrad;
    f = nextF;
  }
}

/// The same for pairs by position with unit (weights == nullptr) or per-axis
/// weights, two pairs at a time.
double meanResidualByPosition(const Transformation& t, const Point* src, const Point* dst, const Point* weights,
                              std::size_t n) {
  double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);
  const double scale = 1.0 / t.getMatrix(3, 3);
  Lane2 sum = {0.0, 0.0};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Point& p0 = src[i];
    const Point& p1 = src[i + 1];
    const Lane2 px = {p0.x, p1.x}, py = {p0.y, p1.y}, pz = {p0.z, p1.z};
    Lane2 dx = (a[0][0] * px + a[0][1] * py + a[0][2] * pz + a[0][3]) * scale - Lane2{dst[i].x, dst[i + 1].x};
    Lane2 dy = (a[1][0] * px + a[1][1] * py + a[1][2] * pz + a[1][3]) * scale - Lane2{dst[i].y, dst[i + 1].y};
    Lane2 dz = (a[2][0] * px + a[2][1] * py + a[2][2] * pz + a[2][3]) * scale - Lane2{dst[i].z, dst[i + 1].z};
    if (weights) {
      dx *= Lane2{weights[i].x, weights[i + 1].x};
      dy *= Lane2{weights[i].y, weights[i + 1].y};
      dz *= Lane2{weights[i].z, weights[i + 1].z};
    }
    sum += sqrt2(dx * dx + dy * dy + dz * dz);
  }
  double total = sum[0] + sum[1];
  if (i < n) {
    const Vec d = t.transformPoint(static_cast<const Vec&>(src[i])) - dst[i];
    total += weights ? weighted(d, static_cast<const Vec&>(weights[i])).length() : d.length();
  }
  return total / double(n);
}

/// Moments of the pairs of `walk`, the fit, and the mean weighted residual.
/// `count` and `complete` are set by the walk: the pairs it handed out, and
/// whether the pairing finished (identifier pairing may be abandoned).
template <class Kind, class Walk, class MeanResidual>
Status fitPairs(const Walk& walk, const MeanResidual& meanResidual, const std::size_t& count, const bool& complete,
                bool withScale, double scale, bool wantMeanWeighted, Fitted* out) {
  Moments<Kind> moments;
  walk([&moments](const Vec& p, const Vec& q, const typename Kind::Weight& w) { moments.add(p, q, w); });
  out->pairCount = count;
  if (!complete) return FitResult::FIT_AMBIGUOUS_PAIRING;
  if (count < 3) return FitResult::FIT_TOO_FEW_PAIRS;
  const Quadratic q = moments.finish();
  Solution solution;
  Status status = solve(q, withScale, scale, &solution);
  if (status != FitResult::FIT_SUCCEEDED) return status;
  if (solution.determinacy < kRefine) {
    if (withScale)
      refine<7>(walk, q, &solution);
    else
      refine<6>(walk, q, &solution);
  }
  Transformation fitted;
  status = toTransformation(q, solution.estimate, &fitted);
  if (status != FitResult::FIT_SUCCEEDED) return status;
  double mean = 0.0;
  if (wantMeanWeighted) {
    mean = meanResidual(fitted);
    if (!std::isfinite(mean)) return FitResult::FIT_NOT_CONVERGED;
  }
  out->transformation = fitted;
  out->meanWeighted = mean;
  return FitResult::FIT_SUCCEEDED;
}

}  // namespace

template <>
void Moments<UnitKind>::buildQuadratic() {
  const double* s = sums_;
  Matrix12& h = out_.H;
  for (int r = 0; r < 3; ++r) {
    h(9 + r, 9 + r) = s[0];
    for (int k = 0; k < 3; ++k) {
      h(3 * k + r, 9 + r) = h(9 + r, 3 * k + r) = s[1 + k];
      for (int l = 0; l < 3; ++l) h(3 * k + r, 3 * l + r) = s[7 + sym(k, l)];
      out_.g(3 * k + r) = s[13 + 3 * r + k];
    }
    out_.g(9 + r) = s[4 + r];
  }
  out_.c = s[22];
}

template <>
void Moments<AxisKind>::buildQuadratic() {
  Matrix12& h = out_.H;
  out_.c = 0.0;
  for (int r = 0; r < 3; ++r) {
    const double* t = sums_ + 15 * r;
    h(9 + r, 9 + r) = t[0];
    for (int k = 0; k < 3; ++k) {
      h(3 * k + r, 9 + r) = h(9 + r, 3 * k + r) = t[1 + k];
      for (int l = 0; l < 3; ++l) h(3 * k + r, 3 * l + r) = t[5 + sym(k, l)];
      out_.g(3 * k + r) = t[11 + k];
    }
    out_.g(9 + r) = t[4];
    out_.c += t[14];
  }
}

template <>
void Moments<MatrixKind>::buildQuadratic() {
  const double* s = sums_;
  Matrix12& h = out_.H;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      h(9 + i, 9 + j) = s[sym(i, j)];
      for (int k = 0; k < 3; ++k) {
        h(3 * k + i, 9 + j) = h(9 + j, 3 * k + i) = s[6 + 6 * k + sym(i, j)];
        for (int l = 0; l < 3; ++l) h(3 * k + i, 3 * l + j) = s[24 + 6 * sym(k, l) + sym(i, j)];
      }
    }
  for (int r = 0; r < 3; ++r) {
    out_.g(9 + r) = s[60 + r];
    for (int k = 0; k < 3; ++k) out_.g(3 * k + r) = s[63 + 3 * r + k];
  }
  out_.c = s[72];
}

Status fitByPosition(const Point* src, const Point* dst, PairWeights weights, std::size_t n, bool withScale,
                     double scale, bool wantMeanWeighted, Fitted* out) {
  const bool complete = true;
  if (weights.matrices) {
    const FitWeightMatrix* w = weights.matrices;
    const auto walk = [=](auto&& f) {
      for (std::size_t i = 0; i < n; ++i) f(src[i], dst[i], matrixWeight(w[i]));
    };
    const auto mean = [&](const Transformation& t) { return meanWeightedResidual(t, walk, n); };
    return fitPairs<MatrixKind>(walk, mean, n, complete, withScale, scale, wantMeanWeighted, out);
  }
  if (weights.perAxis) {
    const Point* w = weights.perAxis;
    const auto walk = [=](auto&& f) {
      for (std::size_t i = 0; i < n; ++i) f(src[i], dst[i], static_cast<const Vec&>(w[i]));
    };
    const auto mean = [&](const Transformation& t) { return meanResidualByPosition(t, src, dst, w, n); };
    return fitPairs<AxisKind>(walk, mean, n, complete, withScale, scale, wantMeanWeighted, out);
  }
  const auto walk = [=](auto&& f) {
    for (std::size_t i = 0; i < n; ++i) f(src[i], dst[i], unitWeight());
  };
  const auto mean = [&](const Transformation& t) { return meanResidualByPosition(t, src, dst, nullptr, n); };
  return fitPairs<UnitKind>(walk, mean, n, complete, withScale, scale, wantMeanWeighted, out);
}

Status fitById(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
               bool withScale, double scale, bool wantMeanWeighted, Fitted* out) {
  out->pairCount = 0;
  if (weights.size() > IdIndex::kMaxPoints || dst.size() > IdIndex::kMaxPoints)
    return FitResult::FIT_AMBIGUOUS_PAIRING;
  const auto idOf = [](const std::vector<Point>& set) {
    return [&set](std::size_t k) { return std::int64_t(set[k].id); };
  };
  const IdIndex dstById(dst.size(), idOf(dst), true);
  const IdIndex weightById(weights.size(), idOf(weights), false);
  const auto ahead = [&dst](std::size_t j) { __builtin_prefetch(&dst[j]); };
  // The walk over the pairs (fit_pairing.h), for the moments and again for
  // the mean residual.
  std::size_t count = 0;
  bool complete = true;
  const auto forEach = [&](auto&& onPair) {
    complete = forEachIdPair(dstById, src.size(), idOf(src), dst.size(), onPair, ahead, &count);
  };
  // The pairs feed the moments as they are found, with no list of pairs.
  if (weights.empty()) {
    const auto walk = [&](auto&& f) { forEach([&](std::size_t i, std::size_t j) { f(src[i], dst[j], unitWeight()); }); };
    const auto mean = [&](const Transformation& t) { return meanWeightedResidual(t, walk, count); };
    return fitPairs<UnitKind>(walk, mean, count, complete, withScale, scale, wantMeanWeighted, out);
  }
  const auto weightOf = [&](std::size_t i) -> Vec {
    const std::uint32_t k = weightById.first(src[i].id);
    return k != IdIndex::kNone ? Vec(weights[k]) : Vec(1.0, 1.0, 1.0);
  };
  const auto walk = [&](auto&& f) { forEach([&](std::size_t i, std::size_t j) { f(src[i], dst[j], weightOf(i)); }); };
  const auto mean = [&](const Transformation& t) { return meanWeightedResidual(t, walk, count); };
  return fitPairs<AxisKind>(walk, mean, count, complete, withScale, scale, wantMeanWeighted, out);
}

}  // namespace fit
}  // namespace Zem

// The optimum of the best fit from its quadratic in the twelve numbers of an
// affine map (fit_kernels.h): q = s·R·p + T with A = s·R, minimising
// F = Σ rᵀ·W·r. Everything here works on the quadratic, in time independent
// of the number of pairs.
//
// Start. The closed-form solution (Horn, Umeyama) with each pair's mean weight
// tr(W)/3: weighted centroids, the cross-covariance C = U·D·Vᵀ (SVD), R = U·S·Vᵀ
// with S = diag(1, 1, ±1) so that det R = +1 (a reflection is never the
// answer), s = tr(D·S) / (weighted variance of the source) when estimated.
// When every pair's weight is a multiple of the identity (unit weights among
// them) this is the optimum. With other weights the iteration starts instead
// from the best affine map taken to its nearest rotation (polar
// decomposition) where the pairs clearly fix that map: on a measured part it
// lies within the noise's second order of the optimum, which two Newton
// steps then settle, where the mean weights' centroid, off by the
// differences between the axes' weights, takes four.
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
// Several starts. With weights that differ between axes F may have other
// minima than the optimum, and the one nearest the first start need not be
// the lowest: noise-free pairs weighted 0, 0.01, 1 or 100 per axis ended
// there in a wrong turn a third of the time. So the iteration also runs
// from the other of the two starts above (the best affine map, of least
// norm where the pairs leave it partly free), and from the
// eight rotations of a grid over all rotations (and of the half turns about
// the principal axes) at which F, with the best translation and scale for
// each, is lowest, and the lowest optimum is kept; an optimum no lower than
// an earlier one beyond rounding leaves the earlier. Each run costs a few
// microseconds, whatever the number of pairs. The other starts are skipped
// where the first optimum is provably the lowest (provablyLowest): f(A) =
// min_u F is an exact quadratic in A = s·R, so f at any other rotation
// exceeds f at the optimum by at least 2s·(1 − cos θ)·κ, κ from the
// smallest eigenvalue of that quadratic and the gradient at the optimum.
// That holds for most measured parts (residuals small against the part's
// extent); on 9,000 random problems weighted 0 to 100 per axis or along
// normals, with gross errors, two thirds were proven, and the other starts
// of a proven one never found another minimum.
//
// Determinacy. The pairs determine the transformation when the Gauss-Newton
// matrix of the free parameters at the result, equilibrated to a unit
// diagonal, is regular beyond rounding: its smallest eigenvalue above
// kDeterminacy (fit_solver.h). Equilibrated, that does not depend on the units, a common
// weight factor, where the part lies or the number of pairs, only on the
// geometry of the weighted pairs. All points on one line, or at one point,
// or weights that leave a direction free, fail as degenerate.
#include "fit_solver.h"

#include <Eigen/Cholesky>
#include <Eigen/Dense>
#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "decompositions.h"

namespace Zem {
namespace fit {

namespace {

using Vec = BaVec3d<double>;
using Status = FitResult::Status_t;
using Eigen::Matrix3d;
using Eigen::Vector3d;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

/// Newton iterations at most; a fit converges quadratically from the closed
/// form in a handful. Reaching the limit ends the iteration where it is (it
/// is not a failure: every accepted step lowered F).
constexpr int kMaxIterations = 200;
/// The iteration stops when the Newton decrement is below this fraction of
/// the objective (plus its rounding).
constexpr double kOptimality = 1e-14;
/// The share of the tolerance below which the Newton decrement measured
/// with the factor of the step before confirms the optimum. That factor's
/// Hessian is off the current one by the change of the second-order term
/// between the two points, up to its own size where the start's residuals
/// were large; the step it gives then still leaves at most this share of
/// the tolerance untaken. (On 600 fits with per-axis weights and weight
/// matrices, 1 left F up to 1e-12 of itself above a full step's result on
/// nearly exact data, where the tolerance is the quadratic's rounding;
/// 1e-2 leaves it at F's own rounding, 2e-16.)
constexpr double kLastFactorShare = 1e-2;

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

/// S = diag(1, 1, ±1) of the nearest rotation U·S·Vᵀ to a matrix of that
/// SVD: det = +1, a reflection is never the answer.
Vector3d properSigns(const linalg::Svd3& svd) {
  return Vector3d(1.0, 1.0, svd.u.determinant() * svd.v.determinant() < 0.0 ? -1.0 : 1.0);
}

/// The closed-form start (see the file comment). False when the pairs carry
/// no weight, or the estimated scale is 0 (nothing correlates).
bool closedForm(const MeanMoments& m, bool withScale, double scale, Vector3d* centroid, Estimate* e,
                Matrix3d* axes = nullptr) {
  if (!(m.sw > 0.0)) return false;
  const Vector3d abar = m.sa / m.sw, bbar = m.sb / m.sw;
  const Matrix3d caa = m.saa / m.sw - abar * abar.transpose();
  Matrix3d cba = m.sba / m.sw - bbar * abar.transpose();
  // A fixed negative scale turns the source through the origin: the best
  // rotation then takes −C.
  if (!withScale && scale < 0.0) cba = -cba;
  const linalg::Svd3 svd = linalg::svd(cba);
  const Vector3d signs = properSigns(svd);
  e->rotation = svd.u * signs.asDiagonal() * svd.v.transpose();
  e->scale = withScale ? svd.singular.dot(signs) / caa.trace() : scale;
  if (!(e->scale != 0.0) || !std::isfinite(e->scale)) return false;
  e->u = bbar - e->affine() * abar;
  *centroid = abar;
  if (axes) *axes = svd.v;
  return true;
}

/// The step parameters θ = (du, ω, σ): seven with the scale estimated, six
/// (no σ) with it fixed. The iteration, run for every fit with weights that
/// differ between axes, takes their count as a template argument (fixed
/// sizes: a Newton step then costs about two thirds); the refinement from
/// the residuals, run rarely, takes the dynamic-size types of at most seven.
using Square = linalg::SmallMatrix;
using Step = linalg::SmallVector;
template <int N>
using SquareOf = Eigen::Matrix<double, N, N>;
template <int N>
using StepOf = Eigen::Matrix<double, N, 1>;

/// Derivatives of x by all seven step parameters at θ = 0 (see the file
/// comment): J (12 × 7) and the second-order term of the Hessian,
/// T_jk = ⟨G, ∂²A'/∂θ_j∂θ_k⟩ with G = ∇_A F − ∇_u F·āᵀ. A fit of n free
/// parameters takes the first n columns.
struct Derivatives {
  Eigen::Matrix<double, 12, 7> J;
  Eigen::Matrix<double, 7, 7> T;
};

Derivatives derivativesAt(const Estimate& e, const Vector3d& abar, const Vector12& gradX) {
  Derivatives d;
  d.J.setZero();
  d.T.setZero();
  const Matrix3d a = e.affine();
  Matrix3d grad;  // ∇_A F − ∇_u F·āᵀ
  for (int k = 0; k < 3; ++k) grad.col(k) = gradX.segment<3>(3 * k);
  grad -= gradX.segment<3>(9) * abar.transpose();
  const auto setColumn = [&d, &abar](int j, const Matrix3d& dA) {
    for (int k = 0; k < 3; ++k) d.J.block<3, 1>(3 * k, j) = dA.col(k);
    d.J.block<3, 1>(9, j) = -dA * abar;
  };
  Matrix3d turned[3];
  for (int j = 0; j < 3; ++j) {
    d.J(9 + j, j) = 1.0;
    // [e_j]×·A: two rows of A swapped, one negated (the same bits as the product).
    const int k = (j + 1) % 3, l = (j + 2) % 3;
    turned[j].row(j).setZero();
    turned[j].row(k) = -a.row(l);
    turned[j].row(l) = a.row(k);
    setColumn(3 + j, turned[j]);
  }
  // ∂²A'/∂ω_j∂ω_k = ½([e_j]×[e_k]× + [e_k]×[e_j]×)·A, and [e_j]×[e_k]× =
  // e_k·e_jᵀ − δ_jk·I, so that with P = A·Gᵀ the term is
  // ½(P_jk + P_kj) − δ_jk·tr P.
  const Matrix3d p = a * grad.transpose();
  for (int j = 0; j < 3; ++j)
    for (int k = j; k < 3; ++k)
      d.T(3 + j, 3 + k) = d.T(3 + k, 3 + j) = 0.5 * (p(j, k) + p(k, j)) - (j == k ? p.trace() : 0.0);
  setColumn(6, a);
  for (int j = 0; j < 3; ++j) d.T(6, 3 + j) = d.T(3 + j, 6) = turned[j].cwiseProduct(grad).sum();
  return d;
}

/// The Gauss-Newton matrix JᵀHJ of the first N parameters. Fixed sizes and
/// coefficient-wise products: Eigen's blocked product for matrices this
/// small costs more than the arithmetic. J's first three columns are the
/// unit vectors of u (derivativesAt), so that their products are H's
/// columns and rows of u: only the other four columns are multiplied out,
/// each entry summed as the whole product sums it (the same bits).
template <int N>
Eigen::Matrix<double, N, N> gaussNewtonOf(const Quadratic& q, const Derivatives& d) {
  constexpr int kTurnAndScale = N - 3;
  const auto turnAndScale = d.J.template middleCols<kTurnAndScale>(3);
  Eigen::Matrix<double, 12, N> hj;
  hj.template leftCols<3>() = q.H.rightCols<3>();
  hj.template rightCols<kTurnAndScale>() = q.H.lazyProduct(turnAndScale);
  Eigen::Matrix<double, N, N> normal;
  normal.template topRows<3>() = hj.template bottomRows<3>();
  normal.template bottomRows<kTurnAndScale>() = turnAndScale.transpose().lazyProduct(hj);
  return normal;
}
/// The same for a count known at run time.
Square gaussNewtonOf(const Quadratic& q, const Derivatives& d, int n) {
  return n == 7 ? Square(gaussNewtonOf<7>(q, d)) : Square(gaussNewtonOf<6>(q, d));
}

/// The estimate after the step θ (six or seven parameters).
template <class Theta>
Estimate stepped(const Estimate& e, const Vector3d& abar, const Theta& theta) {
  Estimate next = e;
  const Vector3d omega = theta.template segment<3>(3);
  const double angle = omega.norm();
  if (angle > 0.0) next.rotation = Eigen::AngleAxisd(angle, omega / angle).toRotationMatrix() * e.rotation;
  if (theta.size() == 7) next.scale = e.scale * (1.0 + theta(6));
  next.u = e.u + theta.template head<3>() + (e.affine() - next.affine()) * abar;
  return next;
}

/// The Gauss-Newton matrix JᵀHJ of N free parameters at the optimum (the
/// determinacy's, see there), as the iteration last computed it: at the
/// optimum, or at most one settled step before it, a step below the
/// rounding of the optimum, which moves the matrix by rounding only.
template <int N>
struct NormalAt {
  SquareOf<N> normal;
  bool known = false;
};

/// The optimum of N free parameters from the start in *e (see the file
/// comment), and its Gauss-Newton matrix in *last. False when the weighted
/// pairs do not determine the transformation.
template <int N>
Status optimise(const Quadratic& q, const Vector3d& abar, Estimate* e, NormalAt<N>* last) {
  using SquareN = SquareOf<N>;
  using StepN = StepOf<N>;
  Vector12 x = e->packed();
  double mu = 0.0;
  last->known = false;
  // The factor of the last undamped Newton step taken: the next point's
  // Newton decrement measured with it (kLastFactorShare) confirms an
  // optimum reached by that step at the cost of two triangular solves,
  // instead of a new Gauss-Newton matrix and factor.
  Eigen::LLT<SquareN> cholesky;
  bool factorOfLastStep = false;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const Vector12 hx = q.H.lazyProduct(x);
    const Vector12 gradX = 2.0 * (hx - q.g);
    const double f = x.dot(hx) - 2.0 * q.g.dot(x) + q.c;  // q.valueAt(x), with H·x once
    const Derivatives d = derivativesAt(*e, abar, gradX);
    const StepN grad = d.J.transpose().template topRows<N>().lazyProduct(gradX);
    const double tolerance = kOptimality * (std::fabs(f) + kEpsilon * std::fabs(q.c));
    // The change of F from x to the point `to` (exact: F is quadratic in x).
    const auto changeTo = [&](const Vector12& to) {
      const Vector12 dx = to - x;
      return dx.dot(gradX + q.H.lazyProduct(dx));
    };
    // A step is taken where it lowers F and keeps the scale's sign.
    const auto lowers = [e](double change, const Estimate& next) {
      return change < 0.0 && next.scale * e->scale > 0.0;
    };
    if (factorOfLastStep && grad.allFinite()) {
      const StepN theta = cholesky.solve(-grad);
      if (-grad.dot(theta) <= kLastFactorShare * tolerance) {
        last->normal = gaussNewtonOf<N>(q, d);
        const Estimate next = stepped(*e, abar, theta);
        const double change = changeTo(next.packed());
        if (!std::isfinite(change)) return FitResult::FIT_NOT_CONVERGED;
        if (lowers(change, next)) *e = next;
        return FitResult::FIT_SUCCEEDED;
      }
    }
    last->normal = gaussNewtonOf<N>(q, d);
    last->known = true;
    const SquareN gaussNewton = 2.0 * last->normal;
    const SquareN hessian = gaussNewton + d.T.template topLeftCorner<N, N>();
    const StepN diagonal = gaussNewton.diagonal();
    if (!(diagonal.minCoeff() > 0.0)) return FitResult::FIT_DEGENERATE;
    if (!grad.allFinite() || !hessian.allFinite()) return FitResult::FIT_NOT_CONVERGED;
    bool accepted = false;
    factorOfLastStep = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      // Positive definite, or damped more: a Cholesky factor (Eigen's LDLT
      // pivots through blocks of run-time size, several times its cost).
      if (mu == 0.0) {
        cholesky.compute(hessian);
      } else {
        SquareN damped = hessian;
        damped.diagonal() += mu * diagonal;
        cholesky.compute(damped);
      }
      if (cholesky.info() == Eigen::Success) {
        const StepN theta = cholesky.solve(-grad);
        const double decrement = -grad.dot(theta);
        // A step that promises less than rounding is still taken if it
        // lowers F (the gradient then falls to its own rounding level), and
        // ends the iteration.
        const bool settled = mu == 0.0 && decrement <= tolerance;
        const Estimate next = stepped(*e, abar, theta);
        const Vector12 nextX = next.packed();
        const double change = changeTo(nextX);
        if (!std::isfinite(change)) return FitResult::FIT_NOT_CONVERGED;
        if (lowers(change, next)) {
          *e = next;
          if (settled) return FitResult::FIT_SUCCEEDED;
          x = nextX;
          accepted = true;
          factorOfLastStep = mu == 0.0;
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

/// The motion nearest the affine map x: its linear part taken to the nearest
/// rotation (and scale), with the best translation for it. False when that
/// is not defined or turns nothing.
bool nearestMotion(const Quadratic& q, const Vector12& x, bool withScale, double scale, Estimate* e) {
  Matrix3d a;
  for (int k = 0; k < 3; ++k) a.col(k) = x.segment<3>(3 * k);
  if (!withScale && scale < 0.0) a = -a;
  if (!linalg::nearestRotation(a, &e->rotation)) {
    const linalg::Svd3 svd = linalg::svd(a);
    e->rotation = svd.u * properSigns(svd).asDiagonal() * svd.v.transpose();
  }
  // tr(Rᵀ·A) = Σ σ_k·S_k, over the three axes.
  e->scale = withScale ? e->rotation.cwiseProduct(a).sum() / 3.0 : scale;
  if (!(e->scale > 0.0 || !withScale) || !std::isfinite(e->scale) || !e->rotation.allFinite()) return false;
  // The best translation for that map: ΣW·u = g_u − Σ_k (Σ a_k·W)·A'_k.
  const Vector12 fixed = e->packed();
  const Vector3d rhs = q.g.segment<3>(9) - q.H.block<3, 9>(9, 0) * fixed.head<9>();
  const Eigen::LDLT<Matrix3d> translation(q.H.block<3, 3>(9, 9));
  if (translation.info() != Eigen::Success) return false;
  e->u = translation.solve(rhs);
  return e->u.allFinite();
}

/// The start from the best affine map: the quadratic's own minimum over all
/// twelve numbers (of least norm, equilibrated, where the pairs leave the map
/// partly free, as a flat part does), taken to its nearest motion.
bool affineStart(const Quadratic& q, bool withScale, double scale, Estimate* e) {
  const Vector12 diagonal = q.H.diagonal();
  if (!(diagonal.minCoeff() > 0.0)) return false;
  const Vector12 unit = diagonal.cwiseSqrt().cwiseInverse();
  const Matrix12 equilibrated = unit.asDiagonal() * q.H * unit.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<Matrix12> eigen(equilibrated);
  const Vector12 values = eigen.eigenvalues();
  const double limit = 1e-12 * values.maxCoeff();
  Vector12 inverse = Vector12::Zero();
  for (int k = 0; k < 12; ++k)
    if (values(k) > limit) inverse(k) = 1.0 / values(k);
  const Vector12 x = unit.asDiagonal() * (eigen.eigenvectors() *
                                          (inverse.asDiagonal() * (eigen.eigenvectors().transpose() *
                                                                   (unit.asDiagonal() * q.g))));
  return nearestMotion(q, x, withScale, scale, e);
}

/// A Cholesky pivot below this fraction of its diagonal entry leaves the
/// affine map to the least-norm start (regularAffineStart).
constexpr double kRegularPivot = 1e-6;

/// The same where H is clearly regular, by a Cholesky factor (a small part
/// of the eigenvalues' cost; of each row's 4x4 block where the rows lie
/// apart): false where a pivot falls below kRegularPivot of its diagonal
/// entry (a flat or thin part, whose affine map the pairs barely fix).
bool regularAffineStart(const Quadratic& q, bool withScale, double scale, Estimate* e) {
  const auto solved = [](const auto& h, const auto& g, auto* x) {
    const Eigen::LLT<std::decay_t<decltype(h)>> llt(h);
    if (llt.info() != Eigen::Success) return false;
    const auto pivots = llt.matrixLLT().diagonal().cwiseAbs2().array();
    if (!(pivots > kRegularPivot * h.diagonal().array()).all()) return false;
    *x = llt.solve(g);
    return true;
  };
  Vector12 x;
  if (!q.rowsApart) {
    if (!solved(q.H, q.g, &x)) return false;
  } else {
    for (int r = 0; r < 3; ++r) {
      const Eigen::Array4i at(r, 3 + r, 6 + r, 9 + r);
      Eigen::Matrix4d h;
      Eigen::Vector4d g, row;
      for (int i = 0; i < 4; ++i) {
        g(i) = q.g(at(i));
        for (int j = 0; j < 4; ++j) h(i, j) = q.H(at(i), at(j));
      }
      if (!solved(h, g, &row)) return false;
      for (int i = 0; i < 4; ++i) x(at(i)) = row(i);
    }
  }
  return nearestMotion(q, x, withScale, scale, e);
}

/// F at the rotation R with the best translation, and the best scale when it
/// is estimated, for it (x = x₀ + B·y with y the scale and translation);
/// +∞ when they are not defined or the best scale is not positive.
double screened(const Quadratic& q, const Matrix3d& rotation, bool withScale, double scale, Estimate* e) {
  Eigen::Matrix<double, 12, 4> b = Eigen::Matrix<double, 12, 4>::Zero();
  Vector12 x0 = Vector12::Zero();
  for (int k = 0; k < 3; ++k) {
    if (withScale)
      b.block<3, 1>(3 * k, 0) = rotation.col(k);
    else
      x0.segment<3>(3 * k) = scale * rotation.col(k);
  }
  b.block<3, 3>(9, 1).setIdentity();
  // Fixed sizes and coefficient-wise products (see gaussNewtonOf); with the
  // scale fixed, b's first column is zero and only the translation is solved.
  const Vector12 hx0 = q.H.lazyProduct(x0);
  const Eigen::Matrix4d normal = b.transpose().lazyProduct(Eigen::Matrix<double, 12, 4>(q.H.lazyProduct(b)));
  const Eigen::Vector4d rhs = b.transpose().lazyProduct(Vector12(q.g - hx0));
  Eigen::Vector4d y = Eigen::Vector4d::Zero();
  const auto solveLast = [&](auto count) {
    constexpr int k = decltype(count)::value;
    const Eigen::LDLT<Eigen::Matrix<double, k, k>> ldlt(normal.bottomRightCorner<k, k>());
    if (ldlt.info() != Eigen::Success || !ldlt.isPositive()) return false;
    y.tail<k>() = ldlt.solve(rhs.tail<k>());
    return true;
  };
  const bool solved =
      withScale ? solveLast(std::integral_constant<int, 4>()) : solveLast(std::integral_constant<int, 3>());
  if (!solved) return HUGE_VAL;
  e->rotation = rotation;
  e->scale = withScale ? y(0) : scale;
  e->u = y.tail<3>();
  if (!(e->scale > 0.0 || !withScale) || !y.allFinite()) return HUGE_VAL;
  return x0.dot(hx0) - 2.0 * q.g.dot(x0) + q.c - y.dot(rhs);
}

/// Starts besides the first, for weights that differ between axes, where
/// the fit may have other minima: the closed form when closedToo (the first
/// was the best affine map), else the best affine map's, and those of the
/// icosahedral grid about the closed form (and of its half turns about
/// the principal axes of the correlation, where with equal weights the fit's
/// other stationary points lie) with the lowest F.
std::vector<Estimate> otherStarts(const Quadratic& q, bool withScale, double scale, const Estimate& closed,
                                  const Matrix3d& axes, bool closedToo) {
  // Eight: on noise-free pairs whose weights of 0, 0.01, 1 and 100 barely
  // fix the motion, the best four of the grid missed the optimum about once
  // in 400 problems, the best eight in none of 3,000.
  constexpr std::size_t kScreened = 8;
  std::vector<Estimate> starts;
  Estimate affine;
  if (closedToo)
    starts.push_back(closed);
  else if (affineStart(q, withScale, scale, &affine))
    starts.push_back(affine);
  std::vector<std::pair<double, Estimate>> grid;
  const auto consider = [&](const Matrix3d& turn) {
    Estimate e;
    const double f = screened(q, closed.rotation * turn, withScale, scale, &e);
    if (f < HUGE_VAL) grid.emplace_back(f, e);
  };
  for (const Matrix3d& turn : rotationGrid()) consider(turn);
  for (int k = 0; k < 3; ++k) consider(2.0 * axes.col(k) * axes.col(k).transpose() - Matrix3d::Identity());
  const std::size_t kept = std::min(kScreened, grid.size());
  std::partial_sort(grid.begin(), grid.begin() + long(kept), grid.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = 0; k < kept; ++k) starts.push_back(grid[k].second);
  return starts;
}

/// Whether F is lower at `candidate` than at `best` beyond the rounding of
/// the change (computed from the step, without the cancellation of
/// evaluating F twice, and bounded by the same sum in absolute values).
/// Optima closer than that are equally good, as when the weights leave two
/// exact solutions (a part turned half round about the normal of a plane it
/// may slide on), and the earlier start is kept.
bool lowerThan(const Quadratic& q, const Estimate& candidate, const Estimate& best) {
  constexpr double kResolved = 64.0 * kEpsilon;
  const Vector12 x = best.packed(), dx = candidate.packed() - x;
  const double f = q.valueAt(x);
  const double change = dx.dot(2.0 * (q.H * x - q.g) + q.H * dx);
  const Matrix12 size = q.H.cwiseAbs();
  const Vector12 step = dx.cwiseAbs();
  const double rounding = step.dot(2.0 * (size * x.cwiseAbs() + q.g.cwiseAbs()) + size * step);
  return change < -(kOptimality * std::fabs(f) + kResolved * rounding);
}

/// A lower bound of the smallest eigenvalue of the symmetric m, within
/// 1e-9·|m| of it: the closed-form eigenvalue (Eigen's computeDirect, a few
/// times faster than the iterative one), proven a bound by a Cholesky
/// factor of m less that much, else the iterative eigenvalue.
double smallestEigenvalueBound(const Matrix3d& m) {
  Eigen::SelfAdjointEigenSolver<Matrix3d> eigen;
  eigen.computeDirect(m, Eigen::EigenvaluesOnly);
  const double bound = eigen.eigenvalues()(0) - 1e-9 * m.norm();
  if (Eigen::LLT<Matrix3d>(m - bound * Matrix3d::Identity()).info() == Eigen::Success) return bound;
  return Eigen::SelfAdjointEigenSolver<Matrix3d>(m, Eigen::EigenvaluesOnly).eigenvalues()(0);
}

/// Whether the optimum e is provably the lowest of all (see the file
/// comment): with A = s·R and f(A) = min_u F, for any other rotation R·E
/// (E a turn by θ about a) f(s·R·E) − f(s·R) ≥ 2s·(1 − cos θ)·κ with
/// κ = 2ℓ·s + λ_min(M) − tr M, where ℓ is the smallest eigenvalue of f's
/// quadratic part (H with u eliminated) and M = sym(Rᵀ·G), G = ½∇_A f at
/// e; with the scale estimated, f(s'·R·E) − f(s·R) is bounded the same way
/// plus 3ℓ·(s' − s)². κ clearly above 0 leaves no other minimum. It holds
/// where the residuals are small against the part's extent, and fails for
/// flat parts (ℓ = 0) or residuals as large as the part: the starts then run.
bool provablyLowest(const Quadratic& q, const Estimate& e) {
  if (!(e.scale > 0.0)) return false;
  const Vector12 x = e.packed();
  const Vector12 half = q.H.lazyProduct(x) - q.g;  // ½ ∇_x F
  Matrix3d g;
  for (int k = 0; k < 3; ++k) g.col(k) = half.segment<3>(3 * k);
  const Matrix3d m = e.rotation.transpose() * g;
  const Matrix3d symmetric = 0.5 * (m + m.transpose());
  // f's quadratic part: H with u eliminated. Where the rows lie apart it is
  // one 3x3 block per row r of A (entries 3k + r), each with only u_r
  // eliminated.
  Eigen::Matrix<double, 9, 9> reduced;
  Matrix3d rows[3];
  if (q.rowsApart) {
    for (int r = 0; r < 3; ++r) {
      const double weight = q.H(9 + r, 9 + r);
      if (!(weight > 0.0)) return false;
      Vector3d coupling;
      for (int k = 0; k < 3; ++k) {
        coupling(k) = q.H(3 * k + r, 9 + r);
        for (int l = 0; l < 3; ++l) rows[r](k, l) = q.H(3 * k + r, 3 * l + r);
      }
      rows[r] -= coupling * (coupling.transpose() / weight);
    }
  } else {
    const Eigen::LDLT<Matrix3d> translation(q.H.block<3, 3>(9, 9));
    if (translation.info() != Eigen::Success || !translation.isPositive()) return false;
    reduced = q.H.topLeftCorner<9, 9>() -
              q.H.block<9, 3>(0, 9).lazyProduct(Eigen::Matrix<double, 3, 9>(translation.solve(q.H.block<3, 9>(9, 0))));
  }
  const double lowest = smallestEigenvalueBound(symmetric);
  // κ > room, with room for the rounding of the moments (a few ε of H) and
  // of the optimum: 1e-6·(2ℓ·s + |M|) + 1e3·ε·λ_max·s. For ℓ ≥ 0 that is
  // ℓ above `needed` below, with the trace of the semi-definite reduced
  // matrix for λ_max (at least as large): proven by a Cholesky factor of
  // reduced − needed·I (of each block), at a fraction of the eigenvalues' cost.
  const double largest = q.rowsApart ? rows[0].trace() + rows[1].trace() + rows[2].trace() : reduced.trace();
  const double needed =
      std::max(0.0, (symmetric.trace() - lowest + 1e-6 * m.norm() + 1e3 * kEpsilon * largest * e.scale) /
                        (2.0 * e.scale * (1.0 - 1e-6)));
  if (q.rowsApart) {
    for (const Matrix3d& row : rows)
      if (Eigen::LLT<Matrix3d>(row - needed * Matrix3d::Identity()).info() != Eigen::Success) return false;
    return true;
  }
  const Eigen::LLT<Eigen::Matrix<double, 9, 9>> shifted(reduced -
                                                         needed * Eigen::Matrix<double, 9, 9>::Identity());
  return shifted.info() == Eigen::Success;
}

/// The smallest eigenvalue of the equilibrated Gauss-Newton matrix of the N
/// free parameters at e (`known`, where the iteration has it): how well the
/// weighted pairs determine them (see the file comment); 0 when a parameter
/// has no effect at all, kWellDetermined when it is larger than that.
template <int N>
double determinacy(const Quadratic& q, const Vector3d& abar, const Estimate& e, const NormalAt<N>& known) {
  using SquareN = SquareOf<N>;
  using StepN = StepOf<N>;
  const SquareN normal = known.known ? known.normal : gaussNewtonOf<N>(q, derivativesAt(e, abar, Vector12::Zero()));
  const StepN diagonal = normal.diagonal();
  if (!(diagonal.minCoeff() > 0.0)) return 0.0;
  const StepN unit = diagonal.cwiseSqrt().cwiseInverse();
  const SquareN equilibrated = unit.asDiagonal() * normal * unit.asDiagonal();
  // A Cholesky factor of (M − k·I) proves every eigenvalue above k, at a
  // fraction of the eigenvalues' cost.
  if (Eigen::LLT<SquareN>(equilibrated - kWellDetermined * SquareN::Identity()).info() == Eigen::Success)
    return kWellDetermined;
  Step values;
  linalg::symmetricEigen(Square(equilibrated), &values, nullptr);
  return values(0);
}

/// The number of free parameters: seven with the scale estimated, else six.
int freeParameters(bool withScale) { return withScale ? 7 : 6; }

}  // namespace

// The 120 unit quaternions of the binary icosahedral group, one of each ±q.
const std::vector<Matrix3d>& rotationGrid() {
  static const std::vector<Matrix3d> turns = [] {
    const double phi = 0.5 * (1.0 + std::sqrt(5.0));
    std::vector<Eigen::Vector4d> quaternions;
    for (int k = 1; k < 4; ++k) quaternions.push_back(Eigen::Vector4d::Unit(k));  // half turns about the axes
    for (int signs = 0; signs < 8; ++signs)
      quaternions.push_back(0.5 * Eigen::Vector4d(1.0, signs & 1 ? -1.0 : 1.0, signs & 2 ? -1.0 : 1.0,
                                                  signs & 4 ? -1.0 : 1.0));
    // Even permutations of (0, 1/2, φ/2, 1/(2φ)) with every choice of signs.
    const double values[4] = {0.0, 0.5, 0.5 * phi, 0.5 / phi};
    int order[4] = {0, 1, 2, 3};
    do {
      int inversions = 0;
      for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) inversions += order[i] > order[j];
      if (inversions % 2 != 0) continue;
      for (int signs = 0; signs < 8; ++signs) {
        Eigen::Vector4d v;
        for (int i = 0; i < 4; ++i) {
          const bool negative = order[i] > 0 && (signs >> (order[i] - 1) & 1);
          v(i) = negative ? -values[order[i]] : values[order[i]];
        }
        // One of ±q: the first non-zero component positive.
        int first = 0;
        while (v(first) == 0.0) ++first;
        if (v(first) > 0.0) quaternions.push_back(v);
      }
    } while (std::next_permutation(order, order + 4));
    std::vector<Matrix3d> out;
    for (const Eigen::Vector4d& v : quaternions)
      out.push_back(Eigen::Quaterniond(v(0), v(1), v(2), v(3)).toRotationMatrix());
    return out;
  }();
  return turns;
}

namespace {

/// The optimum and its determinacy, for N free parameters (see
/// freeParameters: 7 with the scale estimated).
template <int N>
Status optimumFrom(const Quadratic& q, double scale, Solution* out) {
  constexpr bool withScale = N == 7;
  const MeanMoments m = meanMoments(q);
  // With isotropic weights the closed form is the optimum. With others the
  // iteration starts from the best affine map where the pairs clearly fix
  // it: on a measured part that is the optimum to the noise's second order,
  // settled in two Newton steps, where the closed form of the mean weights
  // (a centroid off by the differences between the axes' weights) takes four.
  Estimate start, closed;
  Matrix3d axes;
  const bool affineFirst = !q.isotropic && regularAffineStart(q, withScale, scale, &start);
  if (affineFirst)
    out->centroid = m.sa / m.sw;
  else if (closedForm(m, withScale, scale, &out->centroid, &closed, &axes))
    start = closed;
  else
    return FitResult::FIT_DEGENERATE;
  out->estimate = start;
  NormalAt<N> normal;  // of out->estimate, where the iteration has it
  if (!q.isotropic) {
    const Status status = optimise<N>(q, out->centroid, &out->estimate, &normal);
    if (status != FitResult::FIT_SUCCEEDED) return status;
    if (!provablyLowest(q, out->estimate)) {
      // The other starts turn about the closed form, itself one of them
      // when the affine map came first (where it is not defined, which
      // takes a correlation of exactly nothing, about the affine map's).
      const bool closedOther = affineFirst && closedForm(m, withScale, scale, &out->centroid, &closed, &axes);
      if (affineFirst && !closedOther) {
        closed = start;
        axes.setIdentity();
      }
      for (Estimate& other : otherStarts(q, withScale, scale, closed, axes, closedOther)) {
        NormalAt<N> otherNormal;
        if (optimise<N>(q, out->centroid, &other, &otherNormal) == FitResult::FIT_SUCCEEDED &&
            lowerThan(q, other, out->estimate)) {
          out->estimate = other;
          normal = otherNormal;
        }
      }
    }
  }
  out->determinacy = determinacy<N>(q, out->centroid, out->estimate, normal);
  return out->determinacy > kDeterminacy ? FitResult::FIT_SUCCEEDED : FitResult::FIT_DEGENERATE;
}

}  // namespace

Status solve(const Quadratic& q, bool withScale, double scale, Solution* out) {
  if (!q.finite) return FitResult::FIT_NOT_FINITE;
  if (q.negative) return FitResult::FIT_NEGATIVE_WEIGHT;
  if (q.weighted == 0) return FitResult::FIT_DEGENERATE;
  if (!withScale && !(scale != 0.0 && std::isfinite(scale))) return FitResult::FIT_DEGENERATE;  // no matrix
  return withScale ? optimumFrom<7>(q, scale, out) : optimumFrom<6>(q, scale, out);
}

Status toTransformation(const Quadratic& q, const Estimate& e, Transformation* result) {
  double r[4][4] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = e.rotation(i, j);
  r[3][3] = 1.0;
  const Vec angles = Transformation(r).getAngles();
  // A Transformation keeps its rotation as angles: the rotation it applies
  // is the one rebuilt from them, a few ε from e.rotation. The translation
  // is taken with that rotation, so that the reference pair maps as the
  // estimate says: for a part far from the origin the rebuild would
  // otherwise move it by a few ε of its distance (1e-9 mm at 1e6 mm).
  Transformation rotation;
  rotation.set(Vec(), angles, 1.0);
  Matrix3d stored;
  for (unsigned i = 0; i < 3; ++i)
    for (unsigned j = 0; j < 3; ++j) stored(i, j) = rotation.getMatrix(j, i);
  const Vector3d t = (e.u + toEigen(q.refDst)) / e.scale - stored * toEigen(q.refSrc);
  // set(t, angles, s), with the rotation already built (the same elements).
  double elements[4][4];
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) elements[i][j] = stored(i, j);
    elements[i][3] = t(i);
    elements[3][i] = 0.0;
  }
  elements[3][3] = 1.0 / e.scale;
  const Transformation fitted(elements);
  for (unsigned i = 0; i < 4; ++i)
    for (unsigned j = 0; j < 4; ++j)
      if (!std::isfinite(fitted.getMatrix(i, j))) return FitResult::FIT_NOT_CONVERGED;
  *result = fitted;
  return FitResult::FIT_SUCCEEDED;
}

Estimate rolledHalfRound(const Quadratic& q, const Solution& s) {
  const MeanMoments m = meanMoments(q);
  const Eigen::SelfAdjointEigenSolver<Matrix3d> spread(m.saa / m.sw - s.centroid * s.centroid.transpose());
  const Vector3d along = spread.eigenvectors().col(2);  // eigenvalues in increasing order
  Estimate rolled = s.estimate;
  rolled.rotation = s.estimate.rotation * (2.0 * along * along.transpose() - Matrix3d::Identity());
  rolled.u = s.estimate.u + (s.estimate.affine() - rolled.affine()) * s.centroid;  // the centroid's image kept
  return rolled;
}

bool newtonStep(const Quadratic& q, bool withScale, const Solution& s, const Vector12& gradX, double f,
                double length, Estimate* next) {
  const int n = freeParameters(withScale);
  const Derivatives d = derivativesAt(s.estimate, s.centroid, gradX);
  const Square gaussNewton = 2.0 * gaussNewtonOf(q, d, n);
  const Step grad = (d.J.transpose() * gradX).head(n);
  linalg::LdltSolution ldlt = linalg::solveLdlt(gaussNewton + d.T.topLeftCorner(n, n), -grad);
  // Away from the optimum the second-order terms (residual times lever arm)
  // can outweigh the curvature of a thin part's ill-determined directions;
  // Gauss-Newton's matrix is semi-definite by construction.
  if (!ldlt.semiDefinite) ldlt = linalg::solveLdlt(gaussNewton, -grad);
  if (!ldlt.semiDefinite) return false;
  const Step& theta = ldlt.x;
  if (!(-grad.dot(theta) > kOptimality * f)) return false;  // optimal to rounding
  *next = stepped(s.estimate, s.centroid, length * theta);
  return true;
}

}  // namespace fit
}  // namespace Zem

// Held freedoms: the minimisation over the free parameters of a best fit
// (the model in fit_model.h).
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
// Minimisation. Newton steps (the Gauss-Newton matrix plus the second-order
// terms of the rotation and the scale) with Levenberg-Marquardt damping over
// the free directions, the objective and its derivatives from one pass over
// the pairs each; it stops when the Gauss-Newton step promises no decrease
// beyond rounding relative to the objective. Starts: the closed-form (Horn) rotation of the
// pairs' mean weights, centred and, with a translation component held, also
// about the origin; a turn about one axis from its closed form in the plane
// of the turn; with weights that differ between axes also turns spread
// over all rotations (the free fit's grid, see fit_solver.cpp); the lowest
// result wins.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "fit_model.h"

namespace Zem {
namespace fit {

namespace {

/// Iterations at most: a guard. Newton steps reach the optimum in a
/// handful; Gauss-Newton alone, linear where the residuals are large against
/// the part, had taken several hundred, and stopping it at 100 had left a
/// fit 2 µm and 0.1 mrad off.
constexpr int kMaxIterations = 1000;
/// With weights that differ between axes: the turns about a held axis (of
/// eleven, 30° apart) and the rotations of the grid (of 59) with the lowest
/// objective from which the minimisation runs too. On problems of a few
/// pairs weighted 0 to 100 per axis, the best three turns still missed an
/// optimum, five none in 250; the best four rotations missed one in 300,
/// eight none. Each costs a minimisation (tens to hundreds of reads of the
/// pairs).
constexpr std::size_t kScreenedTurns = 5;
constexpr std::size_t kScreenedRotations = 8;
/// The minimisation stops when the predicted decrease is below this
/// fraction of the objective (plus its rounding).
constexpr double kOptimality = 1e-16;

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

/// Whether some pair used weighs its axes differently (W not a multiple of
/// the identity).
bool differsBetweenAxes(const Pairs& pairs) {
  for (std::size_t i = 0; i < pairs.list.n; ++i) {
    if (!pairs.used[i]) continue;
    const Matrix3d w = pairs.weight(i);
    if (!(w - Matrix3d::Identity() * w(0, 0)).isZero(0.0)) return true;
  }
  return false;
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
      const linalg::Svd3 svd = linalg::svd(c);
      const double d = svd.u.determinant() * svd.v.determinant() < 0.0 ? -1.0 : 1.0;
      pose.rotation = svd.u * Vector3d(1.0, 1.0, d).asDiagonal() * svd.v.transpose();
    }
    pose.scale = o.withScale ? (varA > 0.0 && varB > 0.0 ? std::sqrt(varB / varA) : 1.0) : o.scale;
    pose.translation = bc - pose.scale * (pose.rotation * ac);
    for (int k = 0; k < 3; ++k)
      if (!fr.free[k]) pose.translation(k) = 0.0;
    starts.push_back(pose);
  }
  if (!differsBetweenAxes(pairs) || starts.empty()) return starts;
  // Weights that differ between axes can give other minima (see
  // fit_solver.cpp): turns spread over all angles of a held axis, or the
  // free rotations of a grid with the lowest objective, start too.
  const Pose centred = starts.front();
  std::vector<std::pair<double, Pose>> grid;
  const auto consider = [&](const Matrix3d& rotation, double angle) {
    Pose pose = centred;
    pose.rotation = rotation;
    pose.angle = angle;
    pose.translation = bbar - pose.scale * (pose.rotation * abar);
    for (int k = 0; k < 3; ++k)
      if (!fr.free[k]) pose.translation(k) = 0.0;
    grid.emplace_back(objective(pairs, pose), pose);
  };
  if (fr.rotationAxis >= 0) {
    for (int k = 1; k < 12; ++k) {
      const double angle = centred.angle + k * std::acos(-1.0) / 6.0;
      consider(axisRotation(fr.rotationAxis, angle), angle);
    }
  } else if (fr.free[3]) {
    for (const Matrix3d& turn : rotationGrid()) consider(centred.rotation * turn, 0.0);
  }
  // Each minimisation reads the pairs many times: only the starts with the
  // lowest objective run.
  const std::size_t kept = std::min(fr.rotationAxis >= 0 ? kScreenedTurns : kScreenedRotations, grid.size());
  std::partial_sort(grid.begin(), grid.begin() + long(kept), grid.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = 0; k < kept; ++k) starts.push_back(grid[k].second);
  return starts;
}

}  // namespace

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
                     double* f, Matrix3d* curvature) {
  n->setZero();
  g->setZero();
  *f = 0.0;
  if (curvature) curvature->setZero();
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
    if (curvature) curvature->noalias() += (w * r) * (q - center).transpose();
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
  VectorM values;
  MatrixM vectors;
  linalg::symmetricEigen(equilibrated, &values, &vectors);
  out.smallest = values(0);
  out.condition = values(m - 1) / values(0);
  int largest = 0;
  vectors.col(0).cwiseAbs().maxCoeff(&largest);
  out.weakest = index[std::size_t(largest)];
  out.regular = out.smallest > 0.0;
  if (out.regular)
    out.inverse = unit.asDiagonal() * vectors * values.cwiseInverse().asDiagonal() * vectors.transpose() *
                  unit.asDiagonal();
  return out;
}

/// The second-order part of the Hessian in the seven parameters (halved,
/// as N is): Σ (W·r)ᵀ·∂²q'/∂θ∂θ. A step maps q to (1 + σ)·exp([ω]×)·(q − c)
/// + c + dt, whose second derivatives at 0 are ½(E_j·E_k + E_k·E_j)·(q − c)
/// for ω_j, ω_k and E_j·(q − c) for σ, ω_j (E_j = [e_j]×); a held
/// translation component k turns and scales about T instead (q'_k = [(1 +
/// σ)·exp([ω]×)·(q − T)]_k), so its row of G = Σ W·r·(q − c)ᵀ loses
/// (Σ W·r)_k·(T − c)ᵀ.
Matrix7 secondOrder(const Matrix3d& curvature, const Vector7& g7, const Freedoms& fr, const Vector3d& translation,
                    const Vector3d& center) {
  Matrix3d g = curvature;
  for (int k = 0; k < 3; ++k)
    if (!fr.free[k]) g.row(k) -= g7(k) * (translation - center).transpose();
  Matrix7 t = Matrix7::Zero();
  for (int j = 0; j < 3; ++j) {
    const Matrix3d ej = crossMatrix(Vector3d::Unit(j));
    t(6, 3 + j) = t(3 + j, 6) = ej.cwiseProduct(g).sum();
    for (int k = j; k < 3; ++k) {
      const Matrix3d ek = crossMatrix(Vector3d::Unit(k));
      t(3 + j, 3 + k) = t(3 + k, 3 + j) = (0.5 * (ej * ek + ek * ej)).cwiseProduct(g).sum();
    }
  }
  return t;
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
    Matrix3d curvature;
    normalEquations(pairs, *pose, center, &n7, &g7, f, &curvature);
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
    // Optimal when the Gauss-Newton step promises no decrease beyond
    // rounding: gᵀ·N⁻¹·g, zero only where the gradient is. (The decrease a
    // damped step promises is no such measure: it shrinks with the damping.)
    if (!(-g.dot(linalg::solveLdlt(n, -g).x) > kOptimality * *f + rounding)) return FitResult::FIT_SUCCEEDED;
    // Newton steps: Gauss-Newton alone converges only linearly where the
    // residuals are large against the part.
    const MatrixM hessian = n + MatrixM(b.transpose() * secondOrder(curvature, g7, fr, pose->translation, center) * b);
    bool accepted = false;
    for (int tries = 0; tries < 60 && !accepted; ++tries) {
      const linalg::LdltSolution step = linalg::solveLdlt(hessian + MatrixM(mu * diagonal.asDiagonal()), -g);
      if (!(step.semiDefinite && step.smallestPivot > 0.0)) {
        mu = mu == 0.0 ? 1e-9 : mu * 8.0;
        continue;
      }
      const VectorM& theta = step.x;
      const Pose next = applied(*pose, b * theta, fr, center);
      const double nextF = objective(pairs, next);
      if (nextF < *f && next.scale * pose->scale > 0.0) {
        *pose = next;
        *f = nextF;
        accepted = true;
        mu = mu < 1e-6 ? 0.0 : mu / 8.0;
      } else {
        mu = mu == 0.0 ? 1e-9 : mu * 8.0;
      }
    }
    if (!accepted) return FitResult::FIT_SUCCEEDED;  // no damped step lowers F: rounding level
  }
  return FitResult::FIT_SUCCEEDED;
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

}  // namespace fit
}  // namespace Zem

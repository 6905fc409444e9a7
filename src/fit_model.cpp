// The model of the fits with held freedoms (fit_model.h): the freedoms and
// the pose, a step applied to a pose, the Jacobian and the normal equations
// over the pairs or from their quadratic, the second-order terms, the free
// directions and the analysis of their normal matrix.
//
// Held freedoms. A held rotation axis or a fixed scale drops its column. A
// fixed translation component T_k = 0 drops dt_k, but a free turn or scale
// about c moves T_k; its column then carries the dt_k that keeps T_k, so
// that the free directions are the tangent of the set of maps with the held
// values (columns B, 7 x m). The normal matrix of the free parameters is
// Bᵀ·N·B with N = Σ JᵀWJ. Every step ends with the held components set to
// their values exactly, so that a held rotation is exactly the identity or a
// turn about its axis and a fixed translation component exactly 0.
#include <cmath>
#include <vector>

#include "fit_model.h"

namespace Zem {
namespace fit {

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

/// The pose as the twelve numbers x = (A's columns, u) of the quadratic of
/// the pairs (fit_kernels.h): q − q₀ = A·(p − p₀) + u with A = s·R.
Vector12 packedOf(const Quadratic& q, const Pose& pose) {
  const Matrix3d a = pose.scale * pose.rotation;
  return Estimate{pose.rotation, pose.scale, a * toEigen(q.refSrc) + pose.translation - toEigen(q.refDst)}.packed();
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

/// normalEquations from the quadratic instead of the pairs, in time
/// independent of their number. A step θ moves x by X·θ, X = ∂x/∂θ the same
/// for every pair (a turn E_j or the scale act on A's columns and on
/// u − (c − q₀)); so N = XᵀHX, g = Xᵀ(Hx − g_q), and G = Σ_k (Hx − g_q)_k·A_kᵀ
/// + (Hx − g_q)_u·(u − (c − q₀))ᵀ.
void normalEquationsOf(const Quadratic& q, const Vector12& x, const Vector3d& center, Matrix7* n, Vector7* g,
                       Matrix3d* curvature) {
  const Vector3d arm = x.segment<3>(9) - (center - toEigen(q.refDst));
  Eigen::Matrix<double, 12, 7> dx = Eigen::Matrix<double, 12, 7>::Zero();
  dx.block<3, 3>(9, 0).setIdentity();
  for (int j = 0; j < 3; ++j) {
    const Matrix3d turn = crossMatrix(Vector3d::Unit(j));
    for (int k = 0; k < 3; ++k) dx.block<3, 1>(3 * k, 3 + j) = turn * x.segment<3>(3 * k);
    dx.block<3, 1>(9, 3 + j) = turn * arm;
  }
  dx.col(6).head<9>() = x.head<9>();
  dx.block<3, 1>(9, 6) = arm;
  const Vector12 half = q.H.lazyProduct(x) - q.g;  // ½ ∇_x F
  *n = dx.transpose().lazyProduct(Eigen::Matrix<double, 12, 7>(q.H.lazyProduct(dx)));
  *g = dx.transpose().lazyProduct(half);
  *curvature = half.segment<3>(9) * arm.transpose();
  for (int k = 0; k < 3; ++k) *curvature += half.segment<3>(3 * k) * x.segment<3>(3 * k).transpose();
}

}  // namespace fit
}  // namespace Zem

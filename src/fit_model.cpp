// The model of the fits with held freedoms (fit_model.h): the freedoms and
// the pose, the Jacobian and the normal equations over the pairs, the free
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

}  // namespace fit
}  // namespace Zem

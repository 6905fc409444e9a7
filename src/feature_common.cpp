// What the element fits share: status texts, the centred and scaled point
// cloud, the algebraic circle, orientation rules and the residual summary.
#include <algorithm>
#include <cmath>
#include <limits>

#include "decompositions.h"
#include "feature_common.h"

namespace Zem {

const char* FeatureFit::getStatusText() const {
  switch (status) {
    case FEATURE_SUCCEEDED: return "succeeded";
    case FEATURE_TOO_FEW_POINTS: return "too few points";
    case FEATURE_NOT_FINITE: return "a coordinate is not finite";
    case FEATURE_NOT_CONVERGED: return "no minimum found: the element runs off to infinity";
    case FEATURE_DEGENERATE: break;
  }
  switch (degeneracy) {
    case DEGENERACY_COINCIDENT: return "degenerate: all points coincide";
    case DEGENERACY_COLLINEAR: return "degenerate: the points lie on one line";
    case DEGENERACY_COPLANAR: return "degenerate: the points lie in one plane";
    case DEGENERACY_NO_DIRECTION: return "degenerate: the points spread equally in two directions";
    case DEGENERACY_NO_NORMAL: return "degenerate: the points spread equally about a line";
    case DEGENERACY_UNDETERMINED: return "degenerate: the points do not determine the element";
    case DEGENERACY_NONE: break;
  }
  return "degenerate";
}

namespace feature {

double flatEigenvalue(double magnitude, double scale) {
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  const double coordinates = 64.0 * kEps * magnitude / scale;
  return 1e-14 + coordinates * coordinates;
}

FeatureFit::Status_t makeCloud(const FeaturePoints& points, std::size_t minimum, Cloud* cloud,
                               FeatureFit::Degeneracy_t* degeneracy) {
  const std::size_t n = points.size();
  if (n < minimum) return FeatureFit::FEATURE_TOO_FEW_POINTS;
  Eigen::Matrix3Xd& q = cloud->q;
  q.resize(3, Eigen::Index(n));
  points.visit([&q, n](auto at) {
    for (std::size_t i = 0; i < n; ++i) {
      const BaVec3d<double> p = at(i);
      q.col(Eigen::Index(i)) << p.x, p.y, p.z;
    }
    return 0;
  });
  if (!q.allFinite()) return FeatureFit::FEATURE_NOT_FINITE;
  const double magnitude = q.cwiseAbs().maxCoeff();
  // The mean about the first point, then once more about the mean: the
  // second pass removes what rounding left of the first.
  const Eigen::Vector3d first = q.col(0);
  Eigen::Vector3d mean = first + (q.colwise() - first).rowwise().mean();
  mean += (q.colwise() - mean).rowwise().mean();
  q.colwise() -= mean;
  const double scale = std::sqrt(q.squaredNorm() / double(n));
  if (!std::isfinite(scale)) return FeatureFit::FEATURE_NOT_FINITE;
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  if (!(scale > 256.0 * kEps * magnitude)) {
    *degeneracy = FeatureFit::DEGENERACY_COINCIDENT;
    return FeatureFit::FEATURE_DEGENERATE;
  }
  q /= scale;
  cloud->mean = mean;
  cloud->scale = scale;
  linalg::symmetricEigen(q * q.transpose() / double(n), &cloud->values, &cloud->vectors);
  cloud->flat = flatEigenvalue(magnitude, scale);
  return FeatureFit::FEATURE_SUCCEEDED;
}

void perpendicularPair(const Eigen::Vector3d& n, Eigen::Vector3d* u, Eigen::Vector3d* v) {
  Eigen::Index axis = 0;
  n.cwiseAbs().minCoeff(&axis);  // the coordinate axis least parallel to n
  *u = n.cross(Eigen::Vector3d::Unit(axis)).normalized();
  *v = n.cross(*u);
}

bool algebraicCircle(const Eigen::Matrix3Xd& q, const Eigen::Vector3d& u, const Eigen::Vector3d& v,
                     Eigen::Vector2d* center, double* radius) {
  // x² + y² = 2a·x + 2b·y + k, linear in (a, b, k); r² = k + a² + b².
  const Eigen::Index n = q.cols();
  Eigen::MatrixX3d A(n, 3);
  A.col(0) = 2.0 * (u.transpose() * q).transpose();
  A.col(1) = 2.0 * (v.transpose() * q).transpose();
  A.col(2).setOnes();
  const Eigen::VectorXd b = 0.25 * (A.col(0).array().square() + A.col(1).array().square()).matrix();
  const Eigen::ColPivHouseholderQR<Eigen::MatrixX3d> qr(A);
  if (qr.rank() < 3) return false;
  const Eigen::Vector3d x = qr.solve(b);
  const double r2 = x(2) + x(0) * x(0) + x(1) * x(1);
  if (!(r2 > 0.0) || !std::isfinite(r2)) return false;
  *center = x.head<2>();
  *radius = std::sqrt(r2);
  return true;
}

namespace {

Eigen::Vector3d largestComponentPositive(const Eigen::Vector3d& d) {
  Eigen::Index k = 0;
  d.cwiseAbs().maxCoeff(&k);
  return d(k) < 0.0 ? Eigen::Vector3d(-d) : d;
}

/// d oriented along `hint`; false when the hint is zero or perpendicular.
bool orientByHint(const Eigen::Vector3d& d, const BaVec3d<double>& hint, Eigen::Vector3d* out) {
  const double along = d.dot(toEigen(hint));
  if (along == 0.0 || !std::isfinite(along)) return false;
  *out = along < 0.0 ? Eigen::Vector3d(-d) : d;
  return true;
}

}  // namespace

Eigen::Vector3d orientNormal(const Eigen::Vector3d& n, const FeaturePoints& points, const Eigen::Vector3d& mean,
                             const BaVec3d<double>& hint) {
  Eigen::Vector3d out;
  if (orientByHint(n, hint, &out)) return out;
  const Eigen::Vector3d p0 = toEigen(points[0]);
  const Eigen::Vector3d e1 = toEigen(points[1]) - p0, e2 = toEigen(points[2]) - p0;
  // The first three points decide unless their triangle is nearly flat
  // (its angle at p0 below about 1e-6 rad).
  const double first = n.dot(e1.cross(e2));
  if (std::fabs(first) > 1e-6 * e1.norm() * e2.norm()) return first < 0.0 ? Eigen::Vector3d(-n) : n;
  Eigen::Vector3d turn = Eigen::Vector3d::Zero();
  const std::size_t count = points.size();
  for (std::size_t i = 0; i < count; ++i)
    turn += (toEigen(points[i]) - mean).cross(toEigen(points[(i + 1) % count]) - mean);
  const double whole = n.dot(turn);
  if (whole != 0.0) return whole < 0.0 ? Eigen::Vector3d(-n) : n;
  return largestComponentPositive(n);
}

Eigen::Vector3d orientDirection(const Eigen::Vector3d& d, const FeaturePoints& points, const BaVec3d<double>& hint) {
  Eigen::Vector3d out;
  if (orientByHint(d, hint, &out)) return out;
  const double along = d.dot(toEigen(points[points.size() - 1]) - toEigen(points[0]));
  if (along != 0.0) return along < 0.0 ? Eigen::Vector3d(-d) : d;
  return largestComponentPositive(d);
}

void summarise(FeatureFit* fit) {
  double squares = 0.0, low = HUGE_VAL, high = -HUGE_VAL;
  for (const double r : fit->residuals) {
    squares += r * r;
    low = std::min(low, r);
    high = std::max(high, r);
  }
  fit->rms = std::sqrt(squares / double(fit->residuals.size()));
  fit->form = high - low;
}

bool prepare(const FeaturePoints& points, std::size_t minimum, int flatAxis, FeatureFit* fit, Cloud* cloud) {
  fit->minimumPoints = int(minimum);
  FeatureFit::Degeneracy_t degeneracy = FeatureFit::DEGENERACY_NONE;
  const FeatureFit::Status_t status = makeCloud(points, minimum, cloud, &degeneracy);
  if (status != FeatureFit::FEATURE_SUCCEEDED) {
    fail(fit, status, degeneracy);
    return false;
  }
  for (int axis = 1; axis >= flatAxis; --axis)
    if (cloud->isFlat(axis)) {
      fail(fit, FeatureFit::FEATURE_DEGENERATE,
           axis == 1 ? FeatureFit::DEGENERACY_COLLINEAR : FeatureFit::DEGENERACY_COPLANAR);
      return false;
    }
  return true;
}

}  // namespace feature
}  // namespace Zem

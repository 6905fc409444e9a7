// Cylinder: for each start axis (the caller's hint, and the three of the
// principal axes of the points and the directions of a hemisphere grid
// whose algebraic circles fit best) an algebraic circle across that axis, then the
// damped least-squares search on the distances from the surface; the lowest
// sum of squares wins. A principal axis can be ten degrees off the axis of
// a long cylinder probed at a few points, far enough to end in another
// minimum; the grid puts a start within a few degrees of any axis. The axis
// point is kept at the foot of the perpendicular from the centroid, so that
// it stays where the points are.
#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <vector>

#include "feature_common.h"
#include "feature_least_squares.h"

namespace Zem {

namespace {

using feature::Cloud;
using feature::fromEigen;
using feature::toEigen;

constexpr double kRunaway = 1e6;  ///< radius in scaled coordinates: a plane, not a cylinder
/// Start axes taken from the ranking of principal axes and grid directions
/// by their algebraic circles (besides the caller's hint).
constexpr std::ptrdiff_t kRankedStarts = 3;

struct CylinderState {
  Eigen::Vector3d point, axis;  ///< point: the axis point nearest the centroid (the origin)
  double radius = 0.0;
};

/// Parameters: shift of the axis point along u and v (2), turn of the axis
/// along u and v (2), radius.
class CylinderProblem : public feature::RadiusProblem<CylinderState, 5> {
 public:
  explicit CylinderProblem(const Eigen::Matrix3Xd& q) : RadiusProblem(q, kRunaway) {}

  void evaluate(const State& s, Eigen::VectorXd* r, feature::Jacobian* J) const {
    Eigen::Vector3d u, v;
    feature::perpendicularPair(s.axis, &u, &v);
    for (Eigen::Index i = 0; i < q_.cols(); ++i) {
      const Eigen::Vector3d w = q_.col(i) - s.point;
      const double h = w.dot(s.axis);
      const Eigen::Vector3d radial = w - h * s.axis;
      const double rho = radial.norm();
      (*r)(i) = rho - s.radius;
      if (!J) continue;
      const double eu = rho > 0.0 ? radial.dot(u) / rho : 0.0, ev = rho > 0.0 ? radial.dot(v) / rho : 0.0;
      J->row(i) << -eu, -ev, -h * eu, -h * ev, -1.0;
    }
  }

  State moved(const State& s, const feature::Step& step) const {
    Eigen::Vector3d u, v;
    feature::perpendicularPair(s.axis, &u, &v);
    State t;
    t.axis = (s.axis + step(2) * u + step(3) * v).normalized();
    t.point = s.point + step(0) * u + step(1) * v;
    t.point -= t.point.dot(t.axis) * t.axis;
    t.radius = s.radius + step(4);
    return t;
  }
};

/// Σq, Σq·qᵀ and Σq_a·q_b·q_c of points: the algebraic circle across any
/// axis follows from them in constant time.
class PointMoments {
 public:
  explicit PointMoments(const Eigen::Matrix3Xd& q) : count_(double(q.cols())) {
    for (auto& row : third_)
      for (Eigen::Vector3d& t : row) t.setZero();
    for (Eigen::Index i = 0; i < q.cols(); ++i) {
      const Eigen::Vector3d p = q.col(i);
      first_ += p;
      second_ += p * p.transpose();
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) third_[a][b] += p(a) * p(b) * p;
    }
  }

  /// The algebraic circle (x − c)² = r² of the points' coordinates (u·q,
  /// v·q) in the plane across the axis (u, v perpendicular unit vectors):
  /// the least-squares solution of x² + y² = 2a·x + 2b·y + k by its normal
  /// equations. False when the points there lie on one line.
  bool circle(const Eigen::Vector3d& u, const Eigen::Vector3d& v, Eigen::Vector2d* center, double* radius) const {
    const double sxx = u.dot(second_ * u), sxy = u.dot(second_ * v), syy = v.dot(second_ * v);
    const double sx = first_.dot(u), sy = first_.dot(v);
    Eigen::Matrix3d n;
    n << 4.0 * sxx, 4.0 * sxy, 2.0 * sx, 4.0 * sxy, 4.0 * syy, 2.0 * sy, 2.0 * sx, 2.0 * sy, count_;
    const Eigen::Vector3d rhs(2.0 * (cubic(u, u, u) + cubic(u, v, v)), 2.0 * (cubic(v, u, u) + cubic(v, v, v)),
                              sxx + syy);
    // Points on one line across the axis: their 2x2 scatter is singular to rounding.
    const double spread = sxx + syy - (sx * sx + sy * sy) / count_;
    const double det = (sxx - sx * sx / count_) * (syy - sy * sy / count_) - std::pow(sxy - sx * sy / count_, 2);
    if (!(det > 1e-12 * spread * spread)) return false;
    const Eigen::Vector3d x = n.ldlt().solve(rhs);
    const double r2 = x(2) + x(0) * x(0) + x(1) * x(1);
    if (!(r2 > 0.0) || !std::isfinite(r2)) return false;
    *center = x.head<2>();
    *radius = std::sqrt(r2);
    return true;
  }

 private:
  /// Σ (u·q)(v·q)(w·q).
  double cubic(const Eigen::Vector3d& u, const Eigen::Vector3d& v, const Eigen::Vector3d& w) const {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) sum += u(a) * v(b) * third_[a][b].dot(w);
    return sum;
  }

  double count_;
  Eigen::Vector3d first_ = Eigen::Vector3d::Zero();
  Eigen::Matrix3d second_ = Eigen::Matrix3d::Zero();
  Eigen::Vector3d third_[3][3];  ///< [a][b]: Σ q_a·q_b·q
};

/// Σ (ρ − r)² of the algebraic circle across `axis` over the points of
/// `sample` (whose moments are `moments`); HUGE_VAL when there is no circle.
double circleScore(const Eigen::Matrix3Xd& sample, const PointMoments& moments, const Eigen::Vector3d& axis) {
  Eigen::Vector3d u, v;
  feature::perpendicularPair(axis, &u, &v);
  Eigen::Vector2d c;
  double r = 0.0;
  if (!moments.circle(u, v, &c, &r)) return HUGE_VAL;
  double sum = 0.0;
  for (Eigen::Index i = 0; i < sample.cols(); ++i)
    sum += std::pow(Eigen::Vector2d(sample.col(i).dot(u) - c(0), sample.col(i).dot(v) - c(1)).norm() - r, 2);
  return sum;
}

/// The directions of a hemisphere grid (spacing about 7 degrees) and the
/// principal axes, best algebraic circle first.
std::vector<Eigen::Vector3d> rankedAxes(const Eigen::Matrix3Xd& q, const Eigen::Matrix3d& principal) {
  // At most about 2,000 of the points are scored.
  const Eigen::Index stride = std::max<Eigen::Index>(1, q.cols() / 2000);
  Eigen::Matrix3Xd every;  // the sample, when it is not all points
  if (stride > 1) every = q(Eigen::all, Eigen::seq(0, q.cols() - 1, stride));
  const Eigen::Matrix3Xd& sample = stride > 1 ? every : q;
  const PointMoments moments(sample);
  const auto score = [&](const Eigen::Vector3d& axis) { return circleScore(sample, moments, axis); };
  constexpr int kDirections = 400;
  const double golden = 3.14159265358979323846 * (3.0 - std::sqrt(5.0));  // the golden angle
  std::vector<std::pair<double, Eigen::Vector3d>> scored;
  for (int k = 0; k < 3; ++k) scored.emplace_back(score(principal.col(k)), principal.col(k).normalized());
  for (int i = 0; i < kDirections; ++i) {
    const double z = 1.0 - (i + 0.5) / kDirections, ring = std::sqrt(1.0 - z * z);
    const Eigen::Vector3d axis(ring * std::cos(golden * i), ring * std::sin(golden * i), z);
    scored.emplace_back(score(axis), axis);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Eigen::Vector3d> ranked;
  for (const auto& entry : scored) ranked.push_back(entry.second);
  return ranked;
}

}  // namespace

CylinderFit fitCylinder(const FeaturePoints& points, const BaVec3d<double>& axisHint) {
  CylinderFit fit;
  Cloud cloud;
  if (!feature::prepare(points, 5, 0, &fit, &cloud)) return fit;
  std::vector<Eigen::Vector3d> starts;
  const Eigen::Vector3d hint = toEigen(axisHint);
  if (hint.allFinite() && hint.norm() > 0.0) starts.push_back(hint.normalized());
  const std::vector<Eigen::Vector3d> ranked = rankedAxes(cloud.q, cloud.vectors);
  starts.insert(starts.end(), ranked.begin(), ranked.begin() + kRankedStarts);

  const CylinderProblem problem(cloud.q);
  const auto start = [](const Eigen::Vector3d& axis, const Eigen::Vector3d& point, double radius) {
    return CylinderState{point, axis, radius};
  };
  CylinderState best;
  feature::SearchOutcome bestOutcome;
  if (!feature::bestRoundSearch(problem, cloud.q, starts, start, &fit, &best, &bestOutcome)) return fit;
  const Eigen::Vector3d axis = feature::orientDirection(best.axis, points, axisHint);
  fit.residuals.resize(std::size_t(cloud.q.cols()));
  for (Eigen::Index i = 0; i < cloud.q.cols(); ++i) {
    const Eigen::Vector3d w = cloud.q.col(i) - best.point;
    fit.residuals[std::size_t(i)] = (w.cross(axis).norm() - best.radius) * cloud.scale;
  }
  feature::summarise(&fit);
  fit.point = fromEigen(cloud.mean + cloud.scale * best.point);
  fit.axis = fromEigen(axis);
  fit.radius = cloud.scale * best.radius;
  fit.iterations = bestOutcome.iterations;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

}  // namespace Zem

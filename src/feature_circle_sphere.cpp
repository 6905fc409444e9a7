// Circle in 3D and sphere: algebraic starts, then the damped least-squares
// search on the orthogonal distances, in the points' scaled coordinates.
//
// The circle's plane is fitted with it: a point's distance from the circle
// is √(h² + (ρ − r)²), so each point gives the two residuals h and ρ − r
// (same sum of squares) and the Jacobian stays smooth. The circle starts in
// the plane across the smallest principal axis and, for a partial arc whose
// sagitta is not far above the noise, also across the middle one; the
// better minimum wins.
#include <Eigen/Dense>

#include <cmath>

#include "feature_common.h"
#include "feature_least_squares.h"

namespace Zem {

namespace {

using feature::Cloud;
using feature::fromEigen;

/// Radii beyond this, in scaled coordinates (where the points' RMS distance
/// from their centroid is 1), mean the element is running off to infinity.
constexpr double kRunaway = 1e8;

struct CircleState {
  Eigen::Vector3d center, normal;
  double radius = 0.0;
};

/// Parameters: centre (3), turn of the normal along u and v (2), radius.
class CircleProblem : public feature::RadiusProblem<CircleState, 6> {
 public:
  explicit CircleProblem(const Eigen::Matrix3Xd& q) : RadiusProblem(q, kRunaway) {}

  Eigen::Index residualCount() const { return 2 * q_.cols(); }

  void evaluate(const State& s, Eigen::VectorXd* r, feature::Jacobian* J) const {
    Eigen::Vector3d u, v;
    feature::perpendicularPair(s.normal, &u, &v);
    for (Eigen::Index i = 0; i < q_.cols(); ++i) {
      const Eigen::Vector3d w = q_.col(i) - s.center;
      const double h = w.dot(s.normal);
      const Eigen::Vector3d radial = w - h * s.normal;
      const double rho = radial.norm();
      (*r)(2 * i) = h;
      (*r)(2 * i + 1) = rho - s.radius;
      if (!J) continue;
      const double wu = w.dot(u), wv = w.dot(v);
      const Eigen::Vector3d e = rho > 0.0 ? Eigen::Vector3d(radial / rho) : u;
      const double k = rho > 0.0 ? -h / rho : 0.0;
      J->row(2 * i) << -s.normal.transpose(), wu, wv, 0.0;
      J->row(2 * i + 1) << -e.transpose(), k * wu, k * wv, -1.0;
    }
  }

  State moved(const State& s, const feature::Step& step) const {
    Eigen::Vector3d u, v;
    feature::perpendicularPair(s.normal, &u, &v);
    State t;
    t.center = s.center + step.head<3>();
    t.normal = (s.normal + step(3) * u + step(4) * v).normalized();
    t.radius = s.radius + step(5);
    return t;
  }
};

struct SphereState {
  Eigen::Vector3d center;
  double radius = 0.0;
};

class SphereProblem : public feature::RadiusProblem<SphereState, 4> {
 public:
  explicit SphereProblem(const Eigen::Matrix3Xd& q) : RadiusProblem(q, kRunaway) {}

  void evaluate(const State& s, Eigen::VectorXd* r, feature::Jacobian* J) const {
    for (Eigen::Index i = 0; i < q_.cols(); ++i) {
      const Eigen::Vector3d w = q_.col(i) - s.center;
      const double d = w.norm();
      (*r)(i) = d - s.radius;
      if (J) J->row(i) << (d > 0.0 ? Eigen::Vector3d(-w / d) : Eigen::Vector3d::Zero()).transpose(), -1.0;
    }
  }

  State moved(const State& s, const feature::Step& step) const {
    State t;
    t.center = s.center + step.head<3>();
    t.radius = s.radius + step(3);
    return t;
  }
};

}  // namespace

CircleFit fitCircle(const FeaturePoints& points, const BaVec3d<double>& normalHint) {
  CircleFit fit;
  Cloud cloud;
  if (!feature::prepare(points, 3, 1, &fit, &cloud)) return fit;
  const CircleProblem problem(cloud.q);
  // The plane across the middle axis is a start only where the arc's
  // sagitta (that axis' spread) is within a hundred times the points'
  // spread off the plane.
  std::vector<Eigen::Vector3d> normals = {cloud.vectors.col(0).normalized()};
  if (cloud.values(1) <= 1e4 * cloud.values(0)) normals.push_back(cloud.vectors.col(1).normalized());
  const auto start = [](const Eigen::Vector3d& normal, const Eigen::Vector3d& centre, double radius) {
    return CircleState{centre, normal, radius};
  };
  CircleState best;
  feature::SearchOutcome bestOutcome;
  if (!feature::bestRoundSearch(problem, cloud.q, normals, start, &fit, &best, &bestOutcome)) return fit;
  const Eigen::Vector3d normal = feature::orientNormal(best.normal, points, cloud.mean, normalHint);
  fit.residuals.resize(std::size_t(cloud.q.cols()));
  for (Eigen::Index i = 0; i < cloud.q.cols(); ++i) {
    const Eigen::Vector3d w = cloud.q.col(i) - best.center;
    const double h = w.dot(normal);
    const double off = (w - h * normal).norm() - best.radius;
    fit.residuals[std::size_t(i)] = std::copysign(std::sqrt(h * h + off * off), off) * cloud.scale;
  }
  feature::summarise(&fit);
  fit.center = fromEigen(cloud.mean + cloud.scale * best.center);
  fit.normal = fromEigen(normal);
  fit.radius = cloud.scale * best.radius;
  fit.iterations = bestOutcome.iterations;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

SphereFit fitSphere(const FeaturePoints& points) {
  SphereFit fit;
  Cloud cloud;
  if (!feature::prepare(points, 4, 0, &fit, &cloud)) return fit;
  // |q|² = 2 c·q + k, linear in (c, k); r² = k + |c|².
  const Eigen::Index n = cloud.q.cols();
  Eigen::MatrixX4d A(n, 4);
  A.leftCols<3>() = 2.0 * cloud.q.transpose();
  A.col(3).setOnes();
  const Eigen::VectorXd b = cloud.q.colwise().squaredNorm().transpose();
  const Eigen::ColPivHouseholderQR<Eigen::MatrixX4d> qr(A);
  const Eigen::Vector4d x = qr.solve(b);
  SphereState s;
  s.center = x.head<3>();
  s.radius = std::sqrt(x(3) + s.center.squaredNorm());
  if (qr.rank() < 4 || !std::isfinite(s.radius)) {
    feature::fail(&fit, FeatureFit::FEATURE_NOT_FINITE);
    return fit;
  }
  const feature::SearchOutcome outcome = feature::searchLeastSquares(SphereProblem(cloud.q), &s);
  if (outcome.result != feature::SearchOutcome::CONVERGED || !(s.radius > 0.0)) {
    feature::fail(&fit, feature::failureOf(outcome));
    return fit;
  }
  if (!outcome.determined) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_UNDETERMINED);
    return fit;
  }
  fit.residuals.resize(std::size_t(n));
  for (Eigen::Index i = 0; i < n; ++i)
    fit.residuals[std::size_t(i)] = ((cloud.q.col(i) - s.center).norm() - s.radius) * cloud.scale;
  feature::summarise(&fit);
  fit.center = fromEigen(cloud.mean + cloud.scale * s.center);
  fit.radius = cloud.scale * s.radius;
  fit.iterations = outcome.iterations;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

}  // namespace Zem

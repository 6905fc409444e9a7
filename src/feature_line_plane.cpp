// Line and plane in closed form: both are spanned by principal axes of the
// points' covariance about their centroid (the line along the largest, the
// plane across the smallest), which minimises the squared orthogonal
// distances exactly. One pass gathers the moments, a second the residuals.
#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

#include "feature_common.h"

namespace Zem {

namespace {

using feature::fromEigen;
using feature::toEigen;

/// The centroid and covariance of the points, gathered in one pass about
/// the first point (so that parts far from the origin lose no digits) in
/// blocks (so that the rounding of a million-term sum stays small).
struct Moments {
  Eigen::Vector3d origin;  ///< the first point
  Eigen::Vector3d offset;  ///< centroid − origin
  Eigen::Matrix3d covariance;
  bool finite = false;

  Eigen::Vector3d centroid() const { return origin + offset; }
};

Moments gatherMoments(const FeaturePoints& points) {
  const std::size_t n = points.size();
  return points.visit([n](auto at) {
    const BaVec3d<double> o = at(0);
    double s[9] = {};  // x, y, z, xx, xy, xz, yy, yz, zz about o
    constexpr std::size_t kBlock = 1024;
    for (std::size_t begin = 0; begin < n; begin += kBlock) {
      double b[9] = {};
      const std::size_t end = std::min(n, begin + kBlock);
      for (std::size_t i = begin; i < end; ++i) {
        const BaVec3d<double> p = at(i);
        const double x = p.x - o.x, y = p.y - o.y, z = p.z - o.z;
        b[0] += x;
        b[1] += y;
        b[2] += z;
        b[3] += x * x;
        b[4] += x * y;
        b[5] += x * z;
        b[6] += y * y;
        b[7] += y * z;
        b[8] += z * z;
      }
      for (int k = 0; k < 9; ++k) s[k] += b[k];
    }
    Moments m;
    const double inv = 1.0 / double(n);
    m.origin = toEigen(o);
    m.offset = Eigen::Vector3d(s[0], s[1], s[2]) * inv;
    m.covariance << s[3], s[4], s[5], s[4], s[6], s[7], s[5], s[7], s[8];
    m.covariance = m.covariance * inv - m.offset * m.offset.transpose();
    m.finite = m.origin.allFinite() && m.covariance.allFinite();
    return m;
  });
}

/// The principal axes of the points: eigenvalues of the covariance divided
/// by its trace, ascending, and the unit eigenvectors as columns.
struct Principal {
  Eigen::Vector3d values;
  Eigen::Matrix3d axes;
  double flat = 0.0;  ///< as Cloud::flat
};

/// Common start of both fits: count, finiteness, coinciding points.
bool principalAxes(const FeaturePoints& points, std::size_t minimum, FeatureFit* fit, Moments* m,
                   Principal* principal) {
  fit->minimumPoints = int(minimum);
  if (points.size() < minimum) {
    feature::fail(fit, FeatureFit::FEATURE_TOO_FEW_POINTS);
    return false;
  }
  *m = gatherMoments(points);
  if (!m->finite) {
    feature::fail(fit, FeatureFit::FEATURE_NOT_FINITE);
    return false;
  }
  const double spread2 = m->covariance.trace();
  const double magnitude = m->centroid().cwiseAbs().maxCoeff() + std::sqrt(std::max(spread2, 0.0));
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  if (!(std::sqrt(std::max(spread2, 0.0)) > 256.0 * kEps * magnitude)) {
    feature::fail(fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_COINCIDENT);
    return false;
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(m->covariance / spread2);
  principal->values = eigen.eigenvalues();
  principal->axes = eigen.eigenvectors();
  principal->flat = feature::flatEigenvalue(magnitude, std::sqrt(spread2));
  return true;
}

/// Fills fit->residuals with residual(p) of every point, and rms and the
/// smallest and largest residual, in the same pass (appended one by one:
/// no zero fill of the vector, no second pass over it).
template <class Residual>
void residualPass(const FeaturePoints& points, Residual residual, FeatureFit* fit, double* low, double* high) {
  const std::size_t n = points.size();
  std::vector<double>& out = fit->residuals;
  out.clear();
  out.reserve(n);
  double squares = 0.0, lo = HUGE_VAL, hi = -HUGE_VAL;
  points.visit([&](auto at) {
    for (std::size_t i = 0; i < n; ++i) {
      const double r = residual(at(i));
      out.push_back(r);
      squares += r * r;
      lo = r < lo ? r : lo;
      hi = r > hi ? r : hi;
    }
    return 0;
  });
  fit->rms = std::sqrt(squares / double(n));
  *low = lo;
  *high = hi;
}

}  // namespace

LineFit fitLine(const FeaturePoints& points, const BaVec3d<double>& directionHint) {
  LineFit fit;
  Moments m;
  Principal principal;
  if (!principalAxes(points, 2, &fit, &m, &principal)) return fit;
  if (principal.values(2) - principal.values(1) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_NO_DIRECTION);
    return fit;
  }
  const Eigen::Vector3d d = feature::orientDirection(principal.axes.col(2).normalized(), points, directionHint);
  const BaVec3d<double> centroid = fromEigen(m.centroid()), dir = fromEigen(d);
  double smallest = 0.0, largest = 0.0;
  residualPass(
      points, [&](const BaVec3d<double>& p) { return (p - centroid).cross(dir).length(); }, &fit, &smallest,
      &largest);
  fit.form = 2.0 * largest;
  fit.point = fromEigen(m.centroid());
  fit.direction = dir;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

PlaneFit fitPlane(const FeaturePoints& points, const BaVec3d<double>& normalHint) {
  PlaneFit fit;
  Moments m;
  Principal principal;
  if (!principalAxes(points, 3, &fit, &m, &principal)) return fit;
  if (principal.values(1) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_COLLINEAR);
    return fit;
  }
  if (principal.values(1) - principal.values(0) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_NO_NORMAL);
    return fit;
  }
  const Eigen::Vector3d normal =
      feature::orientNormal(principal.axes.col(0).normalized(), points, m.centroid(), normalHint);
  const BaVec3d<double> o = fromEigen(m.origin), nv = fromEigen(normal);
  const double shift = m.offset.dot(normal);
  double smallest = 0.0, largest = 0.0;
  residualPass(
      points, [&](const BaVec3d<double>& p) { return (p - o).dot(nv) - shift; }, &fit, &smallest, &largest);
  fit.form = largest - smallest;
  fit.point = fromEigen(m.centroid());
  fit.normal = nv;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

}  // namespace Zem

// Line and plane in closed form: both are spanned by principal axes of the
// points' covariance about their centroid (the line along the largest, the
// plane across the smallest), which minimises the squared orthogonal
// distances exactly. One pass gathers the moments, a second the residuals.
#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

#include "decompositions.h"
#include "feature_common.h"
#include "lane2.h"

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

/// Points i and i + 1 less the origin o, one lane each.
struct TwoPoints {
  Lane2 x, y, z;
};
template <class At>
TwoPoints twoAt(const At& at, std::size_t i, const BaVec3d<double>& o) {
  const auto& p = at(i);
  const auto& q = at(i + 1);
  return {Lane2{p.x, q.x} - o.x, Lane2{p.y, q.y} - o.y, Lane2{p.z, q.z} - o.z};
}

Moments gatherMoments(const FeaturePoints& points) {
  const std::size_t n = points.size();
  return points.visit([n](auto at) {
    const BaVec3d<double> o = at(0);
    double s[9] = {};  // x, y, z, xx, xy, xz, yy, yz, zz about o
    // Two points at a time; kBlock is even, so only the last point of an
    // odd count is left over (and it is o itself when n is 1).
    constexpr std::size_t kBlock = 1024;
    for (std::size_t begin = 0; begin + 1 < n; begin += kBlock) {
      Lane2 b[9] = {};
      const std::size_t end = std::min(n - 1, begin + kBlock);
      for (std::size_t i = begin; i < end; i += 2) {
        const TwoPoints p = twoAt(at, i, o);
        b[0] += p.x;
        b[1] += p.y;
        b[2] += p.z;
        b[3] += p.x * p.x;
        b[4] += p.x * p.y;
        b[5] += p.x * p.z;
        b[6] += p.y * p.y;
        b[7] += p.y * p.z;
        b[8] += p.z * p.z;
      }
      for (int k = 0; k < 9; ++k) s[k] += b[k][0] + b[k][1];
    }
    if (n % 2 != 0) {
      const BaVec3d<double> p = at(n - 1) - o;
      const double last[9] = {p.x, p.y, p.z, p.x * p.x, p.x * p.y, p.x * p.z, p.y * p.y, p.y * p.z, p.z * p.z};
      for (int k = 0; k < 9; ++k) s[k] += last[k];
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
  linalg::symmetricEigen(m->covariance / spread2, &principal->values, &principal->axes);
  principal->flat = feature::flatEigenvalue(magnitude, std::sqrt(spread2));
  return true;
}

/// Fills fit->residuals with residual(x, y, z) of every point less o (x, y,
/// z both doubles or both Lane2), and rms and the smallest and largest
/// residual, in the same pass, two points at a time. The residuals go
/// through a small buffer and are appended from it: a vector sized first
/// would write every residual twice (zeros, then the value), which cost a
/// tenth of the fit.
template <class Residual>
void residualPass(const FeaturePoints& points, const BaVec3d<double>& o, Residual residual, FeatureFit* fit,
                  double* low, double* high) {
  const std::size_t n = points.size();
  std::vector<double>& out = fit->residuals;
  out.clear();
  out.reserve(n);
  constexpr std::size_t kBuffer = 512;  // even, and small enough to stay in the first-level cache
  double buffer[kBuffer];
  Lane2 squares = {0.0, 0.0}, lo = {HUGE_VAL, HUGE_VAL}, hi = {-HUGE_VAL, -HUGE_VAL};
  points.visit([&](auto at) {
    for (std::size_t begin = 0; begin + 1 < n; begin += kBuffer) {
      const std::size_t end = std::min(begin + kBuffer, n - n % 2);
      for (std::size_t i = begin; i < end; i += 2) {
        const TwoPoints p = twoAt(at, i, o);
        const Lane2 v = residual(p.x, p.y, p.z);
        buffer[i - begin] = v[0];
        buffer[i - begin + 1] = v[1];
        squares += v * v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
      out.insert(out.end(), buffer, buffer + (end - begin));
    }
    if (n % 2 != 0) {
      const BaVec3d<double> p = at(n - 1) - o;
      const double v = residual(p.x, p.y, p.z);
      out.push_back(v);
      squares[0] += v * v;
      lo[0] = std::min(lo[0], v);
      hi[0] = std::max(hi[0], v);
    }
    return 0;
  });
  fit->rms = std::sqrt((squares[0] + squares[1]) / double(n));
  *low = std::min(lo[0], lo[1]);
  *high = std::max(hi[0], hi[1]);
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
  const BaVec3d<double> o = fromEigen(m.origin), dir = fromEigen(d), c = fromEigen(m.offset);
  double smallest = 0.0, largest = 0.0;
  // |(p − centroid) × d|, with p − centroid = (p − o) − c.
  const auto distance = [&](auto x, auto y, auto z) {
    x -= c.x;
    y -= c.y;
    z -= c.z;
    const auto u = y * dir.z - z * dir.y, v = z * dir.x - x * dir.z, w = x * dir.y - y * dir.x;
    return sqrt2(u * u + v * v + w * w);
  };
  residualPass(points, o, distance, &fit, &smallest, &largest);
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
  const auto height = [&](auto x, auto y, auto z) { return x * nv.x + y * nv.y + z * nv.z - shift; };
  residualPass(points, o, height, &fit, &smallest, &largest);
  fit.form = largest - smallest;
  fit.point = fromEigen(m.centroid());
  fit.normal = nv;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

}  // namespace Zem

// Helpers of the element-fit tests: points on known elements in a random
// pose, and comparisons that say what differs.
#ifndef ZEM_TEST_FEATURES_UTIL_H
#define ZEM_TEST_FEATURES_UTIL_H

#include "math_features.h"
#include "test_util.h"

namespace Zem {
namespace test {

using Points = std::vector<BaVec3d<double>>;

inline Eigen::Vector3d eig(const BaVec3d<double>& v) { return Eigen::Vector3d(v.x, v.y, v.z); }
inline BaVec3d<double> vec(const Eigen::Vector3d& e) { return BaVec3d<double>(e.x(), e.y(), e.z()); }

/// An orthonormal frame at `origin`; w is the element's normal or axis.
struct Pose {
  Eigen::Vector3d origin, u, v, w;
  BaVec3d<double> at(double a, double b, double c) const { return vec(origin + a * u + b * v + c * w); }
  BaVec3d<double> axis() const { return vec(w); }
  BaVec3d<double> center() const { return vec(origin); }
};

/// A random orientation with its origin `distance` from the coordinate origin.
inline Pose randomPose(std::mt19937* rng, double distance) {
  std::normal_distribution<double> g;
  const Eigen::Quaterniond q = Eigen::Quaterniond(g(*rng), g(*rng), g(*rng), g(*rng)).normalized();
  const Eigen::Matrix3d R = q.toRotationMatrix();
  const Eigen::Vector3d where = Eigen::Vector3d(g(*rng), g(*rng), g(*rng)).normalized() * distance;
  return Pose{where, R.col(0), R.col(1), R.col(2)};
}

/// n points on the circle of radius r about w, spread over `arcDegrees`
/// from the angle `turn` (rad), at height `height` along w.
inline Points circlePoints(const Pose& pose, double r, double arcDegrees, int n, double height = 0.0,
                           double turn = 0.0) {
  Points points;
  for (int i = 0; i < n; ++i) {
    const double t = turn + arcDegrees * kPi / 180.0 * i / (arcDegrees >= 360.0 ? n : n - 1);
    points.push_back(pose.at(r * std::cos(t), r * std::sin(t), height));
  }
  return points;
}

/// Points on the sphere of radius r in a cap about w with the given apex
/// angle (180 degrees: a hemisphere), rings x n points.
inline Points spherePoints(const Pose& pose, double r, double capDegrees, int rings, int n) {
  Points points{pose.at(0, 0, r)};
  for (int k = 1; k <= rings; ++k) {
    const double polar = capDegrees / 2 * kPi / 180.0 * k / rings;
    for (int i = 0; i < n; ++i) {
      const double t = 2 * kPi * (i + 0.5 * k) / n;
      points.push_back(pose.at(r * std::sin(polar) * std::cos(t), r * std::sin(polar) * std::sin(t),
                               r * std::cos(polar)));
    }
  }
  return points;
}

/// Points on the cylinder of radius r about w, `length` long, centred on the
/// pose's origin, over `arcDegrees` around; the rings are turned against
/// each other, not aligned.
inline Points cylinderPoints(const Pose& pose, double r, double length, double arcDegrees, int rings, int n) {
  Points points;
  for (int k = 0; k < rings; ++k) {
    const double height = length * (double(k) / (rings - 1) - 0.5), turn = 0.3 * k * arcDegrees / 360.0;
    const Points ring = circlePoints(pose, r, arcDegrees, n, height, turn);
    points.insert(points.end(), ring.begin(), ring.end());
  }
  return points;
}

/// Moves each point by a normal deviate of `sigma` along a random direction.
inline Points noisy(Points points, double sigma, std::mt19937* rng) {
  std::normal_distribution<double> g(0.0, sigma);
  for (BaVec3d<double>& p : points) p += BaVec3d<double>(g(*rng), g(*rng), g(*rng));
  return points;
}

inline ::testing::AssertionResult Succeeded(const FeatureFit& fit) {
  if (fit.isSucceeded()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "fit failed: " << fit.getStatusText();
}

/// Unit vectors a and b parallel within `tol` rad (same sense).
inline ::testing::AssertionResult SameDirection(const BaVec3d<double>& a, const BaVec3d<double>& b, double tol) {
  const double angle = (a - b).length();
  if (angle <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " vs " << b << ", " << angle << " rad apart";
}

/// A fit that must fail, and the status and reason it must give.
struct Refused { const char* name; FeatureFit fit; FeatureFit::Status_t status; FeatureFit::Degeneracy_t reason; };

/// The fit failed with exactly the expected status and reason, and no residuals; a failure names the row.
inline ::testing::AssertionResult FailsAsExpected(const Refused& r) {
  const FeatureFit& fit = r.fit;
  if (fit.status == r.status && fit.degeneracy == r.reason && fit.residuals.empty())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.name << ": status " << fit.status << " reason " << fit.degeneracy << " ("
                                       << fit.getStatusText() << "), " << fit.residuals.size()
                                       << " residuals; expected status " << r.status << " reason " << r.reason;
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_TEST_FEATURES_UTIL_H

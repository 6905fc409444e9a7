// Helpers shared by the best-fit tests: random problems, an independent
// reference (Eigen::umeyama) and comparisons that name what differs.
#ifndef ZEM_FIT_TEST_UTIL_H
#define ZEM_FIT_TEST_UTIL_H

#include <Eigen/Geometry>

#include "test_util.h"

namespace Zem {
namespace test {

using Point = BaPoint3d<double>;
using Points = std::vector<Point>;

inline BaVec3d<double> image(const Transformation& t, const BaVec3d<double>& p) { return t.transformPoint(p); }

/// n points uniform in the cube [origin, origin + extent]³, ids 0, 1, ...
inline Points randomPoints(std::mt19937& rng, std::size_t n, double extent, const BaVec3d<double>& origin) {
  std::uniform_real_distribution<double> u(0.0, extent);
  Points pts;
  for (std::size_t i = 0; i < n; ++i) pts.push_back(Point(origin + BaVec3d<double>(u(rng), u(rng), u(rng)), int(i)));
  return pts;
}

/// The images of `src` under `t` (ids kept), each coordinate off by Gaussian
/// noise of deviation `noise`.
inline Points moved(const Points& src, const Transformation& t, std::mt19937& rng, double noise) {
  std::normal_distribution<double> g(0.0, noise > 0.0 ? noise : 1.0);
  Points dst;
  for (const Point& p : src) {
    const BaVec3d<double> e = noise > 0.0 ? BaVec3d<double>(g(rng), g(rng), g(rng)) : BaVec3d<double>();
    dst.push_back(Point(t.transformPoint(p) + e, p.id));
  }
  return dst;
}

/// Eigen's closed-form (unit-weight) solution, q = u·p.
inline Eigen::Matrix4d umeyamaOf(const Points& src, const Points& dst, bool withScale) {
  Eigen::Matrix3Xd a(3, long(src.size())), b(3, long(src.size()));
  for (std::size_t i = 0; i < src.size(); ++i) {
    a.col(long(i)) << src[i].x, src[i].y, src[i].z;
    b.col(long(i)) << dst[i].x, dst[i].y, dst[i].z;
  }
  return Eigen::umeyama(a, b, withScale);
}

/// The largest distance of a point of the set from its first point.
inline double extentOf(const Points& points) {
  double extent = 0.0;
  for (const Point& p : points) extent = std::max(extent, (p - points.front()).length());
  return extent;
}

/// The image of p under a 4 x 4 matrix u of Eigen (q = u·p).
inline BaVec3d<double> image(const Eigen::Matrix4d& u, const BaVec3d<double>& p) {
  const Eigen::Vector4d q = u * Eigen::Vector4d(p.x, p.y, p.z, 1.0);
  return BaVec3d<double>(q(0), q(1), q(2));
}

/// The images of every point of `at` under t and under the reference (a
/// Transformation or Eigen's matrix) agree to `tolerance` (mm); names the
/// first point that differs.
template <class Reference>
::testing::AssertionResult SameImages(const Transformation& t, const Reference& reference, const Points& at,
                                      double tolerance) {
  for (std::size_t i = 0; i < at.size(); ++i) {
    const double gap = (image(t, at[i]) - image(reference, at[i])).length();
    if (!(gap <= tolerance))
      return ::testing::AssertionFailure() << "point " << i << ": image " << image(t, at[i]) << " vs reference "
                                           << image(reference, at[i]) << ", " << gap << " apart";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_FIT_TEST_UTIL_H

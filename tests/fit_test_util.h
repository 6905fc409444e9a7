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
using Vec = BaVec3d<double>;

inline Vec image(const Transformation& t, const Vec& p) { return t.transformPoint(p); }

/// n points uniform in the cube [origin, origin + extent]³, ids 0, 1, ...
inline Points randomPoints(std::mt19937& rng, std::size_t n, double extent, const Vec& origin) {
  std::uniform_real_distribution<double> u(0.0, extent);
  Points pts;
  for (std::size_t i = 0; i < n; ++i) pts.push_back(Point(origin + Vec(u(rng), u(rng), u(rng)), int(i)));
  return pts;
}

/// The images of `src` under `t` (ids kept), each coordinate off by Gaussian
/// noise of deviation `noise`.
inline Points moved(const Points& src, const Transformation& t, std::mt19937& rng, double noise) {
  std::normal_distribution<double> g(0.0, noise > 0.0 ? noise : 1.0);
  Points dst;
  for (const Point& p : src) {
    const Vec e = noise > 0.0 ? Vec(g(rng), g(rng), g(rng)) : Vec();
    dst.push_back(Point(t.transformPoint(p) + e, p.id));
  }
  return dst;
}

/// Pairs of a known motion with per-axis weights.
struct Problem { Points src, dst, weights; };

/// n pairs of a part 400 mm across and 0.01 mm of noise, ids 100, 99, ...;
/// weights between 0.5 and 2.
inline Problem noisyMotion(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Problem p;
  p.src = randomPoints(rng, n, 400.0, Vec(-200.0, -200.0, -200.0));
  for (Point& q : p.src) q.id = 100 - q.id;
  p.dst = moved(p.src, Transformation(Vec(40.0, -7.0, 3.0), Vec(0.3, -0.1, 1.2), 1.0), rng, 0.01);
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  for (const Point& q : p.src) p.weights.push_back(Point(weight(rng), weight(rng), weight(rng), q.id));
  return p;
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
inline Vec image(const Eigen::Matrix4d& u, const Vec& p) {
  const Eigen::Vector4d q = u * Eigen::Vector4d(p.x, p.y, p.z, 1.0);
  return Vec(q(0), q(1), q(2));
}

/// The images of p under t and under Eigen's matrix u, evaluated in long
/// double and rounded once: the gap between two transformations' images is
/// then theirs, not that of evaluating them in double (a few ε of the
/// coordinates, up to 1e-9 mm at 1e6 mm from the origin).
inline Vec preciseImage(const Transformation& t, const Vec& p) {
  long double q[3];
  for (unsigned r = 0; r < 3; ++r)  // getMatrix(column, row); the scale is 1 / getMatrix(3, 3)
    q[r] = ((long double)t.getMatrix(0, r) * p.x + (long double)t.getMatrix(1, r) * p.y +
            (long double)t.getMatrix(2, r) * p.z + t.getMatrix(3, r)) /
           t.getMatrix(3, 3);
  return Vec(double(q[0]), double(q[1]), double(q[2]));
}
inline Vec preciseImage(const Eigen::Matrix4d& u, const Vec& p) {
  long double q[3];
  for (int r = 0; r < 3; ++r)
    q[r] = (long double)u(r, 0) * p.x + (long double)u(r, 1) * p.y + (long double)u(r, 2) * p.z + u(r, 3);
  return Vec(double(q[0]), double(q[1]), double(q[2]));
}

/// The images of every point of `at` under t and under the reference (a
/// Transformation or Eigen's matrix) agree to `tolerance` (mm); names the
/// first point that differs.
template <class Reference>
::testing::AssertionResult SameImages(const Transformation& t, const Reference& reference, const Points& at,
                                      double tolerance) {
  for (std::size_t i = 0; i < at.size(); ++i) {
    const double gap = (preciseImage(t, at[i]) - preciseImage(reference, at[i])).length();
    if (!(gap <= tolerance))
      return ::testing::AssertionFailure() << "point " << i << ": image " << preciseImage(t, at[i])
                                           << " vs reference " << preciseImage(reference, at[i]) << ", " << gap
                                           << " apart";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_FIT_TEST_UTIL_H

// Plane3d and Line3d: projections and intersections with non-unit normals and
// directions, against values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>

#include "test_util.h"
#include "zem_math.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using test::SameVec;

// Callers read a plane as a, b, c, d and a line as point then direction.
static_assert(sizeof(Plane3d) == 4 * sizeof(double) && offsetof(Plane3d, d) == 3 * sizeof(double));
static_assert(sizeof(Line3d) == 6 * sizeof(double) && offsetof(Line3d, d) == 3 * sizeof(double));

TEST(GeometryPlane, ConstructionAndPerpendWithNonUnitNormals) {
  const Plane3d fromPoint(V(0.0, 0.0, -4.0), V(1.0, 2.0, 3.0));  // normal kept as given: d = −n·p
  EXPECT_TRUE(fromPoint.a == 0.0 && fromPoint.b == 0.0 && fromPoint.c == -4.0 && fromPoint.d == 12.0);

  // 2x + 2y + z − 9 = 0, |n| = 3; (5, 5, 5) has value 16, so its foot is 16/9·(2, 2, 1) away.
  const Plane3d plane(2.0, 2.0, 1.0, -9.0);
  const V feet[][2] = {{V(0.0, 0.0, 0.0), V(2.0, 2.0, 1.0)},
                       {V(5.0, 5.0, 5.0), V(5.0 - 32.0 / 9.0, 5.0 - 32.0 / 9.0, 5.0 - 16.0 / 9.0)},
                       {V(4.0, 0.0, 1.0), V(4.0, 0.0, 1.0)}};
  for (const auto& [p, foot] : feet) {
    EXPECT_TRUE(SameVec(plane.perpend(p), foot, 1e-14));
    for (double scale : {1e-30, -2.5, 1e30})  // the normal's length and sign do not matter
      EXPECT_TRUE(SameVec(Plane3d(2.0 * scale, 2.0 * scale, scale, -9.0 * scale).perpend(p), foot, 1e-14));
  }
  EXPECT_TRUE(SameVec(Plane3d(0.0, 0.0, 3.0, -15.0).getPointOnPlane(), V(0.0, 0.0, 5.0), 1e-15));
  // On the tie x is taken, projected into the plane: (2, −1, −1)/√6.
  EXPECT_TRUE(SameVec(Plane3d(1.0, 1.0, 1.0, 0.0).getDirection1(), V(2.0, -1.0, -1.0) / std::sqrt(6.0), 1e-15));
  EXPECT_TRUE(SameVec(Plane3d(4.0, 0.0, 0.0, 1.0).getDirection1(), V(0.0, 1.0, 0.0), 0.0));

  // No normal: fallbacks, never NaN.
  const Plane3d none(0.0, 0.0, 0.0, 3.0);
  EXPECT_TRUE(SameVec(none.perpend(V(1.0, 2.0, 3.0)), V(1.0, 2.0, 3.0), 0.0));
  EXPECT_TRUE(SameVec(none.getPointOnPlane(), V(), 0.0));
  EXPECT_TRUE(SameVec(none.getDirection1(), V(1.0, 0.0, 0.0), 0.0));
}

TEST(GeometryPlane, IntersectWithNonUnitDirections) {
  // z = 2 spanned by (3, 0, 0) and (1, 4, 0); the line through (1, 1, −1) along (1, 2, 6) meets it at t = 0.5.
  V out;
  ASSERT_TRUE(Plane3d::intersect(V(0.0, 0.0, 2.0), V(3.0, 0.0, 0.0), V(1.0, 4.0, 0.0),
                                 Line3d(V(1.0, 1.0, -1.0), V(1.0, 2.0, 6.0)), &out));
  EXPECT_TRUE(SameVec(out, V(1.5, 2.0, 2.0), 1e-15));
  // x + y + z = 3 and the x axis with a direction of length 1e-8: (3, 0, 0).
  ASSERT_TRUE(Plane3d::intersect(V(1.0, 1.0, 1.0), V(1.0, -1.0, 0.0), V(0.0, 2.0, -2.0),
                                 Line3d(V(-5.0, 0.0, 0.0), V(1e-8, 0.0, 0.0)), &out));
  EXPECT_TRUE(SameVec(out, V(3.0, 0.0, 0.0), 1e-14));
  // A small but genuine angle (sine 1e-9) still intersects, far away.
  ASSERT_TRUE(Plane3d::intersect(V(), V(1.0, 0.0, 0.0), V(0.0, 1.0, 0.0),
                                 Line3d(V(0.0, 0.0, 1.0), V(1.0, 0.0, -1e-9)), &out));
  EXPECT_NEAR(out.x, 1e9, 1e-3);
}

TEST(GeometryPlane, NoSingleIntersectionLeavesTheOutputAlone) {
  const V e(1.0, 1.0, 1.0), f(1.0, -1.0, 0.0), ex(1.0, 0.0, 0.0), ey(0.0, 1.0, 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    V point, dir1, dir2;
    Line3d line;
  } cases[] = {
      {V(0.0, 0.0, 2.0), V(1e-6, 0.0, 0.0), V(0.0, 1e6, 0.0), Line3d(V(0.0, 0.0, 5.0), V(3.0, 4.0, 0.0))},
      {V(), e, f, Line3d(V(0.0, 0.0, 1.0), e * 0.1 + f * 0.7)},  // parallel up to rounding
      {V(), V(1.0, 2.0, 3.0), V(-2.0, -4.0, -6.0), Line3d(V(), V(0.0, 0.0, 1.0))},  // no plane
      {V(), ex, ey, Line3d(V(), V())},
      {V(), ex, ey, Line3d(V(), V(0.0, 0.0, nan))},
  };
  for (const auto& c : cases) {
    V out(-1.0, -2.0, -3.0);
    EXPECT_FALSE(Plane3d::intersect(c.point, c.dir1, c.dir2, c.line, &out));
    EXPECT_TRUE(SameVec(out, V(-1.0, -2.0, -3.0), 0.0));
  }
}

TEST(GeometryLine, CreateFromPointsAndPerpend) {
  Line3d line;
  line.createFromPoints(V(1.0, 2.0, 3.0), V(3.0, 2.0, 3.0));
  EXPECT_TRUE(SameVec(line.p, V(1.0, 2.0, 3.0), 0.0) && SameVec(line.d, V(2.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(line.perpend(V(7.0, -1.0, 10.0)), V(7.0, 2.0, 3.0), 1e-15));
  // Along (1, 2, 2)·5 through (1, 0, 0): (1, 9, 9) lies 12 along the unit direction.
  const Line3d skew(V(1.0, 0.0, 0.0), V(5.0, 10.0, 10.0));
  EXPECT_TRUE(SameVec(skew.perpend(V(1.0, 9.0, 9.0)), V(5.0, 8.0, 8.0), 1e-14));

  // Coinciding points: a zero direction, and the line's point is every foot.
  line.createFromPoints(V(4.0, 5.0, 6.0), V(4.0, 5.0, 6.0));
  EXPECT_LE(line.d.length(), 1e-6);
  EXPECT_TRUE(SameVec(line.perpend(V(-3.0, 8.0, 1.0)), V(4.0, 5.0, 6.0), 0.0));
}

}  // namespace
}  // namespace Zem

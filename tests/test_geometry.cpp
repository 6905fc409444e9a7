// Plane3d and Line3d: projections and intersections with non-unit normals and
// directions, against values worked out by hand.
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
  // 2x + 2y + z − 9 = 0, |n| = 3: (5, 5, 5) has value 16, so its foot is 16/9·(2, 2, 1) away,
  // whatever the normal's length and sign; a point of the plane is its own foot.
  for (double scale : {1.0, 1e-30, -2.5, 1e30}) {
    const Plane3d plane(2.0 * scale, 2.0 * scale, scale, -9.0 * scale);
    EXPECT_TRUE(SameVec(plane.perpend(V(5.0, 5.0, 5.0)), V(13.0, 13.0, 29.0) / 9.0, 1e-14));
    EXPECT_TRUE(SameVec(plane.perpend(V(4.0, 0.0, 1.0)), V(4.0, 0.0, 1.0), 1e-14));
  }
  // A point of the plane, and a direction in it.
  EXPECT_TRUE(SameVec(Plane3d(0.0, 0.0, 3.0, -15.0).getPointOnPlane(), V(0.0, 0.0, 5.0), 1e-15));
  EXPECT_NEAR(Plane3d(1.0, 1.0, 1.0, 0.0).getDirection1().dot(V(1.0, 1.0, 1.0)), 0.0, 1e-15);
}

TEST(GeometryPlane, IntersectOrLeaveTheOutputAlone) {
  const V ex(1.0, 0.0, 0.0), ey(0.0, 1.0, 0.0), e(1.0, 1.0, 1.0), f(1.0, -1.0, 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // z = 2 spanned by (3, 0, 0) and (1, 4, 0), the line through (1, 1, −1) along (1, 2, 6): t = 0.5.
  // x + y + z = 3 and the x axis with a direction of length 1e-8: (3, 0, 0). A sine of 1e-9:
  // far away, but a single point. Then no single point: parallel (up to rounding), no plane,
  // no direction.
  const struct { V point, dir1, dir2; Line3d line; bool meets; V at; } cases[] = {
      {V(0, 0, 2), V(3, 0, 0), V(1, 4, 0), Line3d(V(1, 1, -1), V(1, 2, 6)), true, V(1.5, 2, 2)},
      {e, f, V(0, 2, -2), Line3d(V(-5, 0, 0), V(1e-8, 0, 0)), true, V(3, 0, 0)},
      {V(), ex, ey, Line3d(V(0, 0, 1), V(1, 0, -1e-9)), true, V(1e9, 0, 0)},
      {V(0, 0, 2), V(1e-6, 0, 0), V(0, 1e6, 0), Line3d(V(0, 0, 5), V(3, 4, 0)), false, V()},
      {V(), e, f, Line3d(V(0, 0, 1), e * 0.1 + f * 0.7), false, V()},
      {V(), V(1, 2, 3), V(-2, -4, -6), Line3d(V(), V(0, 0, 1)), false, V()},
      {V(), ex, ey, Line3d(V(), V()), false, V()},
      {V(), ex, ey, Line3d(V(), V(0, 0, nan)), false, V()},
  };
  for (const auto& c : cases) {
    V out(-1.0, -2.0, -3.0);
    EXPECT_EQ(Plane3d::intersect(c.point, c.dir1, c.dir2, c.line, &out), c.meets);
    EXPECT_TRUE(SameVec(out, c.meets ? c.at : V(-1.0, -2.0, -3.0), c.meets ? 1e-12 * c.at.length() : 0.0));
  }
}

TEST(GeometryLine, CreateFromPointsAndPerpend) {
  // Along (2, 0, 0) through (1, 2, 3); coinciding points leave a zero direction and the
  // line's point is every foot.
  Line3d line;
  line.createFromPoints(V(1.0, 2.0, 3.0), V(3.0, 2.0, 3.0));
  EXPECT_TRUE(SameVec(line.p, V(1.0, 2.0, 3.0), 0.0) && SameVec(line.d, V(2.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(line.perpend(V(7.0, -1.0, 10.0)), V(7.0, 2.0, 3.0), 1e-15));
  line.createFromPoints(V(4.0, 5.0, 6.0), V(4.0, 5.0, 6.0));
  EXPECT_TRUE(line.d.length() <= 1e-6 && SameVec(line.perpend(V(-3.0, 8.0, 1.0)), V(4.0, 5.0, 6.0), 0.0));
}

}  // namespace
}  // namespace Zem

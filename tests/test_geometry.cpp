// Plane3d and Line3d (host/zem_math.h): projections and intersections with
// non-unit normals and directions, against values worked out by hand.
#include <cstddef>

#include "test_util.h"
#include "zem_math.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using test::SameVec;

// Callers read a plane as a, b, c, d and a line as point then direction.
static_assert(sizeof(Plane3d) == 4 * sizeof(double));
static_assert(offsetof(Plane3d, d) == 3 * sizeof(double));
static_assert(sizeof(Line3d) == 6 * sizeof(double));
static_assert(offsetof(Line3d, d) == 3 * sizeof(double));

TEST(GeometryPlane, FromPointAndNormalKeepsTheNormalAsGiven) {
  const Plane3d plane(V(0.0, 0.0, -4.0), V(1.0, 2.0, 3.0));  // d = −n·p
  EXPECT_TRUE(SameVec(V(plane.a, plane.b, plane.c), V(0.0, 0.0, -4.0), 0.0));
  EXPECT_EQ(plane.d, 12.0);
}

// 2x + 2y + z − 9 = 0, |n| = 3: (5, 5, 5) has value 16, so its foot is
// 16/9·(2, 2, 1) away, whatever the normal's length and sign; a point of the
// plane is its own foot.
TEST(GeometryPlane, PerpendIsTheFootWhateverTheNormalsLengthAndSign) {
  for (double scale : {1.0, 1e-30, -2.5, 1e30}) {
    SCOPED_TRACE(scale);
    const Plane3d plane(2.0 * scale, 2.0 * scale, scale, -9.0 * scale);
    EXPECT_TRUE(SameVec(plane.perpend(V(5.0, 5.0, 5.0)), V(13.0, 13.0, 29.0) / 9.0, 1e-14));
    EXPECT_TRUE(SameVec(plane.perpend(V(4.0, 0.0, 1.0)), V(4.0, 0.0, 1.0), 1e-14));
  }
}

TEST(GeometryPlane, PointOnPlaneAndDirectionInIt) {
  EXPECT_TRUE(SameVec(Plane3d(0.0, 0.0, 3.0, -15.0).getPointOnPlane(), V(0.0, 0.0, 5.0), 1e-15));
  EXPECT_NEAR(Plane3d(1.0, 1.0, 1.0, 0.0).getDirection1().dot(V(1.0, 1.0, 1.0)), 0.0, 1e-15);
}

TEST(GeometryPlane, IntersectFindsTheSinglePointOrLeavesTheOutputAlone) {
  const V ex(1.0, 0.0, 0.0), ey(0.0, 1.0, 0.0), e(1.0, 1.0, 1.0), f(1.0, -1.0, 0.0);
  const V untouched(-1.0, -2.0, -3.0);
  const struct { const char* name; V point, dir1, dir2; Line3d line; bool meets; V at; } cases[] = {
      {"z = 2, line along (1, 2, 6): t = 0.5", V(0, 0, 2), V(3, 0, 0), V(1, 4, 0), Line3d(V(1, 1, -1), V(1, 2, 6)),
       true, V(1.5, 2, 2)},
      {"x + y + z = 3, x axis of direction length 1e-8", e, f, V(0, 2, -2), Line3d(V(-5, 0, 0), V(1e-8, 0, 0)), true,
       V(3, 0, 0)},
      {"a sine of 1e-9: far away, but one point", V(), ex, ey, Line3d(V(0, 0, 1), V(1, 0, -1e-9)), true,
       V(1e9, 0, 0)},
      {"parallel", V(0, 0, 2), V(1e-6, 0, 0), V(0, 1e6, 0), Line3d(V(0, 0, 5), V(3, 4, 0)), false, untouched},
      {"parallel up to rounding", V(), e, f, Line3d(V(0, 0, 1), e * 0.1 + f * 0.7), false, untouched},
      {"no plane", V(), V(1, 2, 3), V(-2, -4, -6), Line3d(V(), V(0, 0, 1)), false, untouched},
      {"no direction", V(), ex, ey, Line3d(V(), V()), false, untouched},
      {"NaN direction", V(), ex, ey, Line3d(V(), V(0, 0, std::numeric_limits<double>::quiet_NaN())), false, untouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    V out = untouched;
    EXPECT_EQ(Plane3d::intersect(c.point, c.dir1, c.dir2, c.line, &out), c.meets);
    EXPECT_TRUE(SameVec(out, c.at, c.meets ? 1e-12 * c.at.length() : 0.0));  // untouched: to the bit
  }
}

TEST(GeometryLine, CreateFromPointsAndPerpendAlsoOfCoincidingPoints) {
  Line3d line;
  line.createFromPoints(V(1.0, 2.0, 3.0), V(3.0, 2.0, 3.0));
  EXPECT_TRUE(SameVec(line.p, V(1.0, 2.0, 3.0), 0.0));
  EXPECT_TRUE(SameVec(line.d, V(2.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(line.perpend(V(7.0, -1.0, 10.0)), V(7.0, 2.0, 3.0), 1e-15));
  // Coinciding points leave a zero direction, and the line's point is every foot.
  line.createFromPoints(V(4.0, 5.0, 6.0), V(4.0, 5.0, 6.0));
  EXPECT_TRUE(SameVec(line.perpend(V(-3.0, 8.0, 1.0)), V(4.0, 5.0, 6.0), 0.0));
}

}  // namespace
}  // namespace Zem

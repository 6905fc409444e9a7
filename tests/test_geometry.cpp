// Plane3d and Line3d: projections and intersections with non-unit normals and
// directions, against values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <type_traits>

#include "test_util.h"
#include "zem_math.h"

namespace Zem {
namespace {

using V = BaVec3d<double>;
using test::SameVec;

// Callers read a plane's normal as its first three doubles and a line as
// point then direction, so the layout is part of the contract.
static_assert(std::is_standard_layout_v<Plane3d>, "Plane3d is read member by member");
static_assert(sizeof(Plane3d) == 4 * sizeof(double), "Plane3d is exactly a, b, c, d");
static_assert(offsetof(Plane3d, a) == 0 && offsetof(Plane3d, b) == sizeof(double) &&
                  offsetof(Plane3d, c) == 2 * sizeof(double) && offsetof(Plane3d, d) == 3 * sizeof(double),
              "a, b, c, d in this order");
static_assert(std::is_standard_layout_v<Line3d>, "Line3d is read member by member");
static_assert(sizeof(Line3d) == 6 * sizeof(double), "Line3d is exactly a point and a direction");
static_assert(offsetof(Line3d, p) == 0 && offsetof(Line3d, d) == 3 * sizeof(double), "point, then direction");

TEST(GeometryPlane, NormalAndPointKeepOrientationAndLength) {
  const Plane3d plane(V(0.0, 0.0, -4.0), V(1.0, 2.0, 3.0));
  EXPECT_EQ(plane.a, 0.0);
  EXPECT_EQ(plane.b, 0.0);
  EXPECT_EQ(plane.c, -4.0);
  EXPECT_EQ(plane.d, 12.0);  // −n·p
  EXPECT_EQ(plane.evaluate(V(7.0, -5.0, 3.0)), 0.0);
  // The normal points to −z: below the plane is the positive side.
  EXPECT_GT(plane.evaluate(V(0.0, 0.0, 2.0)), 0.0);
}

TEST(GeometryPlane, PerpendWithNonUnitNormal) {
  // 2x + 2y + z − 9 = 0, |n| = 3. From the origin: distance 3 along n̂ = (2, 2, 1)/3.
  const Plane3d plane(2.0, 2.0, 1.0, -9.0);
  EXPECT_TRUE(SameVec(plane.perpend(V(0.0, 0.0, 0.0)), V(2.0, 2.0, 1.0), 1e-14));
  // (5, 5, 5): value 2·5 + 2·5 + 5 − 9 = 16, distance 16/3 → foot (5, 5, 5) − 16/9·(2, 2, 1).
  const V foot = plane.perpend(V(5.0, 5.0, 5.0));
  EXPECT_TRUE(SameVec(foot, V(5.0 - 32.0 / 9.0, 5.0 - 32.0 / 9.0, 5.0 - 16.0 / 9.0), 1e-14));
  EXPECT_NEAR(plane.evaluate(foot), 0.0, 1e-13);
  // A point of the plane is its own foot.
  EXPECT_TRUE(SameVec(plane.perpend(V(4.0, 0.0, 1.0)), V(4.0, 0.0, 1.0), 1e-14));
}

TEST(GeometryPlane, PerpendDoesNotDependOnNormalScale) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-10.0, 10.0);
  for (int i = 0; i < 50; ++i) {
    const V n(u(rng), u(rng), u(rng)), q(u(rng), u(rng), u(rng)), p(u(rng), u(rng), u(rng));
    const Plane3d unit(n / n.length(), q);
    for (double scale : {1e-30, 1e-3, 1.0, 1e3, 1e30, -2.5}) {
      const Plane3d scaled(n * scale, q);
      EXPECT_TRUE(SameVec(scaled.perpend(p), unit.perpend(p), 1e-12)) << "scale " << scale;
    }
    const V foot = unit.perpend(p);
    EXPECT_NEAR(unit.evaluate(foot), 0.0, 1e-12);
    // p − foot is along the normal.
    EXPECT_LT((p - foot).cross(n).length(), 1e-11 * n.length());
  }
}

TEST(GeometryPlane, PointOnPlaneAndNormalSide) {
  const Plane3d plane(0.0, 0.0, 3.0, -15.0);  // z = 5
  const V q = plane.getPointOnPlane();
  EXPECT_TRUE(SameVec(q, V(0.0, 0.0, 5.0), 1e-15));
  EXPECT_GT(plane.evaluate(q + plane.getNormal()), 0.0);

  const Plane3d tilted(1.0, -2.0, 0.5, 7.0);
  EXPECT_NEAR(tilted.evaluate(tilted.getPointOnPlane()), 0.0, 1e-14);
  EXPECT_GT(tilted.evaluate(tilted.getPointOnPlane() + tilted.getNormal()), 0.0);
}

TEST(GeometryPlane, Direction1LiesInPlaneAndIsUnit) {
  EXPECT_TRUE(SameVec(Plane3d(0.0, 0.0, 1.0, -5.0).getDirection1(), V(1.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(Plane3d(0.0, 0.0, -7.0, 0.0).getDirection1(), V(1.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(Plane3d(4.0, 0.0, 0.0, 1.0).getDirection1(), V(0.0, 1.0, 0.0), 0.0));
  // Normal (1, 1, 1): on the tie x is taken, projected: (2, −1, −1)/√6.
  EXPECT_TRUE(SameVec(Plane3d(1.0, 1.0, 1.0, 0.0).getDirection1(), V(2.0, -1.0, -1.0) / std::sqrt(6.0), 1e-15));

  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < 200; ++i) {
    const V n(u(rng), u(rng), u(rng));
    const V dir = Plane3d(n * 1e-6, V()).getDirection1();
    EXPECT_NEAR(dir.length(), 1.0, 1e-15);
    EXPECT_LT(std::fabs(dir.dot(n)), 1e-15 * n.length());
  }
}

TEST(GeometryPlane, DegeneratePlaneGivesFallbacksNotNaN) {
  const Plane3d none(0.0, 0.0, 0.0, 3.0);
  EXPECT_TRUE(SameVec(none.perpend(V(1.0, 2.0, 3.0)), V(1.0, 2.0, 3.0), 0.0));
  EXPECT_TRUE(SameVec(none.getPointOnPlane(), V(), 0.0));
  EXPECT_TRUE(SameVec(none.getDirection1(), V(1.0, 0.0, 0.0), 0.0));
}

TEST(GeometryPlane, IntersectWithNonUnitDirections) {
  // Plane through (0, 0, 2) spanned by (3, 0, 0) and (1, 4, 0): z = 2. Line
  // through (1, 1, −1) along (1, 2, 6): t = 0.5 → (1.5, 2, 2).
  V out(9.0, 9.0, 9.0);
  ASSERT_TRUE(Plane3d::intersect(V(0.0, 0.0, 2.0), V(3.0, 0.0, 0.0), V(1.0, 4.0, 0.0),
                                 Line3d(V(1.0, 1.0, -1.0), V(1.0, 2.0, 6.0)), &out));
  EXPECT_TRUE(SameVec(out, V(1.5, 2.0, 2.0), 1e-15));

  // Oblique plane x + y + z = 3 (through (1, 1, 1), spanned by (1, −1, 0) and
  // (0, 2, −2)) and the x axis scaled by 1e-8: hit at (3, 0, 0).
  ASSERT_TRUE(Plane3d::intersect(V(1.0, 1.0, 1.0), V(1.0, -1.0, 0.0), V(0.0, 2.0, -2.0),
                                 Line3d(V(-5.0, 0.0, 0.0), V(1e-8, 0.0, 0.0)), &out));
  EXPECT_TRUE(SameVec(out, V(3.0, 0.0, 0.0), 1e-14));
}

TEST(GeometryPlane, IntersectFailsWhenParallelAndLeavesOutputAlone) {
  const V sentinel(-1.0, -2.0, -3.0);
  V out = sentinel;
  // Line in a plane parallel to z = 2, with directions of very different sizes.
  EXPECT_FALSE(Plane3d::intersect(V(0.0, 0.0, 2.0), V(1e-6, 0.0, 0.0), V(0.0, 1e6, 0.0),
                                  Line3d(V(0.0, 0.0, 5.0), V(3.0, 4.0, 0.0)), &out));
  // Parallel up to rounding: the direction is a rotated in-plane vector.
  const V e(1.0, 1.0, 1.0);
  const V f(1.0, -1.0, 0.0);
  const V inPlane = e * 0.1 + f * 0.7;
  EXPECT_FALSE(Plane3d::intersect(V(), e, f, Line3d(V(0.0, 0.0, 1.0), inPlane), &out));
  // Spanning directions parallel: no plane.
  EXPECT_FALSE(Plane3d::intersect(V(), V(1.0, 2.0, 3.0), V(-2.0, -4.0, -6.0),
                                  Line3d(V(), V(0.0, 0.0, 1.0)), &out));
  // Zero line direction, and NaN input.
  EXPECT_FALSE(Plane3d::intersect(V(), V(1.0, 0.0, 0.0), V(0.0, 1.0, 0.0), Line3d(V(), V()), &out));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(Plane3d::intersect(V(), V(1.0, 0.0, 0.0), V(0.0, 1.0, 0.0), Line3d(V(), V(0.0, 0.0, nan)), &out));
  EXPECT_TRUE(SameVec(out, sentinel, 0.0));

  // A small but genuine angle (sine 1e-9) still intersects, far away.
  ASSERT_TRUE(Plane3d::intersect(V(), V(1.0, 0.0, 0.0), V(0.0, 1.0, 0.0),
                                 Line3d(V(0.0, 0.0, 1.0), V(1.0, 0.0, -1e-9)), &out));
  EXPECT_NEAR(out.x, 1e9, 1e-3);
  EXPECT_NEAR(out.z, 0.0, 1e-6);
}

TEST(GeometryLine, CreateFromPointsAndPerpend) {
  Line3d line;
  line.createFromPoints(V(1.0, 2.0, 3.0), V(3.0, 2.0, 3.0));
  EXPECT_TRUE(SameVec(line.p, V(1.0, 2.0, 3.0), 0.0));
  EXPECT_TRUE(SameVec(line.d, V(2.0, 0.0, 0.0), 0.0));
  EXPECT_TRUE(SameVec(line.perpend(V(7.0, -1.0, 10.0)), V(7.0, 2.0, 3.0), 1e-15));

  // Direction (1, 2, 2)·5 through (1, 0, 0): (1, 9, 9) lies 36/3 = 12 along the
  // unit direction (1, 2, 2)/3 from the line's point.
  const Line3d skew(V(1.0, 0.0, 0.0), V(5.0, 10.0, 10.0));
  EXPECT_TRUE(SameVec(skew.perpend(V(1.0, 9.0, 9.0)), V(5.0, 8.0, 8.0), 1e-14));
  EXPECT_TRUE(SameVec(skew.perpend(V(-1.0, 0.0, 0.0)), V(1.0 - 2.0 / 9.0, -4.0 / 9.0, -4.0 / 9.0), 1e-15));
}

TEST(GeometryLine, CoincidingPointsLeaveZeroDirection) {
  Line3d line(V(0.0, 0.0, 0.0), V(1.0, 0.0, 0.0));
  line.createFromPoints(V(4.0, 5.0, 6.0), V(4.0, 5.0, 6.0));
  EXPECT_LE(line.d.length(), 1e-6);
  EXPECT_TRUE(SameVec(line.p, V(4.0, 5.0, 6.0), 0.0));
  // Perpend of a degenerate line is its point.
  EXPECT_TRUE(SameVec(line.perpend(V(-3.0, 8.0, 1.0)), V(4.0, 5.0, 6.0), 0.0));
}

TEST(GeometryLine, ProjectingALineIntoAPlane) {
  // The projection callers build: feet of P and P + D on the plane, then the
  // line through them. A line along the normal collapses to a zero direction.
  const Plane3d plane(0.0, 0.0, 2.0, -4.0);  // z = 2
  Line3d along;
  along.createFromPoints(plane.perpend(V(1.0, 1.0, 7.0)), plane.perpend(V(1.0, 1.0, 7.0) + V(0.0, 0.0, -3.0)));
  EXPECT_LE(along.d.length(), 1e-6);

  Line3d oblique;
  oblique.createFromPoints(plane.perpend(V(1.0, 1.0, 7.0)), plane.perpend(V(2.0, 3.0, 9.0)));
  EXPECT_TRUE(SameVec(oblique.p, V(1.0, 1.0, 2.0), 1e-15));
  EXPECT_TRUE(SameVec(oblique.d, V(1.0, 2.0, 0.0), 1e-15));
}

}  // namespace
}  // namespace Zem

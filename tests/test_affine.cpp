// The eight-coefficient mapping of the plane: exact four-point solutions,
// failures that keep the coefficients, and chaining.
#include <Eigen/Core>
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "math_affine.h"
#include "test_util.h"

using namespace Zem;
using namespace Zem::test;
using P = BaVec2d<double>;
using Pts = std::vector<P>;

namespace {

using Coefs = Eigen::Map<const Eigen::Matrix<double, 8, 1>>;
Affine coefficients(std::initializer_list<double> c) { Affine m; std::copy(c.begin(), c.end(), m.a); return m; }
double maxDiff(const Affine& m, const Affine& e) { return (Coefs(m.a) - Coefs(e.a)).cwiseAbs().maxCoeff(); }

const Pts kSquare = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};

/// The bound a solution must keep at its own four points: 1e-9 of the
/// destination's extent plus the rounding of its largest coordinate.
double missBound(const Pts& dst) {
  double lo[2] = {dst[0].x, dst[0].y}, hi[2] = {lo[0], lo[1]}, largest = 0.0;
  for (const P& q : dst) {
    lo[0] = std::min(lo[0], q.x), hi[0] = std::max(hi[0], q.x), lo[1] = std::min(lo[1], q.y);
    hi[1] = std::max(hi[1], q.y), largest = std::max({largest, std::fabs(q.x), std::fabs(q.y)});
  }
  return 1e-9 * std::max(hi[0] - lo[0], hi[1] - lo[1]) + 4 * std::numeric_limits<double>::epsilon() * largest;
}

::testing::AssertionResult MapsOnto(const Affine& m, const Pts& src, const Pts& dst) {
  for (unsigned i = 0; i < 4; ++i) {
    const P diff = m.transform(src[i]) - dst[i];
    const double miss = std::max(std::fabs(diff.x), std::fabs(diff.y));
    if (!(miss <= missBound(dst)))
      return ::testing::AssertionFailure() << "corner " << i << " missed by " << miss << ", bound " << missBound(dst);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameCoefficients(const Affine& m, const Affine& e) {
  for (unsigned k = 0; k < 8; ++k)
    if (std::memcmp(&m.a[k], &e.a[k], sizeof(double)) != 0)
      return ::testing::AssertionFailure() << "a" << k << ": " << m.a[k] << " vs " << e.a[k];
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(Affine, FourPairsMapExactlyAndTheUnitSquareInterpolatesBilinearly) {
  Affine m;
  ASSERT_TRUE(m.computeTransformationRec(kSquare, Pts{{0, 0}, {2, 0}, {3, 1}, {0, 1}}));
  EXPECT_LT(maxDiff(m, coefficients({0, 2, 0, 1, 0, 0, 1, 0})), 1e-15);  // the third corner needs x·y
  // The unit square, also in m instead of mm, is solved alike and
  // interpolates the target corners bilinearly. The coefficient form itself
  // loses digits as eps·(distance / size)², which sets the tolerance of the
  // far case.
  const std::vector<BaPoint2d<double>> quad = {{0.3, -0.2}, {2.1, 0.4}, {1.7, 1.9}, {-0.4, 1.2}};
  const struct { const char* name; P offset; double unit, tol; } places[] = {
      {"at the origin", P(0, 0), 1, 1e-14}, {"at 500 in m", P(5e2, -2e2), 1e-3, 1e-9}};
  for (const auto& place : places) {
    SCOPED_TRACE(place.name);
    const auto at = [&](P uv) { return (uv + place.offset) * place.unit; };  // the square's point (u, v)
    std::vector<BaPoint2d<double>> src;
    for (const P& c : kSquare) src.emplace_back(at(c).x, at(c).y);
    ASSERT_TRUE(m.computeTransformationRec(src, quad));
    for (const P uv : {P(0, 0), P(1, 0), P(1, 1), P(0, 1), P(0.2, 0.9), P(-1, 3)}) {
      const P bottom = quad[0] * (1 - uv.x) + quad[1] * uv.x, top = quad[3] * (1 - uv.x) + quad[2] * uv.x;
      EXPECT_LT((m.transform(at(uv)) - (bottom * (1 - uv.y) + top * uv.y)).length(), place.tol) << uv.x << " " << uv.y;
    }
  }
}

TEST(Affine, FarFromTheOriginEitherHitsTheFourPointsOrFailsUntouched) {
  // The absolute coefficients of a small quadrilateral far away cancel their
  // digits: a 0.01 cell at (1e6, 1e6) onto the unit square with a moved
  // corner once mapped its centre to 0.75 instead of 0.525, and said true.
  const Affine before = coefficients({1, 2, 3, 4, 5, 6, 7, 8});
  const Pts target = {{0, 0}, {1, 0}, {1.1, 1}, {0, 1}};
  const auto cell = [](double at) { return Pts{{at, at}, {at + 0.01, at}, {at + 0.01, at + 0.01}, {at, at + 0.01}}; };
  const struct { const char* name; Pts src; bool solvable; } cells[] = {
      {"cell at the origin", cell(0), true}, {"cell at 1", cell(1), true}, {"cell at 1e3", cell(1e3), false},
      {"cell at 1e6", cell(1e6), false}};
  for (const auto& c : cells) {
    SCOPED_TRACE(c.name);
    Affine m = before;
    EXPECT_EQ(m.computeTransformationRec(c.src, target), c.solvable);
    EXPECT_TRUE(c.solvable ? MapsOnto(m, c.src, target) : SameCoefficients(m, before));
  }
  // Random quadrilaterals of sizes 0.01 to 1000 at offsets up to 1e7 onto
  // others of sizes 0.01 to 1000 at offsets up to 1e3: near the origin every
  // one is solved.
  std::mt19937 rng(16);
  std::uniform_real_distribution<double> unit(-1, 1), decade(-2, 3), far(0, 7);
  const auto quadrilateral = [&](double size, P at) {
    Pts q;
    for (const P& c : kSquare) q.push_back(at + (c + P(0.3 * unit(rng), 0.3 * unit(rng))) * size);
    return q;
  };
  for (int i = 0; i < 4000; ++i) {
    const bool nearOrigin = i % 4 == 0;
    const double offset = nearOrigin ? 0.0 : std::pow(10.0, far(rng));
    const Pts src = quadrilateral(std::pow(10.0, decade(rng)), P(unit(rng), unit(rng)) * offset);
    const Pts dst = quadrilateral(std::pow(10.0, decade(rng)), P(unit(rng), unit(rng)) * 1e3);
    SCOPED_TRACE("case " + std::to_string(i) + " at " + std::to_string(offset));
    Affine m = before;
    const bool solved = m.computeTransformationRec(src, dst);
    if (nearOrigin) {
      EXPECT_TRUE(solved);
    }
    EXPECT_TRUE(solved ? MapsOnto(m, src, dst) : SameCoefficients(m, before));
  }
}

TEST(Affine, SingularSystemsAndWrongSizesKeepTheCoefficients) {
  const Affine before = coefficients({1, 2, 3, 4, 5, 6, 7, 8});
  const std::string wrongSize = "Vectors have not the size 4!|Zem::Affine::computeTransformationRec|math_affine";
  Affine m = before;
  // Two equal source points; all four on a line.
  EXPECT_FALSE(m.computeTransformationRec(Pts{{0, 0}, {1, 0}, {1, 0}, {0, 1}}, kSquare));
  EXPECT_FALSE(m.computeTransformationRec(Pts{{0, 0}, {1, 1}, {2, 2}, {3, 3}}, kSquare));
  for (const Pts& bad : {Pts(), Pts{{0, 0}, {1, 0}, {1, 1}}, Pts{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 2}}}) {
    EXPECT_EQ(progErrorOf([&] { m.computeTransformationRec(bad, kSquare); }), wrongSize);
    EXPECT_EQ(progErrorOf([&] { m.computeTransformationRec(kSquare, bad); }), wrongSize);
  }
  EXPECT_EQ(maxDiff(m, before), 0.0);
}

TEST(Affine, AppendComposesAndKeepsOnlyTheBilinearTerms) {
  // The composition is biquadratic; its terms in 1, x, y and x·y come from
  // samples on {−1, 0, 1}², and are the whole composition where the second
  // mapping has no x·y term.
  const Affine mixed = coefficients({0.5, 1.2, -0.3, 0.4, -1.0, 0.2, 0.9, -0.6});
  const Affine affine = coefficients({2.0, 0.6, -0.8, 0.0, 1.5, 0.7, 0.5, 0.0});
  const Affine shift = coefficients({3, 1, 0, 0, -4, 0, 1, 0});
  const std::pair<Affine, Affine> cases[] = {{mixed, affine}, {shift, shift}, {Affine(), mixed}, {affine, mixed},
                                             {mixed, mixed}};
  for (const auto& [first, then] : cases) {
    Affine chained = first;
    chained.append(maxDiff(first, then) == 0.0 ? chained : then);  // equal operands: the object itself
    const auto f = [&](double x, double y) { return then.transform(first.transform(P(x, y))); };
    const P c0 = f(0, 0), cx = (f(1, 0) - f(-1, 0)) * 0.5, cy = (f(0, 1) - f(0, -1)) * 0.5;
    const P cxy = (f(1, 1) - f(1, -1) - f(-1, 1) + f(-1, -1)) * 0.25;
    EXPECT_LT(maxDiff(chained, coefficients({c0.x, cx.x, cy.x, cxy.x, c0.y, cx.y, cy.y, cxy.y})), 1e-14);
  }
}

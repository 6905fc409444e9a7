// The eight-coefficient mapping of the plane: exact four-point solutions,
// failures that keep the coefficients, and chaining.
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

/// After false the coefficients are `before`; after true the four source
/// points map within 1e-9 of the destination's extent (plus the rounding of
/// its largest coordinate) of their destinations.
::testing::AssertionResult HitsOrKeeps(const Affine& m, bool solved, const Pts& src, const Pts& dst,
                                       const Affine& before) {
  if (!solved)
    return maxDiff(m, before) == 0.0 ? ::testing::AssertionSuccess()
                                     : ::testing::AssertionFailure() << "false, but the coefficients changed";
  double wide = 0.0, largest = 0.0, miss = 0.0;
  for (unsigned i = 0; i < 4; ++i) {
    const P off = m.transform(src[i]) - dst[i];
    miss = std::max({miss, std::fabs(off.x), std::fabs(off.y)});
    largest = std::max({largest, std::fabs(dst[i].x), std::fabs(dst[i].y)});
    for (const P& q : dst) wide = std::max({wide, std::fabs(q.x - dst[i].x), std::fabs(q.y - dst[i].y)});
  }
  const double bound = 1e-9 * wide + 4 * std::numeric_limits<double>::epsilon() * largest;
  if (miss <= bound) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "true, but a point is missed by " << miss << " > " << bound;
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

// Quadrilaterals of sizes 0.01 to 1000 at offsets up to 1e7 onto others; near
// the origin all are solved. Far from it the absolute coefficients cancel
// their digits (a 0.01 cell at 1e6 once missed its corners by a quarter).
TEST(Affine, FarFromTheOriginEitherHitsTheFourPointsOrFailsUntouched) {
  const Affine before = coefficients({1, 2, 3, 4, 5, 6, 7, 8});
  std::mt19937 rng(16);
  std::uniform_real_distribution<double> unit(-1, 1), decade(-2, 3), far(0, 7);
  const auto quad = [&](double size, P at) {
    Pts q;
    for (const P& c : kSquare) q.push_back(at + (c + P(unit(rng), unit(rng)) * 0.3) * size);
    return q;
  };
  for (int trial = 0; trial < sweep(1000); ++trial)
    for (const bool nearOrigin : {true, false, false, false}) {
      const double offset = nearOrigin ? 0.0 : std::pow(10.0, far(rng));
      const Pts src = quad(std::pow(10.0, decade(rng)), P(unit(rng), unit(rng)) * offset);
      const Pts dst = quad(std::pow(10.0, decade(rng)), P(1e3, -2e3));
      SCOPED_TRACE("trial " + std::to_string(trial) + " at " + std::to_string(offset));
      Affine m = before;
      const bool solved = m.computeTransformationRec(src, dst);
      if (nearOrigin) {
        EXPECT_TRUE(solved);
      }
      EXPECT_TRUE(HitsOrKeeps(m, solved, src, dst, before));
    }
}

// The far-from-the-origin refusal is no wider than it must be: a
// well-shaped quadrilateral of 100 is mapped from up to a few 1e5 away.
TEST(Affine, WellShapedQuadrilateralsAwayFromTheOriginAreSolved) {
  const Pts shape = {{0, 0}, {100, 0}, {110, 90}, {-5, 100}};
  const Pts dst = {{1000, -2000}, {1050, -1997}, {1052, -1952}, {1001, -1953}};
  for (const double offset : {1e3, 1e4, 1e5, 2e5}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    Pts src;
    for (const P& c : shape) src.push_back(c + P(offset, 2 * offset));
    Affine m;
    ASSERT_TRUE(m.computeTransformationRec(src, dst));
    EXPECT_TRUE(HitsOrKeeps(m, true, src, dst, m));
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
    SCOPED_TRACE(testing::Message() << bad.size() << " points");
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
  const struct { const char* name; Affine first, then; } cases[] = {
      {"mixed, then affine", mixed, affine}, {"a shift twice", shift, shift}, {"identity, then mixed", Affine(), mixed},
      {"affine, then mixed", affine, mixed}, {"mixed twice", mixed, mixed}};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    Affine chained = row.first;
    chained.append(maxDiff(row.first, row.then) == 0.0 ? chained : row.then);  // equal operands: the object itself
    const auto f = [&](double x, double y) { return row.then.transform(row.first.transform(P(x, y))); };
    const P c0 = f(0, 0), cx = (f(1, 0) - f(-1, 0)) * 0.5, cy = (f(0, 1) - f(0, -1)) * 0.5;
    const P cxy = (f(1, 1) - f(1, -1) - f(-1, 1) + f(-1, -1)) * 0.25;
    EXPECT_LT(maxDiff(chained, coefficients({c0.x, cx.x, cy.x, cxy.x, c0.y, cx.y, cy.y, cxy.y})), 1e-14);
  }
}

// The eight-coefficient mapping of the plane: exact four-point solutions,
// failures that keep the coefficients, and chaining.
#include <Eigen/Core>
#include <algorithm>
#include <array>

#include "math_affine.h"
#include "test_util.h"
#include "zem_base.h"

using namespace Zem;
using P = BaVec2d<double>;
using Pts = std::vector<P>;

namespace {

using Coefficients = Eigen::Map<const Eigen::Matrix<double, 8, 1>>;
Affine coefficients(const std::array<double, 8>& c) { Affine m; std::copy(c.begin(), c.end(), m.a); return m; }
double maxDiff(const Affine& m, const Affine& e) {
  return (Coefficients(m.a) - Coefficients(e.a)).cwiseAbs().maxCoeff();
}

const Pts kSquare = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};

}  // namespace

TEST(Affine, FourPairsMapExactlyAndTheUnitSquareInterpolatesBilinearly) {
  Affine m = coefficients({9, 9, 9, 9, 9, 9, 9, 9});
  ASSERT_TRUE(m.computeTransformationRec(kSquare, Pts{{0, 0}, {2, 0}, {3, 1}, {0, 1}}));
  EXPECT_LT(maxDiff(m, coefficients({0, 2, 0, 1, 0, 0, 1, 0})), 1e-15);  // the third corner needs x·y
  // The unit square, also far from the origin or in m instead of mm, is solved alike and interpolates the
  // target corners bilinearly. The coefficient form itself loses digits as eps·(distance / size)², which
  // sets the tolerance of the far cases.
  const std::vector<BaPoint2d<double>> quad = {{0.3, -0.2}, {2.1, 0.4}, {1.7, 1.9}, {-0.4, 1.2}};
  const struct { P offset; double unit, tol; } places[] = {{P(0, 0), 1, 1e-14}, {P(5e2, -2e2), 1e-3, 1e-9},
                                                           {P(3e6, 4e6), 1, 0.1}, {P(3e6, 4e6), 1e-3, 0.1}};
  for (const auto& place : places) {
    const auto at = [&](P uv) { return (uv + place.offset) * place.unit; };  // the square's point (u, v)
    std::vector<BaPoint2d<double>> src;
    for (const P& c : kSquare) src.emplace_back(at(c).x, at(c).y);
    ASSERT_TRUE(m.computeTransformationRec(src, quad)) << place.offset.x << " " << place.unit;
    for (const P uv : {P(0, 0), P(1, 0), P(1, 1), P(0, 1), P(0.2, 0.9), P(-1, 3)}) {
      const P bottom = quad[0] * (1 - uv.x) + quad[1] * uv.x, top = quad[3] * (1 - uv.x) + quad[2] * uv.x;
      EXPECT_LT((m.transform(at(uv)) - (bottom * (1 - uv.y) + top * uv.y)).length(), place.tol) << uv.x << " " << uv.y;
    }
  }
}

TEST(Affine, SingularSystemsAndWrongSizesKeepTheCoefficients) {
  const Affine before = coefficients({1, 2, 3, 4, 5, 6, 7, 8});
  const Pts bad[] = {{{0, 0}, {1, 0}, {1, 0}, {0, 1}}, {{0, 0}, {1, 1}, {2, 2}, {3, 3}},  // equal points; a line
                     {}, {{0, 0}, {1, 0}, {1, 1}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 2}}};
  for (int i = 0; i < 8; ++i) {  // the singular sets as sources, the wrong sizes on either side
    const Pts& pts = bad[i < 5 ? i : i - 3];
    Affine m = before;
    try {
      EXPECT_FALSE(i < 5 ? m.computeTransformationRec(pts, kSquare) : m.computeTransformationRec(kSquare, pts));
      EXPECT_EQ(pts.size(), 4u);
    } catch (const ProgError& e) {
      EXPECT_EQ(e.getText(), QStringLiteral("Vectors have not the size 4!"));
    }
    EXPECT_EQ(maxDiff(m, before), 0.0);
  }
}

TEST(Affine, AppendComposesAndKeepsOnlyTheBilinearTerms) {
  const Affine mixed = coefficients({0.5, 1.2, -0.3, 0.4, -1.0, 0.2, 0.9, -0.6});
  const Affine affine = coefficients({2.0, 0.6, -0.8, 0.0, 1.5, 0.7, 0.5, 0.0});
  const Affine shift = coefficients({3, 1, 0, 0, -4, 0, 1, 0});
  const struct { Affine first, then; bool closed; } cases[] = {{mixed, affine, true}, {shift, shift, true},
      {Affine(), mixed, true}, {affine, mixed, false}, {mixed, mixed, false}};
  for (const auto& c : cases) {
    Affine chained = c.first;
    chained.append(maxDiff(c.first, c.then) == 0.0 ? chained : c.then);  // equal operands: the object itself
    const auto f = [&](double x, double y) { return c.then.transform(c.first.transform(P(x, y))); };
    for (const P p : {P(0.3, -2), P(7, 1.5)})
      EXPECT_TRUE(!c.closed || (chained.transform(p) - f(p.x, p.y)).length() < 1e-12) << p.x << ", " << p.y;
    // The composition is biquadratic; its terms in 1, x, y and x·y from samples on {−1, 0, 1}².
    const P c0 = f(0, 0), cx = (f(1, 0) - f(-1, 0)) * 0.5, cy = (f(0, 1) - f(0, -1)) * 0.5;
    const P cxy = (f(1, 1) - f(1, -1) - f(-1, 1) + f(-1, -1)) * 0.25;
    EXPECT_LT(maxDiff(chained, coefficients({c0.x, cx.x, cy.x, cxy.x, c0.y, cx.y, cy.y, cxy.y})), 1e-14);
  }
}

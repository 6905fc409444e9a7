// Equation solvers: the square system and the streamed weighted least squares.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "zem_adjust.h"

using Zem::ProgError;
using Zem::EQN::Equation;
using Zem::EQN::EquationAdjust;

namespace {

constexpr double kMax = std::numeric_limits<double>::max();

// The 8x8 system of a four-point 2D mapping x' = (a0 x + a1 y + a2) / (a6 x + a7 y + 1),
// y' = (a3 x + a4 y + a5) / (a6 x + a7 y + 1), linearised in the usual way.
void setMappingRows(Equation& eq, const double src[4][2], const double dst[4][2]) {
  for (unsigned k = 0; k < 4; ++k) {
    const double x = src[k][0], y = src[k][1], u = dst[k][0], v = dst[k][1];
    eq.setRow(2 * k, {x, y, 1, 0, 0, 0, -u * x, -u * y}, u);
    eq.setRow(2 * k + 1, {0, 0, 0, x, y, 1, -v * x, -v * y}, v);
  }
}

}  // namespace

TEST(Equation, SolvesRegularMappingSystem) {
  const double src[4][2] = {{0, 0}, {100, 0}, {100, 50}, {0, 50}};
  const double dst[4][2] = {{1, 2}, {103, 1}, {98, 55}, {-2, 49}};
  Equation eq(8);
  setMappingRows(eq, src, dst);
  ASSERT_TRUE(eq.solve());
  double a[8];
  for (unsigned i = 0; i < 8; ++i) a[i] = eq.getXValue(i);
  for (unsigned k = 0; k < 4; ++k) {
    const double x = src[k][0], y = src[k][1];
    const double w = a[6] * x + a[7] * y + 1.0;
    EXPECT_NEAR((a[0] * x + a[1] * y + a[2]) / w, dst[k][0], 1e-9);
    EXPECT_NEAR((a[3] * x + a[4] * y + a[5]) / w, dst[k][1], 1e-9);
  }
}

TEST(Equation, RefusesSingularSystems) {
  // Two equal source points: two pairs of rows are linear combinations.
  const double src[4][2] = {{0, 0}, {100, 0}, {100, 0}, {0, 50}};
  const double dst[4][2] = {{1, 2}, {103, 1}, {98, 55}, {-2, 49}};
  Equation eq(8);
  setMappingRows(eq, src, dst);
  EXPECT_FALSE(eq.solve());

  // Numerically singular: a row that differs from another by rounding only.
  Equation near(3);
  near.setRow(0, {1.0, 2.0, 3.0}, 1.0);
  near.setRow(1, {0.1 * 3.0, 0.2 * 3.0, 0.3 * 3.0}, 2.0);  // 3·row0 up to rounding
  near.setRow(2, {4.0, -1.0, 0.5}, 0.0);
  EXPECT_FALSE(near.solve());

  // A row never set stays zero.
  Equation partial(2);
  partial.setRow(0, {1.0, 1.0}, 1.0);
  EXPECT_FALSE(partial.solve());

  Equation nan(2);
  nan.setRow(0, {1.0, 0.0}, std::nan(""));
  nan.setRow(1, {0.0, 1.0}, 1.0);
  EXPECT_FALSE(nan.solve());
}

TEST(Equation, WidelyScaledRegularSystem) {
  // Columns of very different magnitude are not mistaken for singularity.
  Equation eq(2);
  eq.setRow(0, {1e-9, 1e9}, 5.0);  // x0 = 3e9, x1 = 2e-9
  eq.setRow(1, {2e-9, -1e9}, 4.0);
  ASSERT_TRUE(eq.solve());
  EXPECT_NEAR(eq.getXValue(0), 3e9, 1e-5);
  EXPECT_NEAR(eq.getXValue(1), 2e-9, 1e-23);
}

TEST(Equation, BadInputThrows) {
  Equation eq(3);
  EXPECT_THROW(eq.setRow(3, {1, 2, 3}, 0), ProgError);
  EXPECT_THROW(eq.setRow(0, {1, 2}, 0), ProgError);
  EXPECT_THROW(eq.getXValue(3), ProgError);
  EXPECT_THROW(Equation(0), ProgError);
}

TEST(EquationAdjust, WeightedLineFitMatchesClosedForm) {
  // y = a + b·x with weights: closed form from the weighted sums.
  const double xs[6] = {0, 1, 2, 3, 5, 8};
  const double ys[6] = {1.1, 2.9, 5.2, 6.8, 11.3, 16.7};
  const double ws[6] = {1, 2, 0.5, 3, 1, 0.25};
  EquationAdjust adj(2);
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int i = 0; i < 6; ++i) {
    adj.setObservation({1.0, xs[i]}, ys[i], ws[i]);
    sw += ws[i];
    sx += ws[i] * xs[i];
    sy += ws[i] * ys[i];
    sxx += ws[i] * xs[i] * xs[i];
    sxy += ws[i] * xs[i] * ys[i];
  }
  const double det = sw * sxx - sx * sx;
  const double a = (sxx * sy - sx * sxy) / det, b = (sw * sxy - sx * sy) / det;
  ASSERT_TRUE(adj.solve());
  EXPECT_NEAR(adj.getXValue(0), a, 1e-12);
  EXPECT_NEAR(adj.getXValue(1), b, 1e-12);
  EXPECT_EQ(adj.getXValue(1), adj.getXValue(1));
}

TEST(EquationAdjust, EachSolveSeesOnlyItsOwnObservations) {
  EquationAdjust adj(2);
  adj.setObservation({1.0, 0.0}, 5.0);
  adj.setObservation({0.0, 1.0}, 7.0);
  ASSERT_TRUE(adj.solve());
  EXPECT_NEAR(adj.getXValue(0), 5.0, 1e-14);

  adj.setObservation({1.0, 0.0}, -1.0);
  adj.setObservation({0.0, 1.0}, 2.0);
  ASSERT_TRUE(adj.solve());
  EXPECT_NEAR(adj.getXValue(0), -1.0, 1e-14);
  EXPECT_NEAR(adj.getXValue(1), 2.0, 1e-14);

  // Nothing since the last solve: refused, previous solution kept.
  EXPECT_FALSE(adj.solve());
  EXPECT_NEAR(adj.getXValue(1), 2.0, 1e-14);
}

TEST(EquationAdjust, RankDeficientGivesMinimumNorm) {
  // Only x0 + 2·x1 is observed: minimum-norm solution is c·(1, 2) / 5.
  EquationAdjust adj(3);
  adj.setObservation({1.0, 2.0, kMax}, 10.0);
  adj.setObservation({2.0, 4.0, kMax}, 20.0, 3.0);
  ASSERT_TRUE(adj.solve());
  EXPECT_NEAR(adj.getXValue(0), 2.0, 1e-12);
  EXPECT_NEAR(adj.getXValue(1), 4.0, 1e-12);
  EXPECT_EQ(adj.getXValue(2), 0.0);

  // Near-dependence from rounding (0.1 is not exact) is also deficient.
  adj.setObservation({0.1, 0.2, 0.3}, 1.0);
  adj.setObservation({0.3, 0.6, 0.9}, 3.0);
  ASSERT_TRUE(adj.solve());
  for (unsigned i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(adj.getXValue(i)));
  EXPECT_NEAR(adj.getXValue(0), 1.0 / 1.4, 1e-9);
  EXPECT_NEAR(adj.getXValue(1), 2.0 / 1.4, 1e-9);
  EXPECT_NEAR(adj.getXValue(2), 3.0 / 1.4, 1e-9);
}

TEST(EquationAdjust, MaxCoefficientIsAbsent) {
  EquationAdjust withMax(3), withZero(3);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-5, 5);
  for (int i = 0; i < 20; ++i) {
    const double c0 = u(rng), c1 = u(rng), c2 = u(rng), v = u(rng), w = 1.0 + u(rng) / 10;
    const int absent = i % 3;
    std::vector<double> a = {c0, c1, c2}, b = a;
    a[absent] = kMax;
    b[absent] = 0.0;
    withMax.setObservation(a, v, w);
    withZero.setObservation(b, v, w);
  }
  ASSERT_TRUE(withMax.solve());
  ASSERT_TRUE(withZero.solve());
  for (unsigned i = 0; i < 3; ++i) EXPECT_NEAR(withMax.getXValue(i), withZero.getXValue(i), 1e-12);
}

TEST(EquationAdjust, LaneAccumulatorEqualsGeneralPath) {
  EquationAdjust general(4), lanes(4);
  Zem::EQN::NormalAccumulator<4> acc;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-2, 2);
  for (int i = 0; i < 7; ++i) {  // an odd count: the last goes through addOne
    const double a[3] = {u(rng), u(rng), u(rng)}, b[3] = {u(rng), u(rng), u(rng)};
    const double va = u(rng), vb = u(rng), wa = 0.5 + i, wb = 2.0;
    general.setObservation({a[0], a[1], kMax, a[2]}, va, wa);
    if (i == 6) {
      acc.addOne<0, 1, 3>(a, va, wa);
      break;
    }
    general.setObservation({b[0], b[1], kMax, b[2]}, vb, wb);
    acc.add<0, 1, 3>({Zem::EQN::Lane2{a[0], b[0]}, Zem::EQN::Lane2{a[1], b[1]}, Zem::EQN::Lane2{a[2], b[2]}},
                     Zem::EQN::Lane2{va, vb}, Zem::EQN::Lane2{wa, wb});
  }
  general.setObservation({kMax, kMax, 1.0, kMax}, 3.0);
  lanes.setObservation({kMax, kMax, 1.0, kMax}, 3.0);
  acc.flushInto(lanes);
  ASSERT_TRUE(general.solve());
  ASSERT_TRUE(lanes.solve());
  for (unsigned i = 0; i < 4; ++i) EXPECT_NEAR(general.getXValue(i), lanes.getXValue(i), 1e-12);
  EquationAdjust wrongSize(3);
  EXPECT_THROW(acc.flushInto(wrongSize), ProgError);
}

TEST(EquationAdjust, RefusesNonFiniteAndEmpty) {
  EquationAdjust adj(2);
  EXPECT_FALSE(adj.solve());
  adj.setObservation({1.0, 0.0}, 1.0, 0.0);  // zero weight: nothing usable
  adj.setObservation({kMax, kMax}, 1.0);     // all absent
  EXPECT_FALSE(adj.solve());

  adj.setObservation({1.0, 0.0}, 1.0);
  adj.setObservation({0.0, 1.0}, std::nan(""));
  EXPECT_FALSE(adj.solve());
  adj.setObservation({1.0, 0.0}, 1.0);
  adj.setObservation({0.0, 1.0}, 1.0, std::numeric_limits<double>::infinity());
  EXPECT_FALSE(adj.solve());
  // Overflowing products of finite input are refused, not turned into a result.
  adj.setObservation({1e200, 0.0}, 1.0);
  adj.setObservation({0.0, 1.0}, 1.0);
  EXPECT_FALSE(adj.solve());
  // The failures left nothing behind.
  adj.setObservation({1.0, 0.0}, 4.0);
  adj.setObservation({0.0, 1.0}, 6.0);
  ASSERT_TRUE(adj.solve());
  EXPECT_NEAR(adj.getXValue(0), 4.0, 1e-14);
  EXPECT_NEAR(adj.getXValue(1), 6.0, 1e-14);
}

TEST(EquationAdjust, BadInputThrows) {
  EquationAdjust adj(3);
  EXPECT_THROW(adj.setObservation({1.0, 2.0}, 0.0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0, 3.0, 4.0}, 0.0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0, 3.0}, 0.0, -1.0), ProgError);
  EXPECT_THROW(adj.getXValue(3), ProgError);
  EXPECT_THROW(EquationAdjust(0), ProgError);
}

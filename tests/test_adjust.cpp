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
using Zem::EQN::Lane2;

namespace {

constexpr double kMax = std::numeric_limits<double>::max();
const double kNaN = std::nan(""), kInf = std::numeric_limits<double>::infinity();

void expectSolution(EquationAdjust& adj, const std::vector<double>& x, double tol) {
  ASSERT_TRUE(adj.solve());
  for (unsigned i = 0; i < x.size(); ++i) EXPECT_NEAR(adj.getXValue(i), x[i], tol) << "x" << i;
}

}  // namespace

TEST(Equation, FourPointMappingSolvedUnlessTwoSourcePointsCoincide) {
  // x' = (a0 x + a1 y + a2) / (a6 x + a7 y + 1), y' likewise with a3..a5, linearised.
  const double a[8] = {1.02, -0.04, 1.5, 0.03, 0.97, -2.0, 2e-4, -1e-4};
  for (double y2 : {50.0, 0.0}) {  // 0: source point 2 equals point 1
    const double src[4][2] = {{0, 0}, {100, 0}, {100, y2}, {0, 50}};
    Equation eq(8);
    for (unsigned k = 0; k < 4; ++k) {
      const double x = src[k][0], y = src[k][1], w = a[6] * x + a[7] * y + 1.0;
      const double u = (a[0] * x + a[1] * y + a[2]) / w, v = (a[3] * x + a[4] * y + a[5]) / w;
      eq.setRow(2 * k, {x, y, 1, 0, 0, 0, -u * x, -u * y}, u);
      eq.setRow(2 * k + 1, {0, 0, 0, x, y, 1, -v * x, -v * y}, v);
    }
    ASSERT_EQ(eq.solve(), y2 != 0.0);
    for (unsigned i = 0; i < 8 && y2 != 0.0; ++i) EXPECT_NEAR(eq.getXValue(i), a[i], 1e-12 * std::fabs(a[i]));
  }
}

TEST(Equation, SingularByRoundingOrNaNRefusedWidelyScaledSolved) {
  Equation near(3);
  near.setRow(0, {1.0, 2.0, 3.0}, 1.0);
  near.setRow(1, {0.1 * 3.0, 0.2 * 3.0, 0.3 * 3.0}, 2.0);  // 3·row0 up to rounding
  near.setRow(2, {4.0, -1.0, 0.5}, 0.0);
  EXPECT_FALSE(near.solve());
  Equation eq(2);
  eq.setRow(0, {1.0, 1.0}, 1.0);
  eq.setRow(1, {0.0, 1.0}, kNaN);
  EXPECT_FALSE(eq.solve());
  // Columns of very different magnitude are not mistaken for singularity.
  eq.setRow(0, {1e-9, 1e9}, 5.0);  // x0 = 3e9, x1 = 2e-9
  eq.setRow(1, {2e-9, -1e9}, 4.0);
  ASSERT_TRUE(eq.solve());
  EXPECT_NEAR(eq.getXValue(0), 3e9, 1e-5);
  EXPECT_NEAR(eq.getXValue(1), 2e-9, 1e-23);
}

TEST(EquationAdjust, WeightedLineFitMatchesClosedForm) {
  const double xs[6] = {0, 1, 2, 3, 5, 8}, ys[6] = {1.1, 2.9, 5.2, 6.8, 11.3, 16.7}, ws[6] = {1, 2, 0.5, 3, 1, 0.25};
  EquationAdjust adj(2);
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int i = 0; i < 6; ++i) {  // y = a + b·x
    adj.setObservation({1.0, xs[i]}, ys[i], ws[i]);
    sw += ws[i], sx += ws[i] * xs[i], sy += ws[i] * ys[i];
    sxx += ws[i] * xs[i] * xs[i], sxy += ws[i] * xs[i] * ys[i];
  }
  const double det = sw * sxx - sx * sx;
  expectSolution(adj, {(sxx * sy - sx * sxy) / det, (sw * sxy - sx * sy) / det}, 1e-12);
}

TEST(EquationAdjust, RankDeficientGivesSmallestEquilibratedSolution) {
  // Only x0 + 2·x1 is observed (x2 absent). Equilibrated, both columns have
  // length 1 (x0 in units of 1/√13, x1 of 1/√52), so both take half: (5, 2.5).
  EquationAdjust adj(3);
  adj.setObservation({1.0, 2.0, kMax}, 10.0);
  adj.setObservation({2.0, 4.0, kMax}, 20.0, 3.0);
  expectSolution(adj, {5.0, 2.5, 0.0}, 1e-12);
  EXPECT_EQ(adj.getRank(), 1u);
  // Near-dependence from rounding (0.1 is not exact) is also deficient; the rows
  // of the previous solve must not leak into this one (they contradict it).
  adj.setObservation({0.1, 0.2, 0.3}, 1.0);
  adj.setObservation({0.3, 0.6, 0.9}, 3.0);
  expectSolution(adj, {10.0 / 3.0, 5.0 / 3.0, 10.0 / 9.0}, 1e-9);
  EXPECT_EQ(adj.getRank(), 1u);
}

TEST(EquationAdjust, MaxCoefficientIsAbsentAndAccumulatorEqualsSetObservation) {
  // The accumulator has no column 2; the general path is told so by kMax.
  EquationAdjust general(4), lanes(4), wrongSize(3);
  Zem::EQN::NormalAccumulator<4> acc;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-2, 2);
  for (int i = 0; i < 7; ++i) {  // thirteen rows: the last goes through addOne
    const double a[3] = {u(rng), u(rng), u(rng)}, b[3] = {u(rng), u(rng), u(rng)};
    const double va = u(rng), vb = u(rng), wa = 0.5 + i, wb = 2.0;
    general.setObservation({a[0], a[1], kMax, a[2]}, va, wa);
    if (i == 6) {
      acc.addOne<0, 1, 3>(a, va, wa);
      break;
    }
    general.setObservation({b[0], b[1], kMax, b[2]}, vb, wb);
    acc.add<0, 1, 3>({Lane2{a[0], b[0]}, Lane2{a[1], b[1]}, Lane2{a[2], b[2]}}, Lane2{va, vb}, Lane2{wa, wb});
  }
  for (EquationAdjust* e : {&general, &lanes}) e->setObservation({kMax, kMax, 1.0, kMax}, 3.0);
  acc.flushInto(lanes);
  ASSERT_TRUE(general.solve());
  expectSolution(lanes, {general.getXValue(0), general.getXValue(1), 3.0, general.getXValue(3)}, 1e-12);
  EXPECT_THROW(acc.flushInto(wrongSize), ProgError);
}

TEST(EquationAdjust, NothingObservedOrNonFiniteRefusedWithoutResidue) {
  EquationAdjust adj(2);
  struct Case { double c0, value, weight; };
  // Zero weight or all absent (nothing usable), NaN value, infinite weight,
  // overflowing products of finite input.
  for (const Case& c : {Case{kMax, 1.0, 1.0}, Case{1.0, 1.0, 0.0}, Case{1.0, kNaN, 1.0}, Case{1.0, 1.0, kInf},
                        Case{1e200, 1.0, 1.0}}) {
    adj.setObservation({c.c0, 0.0}, c.value, c.weight);
    adj.setObservation({0.0, c.c0 == kMax ? kMax : 1.0}, 1.0, c.weight == 0.0 ? 0.0 : 1.0);
    EXPECT_FALSE(adj.solve()) << c.c0 << " " << c.value << " " << c.weight;
  }
  adj.setObservation({1.0, 0.0}, 4.0);
  adj.setObservation({0.0, 1.0}, 6.0);
  expectSolution(adj, {4.0, 6.0}, 1e-14);
  EXPECT_FALSE(adj.solve());  // nothing observed since the last solve: refused, solution kept
  EXPECT_NEAR(adj.getXValue(1), 6.0, 1e-14);
}

TEST(EquationSolvers, BadInputThrows) {
  Equation eq(3);
  EquationAdjust adj(3);
  EXPECT_THROW(eq.setRow(3, {1, 2, 3}, 0), ProgError);
  EXPECT_THROW(eq.setRow(0, {1, 2}, 0), ProgError);
  EXPECT_THROW(eq.getXValue(3), ProgError);
  EXPECT_THROW(Equation(0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0}, 0.0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0, 3.0, 4.0}, 0.0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0, 3.0}, 0.0, -1.0), ProgError);
  EXPECT_THROW(adj.getXValue(3), ProgError);
  EXPECT_THROW(EquationAdjust(0), ProgError);
}

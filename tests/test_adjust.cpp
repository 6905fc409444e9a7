// Equation solvers: the square system and the streamed weighted least squares.
#include "test_util.h"
#include "zem_adjust.h"

using Zem::ProgError;
using Zem::EQN::Equation;
using Zem::EQN::EquationAdjust;

namespace {

constexpr double kMax = std::numeric_limits<double>::max();
const double kNaN = std::nan(""), kInf = std::numeric_limits<double>::infinity();

/// The solve succeeds with the solution x (each unknown within `tol`) and the given rank.
::testing::AssertionResult Solves(EquationAdjust& adj, const std::vector<double>& x, double tol, unsigned rank) {
  if (!adj.solve()) return ::testing::AssertionFailure() << "not solved";
  for (unsigned i = 0; i < x.size(); ++i)
    if (!(std::fabs(adj.getXValue(i) - x[i]) <= tol))
      return ::testing::AssertionFailure() << "x" << i << " = " << adj.getXValue(i) << ", expected " << x[i];
  if (adj.getRank() != rank) return ::testing::AssertionFailure() << "rank " << adj.getRank() << ", expected " << rank;
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(Equation, SolvedUnlessSingularEvenByRoundingOrNotFinite) {
  Equation eq(3), near(2);
  eq.setRow(0, {1e-9, 1e9, 0.0}, 5.0);  // columns of very different magnitude: x = (3e9, 2e-9, -1)
  eq.setRow(1, {2e-9, -1e9, 1.0}, 3.0);
  eq.setRow(2, {0.0, 0.0, 2.0}, -2.0);
  ASSERT_TRUE(eq.solve());
  EXPECT_NEAR(eq.getXValue(0), 3e9, 1e-5);
  EXPECT_NEAR(eq.getXValue(1), 2e-9, 1e-23);
  EXPECT_EQ(eq.getXValue(2), -1.0);
  near.setRow(0, {0.1, 0.3}, 1.0);
  near.setRow(1, {0.1 * 3.0, 0.3 * 3.0}, 2.0);  // 3·row0 up to rounding
  EXPECT_FALSE(near.solve());
  eq.setRow(2, {0.0, 1.0, 0.0}, kNaN);
  EXPECT_FALSE(eq.solve());
  EXPECT_EQ(eq.getXValue(2), -1.0);  // the previous solution is kept
}

TEST(EquationAdjust, RankDeficientSystemsGiveTheSmallestSolution) {
  // Only x0 + 2·x1 observed (x2 absent, kMax): equilibrated, both columns have length 1 (x0 in units
  // of 1/√13, x1 of 1/√52), so the smallest solution gives both half: (5, 2.5).
  EquationAdjust adj(3);
  adj.setObservation({1.0, 2.0, kMax}, 10.0);
  adj.setObservation({2.0, 4.0, kMax}, 20.0, 3.0);
  EXPECT_TRUE(Solves(adj, {5.0, 2.5, 0.0}, 1e-12, 1));
  // Dependent up to rounding (0.1 is not exact); the rows of the previous
  // solve must not leak into this one (they contradict it).
  adj.setObservation({0.1, 0.2, 0.3}, 1.0);
  adj.setObservation({0.3, 0.6, 0.9}, 3.0);
  EXPECT_TRUE(Solves(adj, {10.0 / 3.0, 5.0 / 3.0, 10.0 / 9.0}, 1e-9, 1));
}

// Two observations a solve must refuse; nothing of them may be left for the
// next solve.
TEST(EquationAdjust, UnusableObservationsAreRefusedAndForgotten) {
  struct Observation { std::vector<double> coefficients; double value, weight; };
  const struct { const char* name; Observation first, second; } rows[] = {
      {"nothing usable: unknowns absent", {{kMax, 0.0, kMax}, 1.0, 1.0}, {{0.0, kMax, kMax}, 1.0, 1.0}},
      {"nothing usable: zero weights", {{1.0, 0.0, kMax}, 1.0, 0.0}, {{0.0, 1.0, kMax}, 1.0, 0.0}},
      {"a NaN value", {{1.0, 0.0, kMax}, kNaN, 1.0}, {{0.0, 1.0, kMax}, 1.0, 1.0}},
      {"an infinite weight", {{1.0, 0.0, kMax}, 1.0, kInf}, {{0.0, 1.0, kMax}, 1.0, 1.0}},
      {"finite input whose products overflow", {{1e200, 0.0, kMax}, 1.0, 1.0}, {{0.0, 1.0, kMax}, 1.0, 1.0}},
  };
  EquationAdjust adj(3);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    adj.setObservation(row.first.coefficients, row.first.value, row.first.weight);
    adj.setObservation(row.second.coefficients, row.second.value, row.second.weight);
    EXPECT_FALSE(adj.solve());
  }
  adj.setObservation({1.0, 0.0, kMax}, 4.0);
  adj.setObservation({0.0, 1.0, kMax}, 6.0);
  EXPECT_TRUE(Solves(adj, {4.0, 6.0, 0.0}, 1e-14, 2));
  // Nothing observed since the last solve: refused, the solution kept.
  EXPECT_FALSE(adj.solve());
  EXPECT_NEAR(adj.getXValue(1), 6.0, 1e-14);
}

TEST(EquationSolvers, BadInputThrows) {
  Equation eq(3);
  EquationAdjust adj(3);
  EXPECT_THROW(eq.setRow(0, {1, 2}, 0), ProgError);
  EXPECT_THROW(eq.getXValue(3), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0}, 0.0), ProgError);
  EXPECT_THROW(adj.setObservation({1.0, 2.0, 3.0}, 0.0, -1.0), ProgError);
}

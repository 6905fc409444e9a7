// Equation solvers: a square linear system (EQN::Equation) and a weighted
// linear least-squares problem built from streamed observations
// (EQN::EquationAdjust).
//
// Both report an unsolvable system by a false result from solve(); they throw
// ProgError only for violated preconditions (indices or row sizes out of
// range, a negative weight).
#ifndef ZEM_ADJUST_H
#define ZEM_ADJUST_H

#include <cstddef>
#include <limits>
#include <vector>

#include "zem_base.h"

namespace Zem {
namespace EQN {

/// n linear equations in n unknowns, set row by row and solved with full
/// pivoting. A singular or numerically singular system (rank-revealing test
/// after scaling every row and column to a largest magnitude of 1) is refused:
/// solve() returns false rather than a meaningless solution.
class Equation {
 public:
  /// A system of n equations in n variables, every coefficient and right-hand
  /// side 0 until set. n must be at least 1.
  explicit Equation(unsigned n);

  /// Sets equation i to coefficients·X = rhs. `coefficients` holds n values
  /// and is copied. Throws ProgError when i ≥ n or the size is not n.
  void setRow(unsigned i, const std::vector<double>& coefficients, double rhs);

  /// Solves the system. False when a coefficient or right-hand side is not
  /// finite, the system is (numerically) singular or the solution is not
  /// finite; the previous solution is then kept.
  bool solve();

  /// Variable i of the last successful solve() (0 before any). Throws ProgError
  /// when i ≥ n.
  double getXValue(unsigned i) const;

  unsigned getSize() const { return n_; }

  /// Pivots below this fraction of the largest one, after equilibration,
  /// count as zero.
  static constexpr double kSingularThreshold = 1e-12;

 private:
  unsigned n_;
  std::vector<double> a_;  ///< n×n, row-major
  std::vector<double> b_;
  std::vector<double> x_;
};

/// Weighted linear least squares: minimises Σ weight·(row·X − value)² over the
/// observations added since construction or since the previous solve().
///
/// Observations are folded into the normal equations (AᵀWA, AᵀWb) as they
/// arrive, so memory does not depend on their number, and adding one
/// allocates nothing. Only the upper triangle of the symmetric normal matrix
/// is accumulated. A coefficient equal to kAbsent (the largest finite double)
/// stands for a coefficient that is zero by construction and is skipped.
class EquationAdjust {
 public:
  /// The coefficient value meaning "absent", i.e. 0.
  static constexpr double kAbsent = std::numeric_limits<double>::max();

  /// A problem in n variables (n ≥ 1). All storage is allocated here.
  explicit EquationAdjust(unsigned n);

  /// Adds the observation row·X = value with the given weight (0 or more; it
  /// multiplies the squared residual). `row` holds n coefficients, kAbsent
  /// meaning 0. Throws ProgError when the size of `row` is not n or the weight
  /// is negative. A non-finite value or weight is accepted here and makes the
  /// next solve() return false.
  void setObservation(const std::vector<double>& row, double value, double weight = 1.0);

  /// Adds ready-made sums to the normal equations: `normal` is n×n row-major
  /// of which only the upper triangle (column ≥ row) is read, `rhs` holds n
  /// values, `observations` is how many observations of non-zero weight
  /// they sum. The merge step of an accumulator of sums; nothing is checked here.
  void addNormalSums(const double* normal, const double* rhs, std::size_t observations);

  /// Solves the normal equations of the observations since the previous
  /// solve() and clears them for the next round, whatever the outcome. The
  /// system is equilibrated first (each variable scaled so that the normal
  /// matrix has a unit diagonal), which changes nothing for a full-rank
  /// problem; a rank-deficient one gets the solution of smallest norm in the
  /// equilibrated variables (complete orthogonal decomposition). False when
  /// nothing usable was observed (no observation, or all coefficients or
  /// weights 0), when an accumulated value is not finite, or when the
  /// solution is not finite; the previous solution is then kept.
  bool solve();

  /// Variable i of the last successful solve() (0 before any); repeated calls
  /// give the same value. Throws ProgError when i ≥ n.
  double getXValue(unsigned i) const;
  /// Rank of the equilibrated normal matrix at the last successful solve()
  /// (n before any): below n the problem did not determine every variable.
  unsigned getRank() const { return rank_; }

  unsigned getSize() const { return n_; }

  /// The rank is decided on the equilibrated normal matrix (every variable
  /// scaled so that its diagonal element is 1, see solve()): a pivot at or
  /// below kRankTolerance·√m times the largest one, m being the number of
  /// observations of non-zero weight summed, counts as zero. Each element is
  /// a sum of m rounded products, which leaves it uncertain by about √m·ε
  /// relative: a dependence hidden only by that rounding is recognised,
  /// while columns that are merely small (units, a common weight factor,
  /// weak observations) are not mistaken for one. (A thin triangle, one
  /// point 1e-6 of the size off the line through the others, keeps pivots
  /// near 1e-13.)
  static constexpr double kRankTolerance = 8.0 * std::numeric_limits<double>::epsilon();

 private:
  void clearAccumulation();

  unsigned n_;
  std::vector<double> normal_;      ///< n×n row-major; only the upper triangle (col ≥ row) is used
  std::vector<double> rhs_;         ///< AᵀWb
  std::vector<double> x_;           ///< last solution
  unsigned rank_;                   ///< rank at the last successful solve
  std::vector<unsigned> present_;   ///< scratch of setObservation: indices of present coefficients
  std::vector<double> scale_;       ///< scratch of solve: the equilibrating scale of each variable
  std::size_t observations_{0};
};

}  // namespace EQN
}  // namespace Zem

#endif  // ZEM_ADJUST_H

// The model of the fits with held freedoms and of their statistics,
// internal to the library (fit_model.cpp, fit_held.cpp, fit_statistics.cpp,
// fit_diagnostics.cpp).
//
// Model. A source point p maps to q = s·R·p + T. A step of the fit, and the
// parameters whose covariance the result reports, are a small change applied
// after the current map in the destination frame, about the weighted
// centroid c of the destination points used:
//   q -> (1 + ds)·exp([ω]×)·(q − c) + c + dt,   θ = (dt, ω, ds) ∈ R⁷,
// whose Jacobian at θ = 0 is J = [I, −[q − c]×, q − c] for every pair.
// Measured about c, the columns are nearly orthogonal however far the part
// lies from the origin.
#ifndef ZEM_FIT_MODEL_H
#define ZEM_FIT_MODEL_H

#include <Eigen/Dense>
#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "decompositions.h"
#include "fit_diagnostics.h"
#include "fit_solver.h"  // toEigen, crossMatrix, kDeterminacy

namespace Zem {
namespace fit {

using Point = BaPoint3d<double>;
using Status = FitResult::Status_t;
using Eigen::Matrix3d;
using Eigen::Vector3d;
using Matrix7 = Eigen::Matrix<double, 7, 7>;
using Vector7 = Eigen::Matrix<double, 7, 1>;
using Basis = Eigen::Matrix<double, 7, Eigen::Dynamic, 0, 7, 7>;
using MatrixM = linalg::SmallMatrix;
using VectorM = linalg::SmallVector;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

/// The free parameters, in the order of θ.
struct Freedoms {
  bool free[7];
  int rotationAxis;  ///< 0..2 for a turn about one axis; −1 otherwise
  int count() const { return int(std::count(free, free + 7, true)); }
};

Freedoms freedomsOf(const FitOptions& o);

/// q = s·R·p + T; `angle` is the turn of R when the rotation is about one axis.
struct Pose {
  Matrix3d rotation = Matrix3d::Identity();
  double scale = 1.0;
  Vector3d translation = Vector3d::Zero();
  double angle = 0.0;
  Vector3d map(const Point& p) const { return scale * (rotation * toEigen(p)) + translation; }
};

Pose poseOf(const Transformation& t);
Transformation transformationOf(const Pose& pose);

/// The pairs with their weights and which of them take part.
struct Pairs {
  const PairList& list;
  std::vector<char> used;
  Matrix3d weight(std::size_t i) const {
    if (list.weights.matrices) {
      Matrix3d w;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) w(r, c) = 0.5 * (list.weights.matrices[i].m[r][c] + list.weights.matrices[i].m[c][r]);
      return w;
    }
    if (list.weights.perAxis) return toEigen(list.weights.perAxis[i]).asDiagonal();
    return Matrix3d::Identity();
  }
  std::size_t usedCount() const { return std::size_t(std::count(used.begin(), used.end(), char(1))); }
};

/// The weighted centroid of the destination points used (weight tr(W)/3),
/// and the weighted spread Σ tr(W)·|d − c|² that sets the rounding level.
void centroidOf(const Pairs& pairs, Vector3d* center, double* spread);

/// J = [I, −[q − c]×, q − c] of a mapped point q about the centre c.
Eigen::Matrix<double, 3, 7> jacobian(const Vector3d& q, const Vector3d& center);

/// N = Σ JᵀWJ and g = Σ JᵀWr over the pairs used, and Σ rᵀWr; and, when
/// asked for, G = Σ W·r·(q − c)ᵀ, from which the second-order terms of the
/// rotation and the scale follow (fit_held.cpp).
void normalEquations(const Pairs& pairs, const Pose& pose, const Vector3d& center, Matrix7* n, Vector7* g,
                     double* f, Matrix3d* curvature = nullptr);

/// The turn by `angle` (radians, right-handed) about destination axis `axis`,
/// with the entries of the axis exactly 0 and 1.
Matrix3d axisRotation(int axis, double angle);

/// Σ rᵀWr over the pairs used.
double objective(const Pairs& pairs, const Pose& pose);

/// The pose after the change θ (a 7-vector) about the centre c, held
/// components reset.
Pose applied(const Pose& pose, const Vector7& theta, const Freedoms& fr, const Vector3d& center);

/// The pose as the twelve numbers x = (A's columns, u) of the quadratic of
/// the pairs (fit_kernels.h): q − q₀ = A·(p − p₀) + u with A = s·R.
Vector12 packedOf(const Quadratic& q, const Pose& pose);

/// The second-order part of the Hessian in the seven parameters (see
/// fit_model.cpp), from G = Σ W·r·(q − c)ᵀ (`curvature`) and g.
Matrix7 secondOrder(const Matrix3d& curvature, const Vector7& g7, const Freedoms& fr, const Vector3d& translation,
                    const Vector3d& center);

/// normalEquations from the quadratic of the pairs instead of the pairs, in
/// time independent of their number (see fit_model.cpp).
void normalEquationsOf(const Quadratic& q, const Vector12& x, const Vector3d& center, Matrix7* n, Vector7* g,
                       Matrix3d* curvature);

/// The free directions (see fit_model.cpp) at the translation T.
Basis basisOf(const Freedoms& fr, const Vector3d& translation, const Vector3d& center);

/// Eigen-decomposition of the equilibrated normal matrix of the free
/// parameters: the inverse, the condition number and the weakest freedom.
struct Normal {
  bool regular = false;  ///< whether `inverse` is set
  MatrixM inverse;
  double smallest = 0.0;  ///< smallest eigenvalue, equilibrated
  double condition = 0.0;
  int weakest = 0;  ///< index 0..6 of the freedom of the weakest direction
};

Normal analyse(const Matrix7& n7, const Basis& b, const Freedoms& fr);

/// Minimises Σ rᵀWr over the free directions from *pose (see
/// fit_held.cpp). FIT_DEGENERATE with *weakest set when the pairs do not
/// determine the free set.
Status minimise(const Pairs& pairs, const Freedoms& fr, Pose* pose, double* f, int* weakest);

/// The fit of the pairs used with held freedoms, from the starts.
Status fitHeld(const Pairs& pairs, const Freedoms& fr, const FitOptions& o, Pose* best, int* weakest);

/// Everything the statistics of the pairs need, at one fit.
struct Assessment {
  Normal normal;
  Basis basis;
  Vector3d center;
  double omega = 0.0;  ///< Σ rᵀWr over the pairs used
  double spread = 0.0;
  long redundancy = 0;
  std::vector<double> drop;  ///< per pair: T·sigma² (see fit_statistics.cpp)
  std::vector<int> rank;     ///< per pair: degrees of freedom of the test
};

Assessment assess(const Pairs& pairs, const Freedoms& fr, const Pose& pose);

double chiSquareQuantile(int degrees, double p);

/// Quantiles of chi-square with 1, 2 or 3 degrees of freedom at one
/// probability, worked out once (a quantile costs microseconds).
struct ChiSquareQuantiles {
  double value[4];
  explicit ChiSquareQuantiles(double p) : value{0.0, chiSquareQuantile(1, p), chiSquareQuantile(2, p), chiSquareQuantile(3, p)} {}
};

/// The statistic of pair i (0 when it cannot be tested) and its
/// degrees of freedom of the variance (0: a-priori sigma, or untestable);
/// `sigma` the a-priori sigma, or 0 for the least-squares estimate
/// (leave-one-out for a pair used).
double statisticOf(const Assessment& a, const Pairs& pairs, std::size_t i, double sigma, long* dof);

/// The critical value of a statistic with r degrees of freedom at `alpha`:
/// chi-square (sigma given, dof 0) or r times F(r, dof).
double criticalOf(int r, long dof, double alpha);

/// The median of the drops of the pairs used, each divided by the median of
/// chi-square with its degrees of freedom: a variance of unit weight that a
/// few gross errors do not pull up.
double robustVariance(const Assessment& a, const Pairs& pairs);

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_MODEL_H

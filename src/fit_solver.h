// The optimum of the best fit from its quadratic (fit_kernels.h), internal
// to the library: closed-form start, safeguarded Newton iteration on the
// rotation manifold, determinacy (see fit_solver.cpp for the method).
#ifndef ZEM_FIT_SOLVER_H
#define ZEM_FIT_SOLVER_H

#include <Eigen/Core>
#include <limits>
#include <vector>

#include "fit_kernels.h"
#include "math_transformation.h"

namespace Zem {
namespace fit {

inline Eigen::Vector3d toEigen(const BaVec3d<double>& v) { return Eigen::Vector3d(v.x, v.y, v.z); }

/// [v]×: the matrix of the cross product v × ·.
inline Eigen::Matrix3d crossMatrix(const Eigen::Vector3d& v) {
  Eigen::Matrix3d m;
  m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return m;
}

/// The smallest eigenvalue of the equilibrated Gauss-Newton matrix that
/// counts as determined, for the free fit and for a fit with held freedoms.
/// The moments are exact to a few ε of their size (compensated sums), so
/// that an eigenvalue of a few ε is rounding: the weighted points then lie
/// on a line (or a point) up to the precision of the arithmetic. A thin part
/// whose cross-section is 1e-7 of its length has eigenvalues near
/// 1e-14 = 45ε and counts as determined.
constexpr double kDeterminacy = 8.0 * std::numeric_limits<double>::epsilon();

/// Above this determinacy a fit counts as well determined and its exact
/// value is not computed (Solution::determinacy): the optimum found from the
/// moments needs no refinement from the residuals (fit_engine.cpp).
constexpr double kWellDetermined = 1e-5;

/// The 59 turns of an icosahedron onto itself other than the identity: a
/// grid over all rotations, every rotation within 45° of one of them or of
/// the identity. Starts for fits whose weights differ between axes.
const std::vector<Eigen::Matrix3d>& rotationGrid();

/// An estimate b ≈ A·a + u with A = s·R.
struct Estimate {
  Eigen::Matrix3d rotation;
  double scale;
  Eigen::Vector3d u;
  Eigen::Matrix3d affine() const { return scale * rotation; }
  Vector12 packed() const {
    Vector12 x;
    const Eigen::Matrix3d a = affine();
    for (int k = 0; k < 3; ++k) x.segment<3>(3 * k) = a.col(k);
    x.segment<3>(9) = u;
    return x;
  }
};

/// The optimum from the moments: closed form, Newton iteration, determinacy.
struct Solution {
  Estimate estimate;
  Eigen::Vector3d centroid;  ///< ā
  /// The smallest eigenvalue of the equilibrated normal matrix, or
  /// kWellDetermined when it is larger.
  double determinacy = 0.0;
};

/// The optimum of q, the scale estimated when withScale, else fixed at
/// `scale`. Degenerate when the weighted pairs do not determine it (see
/// kDeterminacy).
FitResult::Status_t solve(const Quadratic& q, bool withScale, double scale, Solution* out);

/// s turned half round about the long axis of the weighted source points,
/// through their centroid: for a bar too thin for the moments to tell its
/// roll, the other candidate.
Estimate rolledHalfRound(const Quadratic& q, const Solution& s);

/// The Newton step from s with the moments' Hessian (Gauss-Newton's where
/// the second-order terms make it indefinite) and the gradient ∇_x F and
/// objective F taken from the residuals, times `length`. False when no
/// step is defined or it would gain less than rounding.
bool newtonStep(const Quadratic& q, bool withScale, const Solution& s, const Vector12& gradX, double f,
                double length, Estimate* next);

/// The transformation of an estimate about the reference pair:
/// q = A·(p − p₀) + u + q₀ = s·R·p + T, stored as set(T/s, angles of R, s).
FitResult::Status_t toTransformation(const Quadratic& q, const Estimate& e, Transformation* result);

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_SOLVER_H

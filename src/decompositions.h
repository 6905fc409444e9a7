// Internal: the dense decompositions that several fits use, each compiled
// once here (an Eigen decomposition is a large template; every file that
// instantiates one pays for it again).
#ifndef ZEM_DECOMPOSITIONS_H
#define ZEM_DECOMPOSITIONS_H

#include <Eigen/Core>

namespace Zem {
namespace linalg {

/// Square matrices and vectors of at most seven rows: the normal equations
/// of a similarity's seven parameters, or of fewer when some are held.
using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 7, 7>;
using SmallVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 7, 1>;

/// M = U·diag(singular)·Vᵀ, singular values descending (Jacobi SVD: accurate
/// to the rounding of M's entries).
struct Svd3 {
  Eigen::Matrix3d u, v;
  Eigen::Vector3d singular;
};
Svd3 svd(const Eigen::Matrix3d& m);

/// The rotation nearest to m, the orthogonal factor of its polar
/// decomposition m = R·S (S symmetric positive definite), by Higham's scaled
/// Newton iteration R ← ½(γ·R + (γ·R)⁻ᵀ): a few 3x3 inverses, a small part
/// of svd's cost. False where det m is not positive (the nearest
/// orthogonal matrix is then no rotation) or the iteration does not settle
/// (m nearly singular): svd then gives the answer.
bool nearestRotation(const Eigen::Matrix3d& m, Eigen::Matrix3d* r);

/// Eigenvalues (ascending) and unit eigenvectors (columns, in the same
/// order) of the symmetric matrix a, which is read from its lower triangle.
void symmetricEigen(const Eigen::Matrix3d& a, Eigen::Vector3d* values, Eigen::Matrix3d* vectors);
/// The same for a small matrix; vectors may be null when only the values
/// are wanted (cheaper).
void symmetricEigen(const SmallMatrix& a, SmallVector* values, SmallMatrix* vectors);

/// The solution of a·x = b through the LDLᵀ factor of the symmetric a.
struct LdltSolution {
  SmallVector x;
  /// The factorisation succeeded and found a positive semi-definite.
  bool semiDefinite = false;
  /// D's smallest entry: above 0 when a is positive definite.
  double smallestPivot = 0.0;
};
LdltSolution solveLdlt(const SmallMatrix& a, const SmallVector& b);

}  // namespace linalg
}  // namespace Zem

#endif  // ZEM_DECOMPOSITIONS_H

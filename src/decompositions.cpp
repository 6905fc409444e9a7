#include "decompositions.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <Eigen/SVD>

namespace Zem {
namespace linalg {

Svd3 svd(const Eigen::Matrix3d& m) {
  const Eigen::JacobiSVD<Eigen::Matrix3d> s(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  return {s.matrixU(), s.matrixV(), s.singularValues()};
}

void symmetricEigen(const Eigen::Matrix3d& a, Eigen::Vector3d* values, Eigen::Matrix3d* vectors) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(a);
  *values = eigen.eigenvalues();
  *vectors = eigen.eigenvectors();
}

void symmetricEigen(const SmallMatrix& a, SmallVector* values, SmallMatrix* vectors) {
  const Eigen::SelfAdjointEigenSolver<SmallMatrix> eigen(a, vectors ? Eigen::ComputeEigenvectors
                                                                     : Eigen::EigenvaluesOnly);
  *values = eigen.eigenvalues();
  if (vectors) *vectors = eigen.eigenvectors();
}

LdltSolution solveLdlt(const SmallMatrix& a, const SmallVector& b) {
  const Eigen::LDLT<SmallMatrix> ldlt(a);
  LdltSolution out;
  out.semiDefinite = ldlt.info() == Eigen::Success && ldlt.isPositive();
  out.smallestPivot = a.rows() > 0 ? ldlt.vectorD().minCoeff() : 0.0;
  out.x = ldlt.solve(b);
  return out;
}

}  // namespace linalg
}  // namespace Zem

// Internal: what the element fits share: the points centred and scaled on
// their own spread, their principal axes, the degeneracy tolerance,
// orientation rules and the residual summary.
#ifndef ZEM_FEATURE_COMMON_H
#define ZEM_FEATURE_COMMON_H

#include <Eigen/Dense>

#include <cstddef>
#include <vector>

#include "math_features.h"

namespace Zem {
namespace feature {

inline Eigen::Vector3d toEigen(const BaVec3d<double>& v) { return Eigen::Vector3d(v.x, v.y, v.z); }
inline BaVec3d<double> fromEigen(const Eigen::Vector3d& v) { return BaVec3d<double>(v.x(), v.y(), v.z()); }

/// The points as q = (p − mean) / scale, scale the RMS distance of the
/// points from their centroid, with the principal axes of q.
struct Cloud {
  Eigen::Matrix3Xd q;
  Eigen::Vector3d mean;
  double scale = 0.0;
  Eigen::Vector3d values;   ///< eigenvalues of the covariance of q, ascending; their sum is 1
  Eigen::Matrix3d vectors;  ///< the matching unit eigenvectors, as columns
  /// Eigenvalue at or below which the points count as flat along its axis:
  /// what rounding of the coordinates and of the eigenvalues can leave of a
  /// genuinely flat set (flatEigenvalue).
  double flat = 0.0;

  bool isFlat(int axis) const { return values(axis) <= flat; }
};

/// The eigenvalue threshold of Cloud::flat for points whose coordinates
/// reach `magnitude` and spread by `scale` (RMS distance from the centroid).
/// Relative eigenvalues (their sum 1) carry rounding of a few 1e-16 from
/// the solver and the moments; the coordinates' own rounding, about
/// ε·magnitude/scale relative, enters a small eigenvalue squared. Two
/// eigenvalues closer than this cannot be told apart either.
double flatEigenvalue(double magnitude, double scale);

/// Checks count and finiteness, then fills *cloud. Returns FEATURE_SUCCEEDED
/// or the failure (with *degeneracy set for coinciding points).
FeatureFit::Status_t makeCloud(const FeaturePoints& points, std::size_t minimum, Cloud* cloud,
                               FeatureFit::Degeneracy_t* degeneracy);

/// Two unit vectors that make (u, v, n) a right-handed orthonormal frame.
void perpendicularPair(const Eigen::Vector3d& n, Eigen::Vector3d* u, Eigen::Vector3d* v);

/// The centre (a, b) and radius of the algebraic circle through the 2D
/// points (q·u, q·v); false when there is none.
bool algebraicCircle(const Eigen::Matrix3Xd& q, const Eigen::Vector3d& u, const Eigen::Vector3d& v,
                     Eigen::Vector2d* center, double* radius);

/// n or −n, oriented by the hint, else the right-hand order of the first
/// three points, else that of the whole sequence about `mean`, else its
/// largest component positive (the rules of math_features.h).
Eigen::Vector3d orientNormal(const Eigen::Vector3d& n, const FeaturePoints& points, const Eigen::Vector3d& mean,
                             const BaVec3d<double>& hint);
/// d or −d, oriented by the hint, else from the first point to the last,
/// else its largest component positive.
Eigen::Vector3d orientDirection(const Eigen::Vector3d& d, const FeaturePoints& points, const BaVec3d<double>& hint);

/// rms and form from fit->residuals (form as max − min).
void summarise(FeatureFit* fit);

/// Sets the failure; the element's values stay at their defaults.
inline void fail(FeatureFit* fit, FeatureFit::Status_t status,
                 FeatureFit::Degeneracy_t degeneracy = FeatureFit::DEGENERACY_NONE) {
  fit->status = status;
  fit->degeneracy = degeneracy;
  fit->residuals.clear();
  fit->rms = fit->form = 0.0;
}

}  // namespace feature
}  // namespace Zem

#endif  // ZEM_FEATURE_COMMON_H

// Geometric elements fitted to probed points: line, plane, circle in 3D,
// sphere and cylinder, each by orthogonal-distance least squares (the
// Gaussian fit): the element minimises the sum of the squared shortest
// distances of the points from it.
//
// Units are those of the points (mm in this library's callers); directions
// are unit vectors. A fit never throws: its result tells success or why it
// failed, and on failure holds no element (zero vectors, radius 0, no
// residuals).
//
// Minimum number of points: line 2, plane 3, circle 3, sphere 4, cylinder 5.
//
// Residual of a point (signed orthogonal distance, same unit as the points):
//     line      its distance from the line (no sign exists in 3D: >= 0)
//     plane     (p − point)·normal: positive on the side the normal points to
//     circle    ±√(h² + (ρ − r)²), the distance from the circle, h the height
//               above the circle's plane, ρ the distance from the axis
//               through the centre along the normal; + where ρ >= r (outside)
//     sphere    |p − centre| − radius: positive outside
//     cylinder  (distance from the axis) − radius: positive outside
// rms  = √(Σ residual² / N);
// form = largest residual − smallest residual; for the line, whose residuals
//        carry no sign, twice the largest distance (the diameter of the
//        zone about the fitted line that holds every point).
//
// Orientation (so that results are reproducible):
//   - plane and circle normal: along `normalHint` when one is given (not
//     zero and not perpendicular to the normal); otherwise the right-hand
//     order of the first three points, n·((p1 − p0) × (p2 − p0)) > 0; when
//     those three are (nearly) on one line, the right-hand order of the
//     whole sequence, n·Σ (p_i − m) × (p_{i+1} − m) > 0 (m the centroid,
//     the last point followed by the first); failing that, the largest
//     component of n positive;
//   - line direction and cylinder axis: along the hint when one is given;
//     otherwise from the first point towards the last, d·(p_last − p_0) > 0;
//     failing that, the largest component positive.
//
// Degenerate input fails with a reason instead of giving an arbitrary
// element: all points coinciding (every element), points on one line
// (plane, circle, sphere, cylinder), points in one plane (sphere, whose
// centre could lie on either side, and so points on one circle; cylinder),
// points spread equally in two directions (line: no single direction),
// points spread equally about a line (plane: no single normal), and points
// that leave the element undetermined otherwise (the distances do not
// change to first order along some change of the element). These decisions
// are relative to the points' own spread: they do not change with the unit,
// the position or the orientation of the part.
//
// Method: the points are taken relative to their centroid and divided by
// their RMS distance from it, so that a small element far from the origin
// loses no digits. Line and plane follow in closed form from the
// eigenvectors of the covariance (one pass for the moments, one for the
// residuals). Circle, sphere and cylinder start from closed forms
// (covariance, algebraic circle and sphere fits) and are iterated by
// Levenberg-Marquardt on the orthogonal distances with analytic Jacobians
// until the step is at rounding level. The cylinder starts from the caller's
// axis hint when one is given and from each principal direction of the
// points, and keeps the best result: long cylinders (length above about
// four radii) and short full ones need no hint.
//
// Line and plane passes run four points at a time with fused multiply-adds
// on processors with AVX2 and FMA, and over up to 8 threads for more than
// 131,072 points, in chunks of 65,536 summed in order: results differ from
// other processors' by rounding only and do not depend on the number of
// threads (ZEM_PORTABLE_KERNELS and ZEM_THREADS: see math_fit_result.h).
#ifndef ZEM_MATH_FEATURES_H
#define ZEM_MATH_FEATURES_H

#include <cstddef>
#include <vector>

#include "math_types.h"
#include "zem_math.h"

namespace Zem {

/// The probed points of one element, without a copy: a vector of vectors, a
/// vector of identified points (their ids are not read), or packed
/// x, y, z triples. The points must outlive the view.
class FeaturePoints {
 public:
  FeaturePoints(const std::vector<BaVec3d<double>>& points) : vectors_(points.data()), count_(points.size()) {}
  FeaturePoints(const std::vector<BaPoint3d<double>>& points) : points_(points.data()), count_(points.size()) {}
  /// `count` points stored as x0 y0 z0 x1 y1 z1 ...
  FeaturePoints(const double* xyz, std::size_t count) : packed_(xyz), count_(count) {}

  std::size_t size() const { return count_; }
  BaVec3d<double> operator[](std::size_t i) const {
    if (vectors_) return vectors_[i];
    if (points_) return points_[i];
    return BaVec3d<double>(packed_[3 * i], packed_[3 * i + 1], packed_[3 * i + 2]);
  }

  /// Calls f(accessor) once, with an accessor of the points' own layout
  /// (i -> BaVec3d<double>, a reference where the points hold one), so that
  /// a loop over many points is compiled for that layout.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (vectors_) return f([p = vectors_](std::size_t i) -> const BaVec3d<double>& { return p[i]; });
    if (points_) return f([p = points_](std::size_t i) -> const BaVec3d<double>& { return p[i]; });
    return f([p = packed_](std::size_t i) { return BaVec3d<double>(p[3 * i], p[3 * i + 1], p[3 * i + 2]); });
  }

  /// The storage, for passes that read it directly: the points when they are
  /// BaPoint3d, else null; packed x, y, z (BaVec3d points are stored so too)
  /// when they are not.
  const BaPoint3d<double>* pointData() const { return points_; }
  const double* packedData() const { return vectors_ != nullptr ? &vectors_->x : packed_; }

 private:
  const BaVec3d<double>* vectors_ = nullptr;
  const BaPoint3d<double>* points_ = nullptr;
  const double* packed_ = nullptr;
  std::size_t count_ = 0;
};

/// What every fit reports besides its element.
struct FeatureFit {
  enum Status_t {
    FEATURE_SUCCEEDED = 0,
    FEATURE_TOO_FEW_POINTS = 1,  ///< fewer points than the element needs
    FEATURE_DEGENERATE = 2,      ///< the points do not fix the element; `degeneracy` says why
    FEATURE_NOT_FINITE = 3,      ///< a coordinate is infinite or NaN, or the arithmetic overflowed
    FEATURE_NOT_CONVERGED = 4,   ///< the iteration found no minimum (the element runs off to infinity)
  };
  enum Degeneracy_t {
    DEGENERACY_NONE = 0,
    DEGENERACY_COINCIDENT = 1,    ///< all points coincide
    DEGENERACY_COLLINEAR = 2,     ///< the points lie on one line
    DEGENERACY_COPLANAR = 3,      ///< the points lie in one plane (sphere, cylinder)
    DEGENERACY_NO_DIRECTION = 4,  ///< line: the points spread equally in two directions
    DEGENERACY_NO_NORMAL = 5,     ///< plane: the points spread equally about a line
    DEGENERACY_UNDETERMINED = 6,  ///< the element can change without changing the distances
  };

  bool isSucceeded() const { return status == FEATURE_SUCCEEDED; }
  /// "succeeded", "too few points", "degenerate: the points lie on one
  /// line", ... (English, fixed texts).
  const char* getStatusText() const;

  Status_t status = FEATURE_TOO_FEW_POINTS;
  Degeneracy_t degeneracy = DEGENERACY_NONE;
  /// Each point's signed orthogonal residual, in input order (empty on failure).
  std::vector<double> residuals;
  double rms = 0.0;
  double form = 0.0;
  /// Iterations of the damped least-squares search (0 for line and plane).
  int iterations = 0;
  /// The number of points the element needs (for the status text).
  int minimumPoints = 0;
};

/// A line: the point of the line nearest the centroid (the centroid itself)
/// and the unit direction.
struct LineFit : FeatureFit {
  BaVec3d<double> point;
  BaVec3d<double> direction;
  Line3d toLine3d() const { return Line3d(point, direction); }
};

/// A plane: the centroid of the points and the unit normal.
struct PlaneFit : FeatureFit {
  BaVec3d<double> point;
  BaVec3d<double> normal;
  /// a, b, c = the unit normal, d = −normal·point.
  Plane3d toPlane3d() const { return Plane3d(normal, point); }
};

/// A circle in 3D: centre, unit normal of its plane, radius (> 0). Its plane
/// is fitted with it, not before it.
struct CircleFit : FeatureFit {
  BaVec3d<double> center;
  BaVec3d<double> normal;
  double radius = 0.0;
  Plane3d toPlane3d() const { return Plane3d(normal, center); }
};

/// A sphere: centre and radius (> 0).
struct SphereFit : FeatureFit {
  BaVec3d<double> center;
  double radius = 0.0;
};

/// A cylinder: the point of the axis nearest the centroid of the points, the
/// unit axis direction and the radius (> 0).
struct CylinderFit : FeatureFit {
  BaVec3d<double> point;
  BaVec3d<double> axis;
  double radius = 0.0;
  Line3d toLine3d() const { return Line3d(point, axis); }
};

/// A zero hint means none. A hint only orients the result (and, for the
/// cylinder, is a start for its axis); it never changes the element.
LineFit fitLine(const FeaturePoints& points, const BaVec3d<double>& directionHint = BaVec3d<double>());
PlaneFit fitPlane(const FeaturePoints& points, const BaVec3d<double>& normalHint = BaVec3d<double>());
CircleFit fitCircle(const FeaturePoints& points, const BaVec3d<double>& normalHint = BaVec3d<double>());
SphereFit fitSphere(const FeaturePoints& points);
/// `axisHint`: an approximate axis direction (needed only for short partial
/// cylinders, where the points alone suggest no axis).
CylinderFit fitCylinder(const FeaturePoints& points, const BaVec3d<double>& axisHint = BaVec3d<double>());

}  // namespace Zem

#endif  // ZEM_MATH_FEATURES_H

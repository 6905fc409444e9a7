// The outcome of a best fit of two point sets, for callers who need more
// than the mean residual: why a fit failed, and every pair's deviation.
//
// The fit is that of Transformation::computeTransformation and its
// siblings (the same pairing, method and result, bit for bit): the
// transformation T carries each source point s onto its destination point d
// in the weighted least-squares sense, d ≈ T·s: it minimises Σ rᵀ·W·r over
// the pairs, r = T·s − d and W the pair's weight (the identity, diag(wx, wy,
// wz) from a weight point, or a FitWeightMatrix). Whenever the weighted pairs
// determine the transformation the result is that optimum: in closed form
// when each pair weighs its three axes alike; with weights that differ
// between axes, where Σ rᵀ·W·r can have other minima, the minimum reached
// from the closed form when a bound proves it the lowest (as for residuals
// small against the part), else the lowest of the minima reached from
// several starts spread over all rotations. A pair's
// residual is T·s − d (mm, in the destination frame), its distance |T·s − d|.
//
// Processors. On processors with AVX2 and FMA the passes over the pairs
// take four at a time with fused multiply-adds; results then differ from
// those of other processors by rounding only (a few ε of the coordinates).
// With the environment variable ZEM_PORTABLE_KERNELS=1 a process uses the
// same passes on every x86-64 processor, and its results are identical.
//
// Threads. Passes over more than 131,072 pairs (the moments, the mean
// residual, pairing by identifier) are cut into chunks of 65,536 pairs,
// spread over up to 8 threads and summed in chunk order, so that results do
// not depend on the number of threads. ZEM_THREADS=N in the environment (1
// to 64) sets that number; ZEM_THREADS=1 keeps every pass in the calling
// thread.
#ifndef ZEM_MATH_FIT_RESULT_H
#define ZEM_MATH_FIT_RESULT_H

#include <cstddef>
#include <vector>

#include "math_transformation.h"
#include "math_types.h"

namespace Zem {

/// Which rotation a fit may find: any, a turn about one axis of the
/// destination frame only, or none (the identity).
enum class FitRotation { Free, AboutX, AboutY, AboutZ, None };

/// How a fit of FitResult runs and what it reports.
///
/// Held freedoms. A fit with a rotation other than Free, or a translation
/// component not free, minimises over the free parameters only: a fixed
/// translation component is 0, a fixed rotation the identity or a turn about
/// the chosen axis. A free set that the weighted pairs do not determine
/// fails as FIT_DEGENERATE with FitResult::undetermined naming the freedom;
/// so does an estimated scale whose best value is 0 (the weighted sum of
/// squares falling all the way to where every point maps to one, as when the
/// destination is the source turned through a point and the rotation is held).
/// The minimisation runs from several starts and reports the lowest optimum
/// it reaches; one that does not reach an optimum within its iteration limit
/// fails as FIT_NOT_CONVERGED rather than report where it stopped.
///
/// Gross errors. With `reject` the fit sets aside, one at a time, the pair
/// whose statistic (see FitResult::statistics) exceeds the critical value of
/// significance `alpha` the most, refits, and repeats; the pairs set aside
/// are then tested against the final fit and those that pass are taken
/// back. It keeps at least the pairs the free parameters need plus one and
/// sets aside at most half of the pairs.
struct FitOptions {
  /// The scale is estimated when true, else fixed at `scale`.
  bool withScale = false;
  double scale = 1.0;
  /// Whether a successful fit also fills residuals, distances, mean, rms and
  /// largest (one more pass over the pairs and two vectors of N values);
  /// without them it gives the status, the transformation, the pair count
  /// and meanWeighted.
  bool residuals = true;
  /// Whether the fit gives the diagnostics of FitResult (covariance,
  /// sigma0, statistics, ...). They cost passes over the pairs that a plain
  /// fit does not make, so they are computed only when asked for here or
  /// when `reject` needs them.
  bool diagnostics = false;
  /// The rotation freedom.
  FitRotation rotation = FitRotation::Free;
  /// Whether the translation along the destination X, Y and Z axes is free.
  bool translation[3] = {true, true, true};
  /// The a-priori standard deviation of unit weight (mm) of the diagnostics
  /// and the rejection; 0 means unknown: estimated from the residuals.
  double sigma = 0.0;
  /// Set gross errors aside (see above) at significance level `alpha`.
  bool reject = false;
  double alpha = 0.001;
};

/// A 3x3 covariance matrix, m[row][col], in mm² in the destination frame.
struct FitCovariance3 {
  double m[3][3];
};

/// The weight of one pair's residual r = T·s − d as a symmetric positive
/// semi-definite 3x3 matrix W, m[row][col]: the pair adds rᵀ·W·r to the
/// weighted sum of squares that the fit minimises (only the symmetric part
/// (W + Wᵀ)/2 counts). Per-axis weights (wx, wy, wz) are W = diag(wx, wy, wz);
/// a weight w along a unit surface normal n is W = w·n·nᵀ, which counts only
/// the deviation along the normal.
struct FitWeightMatrix {
  double m[3][3];
};

struct FitResult {
  enum Status_t {
    FIT_SUCCEEDED = 0,
    FIT_TOO_FEW_PAIRS = 1,      ///< fewer than three pairs
    FIT_DEGENERATE = 2,         ///< the pairs do not fix the transformation: points on one line or coincident
    FIT_NOT_FINITE = 3,         ///< a paired coordinate or weight is infinite or NaN
    FIT_NEGATIVE_WEIGHT = 4,    ///< a weight of a pair is below 0 (a weight matrix is not positive semi-definite)
    FIT_NOT_CONVERGED = 5,      ///< the arithmetic of the fit overflowed (finite data beyond the range of doubles),
                                ///< or a fit with held freedoms reached no optimum (see FitOptions)
    FIT_AMBIGUOUS_PAIRING = 6,  ///< repeated identifiers gave more pairs than a set has points
  };

  /// Pairs by identifier, as computeWeightedTransformation does: each
  /// source point with every destination point of the same id (−1 never
  /// pairs), in source order; a pair's weights are the first weight point
  /// with its id, else (1, 1, 1). An empty weight list means unit weights.
  /// The scale is estimated when withScale is true, else fixed at `scale`.
  static FitResult fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                           const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale = 1.0);
  /// Pairs by position: src[i] with dst[i] and weights[i] (or unit weights
  /// when `weights` is empty). Throws ProgError, as
  /// computeTransformationNoId does, when the sizes differ and there are at
  /// least three source points.
  static FitResult fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                 const std::vector<BaPoint3d<double>>& dst,
                                 const std::vector<BaPoint3d<double>>& weights, bool withScale,
                                 double scale = 1.0);
  /// The same two fits with the scale and the report chosen by `options`.
  static FitResult fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                           const std::vector<BaPoint3d<double>>& weights, const FitOptions& options);
  static FitResult fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                 const std::vector<BaPoint3d<double>>& dst,
                                 const std::vector<BaPoint3d<double>>& weights, const FitOptions& options);
  /// Pairs by position with a weight matrix per pair (weights[i] for pair i;
  /// an empty list means unit weights). Throws ProgError as the other
  /// fitByPosition does.
  static FitResult fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                 const std::vector<BaPoint3d<double>>& dst,
                                 const std::vector<FitWeightMatrix>& weights, const FitOptions& options);

  /// A short English description of a status ("points on one line or coincident").
  static const char* getStatusText(Status_t status);

  bool isSucceeded() const { return status == FIT_SUCCEEDED; }

  Status_t status = FIT_TOO_FEW_PAIRS;
  /// The fitted transformation; the identity when the fit failed.
  Transformation transformation = Transformation::identity();
  /// Number of pairs formed (also on failure).
  std::size_t pairCount = 0;
  /// The rest is filled only on success (the vectors and figures only when
  /// FitOptions::residuals asks for them), pair by pair in pairing order:
  /// T·s − d, with the source point's id. With pairs set aside, mean, rms,
  /// largest and meanWeighted are those of the pairs used.
  std::vector<BaPoint3d<double>> residuals;
  /// |T·s − d| of each pair.
  std::vector<double> distances;
  double mean = 0.0;     ///< mean distance
  double rms = 0.0;      ///< root of the mean squared distance
  double largest = 0.0;  ///< largest distance
  /// The mean weighted residual that the fit functions of Transformation
  /// return: (1/N)·Σ |W·(T·s − d)| (|w ∘ (T·s − d)| for weight points);
  /// equal to `mean` for unit weights.
  double meanWeighted = 0.0;

  /// The freedom that the weighted pairs leave undetermined when the status
  /// is FIT_DEGENERATE and held freedoms were asked for ("rotation about Z",
  /// "translation in X", "scale"); else nullptr.
  const char* undetermined = nullptr;

  /// Diagnostics, filled on success when FitOptions::diagnostics or
  /// FitOptions::reject is set (else left empty: statistics.empty()).
  ///
  /// Parameters. A small change applied after the result, in the destination
  /// frame, q -> (1 + ds)·exp([ω]×)·(q − c) + c + dt about `center` c: dt in
  /// mm, ω in radians, ds relative. `covariance` is that of
  /// (dtx, dty, dtz, ωx, ωy, ωz, ds): sigma²·(JᵀWJ)⁻¹ on the free parameters,
  /// sigma the a-priori one when given, else sigma0. Rows and columns of a
  /// held rotation axis or a fixed scale are 0; those of a fixed translation
  /// component are 0 unless a free turn or scale about c moves it (then they
  /// carry the translation that keeps the component at 0).
  double covariance[7][7] = {};
  /// The weighted centroid of the destination points of the pairs used
  /// (each pair weighs tr(W)/3).
  BaVec3d<double> center;
  /// Standard deviation of unit weight from the residuals, sqrt(Σ rᵀWr /
  /// redundancy), over the pairs used; NaN when the redundancy is 0.
  double sigma0 = 0.0;
  /// Observations (the rank of each used pair's weight: 3 for a regular W,
  /// 1 for a weight along a normal) minus free parameters.
  long redundancy = 0;
  /// Condition number of the normal matrix of the free parameters,
  /// equilibrated to a unit diagonal.
  double condition = 0.0;
  /// Per pair, in pairing order: T = vᵀ·Q_vv⁻¹·v / sigma² of its residual v.
  /// For a pair used, Q_vv is its cofactor block and, with sigma estimated,
  /// sigma² the variance of unit weight without that pair (so that one gross
  /// error cannot hide itself); for a pair set aside, the same test of its
  /// prediction by the final fit. Under normal errors T follows chi-square
  /// with rank(W) degrees of freedom (sigma given), or rank(W) times an F
  /// distribution (sigma estimated). 0 for a pair that cannot be tested.
  std::vector<double> statistics;
  /// Per pair: whether it was set aside as a gross error.
  std::vector<bool> rejected;
  /// The number of pairs used (pairCount minus those set aside).
  std::size_t usedCount = 0;

  /// The 3x3 covariance of the image T·p of a point p (mm²), from
  /// `covariance` and `center`.
  FitCovariance3 pointCovariance(const BaVec3d<double>& p) const;
};

}  // namespace Zem

#endif  // ZEM_MATH_FIT_RESULT_H

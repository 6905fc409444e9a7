// FitResult: the best fit with the reason of a failure and, on request, the
// residual of every pair.
#include "math_fit_result.h"

#include <algorithm>
#include <cmath>

#include "fit_engine.h"
#include "fit_pairing.h"
#include "zem_base.h"

namespace Zem {

namespace {

using Point = BaPoint3d<double>;
using Vec = BaVec3d<double>;

bool allFinite(const Point* points, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || !std::isfinite(points[i].z)) return false;
  return true;
}

/// Fills the per-pair residuals and the figures of a successful fit.
void addResiduals(const Point* src, const Point* dst, std::size_t n, FitResult* r) {
  r->residuals.resize(n);
  r->distances.resize(n);
  double sum = 0.0, sumSquares = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vec d = r->transformation.transformPoint(static_cast<const Vec&>(src[i])) - dst[i];
    r->residuals[i] = Point(d, src[i].id);
    const double squared = d.lengthSquared();
    const double distance = std::sqrt(squared);
    r->distances[i] = distance;
    sum += distance;
    sumSquares += squared;
    r->largest = std::max(r->largest, distance);
  }
  r->mean = sum / double(n);
  r->rms = std::sqrt(sumSquares / double(n));
}

/// The fit of n pairs by position with what `options` asks for.
FitResult fitWithResult(const Point* src, const Point* dst, const Point* weights, std::size_t n,
                        const FitOptions& options) {
  FitResult r;
  r.pairCount = n;
  if (n < 3) return r;  // FIT_TOO_FEW_PAIRS
  if (!allFinite(src, n) || !allFinite(dst, n) || (weights && !allFinite(weights, n))) {
    r.status = FitResult::FIT_NOT_FINITE;
    return r;
  }
  Transformation fitted;
  double meanWeighted = 0.0;
  r.status = fit::fitPairs(src, dst, weights, n, options.withScale, options.scale, &fitted, &meanWeighted);
  if (!r.isSucceeded()) return r;
  r.transformation = fitted;
  r.meanWeighted = meanWeighted;
  if (options.residuals) addResiduals(src, dst, n, &r);
  return r;
}

}  // namespace

FitResult FitResult::fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                             const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale) {
  return fitById(src, dst, weights, FitOptions{withScale, scale, true});
}

FitResult FitResult::fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst,
                                   const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale) {
  return fitByPosition(src, dst, weights, FitOptions{withScale, scale, true});
}

FitResult FitResult::fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                             const std::vector<BaPoint3d<double>>& weights, const FitOptions& options) {
  fit::IdPairs pairs;
  if (!fit::gatherById(src, dst, weights, &pairs)) {
    FitResult r;
    r.status = FIT_AMBIGUOUS_PAIRING;
    r.pairCount = pairs.count;
    return r;
  }
  return fitWithResult(pairs.src, pairs.pairedDst.data(), pairs.weights(), pairs.count, options);
}

FitResult FitResult::fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst,
                                   const std::vector<BaPoint3d<double>>& weights, const FitOptions& options) {
  // The same order of tests as computeTransformationNoId: the count first.
  if (src.size() >= 3 && (dst.size() != src.size() || (!weights.empty() && weights.size() != src.size())))
    throw ProgError("Zem::FitResult::fitByPosition", "math_fit_result", __LINE__, "Ungleiche Punktemengen");
  return fitWithResult(src.data(), dst.data(), weights.empty() ? nullptr : weights.data(), src.size(), options);
}

const char* FitResult::getStatusText(Status_t status) {
  switch (status) {
    case FIT_SUCCEEDED: return "succeeded";
    case FIT_TOO_FEW_PAIRS: return "fewer than three pairs";
    case FIT_DEGENERATE: return "points on one line or coincident";
    case FIT_NOT_FINITE: return "non-finite data";
    case FIT_NEGATIVE_WEIGHT: return "negative weight";
    case FIT_NOT_CONVERGED: return "did not converge";
    case FIT_AMBIGUOUS_PAIRING: return "repeated identifiers give more pairs than points";
  }
  return "unknown status";
}

}  // namespace Zem

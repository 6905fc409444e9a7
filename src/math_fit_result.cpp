// FitResult: the best fit with the reason of a failure and, on request, the
// residual of every pair.
#include "math_fit_result.h"

#include <algorithm>
#include <cmath>

#include "fit_diagnostics.h"
#include "fit_engine.h"
#include "fit_gather.h"
#include "fit_pairing.h"
#include "kernels_avx2.h"
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

/// Fills the per-pair residuals and the figures of a successful fit (those
/// of the pairs used when some were set aside). The residuals go through a
/// small buffer and are appended from it: vectors sized first would write
/// every residual twice (the default values, then the residual).
void addResiduals(const Point* src, const Point* dst, std::size_t n, FitResult* r) {
  r->residuals.clear();
  r->residuals.reserve(n);
  r->distances.clear();
  r->distances.reserve(n);
  const Transformation t = r->transformation;
  double m[3][4];  // the rows of t, scale included
  for (unsigned row = 0; row < 3; ++row)
    for (unsigned c = 0; c < 4; ++c) m[row][c] = t.getMatrix(c, row) / t.getMatrix(3, 3);
  const std::vector<bool>& rejected = r->rejected;
  const bool wide = rejected.empty() && avx2::enabled();
  double sums[3] = {0.0, 0.0, r->largest};  // Σ distance, Σ distance², the largest
  std::size_t used = 0;
  constexpr std::size_t kBuffer = 256;  // a multiple of 4, small enough for the first-level cache
  Point residuals[kBuffer];
  double distances[kBuffer];
  for (std::size_t begin = 0; begin < n; begin += kBuffer) {
    const std::size_t count = std::min(kBuffer, n - begin);
    std::size_t k = 0;
    if (wide) {
      k = count - count % 4;
      avx2::residuals(m, src + begin, dst + begin, k, residuals, distances, sums);
      used += k;
    }
    for (; k < count; ++k) {
      const std::size_t i = begin + k;
      const Vec d = t.transformPoint(static_cast<const Vec&>(src[i])) - dst[i];
      residuals[k] = Point(d, src[i].id);
      const double squared = d.lengthSquared();
      const double distance = std::sqrt(squared);
      distances[k] = distance;
      if (!rejected.empty() && rejected[i]) continue;
      ++used;
      sums[0] += distance;
      sums[1] += squared;
      sums[2] = std::max(sums[2], distance);
    }
    r->residuals.insert(r->residuals.end(), residuals, residuals + count);
    r->distances.insert(r->distances.end(), distances, distances + count);
  }
  r->largest = sums[2];
  r->mean = sums[0] / double(used);
  r->rms = std::sqrt(sums[1] / double(used));
}

/// Whether the fit needs the work of fit_diagnostics.cpp: a held freedom
/// (another minimisation), rejection, or the diagnostics asked for.
bool wantsDiagnostics(const FitOptions& options) {
  return options.diagnostics || options.reject || fit::holdsFreedoms(options);
}

/// After the engine's fit of the pairs: held freedoms, rejection and the
/// diagnostics, as `options` ask. False when the fit failed (r->status set).
bool diagnose(const fit::PairList& pairs, const FitOptions& options, FitResult::Status_t engineStatus,
              const fit::Fitted& fitted, FitResult* r) {
  const bool held = fit::holdsFreedoms(options);
  // Bad weights and data fail as they do without held freedoms; the
  // engine's other failures concern all freedoms, which a held fit does not ask.
  const bool badData = engineStatus == FitResult::FIT_NOT_FINITE || engineStatus == FitResult::FIT_NEGATIVE_WEIGHT;
  if (badData || (!held && engineStatus != FitResult::FIT_SUCCEEDED)) {
    r->status = engineStatus;
    return false;
  }
  if (!held) {
    r->transformation = fitted.transformation;
    r->meanWeighted = fitted.meanWeighted;
  }
  fit::fitWithDiagnostics(pairs, options, held ? nullptr : &fitted.transformation, r);
  if (r->isSucceeded()) return true;
  r->transformation = Transformation::identity();
  r->meanWeighted = 0.0;
  return false;
}

bool allFinite(const FitWeightMatrix* weights, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    for (const auto& row : weights[i].m)
      for (double v : row)
        if (!std::isfinite(v)) return false;
  return true;
}

/// The fit of n pairs by position with what `options` asks for.
FitResult fitWithResult(const Point* src, const Point* dst, fit::PairWeights weights, std::size_t n,
                        const FitOptions& options) {
  FitResult r;
  r.pairCount = n;
  if (n < 3) return r;  // FIT_TOO_FEW_PAIRS
  // A non-finite coordinate of a pair of weight 0 would not show in the fit;
  // with unit weights every pair carries weight, and the fit's moments show it.
  const bool weighted = weights.perAxis || weights.matrices;
  if (weighted && (!allFinite(src, n) || !allFinite(dst, n) || (weights.perAxis && !allFinite(weights.perAxis, n)) ||
                   (weights.matrices && !allFinite(weights.matrices, n)))) {
    r.status = FitResult::FIT_NOT_FINITE;
    return r;
  }
  // With unit weights the mean weighted residual is the mean distance,
  // which the residuals give without a pass of the engine's own.
  const bool meanFromResiduals = !weighted && options.residuals && !wantsDiagnostics(options);
  fit::Fitted fitted;
  r.status =
      fit::fitByPosition(src, dst, weights, n, options.withScale, options.scale, !meanFromResiduals, &fitted);
  if (meanFromResiduals) {
    if (!r.isSucceeded()) return r;
    FitResult result = r;
    result.transformation = fitted.transformation;
    result.usedCount = n;
    addResiduals(src, dst, n, &result);
    if (!std::isfinite(result.mean)) {  // as the engine fails on a mean that is not finite
      r.status = FitResult::FIT_NOT_CONVERGED;
      return r;
    }
    result.meanWeighted = result.mean;
    return result;
  }
  if (wantsDiagnostics(options)) {
    fit::PairList pairs;
    pairs.src = src;
    pairs.dst = dst;
    pairs.weights = weights;
    pairs.n = n;
    if (!diagnose(pairs, options, r.status, fitted, &r)) return r;
  } else {
    if (!r.isSucceeded()) return r;
    r.transformation = fitted.transformation;
    r.meanWeighted = fitted.meanWeighted;
    r.usedCount = n;
  }
  if (options.residuals) addResiduals(src, dst, n, &r);
  return r;
}

void throwOnUnequalSizes(std::size_t src, std::size_t dst, std::size_t weights) {
  // The same order of tests as computeTransformationNoId: the count first.
  if (src >= 3 && (dst != src || (weights != 0 && weights != src)))
    throw ProgError("Zem::FitResult::fitByPosition", "math_fit_result", __LINE__, "Ungleiche Punktemengen");
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
  if (!options.residuals && !wantsDiagnostics(options)) {  // the fit alone: the engine's walk by identifier
    FitResult r;
    fit::Fitted fitted;
    r.status = fit::fitById(src, dst, weights, options.withScale, options.scale, true, &fitted);
    r.pairCount = fitted.pairCount;
    if (!r.isSucceeded()) return r;
    r.transformation = fitted.transformation;
    r.meanWeighted = fitted.meanWeighted;
    r.usedCount = r.pairCount;
    return r;
  }
  // The pairs as a list, in the order of that walk, and the fit of the list
  // by position: the same pairs in the same order give the same moments and
  // the same fit, bit for bit, and the residuals and diagnostics read the
  // list in order instead of walking the destination by identifier again.
  if (dst.size() > fit::IdIndex::kMaxPoints || weights.size() > fit::IdIndex::kMaxPoints) {
    FitResult r;
    r.status = FitResult::FIT_AMBIGUOUS_PAIRING;
    return r;
  }
  const fit::IdIndex dstById(dst.size(), fit::idsOf(dst), true);
  fit::GatheredPairs pairs;
  if (!pairs.gather(src, dst, weights, dstById)) {
    FitResult r;
    r.pairCount = pairs.count();
    r.status = FitResult::FIT_AMBIGUOUS_PAIRING;
    return r;
  }
  fit::PairWeights w;
  w.perAxis = pairs.weights();
  return fitWithResult(pairs.src(), pairs.dst(), w, pairs.count(), options);
}

FitResult FitResult::fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst,
                                   const std::vector<BaPoint3d<double>>& weights, const FitOptions& options) {
  throwOnUnequalSizes(src.size(), dst.size(), weights.size());
  fit::PairWeights w;
  w.perAxis = weights.empty() ? nullptr : weights.data();
  return fitWithResult(src.data(), dst.data(), w, src.size(), options);
}

FitResult FitResult::fitByPosition(const std::vector<BaPoint3d<double>>& src,
                                   const std::vector<BaPoint3d<double>>& dst,
                                   const std::vector<FitWeightMatrix>& weights, const FitOptions& options) {
  throwOnUnequalSizes(src.size(), dst.size(), weights.size());
  fit::PairWeights w;
  w.matrices = weights.empty() ? nullptr : weights.data();
  return fitWithResult(src.data(), dst.data(), w, src.size(), options);
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

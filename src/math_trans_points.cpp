// The six best-fit functions of Transformation: thin wrappers that pair the
// points (by identifier or by position) and hand them to the fit proper
// (fit_engine.cpp). Each returns the mean weighted residual, or −1.0 with the
// matrix unchanged.
#include <vector>

#include "fit_engine.h"
#include "fit_pairing.h"
#include "math_transformation.h"
#include "zem_base.h"

namespace Zem {

namespace {

constexpr double kFailed = -1.0;

/// The result of the six functions: the mean weighted residual, or −1.0.
double legacyResult(FitResult::Status_t status, double residual) {
  return status == FitResult::FIT_SUCCEEDED ? residual : kFailed;
}

}  // namespace


double Transformation::computeTransformation(const std::vector<BaPoint3d<double>>& src,
                                             const std::vector<BaPoint3d<double>>& dst, bool withScale) {
  return computeWeightedTransformation(src, dst, std::vector<BaPoint3d<double>>(), withScale, 1.0);
}

double Transformation::computeTransformation(const std::vector<BaPoint3d<double>>& src,
                                             const std::vector<BaPoint3d<double>>& dst, bool withScale,
                                             double scale) {
  return computeWeightedTransformation(src, dst, std::vector<BaPoint3d<double>>(), withScale, scale);
}

double Transformation::computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                                     const std::vector<BaPoint3d<double>>& dst,
                                                     const std::vector<BaPoint3d<double>>& weights,
                                                     bool withScale) {
  return computeWeightedTransformation(src, dst, weights, withScale, 1.0);
}

double Transformation::computeTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                                 const std::vector<BaPoint3d<double>>& dst, bool withScale) {
  // An empty weight list stands for unit weights on every pair: no vector of
  // a million (1, 1, 1) needs to be built.
  return computeWeightedTransformationNoId(src, dst, std::vector<BaPoint3d<double>>(), withScale, 1.0);
}

double Transformation::computeWeightedTransformation(const std::vector<BaPoint3d<double>>& src,
                                                     const std::vector<BaPoint3d<double>>& dst,
                                                     const std::vector<BaPoint3d<double>>& weights,
                                                     bool withScale, double scale) {
  fit::IdPairs pairs;
  if (!fit::gatherById(src, dst, weights, &pairs) || pairs.count < 3) return kFailed;
  double residual = 0.0;
  const FitResult::Status_t status = fit::fitPairs(pairs.src, pairs.pairedDst.data(), pairs.weights(), pairs.count,
                                                   withScale, scale, this, &residual);
  return legacyResult(status, residual);
}

double Transformation::computeWeightedTransformationNoId(const std::vector<BaPoint3d<double>>& src,
                                                         const std::vector<BaPoint3d<double>>& dst,
                                                         const std::vector<BaPoint3d<double>>& weights,
                                                         bool withScale, double scale) {
  // Fewer than three points fail quietly; unequal sizes are a caller's error.
  // The count test comes first.
  if (src.size() < 3) return kFailed;
  if (dst.size() != src.size() || (!weights.empty() && weights.size() != src.size()))
    throw ProgError("Zem::Transformation::computeWeightedTransformationNoId", "math_trans_points", __LINE__,
                    "Ungleiche Punktemengen");
  double residual = 0.0;
  const FitResult::Status_t status = fit::fitPairs(src.data(), dst.data(),
                                                   weights.empty() ? nullptr : weights.data(), src.size(), withScale,
                                                   scale, this, &residual);
  return legacyResult(status, residual);
}

}  // namespace Zem

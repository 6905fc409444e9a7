// The six best-fit functions of Transformation: thin wrappers that pair the
// points (by identifier or by position) and hand them to the fit proper
// (fit_engine.cpp). Each returns the mean weighted residual, or −1.0 with the
// matrix unchanged.
#include <vector>

#include "fit_engine.h"
#include "math_transformation.h"
#include "zem_base.h"

namespace Zem {

namespace {

constexpr double kFailed = -1.0;

/// The result of the six functions: the mean weighted residual, or −1.0.
/// The matrix is written only on success.
double legacyResult(FitResult::Status_t status, const fit::Fitted& fitted, Transformation* self) {
  if (status != FitResult::FIT_SUCCEEDED) return kFailed;
  *self = fitted.transformation;
  return fitted.meanWeighted;
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
  fit::Fitted fitted;
  return legacyResult(fit::fitById(src, dst, weights, withScale, scale, true, &fitted), fitted, this);
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
  fit::PairWeights pairWeights;
  pairWeights.perAxis = weights.empty() ? nullptr : weights.data();
  fit::Fitted fitted;
  return legacyResult(
      fit::fitByPosition(src.data(), dst.data(), pairWeights, src.size(), withScale, scale, true, &fitted), fitted, this);
}

}  // namespace Zem

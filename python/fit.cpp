// The best fit behind zemtrafo.fit (see fit.h).
#include "fit.h"

#include <limits>

#include "math_fit_result.h"

namespace zempy {

PairedFit fitPairs(Points& src, Points& dst, Points& weights, bool withScale) {
  PairedFit result;
  Zem::Transformation fitted = Zem::Transformation::identity();
  double mean;
  if (weights.empty()) {
    mean = fitted.computeTransformationNoId(src, dst, withScale);
  } else {
    if (src.size() > std::size_t(std::numeric_limits<int>::max())) {  // identifiers are int
      result.reason = "too many pairs";
      return result;
    }
    // The library pairs weighted fits by identifier only: number the pairs
    // 0, 1, 2, ... (a dense range, which it indexes directly) so that the
    // pairs and weights are exactly the given ones, in order.
    for (std::size_t i = 0; i < src.size(); ++i) src[i].id = dst[i].id = weights[i].id = int(i);
    mean = fitted.computeWeightedTransformation(src, dst, weights, withScale);
  }
  if (mean < 0.0) {  // -1.0: no transformation found; the same fit once more says why
    const Zem::FitResult why = Zem::FitResult::fitByPosition(src, dst, weights, withScale);
    result.reason = why.isSucceeded() ? "the fit did not succeed" : Zem::FitResult::getStatusText(why.status);
    return result;
  }
  result.ok = true;
  result.transformation = fitted;
  result.meanResidual = mean;
  return result;
}

}  // namespace zempy

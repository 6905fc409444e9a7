// Best fit with held freedoms, gross-error rejection and the statistics of
// the result, internal to the library (see fit_diagnostics.cpp).
#ifndef ZEM_FIT_DIAGNOSTICS_H
#define ZEM_FIT_DIAGNOSTICS_H

#include <cstddef>

#include "fit_engine.h"
#include "math_fit_result.h"

namespace Zem {
namespace fit {

/// The pairs of a fit by position: src[i] with dst[i], weighed by `weights`.
struct PairList {
  const BaPoint3d<double>* src = nullptr;
  const BaPoint3d<double>* dst = nullptr;
  PairWeights weights;
  std::size_t n = 0;
};

/// Whether `options` hold a freedom of the rotation or the translation.
bool holdsFreedoms(const FitOptions& options);

/// The fit of finite pairs (at least three) with what `options` ask for:
/// held freedoms, rejection, and the diagnostics of FitResult. `unconstrained`
/// is the optimum over all freedoms when it is known (then it is kept as the
/// result unless pairs are set aside), else nullptr. Sets r->status and, on
/// success, the transformation, the diagnostics and meanWeighted (of the
/// pairs used) when `options.reject` or held freedoms changed the fit.
void fitWithDiagnostics(const PairList& pairs, const FitOptions& options, const Transformation* unconstrained,
                        FitResult* r);

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_DIAGNOSTICS_H

// The best fit proper, internal to the library: the transformation that
// carries n paired source points onto their destination points in the
// weighted least-squares sense (see fit_engine.cpp for the method).
#ifndef ZEM_FIT_ENGINE_H
#define ZEM_FIT_ENGINE_H

#include <cstddef>

#include "math_fit_result.h"
#include "math_transformation.h"

namespace Zem {
namespace fit {

/// Fits n ≥ 3 pairs (src[i], dst[i]) with the weights weights[i] of their x,
/// y and z observations (weights == nullptr: all 1). The scale is estimated
/// when withScale is true, else fixed at `scale`. On success sets *result and
/// *residual (the mean weighted residual (1/n)·Σ |w ∘ (T·p − d)|); on failure
/// returns the reason and leaves both untouched.
FitResult::Status_t fitPairs(const BaPoint3d<double>* src, const BaPoint3d<double>* dst,
                             const BaPoint3d<double>* weights, std::size_t n, bool withScale, double scale,
                             Transformation* result, double* residual);

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_ENGINE_H

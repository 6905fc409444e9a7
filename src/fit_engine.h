// The best fit proper, internal to the library: the transformation that
// carries paired source points onto their destination points in the
// weighted least-squares sense (see fit_engine.cpp for the method).
#ifndef ZEM_FIT_ENGINE_H
#define ZEM_FIT_ENGINE_H

#include <cstddef>
#include <vector>

#include "fit_kernels.h"
#include "math_fit_result.h"
#include "math_transformation.h"

namespace Zem {
namespace fit {

/// The weights of the pairs by position: none (all 1), per-axis weight
/// points, or weight matrices; at most one of the two pointers is set.
struct PairWeights {
  const BaPoint3d<double>* perAxis = nullptr;
  const FitWeightMatrix* matrices = nullptr;
};

/// What a fit gives besides its status. `transformation` and `meanWeighted`
/// are set only on success; meanWeighted, (1/n)·Σ |W ∘ (T·p − d)|, only when
/// asked for (one more pass over the pairs).
struct Fitted {
  Transformation transformation;
  double meanWeighted = 0.0;
  std::size_t pairCount = 0;  ///< pairs formed (also on failure)
};

/// Fits the n pairs (src[i], dst[i]) with weights[i]. The scale is estimated
/// when withScale is true, else fixed at `scale`.
FitResult::Status_t fitByPosition(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, PairWeights weights,
                                  std::size_t n, bool withScale, double scale, bool wantMeanWeighted, Fitted* out);

/// The quadratic (fit_kernels.h) of the pairs i < n whose used[i] is not 0:
/// the weighted sum of squares of any affine map in time independent of n
/// (the held fits' iteration, fit_held.cpp).
Quadratic quadraticOf(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, PairWeights weights, std::size_t n,
                      const char* used);

/// Pairs by identifier (fit_pairing.h) and fits; a pair's weights are the
/// first weight point with its identifier, else (1, 1, 1); an empty list
/// means unit weights. The pairs are gathered in order (fit_gather.h) and
/// fitted by position: the same fit as fitByPosition of those pairs.
FitResult::Status_t fitById(const std::vector<BaPoint3d<double>>& src, const std::vector<BaPoint3d<double>>& dst,
                            const std::vector<BaPoint3d<double>>& weights, bool withScale, double scale,
                            bool wantMeanWeighted, Fitted* out);

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_ENGINE_H

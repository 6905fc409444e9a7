// The best fit behind zemtrafo.fit, on pairs already formed. The one place
// that calls the library's fit.
//
// The transformation and the mean weighted residual come from the fit entry
// points of Transformation, the reason of a failure from Zem::FitResult (the
// same fit: the same pairs give the same result, bit for bit). FitResult is
// not used for successful fits because it builds every pair's residual in
// vectors of its own, which at a million pairs costs more than the fit
// itself; the module writes the residuals straight into its numpy arrays.
#ifndef ZEM_PY_FIT_H
#define ZEM_PY_FIT_H

#include <string>
#include <vector>

#include "math_transformation.h"

namespace zempy {

using Points = std::vector<Zem::BaPoint3d<double>>;

struct PairedFit {
  bool ok = false;                     ///< false: the library found no transformation
  std::string reason;                  ///< why not, in words (when !ok)
  Zem::Transformation transformation;  ///< carries src[i] onto dst[i]; set only when ok
  double meanResidual = 0.0;           ///< the library's mean weighted residual distance
};

/// Least-squares fit of src[i] onto dst[i] (at least three pairs). `weights`
/// is empty (unit weights) or holds the x, y, z weights of each pair. The
/// points' identifiers are overwritten. Does not touch Python objects, so it
/// may run without the GIL.
PairedFit fitPairs(Points& src, Points& dst, Points& weights, bool withScale);

}  // namespace zempy

#endif  // ZEM_PY_FIT_H

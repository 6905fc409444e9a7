// The best fit behind zemtrafo.fit, on pairs already formed. This is the one
// place that calls the library's fit, so that another backend can replace it
// without touching the bindings.
#ifndef ZEM_PY_FIT_H
#define ZEM_PY_FIT_H

#include <vector>

#include "math_transformation.h"

namespace zempy {

using Points = std::vector<Zem::BaPoint3d<double>>;

struct PairedFit {
  bool ok = false;                     ///< false: the library found no transformation
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

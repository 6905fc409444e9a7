// The rows of the numpy arrays that zemtrafo.fit takes, as the library's
// pairs, and the residuals of a fitted transformation (python/bind_fit.cpp).
#ifndef ZEM_PY_FIT_ROWS_H
#define ZEM_PY_FIT_ROWS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays.h"
#include "math_fit_result.h"

namespace zempy {

using Points = std::vector<Zem::BaPoint3d<double>>;

/// Identifiers, one per row of the points they label: any integers; -1
/// means "no identifier" (never paired), as in the library. An identifier
/// that repeats would make the pairing ambiguous and is refused.
IndexArray idArray(py::handle obj, const char* name, py::ssize_t rows);

/// Pairs by identifier, in the order of the source rows (the library's
/// pairing); repeated identifiers are refused first, as the module's policy.
void pairById(const IndexArray& sourceIds, const IndexArray& targetIds, std::vector<std::int64_t>* sourceRows,
              std::vector<std::int64_t>* targetRows);

/// Weights aligned with the source rows: (N,) for all three coordinates of
/// a row, (N, 3) per coordinate, finite and not negative; or (N, 3, 3), a
/// finite symmetric positive semi-definite matrix per row (checked by the fit).
DoubleArray weightArray(py::handle obj, py::ssize_t rows);

/// The rows of `a` (all of them, or the listed ones) as the library's points.
/// A NaN or infinite coordinate makes the fit meaningless and is refused
/// with the row's number.
Points gather(const DoubleArray& a, const std::vector<std::int64_t>* rows, std::size_t n, const char* name);

/// The weight matrices of those rows, from a (N, 3, 3) array.
std::vector<Zem::FitWeightMatrix> gatherMatrices(const DoubleArray& w, const std::vector<std::int64_t>* rows,
                                                 std::size_t n);

/// The per-axis weights of those rows, from a (N,) or (N, 3) array.
Points gatherWeights(const DoubleArray& w, const std::vector<std::int64_t>* rows, std::size_t n);

/// residual[k] = t(src[k]) − dst[k] into `res` (K, 3), its length into
/// `dist` (K,), with their sum of squares and the largest square: the image
/// computed with the operations of Transformation::transformPoint in the same
/// order, so the residuals are exactly transform_points(source) − target.
void residualsOf(const Zem::Transformation& t, const Points& src, const Points& dst, double* res, double* dist,
                 double* sumSquares, double* largestSquared);

}  // namespace zempy

#endif

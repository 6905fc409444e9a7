// numpy arrays in and out of the zemtrafo module: checking and converting
// what Python code passes, and the row loops that apply the library to
// (N, 3) arrays in C++.
//
// Every array argument accepts any numeric array-like (integers and floats of
// any width or byte order, nested lists). It is converted to a C-contiguous
// float64 array, which numpy does without a copy when the argument already is
// one. Booleans, complex numbers, strings and objects raise TypeError; a
// wrong shape raises ValueError.
#ifndef ZEM_PY_ARRAYS_H
#define ZEM_PY_ARRAYS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <QString>
#include <cstdint>
#include <string>

#include "math_transformation.h"

namespace zempy {

namespace py = pybind11;

/// C-contiguous float64; `ensure` leaves an array that already is one as it is.
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

/// `obj` as a C-contiguous float64 array (no copy when it already is one).
/// A failed conversion raises numpy's own error (MemoryError when the copy
/// does not fit in memory), which pybind11's `ensure` would swallow.
DoubleArray doubleArray(py::handle obj);

/// The same for int64 identifiers.
IndexArray indexArray(py::handle obj);

/// A file name from str, bytes or os.PathLike (as os.fsencode takes them),
/// for Qt's file functions. ValueError for an embedded NUL character, which
/// would cut the name short; TypeError for anything else.
QString fileNameOf(py::handle path);

/// "(4, 3)" for an array of that shape.
std::string shapeText(const py::array& a);

/// The argument as a numpy array whose dtype kind is one of `kinds` ("iuf"
/// for numbers, "iu" for integers); TypeError otherwise.
py::array numericArray(py::handle obj, const char* name, const char* kinds = "iuf");

/// (N, 3) points as C-contiguous float64; also a single point of shape (3,)
/// when `allowSingle` is true (the caller then returns the same shape).
DoubleArray pointArray(py::handle obj, const char* name, bool allowSingle = false);

/// Exactly three numbers, shape (3,).
Zem::BaVec3d<double> vector3(py::handle obj, const char* name);

/// A new float64 array (3,) holding v.
py::array_t<double> toArray(const Zem::BaVec3d<double>& v);

/// Where mapRows writes: a new array shaped like `in` when `out` is None,
/// else `out` itself, which must be a writeable C-contiguous float64 array of
/// that shape (TypeError, ValueError otherwise). `out` may be the input
/// itself; when it overlaps the input otherwise, *in is replaced by a copy so
/// that no row is overwritten before it is read.
py::array_t<double> outputFor(DoubleArray* in, const py::object& out);

/// Applies `op` (BaVec3d<double> -> BaVec3d<double>) to each row of an (N, 3)
/// or (3,) array, writing the results as outputFor says, and returns the
/// array written. The loop runs without the GIL; no Python object is touched
/// per point.
template <class Op>
py::array_t<double> mapRows(DoubleArray in, const py::object& out, Op op) {
  py::array_t<double> result = outputFor(&in, out);
  const py::ssize_t n = in.ndim() == 1 ? 1 : in.shape(0);
  const double* src = in.data();
  double* dst = result.mutable_data();
  {
    py::gil_scoped_release released;
    for (py::ssize_t i = 0; i < n; ++i, src += 3, dst += 3) {
      const Zem::BaVec3d<double> q = op(Zem::BaVec3d<double>(src[0], src[1], src[2]));
      dst[0] = q.x;
      dst[1] = q.y;
      dst[2] = q.z;
    }
  }
  return result;
}

/// Marks an array read-only (results that belong to an object).
template <class Array>
Array frozen(Array a) {
  a.attr("flags").attr("writeable") = false;
  return a;
}

}  // namespace zempy

#endif  // ZEM_PY_ARRAYS_H

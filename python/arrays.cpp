// Checking and converting the arrays that Python code passes (see arrays.h).
#include "arrays.h"

#include <cstring>

namespace zempy {

std::string shapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t k = 0; k < a.ndim(); ++k) text += (k ? ", " : "") + std::to_string(a.shape(k));
  return text + (a.ndim() == 1 ? ",)" : ")");
}

py::array numericArray(py::handle obj, const char* name, const char* kinds) {
  // np.asarray: nested lists and tuples become arrays; a ragged list raises
  // numpy's own ValueError.
  py::array a = py::isinstance<py::array>(obj) ? py::reinterpret_borrow<py::array>(obj)
                                               : py::array(py::module_::import("numpy").attr("asarray")(obj));
  const char kind = a.dtype().kind();
  if (kind == '\0' || !std::strchr(kinds, kind))
    throw py::type_error(std::string(name) + " must hold " + (std::strcmp(kinds, "iu") == 0 ? "integers" : "numbers") +
                         ", got an array of dtype " + py::str(a.dtype()).cast<std::string>());
  return a;
}

DoubleArray pointArray(py::handle obj, const char* name, bool allowSingle) {
  const py::array a = numericArray(obj, name);
  // The shape is checked before converting, so that a wrong array is refused
  // without copying it first.
  const bool rows = a.ndim() == 2 && a.shape(1) == 3;
  const bool single = allowSingle && a.ndim() == 1 && a.shape(0) == 3;
  if (!rows && !single)
    throw py::value_error(std::string(name) + " must have shape (N, 3)" + (allowSingle ? " or (3,)" : "") + ", got " +
                          shapeText(a));
  DoubleArray d = DoubleArray::ensure(a);
  if (!d) throw py::error_already_set();
  return d;
}

Zem::BaVec3d<double> vector3(py::handle obj, const char* name) {
  const py::array a = numericArray(obj, name);
  if (a.ndim() != 1 || a.shape(0) != 3)
    throw py::value_error(std::string(name) + " must have shape (3,), got " + shapeText(a));
  const DoubleArray d = DoubleArray::ensure(a);
  if (!d) throw py::error_already_set();
  return Zem::BaVec3d<double>(d.data()[0], d.data()[1], d.data()[2]);
}

py::array_t<double> toArray(const Zem::BaVec3d<double>& v) {
  py::array_t<double> a(3);
  double* p = a.mutable_data();
  p[0] = v.x;
  p[1] = v.y;
  p[2] = v.z;
  return a;
}

}  // namespace zempy

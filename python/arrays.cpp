// Checking and converting the arrays that Python code passes (see arrays.h).
#include "arrays.h"

#include <QByteArray>
#include <QFile>
#include <cstring>
#include <vector>

namespace zempy {

namespace {

// pybind11 keeps numpy's converting call protected; these expose it so that
// a failed conversion leaves its Python error set.
struct DoubleConversion : DoubleArray {
  using DoubleArray::raw_array_t;
};
struct IndexConversion : IndexArray {
  using IndexArray::raw_array_t;
};

}  // namespace

DoubleArray doubleArray(py::handle obj) {
  PyObject* converted = DoubleConversion::raw_array_t(obj.ptr());
  if (!converted) throw py::error_already_set();
  return py::reinterpret_steal<DoubleArray>(converted);
}

IndexArray indexArray(py::handle obj) {
  PyObject* converted = IndexConversion::raw_array_t(obj.ptr());
  if (!converted) throw py::error_already_set();
  return py::reinterpret_steal<IndexArray>(converted);
}

QString fileNameOf(py::handle path) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  const std::string name = encoded;
  if (name.find('\0') != std::string::npos) throw py::value_error("file name contains a NUL character");
  return QFile::decodeName(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
}

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
  return doubleArray(a);
}

Zem::BaVec3d<double> vector3(py::handle obj, const char* name) {
  const py::array a = numericArray(obj, name);
  if (a.ndim() != 1 || a.shape(0) != 3)
    throw py::value_error(std::string(name) + " must have shape (3,), got " + shapeText(a));
  const DoubleArray d = doubleArray(a);
  return Zem::BaVec3d<double>(d.data()[0], d.data()[1], d.data()[2]);
}

py::array_t<double> outputFor(DoubleArray* in, const py::object& out) {
  const std::vector<py::ssize_t> shape(in->shape(), in->shape() + in->ndim());
  if (out.is_none()) return py::array_t<double>(shape);
  if (!DoubleArray::check_(out)) throw py::type_error("out must be a C-contiguous float64 numpy array");
  auto result = py::reinterpret_borrow<py::array_t<double>>(out);
  if (std::vector<py::ssize_t>(result.shape(), result.shape() + result.ndim()) != shape)
    throw py::value_error("out must have the shape of the input, " + shapeText(*in) + ", got " + shapeText(result));
  if (!result.writeable()) throw py::value_error("out is read-only");
  const double* a = in->data();
  const double* b = result.data();
  const py::ssize_t size = in->size();
  if (a != b && a < b + size && b < a + size) {
    DoubleArray copy(shape);
    std::memcpy(copy.mutable_data(), a, std::size_t(size) * sizeof(double));
    *in = copy;
  }
  return result;
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

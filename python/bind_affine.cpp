// zemtrafo.Affine: the eight-coefficient mapping of the plane.
#include <string>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "math_affine.h"

namespace zempy {

namespace {

using Zem::Affine;
using Zem::BaVec2d;

constexpr const char* kClassDoc = R"doc(Mapping of the plane with eight coefficients a0 to a7:

    x' = a0 + a1 x + a2 y + a3 x y
    y' = a4 + a5 x + a6 y + a7 x y

so that four points in general position map exactly onto any four others.
Independent of the 3D classes.)doc";

/// (N, 2) points, or one (2,) point.
DoubleArray planeArray(const py::object& obj, const char* name, py::ssize_t rows = -1) {
  const py::array a = numericArray(obj, name);
  const bool ok = (a.ndim() == 2 && a.shape(1) == 2 && (rows < 0 || a.shape(0) == rows)) ||
                  (rows < 0 && a.ndim() == 1 && a.shape(0) == 2);
  if (!ok)
    throw py::value_error(std::string(name) + " must have shape " +
                          (rows < 0 ? std::string("(N, 2) or (2,)") : "(" + std::to_string(rows) + ", 2)") + ", got " +
                          shapeText(a));
  DoubleArray d = doubleArray(a);
  return d;
}

std::vector<BaVec2d<double>> planePoints(const DoubleArray& a) {
  std::vector<BaVec2d<double>> points;
  for (py::ssize_t i = 0; i < a.shape(0); ++i) points.emplace_back(a.data()[2 * i], a.data()[2 * i + 1]);
  return points;
}

py::array_t<double> coefficientsOf(const Affine& a) {
  py::array_t<double> c(8);
  for (int k = 0; k < 8; ++k) c.mutable_data()[k] = a.a[k];
  return c;
}

void setCoefficients(Affine& a, const py::object& obj) {
  const py::array given = numericArray(obj, "coefficients");
  if (given.ndim() != 1 || given.shape(0) != 8)
    throw py::value_error("coefficients must have shape (8,), got " + shapeText(given));
  const DoubleArray d = doubleArray(given);
  for (int k = 0; k < 8; ++k) a.a[k] = d.data()[k];
}

}  // namespace

void bindAffine(py::module_& m) {
  py::class_<Affine>(m, "Affine", kClassDoc)
      .def(py::init([](const py::object& coefficients) {
             Affine a;
             if (!coefficients.is_none()) setCoefficients(a, coefficients);
             return a;
           }),
           py::arg("coefficients") = py::none(), "From a0 to a7; the identity (a1 = a6 = 1) by default.")
      .def_static("identity", &Affine::identity)
      .def_property("coefficients", &coefficientsOf, &setCoefficients, "New array a0 to a7.")
      .def(
          "transform_points",
          [](const Affine& a, const py::object& points) {
            const DoubleArray in = planeArray(points, "points");
            std::vector<py::ssize_t> shape(in.shape(), in.shape() + in.ndim());
            py::array_t<double> out(shape);
            const py::ssize_t n = in.size() / 2;
            const double* p = in.data();
            double* q = out.mutable_data();
            {
              py::gil_scoped_release released;
              for (py::ssize_t i = 0; i < n; ++i) {
                const BaVec2d<double> r = a.transform(BaVec2d<double>(p[2 * i], p[2 * i + 1]));
                q[2 * i] = r.x;
                q[2 * i + 1] = r.y;
              }
            }
            return out;
          },
          py::arg("points"), "Images of an (N, 2) array of points (or one (2,) point), as a new array.")
      .def("append", &Affine::append, py::arg("other"),
           "In place: 'self, then other', keeping only the terms in 1, x, y and x y (exact when other has no "
           "mixed term).")
      .def_static(
          "from_points",
          [](const py::object& source, const py::object& target) {
            const auto src = planePoints(planeArray(source, "source", 4));
            const auto dst = planePoints(planeArray(target, "target", 4));
            Affine a;
            if (!a.computeTransformationRec(src, dst))
              throw FitFailure{
                  "no mapping: the four source points do not determine one (two equal, three on an "
                  "axis-parallel line, or all on one line), or they lie too far from the origin for their size "
                  "for the eight coefficients to hold it"};
            return a;
          },
          py::arg("source"), py::arg("target"),
          "The mapping that carries the four (4, 2) source points exactly onto the target points; FitError when "
          "the source points do not determine one or the coefficients cannot hold it so far from the origin.")
      .def("__repr__",
           [](const Affine& a) { return "Affine(" + py::repr(coefficientsOf(a)).cast<std::string>() + ")"; })
      .def(py::pickle([](const Affine& a) { return py::make_tuple(coefficientsOf(a)); },
                      [](const py::tuple& state) {
                        Affine a;
                        setCoefficients(a, state[0]);
                        return a;
                      }));
}

}  // namespace zempy

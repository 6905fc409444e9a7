// zemtrafo.CoordinateSystem.
#include <string>

#include "arrays.h"
#include "bindings.h"
#include "math_coord_system.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::CoordinateSystem;

constexpr const char* kClassDoc =
    R"doc(A Cartesian coordinate system: an origin and three axes x, y, z, kept orthonormal.

Axes given to it are orthonormalised by classical Gram-Schmidt: x keeps its
direction, y is made perpendicular to x on the side it was given, z
perpendicular to both on the side it was given, all of unit length.
Handedness is not enforced: a z axis given opposite to x cross y stays so.
Axes that cannot be orthonormalised (a zero axis, parallel axes) raise
ValueError with the library's message.)doc";

CoordinateSystem construct(const py::object& origin, const py::object& x, const py::object& y, const py::object& z) {
  const int given = int(!x.is_none()) + int(!y.is_none()) + int(!z.is_none());
  if (given != 0 && given != 3) throw py::value_error("give all three axes x_axis, y_axis, z_axis, or none");
  const BaVec3d<double> o = origin.is_none() ? BaVec3d<double>() : vector3(origin, "origin");
  if (given == 0) {
    CoordinateSystem cs;
    cs.setOrigin(o);
    return cs;
  }
  return CoordinateSystem(o, vector3(x, "x_axis"), vector3(y, "y_axis"), vector3(z, "z_axis"));
}

/// Rows x, y, z.
py::array_t<double> axesOf(const CoordinateSystem& cs) {
  py::array_t<double> a({3, 3});
  double* p = a.mutable_data();
  const BaVec3d<double>* axes = cs.getAxis();
  for (int k = 0; k < 3; ++k) {
    p[3 * k] = axes[k].x;
    p[3 * k + 1] = axes[k].y;
    p[3 * k + 2] = axes[k].z;
  }
  return a;
}

}  // namespace

void bindCoordinateSystem(py::module_& m) {
  py::class_<CoordinateSystem>(m, "CoordinateSystem", kClassDoc)
      .def(py::init(&construct), py::arg("origin") = py::none(), py::arg("x_axis") = py::none(),
           py::arg("y_axis") = py::none(), py::arg("z_axis") = py::none(),
           "Origin (default 0) and axes (default the unit axes); the axes are orthonormalised.")
      .def_property(
          "origin", [](const CoordinateSystem& cs) { return toArray(cs.getOrigin()); },
          [](CoordinateSystem& cs, const py::object& o) { cs.setOrigin(vector3(o, "origin")); }, "The origin, (3,).")
      .def_property_readonly("axes", &axesOf, "New (3, 3) array whose rows are the x, y and z axes.")
      .def_property_readonly(
          "x_axis", [](const CoordinateSystem& cs) { return toArray(cs.getAxis()[0]); }, "The x axis, (3,).")
      .def_property_readonly(
          "y_axis", [](const CoordinateSystem& cs) { return toArray(cs.getAxis()[1]); }, "The y axis, (3,).")
      .def_property_readonly(
          "z_axis", [](const CoordinateSystem& cs) { return toArray(cs.getAxis()[2]); }, "The z axis, (3,).")
      .def(
          "set_axes",
          [](CoordinateSystem& cs, const py::object& x, const py::object& y, const py::object& z) {
            cs.setAxis(vector3(x, "x_axis"), vector3(y, "y_axis"), vector3(z, "z_axis"));
          },
          py::arg("x_axis"), py::arg("y_axis"), py::arg("z_axis"),
          "Replaces the axes and orthonormalises them; ValueError (system unchanged) when they cannot be.")
      .def_static(
          "check_axes_valid",
          [](const py::object& x, const py::object& y, const py::object& z) {
            return CoordinateSystem::checkAxisValid(vector3(x, "x_axis"), vector3(y, "y_axis"), vector3(z, "z_axis"));
          },
          py::arg("x_axis"), py::arg("y_axis"), py::arg("z_axis"),
          "True when the three vectors can be orthonormalised.")
      .def("transform", &CoordinateSystem::transform, py::arg("transformation"),
           "In place: the origin goes to its image, each axis is rotated (the scale drops out in the "
           "re-orthonormalisation). ValueError, system unchanged, when the moved axes are degenerate.")
      .def("transform_origin", &CoordinateSystem::transformOrigin, py::arg("transformation"),
           "In place: moves the origin only; the axes stay.")
      .def("equal_eps", &CoordinateSystem::equalEps, py::arg("other"), py::arg("origin_tolerance"),
           py::arg("axis_tolerance"),
           "Component-wise comparison, relative to other: |a - b| <= tolerance * |b|, and |a| <= 1e-50 where b "
           "is exactly 0. Not symmetric; NaN never passes.")
      .def("__repr__",
           [](const CoordinateSystem& cs) {
             return "CoordinateSystem(origin=" + py::repr(toArray(cs.getOrigin())).cast<std::string>() +
                    ", axes=" + py::repr(axesOf(cs)).cast<std::string>() + ")";
           })
      // The axes are orthonormalised again on loading, which may move their
      // last bits.
      .def(py::pickle(
          [](const CoordinateSystem& cs) {
            const BaVec3d<double>* axes = cs.getAxis();
            return py::make_tuple(toArray(cs.getOrigin()), toArray(axes[0]), toArray(axes[1]), toArray(axes[2]));
          },
          [](const py::tuple& state) {
            return CoordinateSystem(vector3(state[0], "origin"), vector3(state[1], "x_axis"),
                                    vector3(state[2], "y_axis"), vector3(state[3], "z_axis"));
          }));
}

}  // namespace zempy

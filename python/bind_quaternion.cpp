// zemtrafo.Quaternion.
#include <pybind11/operators.h>

#include <string>

#include "arrays.h"
#include "bindings.h"
#include "math_quaternion.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::Quaternion;
using Zem::Transformation;
using Order = Transformation::RotationOrder_t;

constexpr const char* kClassDoc = R"doc(A rotation as a quaternion (x, y, z, w): vector part first, scalar part w last.

The quaternion of axis n and angle a is (n sin(a/2), cos(a/2)); its matrix is
the elementary rotation of Transformation about that axis, the TRANSPOSE of
the matrix the same four numbers give in the usual active convention. So
Rotation.from_quat(q.as_array()).as_matrix() of SciPy (also x, y, z, w) equals
q.transformation().matrix[:3, :3].T. The product p * q applies p first, then q.
Nothing keeps the length at 1. == compares componentwise within 1e-6.)doc";

std::string reprOf(const Quaternion& q) {
  auto f = [](double v) { return py::repr(py::float_(v)).cast<std::string>(); };
  return "Quaternion(" + f(q.x) + ", " + f(q.y) + ", " + f(q.z) + ", " + f(q.w) + ")";
}

}  // namespace

void bindQuaternion(py::module_& m) {
  py::class_<Quaternion>(m, "Quaternion", kClassDoc)
      .def(py::init<double, double, double, double>(), py::arg("x") = 0.0, py::arg("y") = 0.0, py::arg("z") = 0.0,
           py::arg("w") = 1.0, "From the four values, vector part first; the identity (0, 0, 0, 1) by default.")
      .def_static(
          "from_axis_angle",
          [](const py::object& axis, double angle) { return Quaternion(vector3(axis, "axis"), angle); },
          py::arg("axis"), py::arg("angle"),
          "(n sin(a/2), cos(a/2)) with n the axis scaled to length 1 (a zero axis gives (0, 0, 0, cos(a/2))).")
      .def_static(
          "from_angles",
          [](const py::object& angles, Order order) { return Quaternion(vector3(angles, "angles"), order); },
          py::arg("angles"), py::arg("order"), "The rotation that Transformation(angles=angles, order=order) has.")
      .def_static(
          "from_transformation", [](const Transformation& t) { return Quaternion(t); }, py::arg("transformation"),
          "The rotation block of the transformation (translation and scale are dropped).")
      .def_readwrite("x", &Quaternion::x)
      .def_readwrite("y", &Quaternion::y)
      .def_readwrite("z", &Quaternion::z)
      .def_readwrite("w", &Quaternion::w, "The scalar part, cos(a/2) for a rotation by a.")
      .def(
          "as_array",
          [](const Quaternion& q) {
            py::array_t<double> a(4);
            double* p = a.mutable_data();
            p[0] = q.x, p[1] = q.y, p[2] = q.z, p[3] = q.w;
            return a;
          },
          "New array (x, y, z, w).")
      .def("transformation", &Quaternion::getTransformation,
           "Zero translation, scale 1 and the rotation block of this quaternion (not normalised first).")
      .def(
          "angles", [](const Quaternion& q, Order order) { return toArray(q.getAngles(order)); }, py::arg("order"),
          "transformation().angles(order).")
      .def_static(
          "principal_angles",
          [](const py::object& angles, Order order) {
            return toArray(Quaternion::getQuaternionAngles(vector3(angles, "angles"), order));
          },
          py::arg("angles"), py::arg("order"),
          "The angles of the same rotation in the ranges that Transformation.angles(order) returns.")
      .def_property_readonly(
          "axis", [](const Quaternion& q) { return toArray(q.getAxis()); }, "(x, y, z) as stored, not normalised.")
      .def_property_readonly("length", &Quaternion::getLength)
      .def("dot", &Quaternion::dot, py::arg("other"))
      .def("is_null", &Quaternion::isNull, "True when the squared length is 1e-4 or less.")
      .def("conjugate", &Quaternion::getConjugate, "(-x, -y, -z, w).")
      .def("inverse", &Quaternion::getInverse, "Conjugate divided by the squared length; zero when is_null().")
      .def(
          "normalized",
          [](Quaternion q) {
            q.normalize();
            return q;
          },
          "A copy of length 1 (unchanged when the length is 1e-4 or less).")
      .def(
          "rotate_vectors",
          [](const Quaternion& q, const py::object& vectors, const py::object& out) {
            return mapRows(pointArray(vectors, "vectors", true), out,
                           [q](const BaVec3d<double>& v) { return q.rotate(v); });
          },
          py::arg("vectors"), py::arg("out") = py::none(),
          "As transformation().rotate_vectors for a unit quaternion, on an (N, 3) array or one (3,) vector; "
          "a length L other than 1 divides the result by L**2.")
      .def_static("nlerp", &Quaternion::nlerp, py::arg("q1"), py::arg("t"), py::arg("q2"),
                  py::arg("shortest_path") = true, "Normalised linear interpolation (t = 0 gives q1, t = 1 q2).")
      .def_static("slerp", &Quaternion::slerp, py::arg("q1"), py::arg("t"), py::arg("q2"),
                  py::arg("shortest_path") = true, "Spherical interpolation of unit quaternions.")
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def(-py::self)
      .def(py::self * py::self)
      .def(py::self * double())
      .def(double() * py::self)
      .def(
          "__truediv__",
          [](const Quaternion& q, double s) {
            if (s == 0.0) {
              PyErr_SetString(PyExc_ZeroDivisionError, "division of a quaternion by zero");
              throw py::error_already_set();
            }
            return q / s;
          },
          py::is_operator())
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__repr__", &reprOf)
      .def(py::pickle([](const Quaternion& q) { return py::make_tuple(q.x, q.y, q.z, q.w); },
                      [](const py::tuple& s) {
                        return Quaternion(s[0].cast<double>(), s[1].cast<double>(), s[2].cast<double>(),
                                          s[3].cast<double>());
                      }));
}

}  // namespace zempy

// zemtrafo.Transformation and zemtrafo.Order.
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <string>

#include "arrays.h"
#include "bindings.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::Transformation;
using Order = Transformation::RotationOrder_t;

constexpr const char* kClassDoc =
    R"doc(Similarity transformation of 3D space: rotation R, translation t, uniform scale s.

Held as a 4x4 matrix m (rows r, columns c), exactly as the C++ class stores it::

    | R    t  |   R = m[:3, :3], t = m[:3, 3]
    | 0  1/s  |   m[3, 3] = 1/s  (the reciprocal of the scale, not the scale)

Points are column vectors: p' = (R p + t) / m[3, 3] = s (R p + t), so the scale
also scales the translation. Angles are radians.

The elementary rotations are the transposes of the usual active ones
(c = cos a, s = sin a)::

    Mx(a) = [[1, 0, 0], [0, c, s], [0, -s, c]]   +Z turns towards +Y
    My(a) = [[c, 0, -s], [0, 1, 0], [s, 0, c]]   +X turns towards +Z
    Mz(a) = [[c, s, 0], [-s, c, 0], [0, 0, 1]]   +Y turns towards +X

An angle vector (x, y, z) holds the angles about X, Y and Z whatever the order;
in an Order the first letter acts first (Order.XYZ: R = Mz @ My @ Mx). Without
an order the rotation is Order.YXZ (R = Mz @ Mx @ My) in closed form, as the
C++ three-argument set().

Construction::

    Transformation()                                   # identity
    Transformation(translation, angles, scale=1.0, order=None)
    Transformation(matrix)                             # a 4x4 array as above

a.append(b) makes a into "a, then b" (matrix b @ a); a.prepend(b) into "b, then a"
(matrix a @ b); a @ b is the new transformation "b, then a".)doc";

constexpr const char* kOrderDoc = R"doc(Sequence in which the three elementary rotations act on a column vector; the
first letter acts first. XYZ: R = Mz @ My @ Mx, XZY: My @ Mz @ Mx, YXZ: Mz @ Mx @ My,
YZX: Mx @ Mz @ My, ZXY: My @ Mx @ Mz, ZYX: Mx @ My @ Mz (see Transformation for
Mx, My, Mz). Compared with SciPy's Rotation: Transformation(angles=(x, y, z),
order=Order.XYZ).matrix[:3, :3] equals Rotation.from_euler("XYZ", [x, y, z]).as_matrix().T,
and likewise for every order (SciPy's intrinsic upper-case sequence, transposed).)doc";

double checkedScale(double scale) {
  if (scale == 0.0 || !std::isfinite(scale))
    throw py::value_error("scale must be finite and non-zero (the matrix stores 1/scale), got " +
                          py::repr(py::float_(scale)).cast<std::string>());
  return scale;
}

/// A 4x4 array as the library stores a transformation. Only matrices that
/// the point mapping p' = (R p + t) / m33 describes are accepted: row 3 must
/// be (0, 0, 0, m33) with m33 non-zero, and every element finite.
Transformation fromMatrix(py::handle obj) {
  const py::array a = numericArray(obj, "matrix");
  if (a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
    throw py::value_error("matrix must have shape (4, 4), got " + shapeText(a));
  const DoubleArray d = DoubleArray::ensure(a);
  if (!d) throw py::error_already_set();
  double m[4][4];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      m[r][c] = d.data()[4 * r + c];
      if (!std::isfinite(m[r][c])) throw py::value_error("matrix has a non-finite element");
    }
  if (m[3][0] != 0.0 || m[3][1] != 0.0 || m[3][2] != 0.0)
    throw py::value_error("matrix row 3 must be (0, 0, 0, 1/scale): a projective part cannot be applied");
  if (m[3][3] == 0.0) throw py::value_error("matrix[3, 3] holds 1/scale and must not be 0");
  return Transformation(m);
}

Transformation construct(py::object translation, py::object angles, double scale, std::optional<Order> order,
                         py::object matrix) {
  if (!translation.is_none() && angles.is_none() && scale == 1.0 && !order && matrix.is_none()) {
    const py::array a = numericArray(translation, "translation");
    if (a.ndim() == 2) matrix = translation;  // Transformation(matrix) given positionally
  }
  if (!matrix.is_none()) {
    if (!angles.is_none() || scale != 1.0 || order || (!translation.is_none() && !translation.is(matrix)))
      throw py::value_error("give either a matrix or translation/angles/scale/order, not both");
    return fromMatrix(matrix);
  }
  const BaVec3d<double> t = translation.is_none() ? BaVec3d<double>() : vector3(translation, "translation");
  const BaVec3d<double> r = angles.is_none() ? BaVec3d<double>() : vector3(angles, "angles");
  Transformation result;
  if (order)
    result.set(t, r, *order, checkedScale(scale));
  else
    result.set(t, r, checkedScale(scale));
  return result;
}

py::array_t<double> matrixOf(const Transformation& t) {
  py::array_t<double> a({4, 4});
  double* p = a.mutable_data();
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) p[4 * r + c] = t.getMatrix(c, r);  // getMatrix takes the column first
  return a;
}

}  // namespace

void bindTransformation(py::module_& m) {
  py::enum_<Order>(m, "Order", kOrderDoc)
      .value("XYZ", Transformation::ORDER_XYZ, "X acts first, then Y, then Z: R = Mz @ My @ Mx")
      .value("XZY", Transformation::ORDER_XZY, "R = My @ Mz @ Mx")
      .value("YXZ", Transformation::ORDER_YXZ, "R = Mz @ Mx @ My (the rotation without an order)")
      .value("YZX", Transformation::ORDER_YZX, "R = Mx @ Mz @ My")
      .value("ZXY", Transformation::ORDER_ZXY, "R = My @ Mx @ Mz")
      .value("ZYX", Transformation::ORDER_ZYX, "Z acts first, then Y, then X: R = Mx @ My @ Mz");

  py::class_<Transformation> cls(m, "Transformation", kClassDoc);
  cls.attr("Order") = m.attr("Order");
  cls.def(py::init(&construct), py::arg("translation") = py::none(), py::arg("angles") = py::none(),
          py::arg("scale") = 1.0, py::arg("order") = py::none(), py::kw_only(), py::arg("matrix") = py::none(),
          "Identity by default; from translation (3,), angles (3,) in radians and scale, the rotation built in "
          "`order` (Order.YXZ in closed form when None); or from a 4x4 matrix with m[3, 3] = 1/scale and row 3 "
          "= (0, 0, 0, 1/scale). Raises ValueError for a zero or non-finite scale or a matrix of another form.")
      .def_static("identity", &Transformation::identity, "The identity: R = I, t = 0, scale 1.")
      .def_property_readonly("matrix", &matrixOf,
                             "New 4x4 float64 array m[row, column]; m[:3, 3] is t, m[3, 3] is 1/scale.")
      .def_property_readonly(
          "translation", [](const Transformation& t) { return toArray(t.getTranslation()); },
          "t = m[:3, 3] as stored, not multiplied by the scale (the origin maps to scale * t).")
      .def_property_readonly("scale", &Transformation::getScale, "The uniform scale s = 1 / m[3, 3].")
      .def(
          "angles",
          [](const Transformation& t, std::optional<Order> order) {
            return toArray(order ? t.getAngles(*order) : t.getAngles());
          },
          py::arg("order") = py::none(),
          "Angles (x, y, z) in radians such that Transformation(angles=a, order=order) rebuilds the rotation. "
          "At a gimbal lock (middle angle exactly +-pi/2) the angle acting first takes the whole turn and the "
          "one acting last is 0. Without an order: Order.YXZ by the closed formulas, with no gimbal-lock case.")
      .def("append", &Transformation::append, py::arg("other"),
           "In place: self becomes 'self, then other' (matrix other @ self).")
      .def("prepend", &Transformation::prepend, py::arg("other"),
           "In place: self becomes 'other, then self' (matrix self @ other).")
      .def(
          "__matmul__",
          [](const Transformation& a, const Transformation& b) {
            Transformation r = a;
            r.prepend(b);
            return r;
          },
          py::is_operator(), "a @ b: 'b, then a', the matrix product a.matrix @ b.matrix.")
      .def("inverse", &Transformation::inverse,
           "The inverse (exact when the rotation block is orthonormal, as for every transformation built from "
           "angles).")
      .def_static("lerp", &Transformation::lerp, py::arg("a"), py::arg("t"), py::arg("b"),
                  "Element-wise a * (1 - t) + b * t of the two matrices (so m[3, 3] = 1/scale is averaged); not "
                  "re-orthonormalised, t not clamped.")
      .def(
          "transform_points",
          [](const Transformation& t, const py::object& points, const py::object& out) {
            return mapRows(pointArray(points, "points", true), out,
                           [t](const BaVec3d<double>& p) { return t.transformPoint(p); });
          },
          py::arg("points"), py::arg("out") = py::none(),
          "Images s (R p + t) of an (N, 3) array of points (or one point of shape (3,)), as a new float64 array "
          "of the same shape, or written into `out` (a C-contiguous float64 array of that shape, which may be "
          "`points` itself) and returned. Computed in C++; a C-contiguous float64 input is read in place, "
          "anything else is converted first.")
      .def(
          "rotate_vectors",
          [](const Transformation& t, const py::object& vectors, const py::object& out) {
            return mapRows(pointArray(vectors, "vectors", true), out,
                           [t](const BaVec3d<double>& v) { return t.rotateVector(v); });
          },
          py::arg("vectors"), py::arg("out") = py::none(),
          "R v for an (N, 3) array (or one (3,) vector): no translation and no scale. `out` as in "
          "transform_points.")
      .def("__repr__",
           [](const Transformation& t) { return "Transformation(" + py::repr(matrixOf(t)).cast<std::string>() + ")"; })
      .def(py::pickle([](const Transformation& t) { return py::make_tuple(matrixOf(t)); },
                      [](const py::tuple& state) {
                        // Kept as stored, without the checks of the constructor:
                        // a pickle carries back exactly what was there.
                        const DoubleArray d = DoubleArray::ensure(state[0]);
                        if (!d || d.size() != 16) throw py::value_error("not a pickled Transformation");
                        double mat[4][4];
                        for (int k = 0; k < 16; ++k) mat[k / 4][k % 4] = d.data()[k];
                        return Transformation(mat);
                      }));
}

}  // namespace zempy

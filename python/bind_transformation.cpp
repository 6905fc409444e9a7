// zemtrafo.Transformation and zemtrafo.Order.
#include <pybind11/stl.h>

#include <algorithm>
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
    Transformation(matrix)                             # a 4x4 array, see below

The matrix constructor takes the form above, or the form numpy, SciPy and
point-cloud libraries hold, [[s R, t'], [0, 1]] (p' = s R p + t'): the scale
s = cbrt(det) > 0 is split out of the block, so .scale, .inverse() and .matrix
(always the form above) are right. A block that is not s times a rotation (a
shear, a stretch, a reflection) raises ValueError. .affine_matrix returns the
second form, [[s R, s t], [0, 1]].

a.append(b) makes a into "a, then b" (matrix b @ a); a.prepend(b) into "b, then a"
(matrix a @ b); a @ b is the new transformation "b, then a".)doc";

constexpr const char* kOrderDoc = R"doc(Sequence in which the three elementary rotations act on a column vector; the
first letter acts first. XYZ: R = Mz @ My @ Mx, XZY: My @ Mz @ Mx, YXZ: Mz @ Mx @ My,
YZX: Mx @ Mz @ My, ZXY: My @ Mx @ Mz, ZYX: Mx @ My @ Mz (see Transformation for
Mx, My, Mz). Compared with SciPy's Rotation: Transformation(angles=(x, y, z),
order=Order.XYZ).matrix[:3, :3] equals Rotation.from_euler("XYZ", [x, y, z]).as_matrix().T,
and likewise for every order (SciPy's intrinsic upper-case sequence, transposed).)doc";

double checkedScale(double scale) {
  // The matrix stores 1/scale: a scale so small that 1/scale overflows would
  // build a matrix with an infinite element.
  if (scale == 0.0 || !std::isfinite(scale) || !std::isfinite(1.0 / scale))
    throw py::value_error("scale must be finite and non-zero with a finite 1/scale (the matrix stores 1/scale), got " +
                          py::repr(py::float_(scale)).cast<std::string>());
  return scale;
}

/// Three finite numbers (shape (3,)); ValueError naming the argument otherwise.
BaVec3d<double> finiteVector3(py::handle obj, const char* name) {
  const BaVec3d<double> v = vector3(obj, name);
  if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
    throw py::value_error(std::string(name) + " must be finite, got " + py::repr(toArray(v)).cast<std::string>());
  return v;
}

/// Largest deviation of the columns of `b` / scale from an orthonormal set:
/// max |(b/scale)^T (b/scale) - I| over the nine elements.
double orthonormalityError(const double b[3][3], double scale) {
  double worst = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double dot = 0.0;
      for (int k = 0; k < 3; ++k) dot += (b[k][i] / scale) * (b[k][j] / scale);
      worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
    }
  return worst;
}

/// How far the rotation block may be from orthonormal (after dividing by
/// the scale): well above the rounding of a fitted or composed matrix
/// (~1e-15), well below any shear or stretch a user means.
constexpr double kOrthonormalTolerance = 1e-9;

double determinant(const double b[3][3]) {
  return b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) - b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
         b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0]);
}

/// A 4x4 array in one of the two forms of a similarity:
///  - the library's own, [[R, t], [0, 1/s]]: row 3 is (0, 0, 0, m33), R a
///    rotation; kept exactly as given;
///  - the form numpy, SciPy and most point-cloud libraries use,
///    [[s R, t'], [0, 1]]: the scale s = cbrt(det) > 0 is split out of the
///    block, giving [[R, t'/s], [0, 1/s]] (the same point mapping).
/// Anything else (a shear, a stretch, a reflection, a projective row 3, a
/// non-finite element) raises ValueError.
Transformation fromMatrix(py::handle obj) {
  const py::array a = numericArray(obj, "matrix");
  if (a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
    throw py::value_error("matrix must have shape (4, 4), got " + shapeText(a));
  const DoubleArray d = doubleArray(a);
  double m[4][4];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      m[r][c] = d.data()[4 * r + c];
      if (!std::isfinite(m[r][c])) throw py::value_error("matrix has a non-finite element");
    }
  if (m[3][0] != 0.0 || m[3][1] != 0.0 || m[3][2] != 0.0)
    throw py::value_error("matrix row 3 must be (0, 0, 0, 1) or (0, 0, 0, 1/scale): a projective part cannot be applied");
  if (m[3][3] == 0.0 || !std::isfinite(1.0 / m[3][3]))
    throw py::value_error("matrix[3, 3] holds 1/scale and must be non-zero with a finite reciprocal");
  double block[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) block[r][c] = m[r][c];
  const double det = determinant(block);
  if (det > 0.0 && orthonormalityError(block, 1.0) <= kOrthonormalTolerance) return Transformation(m);
  const double scale = std::cbrt(det);
  if (m[3][3] != 1.0 || !(det > 0.0) || !std::isfinite(1.0 / scale) ||
      orthonormalityError(block, scale) > kOrthonormalTolerance)
    throw py::value_error(
        "matrix[:3, :3] must be a rotation R (with matrix[3, 3] = 1/scale) or s * R with s > 0 (with matrix[3, 3] = "
        "1); got a block that is not a multiple of a rotation (a shear, a stretch or a reflection)");
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) m[r][c] /= scale;
  }
  m[3][3] = 1.0 / scale;
  return Transformation(m);
}

/// [[s R, s t], [0, 1]]: the matrix that maps points in one product.
py::array_t<double> affineMatrixOf(const Transformation& t) {
  py::array_t<double> a({4, 4});
  double* p = a.mutable_data();
  const double w = t.getMatrix(3, 3);
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) p[4 * r + c] = t.getMatrix(c, r) / w;  // as transformPoint divides
  p[12] = p[13] = p[14] = 0.0;
  p[15] = 1.0;
  return a;
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
  const BaVec3d<double> t = translation.is_none() ? BaVec3d<double>() : finiteVector3(translation, "translation");
  const BaVec3d<double> r = angles.is_none() ? BaVec3d<double>() : finiteVector3(angles, "angles");
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
          "`order` (Order.YXZ in closed form when None); or from a 4x4 matrix, either [[R, t], [0, 1/scale]] "
          "(kept as given) or [[scale * R, t'], [0, 1]] (the scale split out). Raises ValueError for a non-finite "
          "translation, angle or element, a zero scale, or a matrix that is not a similarity.")
      .def_static("identity", &Transformation::identity, "The identity: R = I, t = 0, scale 1.")
      .def_property_readonly("matrix", &matrixOf,
                             "New 4x4 float64 array m[row, column]; m[:3, 3] is t, m[3, 3] is 1/scale.")
      .def_property_readonly("affine_matrix", &affineMatrixOf,
                             "New 4x4 float64 array [[s R, s t], [0, 1]]: p' = (affine_matrix @ [p, 1])[:3] in one "
                             "product, the form numpy, SciPy and point-cloud libraries use.")
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
      .def(
          "__eq__",
          [](const Transformation& a, const Transformation& b) {
            for (unsigned r = 0; r < 4; ++r)
              for (unsigned c = 0; c < 4; ++c)
                if (a.getMatrix(c, r) != b.getMatrix(c, r)) return false;
            return true;
          },
          py::is_operator(), "Exact equality of the 16 stored matrix elements (see isclose).")
      .def(
          "isclose",
          [](const Transformation& a, const Transformation& b, double tolerance) {
            if (!(tolerance >= 0.0)) throw py::value_error("tolerance must be >= 0");
            for (unsigned r = 0; r < 4; ++r)
              for (unsigned c = 0; c < 4; ++c)
                if (!(std::fabs(a.getMatrix(c, r) - b.getMatrix(c, r)) <= tolerance)) return false;
            return true;
          },
          py::arg("other"), py::arg("tolerance") = 1e-9,
          "True when every stored matrix element (rotation, translation in the points' unit, 1/scale) differs by "
          "at most `tolerance` from other's.")
      .def("__repr__",
           [](const Transformation& t) { return "Transformation(" + py::repr(matrixOf(t)).cast<std::string>() + ")"; })
      .def(py::pickle([](const Transformation& t) { return py::make_tuple(matrixOf(t)); },
                      [](const py::tuple& state) {
                        // Kept as stored, without the checks of the constructor:
                        // a pickle carries back exactly what was there.
                        const DoubleArray d = doubleArray(state[0]);
                        if (d.size() != 16) throw py::value_error("not a pickled Transformation");
                        double mat[4][4];
                        for (int k = 0; k < 16; ++k) mat[k / 4][k % 4] = d.data()[k];
                        return Transformation(mat);
                      }));
}

}  // namespace zempy

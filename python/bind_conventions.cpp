// SciPy's Rotation interface on zemtrafo.Transformation (from_euler,
// as_euler, from_rotvec, as_rotvec, from_quat, as_quat, from_matrix,
// as_matrix, apply, inv) and the vectorised conversions behind it. Every
// rotation here is right-hand and active, as SciPy's; see
// math_rotation_convention.h.
#include <cmath>
#include <string>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "math_quaternion.h"
#include "math_rotation_convention.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::EulerAngles;
using Zem::Quaternion;
using Zem::RotationConvention;
using Zem::Transformation;

// numpy's own factors of np.deg2rad and np.rad2deg.
constexpr double kRadPerDeg = 3.141592653589793 / 180.0;
constexpr double kDegPerRad = 180.0 / 3.141592653589793;

/// SciPy's sequence rules: 1 to 3 letters (exactly 3 for as_euler), all of
/// "xyz" (extrinsic) or all of "XYZ" (intrinsic), consecutive letters
/// different. Shorter sequences become a proper Euler convention "pqp" whose
/// missing angles are 0.
RotationConvention conventionOf(const std::string& seq, bool exactlyThree) {
  if (exactlyThree && seq.size() != 3) throw py::value_error("Expected 3 axes, got " + std::to_string(seq.size()) + ".");
  if (seq.empty() || seq.size() > 3)
    throw py::value_error("Expected the axis sequence to be a non-empty string of up to 3 characters, got " + seq);
  if (seq.find_first_not_of("xyz") != std::string::npos && seq.find_first_not_of("XYZ") != std::string::npos)
    throw py::value_error("Expected axes from `seq` to be from ['x', 'y', 'z'] or ['X', 'Y', 'Z'], got " + seq);
  for (std::size_t i = 1; i < seq.size(); ++i)
    if (seq[i] == seq[i - 1]) throw py::value_error("Expected consecutive axes to be different, got " + seq);
  std::string full = seq;
  if (full.size() == 1) full += char(full[0] == 'x' || full[0] == 'X' ? full[0] + 1 : full[0] - 1);
  if (full.size() == 2) full += full[0];
  return RotationConvention(QString::fromStdString(full));
}

/// (N, k) float64 rows and whether the argument was a single row, by SciPy's
/// rules: for one axis a scalar or (N,) or (N, 1); else (k,) or (N, k).
DoubleArray rowsOf(py::handle obj, const char* name, py::ssize_t k, bool scalarRows, bool* single) {
  py::array a = numericArray(obj, name);
  *single = false;
  if (scalarRows && a.ndim() == 0) {
    *single = true;
    a = a.attr("reshape")(1, 1);
  } else if (scalarRows && a.ndim() == 1) {
    a = a.attr("reshape")(-1, 1);
  } else if (a.ndim() == 1 && a.shape(0) == k) {
    *single = true;
    a = a.attr("reshape")(1, k);
  }
  if (a.ndim() != 2 || a.shape(1) != k)
    throw py::value_error(std::string("Expected `") + name + "` to have shape (" + std::to_string(k) + ",) or (N, " +
                          std::to_string(k) + "), got " + shapeText(a) + ".");
  DoubleArray d = DoubleArray::ensure(a);
  if (!d) throw py::error_already_set();
  return d;
}

/// (N, 3, 3) rotation blocks, or one (3, 3) block.
DoubleArray blocksOf(py::handle obj, bool* single) {
  py::array a = numericArray(obj, "matrix");
  *single = a.ndim() == 2;
  if (*single) a = a.attr("reshape")(1, 3, 3);
  if (a.ndim() != 3 || a.shape(1) != 3 || a.shape(2) != 3)
    throw py::value_error("Expected `matrix` to have shape (3, 3), or (N, 3, 3), got " + shapeText(a));
  DoubleArray d = DoubleArray::ensure(a);
  if (!d) throw py::error_already_set();
  return d;
}

Transformation withBlock(const double* b) {
  const double m[4][4] = {{b[0], b[1], b[2], 0}, {b[3], b[4], b[5], 0}, {b[6], b[7], b[8], 0}, {0, 0, 0, 1}};
  return Transformation(m);
}

void writeBlock(const Transformation& t, double* out) {
  for (unsigned k = 0; k < 9; ++k) out[k] = t.getMatrix(k % 3, k / 3);  // getMatrix takes the column first
}

/// Rows of `n` transformations into a new array of shape (n, width) or
/// (width,) for a single one; `fill` writes one row.
template <class Fill>
py::array_t<double> rowsFrom(py::ssize_t n, py::ssize_t width, bool single, Fill fill) {
  py::array_t<double> out = single ? py::array_t<double>({width}) : py::array_t<double>({n, width});
  double* p = out.mutable_data();
  for (py::ssize_t i = 0; i < n; ++i) fill(i, p + i * width);
  return out;
}

/// A single Transformation, or a list of them, from rows of numbers.
template <class Build>
py::object transformations(py::ssize_t n, bool single, Build build) {
  if (single) return py::cast(build(0));
  py::list out(n);
  for (py::ssize_t i = 0; i < n; ++i) out[i] = py::cast(build(i));
  return out;
}

py::array_t<double> blocksFromEuler(const std::string& seq, py::handle angles, bool degrees, bool* single,
                                    py::ssize_t* count) {
  const RotationConvention c = conventionOf(seq, false);
  const DoubleArray rows = rowsOf(angles, "angles", py::ssize_t(seq.size()), seq.size() == 1, single);
  const py::ssize_t n = rows.shape(0), k = rows.shape(1);
  const double factor = degrees ? kRadPerDeg : 1.0;
  py::array_t<double> out({n, py::ssize_t(3), py::ssize_t(3)});
  const double* a = rows.data();
  double* b = out.mutable_data();
  {
    py::gil_scoped_release released;
    for (py::ssize_t i = 0; i < n; ++i, a += k) {
      Transformation t;
      t.setEuler(BaVec3d<double>(), c,
                 EulerAngles(a[0] * factor, k > 1 ? a[1] * factor : 0.0, k > 2 ? a[2] * factor : 0.0), 1.0);
      writeBlock(t, b + 9 * i);
    }
  }
  *count = n;
  return out;
}

/// Rotation blocks, orthonormalised as SciPy's from_matrix does (through the
/// quaternion of the largest-element branch). A block that is not finite or
/// whose determinant is not positive is refused.
py::array_t<double> checkedBlocks(py::handle matrix, bool* single) {
  const DoubleArray in = blocksOf(matrix, single);
  const py::ssize_t n = in.shape(0);
  py::array_t<double> out({n, py::ssize_t(3), py::ssize_t(3)});
  for (py::ssize_t i = 0; i < n; ++i) {
    const double* b = in.data() + 9 * i;
    const double det = b[0] * (b[4] * b[8] - b[5] * b[7]) - b[1] * (b[3] * b[8] - b[5] * b[6]) +
                       b[2] * (b[3] * b[7] - b[4] * b[6]);
    if (!std::isfinite(det)) throw py::value_error("matrix has a non-finite element");
    if (!(det > 0.0))
      throw py::value_error("Non-positive determinant (left-handed or null coordinate frame) in rotation matrix " +
                            std::to_string(i) + ": a reflection or a degenerate matrix is not a rotation");
    Transformation t;
    t.setRightHandQuaternion(BaVec3d<double>(), withBlock(b).getRightHandQuaternion(), 1.0);
    writeBlock(t, out.mutable_data() + 9 * i);
  }
  return out;
}

constexpr const char* kWarnLock =
    "Gimbal lock detected. Setting third angle to zero since it is not possible to uniquely determine all angles.";

py::tuple eulerFromBlocks(const std::string& seq, py::handle matrix, bool degrees) {
  const RotationConvention c = conventionOf(seq, true);
  bool single;
  const DoubleArray in = blocksOf(matrix, &single);
  const py::ssize_t n = in.shape(0);
  const double factor = degrees ? kDegPerRad : 1.0;
  py::array_t<double> angles({n, py::ssize_t(3)});
  py::array_t<bool> locked(n);
  const double* b = in.data();
  double* a = angles.mutable_data();
  bool* l = locked.mutable_data();
  {
    py::gil_scoped_release released;
    for (py::ssize_t i = 0; i < n; ++i, b += 9, a += 3) {
      const EulerAngles e = withBlock(b).getEuler(c);
      a[0] = e.first * factor;
      a[1] = e.second * factor;
      a[2] = e.third * factor;
      l[i] = e.gimbalLock;
    }
  }
  return py::make_tuple(angles, locked);
}

py::array_t<double> blocksFromRotvec(py::handle rotvec, bool degrees, bool* single) {
  const DoubleArray rows = rowsOf(rotvec, "rotvec", 3, false, single);
  const py::ssize_t n = rows.shape(0);
  const double factor = degrees ? kRadPerDeg : 1.0;
  py::array_t<double> out({n, py::ssize_t(3), py::ssize_t(3)});
  const double* v = rows.data();
  double* b = out.mutable_data();
  {
    py::gil_scoped_release released;
    for (py::ssize_t i = 0; i < n; ++i, v += 3) {
      Transformation t;
      t.setRotationVector(BaVec3d<double>(), BaVec3d<double>(v[0], v[1], v[2]) * factor, 1.0);
      writeBlock(t, b + 9 * i);
    }
  }
  return out;
}

py::array_t<double> rotvecFromBlocks(py::handle matrix, bool degrees) {
  bool single;
  const DoubleArray in = blocksOf(matrix, &single);
  const double factor = degrees ? kDegPerRad : 1.0;
  return rowsFrom(in.shape(0), 3, false, [&](py::ssize_t i, double* out) {
    const BaVec3d<double> v = withBlock(in.data() + 9 * i).getRotationVector() * factor;
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
  });
}

/// A single Transformation or a list, one per 3x3 block, translation 0, scale 1.
py::object fromBlocks(const py::array_t<double>& blocks, bool single) {
  return transformations(blocks.shape(0), single, [&](py::ssize_t i) { return withBlock(blocks.data() + 9 * i); });
}

py::array_t<double> blockArray(const Transformation& t) {
  py::array_t<double> a({3, 3});
  writeBlock(t, a.mutable_data());
  return a;
}

}  // namespace

void bindConventions(py::module_& m) {
  auto cls = py::reinterpret_borrow<py::class_<Transformation>>(m.attr("Transformation"));
  cls.def_static(
         "from_euler",
         [](const std::string& seq, const py::object& angles, bool degrees) {
           bool single;
           py::ssize_t n;
           const py::array_t<double> blocks = blocksFromEuler(seq, angles, degrees, &single, &n);
           return fromBlocks(blocks, single);
         },
         py::arg("seq"), py::arg("angles"), py::arg("degrees") = false,
         "As SciPy's Rotation.from_euler: `seq` of 1 to 3 axes, upper case intrinsic, lower case extrinsic; angles "
         "(k,) for one rotation (a float for one axis) or (N, k) for N. Right-hand, active: from_euler('z', 90, "
         "degrees=True) carries +X onto +Y. Returns a Transformation (zero translation, scale 1), or a list of N.")
      .def(
          "as_euler",
          [](const Transformation& t, const std::string& seq, bool degrees) {
            const EulerAngles e = t.getEuler(conventionOf(seq, true));
            if (e.gimbalLock && PyErr_WarnEx(PyExc_UserWarning, kWarnLock, 1) != 0) throw py::error_already_set();
            const double f = degrees ? kDegPerRad : 1.0;
            return toArray(BaVec3d<double>(e.first * f, e.second * f, e.third * f));
          },
          py::arg("seq"), py::arg("degrees") = false,
          "As SciPy's Rotation.as_euler, for the rotation block: (3,) angles in the letter sequence of `seq` (3 "
          "axes), the second in [-pi/2, pi/2] (or [0, pi] for 'zxz' and the like), the others in (-pi, pi]. At a "
          "gimbal lock, the block at it to its own rounding, the third angle is 0 and a UserWarning is issued; "
          "elsewhere the angles rebuild the block to rounding, also next to the lock.")
      .def_static(
          "from_rotvec",
          [](const py::object& rotvec, bool degrees) {
            bool single;
            const py::array_t<double> blocks = blocksFromRotvec(rotvec, degrees, &single);
            return fromBlocks(blocks, single);
          },
          py::arg("rotvec"), py::arg("degrees") = false,
          "As SciPy's Rotation.from_rotvec: axis times angle, (3,) or (N, 3). A Transformation or a list of N.")
      .def(
          "as_rotvec",
          [](const Transformation& t, bool degrees) {
            return toArray(t.getRotationVector() * (degrees ? kDegPerRad : 1.0));
          },
          py::arg("degrees") = false, "As SciPy's Rotation.as_rotvec, for the rotation block: angle in [0, pi].")
      .def_static(
          "from_quat",
          [](const py::object& quat) {
            bool single;
            const DoubleArray rows = rowsOf(quat, "quat", 4, false, &single);
            return transformations(rows.shape(0), single, [&](py::ssize_t i) {
              const double* q = rows.data() + 4 * i;
              Transformation t;
              if (!t.setRightHandQuaternion(BaVec3d<double>(), Quaternion(q[0], q[1], q[2], q[3]), 1.0))
                throw py::value_error(std::isfinite(q[0] + q[1] + q[2] + q[3]) ? "Found zero norm quaternions in `quat`."
                                                                              : "quat has a non-finite element");
              return t;
            });
          },
          py::arg("quat"),
          "As SciPy's Rotation.from_quat: (x, y, z, w), the scalar last, (4,) or (N, 4), normalised first. The "
          "library's Quaternion of the same rotation is (-x, -y, -z, w). ValueError for a zero or non-finite one.")
      .def(
          "as_quat",
          [](const Transformation& t, bool canonical) {
            Quaternion q = t.getRightHandQuaternion();
            const double first = q.w != 0.0 ? q.w : q.x != 0.0 ? q.x : q.y != 0.0 ? q.y : q.z;
            if (canonical && first < 0.0) q = -q;
            py::array_t<double> a(4);
            double* p = a.mutable_data();
            p[0] = q.x, p[1] = q.y, p[2] = q.z, p[3] = q.w;
            return a;
          },
          py::arg("canonical") = false,
          "(x, y, z, w) of the rotation block, the quaternion SciPy's from_matrix gives (its largest component "
          "positive); canonical=True chooses w >= 0 instead (the first non-zero of w, x, y, z positive).")
      .def_static(
          "from_matrix",
          [](const py::object& matrix) {
            bool single;
            const py::array_t<double> blocks = checkedBlocks(matrix, &single);
            return fromBlocks(blocks, single);
          },
          py::arg("matrix"),
          "As SciPy's Rotation.from_matrix: a 3x3 rotation matrix (or (N, 3, 3)), orthonormalised as SciPy does. "
          "ValueError for a matrix with a non-finite element or a determinant that is not positive (a reflection "
          "is no rotation). For a 4x4 transformation use Transformation(matrix).")
      .def("as_matrix", &blockArray, "The 3x3 rotation block m[:3, :3], as SciPy's Rotation.as_matrix.")
      .def(
          "apply",
          [](const Transformation& t, const py::object& vectors, bool inverse) {
            const Transformation u = inverse ? t.inverse() : t;
            return mapRows(pointArray(vectors, "vectors", true), py::none(),
                           [u](const BaVec3d<double>& p) { return u.transformPoint(p); });
          },
          py::arg("vectors"), py::arg("inverse") = false,
          "transform_points(vectors), or with the inverse transformation; for a pure rotation the same as SciPy's "
          "Rotation.apply (a translation and scale are applied too).")
      .def("inv", &Transformation::inverse, "The same as inverse() (SciPy's Rotation.inv).");

  m.def(
      "matrices_from_euler",
      [](const std::string& seq, const py::object& angles, bool degrees) {
        bool single;
        py::ssize_t n;
        return blocksFromEuler(seq, angles, degrees, &single, &n);
      },
      py::arg("seq"), py::arg("angles"), py::arg("degrees") = false,
      "Vectorised Transformation.from_euler: the (N, 3, 3) rotation matrices (a single rotation gives N = 1).");
  m.def("euler_from_matrices", &eulerFromBlocks, py::arg("seq"), py::arg("matrices"), py::arg("degrees") = false,
        "Vectorised as_euler of (N, 3, 3) rotation matrices: (angles (N, 3), gimbal_lock (N,) bool). No warning.");
  m.def(
      "matrices_from_rotvec",
      [](const py::object& rotvec, bool degrees) {
        bool single;
        return blocksFromRotvec(rotvec, degrees, &single);
      },
      py::arg("rotvec"), py::arg("degrees") = false, "Vectorised from_rotvec: (N, 3, 3) rotation matrices.");
  m.def("rotvec_from_matrices", &rotvecFromBlocks, py::arg("matrices"), py::arg("degrees") = false,
        "Vectorised as_rotvec of (N, 3, 3) rotation matrices: (N, 3).");
}

}  // namespace zempy

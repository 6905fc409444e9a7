// The alignments of Transformation as named constructors: frames from
// planes, axes and points, rotations about axes, line onto line, three-point,
// 3-2-1 and plane-line-point alignment. Each returns a new Transformation or
// raises zemtrafo.FitError when the geometry admits none (where the C++
// member returns false); the matrix of a failed attempt is never shown.
#include <QString>
#include <string>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "math_transformation.h"
#include "zem_math.h"

namespace zempy {

namespace {

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Line3d;
using Zem::Plane3d;
using Zem::Transformation;
using Vec = BaVec3d<double>;

/// (a, b, c, d) of the plane a x + b y + c z + d = 0.
Plane3d plane(const py::object& obj, const char* name) {
  const py::array a = numericArray(obj, name);
  if (a.ndim() != 1 || a.shape(0) != 4)
    throw py::value_error(std::string(name) + " must be (a, b, c, d) of a x + b y + c z + d = 0, shape (4,), got " +
                          shapeText(a));
  const DoubleArray d = doubleArray(a);
  return Plane3d(d.data()[0], d.data()[1], d.data()[2], d.data()[3]);
}

/// k rows of three coordinates.
std::vector<Vec> rows(const py::object& obj, const char* name, py::ssize_t k) {
  const DoubleArray a = pointArray(obj, name);
  if (a.shape(0) != k)
    throw py::value_error(std::string(name) + " must have shape (" + std::to_string(k) + ", 3), got " + shapeText(a));
  std::vector<Vec> v;
  for (py::ssize_t i = 0; i < k; ++i) v.emplace_back(a.data()[3 * i], a.data()[3 * i + 1], a.data()[3 * i + 2]);
  return v;
}

std::vector<double> values(const py::object& obj, const char* name, py::ssize_t k) {
  const py::array a = numericArray(obj, name);
  if (a.ndim() != 1 || a.shape(0) != k)
    throw py::value_error(std::string(name) + " must have shape (" + std::to_string(k) + ",), got " + shapeText(a));
  const DoubleArray d = doubleArray(a);
  return std::vector<double>(d.data(), d.data() + k);
}

/// Runs one C++ construction on an identity and returns its result, or
/// raises FitError with `why` when it returns false.
template <class Construct>
Transformation built(Construct construct, const std::string& why) {
  Transformation t = Transformation::identity();
  if (!construct(t)) throw FitFailure{why};
  return t;
}

constexpr const char* kNoDirection = "a direction has no length, two directions are parallel, or a value is not finite";

}  // namespace

void bindAlignment(py::module_& m) {
  py::enum_<Transformation::TransformMode_t>(
      m, "AlignMode", "3-2-1 alignment: the letters name the primary (plane normal), secondary and tertiary axis.")
      .value("ZYX", Transformation::ALIGN_ZYX)
      .value("ZXY", Transformation::ALIGN_ZXY)
      .value("YZX", Transformation::ALIGN_YZX)
      .value("YXZ", Transformation::ALIGN_YXZ)
      .value("XYZ", Transformation::ALIGN_XYZ)
      .value("XZY", Transformation::ALIGN_XZY);
  py::enum_<Transformation::TrafoPLPMode_t>(
      m, "PLPMode", "Plane-line-point alignment: the priority of the features; the first keeps its position.")
      .value("PLANE_LINE_POINT", Transformation::PLP_PLANE_LINE_POINT)
      .value("PLANE_POINT_LINE", Transformation::PLP_PLANE_POINT_LINE)
      .value("LINE_PLANE_POINT", Transformation::PLP_LINE_PLANE_POINT)
      .value("LINE_POINT_PLANE", Transformation::PLP_LINE_POINT_PLANE)
      .value("POINT_PLANE_LINE", Transformation::PLP_POINT_PLANE_LINE)
      .value("POINT_LINE_PLANE", Transformation::PLP_POINT_LINE_PLANE);

  // Planes are (a, b, c, d) with the normal (a, b, c) of any non-zero length;
  // frames map their origin to 0 and their axes onto X, Y, Z (rigid, m33 = 1).
  auto cls = py::reinterpret_borrow<py::class_<Transformation>>(m.attr("Transformation"));
  cls.def_static(
         "frame_from_axes",
         [](const py::object& xAxis, const py::object& yAxis, const py::object& origin) {
           const std::vector<Vec> axes = {vector3(xAxis, "x_axis"), vector3(yAxis, "y_axis")};
           const Vec o = vector3(origin, "origin");
           return built([&](Transformation& t) { return t.computeTransformationCSToCartesian(axes, o); }, kNoDirection);
         },
         py::arg("x_axis"), py::arg("y_axis"), py::arg("origin"),
         "Into the frame X' = x_axis, Y' = y_axis (each of unit length, not made perpendicular), Z' = X' x Y', "
         "origin `origin`.")
      .def_static(
          "frame_in_plane",
          [](const py::object& p, const py::object& sidePoint, bool positive) {
            const Plane3d pl = plane(p, "plane");
            const Vec s = vector3(sidePoint, "side_point");
            return built([&](Transformation& t) { return t.computeTransformationPointAndPlane(pl, s, positive); },
                         "the plane has no normal");
          },
          py::arg("plane"), py::arg("side_point"), py::arg("positive") = true,
          "Into a frame in the plane (the plane maps to z = 0); Z' along the normal, towards the side of "
          "side_point when positive.")
      .def_static(
          "frame_on_plane",
          [](const py::object& p, const py::object& origin, const py::object& xDirection) {
            const Plane3d pl = plane(p, "plane");
            const Vec o = vector3(origin, "origin");
            if (xDirection.is_none())
              return built([&](Transformation& t) { return t.computeTransformationPointAndPlane(pl, o); },
                           "the plane has no normal");
            const Vec x = vector3(xDirection, "x_direction");
            return built([&](Transformation& t) { return t.computeTransformationPointAndPlane(pl, x, o); },
                         "the plane has no normal, or x_direction is parallel to it");
          },
          py::arg("plane"), py::arg("origin"), py::arg("x_direction") = py::none(),
          "Into the frame Z' = unit normal, X' = x_direction projected into the plane (the plane's own first "
          "direction when None), origin `origin`.")
      .def_static(
          "frame_from_3_planes",
          [](const py::object& p1, const py::object& p2, const py::object& p3, const py::object& xSide, bool xPositive,
             const py::object& zSide, bool zPositive) {
            const Plane3d a = plane(p1, "first"), b = plane(p2, "second"), c = plane(p3, "third");
            const Vec xs = vector3(xSide, "x_side_point"), zs = vector3(zSide, "z_side_point");
            return built(
                [&](Transformation& t) {
                  return t.computeTransformation3Planes(a, b, c, xs, xPositive, zs, zPositive);
                },
                "the three planes have no single common point");
          },
          py::arg("first"), py::arg("second"), py::arg("third"), py::arg("x_side_point"), py::arg("x_positive"),
          py::arg("z_side_point"), py::arg("z_positive"),
          "Origin at the common point; X' along the line of the first two planes, Z' in the second plane, each "
          "oriented by its side point.")
      .def_static(
          "frame_from_x_axis_and_plane",
          [](const py::object& p, const py::object& start, const py::object& end, const py::object& offset) {
            const Plane3d pl = plane(p, "plane");
            const Vec s = vector3(start, "start"), e = vector3(end, "end");
            const Vec o = offset.is_none() ? Vec() : vector3(offset, "offset");
            return built([&](Transformation& t) { return t.computeTransformationXAxisAndPlane(pl, s, e, o); },
                         "the plane has no normal, start equals end, or the axis is perpendicular to the plane");
          },
          py::arg("plane"), py::arg("start"), py::arg("end"), py::arg("offset") = py::none(),
          "X' = end - start projected into the plane, Z' = unit normal; start maps to offset.")
      .def_static(
          "plane_to_xy",
          [](const py::object& p, const py::object& view, const py::object& origin) {
            const Plane3d pl = plane(p, "plane");
            const Vec v = vector3(view, "view_direction"), o = vector3(origin, "origin");
            return built([&](Transformation& t) { return t.compute3d2dTransformation(pl, v, o); },
                         "the plane has no normal");
          },
          py::arg("plane"), py::arg("view_direction"), py::arg("origin"),
          "The plane onto z = 0 as seen along view_direction; origin maps to (0, 0, 0).")
      .def_static(
          "mirror",
          [](const py::object& p) {
            const Plane3d pl = plane(p, "plane");
            return built([&](Transformation& t) { return t.computeMirrorTransformation(pl); },
                         "the plane has no normal");
          },
          py::arg("plane"), "Reflection in the plane (determinant -1, its own inverse).")
      .def_static(
          "rotation_about_axis",
          [](const py::object& point, const py::object& direction, double angle) {
            const Vec p = vector3(point, "point"), d = vector3(direction, "direction");
            return built([&](Transformation& t) { return t.computeTransformationRotateAxis(p, d, angle); },
                         kNoDirection);
          },
          py::arg("point"), py::arg("direction"), py::arg("angle"),
          "Rotation by `angle` about the axis through `point`, in the sense of the elementary rotations: about "
          "(0, 0, 1) a positive angle carries +Y onto +X. Points of the axis stay.")
      .def_static(
          "rotation_then_translation",
          [](const py::object& direction, double angle, const py::object& translation) {
            const Vec d = vector3(direction, "direction"), tr = vector3(translation, "translation");
            return built([&](Transformation& t) { return t.computeTransformationAngle(tr, d, angle); }, kNoDirection);
          },
          py::arg("direction"), py::arg("angle"), py::arg("translation"),
          "x -> R x + translation, R the rotation by `angle` about the axis through the origin.")
      .def_static(
          "line_to_line",
          [](const py::object& sp, const py::object& sd, const py::object& tp, const py::object& td) {
            const Line3d source(vector3(sp, "source_point"), vector3(sd, "source_direction"));
            const Line3d target(vector3(tp, "target_point"), vector3(td, "target_direction"));
            return built([&](Transformation& t) { return t.computeLineToLineTransformation(source, target); },
                         kNoDirection);
          },
          py::arg("source_point"), py::arg("source_direction"), py::arg("target_point"), py::arg("target_direction"),
          "The motion carrying the source line onto the target line, point onto point, direction onto direction.")
      .def_static(
          "three_point_alignment",
          [](const py::object& source, const py::object& target, bool positiveX, bool leftSide) {
            const std::vector<Vec> src = rows(source, "source", 3);
            std::vector<Vec> dst = rows(target, "target", 3);
            Transformation t = Transformation::identity();
            if (!t.computeTransformation3Points(src, dst, positiveX, leftSide))
              throw FitFailure{
                  "the known target coordinates do not fit the source triangle, or the source points lie on a line"};
            py::array_t<double> completed({3, 3});
            for (int i = 0; i < 3; ++i) {
              completed.mutable_data()[3 * i] = dst[std::size_t(i)].x;
              completed.mutable_data()[3 * i + 1] = dst[std::size_t(i)].y;
              completed.mutable_data()[3 * i + 2] = dst[std::size_t(i)].z;
            }
            return py::make_tuple(t, completed);
          },
          py::arg("source"), py::arg("target"), py::arg("positive_x") = true, py::arg("left_side") = true,
          "Aligns three (3, 3) source points with target points of which q0 is known in x, y, z, q1 in y, z and "
          "q2 in z (the other entries are ignored). Returns (transformation, completed target).")
      .def_static(
          "align_321",
          [](Transformation::TransformMode_t mode, const py::object& planePoints, const py::object& planeValues,
             const py::object& dirPoints, const py::object& dirValues, const py::object& point, double pointValue,
             bool planePositive, bool dirPositive) {
            const auto pp = rows(planePoints, "plane_points", 3), dp = rows(dirPoints, "dir_points", 2);
            const auto pv = values(planeValues, "plane_values", 3), dv = values(dirValues, "dir_values", 2);
            const Vec p = vector3(point, "point");
            QString message;
            return built(
                [&](Transformation& t) {
                  return t.computeTransformation321(mode, pp, pv, planePositive, dp, dv, dirPositive, p, pointValue,
                                                    message);
                },
                "the nominal values cannot be reached by the measured points");
          },
          py::arg("mode"), py::arg("plane_points"), py::arg("plane_values"), py::arg("dir_points"),
          py::arg("dir_values"), py::arg("point"), py::arg("point_value"), py::arg("plane_positive") = true,
          py::arg("dir_positive") = true,
          "3-2-1 alignment: three plane points to the primary-axis coordinates plane_values, two direction points "
          "to the secondary ones dir_values, the point to the tertiary point_value (AlignMode names the axes).")
      .def_static(
          "align_plane_line_point",
          [](Transformation::TrafoPLPMode_t mode, const py::object& srcPlane, const py::object& refPlane,
             const py::object& srcLine, const py::object& refLine, const py::object& srcPoint,
             const py::object& refPoint) {
            const Plane3d sp = plane(srcPlane, "source_plane"), rp = plane(refPlane, "target_plane");
            const auto sl = rows(srcLine, "source_line", 2), rl = rows(refLine, "target_line", 2);
            const Vec s = vector3(srcPoint, "source_point"), r = vector3(refPoint, "target_point");
            QString message;
            Transformation t = Transformation::identity();
            if (!t.computeTransformationPlaneLinePoint(mode, sp, rp, Line3d(sl[0], sl[1]), Line3d(rl[0], rl[1]), s, r,
                                                       &message))
              throw FitFailure{message.isEmpty() ? std::string("a value is not finite") : message.toStdString()};
            return t;
          },
          py::arg("mode"), py::arg("source_plane"), py::arg("target_plane"), py::arg("source_line"),
          py::arg("target_line"), py::arg("source_point"), py::arg("target_point"),
          "Plane-line-point alignment of source features onto target features; lines are (2, 3) arrays (point, "
          "direction).");
}

}  // namespace zempy

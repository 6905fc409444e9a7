// zemtrafo.fit_line, fit_plane, fit_circle, fit_sphere and fit_cylinder:
// geometric elements fitted to (N, 3) arrays of probed points by
// orthogonal-distance least squares. Each returns a result with named
// fields or raises zemtrafo.FitError with the reason.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "math_features.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::FeatureFit;

/// A zero vector (no hint) for None, else exactly three numbers.
BaVec3d<double> hint(const py::object& obj, const char* name) {
  return obj.is_none() ? BaVec3d<double>() : vector3(obj, name);
}

/// Runs `fit` on the rows of `points` without the GIL; FitError on failure.
template <class Result, class Fit>
Result fitted(const py::object& points, const char* element, Fit fit) {
  const DoubleArray a = pointArray(points, "points");
  Result result;
  {
    py::gil_scoped_release released;
    result = fit(Zem::FeaturePoints(a.data(), std::size_t(a.shape(0))));
  }
  if (result.isSucceeded()) return result;
  std::string reason = std::string("no ") + element + ": " + result.getStatusText();
  if (result.status == FeatureFit::FEATURE_TOO_FEW_POINTS)
    reason += " (needs " + std::to_string(result.minimumPoints) + ", got " + std::to_string(a.shape(0)) + ")";
  throw FitFailure{reason};
}

/// The fields every result shares, on a class of the given C++ type.
template <class Result>
py::class_<Result> resultClass(py::module_& m, const char* name, const char* doc) {
  py::class_<Result> c(m, name, doc);
  c.def_property_readonly(
       "residuals",
       [](const Result& r) {
         return frozen(py::array_t<double>(py::ssize_t(r.residuals.size()), r.residuals.data()));
       },
       "(N,) signed orthogonal residual of each point, in input order (read-only).")
      .def_readonly("rms", &Result::rms, "Root mean square of the residuals.")
      .def_readonly("form", &Result::form,
                    "Largest minus smallest residual (line: twice the largest distance).")
      .def_readonly("iterations", &Result::iterations, "Iterations of the least-squares search (0: closed form).");
  return c;
}

template <class Result>
py::array_t<double> field(const Result& r, BaVec3d<double> Result::*member) {
  return toArray(r.*member);
}

constexpr const char* kConventions = R"doc(

points: (N, 3) array (any numeric dtype). The fit minimises the sum of the
squared orthogonal distances. Residuals are signed: plane along the normal,
circle/sphere/cylinder positive outside; the line's are distances (>= 0).
Raises FitError with the reason when the points do not fix the element
(too few, coinciding, on one line, in one plane, ...) or are not finite.)doc";

std::string documented(const char* text) { return std::string(text) + kConventions; }

}  // namespace

void bindFeatures(py::module_& m) {
  using Zem::CircleFit;
  using Zem::CylinderFit;
  using Zem::LineFit;
  using Zem::PlaneFit;
  using Zem::SphereFit;
  resultClass<LineFit>(m, "LineFit", "A fitted line: point (nearest the centroid) and unit direction.")
      .def_property_readonly("point", [](const LineFit& r) { return field(r, &LineFit::point); })
      .def_property_readonly("direction", [](const LineFit& r) { return field(r, &LineFit::direction); });
  resultClass<PlaneFit>(m, "PlaneFit", "A fitted plane: point (the centroid) and unit normal.")
      .def_property_readonly("point", [](const PlaneFit& r) { return field(r, &PlaneFit::point); })
      .def_property_readonly("normal", [](const PlaneFit& r) { return field(r, &PlaneFit::normal); })
      .def_property_readonly(
          "coefficients",
          [](const PlaneFit& r) {
            const Zem::Plane3d p = r.toPlane3d();
            const double abcd[4] = {p.a, p.b, p.c, p.d};
            return py::array_t<double>(4, abcd);
          },
          "(a, b, c, d) of a x + b y + c z + d = 0, as Transformation.plane_line_point takes it.");
  resultClass<CircleFit>(m, "CircleFit", "A fitted circle in 3D: center, unit normal of its plane, radius.")
      .def_property_readonly("center", [](const CircleFit& r) { return field(r, &CircleFit::center); })
      .def_property_readonly("normal", [](const CircleFit& r) { return field(r, &CircleFit::normal); })
      .def_readonly("radius", &CircleFit::radius);
  resultClass<SphereFit>(m, "SphereFit", "A fitted sphere: center and radius.")
      .def_property_readonly("center", [](const SphereFit& r) { return field(r, &SphereFit::center); })
      .def_readonly("radius", &SphereFit::radius);
  resultClass<CylinderFit>(m, "CylinderFit",
                           "A fitted cylinder: point of the axis nearest the centroid, unit axis direction "
                           "(also as direction), radius.")
      .def_property_readonly("point", [](const CylinderFit& r) { return field(r, &CylinderFit::point); })
      .def_property_readonly("axis", [](const CylinderFit& r) { return field(r, &CylinderFit::axis); })
      .def_property_readonly("direction", [](const CylinderFit& r) { return field(r, &CylinderFit::axis); })
      .def_readonly("radius", &CylinderFit::radius);

  m.def(
      "fit_line",
      [](const py::object& points, const py::object& direction) {
        const BaVec3d<double> h = hint(direction, "direction");
        return fitted<LineFit>(points, "line", [&h](const Zem::FeaturePoints& p) { return Zem::fitLine(p, h); });
      },
      py::arg("points"), py::arg("direction") = py::none(),
      documented("Least-squares line (at least 2 points). The direction points from the first point towards the "
                 "last, or along `direction` when given.")
          .c_str());
  m.def(
      "fit_plane",
      [](const py::object& points, const py::object& normal) {
        const BaVec3d<double> h = hint(normal, "normal");
        return fitted<PlaneFit>(points, "plane", [&h](const Zem::FeaturePoints& p) { return Zem::fitPlane(p, h); });
      },
      py::arg("points"), py::arg("normal") = py::none(),
      documented("Least-squares plane (at least 3 points). The normal follows the right-hand order of the first "
                 "three points, or `normal` when given.")
          .c_str());
  m.def(
      "fit_circle",
      [](const py::object& points, const py::object& normal) {
        const BaVec3d<double> h = hint(normal, "normal");
        return fitted<CircleFit>(points, "circle",
                                 [&h](const Zem::FeaturePoints& p) { return Zem::fitCircle(p, h); });
      },
      py::arg("points"), py::arg("normal") = py::none(),
      documented("Least-squares circle in 3D (at least 3 points), its plane fitted with it; a point's distance "
                 "is sqrt(h^2 + (rho - r)^2). The normal is oriented as in fit_plane.")
          .c_str());
  m.def(
      "fit_sphere",
      [](const py::object& points) {
        return fitted<SphereFit>(points, "sphere", [](const Zem::FeaturePoints& p) { return Zem::fitSphere(p); });
      },
      py::arg("points"), documented("Least-squares sphere (at least 4 points).").c_str());
  m.def(
      "fit_cylinder",
      [](const py::object& points, const py::object& axis) {
        const BaVec3d<double> h = hint(axis, "axis");
        return fitted<CylinderFit>(points, "cylinder",
                                   [&h](const Zem::FeaturePoints& p) { return Zem::fitCylinder(p, h); });
      },
      py::arg("points"), py::arg("axis") = py::none(),
      documented("Least-squares cylinder (at least 5 points). `axis`: an approximate axis direction, needed only "
                 "for short partial cylinders; it also orients the result (else first point towards last).")
          .c_str());
}

}  // namespace zempy

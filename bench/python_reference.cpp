// The C++ side of bench_python.py: times the library's own loop and fit on
// the data the script passes, inside the same process, so that the script
// can report the module's cost as a ratio. The arrays are converted into the
// library's vectors before any timing starts.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

#include "math_fit_result.h"
#include "math_transformation.h"

namespace py = pybind11;
using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

template <class Point>
std::vector<Point> toVector(const Array& a) {
  std::vector<Point> v(std::size_t(a.shape(0)));
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i].x = a.data()[3 * i];
    v[i].y = a.data()[3 * i + 1];
    v[i].z = a.data()[3 * i + 2];
  }
  return v;
}

template <class Body>
double bestSeconds(int repeats, Body body) {
  double best = std::numeric_limits<double>::infinity();
  for (int k = 0; k < repeats; ++k) {
    const auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

/// Best seconds of the loop of bench_transform_points (a) into an output
/// vector allocated once, (b) into a vector allocated per call, as a function
/// that returns new points must (its memory may have to come fresh from the
/// system each time, as a new array's does).
py::tuple transformPoints(const Array& matrix, const Array& points, int repeats) {
  double m[4][4];
  for (int k = 0; k < 16; ++k) m[k / 4][k % 4] = matrix.data()[k];
  const Transformation t(m);
  const std::vector<BaVec3d<double>> in = toVector<BaVec3d<double>>(points);
  std::vector<BaVec3d<double>> out(in.size());
  double preallocated, allocating;
  bool ran = true;
  {
    py::gil_scoped_release released;
    preallocated = bestSeconds(repeats, [&] {
      for (std::size_t i = 0; i < in.size(); ++i) out[i] = t.transformPoint(in[i]);
    });
    allocating = bestSeconds(repeats, [&] {
      std::vector<BaVec3d<double>> fresh(in.size());
      for (std::size_t i = 0; i < in.size(); ++i) fresh[i] = t.transformPoint(in[i]);
      ran &= fresh.empty() || fresh[0] == out[0];
    });
  }
  if (!ran || (!out.empty() && !(out[0] == t.transformPoint(in[0])))) throw py::value_error("the loop was not run");
  return py::make_tuple(preallocated, allocating);
}

/// Best seconds of (a) computeTransformationNoId and (b) FitResult::fitByPosition
/// (the same fit with every pair's residual) on the pairs (source[i], target[i]).
py::tuple fit(const Array& source, const Array& target, bool withScale, int repeats) {
  const std::vector<BaPoint3d<double>> src = toVector<BaPoint3d<double>>(source);
  const std::vector<BaPoint3d<double>> dst = toVector<BaPoint3d<double>>(target);
  const std::vector<BaPoint3d<double>> noWeights;
  Transformation result;
  bool failed = false;
  double meanOnly, withResiduals;
  {
    py::gil_scoped_release released;
    meanOnly = bestSeconds(repeats, [&] { failed |= result.computeTransformationNoId(src, dst, withScale) < 0.0; });
    withResiduals = bestSeconds(
        repeats, [&] { failed |= !Zem::FitResult::fitByPosition(src, dst, noWeights, withScale).isSucceeded(); });
  }
  if (failed) throw py::value_error("the reference fit failed");
  return py::make_tuple(meanOnly, withResiduals);
}

}  // namespace

PYBIND11_MODULE(zemtrafo_reference, m) {
  m.doc() = "C++ timings on the data of bench_python.py.";
  m.def("transform_points", &transformPoints, py::arg("matrix"), py::arg("points"), py::arg("repeats"));
  m.def("fit", &fit, py::arg("source"), py::arg("target"), py::arg("scale"), py::arg("repeats"));
}

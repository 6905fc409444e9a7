// zemtrafo.fit, zemtrafo.FitResult and zemtrafo.FitError: the weighted
// least-squares best fit of two (N, 3) arrays, paired by row or by
// identifier, with the residual of every pair. The module pairs the rows with
// the library's identifier pairing (so that it knows their rows), refusing
// repeated identifiers, and hands the pairs to the library's fit by position
// (python/fit_rows.h).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "fit_rows.h"
#include "math_fit_result.h"

namespace zempy {

namespace {

using Zem::BaVec3d;
using Zem::Transformation;

/// zemtrafo.FitResult. The residuals and the diagnostics are worked out
/// when first asked for, from the module's own copy of the pairs (later
/// changes to the caller's arrays cannot reach them), so that a caller who
/// wants the transformation only does not pay for more passes over every pair.
struct FitResult {
  Transformation transformation;
  py::ssize_t pairCount = 0;
  std::vector<std::int64_t> sourceRows, targetRows;  ///< the pairs' rows; empty when paired by position
  double meanResidual = 0.0;
  bool scaleEstimated = false;
  /// The C++ result: covariance, statistics, rejected pairs once diagnose()
  /// has run (at once when rejecting), else the usedCount only.
  Zem::FitResult diagnostics;
  /// The pairs and how they were fitted, until settle() and diagnose() have used them.
  Points src, dst, weights;
  std::vector<Zem::FitWeightMatrix> weightMatrices;
  Zem::FitOptions options;
  bool diagnosed = false;

  /// Computes the diagnostics once, without the GIL, by the same fit with
  /// FitOptions::diagnostics (the same transformation, bit for bit).
  void diagnose() {
    if (diagnosed) return;
    std::unique_lock<std::mutex> lock(*settling_, std::defer_lock);
    {
      py::gil_scoped_release released;  // never wait for the lock holding the GIL
      lock.lock();
    }
    if (diagnosed) return;
    Zem::FitOptions o = options;
    o.diagnostics = true;
    o.residuals = false;
    {
      py::gil_scoped_release released;
      diagnostics = weightMatrices.empty() ? Zem::FitResult::fitByPosition(src, dst, weights, o)
                                           : Zem::FitResult::fitByPosition(src, dst, weightMatrices, o);
    }
    diagnosed = true;
    release();
  }

  /// Computes the residuals, their lengths and figures once, without the
  /// GIL; the lock keeps two threads from settling one result at once.
  void settle() {
    if (settled_) return;
    std::unique_lock<std::mutex> lock(*settling_, std::defer_lock);
    {
      py::gil_scoped_release released;  // never wait for the lock holding the GIL
      lock.lock();
    }
    if (settled_) return;
    py::array_t<double> residuals({pairCount, py::ssize_t(3)});
    py::array_t<double> distances(pairCount);
    double* const res = residuals.mutable_data();
    double* const dist = distances.mutable_data();
    double sumSquares = 0.0, largestSquared = 0.0;
    {
      py::gil_scoped_release released;
      residualsOf(transformation, src, dst, res, dist, &sumSquares, &largestSquared);
      if (!diagnostics.rejected.empty()) {  // the figures of the pairs used
        sumSquares = largestSquared = 0.0;
        for (py::ssize_t k = 0; k < pairCount; ++k)
          if (!diagnostics.rejected[std::size_t(k)]) {
            sumSquares += dist[k] * dist[k];
            largestSquared = std::max(largestSquared, dist[k] * dist[k]);
          }
      }
    }
    residuals_ = std::move(residuals);
    distances_ = std::move(distances);
    rms_ = std::sqrt(sumSquares / double(diagnostics.usedCount));
    largest_ = std::sqrt(largestSquared);
    frozen(residuals_);
    frozen(distances_);
    settled_ = true;
    release();
  }
  /// A result whose residuals are known (unpickling).
  void restore(py::array_t<double> residuals, py::array_t<double> distances, double rms, double largest) {
    residuals_ = frozen(std::move(residuals));
    distances_ = frozen(std::move(distances));
    rms_ = rms;
    largest_ = largest;
    settled_ = true;
  }
  const py::array_t<double>& residuals() { return settle(), residuals_; }
  const py::array_t<double>& distances() { return settle(), distances_; }
  double rms() { return settle(), rms_; }
  double largest() { return settle(), largest_; }

 private:
  /// Drops the copy of the pairs once nothing needs it any more.
  void release() {
    if (!settled_ || !diagnosed) return;
    Points().swap(src);
    Points().swap(dst);
    Points().swap(weights);
    std::vector<Zem::FitWeightMatrix>().swap(weightMatrices);
  }
  bool settled_ = false;
  std::shared_ptr<std::mutex> settling_ = std::make_shared<std::mutex>();
  py::array_t<double> residuals_, distances_;
  double rms_ = 0.0, largest_ = 0.0;
};

py::array_t<bool> rejectedArray(const std::vector<bool>& rejected) {
  py::array_t<bool> a(py::ssize_t(rejected.size()));
  for (std::size_t k = 0; k < rejected.size(); ++k) a.mutable_data()[k] = rejected[k];
  return a;
}

/// The diagnostics of a pickled result: (covariance (7, 7), center (3,),
/// sigma0, redundancy, condition, statistics (K,), rejected (K,), usedCount).
py::tuple diagnosticsState(FitResult& r) {
  r.diagnose();
  const Zem::FitResult& d = r.diagnostics;
  py::array_t<double> covariance({7, 7});
  std::copy(&d.covariance[0][0], &d.covariance[0][0] + 49, covariance.mutable_data());
  const double center[3] = {d.center.x, d.center.y, d.center.z};
  return py::make_tuple(covariance, py::array_t<double>(3, center), d.sigma0, d.redundancy, d.condition,
                        py::array_t<double>(py::ssize_t(d.statistics.size()), d.statistics.data()),
                        rejectedArray(d.rejected), d.usedCount);
}

void restoreDiagnostics(const py::tuple& state, FitResult* r) {
  if (state.size() != 8) throw py::value_error("not a pickled FitResult");
  Zem::FitResult& d = r->diagnostics;
  d.transformation = r->transformation;  // point_covariance maps through it
  const DoubleArray covariance = doubleArray(state[0]), center = doubleArray(state[1]);
  if (covariance.size() != 49 || center.size() != 3) throw py::value_error("not a pickled FitResult");
  std::copy(covariance.data(), covariance.data() + 49, &d.covariance[0][0]);
  d.center = BaVec3d<double>(center.data()[0], center.data()[1], center.data()[2]);
  d.sigma0 = state[2].cast<double>();
  d.redundancy = state[3].cast<long>();
  d.condition = state[4].cast<double>();
  const DoubleArray statistics = doubleArray(state[5]);
  d.statistics.assign(statistics.data(), statistics.data() + statistics.size());
  const py::array_t<bool> rejected = state[6].cast<py::array_t<bool>>();
  d.rejected.assign(rejected.data(), rejected.data() + rejected.size());
  d.usedCount = state[7].cast<std::size_t>();
  r->diagnosed = true;
}

/// The rows of the pairs: the stored ones, or 0 to K - 1 when paired by position.
py::array_t<std::int64_t> rowArray(const std::vector<std::int64_t>& rows, py::ssize_t pairs) {
  py::array_t<std::int64_t> a(pairs);
  std::int64_t* p = a.mutable_data();
  for (py::ssize_t k = 0; k < pairs; ++k) p[k] = rows.empty() ? k : rows[std::size_t(k)];
  return a;
}

/// The freedoms and the rejection of a fit from the Python arguments.
Zem::FitOptions fitOptions(bool withScale, const std::string& rotation, const std::string& translation,
                           const py::object& sigma, const py::object& reject) {
  Zem::FitOptions o;
  o.withScale = withScale;
  o.residuals = false;  // left to FitResult::settle()
  if (rotation == "free") o.rotation = Zem::FitRotation::Free;
  else if (rotation == "x") o.rotation = Zem::FitRotation::AboutX;
  else if (rotation == "y") o.rotation = Zem::FitRotation::AboutY;
  else if (rotation == "z") o.rotation = Zem::FitRotation::AboutZ;
  else if (rotation == "none") o.rotation = Zem::FitRotation::None;
  else throw py::value_error("rotation must be 'free', 'x', 'y', 'z' or 'none', got '" + rotation + "'");
  const std::string axes = translation == "none" ? "" : translation;
  for (char c : axes)
    if (c < 'x' || c > 'z' || std::count(axes.begin(), axes.end(), c) > 1)
      throw py::value_error("translation must name the free axes ('xyz', 'xy', 'z', 'none', ...), got '" +
                            translation + "'");
  for (int a = 0; a < 3; ++a) o.translation[a] = axes.find(char('x' + a)) != std::string::npos;
  if (!sigma.is_none()) {
    o.sigma = sigma.cast<double>();
    if (!(o.sigma > 0.0) || !std::isfinite(o.sigma)) throw py::value_error("sigma must be a positive number (mm)");
  }
  if (!reject.is_none()) {
    if (py::isinstance<py::bool_>(reject)) {
      o.reject = reject.cast<bool>();
    } else {
      o.reject = true;
      o.alpha = reject.cast<double>();
      if (!(o.alpha > 0.0 && o.alpha < 1.0)) throw py::value_error("reject must be True, False, None or 0 < alpha < 1");
    }
  }
  return o;
}

/// The 3x3 covariance of the image of each point of p ((3,) or (N, 3)).
py::array_t<double> pointCovariance(FitResult& r, const py::object& points) {
  const DoubleArray p = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(points);
  if (!p || !((p.ndim() == 1 && p.shape(0) == 3) || (p.ndim() == 2 && p.shape(1) == 3)))
    throw py::value_error("point_covariance takes a point (3,) or points (N, 3)");
  r.diagnose();
  const py::ssize_t n = p.ndim() == 1 ? 1 : p.shape(0);
  py::array_t<double> out(p.ndim() == 1 ? std::vector<py::ssize_t>{3, 3} : std::vector<py::ssize_t>{n, 3, 3});
  double* o = out.mutable_data();
  const double* in = p.data();
  for (py::ssize_t k = 0; k < n; ++k) {
    const Zem::FitCovariance3 c =
        r.diagnostics.pointCovariance(Zem::BaVec3d<double>(in[3 * k], in[3 * k + 1], in[3 * k + 2]));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) o[9 * k + 3 * i + j] = c.m[i][j];
  }
  return out;
}

FitResult fit(const py::object& source, const py::object& target, const py::object& sourceIds,
              const py::object& targetIds, const py::object& weights, bool withScale, const std::string& rotation,
              const std::string& translation, const py::object& sigma, const py::object& reject) {
  const Zem::FitOptions options = fitOptions(withScale, rotation, translation, sigma, reject);
  const DoubleArray src = pointArray(source, "source");
  const DoubleArray dst = pointArray(target, "target");
  const py::ssize_t n = src.shape(0);
  if (sourceIds.is_none() != targetIds.is_none())
    throw py::value_error("give both source_ids and target_ids to pair by identifier, or neither");
  const bool byId = !sourceIds.is_none();
  if (!byId && dst.shape(0) != n)
    throw py::value_error("source and target must have the same number of rows to pair by position, got " +
                          std::to_string(n) + " and " + std::to_string(dst.shape(0)));
  const bool weighted = !weights.is_none();
  const DoubleArray w = weighted ? weightArray(weights, n) : DoubleArray();

  const bool matrices = weighted && w.ndim() == 3;
  const IndexArray srcIds = byId ? idArray(sourceIds, "source_ids", n) : IndexArray();
  const IndexArray dstIds = byId ? idArray(targetIds, "target_ids", dst.shape(0)) : IndexArray();

  // Pairing, gathering and the fit run without the GIL; their exceptions
  // take it back as they leave the block.
  std::vector<std::int64_t> sourceRows, targetRows;
  Points srcPoints, dstPoints, pointWeights;
  std::vector<Zem::FitWeightMatrix> weightMatrices;
  Zem::FitResult fitted;
  std::size_t pairs;
  {
    py::gil_scoped_release released;
    if (byId) pairById(srcIds, dstIds, &sourceRows, &targetRows);
    pairs = byId ? sourceRows.size() : std::size_t(n);
    if (pairs < 3)
      throw FitFailure{"a fit needs at least three pairs, got " + std::to_string(pairs) +
                       (byId ? " (identifiers common to source_ids and target_ids)" : "")};
    const std::vector<std::int64_t>* srcRows = byId ? &sourceRows : nullptr;
    const std::vector<std::int64_t>* dstRows = byId ? &targetRows : nullptr;
    srcPoints = gather(src, srcRows, pairs, "source");
    dstPoints = gather(dst, dstRows, pairs, "target");
    // The residuals are left to FitResult::settle(), which writes them
    // straight into numpy arrays when they are first read.
    if (matrices) {
      weightMatrices = gatherMatrices(w, srcRows, pairs);
      fitted = Zem::FitResult::fitByPosition(srcPoints, dstPoints, weightMatrices, options);
    } else {
      if (weighted) pointWeights = gatherWeights(w, srcRows, pairs);
      fitted = Zem::FitResult::fitByPosition(srcPoints, dstPoints, pointWeights, options);
    }
  }
  if (fitted.status == Zem::FitResult::FIT_NEGATIVE_WEIGHT)
    throw py::value_error("weights must be positive semi-definite matrices");
  if (!fitted.isSucceeded())
    throw FitFailure{std::string("no transformation found: ") + Zem::FitResult::getStatusText(fitted.status) +
                     (fitted.undetermined ? std::string(" (") + fitted.undetermined + " undetermined)" : "")};

  FitResult r;
  r.transformation = fitted.transformation;
  r.pairCount = py::ssize_t(pairs);
  r.meanResidual = fitted.meanWeighted;
  r.scaleEstimated = withScale;
  r.sourceRows = std::move(sourceRows);
  r.targetRows = std::move(targetRows);
  r.src = std::move(srcPoints);
  r.dst = std::move(dstPoints);
  r.weights = std::move(pointWeights);
  r.weightMatrices = std::move(weightMatrices);
  r.options = options;
  r.diagnosed = options.reject;  // rejecting computes them
  r.diagnostics = std::move(fitted);
  return r;
}

constexpr const char* kFitDoc =
    R"doc(Weighted least-squares best fit: the Transformation that carries source onto target.

source, target: (N, 3) and (M, 3) arrays of points (any numeric dtype).
Pairing: by row (N == M) when no identifiers are given; by identifier when both
source_ids (N,) and target_ids (M,) are given (integers, -1 = no identifier, no
identifier repeated within one array), in the order of the source rows.
weights: None (all 1), (N,) or (N, 3), aligned with the source rows: the weights
of the x, y and z observations of each pair, finite, not negative; or (N, 3, 3):
a symmetric positive semi-definite matrix W per pair (w * outer(n, n) weighs only
the deviation along a unit normal n). The fit minimises the sum of r^T W r over the
pairs, r = transformation(source) - target.
scale: True estimates the uniform scale, False keeps it at 1.
rotation: "free", "x", "y" or "z" (a turn about that target axis only) or "none".
translation: the free target axes, "xyz" (default), "xy", "z", ..., or "none";
a held component is 0. Held freedoms are left out of the minimisation: the
result is the least-squares optimum over the free parameters.
sigma: a-priori standard deviation of unit weight (mm), or None to estimate it.
reject: None/False, True (significance 0.001) or alpha: set gross errors aside,
worst first, and take back those that pass against the final fit.

The model is target ~ s (R source + t), solved by the C++ fit (the weighted
least-squares optimum): it minimises the sum over the pairs and their three
axes of w * r**2, r = the axis's component of transformation(source) - target
and w its weight (with weight matrices, the sum of r^T W r). Returns a
FitResult, whose mean_residual is the mean over the pairs of |w * r| (|W r|
with weight matrices; with unit weights the mean distance). The GIL is released
while pairing, fitting and computing residuals. Raises FitError when no
transformation is found (fewer than three pairs, collinear or coincident
points, weights that leave a direction free), ValueError for arrays of the
wrong shape, non-finite coordinates or bad weights, TypeError for non-numeric
arrays.)doc";

}  // namespace

void bindFit(py::module_& m) {
  static py::exception<FitFailure> fitError(m, "FitError", PyExc_RuntimeError);
  fitError.doc() =
      "A fit (or the exact mapping of Affine.from_points) found no transformation; the message gives the reason.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const FitFailure& e) {
      fitError(e.reason.c_str());
    }
  });

  py::class_<FitResult>(m, "FitResult",
                        "Outcome of a successful fit(). residuals, distances, rms_residual and max_residual are "
                        "worked out when one of them is first read, and so are the diagnostics (covariance, "
                        "center, sigma0, redundancy, condition, statistics, rejected, point_covariance; with "
                        "reject at once); the residual arrays are read-only. A pickled result carries both.")
      // A copy: changing it must not change the result, whose residual
      // figures describe the fitted transformation.
      .def_property_readonly(
          "transformation", [](const FitResult& r) { return r.transformation; },
          "A copy of the Transformation that carries source onto target.")
      .def_readonly("pair_count", &FitResult::pairCount, "Number of pairs K that took part.")
      .def_property_readonly(
          "source_indices", [](const FitResult& r) { return rowArray(r.sourceRows, r.pairCount); },
          "New (K,) array: the source row of each pair.")
      .def_property_readonly(
          "target_indices", [](const FitResult& r) { return rowArray(r.targetRows, r.pairCount); },
          "New (K,) array: the target row of each pair.")
      .def_property_readonly("residuals", &FitResult::residuals,
                             "(K, 3) residual vectors transformation(source) - target of each pair, unweighted.")
      .def_property_readonly("distances", &FitResult::distances, "(K,) lengths of the residual vectors.")
      .def_readonly("mean_residual", &FitResult::meanResidual,
                    "The C++ fit's mean weighted residual: mean of |w * residual| (equal to distances.mean() "
                    "with unit weights).")
      .def_property_readonly("rms_residual", &FitResult::rms, "Root mean square of the distances.")
      .def_property_readonly("max_residual", &FitResult::largest, "Largest distance.")
      .def_readonly("scale_estimated", &FitResult::scaleEstimated, "Whether the scale was estimated.")
      .def_property_readonly(
          "covariance",
          [](FitResult& r) {
            r.diagnose();
            py::array_t<double> c({7, 7});
            std::copy(&r.diagnostics.covariance[0][0], &r.diagnostics.covariance[0][0] + 49, c.mutable_data());
            return c;
          },
          "(7, 7) covariance of (dtx, dty, dtz, wx, wy, wz, ds): a change applied after the result about "
          "center, q -> (1 + ds) exp([w]x) (q - center) + center + dt (mm, radians, relative).")
      .def_property_readonly(
          "center",
          [](FitResult& r) {
            r.diagnose();
            const Zem::BaVec3d<double>& v = r.diagnostics.center;
            const double xyz[3] = {v.x, v.y, v.z};
            return py::array_t<double>(3, xyz);
          },
          "(3,) weighted centroid of the target points of the pairs used.")
      .def_property_readonly(
          "sigma0", [](FitResult& r) {
            r.diagnose();
            return r.diagnostics.sigma0;
          },
          "Standard deviation of unit weight from the residuals of the pairs used (nan with no redundancy).")
      .def_property_readonly(
          "redundancy", [](FitResult& r) {
            r.diagnose();
            return r.diagnostics.redundancy;
          },
          "Observations of the pairs used minus free parameters.")
      .def_property_readonly(
          "condition", [](FitResult& r) {
            r.diagnose();
            return r.diagnostics.condition;
          },
          "Condition number of the equilibrated normal matrix of the free parameters.")
      .def_property_readonly(
          "statistics",
          [](FitResult& r) {
            r.diagnose();
            return py::array_t<double>(py::ssize_t(r.diagnostics.statistics.size()),
                                       r.diagnostics.statistics.data());
          },
          "(K,) test statistic of each pair's residual (leave-one-out; chi-square or rank times F).")
      .def_property_readonly(
          "rejected",
          [](FitResult& r) {
            r.diagnose();
            return rejectedArray(r.diagnostics.rejected);
          },
          "(K,) whether each pair was set aside as a gross error.")
      .def("point_covariance", &pointCovariance, py::arg("points"),
           "(3, 3) covariance of the image of a point (3,), or (N, 3, 3) for points (N, 3).")
      .def("__repr__",
           [](FitResult& r) {
             return "FitResult(pair_count=" + std::to_string(r.pairCount) +
                    ", mean_residual=" + py::repr(py::float_(r.meanResidual)).cast<std::string>() +
                    ", rms_residual=" + py::repr(py::float_(r.rms())).cast<std::string>() +
                    ", max_residual=" + py::repr(py::float_(r.largest())).cast<std::string>() + ")";
           })
      .def(py::pickle(
          [](FitResult& r) {
            r.settle();
            const py::object noRows = py::none();
            return py::make_tuple(r.transformation, r.pairCount,
                                  r.sourceRows.empty() ? noRows : py::object(rowArray(r.sourceRows, r.pairCount)),
                                  r.targetRows.empty() ? noRows : py::object(rowArray(r.targetRows, r.pairCount)),
                                  r.meanResidual, r.scaleEstimated, r.residuals(), r.distances(), r.rms(), r.largest(),
                                  diagnosticsState(r));
          },
          [](const py::tuple& state) {
            if (state.size() != 11) throw py::value_error("not a pickled FitResult");
            FitResult r;
            r.transformation = state[0].cast<Transformation>();
            r.pairCount = state[1].cast<py::ssize_t>();
            for (int k : {2, 3}) {
              if (state[k].is_none()) continue;
              const IndexArray rows = indexArray(state[k]);
              (k == 2 ? r.sourceRows : r.targetRows).assign(rows.data(), rows.data() + rows.size());
            }
            r.meanResidual = state[4].cast<double>();
            r.scaleEstimated = state[5].cast<bool>();
            r.restore(py::array_t<double>(doubleArray(state[6])), py::array_t<double>(doubleArray(state[7])),
                      state[8].cast<double>(), state[9].cast<double>());
            restoreDiagnostics(state[10].cast<py::tuple>(), &r);
            return r;
          }));

  m.def("fit", &fit, py::arg("source"), py::arg("target"), py::arg("source_ids") = py::none(),
        py::arg("target_ids") = py::none(), py::arg("weights") = py::none(), py::arg("scale").noconvert() = false,
        py::kw_only(), py::arg("rotation") = "free", py::arg("translation") = "xyz", py::arg("sigma") = py::none(),
        py::arg("reject") = py::none(), kFitDoc);
}

}  // namespace zempy

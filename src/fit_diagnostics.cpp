// Gross errors and the diagnostics of a best fit: worst-first rejection
// with a robust scale, the take-back step, and the figures FitResult
// reports (the model in fit_model.h).
#include "fit_diagnostics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fit_model.h"
#include "zem_base.h"

namespace Zem {
namespace fit {

namespace {

const char* const kFreedomNames[7] = {"translation in X", "translation in Y", "translation in Z", "rotation about X",
                                      "rotation about Y",  "rotation about Z", "scale"};

/// Pairs the free parameters need: three for a free rotation, two for a
/// turn about one axis, else one (and never fewer than the parameters ask).
std::size_t pairsNeeded(const Freedoms& fr) {
  const std::size_t byRotation = fr.free[3] && fr.rotationAxis < 0 ? 3 : (fr.rotationAxis >= 0 ? 2 : 1);
  return std::max(byRotation, std::size_t((fr.count() + 2) / 3));
}

/// Refits the pairs used from *pose; false (pose unchanged) when they no
/// longer determine the free set or the minimisation reaches no optimum.
bool refit(const Pairs& pairs, const Freedoms& fr, Pose* pose) {
  Pose trial = *pose;
  double f = 0.0;
  int weakest = 0;
  if (minimise(pairs, fr, &trial, &f, &weakest) != FitResult::FIT_SUCCEEDED) return false;
  *pose = trial;
  return true;
}

/// Worst-first rejection with a robust scale, then the take-back step (see
/// FitOptions).
void rejectGrossErrors(Pairs* pairs, const Freedoms& fr, const FitOptions& o, Pose* pose) {
  const std::size_t n = pairs->list.n;
  const std::size_t keep = std::max<std::size_t>(3, pairsNeeded(fr) + 1);
  std::size_t setAside = 0;
  const ChiSquareQuantiles critical(1.0 - o.alpha);
  for (;;) {
    if (pairs->usedCount() <= keep || setAside + 1 > n / 2) break;
    const Assessment a = assess(*pairs, fr, *pose);
    if (!a.normal.regular) break;
    const double variance = o.sigma > 0.0 ? o.sigma * o.sigma : robustVariance(a, *pairs);
    if (!(variance > 64.0 * kEpsilon * kEpsilon * a.spread)) break;
    double worstRatio = 1.0;
    std::size_t worst = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (!pairs->used[i] || a.rank[i] == 0) continue;
      const double ratio = a.drop[i] / variance / critical.value[a.rank[i]];
      if (ratio > worstRatio) {
        worstRatio = ratio;
        worst = i;
      }
    }
    if (worst == n) break;
    pairs->used[worst] = 0;
    if (!refit(*pairs, fr, pose)) {
      pairs->used[worst] = 1;
      break;
    }
    ++setAside;
  }
  if (setAside == 0) return;
  // Take back the pairs that pass against the final least-squares fit.
  const Assessment a = assess(*pairs, fr, *pose);
  std::vector<std::size_t> back;
  for (std::size_t i = 0; i < n; ++i) {
    if (pairs->used[i]) continue;
    long dof;
    const double statistic = statisticOf(a, *pairs, i, o.sigma, &dof);
    const bool testable = a.rank[i] > 0 && (o.sigma > 0.0 || dof > 0);
    if (testable && statistic <= criticalOf(a.rank[i], dof, o.alpha)) {
      pairs->used[i] = 1;
      back.push_back(i);
    }
  }
  // A refit that reaches no optimum leaves the fit that of the pairs kept.
  if (!back.empty() && !refit(*pairs, fr, pose))
    for (std::size_t i : back) pairs->used[i] = 0;
}

/// |W·r| for the mean weighted residual: w ∘ r for weight points.
double weightedLength(const Pairs& pairs, std::size_t i, const Vector3d& r) {
  if (pairs.list.weights.perAxis) return toEigen(pairs.list.weights.perAxis[i]).cwiseProduct(r).norm();
  return (pairs.weight(i) * r).norm();
}

}  // namespace

bool holdsFreedoms(const FitOptions& o) {
  return o.rotation != FitRotation::Free || !o.translation[0] || !o.translation[1] || !o.translation[2];
}

void fitWithDiagnostics(const PairList& list, const FitOptions& o, const Transformation* unconstrained,
                        FitResult* r) {
  if (o.reject && !(o.alpha > 0.0 && o.alpha < 1.0))
    throw ProgError("Zem::FitResult", "fit_diagnostics", __LINE__, "alpha not between 0 and 1");
  if (!(o.sigma >= 0.0) || !std::isfinite(o.sigma))
    throw ProgError("Zem::FitResult", "fit_diagnostics", __LINE__, "sigma negative or not finite");
  const Freedoms fr = freedomsOf(o);
  Pairs pairs{list, std::vector<char>(list.n, 1)};
  Pose pose;
  if (unconstrained && !holdsFreedoms(o)) {
    pose = poseOf(*unconstrained);
  } else {
    int weakest = 0;
    const Status status = fitHeld(pairs, fr, o, &pose, &weakest);
    if (status != FitResult::FIT_SUCCEEDED) {
      r->status = status;
      if (status == FitResult::FIT_DEGENERATE) r->undetermined = kFreedomNames[weakest];
      return;
    }
  }
  if (o.reject) rejectGrossErrors(&pairs, fr, o, &pose);
  const bool changed = holdsFreedoms(o) || pairs.usedCount() != list.n || !unconstrained;
  r->status = FitResult::FIT_SUCCEEDED;
  if (changed) {
    r->transformation = transformationOf(pose);
    for (unsigned i = 0; i < 4; ++i)
      for (unsigned j = 0; j < 4; ++j)
        if (!std::isfinite(r->transformation.getMatrix(i, j))) {
          r->status = FitResult::FIT_NOT_CONVERGED;
          r->transformation = Transformation::identity();
          return;
        }
    pose = poseOf(r->transformation);  // the statistics of the stored result
    double total = 0.0;
    for (std::size_t i = 0; i < list.n; ++i)
      if (pairs.used[i]) total += weightedLength(pairs, i, pose.map(list.src[i]) - toEigen(list.dst[i]));
    r->meanWeighted = total / double(pairs.usedCount());
  }
  r->usedCount = pairs.usedCount();
  if (!o.diagnostics && !o.reject) return;  // a held fit without its statistics
  const Assessment a = assess(pairs, fr, pose);
  r->center = BaVec3d<double>(a.center.x(), a.center.y(), a.center.z());
  r->redundancy = a.redundancy;
  r->condition = a.normal.condition;
  r->sigma0 = a.redundancy > 0 ? std::sqrt(a.omega / double(a.redundancy)) : std::numeric_limits<double>::quiet_NaN();
  const double variance = o.sigma > 0.0 ? o.sigma * o.sigma : r->sigma0 * r->sigma0;
  if (a.normal.regular && std::isfinite(variance)) {
    const Matrix7 covariance = variance * a.basis * a.normal.inverse * a.basis.transpose();
    for (int i = 0; i < 7; ++i)
      for (int j = 0; j < 7; ++j) r->covariance[i][j] = covariance(i, j);
  }
  r->statistics.assign(list.n, 0.0);
  r->rejected.assign(list.n, false);
  for (std::size_t i = 0; i < list.n; ++i) {
    long dof;
    r->statistics[i] = statisticOf(a, pairs, i, o.sigma, &dof);
    r->rejected[i] = !pairs.used[i];
  }
}

}  // namespace fit
}  // namespace Zem

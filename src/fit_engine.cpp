// Weighted least-squares best fit of paired point sets.
//
// Model. A source point p maps to q = s·R·p + T (R a rotation, s the uniform
// scale, T the translation); the result is stored as set(T/s, angles of R, s),
// q = s·(R·p + t). Each pair weighs its residual r = q − d by a symmetric
// positive semi-definite 3x3 matrix W (the identity, diag(wx, wy, wz), or a
// general one), and the fit minimises F = Σ rᵀ·W·r.
//
// One pass. The pairs are read once, into the weighted moments of
// fit_kernels.h, which make F an exact quadratic in the twelve numbers of an
// affine map about a reference pair inside the set. The fit works on those
// twelve numbers, in time independent of the count: the pairs are read
// once more only for the mean weighted residual, when it is asked for, and
// a few times more for a fit they barely determine (a thin part: refine).
// Pairs by identifier are gathered into arrays by position (fit_gather.h),
// where possible run by run as the moments read them. Large sets are read
// in chunks over threads (parallel.h).
//
// The optimum of that quadratic: fit_solver.cpp.
#include "fit_engine.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fit_gather.h"
#include "fit_kernels.h"
#include "fit_pairing.h"
#include "fit_solver.h"
#include "parallel.h"

namespace Zem {
namespace fit {

namespace {

using Point = BaPoint3d<double>;
using Vec = BaVec3d<double>;
using Status = FitResult::Status_t;
using Eigen::Matrix3d;
using Eigen::Vector3d;

/// Below kWellDetermined the optimum found from the moments is refined
/// with gradients taken from the residuals (one pass each, at most
/// kRefinePasses): the moments hold a thin part's cross-section only to a
/// few ε of its length, the residuals to ε of their own size. A step that
/// a thin direction's rough curvature makes too long costs a pass too.
constexpr int kRefinePasses = 24;

/// The per-pair weight of each kind, and |W ∘ r| for the mean weighted residual.
UnitKind::Weight unitWeight() { return {}; }
MatrixKind::Weight matrixWeight(const FitWeightMatrix& m) {
  // Only the symmetric part of W counts in rᵀ·W·r.
  return {{m.m[0][0], m.m[1][1], m.m[2][2], 0.5 * (m.m[0][1] + m.m[1][0]), 0.5 * (m.m[0][2] + m.m[2][0]),
           0.5 * (m.m[1][2] + m.m[2][1])}};
}

/// W·r for each kind of weight.
Vec weighted(const Vec& r, const UnitKind::Weight&) { return r; }
Vec weighted(const Vec& r, const AxisKind::Weight& w) { return Vec(w.x * r.x, w.y * r.y, w.z * r.z); }
Vec weighted(const Vec& r, const MatrixKind::Weight& m) {
  const double* w = m.w;
  return Vec(w[0] * r.x + w[3] * r.y + w[4] * r.z, w[3] * r.x + w[1] * r.y + w[5] * r.z,
             w[4] * r.x + w[5] * r.y + w[2] * r.z);
}

/// Mean of |W·(T·p − d)| over the pairs that `walk` hands out, with
/// T·p = (R·p + t)·s (one division for the whole set).
template <class Walk>
double meanWeightedResidual(const Transformation& t, const Walk& walk, std::size_t n) {
  double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);
  const double s = 1.0 / t.getMatrix(3, 3);
  double total = 0.0;
  walk([&](const Vec& p, const Vec& d, const auto& w) {
    const Vec q((a[0][0] * p.x + a[0][1] * p.y + a[0][2] * p.z + a[0][3]) * s,
                (a[1][0] * p.x + a[1][1] * p.y + a[1][2] * p.z + a[1][3]) * s,
                (a[2][0] * p.x + a[2][1] * p.y + a[2][2] * p.z + a[2][3]) * s);
    total += weighted(q - d, w).length();
  });
  return total / double(n);
}

/// F and ∇_x F at the estimate, from the residuals themselves: one pass,
/// without the cancellation of the moments.
template <class Walk>
void residualGradient(const Walk& walk, const Quadratic& q, const Estimate& e, Vector12* grad, double* f) {
  const Matrix3d a = e.affine();
  const Vector3d offset = e.u + toEigen(q.refDst) - a * toEigen(q.refSrc);  // q = A·p + offset
  Vector12 sum = Vector12::Zero();
  double ssq = 0.0;
  walk([&](const Vec& p, const Vec& d, const auto& w) {
    const Vector3d ap = toEigen(p - q.refSrc);
    const Vector3d r = a * toEigen(p) + offset - toEigen(d);
    const Vec wr = weighted(Vec(r.x(), r.y(), r.z()), w);
    const Vector3d v(wr.x, wr.y, wr.z);
    for (int k = 0; k < 3; ++k) sum.segment<3>(3 * k) += ap(k) * v;
    sum.segment<3>(9) += v;
    ssq += r.dot(v);
  });
  *grad = 2.0 * sum;
  *f = ssq;
}

/// Refines an ill-determined optimum with gradients from the residuals (see
/// kWellDetermined): Newton steps with the moments' Hessian, shortened
/// until they lower F. Returns F at the refined estimate.
template <class Walk>
double refine(const Walk& walk, const Quadratic& q, bool withScale, Solution* s) {
  Vector12 gradX;
  double f;
  residualGradient(walk, q, s->estimate, &gradX, &f);
  double length = 1.0;
  for (int pass = 0; pass < kRefinePasses; ++pass) {
    Estimate next;
    if (!newtonStep(q, withScale, *s, gradX, f, length, &next)) break;
    Vector12 nextGrad;
    double nextF;
    residualGradient(walk, q, next, &nextGrad, &nextF);
    if (!(nextF < f)) {  // the moments' curvature of a thin direction is off: a shorter step
      if (length < 1.0 / 64.0) break;  // F does not fall along the step: at its rounding
      length *= 0.25;
      continue;
    }
    length = std::min(1.0, 4.0 * length);
    s->estimate = next;
    gradX = nextGrad;
    f = nextF;
  }
  return f;
}

/// Σ |W ∘ (T·p − d)| of pairs by position with unit (weights == nullptr) or
/// per-axis weights, two pairs at a time; where numbered is not null, also
/// clears *numbered unless src[i] carries identifier firstId + i and
/// weights[i] (if any) the same, for every i (GatheredPairs::numberedAt).
/// Pair i's destination point is dst[dstOrder[i]] where dstOrder is not null.
double residualTotal(const Transformation& t, const Point* src, const Point* dst, const Point* weights,
                     std::size_t n, std::int64_t firstId, bool* numbered, const std::uint32_t* dstOrder) {
  const auto dstAt = [dst, dstOrder](std::size_t i) -> const Point& { return destinationOf(dst, dstOrder, i); };
  double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);
  const double scale = 1.0 / t.getMatrix(3, 3);
  Lane2 sum = {0.0, 0.0};
  std::size_t i = 0;
  if (avx2::enabled()) {
    double scaled[3][4];
    for (unsigned r = 0; r < 3; ++r)
      for (unsigned c = 0; c < 4; ++c) scaled[r][c] = a[r][c] * scale;
    sum[0] = avx2::residualSum(scaled, src, dst, weights, n, firstId, numbered, dstOrder);
    i = n - n % 4;
  }
  if (numbered != nullptr)
    for (std::size_t j = i; j < n; ++j) *numbered &= GatheredPairs::numberedAt(src, weights, firstId, j);
  for (; i + 2 <= n; i += 2) {
    const Point& p0 = src[i];
    const Point& p1 = src[i + 1];
    const Point& q0 = dstAt(i);
    const Point& q1 = dstAt(i + 1);
    const Lane2 px = {p0.x, p1.x}, py = {p0.y, p1.y}, pz = {p0.z, p1.z};
    Lane2 dx = (a[0][0] * px + a[0][1] * py + a[0][2] * pz + a[0][3]) * scale - Lane2{q0.x, q1.x};
    Lane2 dy = (a[1][0] * px + a[1][1] * py + a[1][2] * pz + a[1][3]) * scale - Lane2{q0.y, q1.y};
    Lane2 dz = (a[2][0] * px + a[2][1] * py + a[2][2] * pz + a[2][3]) * scale - Lane2{q0.z, q1.z};
    if (weights) {
      dx *= Lane2{weights[i].x, weights[i + 1].x};
      dy *= Lane2{weights[i].y, weights[i + 1].y};
      dz *= Lane2{weights[i].z, weights[i + 1].z};
    }
    sum += sqrt2(dx * dx + dy * dy + dz * dz);
  }
  double total = sum[0] + sum[1];
  if (i < n) {
    const Vec d = t.transformPoint(static_cast<const Vec&>(src[i])) - dstAt(i);
    total += weights ? weighted(d, static_cast<const Vec&>(weights[i])).length() : d.length();
  }
  return total;
}

/// Pairs by position are taken in chunks of kChunk, spread over threads
/// for large sets (parallel.h): the moments and residual sums of each chunk
/// are added in chunk order, so results do not depend on the thread count.
/// A multiple of the moments' blocks, so that a set of one chunk is summed
/// as before.
constexpr std::size_t kChunk = std::size_t(1) << 16;

/// Pairs of a numbered source set (GatheredPairs::leavesNumbering) whose
/// numbering, and weights, the pass of the mean residual checks as it reads
/// them: pair i's source point must carry identifier first + i.
struct NumberingCheck {
  std::int64_t first = 0;
  bool made = false;  ///< the pass ran
  bool holds = true;
};

/// The mean of |W ∘ (T·p − d)| over pairs by position (see residualTotal),
/// checking their numbering where `numbering` is not null.
double meanResidualByPosition(const Transformation& t, const Point* src, const Point* dst, const Point* weights,
                              std::size_t n, NumberingCheck* numbering, const std::uint32_t* dstOrder = nullptr) {
  const std::size_t chunks = parallel::chunksOf(n, kChunk);
  if (chunks <= 1) {  // the same sum, without the per-chunk arrays
    const double total = residualTotal(t, src, dst, weights, n, numbering != nullptr ? numbering->first : 0,
                                       numbering != nullptr ? &numbering->holds : nullptr, dstOrder);
    if (numbering != nullptr) numbering->made = true;
    return total / double(n);
  }
  std::vector<double> partial(chunks);
  std::vector<char> numbered(chunks, 1);
  parallel::forChunksOf(n, chunks, [&](std::size_t c) {
    const std::size_t begin = c * kChunk, count = std::min(n, begin + kChunk) - begin;
    bool holds = true;
    partial[c] = residualTotal(t, src + begin, dstOrder != nullptr ? dst : dst + begin,
                               weights != nullptr ? weights + begin : nullptr, count,
                               numbering != nullptr ? numbering->first + std::int64_t(begin) : 0,
                               numbering != nullptr ? &holds : nullptr,
                               dstOrder != nullptr ? dstOrder + begin : nullptr);
    numbered[c] = holds;
  });
  double total = 0.0;
  for (double part : partial) total += part;
  if (numbering != nullptr) {
    numbering->made = true;
    for (char holds : numbered) numbering->holds = numbering->holds && holds != 0;
  }
  return total / double(n);
}

/// Moments of pairs [0, n) by position into *total, chunk by chunk
/// (kChunk): addRange(moments, begin, end) adds pairs [begin, end), in
/// order. Every chunk after the one holding the first pair that carries
/// weight (carries(i)) takes that pair as its reference, as a walk over all
/// pairs would; dstAt(i) gives the destination point of pair i.
template <class Kind, class Carries, class DstAt, class AddRange>
void momentsByPosition(const Point* src, const DstAt& dstAt, std::size_t n, const Carries& carries,
                       const AddRange& addRange, Moments<Kind>* total) {
  const std::size_t chunks = parallel::chunksOf(n, kChunk);
  if (chunks <= 1) {
    addRange(total, 0, n);
    return;
  }
  std::size_t first = 0;
  while (first < n && !carries(first)) ++first;
  std::vector<Moments<Kind>> parts(chunks);
  parallel::forChunksOf(n, chunks, [&](std::size_t c) {
    if (first < n && c > first / kChunk) parts[c].setReference(src[first], dstAt(first));
    addRange(&parts[c], c * kChunk, std::min(n, (c + 1) * kChunk));
  });
  for (Moments<Kind>& part : parts) total->merge(part);
}

/// Moments of the pairs of `walk`, gathered by gather(Moments<Kind>*) (the
/// same pairs, in bulk where that is faster), the fit, and the mean weighted
/// residual of the `count` pairs. When gather returns false (a speculation
/// that failed: GatheredPairs::pairUp) nothing more is done and the status
/// means nothing.
template <class Kind, class Gather, class Walk, class MeanResidual>
Status fitPairs(const Gather& gather, const Walk& walk, const MeanResidual& meanResidual, std::size_t count,
                bool withScale, double scale, bool wantMeanWeighted, Fitted* out) {
  Moments<Kind> moments;
  if (!gather(&moments)) return FitResult::FIT_AMBIGUOUS_PAIRING;
  out->pairCount = count;
  if (count < 3) return FitResult::FIT_TOO_FEW_PAIRS;
  const Quadratic q = moments.finish();
  Solution solution;
  Status status = solve(q, withScale, scale, &solution);
  if (status != FitResult::FIT_SUCCEEDED) return status;
  if (solution.determinacy < kWellDetermined) {
    const double f = refine(walk, q, withScale, &solution);
    // With weights that differ between axes the moments may settle a thin
    // bar on the wrong roll, a local minimum half a turn from the optimum
    // (equal weights leave the closed form, which has none).
    if (!q.isotropic) {
      Solution rolled = solution;
      rolled.estimate = rolledHalfRound(q, solution);
      if (refine(walk, q, withScale, &rolled) < f) solution = rolled;
    }
  }
  Transformation fitted;
  status = toTransformation(q, solution.estimate, &fitted);
  if (status != FitResult::FIT_SUCCEEDED) return status;
  double mean = 0.0;
  if (wantMeanWeighted) {
    mean = meanResidual(fitted);
    if (!std::isfinite(mean)) return FitResult::FIT_NOT_CONVERGED;
  }
  out->transformation = fitted;
  out->meanWeighted = mean;
  return FitResult::FIT_SUCCEEDED;
}

}  // namespace

template <>
void Moments<UnitKind>::buildQuadratic() {
  const double* s = sums_;
  Matrix12& h = out_.H;
  for (int r = 0; r < 3; ++r) {
    h(9 + r, 9 + r) = s[0];
    for (int k = 0; k < 3; ++k) {
      h(3 * k + r, 9 + r) = h(9 + r, 3 * k + r) = s[1 + k];
      for (int l = 0; l < 3; ++l) h(3 * k + r, 3 * l + r) = s[7 + sym(k, l)];
      out_.g(3 * k + r) = s[13 + 3 * r + k];
    }
    out_.g(9 + r) = s[4 + r];
  }
  out_.c = s[22];
}

template <>
void Moments<AxisKind>::buildQuadratic() {
  Matrix12& h = out_.H;
  out_.rowsApart = true;
  out_.c = 0.0;
  for (int r = 0; r < 3; ++r) {
    const double* t = sums_ + 15 * r;
    h(9 + r, 9 + r) = t[0];
    for (int k = 0; k < 3; ++k) {
      h(3 * k + r, 9 + r) = h(9 + r, 3 * k + r) = t[1 + k];
      for (int l = 0; l < 3; ++l) h(3 * k + r, 3 * l + r) = t[5 + sym(k, l)];
      out_.g(3 * k + r) = t[11 + k];
    }
    out_.g(9 + r) = t[4];
    out_.c += t[14];
  }
}

template <>
void Moments<MatrixKind>::buildQuadratic() {
  const double* s = sums_;
  Matrix12& h = out_.H;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      h(9 + i, 9 + j) = s[sym(i, j)];
      for (int k = 0; k < 3; ++k) {
        h(3 * k + i, 9 + j) = h(9 + j, 3 * k + i) = s[6 + 6 * k + sym(i, j)];
        for (int l = 0; l < 3; ++l) h(3 * k + i, 3 * l + j) = s[24 + 6 * sym(k, l) + sym(i, j)];
      }
    }
  for (int r = 0; r < 3; ++r) {
    out_.g(9 + r) = s[60 + r];
    for (int k = 0; k < 3; ++k) out_.g(3 * k + r) = s[63 + 3 * r + k];
  }
  out_.c = s[72];
}

namespace {

/// Pairs by position are read by the moments in runs, each run prepared
/// first (gathered, when the pairs by identifier are gathered on demand:
/// GatheredPairs::deferred), so that it is read from the cache. Runs are
/// multiples of the moments' blocks, so that they add up to the same sums
/// as one pass.
constexpr std::size_t kRun = 2048;
/// Runs that gather from a destination set beyond the cache are one block
/// long: the partners of the next block, asked for ahead as one block is
/// gathered, then arrive while the moments of that block are summed (the
/// moments' arithmetic and the waiting on memory overlap). 1.5 ms of 17 in
/// a weighted fit of 1e6 pairs by identifier; for sets in the cache, longer
/// runs cost fewer calls.
constexpr std::size_t kGatheringRun = 64;

/// Destination sets up to this many points (1 MB) are placed by identifier
/// in the second-level cache (see fitById).
constexpr std::size_t kNumberedInCache = std::size_t(1) << 15;

/// fitByPosition, with prepare(begin, end) called before the moments read
/// pairs [begin, end) (from the thread that reads them) in runs of `run`,
/// dstAt(i) the destination point of pair i before that, and nothing done
/// after the moments unless prepared() then holds; the pass of the mean
/// residual checks the pairs' numbering where `numbering` is not null (per-axis
/// or unit weights). With per-axis weights, pair i's destination point is
/// dst[dstOrder[i]] where dstOrder is not null (GatheredPairs::dstOrder).
template <class Prepare, class DstAt, class Prepared>
Status fitPrepared(const Point* src, const Point* dst, PairWeights weights, std::size_t n, bool withScale,
                   double scale, bool wantMeanWeighted, std::size_t run, const Prepare& prepare,
                   const DstAt& dstAt, const Prepared& prepared, NumberingCheck* numbering,
                   const std::uint32_t* dstOrder, Fitted* out) {
  if (weights.matrices) {
    const FitWeightMatrix* w = weights.matrices;
    const auto walk = [=](auto&& f) {
      for (std::size_t i = 0; i < n; ++i) f(src[i], dst[i], matrixWeight(w[i]));
    };
    const auto gather = [&](Moments<MatrixKind>* moments) {
      const auto carries = [w](std::size_t i) { return MatrixKind::carries(matrixWeight(w[i])); };
      const auto add = [&](Moments<MatrixKind>* m, std::size_t begin, std::size_t end) {
        prepare(begin, end);
        for (std::size_t i = begin; i < end; ++i) m->add(src[i], dst[i], matrixWeight(w[i]));
      };
      momentsByPosition(src, dstAt, n, carries, add, moments);
      return prepared();
    };
    const auto mean = [&](const Transformation& t) { return meanWeightedResidual(t, walk, n); };
    return fitPairs<MatrixKind>(gather, walk, mean, n, withScale, scale, wantMeanWeighted, out);
  }
  if (weights.perAxis) {
    const Point* w = weights.perAxis;
    const auto walk = [=](auto&& f) {
      for (std::size_t i = 0; i < n; ++i)
        f(src[i], destinationOf(dst, dstOrder, i), static_cast<const Vec&>(w[i]));
    };
    const auto gather = [&](Moments<AxisKind>* moments) {
      const auto carries = [w](std::size_t i) { return AxisKind::carries(w[i]); };
      const auto add = [&](Moments<AxisKind>* m, std::size_t begin, std::size_t end) {
        for (std::size_t at = begin; at < end; at += run) {
          const std::size_t count = std::min(run, end - at);
          prepare(at, at + count);
          const bool last = at + count == end;  // of this object's pairs
          if (dstOrder != nullptr)
            m->addArrays(src + at, dst, w + at, count, dstOrder + at, last);
          else
            m->addArrays(src + at, dst + at, w + at, count, nullptr, last);
        }
      };
      momentsByPosition(src, dstAt, n, carries, add, moments);
      return prepared();
    };
    const auto mean = [&](const Transformation& t) {
      return meanResidualByPosition(t, src, dst, w, n, numbering, dstOrder);
    };
    return fitPairs<AxisKind>(gather, walk, mean, n, withScale, scale, wantMeanWeighted, out);
  }
  const auto walk = [=](auto&& f) {
    for (std::size_t i = 0; i < n; ++i) f(src[i], dst[i], unitWeight());
  };
  const auto mean = [&](const Transformation& t) {
    return meanResidualByPosition(t, src, dst, nullptr, n, numbering);
  };
  const auto gather = [&](Moments<UnitKind>* moments) {
    const auto add = [&](Moments<UnitKind>* m, std::size_t begin, std::size_t end) {
      for (std::size_t at = begin; at < end; at += run) {
        const std::size_t count = std::min(run, end - at);
        prepare(at, at + count);
        m->addArrays(src + at, dst + at, count);
      }
    };
    momentsByPosition(src, dstAt, n, [](std::size_t) { return true; }, add, moments);
    return prepared();
  };
  return fitPairs<UnitKind>(gather, walk, mean, n, withScale, scale, wantMeanWeighted, out);
}

}  // namespace

Status fitByPosition(const Point* src, const Point* dst, PairWeights weights, std::size_t n, bool withScale,
                     double scale, bool wantMeanWeighted, Fitted* out) {
  return fitPrepared(
      src, dst, weights, n, withScale, scale, wantMeanWeighted, kRun, [](std::size_t, std::size_t) {},
      [dst](std::size_t i) -> const Point& { return dst[i]; }, [] { return true; }, nullptr, nullptr, out);
}

Quadratic quadraticOf(const Point* src, const Point* dst, PairWeights weights, std::size_t n, const char* used) {
  const auto gather = [&](auto kind, const auto& weightOf) {
    Moments<decltype(kind)> moments;
    for (std::size_t i = 0; i < n; ++i)
      if (used[i] != 0) moments.add(src[i], dst[i], weightOf(i));
    return moments.finish();
  };
  if (weights.matrices) return gather(MatrixKind(), [&](std::size_t i) { return matrixWeight(weights.matrices[i]); });
  if (weights.perAxis) return gather(AxisKind(), [&](std::size_t i) { return Vec(weights.perAxis[i]); });
  return gather(UnitKind(), [](std::size_t) { return unitWeight(); });
}

Status fitById(const std::vector<Point>& src, const std::vector<Point>& dst, const std::vector<Point>& weights,
               bool withScale, double scale, bool wantMeanWeighted, Fitted* out) {
  out->pairCount = 0;
  if (weights.size() > IdIndex::kMaxPoints || dst.size() > IdIndex::kMaxPoints)
    return FitResult::FIT_AMBIGUOUS_PAIRING;
  // The pairs gathered in order and fitted by position: the same fit, bit
  // for bit (fit_gather.h), with the passes by position over arrays. A
  // numbered source set with its destination points in another order is
  // paired without an index (GatheredPairs::pairUpNumbered), its numbering
  // checked as the mean residual reads it: nothing to gather as the moments
  // read the pairs, which then go in long runs.
  bool speculationFailed = false;
  const auto fitPaired = [&](GatheredPairs& pairs, std::size_t run) {
    PairWeights w;
    w.perAxis = pairs.weights();
    NumberingCheck numbering;
    numbering.first = pairs.firstId();
    const Status status = fitPrepared(
        pairs.src(), pairs.dstRows(), w, pairs.count(), withScale, scale, wantMeanWeighted, run,
        [&pairs](std::size_t begin, std::size_t end) { pairs.gatherRange(begin, end); },
        [&pairs](std::size_t i) -> const Point& { return pairs.dstOf(i); },
        [&pairs] { return !pairs.speculationFailed(); }, pairs.leavesNumbering() ? &numbering : nullptr,
        pairs.dstOrder(), out);
    // Without the pass of the mean residual (a fit that failed, or no mean
    // asked for) the numbering is checked on its own.
    if (pairs.leavesNumbering()) pairs.settleNumbering(numbering.made ? &numbering.holds : nullptr);
    speculationFailed = pairs.speculationFailed();
    return status;
  };
  // Writing the destination points to their places at random (numbered)
  // beats reading them at random as the moments go (the general way) where
  // the places stay in the cache, where the moments' arithmetic is heavy
  // (per-axis weights), and where the places are written over threads
  // (unit weights at 1e6 pairs: 6.5 instead of 11 ms); in one thread the
  // arithmetic of unit weights hides the reads' waiting well enough (1e5
  // pairs: 0.93 instead of 1.0 ms).
  const bool placedOverThreads = dst.size() >= parallel::kMinPointsForThreads && parallel::threadCount() > 1;
  if (!weights.empty() || dst.size() <= kNumberedInCache || placedOverThreads) {
    // Sets in the cache are paired in place where the moments' kernel reads
    // destination points through an order (per-axis weights, AVX-512).
    GatheredPairs numbered;
    if (numbered.pairUpNumbered(src, dst, weights, !weights.empty() && avx2::wideRegisters())) {
      const Status status = fitPaired(numbered, kRun);
      if (!speculationFailed) return status;
    }
  }
  const IdIndex dstById(dst.size(), idsOf(dst), true);
  // Else a set whose destination identifiers do not repeat is first taken
  // to pair every source point, and gathered run by run as the moments read
  // them; if it does not, it is paired first.
  const auto fitGathered = [&](bool speculate) {
    GatheredPairs pairs;
    if (!pairs.pairUp(src, dst, weights, dstById, speculate)) {
      out->pairCount = pairs.count();
      return FitResult::FIT_AMBIGUOUS_PAIRING;
    }
    return fitPaired(pairs, pairs.deferred() && dst.size() > kInCache ? kGatheringRun : kRun);
  };
  const Status status = fitGathered(true);
  return speculationFailed ? fitGathered(false) : status;
}

}  // namespace fit
}  // namespace Zem

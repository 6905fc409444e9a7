// Line and plane in closed form: both are spanned by principal axes of the
// points' covariance about their centroid (the line along the largest, the
// plane across the smallest), which minimises the squared orthogonal
// distances exactly. One pass gathers the moments, a second the residuals;
// both spread over the cores for large sets (parallel.h).
#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "decompositions.h"
#include "feature_common.h"
#include "feature_kernels_avx2.h"
#include "kernels_avx2.h"
#include "lane2.h"
#include "parallel.h"

namespace Zem {

namespace {

using feature::fromEigen;
using feature::toEigen;

/// The centroid and covariance of the points, gathered in one pass about
/// the first point (so that parts far from the origin lose no digits) in
/// blocks (so that the rounding of a million-term sum stays small).
struct Moments {
  Eigen::Vector3d origin;  ///< the first point
  Eigen::Vector3d offset;  ///< centroid − origin
  Eigen::Matrix3d covariance;
  bool finite = false;

  Eigen::Vector3d centroid() const { return origin + offset; }
};

/// Points i and i + 1 less the origin o, one lane each.
struct TwoPoints {
  Lane2 x, y, z;
};
template <class At>
TwoPoints twoAt(const At& at, std::size_t i, const BaVec3d<double>& o) {
  const auto& p = at(i);
  const auto& q = at(i + 1);
  return {Lane2{p.x, q.x} - o.x, Lane2{p.y, q.y} - o.y, Lane2{p.z, q.z} - o.z};
}

/// The points' storage for the four-lane passes (feature_kernels_avx2.h),
/// where this process uses them: BaPoint3d or packed x, y, z.
struct WidePoints {
  const BaPoint3d<double>* points = nullptr;
  const double* packed = nullptr;

  explicit WidePoints(const FeaturePoints& p) {
    static_assert(sizeof(BaVec3d<double>) == 3 * sizeof(double), "BaVec3d points are packed x, y, z");
    if (!avx2::enabled()) return;
    points = p.pointData();
    packed = points != nullptr ? nullptr : p.packedData();
  }
  bool enabled() const { return points != nullptr || packed != nullptr; }
  /// Calls pass(storage of point i onwards) with the layout's pointer type.
  template <class Pass>
  void from(std::size_t i, const Pass& pass) const {
    if (points != nullptr)
      pass(points + i);
    else
      pass(packed + 3 * i);
  }
};

/// Points per chunk of a pass (see parallel.h): a multiple of the blocks
/// and buffers below, so that a set of one chunk is summed as it always was.
constexpr std::size_t kChunk = std::size_t(1) << 16;

Moments gatherMoments(const FeaturePoints& points) {
  const std::size_t n = points.size();
  const WidePoints wide(points);
  return points.visit([n, &wide](auto at) {
    const BaVec3d<double> o = at(0);
    // Two points at a time over the first n − n % 2 points; the last point
    // of an odd count (o itself when n is 1) is added on its own.
    const std::size_t even = n - n % 2;
    const std::size_t chunks = parallel::chunksOf(even, kChunk);
    std::vector<std::array<double, 9>> partial(chunks);  // x, y, z, xx, xy, xz, yy, yz, zz about o
    parallel::forChunksOf(n, chunks, [&](std::size_t c) {
      std::array<double, 9>& s = partial[c];
      s.fill(0.0);
      constexpr std::size_t kBlock = 1024;  // the rounding of a block's sum stays that of 1,024 terms
      for (std::size_t begin = c * kChunk; begin < std::min(even, (c + 1) * kChunk); begin += kBlock) {
        Lane2 b[9] = {};
        const std::size_t end = std::min(even, begin + kBlock);
        std::size_t i = begin;
        if (wide.enabled()) {
          const std::size_t quad = (end - begin) / 4 * 4;
          double w[9] = {};
          wide.from(begin, [&](const auto* from) { avx2::pointMoments(from, quad, o, w); });
          for (int k = 0; k < 9; ++k) b[k][0] = w[k];
          i += quad;
        }
        for (; i < end; i += 2) {
          const TwoPoints p = twoAt(at, i, o);
          b[0] += p.x;
          b[1] += p.y;
          b[2] += p.z;
          b[3] += p.x * p.x;
          b[4] += p.x * p.y;
          b[5] += p.x * p.z;
          b[6] += p.y * p.y;
          b[7] += p.y * p.z;
          b[8] += p.z * p.z;
        }
        for (int k = 0; k < 9; ++k) s[std::size_t(k)] += b[k][0] + b[k][1];
      }
    });
    double s[9] = {};
    for (const std::array<double, 9>& part : partial)
      for (int k = 0; k < 9; ++k) s[k] += part[std::size_t(k)];
    if (n % 2 != 0) {
      const BaVec3d<double> p = at(n - 1) - o;
      const double last[9] = {p.x, p.y, p.z, p.x * p.x, p.x * p.y, p.x * p.z, p.y * p.y, p.y * p.z, p.z * p.z};
      for (int k = 0; k < 9; ++k) s[k] += last[k];
    }
    Moments m;
    const double inv = 1.0 / double(n);
    m.origin = toEigen(o);
    m.offset = Eigen::Vector3d(s[0], s[1], s[2]) * inv;
    m.covariance << s[3], s[4], s[5], s[4], s[6], s[7], s[5], s[7], s[8];
    m.covariance = m.covariance * inv - m.offset * m.offset.transpose();
    m.finite = m.origin.allFinite() && m.covariance.allFinite();
    return m;
  });
}

/// The principal axes of the points: eigenvalues of the covariance divided
/// by its trace, ascending, and the unit eigenvectors as columns.
struct Principal {
  Eigen::Vector3d values;
  Eigen::Matrix3d axes;
  double flat = 0.0;  ///< as Cloud::flat
};

/// Common start of both fits: count, finiteness, coinciding points.
bool principalAxes(const FeaturePoints& points, std::size_t minimum, FeatureFit* fit, Moments* m,
                   Principal* principal) {
  fit->minimumPoints = int(minimum);
  if (points.size() < minimum) {
    feature::fail(fit, FeatureFit::FEATURE_TOO_FEW_POINTS);
    return false;
  }
  *m = gatherMoments(points);
  if (!m->finite) {
    feature::fail(fit, FeatureFit::FEATURE_NOT_FINITE);
    return false;
  }
  const double spread2 = m->covariance.trace();
  const double magnitude = m->centroid().cwiseAbs().maxCoeff() + std::sqrt(std::max(spread2, 0.0));
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  if (!(std::sqrt(std::max(spread2, 0.0)) > 256.0 * kEps * magnitude)) {
    feature::fail(fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_COINCIDENT);
    return false;
  }
  linalg::symmetricEigen(m->covariance / spread2, &principal->values, &principal->axes);
  principal->flat = feature::flatEigenvalue(magnitude, std::sqrt(spread2));
  return true;
}

/// Fills fit->residuals with residual(x, y, z) of every point less o (x, y,
/// z both doubles or both Lane2), and rms and the smallest and largest
/// residual, in the same pass, chunk by chunk. In one thread the residuals
/// go through a small buffer and are appended from it: a vector sized first
/// would write every residual twice (zeros, then the value), which costs a
/// tenth of the fit; threads write their chunks in place.
///
/// wide(storage, count, to, summary) is the same pass four points at a time
/// (feature_kernels_avx2.h), for the storage of WidePoints.
template <class Residual, class Wide>
void residualPass(const FeaturePoints& points, const BaVec3d<double>& o, Residual residual, const Wide& wide,
                  FeatureFit* fit, double* low, double* high) {
  const std::size_t n = points.size(), even = n - n % 2;
  const std::size_t chunks = parallel::chunksOf(even, kChunk);
  struct Summary {
    Lane2 squares = {0.0, 0.0}, lo = {HUGE_VAL, HUGE_VAL}, hi = {-HUGE_VAL, -HUGE_VAL};
  };
  std::vector<Summary> partial(chunks);
  std::vector<double>& out = fit->residuals;
  const WidePoints storage(points);
  const unsigned threads = n < parallel::kMinPointsForThreads ? 1u : parallel::threadCount();
  points.visit([&](auto at) {
    // Residuals of points [begin, end), an even count, into `to`.
    const auto pass = [&](std::size_t begin, std::size_t end, double* to, Summary* s) {
      std::size_t i = begin;
      if (storage.enabled()) {
        const std::size_t quad = (end - begin) / 4 * 4;
        avx2::ResidualSummary w;
        storage.from(begin, [&](const auto* from) { wide(from, quad, to, &w); });
        s->squares[0] += w.squares;
        s->lo[0] = std::min(s->lo[0], w.lo);
        s->hi[0] = std::max(s->hi[0], w.hi);
        i += quad;
      }
      for (; i < end; i += 2) {
        const TwoPoints p = twoAt(at, i, o);
        const Lane2 v = residual(p.x, p.y, p.z);
        to[i - begin] = v[0];
        to[i - begin + 1] = v[1];
        s->squares += v * v;
        s->lo = v < s->lo ? v : s->lo;
        s->hi = v > s->hi ? v : s->hi;
      }
    };
    // Chunk c in blocks of kBuffer, each block's residuals written by
    // write(begin, end, residuals of the block): the same blocks in every
    // thread count, so that the summary is summed alike.
    constexpr std::size_t kBuffer = 512;  // divides kChunk, and small enough to stay in the first-level cache
    const auto chunk = [&](std::size_t c, double* buffer, const auto& write) {
      const std::size_t last = std::min(even, (c + 1) * kChunk);
      for (std::size_t begin = c * kChunk; begin < last; begin += kBuffer) {
        const std::size_t end = std::min(begin + kBuffer, last);
        pass(begin, end, buffer != nullptr ? buffer : out.data() + begin, &partial[c]);
        write(begin, end, buffer);
      }
    };
    if (threads > 1) {
      out.resize(n);
      parallel::forChunks(chunks, threads, [&](std::size_t c) { chunk(c, nullptr, [](auto...) {}); });
    } else {
      out.clear();
      out.reserve(n);
      double buffer[kBuffer];
      const auto append = [&](std::size_t begin, std::size_t end, const double* from) {
        out.insert(out.end(), from, from + (end - begin));
      };
      for (std::size_t c = 0; c < chunks; ++c) chunk(c, buffer, append);
      if (n % 2 != 0) out.push_back(0.0);
    }
    if (n % 2 != 0) {
      const BaVec3d<double> p = at(n - 1) - o;
      out[n - 1] = residual(p.x, p.y, p.z);
    }
    return 0;
  });
  Summary all;
  for (const Summary& s : partial) {
    all.squares += s.squares;
    all.lo = s.lo < all.lo ? s.lo : all.lo;
    all.hi = s.hi > all.hi ? s.hi : all.hi;
  }
  if (n % 2 != 0) {
    const double v = out[n - 1];
    all.squares[0] += v * v;
    all.lo[0] = std::min(all.lo[0], v);
    all.hi[0] = std::max(all.hi[0], v);
  }
  fit->rms = std::sqrt((all.squares[0] + all.squares[1]) / double(n));
  *low = std::min(all.lo[0], all.lo[1]);
  *high = std::max(all.hi[0], all.hi[1]);
}

}  // namespace

LineFit fitLine(const FeaturePoints& points, const BaVec3d<double>& directionHint) {
  LineFit fit;
  Moments m;
  Principal principal;
  if (!principalAxes(points, 2, &fit, &m, &principal)) return fit;
  if (principal.values(2) - principal.values(1) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_NO_DIRECTION);
    return fit;
  }
  const Eigen::Vector3d d = feature::orientDirection(principal.axes.col(2).normalized(), points, directionHint);
  const BaVec3d<double> o = fromEigen(m.origin), dir = fromEigen(d), c = fromEigen(m.offset);
  double smallest = 0.0, largest = 0.0;
  // |(p − centroid) × d|, with p − centroid = (p − o) − c.
  const auto distance = [&](auto x, auto y, auto z) {
    x -= c.x;
    y -= c.y;
    z -= c.z;
    const auto u = y * dir.z - z * dir.y, v = z * dir.x - x * dir.z, w = x * dir.y - y * dir.x;
    return sqrt2(u * u + v * v + w * w);
  };
  const auto wide = [&](const auto* at, std::size_t count, double* to, avx2::ResidualSummary* summary) {
    avx2::lineDistances(at, count, o, c, dir, to, summary);
  };
  residualPass(points, o, distance, wide, &fit, &smallest, &largest);
  fit.form = 2.0 * largest;
  fit.point = fromEigen(m.centroid());
  fit.direction = dir;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

PlaneFit fitPlane(const FeaturePoints& points, const BaVec3d<double>& normalHint) {
  PlaneFit fit;
  Moments m;
  Principal principal;
  if (!principalAxes(points, 3, &fit, &m, &principal)) return fit;
  if (principal.values(1) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_COLLINEAR);
    return fit;
  }
  if (principal.values(1) - principal.values(0) <= principal.flat) {
    feature::fail(&fit, FeatureFit::FEATURE_DEGENERATE, FeatureFit::DEGENERACY_NO_NORMAL);
    return fit;
  }
  const Eigen::Vector3d normal =
      feature::orientNormal(principal.axes.col(0).normalized(), points, m.centroid(), normalHint);
  const BaVec3d<double> o = fromEigen(m.origin), nv = fromEigen(normal);
  const double shift = m.offset.dot(normal);
  double smallest = 0.0, largest = 0.0;
  const auto height = [&](auto x, auto y, auto z) { return x * nv.x + y * nv.y + z * nv.z - shift; };
  const auto wide = [&](const auto* at, std::size_t count, double* to, avx2::ResidualSummary* summary) {
    avx2::planeHeights(at, count, o, nv, shift, to, summary);
  };
  residualPass(points, o, height, wide, &fit, &smallest, &largest);
  fit.form = largest - smallest;
  fit.point = fromEigen(m.centroid());
  fit.normal = nv;
  fit.status = FeatureFit::FEATURE_SUCCEEDED;
  return fit;
}

}  // namespace Zem

// zemtrafo.fit, zemtrafo.FitResult and zemtrafo.FitError: the weighted
// least-squares best fit of two (N, 3) arrays, paired by row or by
// identifier, with the residual of every pair. The module pairs the rows with
// the library's identifier pairing (so that it knows their rows), refusing
// repeated identifiers, and hands the pairs to the library's fit by position.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "arrays.h"
#include "bindings.h"
#include "math_fit_pairing.h"
#include "math_fit_result.h"

namespace zempy {

namespace {

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;
using Points = std::vector<BaPoint3d<double>>;

/// Identifiers, one per row of the points they label: any integers; -1
/// means "no identifier" (never paired), as in the library. An identifier
/// that repeats would make the pairing ambiguous and is refused.
IndexArray idArray(py::handle obj, const char* name, py::ssize_t rows) {
  const py::array a = numericArray(obj, name, "iu");
  if (a.ndim() != 1 || a.shape(0) != rows)
    throw py::value_error(std::string(name) + " must have shape (" + std::to_string(rows) + ",), got " + shapeText(a));
  // The library's identifiers are 32-bit: a wider one would wrap on the
  // way (2**64 - 1 to -1, "no identifier") and its pair would vanish.
  if (a.size() > 0) {
    const py::object lowest = a.attr("min")(), highest = a.attr("max")();
    if (lowest < py::int_(std::numeric_limits<std::int32_t>::min()) ||
        highest > py::int_(std::numeric_limits<std::int32_t>::max()))
      throw py::value_error(std::string(name) + " holds identifiers outside the 32-bit range [-2**31, 2**31 - 1], "
                            "from " + py::repr(lowest).cast<std::string>() + " to " +
                            py::repr(highest).cast<std::string>());
  }
  return indexArray(a);
}

/// (identifier, row) of every labelled row, sorted by identifier.
std::vector<std::pair<std::int64_t, std::int64_t>> sortedIds(const IndexArray& ids, const char* name) {
  std::vector<std::pair<std::int64_t, std::int64_t>> sorted;
  sorted.reserve(std::size_t(ids.shape(0)));
  for (py::ssize_t i = 0; i < ids.shape(0); ++i)
    if (ids.data()[i] != -1) sorted.emplace_back(ids.data()[i], i);
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t k = 1; k < sorted.size(); ++k)
    if (sorted[k].first == sorted[k - 1].first)
      throw py::value_error(std::string(name) + " holds the identifier " + std::to_string(sorted[k].first) +
                            " more than once (rows " + std::to_string(sorted[k - 1].second) + " and " +
                            std::to_string(sorted[k].second) + ")");
  return sorted;
}

/// Pairs by identifier, in the order of the source rows (the library's
/// pairing); repeated identifiers are refused first, as the module's policy.
void pairById(const IndexArray& sourceIds, const IndexArray& targetIds, std::vector<std::int64_t>* sourceRows,
              std::vector<std::int64_t>* targetRows) {
  sortedIds(sourceIds, "source_ids");
  sortedIds(targetIds, "target_ids");
  std::vector<Zem::FitPair> pairs;
  // Without repeated identifiers the pairing is never abandoned.
  Zem::pairByIdentifier(sourceIds.data(), std::size_t(sourceIds.shape(0)), targetIds.data(),
                        std::size_t(targetIds.shape(0)), &pairs);
  sourceRows->reserve(pairs.size());
  targetRows->reserve(pairs.size());
  for (const Zem::FitPair& p : pairs) {
    sourceRows->push_back(std::int64_t(p.source));
    targetRows->push_back(std::int64_t(p.destination));
  }
}

/// Weights aligned with the source rows: (N,) for all three coordinates of
/// a row, (N, 3) per coordinate, finite and not negative; or (N, 3, 3), a
/// finite symmetric positive semi-definite matrix per row (checked by the fit).
DoubleArray weightArray(py::handle obj, py::ssize_t rows) {
  const py::array a = numericArray(obj, "weights");
  const bool perRow = a.ndim() == 1 && a.shape(0) == rows;
  const bool perCoordinate = a.ndim() == 2 && a.shape(0) == rows && a.shape(1) == 3;
  const bool matrices = a.ndim() == 3 && a.shape(0) == rows && a.shape(1) == 3 && a.shape(2) == 3;
  if (!perRow && !perCoordinate && !matrices)
    throw py::value_error("weights must have shape (" + std::to_string(rows) + ",), (" + std::to_string(rows) +
                          ", 3) or (" + std::to_string(rows) + ", 3, 3) like the source rows, got " + shapeText(a));
  DoubleArray w = doubleArray(a);
  for (py::ssize_t k = 0; k < w.size(); ++k) {
    if (!std::isfinite(w.data()[k])) throw py::value_error("weights must be finite");
    if (!matrices && w.data()[k] < 0.0) throw py::value_error("weights must be finite and not negative");
  }
  return w;
}

/// 1 when v is NaN or infinite (all exponent bits set), else 0: integer
/// operations only, so that testing every coordinate adds no chain of
/// floating-point dependencies to the copying loop.
inline std::uint64_t nonFinite(double v) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u;
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & kExponent) == kExponent;
}

/// Rows of an (N, 3) array as the library's points, as a random-access
/// iterator for std::vector's range constructor: the vector is sized once
/// from `last - first` and each point constructed in place, with no capacity
/// test per point. Dereferencing yields a point by value; `bad` collects
/// whether any coordinate read was NaN or infinite.
class RowReader {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = BaPoint3d<double>;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = BaPoint3d<double>;

  RowReader(const double* data, const std::int64_t* rows, difference_type k, std::uint64_t* bad)
      : data_(data), rows_(rows), k_(k), bad_(bad) {}
  BaPoint3d<double> operator*() const { return (*this)[0]; }
  BaPoint3d<double> operator[](difference_type d) const {
    const difference_type k = k_ + d;
    const double* row = data_ + 3 * (rows_ ? rows_[k] : k);
    *bad_ |= nonFinite(row[0]) | nonFinite(row[1]) | nonFinite(row[2]);
    return BaPoint3d<double>(row[0], row[1], row[2]);
  }
  RowReader& operator+=(difference_type d) { return k_ += d, *this; }
  RowReader& operator-=(difference_type d) { return k_ -= d, *this; }
  RowReader& operator++() { return *this += 1; }
  RowReader& operator--() { return *this -= 1; }
  RowReader operator++(int) { return RowReader(data_, rows_, k_++, bad_); }
  RowReader operator--(int) { return RowReader(data_, rows_, k_--, bad_); }
  RowReader operator+(difference_type d) const { return RowReader(data_, rows_, k_ + d, bad_); }
  RowReader operator-(difference_type d) const { return RowReader(data_, rows_, k_ - d, bad_); }
  friend RowReader operator+(difference_type d, const RowReader& r) { return r + d; }
  difference_type operator-(const RowReader& o) const { return k_ - o.k_; }
  bool operator==(const RowReader& o) const { return k_ == o.k_; }
  bool operator!=(const RowReader& o) const { return k_ != o.k_; }
  bool operator<(const RowReader& o) const { return k_ < o.k_; }
  bool operator>(const RowReader& o) const { return k_ > o.k_; }
  bool operator<=(const RowReader& o) const { return k_ <= o.k_; }
  bool operator>=(const RowReader& o) const { return k_ >= o.k_; }

 private:
  const double* data_;
  const std::int64_t* rows_;
  difference_type k_;
  std::uint64_t* bad_;
};

/// The rows of `a` (all of them, or the listed ones) as the library's points.
/// A NaN or infinite coordinate makes the fit meaningless and is refused
/// with the row's number.
Points gather(const DoubleArray& a, const std::vector<std::int64_t>* rows, std::size_t n, const char* name) {
  std::uint64_t bad = 0;
  const std::int64_t* r = rows ? rows->data() : nullptr;
  Points points(RowReader(a.data(), r, 0, &bad), RowReader(a.data(), r, std::ptrdiff_t(n), &bad));
  if (bad)
    for (std::size_t k = 0; k < n; ++k)
      if (nonFinite(points[k].x) | nonFinite(points[k].y) | nonFinite(points[k].z))
        throw py::value_error(std::string(name) + " row " + std::to_string(r ? r[k] : std::int64_t(k)) +
                              " is not finite");
  return points;
}

std::vector<Zem::FitWeightMatrix> gatherMatrices(const DoubleArray& w, const std::vector<std::int64_t>* rows,
                                                 std::size_t n) {
  std::vector<Zem::FitWeightMatrix> matrices(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double* m = w.data() + 9 * (rows ? (*rows)[k] : std::int64_t(k));
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) matrices[k].m[r][c] = m[3 * r + c];
  }
  return matrices;
}

Points gatherWeights(const DoubleArray& w, const std::vector<std::int64_t>* rows, std::size_t n) {
  Points weights;
  weights.reserve(n);
  const bool perRow = w.ndim() == 1;
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t r = rows ? (*rows)[k] : std::int64_t(k);
    if (perRow) {
      const double v = w.data()[r];
      weights.emplace_back(v, v, v);
    } else {
      weights.emplace_back(w.data()[3 * r], w.data()[3 * r + 1], w.data()[3 * r + 2]);
    }
  }
  return weights;
}

/// residual[k] = t(src[k]) − dst[k], the image computed with the operations
/// of Transformation::transformPoint in the same order (so the residuals are
/// exactly transform_points(source) − target), and its length. The test of
/// m33 = 1 is taken once for the whole set. Where SSE2 is available two pairs
/// go at a time, and the results are streamed past the cache: they are not
/// read again here, and the stores then cost no reads of the lines they fill.
template <bool kDivide>
void residualLoop(const double (&a)[3][4], double w, const Points& src, const Points& dst, double* res, double* dist,
                  double* sumSquares, double* largestSquared) {
  const std::size_t n = src.size();
  std::size_t k = 0;
  double sum = 0.0, largest = 0.0;
#if defined(__SSE2__)
  if ((reinterpret_cast<std::uintptr_t>(res) | reinterpret_cast<std::uintptr_t>(dist)) % 16 == 0) {
    __m128d sum2 = _mm_setzero_pd(), largest2 = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
      const __m128d px = _mm_set_pd(src[k + 1].x, src[k].x), py = _mm_set_pd(src[k + 1].y, src[k].y),
                    pz = _mm_set_pd(src[k + 1].z, src[k].z);
      __m128d x = a[0][0] * px + a[0][1] * py + a[0][2] * pz + a[0][3];
      __m128d y = a[1][0] * px + a[1][1] * py + a[1][2] * pz + a[1][3];
      __m128d z = a[2][0] * px + a[2][1] * py + a[2][2] * pz + a[2][3];
      if constexpr (kDivide) x = x / w, y = y / w, z = z / w;
      x -= _mm_set_pd(dst[k + 1].x, dst[k].x);
      y -= _mm_set_pd(dst[k + 1].y, dst[k].y);
      z -= _mm_set_pd(dst[k + 1].z, dst[k].z);
      const __m128d squared = x * x + y * y + z * z;
      sum2 += squared;
      largest2 = _mm_max_pd(largest2, squared);
      _mm_stream_pd(res + 3 * k, _mm_unpacklo_pd(x, y));        // x0 y0
      _mm_stream_pd(res + 3 * k + 2, _mm_shuffle_pd(z, x, 2));  // z0 x1
      _mm_stream_pd(res + 3 * k + 4, _mm_unpackhi_pd(y, z));    // y1 z1
      _mm_stream_pd(dist + k, _mm_sqrt_pd(squared));
    }
    _mm_sfence();
    sum = sum2[0] + sum2[1];
    largest = std::max(largest2[0], largest2[1]);
  }
#endif
  for (; k < n; ++k) {
    double x = a[0][0] * src[k].x + a[0][1] * src[k].y + a[0][2] * src[k].z + a[0][3];
    double y = a[1][0] * src[k].x + a[1][1] * src[k].y + a[1][2] * src[k].z + a[1][3];
    double z = a[2][0] * src[k].x + a[2][1] * src[k].y + a[2][2] * src[k].z + a[2][3];
    if constexpr (kDivide) x /= w, y /= w, z /= w;
    x -= dst[k].x;
    y -= dst[k].y;
    z -= dst[k].z;
    res[3 * k] = x;
    res[3 * k + 1] = y;
    res[3 * k + 2] = z;
    const double squared = x * x + y * y + z * z;
    dist[k] = std::sqrt(squared);
    sum += squared;
    largest = std::max(largest, squared);
  }
  *sumSquares = sum;
  *largestSquared = largest;
}

void residualsOf(const Transformation& t, const Points& src, const Points& dst, double* res, double* dist,
                 double* sumSquares, double* largestSquared) {
  double a[3][4];
  for (unsigned r = 0; r < 3; ++r)
    for (unsigned c = 0; c < 4; ++c) a[r][c] = t.getMatrix(c, r);  // column index first
  const double w = t.getMatrix(3, 3);
  if (w == 1.0)
    residualLoop<false>(a, w, src, dst, res, dist, sumSquares, largestSquared);
  else
    residualLoop<true>(a, w, src, dst, res, dist, sumSquares, largestSquared);
}

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

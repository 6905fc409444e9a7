// The rows of the numpy arrays that zemtrafo.fit takes, as the library's
// pairs: identifiers checked and paired, weights checked, points gathered
// (with a test for NaN and infinity that costs the copy nothing), and the
// residuals of a fitted transformation written straight into new arrays.
#include "fit_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "math_fit_pairing.h"

namespace zempy {

namespace {

using Zem::BaPoint3d;
using Zem::Transformation;

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

/// The residuals of residualsOf, with the test of m33 = 1 taken once for the
/// whole set. Where SSE2 is available two pairs
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

}  // namespace

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

}  // namespace zempy

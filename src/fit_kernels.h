// Kernels of the best fit, internal to the library: the weighted moments of
// the pairs, taken in one pass, from which every quantity of the fit follows.
//
// With a = p − p₀ and b = q − q₀ (p₀, q₀ the first pair that carries weight:
// a reference inside the set, so that a part far from the origin loses no
// digits) and W the pair's 3x3 weight, the objective of an affine map
// b ≈ A·a + u is
//     F(x) = Σ (A·a + u − b)ᵀ·W·(A·a + u − b) = xᵀ·H·x − 2·gᵀ·x + c,
// x = (column 0 of A, column 1, column 2, u) ∈ ℝ¹², with
//     H = Σ [a·aᵀ ⊗ W, a ⊗ W; aᵀ ⊗ W, W],  g = Σ (a ⊗ W·b, W·b),  c = Σ bᵀ·W·b.
// Block (k, l) of H is Σ a_k·a_l·W (k, l < 3), block (k, 3) is Σ a_k·W, block
// (3, 3) is Σ W. The fit is then a problem in twelve numbers, whatever the
// number of pairs.
//
// Pairs arrive in order (one at a time, or in bulk by position) into a
// buffer of kBlock pairs; each full buffer is summed two pairs at
// a time (one per lane of a vector register; four, with fused multiply-adds,
// on processors with AVX2: kernels_avx2.h) and its sums added to the totals
// with compensated (two-sum) addition. The rounding of the moments is
// then a few ε of their size whatever the count, so that what the data
// determine does not depend on how many points carry it. A large set is
// summed in chunks, each into moments of its own about the set's reference,
// and the chunks' totals merged in order (fit_engine.cpp).
#ifndef ZEM_FIT_KERNELS_H
#define ZEM_FIT_KERNELS_H

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "kernels_avx2.h"
#include "lane2.h"
#include "math_fit_result.h"
#include "math_types.h"

namespace Zem {
namespace fit {

using Matrix12 = Eigen::Matrix<double, 12, 12>;
using Vector12 = Eigen::Matrix<double, 12, 1>;

/// The objective of the fit as a quadratic in x (see the file comment).
struct Quadratic {
  Matrix12 H = Matrix12::Zero();
  Vector12 g = Vector12::Zero();
  double c = 0.0;
  BaVec3d<double> refSrc, refDst;  ///< p₀ and q₀
  std::size_t weighted = 0;        ///< pairs that carry weight
  bool isotropic = true;           ///< every pair's weight is a multiple of the identity
  /// Every weight is diagonal (per axis): H couples only the entries of one
  /// row r of the map, (A_r0, A_r1, A_r2, u_r) at 3k + r and 9 + r.
  bool rowsApart = false;
  bool negative = false;           ///< a weight is negative (not positive semi-definite)
  bool finite = true;              ///< every coordinate and weight was finite

  /// F at x = xᵀHx − 2gᵀx + c, to about ε of Σ dᵀWd about the reference pair
  /// (for the change of F between two x, see the callers' step formulas).
  double valueAt(const Vector12& x) const { return x.dot(H * x) - 2.0 * g.dot(x) + c; }
};

/// Adds v to the running sum kept as the unevaluated pair hi + lo (Knuth's
/// two-sum; avx2::addCompensated does the same four at a time).
inline void addCompensated(double& hi, double& lo, double v) {
  const double s = hi + v, bv = s - hi;
  lo += (hi - (s - bv)) + (v - bv);
  hi = s;
}

/// Unit weights: W = I for every pair.
struct UnitKind {
  struct Weight {};
  static bool carries(const Weight&) { return true; }
  static constexpr unsigned kSums = 23;  // Σ1, Σa, Σb, Σa·aᵀ (6), Σb·aᵀ (9), Σ|b|²
};

/// Per-axis weights: W = diag(w).
struct AxisKind {
  using Weight = BaVec3d<double>;
  static bool carries(const Weight& w) { return !(w.x == 0.0 && w.y == 0.0 && w.z == 0.0); }
  // Per axis r: Σw_r, Σw_r·a (3), Σw_r·b_r, Σw_r·a·aᵀ (6), Σw_r·b_r·a (3), Σw_r·b_r²
  static constexpr unsigned kSums = 3 * 15;
};

/// General weights: W symmetric positive semi-definite, kept as its six
/// entries (00, 11, 22, 01, 02, 12).
struct MatrixKind {
  struct Weight {
    double w[6];
  };
  static bool carries(const Weight& w) {
    for (double v : w.w)
      if (v != 0.0) return true;
    return false;
  }
  // ΣW (6), Σa_k·W (18), Σa_k·a_l·W (6·6), ΣW·b (3), Σa_k·(W·b) (9), ΣbᵀWb
  static constexpr unsigned kSums = 6 + 18 + 36 + 3 + 9 + 1;
};

/// Pair i's destination point: dst[i], or dst[order[i]] where order is not
/// null (destination points left in place: GatheredPairs::dstOrder).
inline const BaPoint3d<double>& destinationOf(const BaPoint3d<double>* dst, const std::uint32_t* order,
                                              std::size_t i) {
  return dst[order != nullptr ? order[i] : i];
}

/// Index of entry (i, j) of a symmetric 3x3 matrix in the order 00, 11, 22, 01, 02, 12.
constexpr int sym(int i, int j) { return i == j ? i : (i + j == 1 ? 3 : (i + j == 2 ? 4 : 5)); }

/// One pass of weighted moments (see the file comment).
template <class Kind>
class Moments {
 public:
  using Weight = typename Kind::Weight;

  void add(const BaVec3d<double>& p, const BaVec3d<double>& q, const Weight& w) {
    if (!referenced_) {
      // Pairs of weight 0 before the first that carries weight add nothing
      // but the test of their coordinates.
      finiteCheck_ += p.x + p.y + p.z + q.x + q.y + q.z;
      if (!Kind::carries(w)) return;
      referenced_ = true;
      out_.refSrc = p;
      out_.refDst = q;
    }
    const std::size_t k = fill_++;
    a_[0][k] = p.x - out_.refSrc.x;
    a_[1][k] = p.y - out_.refSrc.y;
    a_[2][k] = p.z - out_.refSrc.z;
    b_[0][k] = q.x - out_.refDst.x;
    b_[1][k] = q.y - out_.refDst.y;
    b_[2][k] = q.z - out_.refDst.z;
    storeWeight(k, w);
    if (fill_ == kBlock) flush();
  }

  /// Unit weights: adds the pairs (src[i], dst[i]), i < n, as add() one by
  /// one would, but four at a time where kernels_avx2.h is enabled.
  void addArrays(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, std::size_t n) {
    static_assert(std::is_same<Kind, UnitKind>::value, "for unit weights");
    std::size_t i = 0;
    if (n >= 4 && fill_ == 0 && avx2::enabled()) {
      if (!referenced_) {  // as add() takes the first pair
        finiteCheck_ += src[0].x + src[0].y + src[0].z + dst[0].x + dst[0].y + dst[0].z;
        referenced_ = true;
        out_.refSrc = src[0];
        out_.refDst = dst[0];
      }
      // Full blocks are summed as add() would sum them, straight from the
      // points; the last, partial one stays in the buffer with the pairs
      // add() then appends, so that the blocks are those of adding the pairs
      // one by one.
      const std::size_t blocks = n / kBlock;
      avx2::unitMoments(src, dst, blocks, kBlock, out_.refSrc, out_.refDst, totalHi_, totalLo_);
      i = blocks * kBlock;
      const std::size_t rest = (n - i) / 4 * 4;
      if (rest > 0) {
        avx2::centred(src + i, rest, out_.refSrc, a_[0], a_[1], a_[2]);
        avx2::centred(dst + i, rest, out_.refDst, b_[0], b_[1], b_[2]);
        fill_ = rest;
        i += rest;
      }
      out_.weighted += i;
    }
    for (; i < n; ++i) add(src[i], dst[i], {});
  }

  /// Per-axis weights: adds the pairs (src[i], dst[i]) weighted by w[i],
  /// i < n, as add() one by one would, but copied into the buffer four at a
  /// time where kernels_avx2.h is enabled. Where dstOrder is not null, pair
  /// i's destination point is dst[dstOrder[i]] (the same sums). With
  /// `last` (no pair is added after these) the final partial block too is
  /// summed straight from the points (addLastBlock).
  void addArrays(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, const BaPoint3d<double>* w,
                 std::size_t n, const std::uint32_t* dstOrder = nullptr, bool last = false) {
    static_assert(std::is_same<Kind, AxisKind>::value, "for per-axis weights");
    const auto dstAt = [dst, dstOrder](std::size_t i) -> const BaPoint3d<double>& {
      return destinationOf(dst, dstOrder, i);
    };
    // dst + i, or dst with the order from i on: destination rows from pair i.
    const auto rowsFrom = [dst, dstOrder](std::size_t i) { return dstOrder != nullptr ? dst : dst + i; };
    const auto orderFrom = [dstOrder](std::size_t i) { return dstOrder != nullptr ? dstOrder + i : nullptr; };
    std::size_t i = 0;
    for (; i < n && !referenced_; ++i) {
      if (AxisKind::carries(w[i])) {  // as add() takes it: the reference, then added with the pairs after it
        const BaPoint3d<double>& q = dstAt(i);
        finiteCheck_ += src[i].x + src[i].y + src[i].z + q.x + q.y + q.z;
        setReference(src[i], q);
        break;
      }
      add(src[i], dstAt(i), w[i]);
    }
    if (avx2::enabled()) {
      const BaVec3d<double> none;  // weights are copied as they are: w − 0 = w, bit for bit
      while (n - i >= 4) {
        if (fill_ == 0 && n - i >= kBlock && avx2::wideRegisters()) {  // whole blocks straight from the points
          const std::size_t blocks = (n - i) / kBlock;
          avx2::axisMoments(src + i, rowsFrom(i), w + i, blocks, kBlock, out_.refSrc, out_.refDst, totalHi_,
                            totalLo_, &out_.weighted, &out_.negative, &out_.isotropic, orderFrom(i));
          i += blocks * kBlock;
          continue;
        }
        if (last && fill_ == 0 && avx2::wideRegisters()) break;  // the rest is the last block
        const std::size_t room = (kBlock - fill_) / 4 * 4;
        if (room == 0) {  // fewer than four places left: the block is filled one by one
          add(src[i], dstAt(i), w[i]);
          ++i;
          continue;
        }
        const std::size_t chunk = std::min(room, (n - i) / 4 * 4), k = fill_;
        avx2::centred(src + i, chunk, out_.refSrc, a_[0] + k, a_[1] + k, a_[2] + k);
        avx2::centred(rowsFrom(i), chunk, out_.refDst, b_[0] + k, b_[1] + k, b_[2] + k, orderFrom(i));
        avx2::centred(w + i, chunk, none, w_[0] + k, w_[1] + k, w_[2] + k);
        avx2::weightFlags(w_[0] + k, w_[1] + k, w_[2] + k, chunk, &out_.weighted, &out_.negative, &out_.isotropic);
        fill_ += chunk;
        i += chunk;
        if (fill_ == kBlock) flush();
      }
      if (last && fill_ == 0 && i < n && avx2::wideRegisters()) {
        addLastBlock(src + i, rowsFrom(i), w + i, n - i, orderFrom(i));
        i = n;
      }
    }
    for (; i < n; ++i) add(src[i], dstAt(i), w[i]);
  }

  /// Takes (p, q) as the reference pair before any pair is added: the
  /// moments of a later chunk of a set about the set's reference.
  void setReference(const BaVec3d<double>& p, const BaVec3d<double>& q) {
    referenced_ = true;
    out_.refSrc = p;
    out_.refDst = q;
  }

  /// Adds the moments of `later`, pairs that follow those added here, about
  /// the same reference (or about its own, when none was added here yet).
  void merge(Moments& later) {
    if (later.fill_ > 0) later.flush();
    if (!referenced_ && later.referenced_) setReference(later.out_.refSrc, later.out_.refDst);
    for (unsigned e = 0; e < Kind::kSums; ++e) {
      addCompensated(totalHi_[e], totalLo_[e], later.totalHi_[e]);
      addCompensated(totalHi_[e], totalLo_[e], later.totalLo_[e]);
    }
    finiteCheck_ += later.finiteCheck_;
    out_.weighted += later.out_.weighted;
    out_.isotropic = out_.isotropic && later.out_.isotropic;
    out_.negative = out_.negative || later.out_.negative;
  }

  /// The quadratic of all pairs added.
  Quadratic finish() {
    if (fill_ > 0) flush();
    for (unsigned k = 0; k < Kind::kSums; ++k) sums_[k] = totalHi_[k] + totalLo_[k];
    buildQuadratic();
    out_.finite = std::isfinite(finiteCheck_) && out_.H.allFinite() && out_.g.allFinite() && std::isfinite(out_.c);
    return out_;
  }

 private:
  static constexpr std::size_t kBlock = 64;
  static_assert(kBlock <= avx2::kMaxBlock, "axisMoments takes whole blocks");
  /// The sums rounded up to whole vectors of four (the padding stays 0).
  static constexpr unsigned kPadded = (Kind::kSums + 3) / 4 * 4;

  void storeWeight(std::size_t, const UnitKind::Weight&) { ++out_.weighted; }
  void storeWeight(std::size_t k, const AxisKind::Weight& w) {
    w_[0][k] = w.x;
    w_[1][k] = w.y;
    w_[2][k] = w.z;
    noteWeight(w.x, w.y, w.z);
  }
  /// Counts a pair of per-axis weights (x, y, z) in the quadratic's flags.
  void noteWeight(double x, double y, double z) {
    if (AxisKind::carries(AxisKind::Weight(x, y, z))) ++out_.weighted;
    if (x < 0.0 || y < 0.0 || z < 0.0) out_.negative = true;
    if (!(x == y && y == z)) out_.isotropic = false;
  }
  void storeWeight(std::size_t k, const MatrixKind::Weight& w) {
    for (int e = 0; e < 6; ++e) w_[e][k] = w.w[e];
    if (MatrixKind::carries(w)) ++out_.weighted;
    if (!(w.w[3] == 0.0 && w.w[4] == 0.0 && w.w[5] == 0.0 && w.w[0] == w.w[1] && w.w[1] == w.w[2]))
      out_.isotropic = false;
    if (!positiveSemiDefinite(w.w)) out_.negative = true;
  }

  /// Sylvester's test on all principal minors, with room for the rounding
  /// of a rank-deficient weight such as w·n·nᵀ.
  static bool positiveSemiDefinite(const double (&w)[6]) {
    constexpr double kRoom = 64.0 * 2.220446049250313e-16;
    const double d0 = w[0], d1 = w[1], d2 = w[2], o01 = w[3], o02 = w[4], o12 = w[5];
    if (d0 < 0.0 || d1 < 0.0 || d2 < 0.0) return false;
    if (d0 * d1 - o01 * o01 < -kRoom * d0 * d1) return false;
    if (d0 * d2 - o02 * o02 < -kRoom * d0 * d2) return false;
    if (d1 * d2 - o12 * o12 < -kRoom * d1 * d2) return false;
    const double det = d0 * (d1 * d2 - o12 * o12) - o01 * (o01 * d2 - o12 * o02) + o02 * (o01 * o12 - d1 * o02);
    const double size = d0 + d1 + d2;
    return !(det < -kRoom * size * size * size);
  }

  /// Per-axis weights: the last `count` pairs (fewer than a block, the
  /// buffer empty) summed by avx2::axisMoments as flush() would sum them from
  /// the buffer: copied, with pairs at the reference of weight 0 (rows of
  /// zeros, as flush() pads) up to a multiple of four.
  void addLastBlock(const BaPoint3d<double>* src, const BaPoint3d<double>* dst, const BaPoint3d<double>* w,
                    std::size_t count, const std::uint32_t* dstOrder) {
    using Point = BaPoint3d<double>;
    alignas(Point) unsigned char storage[3][kBlock * sizeof(Point)];  // not initialised: each place written once
    Point* const s = reinterpret_cast<Point*>(storage[0]);
    Point* const d = reinterpret_cast<Point*>(storage[1]);
    Point* const v = reinterpret_cast<Point*>(storage[2]);
    const std::size_t padded = (count + 3) / 4 * 4;
    for (std::size_t k = 0; k < padded; ++k) {
      const bool pair = k < count;
      new (s + k) Point(pair ? src[k] : Point(out_.refSrc, -1));
      new (d + k) Point(pair ? destinationOf(dst, dstOrder, k) : Point(out_.refDst, -1));
      new (v + k) Point(pair ? w[k] : Point());
    }
    avx2::axisMoments(s, d, v, 1, padded, out_.refSrc, out_.refDst, totalHi_, totalLo_, &out_.weighted,
                      &out_.negative, &out_.isotropic);
  }

  void flush() {
    constexpr bool kWide = !std::is_same<Kind, MatrixKind>::value;  // kernels_avx2.h has these kinds
    const bool wide = kWide && avx2::enabled();
    // Pairs left over at the end fill up the last vector with zeros.
    const std::size_t lanes = wide ? 4 : 2, pairs = (fill_ + lanes - 1) / lanes * lanes;
    for (std::size_t k = fill_; k < pairs; ++k) {
      for (int r = 0; r < 3; ++r) {
        a_[r][k] = 0.0;
        b_[r][k] = 0.0;
      }
      for (auto& w : w_) w[k] = 0.0;
    }
    if constexpr (kWide) {
      if (wide) {
        const double* const a[3] = {a_[0], a_[1], a_[2]};
        const double* const b[3] = {b_[0], b_[1], b_[2]};
        double s[kPadded] = {};
        if constexpr (std::is_same<Kind, UnitKind>::value) {
          avx2::unitSums(a, b, pairs, s);
          s[0] = double(fill_);
        } else {
          const double* const w[3] = {w_[0], w_[1], w_[2]};
          avx2::axisSums(a, b, w, pairs, s);
        }
        avx2::addCompensated(s, kPadded, totalHi_, totalLo_);
        fill_ = 0;
        return;
      }
    }
    Lane2 s[Kind::kSums] = {};
    if constexpr (std::is_same<Kind, AxisKind>::value) {
      for (std::size_t k = 0; k < pairs; k += 2)
        for (int r = 0; r < 3; ++r) sumAxis(s + 15 * r, r, k);
    } else if constexpr (std::is_same<Kind, UnitKind>::value) {
      // Source moments, then the destination's: each loop's sums stay in registers.
      for (std::size_t k = 0; k < pairs; k += 2) sumSource(s, k);
      for (std::size_t k = 0; k < pairs; k += 2) sumDestination(s, k);
      s[0] = Lane2{double(fill_), 0.0};
    } else {
      for (std::size_t k = 0; k < pairs; k += 2) sumTwo(s, k, Lane2{1.0, 1.0});
    }
    for (unsigned e = 0; e < Kind::kSums; ++e) addCompensated(totalHi_[e], totalLo_[e], s[e][0] + s[e][1]);
    fill_ = 0;
  }

  /// Unit weights: Σa, Σa·aᵀ of pairs k and k + 1.
  void sumSource(Lane2* s, std::size_t k) {
    const Lane2 a[3] = {lanes(a_[0], k), lanes(a_[1], k), lanes(a_[2], k)};
    for (int i = 0; i < 3; ++i) {
      s[1 + i] += a[i];
      for (int j = i; j < 3; ++j) s[7 + sym(i, j)] += a[i] * a[j];
    }
  }
  /// Unit weights: Σb, Σb·aᵀ, Σ|b|² of pairs k and k + 1.
  void sumDestination(Lane2* s, std::size_t k) {
    const Lane2 a[3] = {lanes(a_[0], k), lanes(a_[1], k), lanes(a_[2], k)};
    const Lane2 b[3] = {lanes(b_[0], k), lanes(b_[1], k), lanes(b_[2], k)};
    for (int r = 0; r < 3; ++r) {
      s[4 + r] += b[r];
      for (int l = 0; l < 3; ++l) s[13 + 3 * r + l] += b[r] * a[l];
    }
    s[22] += b[0] * b[0] + b[1] * b[1] + b[2] * b[2];
  }
  /// Per-axis weights, axis r, of pairs k and k + 1 (see AxisKind).
  void sumAxis(Lane2* t, int r, std::size_t k) {
    const Lane2 a[3] = {lanes(a_[0], k), lanes(a_[1], k), lanes(a_[2], k)};
    const Lane2 w = lanes(w_[r], k);
    const Lane2 wb = w * lanes(b_[r], k);
    t[0] += w;
    for (int i = 0; i < 3; ++i) {
      const Lane2 wa = w * a[i];
      t[1 + i] += wa;
      for (int j = i; j < 3; ++j) t[5 + sym(i, j)] += wa * a[j];
      t[11 + i] += wb * a[i];
    }
    t[4] += wb;
    t[14] += wb * lanes(b_[r], k);
  }

  static Lane2 lanes(const double* v, std::size_t k) { return Lane2{v[k], v[k + 1]}; }

  /// Adds pairs k and k + 1 to s (weight matrices).
  void sumTwo(Lane2* s, std::size_t k, Lane2) {
    const Lane2 a[3] = {lanes(a_[0], k), lanes(a_[1], k), lanes(a_[2], k)};
    const Lane2 b[3] = {lanes(b_[0], k), lanes(b_[1], k), lanes(b_[2], k)};
    Lane2 aa[6];
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) aa[sym(i, j)] = a[i] * a[j];
    sumKind(s, k, a, b, aa);
  }

  /// Weight matrices: every sum of MatrixKind for pairs k and k + 1.
  void sumKind(Lane2* s, std::size_t k, const Lane2 (&a)[3], const Lane2 (&b)[3], const Lane2 (&aa)[6]) {
    Lane2 w[6];
    for (int e = 0; e < 6; ++e) w[e] = lanes(w_[e], k);
    Lane2 wb[3];
    for (int r = 0; r < 3; ++r) wb[r] = w[sym(r, 0)] * b[0] + w[sym(r, 1)] * b[1] + w[sym(r, 2)] * b[2];
    for (int e = 0; e < 6; ++e) {
      s[e] += w[e];
      for (int l = 0; l < 3; ++l) s[6 + 6 * l + e] += a[l] * w[e];
      for (int f = 0; f < 6; ++f) s[24 + 6 * f + e] += aa[f] * w[e];
    }
    for (int r = 0; r < 3; ++r) {
      s[60 + r] += wb[r];
      for (int l = 0; l < 3; ++l) s[63 + 3 * r + l] += wb[r] * a[l];
    }
    s[72] += wb[0] * b[0] + wb[1] * b[1] + wb[2] * b[2];
  }

  void buildQuadratic();

  bool referenced_ = false;
  std::size_t fill_ = 0;
  double finiteCheck_ = 0.0;
  double a_[3][kBlock], b_[3][kBlock];
  double w_[std::is_same<Kind, UnitKind>::value ? 1 : (std::is_same<Kind, AxisKind>::value ? 3 : 6)][kBlock];
  double totalHi_[kPadded] = {}, totalLo_[kPadded] = {};  ///< the running sums, hi + lo (addCompensated)
  double sums_[Kind::kSums];
  Quadratic out_;
};

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_KERNELS_H

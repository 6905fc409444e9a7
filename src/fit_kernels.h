// Kernels of the best fit, internal to the library: two observations at a
// time into the normal equations of a linearised step, one per lane of a
// two-wide vector register.
#ifndef ZEM_FIT_KERNELS_H
#define ZEM_FIT_KERNELS_H

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zem_adjust.h"

namespace Zem {
namespace fit {

/// Two values side by side; on processors with SIMD registers an operation
/// on a Lane2 is one instruction on both.
typedef double Lane2 __attribute__((vector_size(2 * sizeof(double))));

/// Fast path for long streams of observations whose present columns are
/// known at compile time (the inner loop of a best fit): two observations are
/// added at once, one per lane, into two independent partial sums of the
/// normal equations of an N-variable problem. Local to one pass of a loop;
/// flushInto() adds the sums of both lanes to an EquationAdjust, with the
/// same effect as handing it each observation by setObservation (up to the
/// order of floating-point sums).
template <unsigned N>
class NormalAccumulator {
 public:
  NormalAccumulator() { clear(); }

  /// Adds two observations: lane 0 of every argument is the first, lane 1
  /// the second. coefficients[k] belongs to column Columns[k]; every other
  /// column is absent. Weights must be 0 or more (not checked).
  template <unsigned... Columns>
  void add(const Lane2 (&coefficients)[sizeof...(Columns)], Lane2 value, Lane2 weight) {
    constexpr unsigned kCount = sizeof...(Columns);
    constexpr unsigned cols[kCount] = {Columns...};
    static_assert(kCount > 0 && cols[kCount - 1] < N, "column beyond the number of variables");
    for (unsigned k = 0; k < kCount; ++k) {
      const Lane2 wc = weight * coefficients[k];
      rhs_[cols[k]] += wc * value;
      for (unsigned l = k; l < kCount; ++l) normal_[cols[k]][cols[l]] += wc * coefficients[l];
    }
    // Observations of weight 0 add exact zeros: they are not counted (the
    // count sets the rounding allowance of the rank decision).
    const auto weighs = weight != Lane2{0.0, 0.0};  // −1 in a lane whose weight is not 0, else 0
    count_ += std::size_t(-(weighs[0] + weighs[1]));
  }

  /// Adds one observation (to lane 0), e.g. the last of an odd number.
  template <unsigned... Columns>
  void addOne(const double (&coefficients)[sizeof...(Columns)], double value, double weight) {
    Lane2 c[sizeof...(Columns)];
    for (unsigned k = 0; k < sizeof...(Columns); ++k) c[k] = Lane2{coefficients[k], 0.0};
    add<Columns...>(c, Lane2{value, 0.0}, Lane2{weight, 0.0});
  }

  /// Adds the sums to `adj` (which must have N variables) and clears them.
  void flushInto(EQN::EquationAdjust& adj) {
    if (adj.getSize() != N) throw ProgError("Zem::fit::NormalAccumulator::flushInto", __FILE__, __LINE__,
                                            "number of variables differs");
    double normal[N * N], rhs[N];
    for (unsigned i = 0; i < N; ++i) {
      rhs[i] = rhs_[i][0] + rhs_[i][1];
      for (unsigned j = 0; j < N; ++j) normal[i * N + j] = normal_[i][j][0] + normal_[i][j][1];
    }
    adj.addNormalSums(normal, rhs, count_);
    clear();
  }

 private:
  void clear() {
    for (unsigned i = 0; i < N; ++i) {
      rhs_[i] = Lane2{0.0, 0.0};
      for (unsigned j = 0; j < N; ++j) normal_[i][j] = Lane2{0.0, 0.0};
    }
    count_ = 0;
  }

  Lane2 normal_[N][N];  ///< upper triangle used
  Lane2 rhs_[N];
  std::size_t count_;
};

/// Square roots of both lanes (one instruction where SSE2 is available).
inline Lane2 sqrt2(Lane2 v) {
#if defined(__SSE2__)
  return Lane2(_mm_sqrt_pd(__m128d(v)));
#else
  return Lane2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

}  // namespace fit
}  // namespace Zem

#endif  // ZEM_FIT_KERNELS_H

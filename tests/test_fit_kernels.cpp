// The moments' passes over arrays (src/fit_kernels.h, src/kernels_avx2.cpp)
// sum what adding the pairs one by one sums, bit for bit: whole blocks
// straight from the points, the last partial block, leading pairs of weight
// 0, destination points read through an order. The portable and AVX2-only
// runs of the suite check their passes the same way.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "fit_kernels.h"
#include "fit_test_util.h"

using namespace Zem;
using namespace Zem::test;

namespace {

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/// The quadratics agree bit for bit, and in the counts and flags.
::testing::AssertionResult SameQuadratic(const fit::Quadratic& a, const fit::Quadratic& b) {
  for (int i = 0; i < 12; ++i) {
    if (!SameDouble(a.g(i), b.g(i)))
      return ::testing::AssertionFailure() << "g(" << i << "): " << a.g(i) << " against " << b.g(i);
    for (int j = 0; j < 12; ++j)
      if (!SameDouble(a.H(i, j), b.H(i, j)))
        return ::testing::AssertionFailure() << "H(" << i << ", " << j << "): " << a.H(i, j) << " against " << b.H(i, j);
  }
  if (!SameDouble(a.c, b.c)) return ::testing::AssertionFailure() << "c: " << a.c << " against " << b.c;
  if (a.weighted != b.weighted)
    return ::testing::AssertionFailure() << a.weighted << " pairs carrying weight against " << b.weighted;
  if (a.isotropic != b.isotropic) return ::testing::AssertionFailure() << "isotropic differs";
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(FitKernels, PerAxisArraysSumAsPairsAddedOneByOne) {
  for (const std::size_t n : {5u, 63u, 64u, 65u, 130u, 1001u, 1003u, 4096u}) {
    for (const std::size_t leading : {0u, 3u, 70u}) {  // pairs of weight 0 before the reference pair
      for (const bool ordered : {false, true}) {
        if (leading >= n) continue;
        SCOPED_TRACE(std::to_string(n) + " pairs, " + std::to_string(leading) + " of weight 0 first" +
                     (ordered ? ", destination through an order" : ""));
        std::mt19937 rng(unsigned(n + leading));
        std::uniform_real_distribution<double> coordinate(-500.0, 500.0), weight(0.5, 2.0);
        Points src, dst, weights;
        for (std::size_t i = 0; i < n; ++i) {
          src.push_back(Point(coordinate(rng), coordinate(rng), coordinate(rng), int(i)));
          dst.push_back(Point(coordinate(rng), coordinate(rng), coordinate(rng), int(i)));
          weights.push_back(i < leading ? Point(0.0, 0.0, 0.0, int(i))
                                        : Point(weight(rng), weight(rng), weight(rng), int(i)));
        }
        // Pair i's destination point at placed[order[i]].
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), rng);
        Points placed(n);
        for (std::size_t i = 0; i < n; ++i) placed[order[i]] = dst[i];
        fit::Moments<fit::AxisKind> oneByOne, arrays, lastToo;
        for (std::size_t i = 0; i < n; ++i) oneByOne.add(src[i], dst[i], weights[i]);
        const Point* rows = ordered ? placed.data() : dst.data();
        const std::uint32_t* at = ordered ? order.data() : nullptr;
        arrays.addArrays(src.data(), rows, weights.data(), n, at);
        lastToo.addArrays(src.data(), rows, weights.data(), n, at, true);
        const fit::Quadratic expected = oneByOne.finish();
        EXPECT_TRUE(SameQuadratic(arrays.finish(), expected));
        EXPECT_TRUE(SameQuadratic(lastToo.finish(), expected));
      }
    }
  }
}

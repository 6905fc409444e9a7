// Best fit of two point sets against Eigen::umeyama on the same data.
//
// For N = 1,000 to 1,000,000: source points uniform in a 1000 mm cube, the
// destination a random rigid motion of them (and, in a second case, also
// scaled by 1.7) plus Gaussian noise of 0.01 mm per coordinate. Times the fit
// by position, the fit by identifier (destination order shuffled, pairing
// included) and umeyama (on prebuilt 3xN matrices, with scaling for the scaled
// case), each the best of several runs, and prints the ratios ours / umeyama
// together with the largest distance between the two results' images.
//
// Usage: bench_fit [max N]   (default 1000000)
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "math_transformation.h"

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;

namespace {

using Points = std::vector<BaPoint3d<double>>;
using Clock = std::chrono::steady_clock;

// Written inside each timed region, so that no compiler can move the work out of it.
volatile double sink = 0.0;

template <class F>
double bestMillis(int runs, F&& f) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = Clock::now();
    f();
    const auto t1 = Clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

double imageGap(const Transformation& t, const Eigen::Matrix4d& u, const Points& src) {
  double gap = 0.0;
  for (const auto& p : src) {
    const BaVec3d<double> q = t.transformPoint(static_cast<const BaVec3d<double>&>(p));
    const Eigen::Vector4d e = u * Eigen::Vector4d(p.x, p.y, p.z, 1.0);
    gap = std::max(gap, (Eigen::Vector3d(q.x, q.y, q.z) - e.head<3>()).norm());
  }
  return gap;
}

void runCase(std::size_t n, bool withScale, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> cube(0.0, 1000.0), angle(-3.14159, 3.14159), shift(-500.0, 500.0);
  std::normal_distribution<double> noise(0.0, 0.01);
  const Transformation motion(BaVec3d<double>(shift(rng), shift(rng), shift(rng)),
                              BaVec3d<double>(angle(rng) / 2, angle(rng), angle(rng)), withScale ? 1.7 : 1.0);
  Points src(n), dst(n);
  Eigen::Matrix3Xd a(3, long(n)), b(3, long(n));
  for (std::size_t i = 0; i < n; ++i) {
    src[i] = BaPoint3d<double>(cube(rng), cube(rng), cube(rng), int(i));
    dst[i] = motion.transformPoint(src[i]);
    dst[i].x += noise(rng);
    dst[i].y += noise(rng);
    dst[i].z += noise(rng);
    a.col(long(i)) << src[i].x, src[i].y, src[i].z;
    b.col(long(i)) << dst[i].x, dst[i].y, dst[i].z;
  }
  Points shuffled = dst;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);

  const int runs = n >= 1000000 ? 5 : n >= 100000 ? 10 : 50;
  Transformation byPos, byId;
  double rPos = 0.0, rId = 0.0;
  Eigen::Matrix4d um;
  // Every result is made observable inside the timed region, so that no
  // compiler can move the work out of it.
  const double tPos = bestMillis(runs, [&] { rPos = byPos.computeTransformationNoId(src, dst, withScale); });
  const double tId = bestMillis(runs, [&] { rId = byId.computeTransformation(src, shuffled, withScale); });
  const double tUm = bestMillis(runs, [&] {
    um = Eigen::umeyama(a, b, withScale);
    sink = um(0, 3);
  });
  std::printf("%9zu %-6s  position %9.3f ms  id %9.3f ms  umeyama%s %9.3f ms  | pos/um %5.2f  id/um %5.2f"
              "  | residual %.5f / %.5f  gap %.1e / %.1e\n",
              n, withScale ? "scaled" : "rigid", tPos, tId, withScale ? "(scaling)" : "(rigid)  ", tUm, tPos / tUm,
              tId / tUm, rPos, rId, imageGap(byPos, um, src), imageGap(byId, um, src));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t maxN = argc > 1 ? std::size_t(std::strtoull(argv[1], nullptr, 10)) : 1000000;
  std::mt19937_64 rng(20261206);
  std::printf("best of several runs; ratios are ours / Eigen::umeyama\n");
  for (std::size_t n = 1000; n <= maxN; n *= 10) {
    runCase(n, false, rng);
    runCase(n, true, rng);
  }
  return 0;
}

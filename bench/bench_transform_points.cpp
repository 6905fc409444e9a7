// Moves one million points with Transformation::transformPoint and, on the
// same data in the same run, with Eigen::Affine3d, and prints the ratio of
// the two times (ours / Eigen's). Run from a Release build:
//   build-release/bench/bench_transform_points
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "math_transformation.h"

using Zem::BaVec3d;
using Zem::Transformation;

namespace {

constexpr std::size_t kPoints = 1000000;
constexpr int kRepetitions = 15;

template <typename F>
double bestSeconds(F&& run) {
  double best = 1e300;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void benchScale(double scale) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> coord(-500.0, 500.0);
  std::vector<BaVec3d<double>> in(kPoints), out(kPoints);
  std::vector<Eigen::Vector3d> inE(kPoints), outE(kPoints);
  for (std::size_t i = 0; i < kPoints; ++i) {
    in[i] = BaVec3d<double>(coord(rng), coord(rng), coord(rng));
    inE[i] = Eigen::Vector3d(in[i].x, in[i].y, in[i].z);
  }

  const Transformation t(BaVec3d<double>(12.5, -3.0, 40.0), BaVec3d<double>(0.1, -0.4, 2.0), scale);
  // The same map as an Eigen affine transform: p' = s (R p + t).
  Eigen::Affine3d a = Eigen::Affine3d::Identity();
  for (unsigned r = 0; r < 3; ++r) {
    for (unsigned c = 0; c < 3; ++c) a.matrix()(r, c) = scale * t.getMatrix(c, r);
    a.matrix()(r, 3) = scale * t.getMatrix(3, r);
  }

  const double ours = bestSeconds([&] {
    for (std::size_t i = 0; i < kPoints; ++i) out[i] = t.transformPoint(in[i]);
  });
  const double eigen = bestSeconds([&] {
    for (std::size_t i = 0; i < kPoints; ++i) outE[i] = a * inE[i];
  });

  double maxDiff = 0.0;
  for (std::size_t i = 0; i < kPoints; ++i)
    maxDiff = std::max({maxDiff, std::abs(out[i].x - outE[i].x()), std::abs(out[i].y - outE[i].y()),
                        std::abs(out[i].z - outE[i].z())});
  std::printf("scale %-6g transformPoint %8.3f ms   Eigen::Affine3d %8.3f ms   ratio ours/Eigen %.3f   (max diff %.2e mm)\n",
              scale, ours * 1e3, eigen * 1e3, ours / eigen, maxDiff);
}

}  // namespace

int main() {
  std::printf("%zu points, best of %d runs each\n", kPoints, kRepetitions);
  benchScale(1.0);
  benchScale(1.7);
  return 0;
}

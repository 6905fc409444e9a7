// Moves one million points with Transformation::transformPoint and, on the
// same data in the same process, with Eigen::Affine3d, then prints the ratio
// of the best times (ours / Eigen's), unscaled and with scale 1.7.
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bench_transform_points
//   build-release/bench/bench_transform_points
#include <Eigen/Geometry>
#include <cstdio>
#include <random>
#include <vector>

#include "math_transformation.h"
#include "ratio_reporter.h"

using Zem::BaVec3d;
using Zem::Transformation;

namespace {

constexpr std::size_t kPoints = 1000000;

struct Data {
  std::vector<BaVec3d<double>> in, out;
  std::vector<Eigen::Vector3d> inE, outE;
};

Data& data() {
  static Data d = [] {
    Data r;
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> coord(-500.0, 500.0);
    r.in.resize(kPoints);
    r.out.resize(kPoints);
    r.inE.resize(kPoints);
    r.outE.resize(kPoints);
    for (std::size_t i = 0; i < kPoints; ++i) {
      r.in[i] = BaVec3d<double>(coord(rng), coord(rng), coord(rng));
      r.inE[i] = Eigen::Vector3d(r.in[i].x, r.in[i].y, r.in[i].z);
    }
    return r;
  }();
  return d;
}

// The benchmark argument is the scale in thousandths.
Transformation transformation(const benchmark::State& state) {
  return Transformation(BaVec3d<double>(12.5, -3.0, 40.0), BaVec3d<double>(0.1, -0.4, 2.0),
                        double(state.range(0)) / 1000.0);
}

// The same map as an Eigen affine transform: p' = s (R p + t).
Eigen::Affine3d asEigen(const Transformation& t) {
  const double s = t.getScale();
  Eigen::Affine3d a = Eigen::Affine3d::Identity();
  for (unsigned r = 0; r < 3; ++r) {
    for (unsigned c = 0; c < 3; ++c) a.matrix()(r, c) = s * t.getMatrix(c, r);
    a.matrix()(r, 3) = s * t.getMatrix(3, r);
  }
  return a;
}

void BM_TransformPoint(benchmark::State& state) {
  Data& d = data();
  const Transformation t = transformation(state);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kPoints; ++i) d.out[i] = t.transformPoint(d.in[i]);
    benchmark::ClobberMemory();
  }
}

void BM_EigenAffine3d(benchmark::State& state) {
  Data& d = data();
  const Eigen::Affine3d a = asEigen(transformation(state));
  for (auto _ : state) {
    for (std::size_t i = 0; i < kPoints; ++i) d.outE[i] = a * d.inE[i];
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_TransformPoint)->Arg(1000)->Arg(1700)->Repetitions(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenAffine3d)->Arg(1000)->Arg(1700)->Repetitions(7)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  zem_bench::RatioReporter reporter;
  reporter.runAll(&argc, argv);

  std::printf("\n%zu points, best of 7 repetitions each\n", kPoints);
  for (const char* arg : {"1000", "1700"}) {
    const double ours = reporter.best(std::string("BM_TransformPoint/") + arg);
    const double eigen = reporter.best(std::string("BM_EigenAffine3d/") + arg);
    if (ours > 0.0 && eigen > 0.0)
      std::printf("scale %s/1000: transformPoint %.3f ms, Eigen::Affine3d %.3f ms, ratio ours/Eigen %.3f\n", arg,
                  ours, eigen, ours / eigen);
  }
  // The two must agree: a fast wrong answer is no answer.
  double maxDiff = 0.0;
  const Data& d = data();
  for (std::size_t i = 0; i < kPoints; ++i)
    maxDiff = std::max({maxDiff, std::abs(d.out[i].x - d.outE[i].x()), std::abs(d.out[i].y - d.outE[i].y()),
                        std::abs(d.out[i].z - d.outE[i].z())});
  std::printf("largest difference of the last run's images: %.2e mm\n", maxDiff);
  return 0;
}

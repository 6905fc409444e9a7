// Plane and line fits of 1,000,000 points against one streaming read of the
// same points (summing their coordinates, in one thread), in the same
// process: the fits take two passes (moments, then every point's residual),
// so about 2x the read is their floor in one thread; they spread both over
// the cores (ZEM_THREADS=1 runs them in one). Points as the point-file reader
// gives them (BaPoint3d) and as packed x, y, z (numpy's (N, 3) layout).
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bench_features
//   build-release/bench/bench_features
#include <cstdio>
#include <random>
#include <vector>

#include "math_features.h"
#include "ratio_reporter.h"

namespace {

constexpr std::size_t kPoints = 1000000;

/// A 1,000 x 600 mm face (and, for the line, a 1,000 mm edge) 2,000 mm from
/// the origin, tilted, with 5 um of noise.
const std::vector<Zem::BaPoint3d<double>>& points(bool line) {
  static std::vector<Zem::BaPoint3d<double>> sets[2];
  std::vector<Zem::BaPoint3d<double>>& set = sets[line];
  if (!set.empty()) return set;
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> along(-500.0, 500.0), across(-300.0, 300.0);
  std::normal_distribution<double> noise(0.0, 0.005);
  for (std::size_t i = 0; i < kPoints; ++i) {
    const double a = along(rng), b = line ? 0.0 : across(rng);
    set.emplace_back(2000.0 + 0.8 * a - 0.6 * b + noise(rng), -1000.0 + 0.6 * a + 0.8 * b + noise(rng),
                     500.0 + 0.01 * a + noise(rng), int(i));
  }
  return set;
}

const std::vector<double>& packed(bool line) {
  static std::vector<double> sets[2];
  if (sets[line].empty())
    for (const auto& p : points(line)) sets[line].insert(sets[line].end(), {p.x, p.y, p.z});
  return sets[line];
}

/// Arg 0: BaPoint3d, 1: packed.
Zem::FeaturePoints view(const benchmark::State& state, bool line) {
  if (state.range(0) == 0) return Zem::FeaturePoints(points(line));
  return Zem::FeaturePoints(packed(line).data(), kPoints);
}

void BM_StreamingRead(benchmark::State& state) {
  const Zem::FeaturePoints p = view(state, false);
  for (auto _ : state) {
    const Zem::BaVec3d<double> sum = p.visit([](auto at) {
      Zem::BaVec3d<double> s;
      for (std::size_t i = 0; i < kPoints; ++i) s += at(i);
      return s;
    });
    benchmark::DoNotOptimize(sum);
  }
}

void BM_FitPlane(benchmark::State& state) {
  const Zem::FeaturePoints p = view(state, false);
  for (auto _ : state) {
    const Zem::PlaneFit fit = Zem::fitPlane(p);
    if (!fit.isSucceeded()) state.SkipWithError("plane failed");
    benchmark::DoNotOptimize(fit.residuals.data());
  }
}

void BM_FitLine(benchmark::State& state) {
  const Zem::FeaturePoints p = view(state, true);
  for (auto _ : state) {
    const Zem::LineFit fit = Zem::fitLine(p);
    if (!fit.isSucceeded()) state.SkipWithError("line failed");
    benchmark::DoNotOptimize(fit.residuals.data());
  }
}

BENCHMARK(BM_StreamingRead)->Arg(0)->Arg(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FitPlane)->Arg(0)->Arg(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FitLine)->Arg(0)->Arg(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  zem_bench::RatioReporter reporter;
  reporter.runAll(&argc, argv);
  std::printf("\n%zu points, best times and ratios to one streaming read of the same points:\n", kPoints);
  for (const char* layout : {"0", "1"}) {
    const double read = reporter.best(std::string("BM_StreamingRead/") + layout);
    const double plane = reporter.best(std::string("BM_FitPlane/") + layout);
    const double line = reporter.best(std::string("BM_FitLine/") + layout);
    std::printf("%s: read %.2f ms, plane %.2f ms (%.2fx), line %.2f ms (%.2fx)\n",
                layout[0] == '0' ? "BaPoint3d" : "packed x, y, z", read, plane, read > 0 ? plane / read : 0.0,
                line, read > 0 ? line / read : 0.0);
  }
  return 0;
}

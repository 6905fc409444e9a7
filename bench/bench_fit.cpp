// Best fit of two point sets against Eigen::umeyama on the same data, in the
// same process.
//
// For N = 1,000 to 1,000,000: source points uniform in a 1000 mm cube, the
// destination a random rigid motion of them (and, in a second case, also
// scaled by 1.7) plus Gaussian noise of 0.01 mm per coordinate. Times the fit
// by position, the fit by identifier (destination order shuffled, pairing
// included) and umeyama (on prebuilt 3xN matrices, with scaling for the scaled
// case), the weighted fit by identifier (per-axis weights in [0.5, 2], pairing
// included) and a streaming read (one pass summing the coordinates of the
// source and destination arrays: what reading the input costs at least), then
// prints the best times, the ratios ours / umeyama, by position / streaming
// read, and the largest distance between the images of the unit-weight results
// and umeyama's. Also FitResult with held freedoms at 1,000 and 100,000
// pairs (its own times), and FitResult by position with every pair's residual,
// without and with the diagnostics (FitOptions::diagnostics), and their ratio,
// and FitResult by identifier with every pair's residual. Passes over more
// than 131,072 pairs spread over the cores; Eigen::umeyama and the streaming
// read run in one thread (ZEM_THREADS=1 runs the fits in one too).
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bench_fit
//   build-release/bench/bench_fit
#include <Eigen/Geometry>
#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "math_fit_result.h"
#include "math_transformation.h"
#include "ratio_reporter.h"

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;

namespace {

using Points = std::vector<BaPoint3d<double>>;

struct Problem {
  Points src, dst, shuffled, weights;
  Eigen::Matrix3Xd a, b;
  Transformation byPos, byId, weighted;  // the last results, checked after timing
  double sum = 0.0;                      // of the streaming read
  Eigen::Matrix4d um;
};

// Problems are built once per (N, scaled) and kept for all benchmarks of the run.
Problem& problem(std::size_t n, bool withScale) {
  static std::map<std::pair<std::size_t, bool>, std::unique_ptr<Problem>> cache;
  std::unique_ptr<Problem>& slot = cache[{n, withScale}];
  if (slot) return *slot;
  slot = std::make_unique<Problem>();
  Problem& p = *slot;
  std::mt19937_64 rng(20261206 + n + (withScale ? 1 : 0));
  std::uniform_real_distribution<double> cube(0.0, 1000.0), angle(-3.14159, 3.14159), shift(-500.0, 500.0);
  std::normal_distribution<double> noise(0.0, 0.01);
  const Transformation motion(BaVec3d<double>(shift(rng), shift(rng), shift(rng)),
                              BaVec3d<double>(angle(rng) / 2, angle(rng), angle(rng)), withScale ? 1.7 : 1.0);
  p.src.resize(n);
  p.dst.resize(n);
  p.a.resize(3, long(n));
  p.b.resize(3, long(n));
  for (std::size_t i = 0; i < n; ++i) {
    p.src[i] = BaPoint3d<double>(cube(rng), cube(rng), cube(rng), int(i));
    p.dst[i] = motion.transformPoint(p.src[i]);
    p.dst[i].x += noise(rng);
    p.dst[i].y += noise(rng);
    p.dst[i].z += noise(rng);
    p.a.col(long(i)) << p.src[i].x, p.src[i].y, p.src[i].z;
    p.b.col(long(i)) << p.dst[i].x, p.dst[i].y, p.dst[i].z;
  }
  std::uniform_real_distribution<double> weight(0.5, 2.0);
  p.weights.resize(n);
  for (std::size_t i = 0; i < n; ++i) p.weights[i] = BaPoint3d<double>(weight(rng), weight(rng), weight(rng), int(i));
  p.shuffled = p.dst;
  std::shuffle(p.shuffled.begin(), p.shuffled.end(), rng);
  return p;
}

Problem& problemOf(const benchmark::State& state) {
  return problem(std::size_t(state.range(0)), state.range(1) != 0);
}

void BM_FitByPosition(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state)
    if (p.byPos.computeTransformationNoId(p.src, p.dst, state.range(1) != 0) < 0.0) state.SkipWithError("fit failed");
}

void BM_FitById(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state)
    if (p.byId.computeTransformation(p.src, p.shuffled, state.range(1) != 0) < 0.0) state.SkipWithError("fit failed");
}

void BM_FitWeightedById(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state)
    if (p.weighted.computeWeightedTransformation(p.src, p.shuffled, p.weights, state.range(1) != 0) < 0.0)
      state.SkipWithError("fit failed");
}

/// FitResult by position with the residual of every pair, without and with
/// the diagnostics (FitOptions::diagnostics).
void fitResult(benchmark::State& state, bool diagnostics) {
  Problem& p = problemOf(state);
  Zem::FitOptions options;
  options.withScale = state.range(1) != 0;
  options.diagnostics = diagnostics;
  for (auto _ : state) {
    const Zem::FitResult r = Zem::FitResult::fitByPosition(p.src, p.dst, Points(), options);
    if (!r.isSucceeded()) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(r.rms);
  }
}

void BM_FitResult(benchmark::State& state) { fitResult(state, false); }
void BM_FitResultDiagnostics(benchmark::State& state) { fitResult(state, true); }

/// FitResult by identifier (destination shuffled) with the residual of every pair.
void BM_FitResultById(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state) {
    const Zem::FitResult r = Zem::FitResult::fitById(p.src, p.shuffled, Points(), state.range(1) != 0);
    if (!r.isSucceeded()) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(r.rms);
  }
}

/// FitResult by position with held freedoms (a turn about z only and the z
/// shift held) on the rigid problem, unit weights (second argument 0) or
/// per-axis weights (1).
void BM_FitHeld(benchmark::State& state) {
  Problem& p = problem(std::size_t(state.range(0)), false);
  Zem::FitOptions options;
  options.rotation = Zem::FitRotation::AboutZ;
  options.translation[2] = false;
  const Points none;
  const Points& weights = state.range(1) != 0 ? p.weights : none;
  for (auto _ : state) {
    const Zem::FitResult r = Zem::FitResult::fitByPosition(p.src, p.dst, weights, options);
    if (!r.isSucceeded()) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(r.rms);
  }
}

void BM_StreamingRead(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state) {
    double a = 0.0, b = 0.0;
    for (std::size_t i = 0; i < p.src.size(); ++i) {
      a += p.src[i].x + p.src[i].y + p.src[i].z;
      b += p.dst[i].x + p.dst[i].y + p.dst[i].z;
    }
    p.sum = a + b;
    benchmark::DoNotOptimize(p.sum);
  }
}

void BM_Umeyama(benchmark::State& state) {
  Problem& p = problemOf(state);
  for (auto _ : state) {
    p.um = Eigen::umeyama(p.a, p.b, state.range(1) != 0);
    benchmark::ClobberMemory();
  }
}

void sizesAndCases(benchmark::internal::Benchmark* b) {
  for (long n = 1000; n <= 1000000; n *= 10)
    for (long scaled : {0, 1}) b->Args({n, scaled});
  b->Repetitions(5)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_FitByPosition)->Apply(sizesAndCases);
BENCHMARK(BM_FitById)->Apply(sizesAndCases);
BENCHMARK(BM_FitWeightedById)->Apply(sizesAndCases);
BENCHMARK(BM_FitResult)->Apply(sizesAndCases);
BENCHMARK(BM_FitResultDiagnostics)->Apply(sizesAndCases);
BENCHMARK(BM_FitResultById)->Apply(sizesAndCases);
BENCHMARK(BM_FitHeld)->ArgsProduct({{1000, 100000}, {0, 1}})->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamingRead)->Apply(sizesAndCases);
BENCHMARK(BM_Umeyama)->Apply(sizesAndCases);

double imageGap(const Transformation& t, const Eigen::Matrix4d& u, const Points& src) {
  double gap = 0.0;
  for (const auto& p : src) {
    const BaVec3d<double> q = t.transformPoint(static_cast<const BaVec3d<double>&>(p));
    const Eigen::Vector4d e = u * Eigen::Vector4d(p.x, p.y, p.z, 1.0);
    gap = std::max(gap, (Eigen::Vector3d(q.x, q.y, q.z) - e.head<3>()).norm());
  }
  return gap;
}

}  // namespace

int main(int argc, char** argv) {
  // umeyama's temporaries at 1e6 points (24 MB each) come from fresh pages,
  // and fault them in, whenever glibc's dynamic threshold for mapping large
  // blocks has not been raised by an earlier free: its time then varied from
  // 23 to 41 ms between runs. Keeping every block below 1 GiB on the heap
  // makes every run time both fits with memory that is already mapped.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  zem_bench::RatioReporter reporter;
  reporter.runAll(&argc, argv);

  std::printf("\nbest of 5 repetitions; ratios are ours / Eigen::umeyama (pos, id, weighted id) and by position /"
              " streaming read (read); gap = largest distance between the images of position, id and umeyama\n");
  for (long n = 1000; n <= 1000000; n *= 10)
    for (int scaled : {0, 1}) {
      const std::string args = "/" + std::to_string(n) + "/" + std::to_string(scaled);
      const double pos = reporter.best("BM_FitByPosition" + args), id = reporter.best("BM_FitById" + args),
                   weighted = reporter.best("BM_FitWeightedById" + args), read = reporter.best("BM_StreamingRead" + args),
                   um = reporter.best("BM_Umeyama" + args);
      const double result = reporter.best("BM_FitResult" + args), diagnosed = reporter.best("BM_FitResultDiagnostics" + args),
                   resultById = reporter.best("BM_FitResultById" + args);
      if (result > 0.0 && diagnosed > 0.0 && resultById > 0.0)
        std::printf("%9ld %-6s  FitResult with residuals %8.3f ms, with diagnostics too %8.3f ms, by id with residuals"
                    " %8.3f ms | diagnostics/plain %5.2f\n",
                    n, scaled ? "scaled" : "rigid", result, diagnosed, resultById, diagnosed / result);
      if (pos <= 0.0 || id <= 0.0 || weighted <= 0.0 || read <= 0.0 || um <= 0.0) continue;  // filtered out
      Problem& p = problem(std::size_t(n), scaled != 0);
      std::printf("%9ld %-6s  pos %8.3f  id %8.3f  weighted id %8.3f  read %8.3f  umeyama %8.3f ms | pos/um %5.2f"
                  "  id/um %5.2f  wid/um %5.2f  pos/read %5.2f | gap %.1e / %.1e mm\n",
                  n, scaled ? "scaled" : "rigid", pos, id, weighted, read, um, pos / um, id / um, weighted / um,
                  pos / read, imageGap(p.byPos, p.um, p.src), imageGap(p.byId, p.um, p.src));
    }
  for (long n : {1000L, 100000L}) {
    const std::string args = "/" + std::to_string(n) + "/";
    const double unit = reporter.best("BM_FitHeld" + args + "0"), weighted = reporter.best("BM_FitHeld" + args + "1");
    if (unit > 0.0 && weighted > 0.0)
      std::printf("%9ld held (turn about z, z shift held)  unit weights %8.3f ms, per-axis weights %8.3f ms\n", n,
                  unit, weighted);
  }
  return 0;
}

// Reading a point file of 1,000,000 points ("id x y z", numeric identifiers,
// coordinates in mm with 4 decimals) with PointFile against numpy.loadtxt of
// the same file, the reference, run by /usr/bin/python3 from this process
// (bench/loadtxt_time.py times the loadtxt call alone, without the
// interpreter's start). Also reads the file with names ("P1", ...) instead of
// numbers, which should take at most twice the time of the numeric file.
// Prints the best elapsed times and the least CPU times, and the ratios
// numpy / ours of both, and names / numbers.
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bench_point_file
//   build-release/bench/bench_point_file
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include <QDir>

#include "math_point_file.h"
#include "ratio_reporter.h"

namespace {

constexpr std::size_t kPoints = 1000000;

std::string pointFile(bool names) {
  const std::string path =
      QDir::tempPath().toStdString() + "/zem_bench_points_" + (names ? "names" : "ids") + ".txt";
  static bool written[2] = {false, false};
  if (written[names]) return path;
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> coordinate(-1000.0, 1000.0);
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return path;
  std::fprintf(f, "# %zu points: id x y z (mm)\n", kPoints);
  for (std::size_t i = 0; i < kPoints; ++i)
    std::fprintf(f, names ? "P%zu %.4f %.4f %.4f\n" : "%zu %.4f %.4f %.4f\n", i + 1, coordinate(rng),
                 coordinate(rng), coordinate(rng));
  std::fclose(f);
  written[names] = true;
  return path;
}

// Least CPU time of one read or loadtxt: on a machine shared with other
// work, CPU time varies far less than elapsed time.
double cpuOurs = 0.0, cpuNumpy = 0.0;

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void keepLeast(double* best, double seconds) {
  if (*best == 0.0 || seconds < *best) *best = seconds;
}

void BM_PointFileRead(benchmark::State& state) {
  const QString path = QString::fromStdString(pointFile(state.range(0) != 0));
  for (auto _ : state) {
    const double start = cpuSeconds();
    Zem::PointNames names;
    Zem::PointFile file;
    if (!file.read(path, &names) || file.getPoints().size() != kPoints) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(file.getPoints().data());
    if (state.range(0) == 0) keepLeast(&cpuOurs, cpuSeconds() - start);
  }
}

// Each iteration's time is the loadtxt call alone, as measured by Python.
void BM_NumpyLoadtxt(benchmark::State& state) {
  const std::string command =
      std::string("/usr/bin/python3 ") + ZEM_BENCH_DIR + "/loadtxt_time.py " + pointFile(false);
  for (auto _ : state) {
    FILE* p = popen(command.c_str(), "r");
    double seconds = 0.0, cpu = 0.0;
    std::size_t rows = 0;
    const bool ok = p && std::fscanf(p, "%lf %lf %zu", &seconds, &cpu, &rows) == 3 && rows == kPoints;
    if (p) {
      while (std::fgetc(p) != EOF) {
      }
      pclose(p);
    }
    if (!ok) {
      state.SkipWithError("python3 with numpy did not run");
      break;
    }
    state.SetIterationTime(seconds);
    keepLeast(&cpuNumpy, cpu);
  }
}

BENCHMARK(BM_PointFileRead)->Arg(0)->Arg(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NumpyLoadtxt)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  zem_bench::RatioReporter reporter;
  reporter.runAll(&argc, argv);
  const double ours = reporter.best("BM_PointFileRead/0"), named = reporter.best("BM_PointFileRead/1"),
               numpy = reporter.best("BM_NumpyLoadtxt");
  std::printf("\n%zu points, best times: PointFile %.1f ms (names: %.1f ms), numpy.loadtxt %.1f ms\n", kPoints, ours,
              named, numpy);
  if (ours > 0.0 && named > 0.0) std::printf("names / numbers, elapsed time: %.2fx\n", named / ours);
  if (ours > 0.0 && numpy > 0.0) std::printf("numpy.loadtxt / PointFile, elapsed time: %.1fx\n", numpy / ours);
  if (cpuOurs > 0.0 && cpuNumpy > 0.0)
    std::printf("least CPU time: PointFile %.1f ms, numpy.loadtxt %.1f ms; numpy.loadtxt / PointFile: %.1fx\n",
                1e3 * cpuOurs, 1e3 * cpuNumpy, cpuNumpy / cpuOurs);
  std::remove(pointFile(false).c_str());
  std::remove(pointFile(true).c_str());
  return 0;
}

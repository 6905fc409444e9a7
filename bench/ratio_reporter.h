// A Google Benchmark reporter that remembers the best (smallest) real time
// per iteration of every benchmark over its repetitions, so that a benchmark
// program can print ratios of two benchmarks measured in the same process.
// The console shows the aggregates (mean, median, spread) as usual.
#ifndef ZEM_BENCH_RATIO_REPORTER_H
#define ZEM_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace zem_bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> aggregates;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate) {
        aggregates.push_back(run);
        continue;
      }
      const std::string name =
          run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
      const double t = run.GetAdjustedRealTime();
      auto it = best_.find(name);
      if (it == best_.end() || t < it->second) best_[name] = t;
    }
    if (!aggregates.empty()) ConsoleReporter::ReportRuns(aggregates);
  }

  /// Runs the benchmarks selected on the command line through this reporter.
  void runAll(int* argc, char** argv) {
    benchmark::Initialize(argc, argv);
    benchmark::RunSpecifiedBenchmarks(this);
    benchmark::Shutdown();
  }

  /// Best time per iteration of the benchmark `name` ("Function/arg/arg", in
  /// its time unit), or 0 when it did not run.
  double best(const std::string& name) const {
    const auto it = best_.find(name);
    return it == best_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace zem_bench

#endif  // ZEM_BENCH_RATIO_REPORTER_H

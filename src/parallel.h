// Passes over large point sets spread over the processor's cores. Internal.
//
// A pass is cut into chunks of a fixed number of points, independent of the
// number of threads; each chunk's partial result is kept apart and the
// caller combines them in chunk order. Results are therefore the same, bit
// for bit, with one thread or many.
#ifndef ZEM_PARALLEL_H
#define ZEM_PARALLEL_H

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace Zem {
namespace parallel {

/// Threads a pass may use: ZEM_THREADS from the environment when it is a
/// number from 1 to 64 (1: every pass runs in the calling thread), else the
/// processor's hardware threads, at most 8. Read once per process.
unsigned threadCount();

/// Passes over fewer points than this run in the calling thread: starting
/// and joining a thread costs about what 30,000 points of a pass cost.
constexpr std::size_t kMinPointsForThreads = std::size_t(1) << 17;

/// Number of chunks of `size` points that cover `count` points.
constexpr std::size_t chunksOf(std::size_t count, std::size_t size) { return (count + size - 1) / size; }

/// Calls job(c) once for every chunk c < chunks, the chunks split into
/// contiguous runs over up to `threads` threads (the calling thread runs the
/// first run), and returns when all have run. A thread that cannot be
/// started leaves its run to the calling thread. `job` must not throw.
template <class Job>
void forChunks(std::size_t chunks, unsigned threads, const Job& job) {
  const std::size_t runs = std::max<std::size_t>(1, std::min<std::size_t>(threads, chunks));
  const auto run = [&](std::size_t r) {
    for (std::size_t c = chunks * r / runs; c < chunks * (r + 1) / runs; ++c) job(c);
  };
  std::vector<std::thread> workers;
  std::size_t started = 1;
  try {
    workers.reserve(runs - 1);
    for (; started < runs; ++started) workers.emplace_back(run, started);
  } catch (const std::system_error&) {  // no more threads: the rest runs here
  } catch (const std::bad_alloc&) {
  }
  run(0);
  for (std::size_t r = started; r < runs; ++r) run(r);
  for (std::thread& w : workers) w.join();
}

/// forChunks with threadCount() threads for a pass over `points` points, or
/// the calling thread alone below kMinPointsForThreads.
template <class Job>
void forChunksOf(std::size_t points, std::size_t chunks, const Job& job) {
  forChunks(chunks, points < kMinPointsForThreads ? 1u : threadCount(), job);
}

}  // namespace parallel
}  // namespace Zem

#endif  // ZEM_PARALLEL_H

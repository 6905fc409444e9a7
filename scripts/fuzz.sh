#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of their own, and runs each
# target for a bounded number of inputs, starting from the seed corpus its
# generator writes. Exits non-zero on any crash, sanitizer report, timeout or
# build failure.
#
# Environment (all optional):
#   ZEM_FUZZ_BUILD_DIR   build directory            (default: <repo>/build-fuzz)
#   ZEM_FUZZ_RUNS        inputs per target          (default: 200000)
#   ZEM_FUZZ_MAX_TIME    seconds of fuzzing in all, a cap shared out evenly
#                        among the targets          (default: 90)
#   ZEM_FUZZ_JOBS        parallel build jobs, and targets fuzzed at once
#                                                   (default: the cores)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZEM_FUZZ_BUILD_DIR:-$root/build-fuzz}
runs=${ZEM_FUZZ_RUNS:-200000}
total_time=${ZEM_FUZZ_MAX_TIME:-90}
jobs=${ZEM_FUZZ_JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found (Debian packages clang and libclang-rt-14-dev)" >&2
  exit 1
fi

# -fsanitize=fuzzer-no-link instruments the libraries for coverage; only the
# fuzz executables link libFuzzer itself (fuzz/CMakeLists.txt).
# FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION makes the streams accept any
# checksum, so that mutated inputs reach the parsing behind the checksums.
# Warnings do not fail this build: the test command's sanitizer build holds
# clang's warnings as errors already, and this one's purpose is the fuzzing.
# Line tables (-g1) are all a finding's stack trace needs.
mkdir -p "$build"
cmake -S "$root" -B "$build" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
  "-DCMAKE_CXX_FLAGS=-O1 -fsanitize=fuzzer-no-link -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION" \
  -DZEM_SANITIZE=ON \
  -DZEM_BUILD_FUZZERS=ON \
  -DZEM_WARNINGS_AS_ERRORS=OFF \
  -DBUILD_TESTING=OFF \
  -DZEM_BUILD_BENCHMARKS=OFF \
  -DZEM_BUILD_EXAMPLES=OFF >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log" >&2
  exit 1
}
cmake --build "$build" --target zem_fuzzers -j"$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

mapfile -t targets < <(grep -v '^$' "$build/fuzz/fuzzers.txt")
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "fuzz.sh: no fuzz targets listed in $build/fuzz/fuzzers.txt" >&2
  exit 1
fi
max_time=$(( total_time / ${#targets[@]} ))
(( max_time >= 5 )) || max_time=5

# Each target runs in a process of its own, up to `jobs` at a time (a
# libFuzzer process uses one core); the reports follow in the listed order.
fuzz_one() {
  local name=$1
  local exe="$build/fuzz/$name"
  local work="$build/fuzz-work/$name"
  local seeds="$work/seeds" corpus="$work/corpus" artifacts="$work/artifacts" log="$work/fuzz.log"
  # A fresh corpus each time keeps runs comparable; the seeds are regenerated
  # from the current stream writer.
  rm -rf "$work"
  mkdir -p "$seeds" "$corpus" "$artifacts"
  if [[ -x "$build/fuzz/${name}_seeds" ]]; then
    "$build/fuzz/${name}_seeds" "$seeds"
  fi
  {
    echo "== $name: up to $runs inputs or ${max_time}s, $(ls "$seeds" | wc -l) seeds"
    local rc=0
    "$exe" -runs="$runs" -max_total_time="$max_time" -seed=1 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || rc=$?
    local executed
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [[ $rc -ne 0 ]] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
      echo "== $name: FAILED (exit $rc) after ${executed:-?} inputs; log $log, artifacts in $artifacts"
      tail -n 60 "$log"
      echo failed >"$work/status"
    else
      echo "== $name: ${executed:-?} inputs run, no findings ($(grep -E '^Done ' "$log" | tail -n 1))"
      echo passed >"$work/status"
    fi
  } >"$work/report.txt" 2>&1
}

for name in "${targets[@]}"; do
  while (( $(jobs -rp | wc -l) >= jobs )); do wait -n || true; done
  fuzz_one "$name" &
done
wait

status=0
for name in "${targets[@]}"; do
  work="$build/fuzz-work/$name"
  if [[ "$(cat "$work/status" 2>/dev/null)" == passed ]]; then
    cat "$work/report.txt"
  else
    cat "$work/report.txt" >&2 2>/dev/null || echo "== $name: no report" >&2
    status=1
  fi
done

exit $status

#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite: a Release build
# with warnings as errors (gcc), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), the installed-package check and the
# fuzz run.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# The subproject check compiles the library with the Release build's very
# commands: a compiler cache (beside the builds, unless one is set) serves
# them from that build instead of compiling every file a second time.
# Its dependency target (-MT) names the object beneath the subproject's
# folder; the cache writes each hit's dependency file for the target asked.
# Depend mode takes the headers from the compiler's dependency file instead
# of preprocessing every file once more.
export CCACHE_DIR=${CCACHE_DIR:-$PWD/build-ccache}
export CCACHE_IGNOREOPTIONS="-MT" CCACHE_DEPEND=1
launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== Release build, warnings as errors"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DZEM_WARNINGS_AS_ERRORS=ON "${launcher[@]}"
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"

echo "== Debug build under AddressSanitizer and UndefinedBehaviorSanitizer, with clang"
# The second compiler brings its own warnings and its sanitizers' own checks
# (the fuzz build uses it too), and compiles this code in about half of
# gcc's time. Line tables (-g1) are all a sanitizer's report needs.
cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
      -DZEM_WARNINGS_AS_ERRORS=ON -DZEM_SANITIZE=ON -DZEM_BUILD_BENCHMARKS=OFF -DZEM_BUILD_EXAMPLES=OFF \
      "${launcher[@]}"
cmake --build build-asan -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$(nproc)"

echo "== Installed package and subproject use"
bash scripts/check_package.sh build-test

echo "== Fuzzing"
bash scripts/fuzz.sh

echo "== All tests passed"

#!/usr/bin/env bash
# Installs a configured build into a scratch prefix and builds a small host
# program against it three ways: find_package, pkg-config and add_subdirectory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(ls -d "$scratch"/prefix/lib*/ | head -n 1)

cmake -S tests/package -B "$scratch/found" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/found" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/found/consumer"

PKG_CONFIG_PATH="$libdir/pkgconfig" g++ -std=c++17 -fPIC tests/package/consumer.cpp -o "$scratch/pc-consumer" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs ZemTransformation)
LD_LIBRARY_PATH="$libdir" "$scratch/pc-consumer"

cmake -S tests/package -B "$scratch/sub" -DZEM_SOURCE_DIR="$root" -DZEM_BUILD_EXAMPLES=OFF \
      -DZEM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$scratch/sub" -j"$(nproc)" >/dev/null
"$scratch/sub/consumer"
echo "package check: find_package, pkg-config and add_subdirectory all work"

#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the demonstration on the
# bundled example data.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZEM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" >/dev/null
./build-demo/examples/zem_angles_demo

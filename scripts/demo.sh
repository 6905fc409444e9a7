#!/usr/bin/env bash
# Sets up the machine, builds the library and runs the demonstration on the
# bundled example data: a best fit of a measured part onto its nominal points.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "== Configuring build-demo (Release)"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZEM_BUILD_BENCHMARKS=OFF -DZEM_BUILD_PYTHON=OFF --log-level=WARNING
echo "== Building the library, the examples and zemtrafo"
cmake --build build-demo -j"$(nproc)"
# Best fit of the bundled measured bracket onto its nominal points; the
# resulting .trafo file and its report go into build-demo/.
echo "== Best fit of the measured bracket onto its nominal points"
cd build-demo
./examples/zem_bestfit_demo ../examples/data/nominal_points.txt ../examples/data/measured_points.txt .
# The same fit with the command-line tool: transformation, pair table,
# unpaired points, and a .trafo record with its text report.
echo
echo "== zemtrafo fit nominal_points.txt measured_points.txt --out bracket.trafo --report bracket_report.txt"
./tools/zemtrafo fit ../examples/data/nominal_points.txt ../examples/data/measured_points.txt \
  --out bracket.trafo --report bracket_report.txt

#!/usr/bin/env bash
# Installs a configured build into a scratch prefix and builds small host
# programs against it three ways: find_package (also the README's program),
# pkg-config and add_subdirectory; when the build has the Python module, it
# is imported from the prefix too.
# Every program runs with no LD_LIBRARY_PATH: the installed libraries must
# find each other through their own run paths, also for a program that uses
# only Transformation (its linker may drop the indirect libZemHost).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(ls -d "$scratch"/prefix/lib*/ | head -n 1)
# Eigen is no dependency of the package, so no installed header may include it.
if grep -rlE '#include *[<"]Eigen' "$scratch/prefix/include"; then
  echo "package check: the installed headers above include Eigen" >&2
  exit 1
fi

cmake -S tests/package -B "$scratch/found" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/found" >/dev/null
"$scratch/found/consumer"
(cd "$scratch" && "$scratch/found/readme_example" >/dev/null)
# The installed tool runs from the prefix as well.
if [[ -x "$scratch/prefix/bin/zemtrafo" ]]; then
  "$scratch/prefix/bin/zemtrafo" fit examples/data/nominal_points.txt examples/data/measured_points.txt \
    --out "$scratch/bracket.trafo" >/dev/null
fi

# A prefix outside the linker's search path needs a run path in the program,
# as for any library installed there.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
g++ -std=c++17 -fPIC tests/package/consumer.cpp -o "$scratch/pc-consumer" \
  $(pkg-config --cflags --libs ZemTransformation) -Wl,-rpath,"$(pkg-config --variable=libdir ZemTransformation)"
"$scratch/pc-consumer"

# The build's type, warning flags and compiler launcher: with a compiler
# cache the library's files come from the build's own compiles.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cmake -S tests/package -B "$scratch/sub" -DZEM_SOURCE_DIR="$root" -DZEM_BUILD_EXAMPLES=OFF \
      -DZEM_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
      -DZEM_WARNINGS_AS_ERRORS="$(cached ZEM_WARNINGS_AS_ERRORS)" \
      -DCMAKE_CXX_COMPILER_LAUNCHER="$(cached CMAKE_CXX_COMPILER_LAUNCHER)" >/dev/null
cmake --build "$scratch/sub" -j"$(nproc)" >/dev/null
"$scratch/sub/consumer"

# The installed module must find the installed libraries by itself (no
# LD_LIBRARY_PATH) and carry its stub.
python=$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
moddir=$(sed -n 's/^ZEM_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
if [ -n "$python" ] && ls "$scratch/prefix/$moddir"/zemtrafo*.so >/dev/null 2>&1; then
  test -f "$scratch/prefix/$moddir/zemtrafo.pyi"
  (cd "$scratch" && PYTHONPATH="$scratch/prefix/$moddir" "$python" -c \
    "import zemtrafo; assert zemtrafo.__file__.startswith('$scratch/prefix'); print(zemtrafo.Transformation((1, 2, 3)).transform_points([0, 0, 0]))")
  echo "package check: the Python module imports from the install prefix"
fi
echo "package check: find_package, pkg-config and add_subdirectory all work, without LD_LIBRARY_PATH"

"""Cost of the Python module zemtrafo against the C++ library, in one process.

Times Transformation.transform_points on 1,000,000 points and zemtrafo.fit on
1,000,000 pairs (paired by row, unit weights), conversion of the numpy arrays
and the residuals of every pair included, and the library's own loop and fit on
the same data (zemtrafo_reference, built beside the benchmarks). Prints best
times and the ratios module / C++.

    cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel -j2
    PYTHONPATH=build-rel/python:build-rel/bench /usr/bin/python3 bench/bench_python.py
"""
import time

import numpy as np

import zemtrafo
import zemtrafo_reference

N = 1_000_000
REPEATS = 7


def best_seconds(call, repeats=REPEATS):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    rng = np.random.default_rng(20261206)
    points = rng.uniform(-500.0, 500.0, (N, 3))

    print(f"{N} points, best of {REPEATS}")
    for scale in (1.0, 1.7):
        t = zemtrafo.Transformation((12.5, -3.0, 40.0), (0.1, -0.4, 2.0), scale)
        ours = best_seconds(lambda: t.transform_points(points))
        cpp, cpp_new, _ = zemtrafo_reference.transform_points(t.matrix, points, REPEATS)
        print(f"transform_points, scale {scale}: module {ours * 1e3:.2f} ms | C++ loop {cpp * 1e3:.2f} ms, "
              f"ratio {ours / cpp:.2f} | C++ loop into a new vector {cpp_new * 1e3:.2f} ms, "
              f"ratio {ours / cpp_new:.2f}")

    source = rng.uniform(0.0, 1000.0, (N, 3))
    for with_scale in (False, True):
        truth = zemtrafo.Transformation((100.0, -250.0, 30.0), (0.3, -1.1, 2.5), 1.7 if with_scale else 1.0)
        target = truth.transform_points(source) + rng.normal(0.0, 0.01, (N, 3))
        ours = best_seconds(lambda: zemtrafo.fit(source, target, scale=with_scale), 5)
        cpp = zemtrafo_reference.fit(source, target, with_scale, 5)
        print(f"fit, scale {'estimated' if with_scale else 'fixed'}: module {ours * 1e3:.1f} ms | "
              f"C++ computeTransformationNoId {cpp * 1e3:.1f} ms, ratio {ours / cpp:.2f}")


if __name__ == "__main__":
    main()

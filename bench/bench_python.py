"""Cost of the Python module zemtrafo against the C++ library, in one process.

Times Transformation.transform_points on 1,000,000 points (into a new array,
whose memory the system may have to provide afresh, and into out=) and zemtrafo.fit on
1,000,000 pairs (paired by row, unit weights), conversion of the numpy arrays
included, and the library's own loop and fit on the same data
(zemtrafo_reference, built beside the benchmarks): the loop into a
preallocated vector and into a new one; the fit with the mean residual only
(computeTransformationNoId) and with every pair's residual
(FitResult::fitByPosition). The module works out a fit's residuals when they
are first read, so it is timed without and with reading them. Module and C++
take turns, and the best time of each is kept. Prints the ratios module / C++.

    cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel -j2
    PYTHONPATH=build-rel/python:build-rel/bench /usr/bin/python3 bench/bench_python.py
"""
import time

import numpy as np

import zemtrafo
import zemtrafo_reference

N = 1_000_000
REPEATS = 9


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def best_of_turns(calls, repeats=REPEATS):
    """Best time of each call (a function returning seconds), taking turns."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for k, call in enumerate(calls):
            best[k] = min(best[k], call())
    return best


def main():
    rng = np.random.default_rng(20261206)
    points = rng.uniform(-500.0, 500.0, (N, 3))
    print(f"{N} points, best of {REPEATS}; ratios module / C++")
    for scale in (1.0, 1.7):
        t = zemtrafo.Transformation((12.5, -3.0, 40.0), (0.1, -0.4, 2.0), scale)
        out = np.empty_like(points)
        ours, ours_out, cpp, cpp_new = best_of_turns([
            lambda: seconds(lambda: t.transform_points(points)),
            lambda: seconds(lambda: t.transform_points(points, out=out)),
            lambda: zemtrafo_reference.transform_points(t.matrix, points, 1)[0],
            lambda: zemtrafo_reference.transform_points(t.matrix, points, 1)[1]])
        print(f"transform_points, scale {scale}: into out= {ours_out * 1e3:.2f} ms vs C++ loop into a vector "
              f"{cpp * 1e3:.2f} ms, ratio {ours_out / cpp:.2f} | new array {ours * 1e3:.2f} ms vs C++ loop into a "
              f"new vector {cpp_new * 1e3:.2f} ms, ratio {ours / cpp_new:.2f} (vs the C++ loop into a vector "
              f"{ours / cpp:.2f})")

    source = rng.uniform(0.0, 1000.0, (N, 3))
    for with_scale in (False, True):
        truth = zemtrafo.Transformation((100.0, -250.0, 30.0), (0.3, -1.1, 2.5), 1.7 if with_scale else 1.0)
        target = truth.transform_points(source) + rng.normal(0.0, 0.01, (N, 3))
        ours, ours_all, cpp, cpp_all = best_of_turns([
            lambda: seconds(lambda: zemtrafo.fit(source, target, scale=with_scale)),
            lambda: seconds(lambda: zemtrafo.fit(source, target, scale=with_scale).residuals),
            lambda: zemtrafo_reference.fit(source, target, with_scale, 1)[0],
            lambda: zemtrafo_reference.fit(source, target, with_scale, 1)[1]])
        print(f"fit, scale {'estimated' if with_scale else 'fixed'}: module {ours * 1e3:.1f} ms, with residuals "
              f"{ours_all * 1e3:.1f} ms | C++ computeTransformationNoId {cpp * 1e3:.1f} ms, ratio {ours / cpp:.2f} "
              f"(with residuals {ours_all / cpp:.2f}) | C++ FitResult::fitByPosition {cpp_all * 1e3:.1f} ms, "
              f"ratio with residuals {ours_all / cpp_all:.2f}")


if __name__ == "__main__":
    main()

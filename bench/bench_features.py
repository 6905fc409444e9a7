"""Circle, sphere and cylinder fits of zemtrafo against SciPy least_squares on the same data.

SciPy gets the analytic Jacobians of python/tests/test_features.py, starts
from the true element (a head start zemtrafo does not get) and uses the
tolerances of the tests (1e-15). Prints the median time per fit of each and
the ratio SciPy / zemtrafo.
    PYTHONPATH=build/python /usr/bin/python3 bench/bench_features.py
"""
import pathlib
import sys
import time

import numpy as np
from scipy.optimize import least_squares
from scipy.spatial.transform import Rotation

import zemtrafo as zt

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python" / "tests"))
from test_features import (circle_jacobian, circle_residuals, cylinder_jacobian,  # noqa: E402
                           cylinder_residuals, sphere_jacobian, sphere_residuals)


def sets(kind, count, n, rng):
    """(points, true parameters relative to the points' mean) of partial and full elements."""
    for _ in range(count):
        r = 10 ** rng.uniform(0, 2.5)
        rot = Rotation.random(random_state=rng).as_matrix()
        offset = rng.uniform(-2000, 2000, 3)
        t = rng.uniform(0, rng.uniform(np.pi / 2, 2 * np.pi), n)
        if kind == "sphere":
            polar = np.arccos(rng.uniform(-1, 1, n))
            local = r * np.c_[np.sin(polar) * np.cos(t), np.sin(polar) * np.sin(t), np.cos(polar)]
        else:
            height = rng.uniform(-3 * r, 3 * r, n) if kind == "cylinder" else np.zeros(n)
            local = np.c_[r * np.cos(t), r * np.sin(t), height]
        P = local @ rot.T + offset + rng.normal(scale=1e-3, size=(n, 3))
        ref = P.mean(axis=0)
        truth = np.r_[offset - ref, rot[:, 2], r] if kind != "sphere" else np.r_[offset - ref, r]
        yield P, P - ref, truth


def main():
    rng = np.random.default_rng(5)
    cases = [("circle", zt.fit_circle, circle_residuals, circle_jacobian, 100),
             ("sphere", zt.fit_sphere, sphere_residuals, sphere_jacobian, 100),
             ("cylinder", zt.fit_cylinder, cylinder_residuals, cylinder_jacobian, 200)]
    for points in (30, 1000):
        for kind, ours, fun, jac, count in cases:
            data = list(sets(kind, count // (1 if points < 100 else 4), points, rng))
            t_ours, t_scipy = [], []
            for P, Q, truth in data:
                start = time.perf_counter()
                ours(P)
                t_ours.append(time.perf_counter() - start)
                start = time.perf_counter()
                least_squares(fun, truth, jac=jac, args=(Q,), method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15,
                              x_scale="jac")
                t_scipy.append(time.perf_counter() - start)
            a, b = np.median(t_ours), np.median(t_scipy)
            print(f"{kind:8s} {points:5d} points, {len(data)} sets: zemtrafo {1e3 * a:.3f} ms, "
                  f"SciPy least_squares {1e3 * b:.3f} ms, SciPy / zemtrafo {b / a:.1f}x")


if __name__ == "__main__":
    main()

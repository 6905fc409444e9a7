"""Euler conventions of zemtrafo against SciPy's Rotation, in one process.

For every one of the 24 conventions: the largest error with which the angles
of as_euler rebuild the matrix, for random rotations and for rotations whose
middle angle lies 1e-12 to 1e-6 rad from the gimbal lock, by zemtrafo and by
SciPy; and the time of the vectorised zemtrafo.euler_from_matrices against
SciPy's as_euler on the same 1,000,000 matrices (best of 5, ratio zemtrafo /
SciPy).

    cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel -j2 --target zemtrafo_python
    PYTHONPATH=build-rel/python /usr/bin/python3 bench/bench_conventions.py
"""
import time
import warnings

import numpy as np
from scipy.spatial.transform import Rotation

import zemtrafo as zt

SEQUENCES = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
N = 1_000_000


def near_lock(seq, n, rng):
    angles = rng.uniform(-np.pi, np.pi, (n, 3))
    offset = 10.0 ** rng.uniform(-12, -6, n)
    if seq[0].lower() == seq[2].lower():
        angles[:, 1] = np.where(rng.random(n) < 0.5, offset, np.pi - offset)
    else:
        angles[:, 1] = rng.choice([-1.0, 1.0], n) * (np.pi / 2 - offset)
    return Rotation.from_euler(seq, angles).as_matrix()


def rebuild_errors(seq, matrices):
    ours, _ = zt.euler_from_matrices(seq, matrices)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        theirs = Rotation.from_matrix(matrices).as_euler(seq)
    return [np.abs(Rotation.from_euler(seq, a).as_matrix() - matrices).max() for a in (ours, theirs)]


def best(call, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rng = np.random.default_rng(1)
    print(f"{'conv':5} {'random: ours':>13} {'scipy':>9} {'near lock: ours':>16} {'scipy':>9}")
    for seq in SEQUENCES + [s.upper() for s in SEQUENCES]:
        random = rebuild_errors(seq, Rotation.random(100_000, random_state=rng.integers(1 << 30)).as_matrix())
        lock = rebuild_errors(seq, near_lock(seq, 100_000, rng))
        print(f"{seq:5} {random[0]:13.1e} {random[1]:9.1e} {lock[0]:16.1e} {lock[1]:9.1e}")
    matrices = Rotation.random(N, random_state=2).as_matrix()
    rotations = Rotation.from_matrix(matrices)
    ours = best(lambda: zt.euler_from_matrices("ZYX", matrices))
    theirs = best(lambda: rotations.as_euler("ZYX"))
    print(f"as_euler of {N} matrices, 'ZYX': zemtrafo {ours:.3f} s, SciPy {theirs:.3f} s, ratio {ours / theirs:.2f}")


if __name__ == "__main__":
    main()

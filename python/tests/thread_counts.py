"""Runs a script in fresh processes with different ZEM_THREADS, for tests
that the results of large sets do not depend on the number of threads."""
import os
import subprocess
import sys

import numpy as np


def assert_same_bits_in_one_thread_as_in_four(script, data, tmp_path):
    """Runs `script` with argv[1] the .npz file of `data` and argv[2] a .npy
    file it saves its numbers to, once with one thread and once with four,
    and asserts that the numbers are the same, bit for bit."""
    np.savez(tmp_path / "data.npz", **data)
    results = {}
    for threads in ("1", "4"):
        out = tmp_path / f"threads{threads}.npy"
        subprocess.run([sys.executable, "-c", script, str(tmp_path / "data.npz"), str(out)],
                       env=dict(os.environ, ZEM_THREADS=threads), check=True)
        results[threads] = np.load(out)
    differ = np.flatnonzero(results["1"] != results["4"])
    assert differ.size == 0, f"{differ.size} of {results['1'].size} numbers differ, the first at {differ[0]}"

"""Times one numpy.loadtxt of a point file, without the interpreter's start.

Usage: loadtxt_time.py FILE  -- prints the elapsed and the CPU seconds taken and
the array shape.
Called by bench_point_file as its reference.
"""
import sys
import time

import numpy

start, cpu_start = time.perf_counter(), time.process_time()
data = numpy.loadtxt(sys.argv[1], comments="#")
elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu_start
print(f"{elapsed:.6f} {cpu:.6f} {data.shape[0]} {data.shape[1]}")

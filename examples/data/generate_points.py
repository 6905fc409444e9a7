#!/usr/bin/env python3
"""Writes the sample data of bestfit_demo: nominal points of a small machined
bracket (mm) and the same points as measured after the part was set up on the
machine with an unknown rigid motion, with probing noise of 0.005-0.02 mm.

Run once from this directory; the committed text files are its output.
Nominal points 37 and 38 were not measured; measured points 101 and 102 are
extra probes without a nominal partner.
"""
import math
import random

random.seed(4711)

# Bracket: base plate 160 x 100 x 12 mm, upright 100 x 12 x 60 mm on its back
# edge, two bores of the base plate and one of the upright.
nominal = []
def add(x, y, z):
    nominal.append((len(nominal) + 1, x, y, z))

for x, y in [(5, 5), (80, 5), (155, 5), (155, 50), (155, 95), (80, 95), (5, 95), (5, 50)]:
    add(x, y, 12.0)                      # top face of the base plate, 1-8
for x, z in [(10, 3), (80, 3), (150, 3), (10, 9), (150, 9)]:
    add(x, 0.0, z)                       # front face, 9-13
for y, z in [(10, 4), (90, 4), (50, 8)]:
    add(160.0, y, z)                     # right face, 14-16
for y, z in [(10, 6), (90, 6)]:
    add(0.0, y, z)                       # left face, 17-18
for x, z in [(40, 20), (80, 20), (120, 20), (40, 65), (80, 65), (120, 65)]:
    add(x, 88.0, z)                      # front face of the upright, 19-24
for x, y in [(35, 94), (125, 94)]:
    add(x, y, 72.0)                      # top of the upright, 25-26
for cx, cy, r in [(40, 45, 8.0), (120, 45, 8.0)]:
    for k in range(4):                   # bore walls, 27-34
        a = math.pi / 4 + k * math.pi / 2
        add(cx + r * math.cos(a), cy + r * math.sin(a), 6.0)
add(80 + 6.0, 88.0 - 6.0, 45.0)          # upright bore wall, 35
add(80 - 6.0, 88.0 - 6.0, 45.0)          # 36
add(160.0, 50.0, 2.0)                    # 37: not measured (probe collision)
add(80.0, 50.0, 0.0)                     # 38: bottom face, not reachable

# Set-up on the machine: turned by 12.5 deg about Z, tilted slightly about X
# and Y, moved to the fixture origin (active rotation R = Rz·Ry·Rx).
ax, ay, az = math.radians(0.35), math.radians(-0.6), math.radians(12.5)
t = (412.25, -187.6, 95.04)
def rot(p):
    x, y, z = p
    y, z = y * math.cos(ax) - z * math.sin(ax), y * math.sin(ax) + z * math.cos(ax)
    x, z = x * math.cos(ay) + z * math.sin(ay), -x * math.sin(ay) + z * math.cos(ay)
    x, y = x * math.cos(az) - y * math.sin(az), x * math.sin(az) + y * math.cos(az)
    return x, y, z

measured = []
for pid, x, y, z in nominal:
    if pid in (37, 38):
        continue
    sigma = random.uniform(0.005, 0.02)
    q = rot((x, y, z))
    measured.append((pid,) + tuple(q[i] + t[i] + random.gauss(0.0, sigma) for i in range(3)))
for pid, p in [(101, (60.0, 30.0, 12.0)), (102, (150.0, 88.0, 30.0))]:
    q = rot(p)
    measured.append((pid,) + tuple(q[i] + t[i] + random.gauss(0.0, 0.01) for i in range(3)))
random.shuffle(measured)  # probing order differs from the nominal order

with open("nominal_points.txt", "w") as f:
    f.write("# Bracket, nominal points from the drawing (mm): id x y z\n")
    f.write("# Base plate 160 x 100 x 12, upright 100 x 12 x 60, bores D16 and D12.\n")
    for pid, x, y, z in nominal:
        f.write(f"{pid} {x:.4f} {y:.4f} {z:.4f}\n")
with open("measured_points.txt", "w") as f:
    f.write("# Bracket as probed on the machine (mm, machine coordinates): id x y z\n")
    f.write("# 101 and 102 are extra probes without a nominal point.\n")
    for pid, x, y, z in measured:
        f.write(f"{pid} {x:.4f} {y:.4f} {z:.4f}\n")

#!/usr/bin/python3
"""The voxel filter beside Open3D's voxel_down_sample (one thread), on the same
float32 points in one run: a scanned room (walls with 1 cm noise) and points
spread uniformly in a 10 m cube, 200 000 and 2 000 000 of each, at 5 cm.
Prints the best of three runs of each and the ratio. Not part of CI.

usage: OMP_NUM_THREADS=1 bench/compare_open3d.py [BUILD_DIR]   (default build/release)
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import open3d as o3d

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
tool = os.path.join(build, "bin", "bench_voxel")
edge, runs = 0.05, 3


def room(n, random):
    size = np.array([10, 8, 3], dtype=np.float32)
    xyz = random.random((n, 3), dtype=np.float32) * size
    axis = random.integers(0, 3, n)
    wall = random.integers(0, 2, n).astype(np.float32) * size[axis]
    xyz[np.arange(n), axis] = wall + random.normal(0, 0.01, n).astype(np.float32)
    return xyz


def cube(n, random):
    return random.uniform(-5, 5, (n, 3)).astype(np.float32)


def open3d_ms(xyz):
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(xyz.astype(np.float64)))
    best, kept = float("inf"), 0
    for _ in range(runs):
        began = time.perf_counter()
        kept = len(cloud.voxel_down_sample(edge).points)
        best = min(best, (time.perf_counter() - began) * 1000)
    return best, kept


print(f"{'points':>24} {'ours ms':>9} {'Open3D ms':>10} {'ratio':>7}  kept (ours / Open3D)")
for name, make in (("room", room), ("cube", cube)):
    for n in (200000, 2000000):
        xyz = make(n, np.random.default_rng(1))
        with tempfile.NamedTemporaryFile(suffix=".xyz") as file:
            xyz.tofile(file.name)
            out = subprocess.run([tool, "--points", file.name, "--edge", str(edge), "--repeat",
                                  str(runs)], capture_output=True, text=True, check=True).stdout
        ours, kept = float(out.split()[0]), int(out.split()[2])
        theirs, their_kept = open3d_ms(xyz)
        print(f"{name + ' ' + str(n):>24} {ours:9.2f} {theirs:10.2f} {theirs / ours:6.1f}x  "
              f"{kept} / {their_kept}")

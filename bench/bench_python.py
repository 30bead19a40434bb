#!/usr/bin/python3
"""Reading a recording's clouds into numpy arrays with kestone, in MB of cloud
file per second, beside numpy.fromfile of the same file in the same run.

usage: PYTHONPATH=build/release/python bench/bench_python.py REC [REPEATS]
(a recording folder, as kestctl record makes it; the file is read from the
page cache after the first pass)."""
import os
import sys
import time

import numpy as np

import kestone


def best_of(repeats, read):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        read()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    folder, repeats = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 5
    name = os.path.basename(os.path.normpath(folder))
    path = os.path.join(folder, f"MT{name}.kvx")
    size = os.path.getsize(path) / 1e6
    recording = kestone.Recording(folder)

    def arrays():
        for cloud in recording.clouds():
            cloud.xyz.shape, cloud.rgb.shape  # the arrays every user takes

    def arrays_and_copies():
        for cloud in recording.clouds():
            np.ascontiguousarray(cloud.xyz), np.ascontiguousarray(cloud.rgb)

    baseline = best_of(repeats, lambda: np.fromfile(path, dtype=np.uint8))
    print(f"cloud file: {size:.1f} MB")
    print(f"numpy.fromfile              {size / baseline:8.0f} MB/s")
    for label, read in (("kestone clouds (views)", arrays), ("kestone clouds, contiguous", arrays_and_copies)):
        seconds = best_of(repeats, read)
        print(f"{label:27} {size / seconds:8.0f} MB/s  {seconds / baseline:.2f}x the baseline's time")


main()

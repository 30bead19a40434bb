#!/usr/bin/python3
"""Streaming into a script: frames per second of each kind, and points per
second, that reach a Python loop from the virtual KestOne's flood preset (as
fast as the host takes), and how many the script lost by falling behind.

usage: PYTHONPATH=build/release/python bench/bench_python_stream.py [slam|dtof] [SECONDS]"""
import sys
import time

import kestone


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "slam"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    kinds, points = {}, 0
    with kestone.open(virtual="flood", mode=mode) as dev:
        start = time.perf_counter()
        for frame in dev.frames(seconds=seconds):
            kinds[frame.kind] = kinds.get(frame.kind, 0) + 1
            points += 0 if frame.xyz is None else len(frame.xyz)
        spent = time.perf_counter() - start
        dropped = dev.dropped
    rates = ", ".join(f"{kind} {count / spent:.0f}/s" for kind, count in sorted(kinds.items()))
    print(f"{mode}: {rates}; {points / spent / 1e6:.2f} M points/s; dropped {dropped}")


if __name__ == "__main__":
    main()

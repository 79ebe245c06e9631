#!/usr/bin/python3
"""Updates per second decoded into numpy by vorn_r10.decode and iter_decode, beside vorn-decode
writing CSV to a file from the same capture in the same run (the baseline). Run by hand from the build tree:

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench_decode.py [--frames N] [--runs R]

Each figure is the best of R runs of a whole decode (start-up included)."""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import vorn_r10


def best_of(runs, action):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        result = action()
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=500000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tools", default=os.path.join(os.path.dirname(vorn_r10.__file__), "..", "..", "tools"))
    args = parser.parse_args()
    tools = pathlib.Path(args.tools).resolve()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vorn_r10_bench."))
    try:
        capture, snapshot = folder / "day.pcap", folder / "day.bin"
        subprocess.run([tools / "vorn-snapshot", "make", "--out", snapshot, "--capture", capture, "--frames",
                        str(args.frames)], check=True, capture_output=True)
        csv = folder / "day.csv"
        tool_seconds, _ = best_of(args.runs, lambda: subprocess.run(
            [tools / "vorn-decode", capture, "--snapshot", snapshot, "--v2", "--options", "recv", "--out", csv,
             "--no-library-log", "--no-progress"], check=True, capture_output=True))
        with open(csv) as f:
            tool_rows = sum(1 for _ in f) - 1
        print(f"vorn-decode to CSV   {tool_rows / tool_seconds / 1e6:6.2f} M updates/s  (baseline)")
        for version in (2, 1):
            seconds, rows = best_of(args.runs, lambda: vorn_r10.decode(capture, snapshot, version=version))
            assert len(rows) == tool_rows
            rate = len(rows) / seconds
            print(f"decode(version={version}) {rate / 1e6:6.2f} M updates/s  "
                  f"{rate / (tool_rows / tool_seconds):.2f} x the baseline  ({len(rows)} updates, {seconds:.3f} s)")
        seconds, rows = best_of(args.runs, lambda: sum(len(c) for c in vorn_r10.iter_decode(capture, snapshot)))
        rate = rows / seconds
        print(f"iter_decode(rows=65536) {rate / 1e6:6.2f} M updates/s  {rate / (tool_rows / tool_seconds):.2f} x the "
              "baseline")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(main())

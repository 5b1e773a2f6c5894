#!/usr/bin/env python3
"""Timed harness: the program's start to its main window on the simulated laptop, less the 1000 ms
of fixed pauses (work folder and extraction) and the information tool's run (told to exit at once).
Runs the update-needed scenario (the user closes the window) through sim/scenario/run.py several
times; prints each figure and the median.

Usage: measure_startup.py [--runs N] [--product PATH]   (environment as for sim/scenario/run.py)
"""
import argparse, os, re, statistics, subprocess, sys, tempfile

from bench_startup import TOP, close_scenario

PAUSES_MS = 1000  # 2 x 200 ms in the work folder, 3 x 200 ms in the extraction


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--product", help="the program to measure (QM_SCENARIO_PRODUCT)")
    args = parser.parse_args()
    env = dict(os.environ, **({"QM_SCENARIO_PRODUCT": os.path.abspath(args.product)} if args.product else {}))
    figures = []
    with tempfile.TemporaryDirectory(prefix="qm_measure_") as tmp:
        path = close_scenario(tmp)
        for i in range(args.runs):
            out = subprocess.run([sys.executable, os.path.join(TOP, "sim", "scenario", "run.py"), path],
                                 env=env, capture_output=True, text=True)
            m = re.search(r"window after (\d+) ms", out.stdout)
            if not m:
                print("run %d: no window: %s" % (i + 1, (out.stdout + out.stderr).strip()[-300:]))
                return 1
            figures.append(int(m.group(1)) - PAUSES_MS)
            print("run %d: window after %s ms, without the pauses %d ms" % (i + 1, m.group(1), figures[-1]))
    print("start to window without pauses and tool run time: median %d ms, min %d ms, max %d ms (%d runs)"
          % (statistics.median(figures), min(figures), max(figures), len(figures)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

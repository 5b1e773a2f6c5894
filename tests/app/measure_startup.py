#!/usr/bin/env python3
"""Timed harness: how long the program takes from its start to its main
window on the simulated laptop, without the 1000 ms of fixed pauses of the
work folder and the extraction, and without the information tool's own run
time (the tool is told to exit at once).

It runs a scenario (update needed, the user closes the window) through the
scenario runner several times and prints each figure and the median. The
robot's "window after N ms" is measured from the process start.

Usage: measure_startup.py [--runs N] [--product PATH]
Environment: as for sim/scenario/run.py (QM_BUILD_ROOT, QM_SCENARIO_PRODUCT).
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAUSES_MS = 1000  # 2 x 200 ms in the work folder, 3 x 200 ms in the extraction

SCENARIO = """\
include = {base}
info.check = exit 0 after 0
window.actions = close
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--product", help="the program to measure (QM_SCENARIO_PRODUCT)")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.product:
        env["QM_SCENARIO_PRODUCT"] = os.path.abspath(args.product)

    base = os.path.join(TOP, "tests", "scenarios", "update_needed_close.scn")
    figures = []
    with tempfile.TemporaryDirectory(prefix="qm_measure_") as tmp:
        path = os.path.join(tmp, "startup_measure.scn")
        with open(path, "w", encoding="utf-8") as f:
            f.write(SCENARIO.format(base=base))
        for i in range(args.runs):
            out = subprocess.run([sys.executable, os.path.join(TOP, "sim", "scenario", "run.py"), path],
                                 env=env, capture_output=True, text=True)
            m = re.search(r"window after (\d+) ms", out.stdout)
            if not m:
                print("run %d: no window: %s" % (i + 1, (out.stdout + out.stderr).strip()[-300:]))
                return 1
            window_ms = int(m.group(1))
            figures.append(window_ms - PAUSES_MS)
            print("run %d: window after %d ms, without the pauses %d ms" % (i + 1, window_ms, figures[-1]))
    print("start to window without pauses and tool run time: median %d ms, min %d ms, max %d ms (%d runs)"
          % (statistics.median(figures), min(figures), max(figures), len(figures)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

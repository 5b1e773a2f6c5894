#!/usr/bin/env python3
"""Writes the short summary of a demonstration run: what the user saw (the
screenshots), what the robot found, and what the simulated laptop recorded.

    demo_summary.py BUILD_DIR DEMO_DIR
"""
import json
import os
import sys

# What the substitutes' log lines mean, for a reader who has not seen them.
EXPLAIN = [
    ("kvcom create ->", "the touchpad vendor's library was asked for its API object"),
    ("kvcom finddevice 2,2", "the SMBus search"),
    ("kvcom finddevice 0,2", "the touchpad search"),
    ("kvcom getproperty", "the touchpad's enabled property was read"),
    ("kvcom unload", "the library was freed"),
    ("locale", "a vendor tool's code page, locale and UI language (a Japanese Windows: 932, 1041, 1041)"),
    ("run info.check", "the information tool ran: is the update needed?"),
    ("run reflash", "the reflash tool ran"),
    ("run info.verify", "the information tool ran: is the new firmware in place?"),
    ("shutdown", "the restart command was recorded"),
]


def main():
    build, demo = sys.argv[1], sys.argv[2]
    out = os.path.join(build, "scenarios", "out", "demo")
    print("Quillmere demonstration on the simulated laptop")
    print("=" * 47)
    try:
        print(open(os.path.join(demo, "verdict.txt")).read().strip())
    except OSError:
        print("(no verdict)")
    shots = sorted(n for n in os.listdir(demo) if n.endswith(".png"))
    print("\nScreenshots (%s):" % demo)
    for n in shots:
        print("  " + n)
    if not shots:
        print("  none")
    try:
        result = open(os.path.join(out, "result.txt"), encoding="utf-8").read().splitlines()
        print("\nWhat the robot saw and checked:")
        for line in result[1:]:
            print("  " + line)
    except OSError:
        pass
    try:
        runs = open(os.path.join(out, "runs.log"), encoding="utf-8").read().splitlines()
        print("\nWhat the simulated laptop recorded:")
        for line in runs:
            why = next((text for key, text in EXPLAIN if line.startswith(key)), "")
            print("  %-60s %s" % (line[:60], ("- " + why) if why else ""))
    except OSError:
        pass
    try:
        timing = json.load(open(os.path.join(out, "outcome.json"))).get("timing", {})
        print("\nTiming: " + ", ".join("%s %.1f s" % kv for kv in timing.items()))
    except (OSError, ValueError):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

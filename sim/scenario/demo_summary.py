#!/usr/bin/env python3
"""Writes the short summary of a demonstration run: what the user saw (the
screenshots), and for each of its scenarios what the robot found and what the
simulated laptop recorded.

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


# The demonstration's scenarios in the order they run: the update, then one refusal.
SCENARIOS = [("demo", "The update, accepted with its restart"),
             ("demo_refusal", "A refusal: the AC adapter unplugged")]


def report(build, name, title):
    """What the robot found and the simulated laptop recorded in one scenario."""
    out = os.path.join(build, "scenarios", "out", name)
    print("\n%s (%s)" % (title, name))
    print("-" * (len(title) + len(name) + 3))
    try:
        result = open(os.path.join(out, "result.txt"), encoding="utf-8").read().splitlines()
        print("What the robot saw and checked:")
        for line in result[1:]:
            print("  " + line)
    except OSError:
        pass
    try:
        runs = open(os.path.join(out, "runs.log"), encoding="utf-8").read().splitlines()
        print("What the simulated laptop recorded:")
        for line in runs:
            why = next((text for key, text in EXPLAIN if line.startswith(key)), "")
            print("  %-60s %s" % (line[:60], ("- " + why) if why else ""))
    except OSError:
        pass
    try:
        timing = json.load(open(os.path.join(out, "outcome.json"))).get("timing", {})
        print("Timing: " + ", ".join("%s %.1f s" % kv for kv in timing.items()))
    except (OSError, ValueError):
        pass


def main():
    build, demo = sys.argv[1], sys.argv[2]
    print("Quillmere demonstration on the simulated laptop")
    print("=" * 47)
    try:
        print(open(os.path.join(demo, "verdict.txt")).read().strip())
    except OSError:
        print("(no verdict)")
    shots = sorted(n for n in os.listdir(demo) if n.endswith(".png"))
    print("\nScreenshots (%s), the refusal's message box last:" % demo)
    for n in shots:
        print("  " + n)
    if not shots:
        print("  none")
    for name, title in SCENARIOS:
        report(build, name, title)
    return 0


if __name__ == "__main__":
    sys.exit(main())

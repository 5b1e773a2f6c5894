#!/usr/bin/env python3
"""The update tool's start-up against its floor, interleaved in one run.

Each round runs, on the simulated laptop (sim/scenario/run.py, the update-needed scenario with an
information tool that exits at once), the product and the floor program (bench/startup_floor.cpp:
the same 1000 ms of pauses, one hidden child run through ShellExecuteExW and the same window), in
turn, the order alternating. The figure of a run is the robot's start-up cost: start to window,
less the 1000 ms of pauses and less the information tool's own run. Prints both medians, their
ratio, and the median of each phase between the events the robot and the substitutes log (with
the tick count) for both programs, which shows where the difference goes.

With --trace N it then runs each program N more times under Wine's trace (QM_WINEDEBUG) and prints
the median time between the trace's marks (loader, the program's own code, driver discovery, the
child process) and the logged events, which splits the product's extra time further.

Usage: bench_startup.py [--runs N] [--trace N] [--product PATH] [--floor PATH]   (environment as for run.py)
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNER = os.path.join(TOP, "sim", "scenario", "run.py")

# Phases between logged events: (name, starting event, ending event), where "first" is the
# program's first logged event: the product's load of the vendor library (step 12 of its start),
# the floor's first action.
FIRST = {"product": "kvcom load", "floor": "floor started"}
PHASES = (
    ("tool started to its first logged event", "robot started the tool", "first"),
    ("first logged event to the information tool's start", "first", "run info.check"),
    ("  of which the touchpad probe (product)", "kvcom load", "kvcom unload"),
    ("  of which battery, AC, work folder, extraction, tool start", "kvcom unload", "run info.check"),
    ("information tool's own run", "run info.check", "end info.check"),
    ("information tool's end to the window", "end info.check", "robot saw the window"),
)
EVENTS = {e for _, a, b in PHASES for e in (a, b) if e != "first"} | set(FIRST.values())


def first_ticks(out_dir, names):
    """{event: tick of its first line} from the run's times.log, for the events named."""
    ticks = {}
    with open(os.path.join(out_dir, "times.log"), encoding="utf-8", errors="replace") as f:
        for line in f:
            tick, _, text = line.strip().partition(" ")
            for e in names:
                if text.startswith(e) and e not in ticks:
                    ticks[e] = int(tick)
    return ticks


def events(out_dir):
    """{event: first tick} of the phases' events."""
    try:
        return first_ticks(out_dir, EVENTS)
    except (OSError, ValueError):
        return {}


def close_scenario(folder):
    """The update-needed scenario whose information tool exits at once and whose window the
    user closes, written into folder; its path."""
    path = os.path.join(folder, "bench_startup.scn")
    with open(path, "w", encoding="utf-8") as f:
        f.write("include = %s\ninfo.check = exit 0\nwindow.actions = close\n"
                % os.path.join(TOP, "tests", "scenarios", "update_needed_close.scn"))
    return path


# With --trace: marks from Wine's trace of the started program (same clock as the tick counts):
# (name, text of the trace line, whether it must come from the program's own first thread).
TRACE = "+timestamp,+loaddll,+process,+ole,+setupapi"
TRACE_MARKS = (
    ("process created", 'CreateProcessInternalW app L"C:\\\\qmsim\\\\app\\\\Quillmere.exe"', False),
    ("entry point (after the loader)", "set_entry_point", True),
    ("COM initialised (the program's own code runs)", "ole:CoInitializeEx 00000000, 0x6", True),
    ("driver discovery begins", "setupapi:SetupDiGetClassDevsExW", True),
    ("information tool process created", "CreateProcessInternalW started process", True),
)
TIMED_EVENTS = ("floor started", "kvcom load", "run info.check", "end info.check", "robot saw the window")


def traced_marks(out_dir):
    """{mark: ms} from the run's wine.log and times.log, in one clock."""
    marks = {}
    try:
        with open(os.path.join(out_dir, "wine.log"), encoding="utf-8", errors="replace") as f:
            lines = f.read().split("\n")
        tid = next((l.split(":")[1] for l in lines if 'Loaded L"C:\\\\qmsim\\\\app\\\\Quillmere.exe"' in l), None)
        for name, text, own in TRACE_MARKS:
            for l in lines:
                if text in l and (not own or l.split(":")[1] == tid):
                    marks[name] = 1000 * float(l.split(":")[0])
                    break
        marks.update((e, float(t)) for e, t in first_ticks(out_dir, TIMED_EVENTS).items() if e not in marks)
    except (OSError, ValueError, IndexError):
        pass
    return marks


def one_run(program, scenario, build, trace=False):
    env = dict(os.environ, QM_SCENARIO_PRODUCT=program, QM_BUILD_ROOT=build, **({"QM_WINEDEBUG": TRACE} if trace else {}))
    r = subprocess.run([sys.executable, RUNNER, "-v", scenario], env=env, capture_output=True, text=True)
    m = re.search(r"start-up cost (-?\d+) ms \(window (\d+)", r.stdout + r.stderr)
    if not m:
        raise SystemExit("no window from %s: %s" % (program, (r.stdout + r.stderr).strip()[-400:]))
    out_dir = os.path.join(build, "scenarios", "out", os.path.splitext(os.path.basename(scenario))[0])
    return int(m.group(1)), int(m.group(2)), traced_marks(out_dir) if trace else events(out_dir)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=9, help="rounds (one run of each program per round)")
    build = os.environ.get("QM_BUILD_ROOT", os.path.join(TOP, "build"))
    ap.add_argument("--product", default=os.path.join(build, "dist", "Quillmere.exe"))
    ap.add_argument("--floor", default=os.path.join(build, "win32", "bench", "startup_floor.exe"))
    ap.add_argument("--trace", type=int, default=0,
                    help="then this many runs of each under Wine's trace: the steps between its marks")
    a = ap.parse_args()
    for p in (a.product, a.floor):
        if not os.path.exists(p):
            raise SystemExit("not built: %s (make build)" % p)
    programs = {"product": os.path.abspath(a.product), "floor": os.path.abspath(a.floor)}
    cost = {k: [] for k in programs}
    phase = {k: {name: [] for name, _, _ in PHASES} for k in programs}
    with tempfile.TemporaryDirectory(prefix="qm_bench_startup_") as tmp:
        scenario = close_scenario(tmp)
        for i in range(a.runs):
            order = ("product", "floor") if i % 2 == 0 else ("floor", "product")
            line = []
            for which in order:
                c, window, ticks = one_run(programs[which], scenario, build)
                cost[which].append(c)
                for name, start, end in PHASES:
                    start, end = (FIRST[which] if e == "first" else e for e in (start, end))
                    if start in ticks and end in ticks:
                        phase[which][name].append(ticks[end] - ticks[start])
                line.append("%s %d ms (window %d)" % (which, c, window))
            print("round %d: %s" % (i + 1, ", ".join(line)), flush=True)
    mp, mf = statistics.median(cost["product"]), statistics.median(cost["floor"])
    print("phases, median ms (product / floor):")
    for name, _, _ in PHASES:
        med = [("%d" % statistics.median(phase[k][name])) if phase[k][name] else "-" for k in ("product", "floor")]
        print("  %-11s %s" % (" / ".join(med), name))
    print("start-up cost, median of %d: product %d ms, floor %d ms, ratio %.2f" % (a.runs, mp, mf, mp / mf if mf else 0))
    if a.trace:
        with tempfile.TemporaryDirectory(prefix="qm_bench_startup_") as tmp:
            scenario = close_scenario(tmp)
            for which in ("product", "floor"):
                steps = {}
                for _ in range(a.trace):
                    marks = sorted(one_run(programs[which], scenario, build, trace=True)[2].items(),
                                   key=lambda kv: kv[1])
                    for (m0, t0), (m1, t1) in zip(marks, marks[1:]):
                        steps.setdefault((m0, m1), []).append(t1 - t0)
                print("%s under Wine's trace (%s), median of %d:" % (which, TRACE, a.trace))
                for (m0, m1), ms in steps.items():
                    print("  %5d ms  %s -> %s" % (statistics.median(ms), m0, m1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

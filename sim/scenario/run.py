#!/usr/bin/env python3
"""Runs one scenario of the simulated laptop from scratch and prints its
outcome in one line: "PASS name: detail", "FAIL name: detail" or
"SKIP name: reason".

    sim/scenario/run.py [--shots DIR] [--keep] [-v] path/to/file.scn

Exit code: 0 pass, 1 fail, 77 skipped (the machine cannot run it).

Each scenario runs in a private mount namespace (unshare -m) that holds its
own power supply (a tmpfs over /sys/class/power_supply) and its own Wine
prefix: an overlay over a prepared base prefix per architecture
(build/scenarios/base-win64, base-win32) with the substitute driver
installed, so a scenario starts from the same state in a few seconds. Inside,
Xvfb runs on a free display with a Wine virtual desktop, in which the robot
(sim/scenario/robot.cpp) starts the tool and checks the outcome.

Environment:
  QM_BUILD_ROOT         the build folder (default: <repo>/build)
  QM_SCENARIO_PRODUCT   the tool to run (default: build/dist/Quillmere.exe)
"""
import argparse
import fcntl
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
SKIP = 77


def parse_scenario(path):
    """The scenario's keys (lower case) with their last values."""
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0]
            if "=" not in line:
                continue
            key, value = line.split("=", 1)
            key = key.strip().lower()
            if key:
                values[key] = value.strip()
    return values


def pe_machine(path):
    """'x86', 'x64' or None for the PE file at path."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        off = struct.unpack_from("<I", head, 0x3C)[0]
        if head[off:off + 4] != b"PE\0\0":
            return None
        machine = struct.unpack_from("<H", head, off + 4)[0]
        return {0x14C: "x86", 0x8664: "x64"}.get(machine)
    except (OSError, struct.error):
        return None


def can_run_32bit():
    """Whether this kernel runs 32-bit programs (Wine's 32-bit loader needs it)."""
    try:
        return subprocess.run([WINE32, "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def file_digest(paths):
    h = hashlib.sha256()
    for p in paths:
        h.update(p.encode())
        if os.path.exists(p):
            with open(p, "rb") as f:
                h.update(f.read())
    return h.hexdigest()


def prepare_base(build, arch, wine, log):
    """Creates (once) the base prefix of an architecture with the driver installed."""
    base = os.path.join(build, "scenarios", "base-" + arch)
    tree = os.path.join(build, arch)
    driver_files = [os.path.join(tree, "sim", "driver", "qmsim.sys"),
                    os.path.join(tree, "sim", "driver", "sim_install.exe"),
                    os.path.join(TOP, "sim", "driver", "install.sh")]
    for p in driver_files[:2]:
        if not os.path.exists(p):
            return None, "the substitute driver is not built (%s)" % p
    stamp = file_digest(driver_files)
    ready = os.path.join(base, ".ready")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    with open(os.path.join(build, "scenarios", ".lock-" + arch), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ready) and open(ready).read() == stamp:
            return base, None
        shutil.rmtree(base, ignore_errors=True)
        os.makedirs(base)
        env = wine_env(base)
        env["WINEARCH"] = arch
        log("creating the base prefix %s" % base)
        subprocess.run([wine, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)
        subprocess.run([wine, "reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Meiryo UI",
                        "/t", "REG_SZ", "/d", "Noto Sans CJK JP", "/f"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        r = subprocess.run([os.path.join(TOP, "sim", "driver", "install.sh"), base, "1.0.8.0", arch],
                           env=dict(env, QM_BUILD_ROOT=build), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=600)
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        if r.returncode != 0:
            return None, "installing the substitute driver failed: " + r.stdout.strip().replace("\n", " | ")
        with open(ready, "w") as f:
            f.write(stamp)
    return base, None


def free_display():
    for n in range(90, 190):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display")


def setup_power(sc):
    """The power supply the tool's Wine sees, in this mount namespace."""
    root = "/sys/class/power_supply"
    subprocess.run(["mount", "-t", "tmpfs", "none", root], check=True)
    ac = sc.get("ac", "online").lower()
    if ac != "none":
        os.makedirs(root + "/AC")
        open(root + "/AC/type", "w").write("Mains\n")
        open(root + "/AC/online", "w").write("0\n" if ac == "offline" else "1\n")
    if sc.get("battery", "present").lower() != "absent":
        os.makedirs(root + "/BAT0")
        for name, text in (("type", "Battery"), ("status", "Discharging"), ("present", "1"),
                           ("capacity", "80"), ("energy_full", "50000000"), ("energy_now", "40000000"),
                           ("power_now", "10000000"), ("voltage_now", "11000000")):
            open(root + "/BAT0/" + name, "w").write(text + "\n")


def shot_watcher(shots_src, shots_out, display, stop):
    """Takes a screenshot for every request file the robot writes."""
    os.makedirs(shots_out, exist_ok=True)
    while not stop.is_set():
        if os.path.isdir(shots_src):
            for name in sorted(os.listdir(shots_src)):
                if not name.endswith(".req"):
                    continue
                base = name[:-4]
                done = os.path.join(shots_src, base + ".done")
                if os.path.exists(done):
                    continue
                subprocess.run(["import", "-window", "root", os.path.join(shots_out, base + ".png")],
                               env=dict(os.environ, DISPLAY=display), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
                open(done, "w").close()
        time.sleep(0.05)


def inner(cfg):
    """Runs inside the private mount namespace."""
    sc = cfg["scenario"]
    run = cfg["run_dir"]
    prefix = os.path.join(run, "prefix")
    for d in ("upper", "work", "prefix"):
        os.makedirs(os.path.join(run, d), exist_ok=True)
    setup_power(sc)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (cfg["base"], run, run), prefix],
                   check=True)
    c = os.path.join(prefix, "drive_c")
    q = os.path.join(c, "qmsim")
    for d in ("app", "bin", "shots"):
        os.makedirs(os.path.join(q, d), exist_ok=True)
    shutil.copy(cfg["scenario_path"], os.path.join(q, "scenario.ini"))
    shutil.copy(cfg["product"], os.path.join(q, "app", "Quillmere.exe"))
    shutil.copy(cfg["shutdown"], os.path.join(q, "bin", "shutdown.exe"))
    shutil.copy(cfg["robot"], os.path.join(q, "robot.exe"))
    if cfg["kvcom"]:
        shutil.copy(cfg["kvcom"], os.path.join(c, "windows", cfg["libdir"], "KvCom.dll"))

    display_no = free_display()
    display = ":%d" % display_no
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists("/tmp/.X11-unix/X%d" % display_no):
            break
        time.sleep(0.05)
    env = wine_env(prefix, display)
    stop = threading.Event()
    watcher = None
    if cfg["shots"]:
        watcher = threading.Thread(target=shot_watcher, args=(os.path.join(q, "shots"), cfg["shots"], display, stop))
        watcher.start()
    args = [cfg["wine"], "explorer", "/desktop=qmsim,1024x768", r"C:\qmsim\robot.exe", r"C:\qmsim\scenario.ini"]
    if cfg["shots"]:
        args.append("/shots")
    result_path = os.path.join(q, "result.txt")
    started = time.time()
    desktop = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = started + cfg["timeout"]
    result = None
    while time.time() < deadline:
        if os.path.exists(result_path):
            result = open(result_path, encoding="utf-8", errors="replace").read()
            break
        if desktop.poll() is not None:
            time.sleep(0.5)
            if os.path.exists(result_path):
                continue
            break
        time.sleep(0.1)
    if cfg["shots"]:
        time.sleep(0.5)
    stop.set()
    if watcher:
        watcher.join()
    out = cfg["out_dir"]
    for name in ("runs.log", "result.txt"):
        p = os.path.join(q, name)
        if os.path.exists(p):
            shutil.copy(p, os.path.join(out, name))
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        desktop.wait(timeout=10)
    except subprocess.TimeoutExpired:
        desktop.kill()
    subprocess.run(["wineserver", "-w"], env=env, timeout=30)
    xvfb.terminate()
    try:
        xvfb.wait(timeout=5)
    except subprocess.TimeoutExpired:
        xvfb.kill()
    elapsed = time.time() - started
    with open(os.path.join(out, "outcome.json"), "w") as f:
        json.dump({"result": result, "seconds": elapsed}, f)
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenario", nargs="?")
    ap.add_argument("--shots", help="folder for screenshots (at the scenario's shot: actions and message boxes)")
    ap.add_argument("--keep", action="store_true", help="keep the scenario's run folder")
    ap.add_argument("-v", "--verbose", action="store_true", help="print the robot's findings")
    ap.add_argument("--inner", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.inner:
        with open(a.inner) as f:
            return inner(json.load(f))

    path = os.path.abspath(a.scenario)
    name = os.path.splitext(os.path.basename(path))[0]

    def say(status, detail):
        print("%s %s: %s" % (status, name, detail), flush=True)
        return {"PASS": 0, "FAIL": 1, "SKIP": SKIP}[status]

    def log(text):
        if a.verbose:
            print("  " + text, file=sys.stderr, flush=True)

    try:
        sc = parse_scenario(path)
    except OSError as e:
        return say("FAIL", "cannot read the scenario: %s" % e)
    build = os.environ.get("QM_BUILD_ROOT", os.path.join(TOP, "build"))
    arch = sc.get("arch", "win64").lower()
    if arch not in ("win64", "win32"):
        return say("FAIL", "arch must be win64 or win32")
    run32 = can_run_32bit()
    if arch == "win32" and not run32:
        return say("SKIP", "this machine cannot run 32-bit Windows programs (a win32 prefix needs them)")
    # The tool: the product, or on a machine without 32-bit support a 64-bit
    # test build of it.
    if os.environ.get("QM_SCENARIO_PRODUCT"):
        candidates = [os.environ["QM_SCENARIO_PRODUCT"]]
    else:
        candidates = [os.path.join(build, "dist", "Quillmere.exe"),
                      os.path.join(build, "win64", "dist", "Quillmere.exe"),
                      os.path.join(build, "dist", "Quillmere64.exe")]
    built = [(p, pe_machine(p)) for p in candidates if pe_machine(p)]
    runnable = [(p, b) for p, b in built if b == "x64" or run32]
    if not built:
        return say("FAIL", "the tool is not built: %s" % candidates[0])
    if not runnable:
        return say("SKIP", "this machine cannot run 32-bit Windows programs, and the tool is one "
                           "(QM_SCENARIO_PRODUCT may name a 64-bit test build)")
    product, bits = runnable[0]
    wine = WINE64 if arch == "win64" else WINE32
    if not os.path.exists(wine):
        wine = "wine"
    tree = os.path.join(build, arch)              # robot and shutdown of the prefix's width
    lib_tree = os.path.join(build, "win32" if bits == "x86" else "win64")  # library of the tool's width
    robot = os.path.join(tree, "sim-bin", "robot.exe")
    shutdown = os.path.join(tree, "sim-bin", "shutdown.exe")
    for p in (robot, shutdown):
        if not os.path.exists(p):
            return say("FAIL", "not built: %s" % p)
    kv = sc.get("kvcom", "ok").lower()
    kvcom = None
    if kv in ("ok", "createfail"):
        kvcom = os.path.join(lib_tree, "sim-bin", "KvCom.dll")
    elif kv == "noexport":
        kvcom = os.path.join(lib_tree, "sim-bin", "noexport", "KvCom.dll")
    elif kv != "absent":
        return say("FAIL", "kvcom must be ok, absent, noexport or createfail")
    if kvcom and not os.path.exists(kvcom):
        return say("FAIL", "not built: %s" % kvcom)
    # The 32-bit system folder of the prefix, where the library is installed.
    libdir = "syswow64" if (arch == "win64" and bits == "x86") else "system32"

    base, err = prepare_base(build, arch, wine, log)
    if err:
        return say("FAIL", err)

    run_dir = os.path.join(build, "scenarios", "run", name)
    out_dir = os.path.join(build, "scenarios", "out", name)
    shutil.rmtree(run_dir, ignore_errors=True)
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(run_dir)
    os.makedirs(out_dir)
    cfg = {"scenario": sc, "scenario_path": path, "run_dir": run_dir, "out_dir": out_dir, "base": base,
           "product": product, "robot": robot, "shutdown": shutdown, "kvcom": kvcom, "libdir": libdir,
           "wine": wine, "timeout": 150, "shots": os.path.abspath(a.shots) if a.shots else None}
    cfg_path = os.path.join(out_dir, "config.json")
    with open(cfg_path, "w") as f:
        json.dump(cfg, f)
    started = time.time()
    r = subprocess.run(["unshare", "-m", sys.executable, os.path.abspath(__file__), "--inner", cfg_path],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    elapsed = time.time() - started
    if not a.keep:
        shutil.rmtree(run_dir, ignore_errors=True)
    try:
        with open(os.path.join(out_dir, "outcome.json")) as f:
            outcome = json.load(f)
    except (OSError, ValueError):
        tail = r.stdout.strip().splitlines()[-3:]
        return say("FAIL", "the run did not finish: " + " | ".join(tail))
    result = outcome.get("result")
    if not result:
        return say("FAIL", "the robot gave no verdict within %d s (%.1f s)" % (cfg["timeout"], elapsed))
    lines = [l for l in result.splitlines() if l.strip()]
    verdict = lines[0].strip()
    fails = [l[6:] for l in lines[1:] if l.startswith("fail: ")]
    notes = [l[6:] for l in lines[1:] if l.startswith("note: ")]
    for l in lines[1:]:
        log(l)
    if verdict == "PASS" and not fails:
        return say("PASS", "%s (%.1f s)" % ("; ".join(notes) or "as expected", elapsed))
    return say("FAIL", "%s (%.1f s)" % ("; ".join(fails or lines[1:2] or ["no findings"]), elapsed))


if __name__ == "__main__":
    sys.exit(main())

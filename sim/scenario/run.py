#!/usr/bin/env python3
"""Runs scenarios of the simulated laptop from scratch and prints the outcome
of each in one line: "PASS name: detail", "FAIL name: detail" or
"SKIP name: reason".

    sim/scenario/run.py [--shots DIR] [--keep] [-v] file.scn|folder...
    sim/scenario/run.py --verdict file.scn...     (the stored outcome of a suite run)

Exit code: 0 all passed, 1 one failed, 77 all skipped (the machine cannot
run them). Outcomes, run logs and verdicts are kept under
build/scenarios/out/<name>/, what the substitute driver saw as
build/transcripts/scenario.<name>.jsonl.

The scenarios of one architecture and one locale (one Wine session, whose system locale is
fixed) run in a private mount namespace (unshare -m) that holds its
own power supply (a tmpfs over /sys/class/power_supply) and its own Wine
prefix: an overlay over a prepared base prefix per architecture
(build/scenarios/base-win64, base-win32) with the substitute driver
installed, so every run starts from the same state in seconds. Inside,
Xvfb runs on a free display with a Wine virtual desktop, in which the robot
(sim/scenario/robot*.cpp) starts the tool and checks the outcome.

Environment:
  QM_BUILD_ROOT         the build folder (default: <repo>/build)
  QM_SCENARIO_PRODUCT   the tool to run (default: build/dist/Quillmere.exe)
  QM_SKIP_SLOW=1        skip the slow scenarios (files named slow_*.scn), for
                        quick local runs; `make test` runs them
"""
import argparse
import fcntl
import hashlib
import json
import os
import re
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

# The Unix locale of each value of the key "locale", for the scenarios' Wine session.
LOCALES = {"ja": "ja_JP.UTF-8", "en": "en_US.UTF-8"}
# temp = unicode: the temporary directory in a user folder of kanji and a space (as drive_c/users/...
# in the prefix, a UTF-8 name on the Linux side). temp = long: a chain of folders under C:\qmsim\deep
# whose path is this long (the robot takes the deepest one as TMP and TEMP).
UNICODE_TEMP = ("users", "田中 太郎", "Temp")
LONG_TEMP_LENGTH = 235


def long_temp_parts():
    """The folder names below C:\\qmsim\\deep that make a path of LONG_TEMP_LENGTH characters."""
    parts, left = [], LONG_TEMP_LENGTH - len("C:\\qmsim\\deep")
    while left > 0:
        n = min(60, left - 1)
        parts.append(("%02d" % len(parts)).ljust(n, "x"))
        left -= n + 1
    return parts


class Form:
    """A kind of value that is not one fixed word: its phrase in the README's
    table and the pattern a value of that kind must match."""

    def __init__(self, phrase, pattern, flags=re.IGNORECASE):
        self.phrase = phrase
        self.regex = re.compile(r"(?:%s)\Z" % pattern, flags)


_RUN = r"(?:exit (?:\d+|0x[0-9a-f]+)(?: after \d+)?|hang)"
NUMBER = Form("a number", r"\d+|0x[0-9a-f]+")
VERSION = Form("any `a.b.c.d`", r"\d+\.\d+\.\d+\.\d+")
MODEL = Form("any 12 characters", r"[!-~]{12}", 0)
RUNS = Form("*runs*", r"%s(?: *, *%s)*" % (_RUN, _RUN))
SECONDS = Form("seconds", r"\d+")
MESSAGE_ID = Form("an id 133-146", r"13[3-9]|14[0-6]")
MS_RANGE = Form("`MIN-MAX`", r"\d+-\d+")
RUN_LIST = Form("a list", r"(?:info\.check|reflash|info\.verify)(?: *, *(?:info\.check|reflash|info\.verify))*")
UNCHECKED = Form("empty (not checked)", "")
ACTIONS_LIST = Form("a list of actions (below)", r".*")  # each action is checked against ACTIONS


class Derived:
    """A default the runner works out from the scenario's other keys (those with defaults of their
    own filled in): its phrase in the README's table and the function that gives it."""

    def __init__(self, phrase, value):
        self.phrase = phrase
        self.value = value


def sessions_by_version(sc):
    """A driver has sessions exactly when the product would use them: from 1.0.8 on (and without a
    driver, as the driver 1.0.8.0 of the prefix)."""
    version = sc["driver"].lower()
    return "yes" if version == "none" or tuple(int(p) for p in version.split(".")[:3]) >= (1, 0, 8) else "no"

# Every key a scenario may set: (key, values, default, meaning). A value is
# one of the words, or matches one of the forms. The default is the first
# value unless one is written out: a value ("" for a check that is not made)
# or one Derived from the other keys. The runner hands the robot and the
# substitutes the scenario with every key, these defaults filled in, so the
# defaults live here only. The README's tables are these rows
# (tests/scenarios/scenario_table_test.py keeps them equal).
LAPTOP_KEYS = (
    ("arch", ("win64", "win32"), None,
     "64-bit Wine prefix (the 64-bit tools are extracted) or a 32-bit one"),
    ("locale", ("ja", "en"), None,
     "the Wine session's system locale: Japanese (LC_ALL=ja_JP.UTF-8: code page 932, locale and UI language "
     "1041) or English (en_US.UTF-8: 1252, 1033), checked in the robot's session and in every vendor tool run"),
    ("start", ("user", "elevated"), None,
     "started with the limited token of a normal user, or fully elevated (\"run as administrator\")"),
    ("other.user", ("no", "running"), None, "another logon session's run holds the machine-wide lock"),
    ("second.start", ("none", "window", "message", "before", "after"), None,
     "start the tool a second time in the same session while the first run's window is shown, while its "
     "final message box is open, with the session lock already taken, or after it ended; the second start "
     "must end silently within 15 s"),
    ("driver", ("1.0.8.0", VERSION, "none"), None,
     "the system-interface driver's \"DriverVersion\"; `none`: no device interface"),
    ("driver.sessions", ("yes", "no"), Derived("`yes` from 1.0.8 on, else `no`", sessions_by_version),
     "whether the driver requires the authenticated session"),
    ("driver.returned", ("capsule", "padded", "payload"), None,
     "the byte count the driver reports, and so hands back, for every capsule reply: the whole reply "
     "capsule, the header and padded payload (no trailer), or the header and the n payload bytes"),
    ("driver.replysize", ("right", "zero", "odd", "large"), None,
     "the size field of every reply capsule: 16 + n rounded up to 8, 0, that + 4 (16 + a multiple of 8 + 4), "
     "or beyond the offered reply buffer"),
    ("driver.status4", ("0", "1", "2"), None,
     "how many answers in a row to each misc call carry status 4 before the real one"),
    ("driver.strict", ("yes", "no"), None,
     "`yes`: a request the driver refused as a fault of the client (a violation, see below) fails the "
     "scenario; `no`: it is recorded only"),
    ("handshake", ("ok", "fail"), None, "`fail`: the driver's proof in the handshake is wrong"),
    ("model", ("VKRB2379JPN0", MODEL), None, "the model record's short form"),
    ("flatpad", ("1", NUMBER, "fail"), None,
     "value1 of the flat-pad setup item; `fail`: the query fails"),
    ("flatpad.status", ("0", NUMBER), None, "the status byte of the flat-pad answer"),
    ("battery0", ("answer", "silent"), None, "whether the battery pack query for index 0 answers"),
    ("battery1", ("silent", "answer"), None, "whether the battery pack query for index 1 answers"),
    ("ac", ("online", "offline", "none"), None,
     "the AC adapter in the power supply (`none`: no adapter entry)"),
    ("battery", ("present", "absent"), None, "the system battery in the power supply"),
    ("kvcom", ("ok", "absent", "noexport", "createfail"), None,
     "the touchpad vendor's library: installed, missing, without `KvCreateAPI`, or `KvCreateAPI` fails"),
    ("kvcom.convention", ("stdcall", "cdecl"), None,
     "the calling convention of the 32-bit library's `KvCreateAPI` export (the object slots stay stdcall); "
     "the 64-bit library has one convention"),
    ("kvcom.smbus", ("notfound", "found"), None,
     "the (2, 2) device search (found means the SMBus driver is disabled)"),
    ("kvcom.touchpad", ("found", "notfound"), None, "the (0, 2) device search"),
    ("kvcom.device", ("ok", "fail"), None, "the device object creation"),
    ("kvcom.property", ("0", NUMBER, "fail"), None, "property 0x10000171 (1 means disabled)"),
    ("info.check", (RUNS, "unstartable"), "exit 0",
     "the information tool with \"/I 1846958;2025418\"; `unstartable`: the robot spoils the extracted file "
     "so it cannot start"),
    ("info.verify", (RUNS,), "exit 0", "the information tool with \"/I 2149928\""),
    ("reflash", (RUNS, "unstartable"), "exit 0",
     "the reflash tool; `unstartable`: the robot spoils the extracted file so it cannot start"),
    ("temp", ("normal", "readonly", "full", "unicode", "long"), None,
     "the tool's temporary directory: the user's own, or `C:\\qmsim\\temp` (TMP and TEMP) on a read-only file "
     "system, or on one with room for the image only (64 KB), so that the work folder or the extraction fails; "
     "`unicode`: `C:\\users\\田中 太郎\\Temp`, in a user folder whose name has kanji and a space; `long`: a "
     "folder %d characters long under `C:\\qmsim\\deep`, where the work folder (FWUxxxx.tmp, 12 more) fits in "
     "MAX_PATH (260 with its NUL) but the image's path (37 more) does not" % LONG_TEMP_LENGTH),
    ("tools.log", ("yes", "no"), None,
     "whether the tools leave a \"Log.txt\" in their working directory"),
    ("plant", ("none", "yes"), None,
     "`yes`: recording impostors lie beside the tool (`C:\\qmsim\\app`) and in its working directory "
     "(`C:\\qmsim\\bin`): `KvCom.dll` of the tool's width, `cmd.exe`, `cmd.com`, `shutdown.exe`, "
     "`shutdown.com`, `shutdown.bat`, `shutdown.cmd`; the robot has each of them record once before the tool "
     "starts. Whatever this says, a record of an impostor from the tool's run fails the scenario"),
    ("timeout", ("150", SECONDS), None,
     "how long the runner allows the scenario; the robot gives the tool all but 60 s of it"),
    ("window.actions", (ACTIONS_LIST,), "close",
     "what the robot does when the main window appears"),
)
EXPECT_KEYS = (
    ("expect.message", ("none", MESSAGE_ID), None,
     "the one message box's text, exactly, and its caption \"Quillmere\""),
    ("expect.window", ("no", "yes"), None, "whether the main window appeared"),
    ("expect.window.ms", (MS_RANGE, UNCHECKED), "", "milliseconds from the start to the window"),
    ("expect.restart", ("no", "yes"), None,
     "the restart command \"/r /f /t 0\" recorded once by the substitute shutdown.exe of the system folder, "
     "run with the system folder as its working directory"),
    ("expect.extracted", ("yes", "no", "partial"),
     Derived("`yes` when a window is expected, else `no`", lambda sc: "yes" if sc["expect.window"].lower() == "yes" else "no"),
     "the five reboot-time deletions (image, information tool, reflash tool, Log.txt, work folder) in that "
     "order, in one FWUxxxx.tmp folder of the temporary directory; the information tool ran there under its "
     "architecture's name; or: no registrations and no tool run; `partial`: the first of those registrations "
     "only, in order, and no tool run"),
    ("expect.payloads", ("x64", "x86"), Derived("the prefix's", lambda sc: "x64" if sc["arch"].lower() == "win64" else "x86"),
     "which tool names the registrations and runs must carry"),
    ("expect.handshake", ("done", "none", UNCHECKED), "",
     "whether the driver saw the session handshake"),
    ("expect.runs", (RUN_LIST, UNCHECKED), "",
     "the vendor tool runs in order, e.g. `info.check, reflash, info.verify`"),
    ("expect.leftover", ("none", "reflash-running"), None,
     "the reflash tool is still running after the tool ended (a cancelled attempt does not stop it); the "
     "robot ends it, checks that the work folder holds only files registered for deletion at restart, and "
     "removes it"),
)
KEYS = {k[0]: k for k in LAPTOP_KEYS + EXPECT_KEYS}


def filled_scenario(given):
    """The scenario with every key of the tables, in their order: its own values, the defaults
    written out, then the derived ones."""
    sc = dict(given)
    for key, values, default, _ in LAPTOP_KEYS + EXPECT_KEYS:
        if key not in sc and not isinstance(default, Derived):
            sc[key] = values[0] if default is None else default
    for key, _, default, _ in LAPTOP_KEYS + EXPECT_KEYS:
        if key not in sc:
            sc[key] = default.value(sc)
    return {key: sc[key] for key in KEYS}


# The least time a scenario is given, in seconds: the default of "timeout".
LEAST_TIMEOUT = int(filled_scenario({})["timeout"])

# The robot's actions on the main window: (forms, what it does). In a form,
# SCREEN, MS, MIN, N, ID and LABEL stand for a value and [...] is optional.
ACTIONS = (
    (("close",), "sends WM_CLOSE"),
    (("key:enter", "key:escape", "key:tab", "key:space"), "a key press through SendInput"),
    (("click:yes", "click:no", "click:ok"),
     "presses that button (BM_CLICK: a left-button press and release on it)"),
    (("dblclick:yes", "dblclick:no", "dblclick:ok"),
     "a real double click on that button: two presses and releases through SendInput at once, so the second "
     "is queued before the first is handled"),
    (("command:ID",),
     "posts WM_COMMAND with that id and notification 0 to the main window, as a stray command would come"),
    (("await:SCREEN[:MS[:MIN]]",),
     "waits (default 30 s) for `notice`, `updating`, `completed`, `retry` or `failed`, told apart by which "
     "buttons and progress bar are shown; fails if the screen comes before MIN ms"),
    (("endsession",),
     "sends the end-session query as a log-off and as a shutdown; both must be refused and the screen must stay"),
    (("display:N:MS",),
     "moves the window off the monitor and sends N WM_DISPLAYCHANGE messages MS apart; exactly one refit back "
     "over the primary monitor must follow, 0.8-2.5 s after the last, none earlier and no second one; the "
     "window stays maximised"),
    (("wait:MS",), "a pause"),
    (("shot:LABEL",), "a screenshot (with `--shots DIR`), `DIR/<scenario>-NN-LABEL.png`; every message box is shot "
                      "too, as `...-message-<id>.png` and cropped to the box as `...-message-<id>.box.png`"),
    (("unplug", "plug"), "sets the AC adapter offline / online"),
)
PLACEHOLDERS = {"SCREEN": "notice|updating|completed|retry|failed", "MS": r"\d+", "MIN": r"\d+",
                "N": r"\d+", "ID": r"\d+", "LABEL": r"[a-z0-9_.-]+"}


def action_regex(form):
    """The pattern of one action form, e.g. await:SCREEN[:MS[:MIN]]."""
    out = ""
    for token in re.findall(r"[A-Z]+|\[|\]|[^A-Z\[\]]+", form):
        out += {"[": "(?:", "]": ")?"}.get(token) or (
            "(?:%s)" % PLACEHOLDERS[token] if token in PLACEHOLDERS else re.escape(token))
    return re.compile(out + r"\Z")


ACTION_PATTERNS = [action_regex(form) for forms, _ in ACTIONS for form in forms]


def rendered_values(values):
    return ", ".join(v.phrase if isinstance(v, Form) else "`%s`" % v for v in values)


def rendered_default(key):
    _, values, default, _ = KEYS[key]
    if isinstance(default, Derived):
        return default.phrase
    if default == "":
        return "(not checked)"
    return "`%s`" % (values[0] if default is None else default)


def readme_rows():
    """The README's three scenario tables, row by row, as the tables above give them."""
    def key_rows(keys):
        return ["| `%s` | %s | %s | %s |" % (k, rendered_values(v), rendered_default(k), m) for k, v, _, m in keys]
    return {"laptop": key_rows(LAPTOP_KEYS),
            "actions": ["| %s | %s |" % (", ".join("`%s`" % f for f in forms), does) for forms, does in ACTIONS],
            "expect": key_rows(EXPECT_KEYS)}


def value_problem(key, value):
    """Why the value is not one of the key's values, or None."""
    _, values, _, _ = KEYS[key]
    if key == "window.actions":
        bad = [a.strip() for a in value.split(",") if not any(p.match(a.strip().lower()) for p in ACTION_PATTERNS)]
        return "unknown action%s %s" % ("s" * (len(bad) > 1), ", ".join("'%s'" % b for b in bad)) if bad else None
    for v in values:
        if isinstance(v, Form) and v.regex.match(value) or not isinstance(v, Form) and value.lower() == v.lower():
            return None
    return "%s must be %s, not '%s'" % (key, rendered_values(values).replace("`", ""), value)


def scenario_problems(lines):
    """Every unknown key and every value that is not one of its key's, in file order."""
    problems = []
    for line in lines:
        body = line.split("#", 1)[0]
        if not body.strip():
            continue
        if "=" not in body:
            problems.append("not a 'key = value' line: '%s'" % line.strip())
            continue
        key, value = (part.strip() for part in body.split("=", 1))
        key = key.lower()
        if key not in KEYS:
            problems.append("unknown key '%s'" % key)
        else:
            problem = value_problem(key, value)
            if problem:
                problems.append(problem)
    return problems


def scenario_lines(path, depth=0):
    """The scenario's lines, with every "include = other.scn" line replaced by
    that file's lines (relative to the including file), so later keys win."""
    if depth > 8:
        raise OSError("includes nested too deeply at %s" % path)
    lines = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            body = line.split("#", 1)[0]
            if "=" in body and body.split("=", 1)[0].strip().lower() == "include":
                other = os.path.join(os.path.dirname(path), body.split("=", 1)[1].strip())
                lines.extend(scenario_lines(other, depth + 1))
            else:
                lines.append(line.rstrip("\n"))
    return lines


def parse_scenario(lines):
    """The scenario's keys (lower case) with their last values."""
    values = {}
    for line in lines:
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
    """Whether this machine runs 32-bit programs (Wine's 32-bit loader needs it); the one
    answer the build and every test share (QM_NO_32BIT=1 makes it no)."""
    try:
        return subprocess.run([os.path.join(TOP, "scripts", "can-run-i386")], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


WINE_VARIABLES = ("WINEDEBUG", "WINEDLLOVERRIDES")
_project_wine_env = {}


def project_wine_env():
    """WINEDEBUG and WINEDLLOVERRIDES as scripts/wine-env, the one place they are written, sets them
    for a caller that set neither."""
    if not _project_wine_env:
        clean = {k: v for k, v in os.environ.items() if k not in WINE_VARIABLES}
        out = subprocess.run(["sh", "-c", '. "$0" && printf "%s\\n" "$WINEDEBUG" "$WINEDLLOVERRIDES"',
                              os.path.join(TOP, "scripts", "wine-env")],
                             env=clean, stdout=subprocess.PIPE, text=True, check=True).stdout.split("\n")
        _project_wine_env.update(zip(WINE_VARIABLES, out))
    return dict(_project_wine_env)


def wine_env(prefix, display=None, locale=None):
    """The environment of the scenarios' Wine: the project's, set over the caller's, with one more
    override. Wine starts its own builtin program for a file of the system folder that has one,
    whatever the file holds; shutdown.exe=n makes it run the recording shutdown.exe put there, as
    Windows runs the file it finds. With a locale (a value of the key "locale") the session's
    system locale and UI language are that one's, whatever the caller's are."""
    env = dict(os.environ, WINEPREFIX=prefix, **project_wine_env())
    env["WINEDLLOVERRIDES"] += ";shutdown.exe=n"
    if locale:
        for name in [n for n in env if n.startswith("LC_") or n == "LANGUAGE"]:
            del env[name]
        env["LANG"] = env["LC_ALL"] = LOCALES[locale]
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


def prepare_base(build, arch, log):
    """Creates (once) the base prefix of an architecture with its fonts and the driver installed
    (scripts/make-prefix), again from scratch when the driver or the way prefixes are made changes."""
    base = os.path.join(build, "scenarios", "base-" + arch)
    tree = os.path.join(build, arch)
    make_prefix = os.path.join(TOP, "scripts", "make-prefix")
    driver_files = [os.path.join(tree, "sim", "driver", "qmsim.sys"),
                    os.path.join(tree, "sim", "driver", "sim_install.exe")]
    for p in driver_files:
        if not os.path.exists(p):
            return None, "the substitute driver is not built (%s)" % p
    stamp = file_digest(driver_files + [make_prefix])
    ready = os.path.join(base, ".ready")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    with open(os.path.join(build, "scenarios", ".lock-" + arch), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ready) and open(ready).read() == stamp:
            return base, None
        shutil.rmtree(base, ignore_errors=True)
        os.makedirs(base)
        env = wine_env(base)
        log("creating the base prefix %s" % base)
        r = subprocess.run([make_prefix, base, arch, "--fonts", "--driver", "1.0.8.0"],
                           env=dict(env, QM_BUILD_ROOT=build), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=900)
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        if r.returncode != 0:
            return None, "making the base prefix failed: " + r.stdout.strip().replace("\n", " | ")
        with open(ready, "w") as f:
            f.write(stamp)
    return base, None


def setup_power(sc, first):
    """The power supply the tool's Wine sees, in this mount namespace. Wine
    reads these files at every call, so they can be rewritten between runs."""
    root = "/sys/class/power_supply"
    if first:
        subprocess.run(["mount", "-t", "tmpfs", "none", root], check=True)
    for d in os.listdir(root):
        shutil.rmtree(os.path.join(root, d))
    ac = sc["ac"].lower()
    if ac != "none":
        os.makedirs(root + "/AC")
        open(root + "/AC/type", "w").write("Mains\n")
        open(root + "/AC/online", "w").write("0\n" if ac == "offline" else "1\n")
    if sc["battery"].lower() != "absent":
        os.makedirs(root + "/BAT0")
        for name, text in (("type", "Battery"), ("status", "Discharging"), ("present", "1"),
                           ("capacity", "80"), ("energy_full", "50000000"), ("energy_now", "40000000"),
                           ("power_now", "10000000"), ("voltage_now", "11000000")):
            open(root + "/BAT0/" + name, "w").write(text + "\n")


def shot_watcher(shots_src, shots_out, name, display, stop):
    """Takes a screenshot for every request file the robot writes, as
    <scenario>-NN-<label>.png. A request with a "crop WxH+X+Y" line (a message
    box) also keeps that part as <scenario>-NN-<label>.box.png."""
    os.makedirs(shots_out, exist_ok=True)
    env = dict(os.environ, DISPLAY=display)
    while not stop.is_set():
        if os.path.isdir(shots_src):
            for req in sorted(os.listdir(shots_src)):
                if not req.endswith(".req"):
                    continue
                base = req[:-4]
                done = os.path.join(shots_src, base + ".done")
                if os.path.exists(done):
                    continue
                shot = os.path.join(shots_out, "%s-%s.png" % (name, base))
                subprocess.run(["import", "-window", "root", shot], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
                with open(os.path.join(shots_src, req), encoding="utf-8", errors="replace") as f:
                    crops = [l.split()[1] for l in f if l.startswith("crop ")]
                if crops and os.path.exists(shot):
                    subprocess.run(["convert", shot, "-crop", crops[0], "+repage", shot[:-4] + ".box.png"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
                open(done, "w").close()
        time.sleep(0.05)


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.exists(path):
        os.remove(path)


def inner(cfg):
    """Runs inside the private mount namespace: one Wine session (one prefix
    overlay, one Xvfb, one virtual desktop) for a list of scenarios of one
    architecture and one locale. Between two scenarios the power supply, the vendor library
    and the control file are replaced; the robot resets the driver. After a
    failed scenario the Wine session is restarted, so nothing it left running
    reaches the next one."""
    run = cfg["run_dir"]
    prefix = os.path.join(run, "prefix")
    for d in ("upper", "work", "prefix"):
        os.makedirs(os.path.join(run, d), exist_ok=True)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (cfg["base"], run, run), prefix],
                   check=True)
    c = os.path.join(prefix, "drive_c")
    q = os.path.join(c, "qmsim")
    for d in ("app", "bin", "shots"):
        os.makedirs(os.path.join(q, d), exist_ok=True)
    # The recording shutdown.exe replaces the system's own in its system
    # folders, where the system's cmd.exe finds it as it would the real one.
    for folder, src in cfg["items"][0]["shutdowns"].items():
        shutil.copy(src, os.path.join(c, "windows", folder, "shutdown.exe"))
    shutil.copy(cfg["items"][0]["robot"], os.path.join(q, "robot.exe"))
    # The information tools in the tool's working directory as well, for the
    # start-up floor program of `make bench-startup`, which runs one there.
    for tool in cfg["items"][0]["info_tools"]:
        shutil.copy(tool, os.path.join(q, "bin"))

    # Xvfb picks a free display itself and writes its number to the pipe.
    rfd, wfd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(wfd,))
    os.close(wfd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(rfd, 16)
        if not chunk:
            break
        number += chunk
    os.close(rfd)
    if not number.strip():
        raise RuntimeError("Xvfb did not start")
    display = ":" + number.decode().strip()
    env = wine_env(prefix, display, cfg["locale"])
    result_path = os.path.join(q, "result.txt")
    first = True
    for item in cfg["items"]:
        sc = item["scenario"]
        out = item["out_dir"]
        setup_power(sc, first)
        first = False
        shutil.copy(item["product"], os.path.join(q, "app", "Quillmere.exe"))
        lib = os.path.join(c, "windows", item["libdir"], "KvCom.dll")
        remove(lib)
        if item["kvcom"]:
            shutil.copy(item["kvcom"], lib)
        shutil.copy(item["scenario_path"], os.path.join(q, "scenario.ini"))
        for name in ("runs.log", "times.log", "selfcheck.log", "result.txt", "result.tmp", "robot.started",
                     "shots", "transcript.jsonl"):
            remove(os.path.join(q, name))
        # The impostors of the scenario before are gone; this one's (plant = yes) are laid.
        for d in IMPOSTOR_DIRS:
            for name, _ in IMPOSTORS:
                remove(os.path.join(q, d, name))
            for name, src in item["impostors"].items():
                shutil.copy(src, os.path.join(q, d, name))
        os.makedirs(os.path.join(q, "shots"))

        # temp = readonly | full: the robot gives the tool C:\qmsim\temp as its
        # temporary directory, on a file system of this scenario's own. unicode | long: the folder
        # it gives (see UNICODE_TEMP, LONG_TEMP_LENGTH) is made anew, empty; the Unix names are
        # UTF-8, as Wine reads them in a UTF-8 locale.
        temp = sc["temp"].lower()
        temp_dir = os.path.join(q, "temp")
        mounted = temp in ("readonly", "full")
        if mounted:
            os.makedirs(temp_dir, exist_ok=True)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "ro" if temp == "readonly" else "size=64k",
                            "none", temp_dir], check=True)
        for kind, top, below in (("unicode", (c,) + UNICODE_TEMP[:2], UNICODE_TEMP[2:]),
                                 ("long", (q, "deep"), tuple(long_temp_parts()))):
            top = os.path.join(*top).encode("utf-8")
            remove(top)
            if temp == kind:
                os.makedirs(os.path.join(top, *(p.encode("utf-8") for p in below)))
        stop = threading.Event()
        watcher = None
        if cfg["shots"]:
            watcher = threading.Thread(target=shot_watcher,
                                       args=(os.path.join(q, "shots"), cfg["shots"], item["name"], display, stop))
            watcher.start()
        args = [cfg["wine"], "explorer", "/desktop=qmsim,1024x768", r"C:\qmsim\robot.exe",
                r"C:\qmsim\scenario.ini"]
        if cfg["shots"]:
            args.append("/shots")
        started = time.time()
        # QM_WINEDEBUG (e.g. +timestamp,+loaddll) traces the scenario's Wine
        # processes into build/scenarios/out/<name>/wine.log.
        trace = os.environ.get("QM_WINEDEBUG")
        wine_log = open(os.path.join(out, "wine.log"), "w") if trace else subprocess.DEVNULL
        desktop = subprocess.Popen(args, env=dict(env, WINEDEBUG=trace) if trace else env,
                                   stdout=subprocess.DEVNULL, stderr=wine_log)
        deadline = started + item["timeout"]
        result = None
        robot_started = None
        while time.time() < deadline:
            if robot_started is None and os.path.exists(os.path.join(q, "robot.started")):
                robot_started = time.time()
            if os.path.exists(result_path):
                result = open(result_path, encoding="utf-8", errors="replace").read()
                break
            if desktop.poll() is not None and robot_started is None and time.time() - started > 30:
                break
            time.sleep(0.05)
        if cfg["shots"]:
            time.sleep(0.5)
        stop.set()
        if watcher:
            watcher.join()
        for name in ("runs.log", "times.log", "selfcheck.log", "result.txt", "transcript.jsonl"):
            p = os.path.join(q, name)
            if os.path.exists(p):
                shutil.copy(p, os.path.join(out, name))
        # What the driver saw, for the independent transcript checker (failed runs too).
        p = os.path.join(q, "transcript.jsonl")
        if os.path.exists(p):
            os.makedirs(os.path.dirname(item["transcript"]), exist_ok=True)
            shutil.copy(p, item["transcript"])
        if trace:
            wine_log.close()
        ended = time.time()
        timing = {"wine start": (robot_started or ended) - started, "robot": ended - (robot_started or ended)}
        if mounted:
            subprocess.run(["umount", "-l", temp_dir])
        if not result or not result.startswith("PASS"):
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=env, timeout=60)
        with open(os.path.join(out, "outcome.json"), "w") as f:
            json.dump({"result": result, "timing": timing, "timeout": item["timeout"]}, f)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    xvfb.terminate()
    try:
        xvfb.wait(timeout=5)
    except subprocess.TimeoutExpired:
        xvfb.kill()
    return 0


def verdict_of(name, out_dir, verbose):
    """The one-line outcome of a scenario that has run, and its exit code."""
    try:
        with open(os.path.join(out_dir, "outcome.json")) as f:
            outcome = json.load(f)
    except (OSError, ValueError):
        return "FAIL", "the run did not finish"
    result = outcome.get("result")
    timing = outcome.get("timing", {})
    seconds = sum(timing.values())
    if not result:
        return "FAIL", "the robot gave no verdict within %d s" % outcome.get("timeout", 0)
    lines = [l for l in result.splitlines() if l.strip()]
    fails = [l[6:] for l in lines[1:] if l.startswith("fail: ")]
    notes = [l[6:] for l in lines[1:] if l.startswith("note: ")]
    if verbose:
        for l in lines[1:]:
            print("  " + l, file=sys.stderr)
        print("  timing: " + ", ".join("%s %.1f s" % kv for kv in timing.items()), file=sys.stderr)
    if lines[0].strip() == "PASS" and not fails:
        return "PASS", "%s (%.1f s)" % ("; ".join(notes) or "as expected", seconds)
    return "FAIL", "%s (%.1f s)" % ("; ".join(fails or ["no findings"]), seconds)


CODES = {"PASS": 0, "FAIL": 1, "SKIP": SKIP}

# The impostors that `plant = yes` lays in the tool's folder and in its working
# directory: (name, file in sim-bin/impostor/ of the tool's width).
IMPOSTORS = (("KvCom.dll", "KvCom.dll"), ("cmd.exe", "impostor.exe"), ("cmd.com", "impostor.exe"),
             ("shutdown.exe", "impostor.exe"), ("shutdown.com", "impostor.exe"),
             ("shutdown.bat", "impostor.bat"), ("shutdown.cmd", "impostor.bat"))
IMPOSTOR_DIRS = ("app", "bin")


class Setup:
    """What a scenario needs from the build, or why it cannot run."""

    def __init__(self, build):
        self.build = build
        self.run32 = can_run_32bit()
        # The tool: the product, or on a machine without 32-bit support a
        # 64-bit test build of it.
        if os.environ.get("QM_SCENARIO_PRODUCT"):
            self.candidates = [os.environ["QM_SCENARIO_PRODUCT"]]
        else:
            self.candidates = [os.path.join(build, "dist", "Quillmere.exe"),
                               os.path.join(build, "win64", "dist", "Quillmere.exe"),
                               os.path.join(build, "dist", "Quillmere64.exe")]

    def item(self, path):
        """(item, None) or (None, (status, detail)) for one scenario file."""
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            lines = scenario_lines(path)
        except OSError as e:
            return None, ("FAIL", "cannot read the scenario: %s" % e)
        problems = scenario_problems(lines)
        if problems:
            return None, ("FAIL", "; ".join(problems))
        if name.startswith("slow_") and os.environ.get("QM_SKIP_SLOW") == "1":
            return None, ("SKIP", "a slow scenario, and QM_SKIP_SLOW=1")
        # Every key from here on has its value (the table's checked it), defaults filled in; the
        # timeout is the one the runner allows.
        sc = filled_scenario(parse_scenario(lines))
        timeout = max(LEAST_TIMEOUT, int(sc["timeout"]))
        sc["timeout"] = str(timeout)
        arch = sc["arch"].lower()
        if arch == "win32" and not self.run32:
            return None, ("SKIP", "this machine cannot run 32-bit Windows programs (a win32 prefix needs them)")
        built = [(p, pe_machine(p)) for p in self.candidates if pe_machine(p)]
        runnable = [(p, b) for p, b in built if b == "x64" or self.run32]
        if not built:
            return None, ("FAIL", "the tool is not built: %s" % self.candidates[0])
        if not runnable:
            return None, ("SKIP", "this machine cannot run 32-bit Windows programs, and the tool is one "
                                  "(QM_SCENARIO_PRODUCT may name a 64-bit test build)")
        product, bits = runnable[0]
        tree = os.path.join(self.build, arch)          # robot and shutdown of the prefix's width
        lib_tree = os.path.join(self.build, "win32" if bits == "x86" else "win64")  # the tool's width
        kvcom = {"ok": os.path.join(lib_tree, "sim-bin", "KvCom.dll"),
                 "createfail": os.path.join(lib_tree, "sim-bin", "KvCom.dll"),
                 "noexport": os.path.join(lib_tree, "sim-bin", "noexport", "KvCom.dll"),
                 "absent": None}[sc["kvcom"].lower()]
        robot = os.path.join(tree, "sim-bin", "robot.exe")
        # The recording shutdown.exe in place of the system's, of each system folder's width.
        shutdowns = {"system32": os.path.join(tree, "sim-bin", "shutdown.exe")}
        if arch == "win64":
            shutdowns["syswow64"] = os.path.join(self.build, "win32", "sim-bin", "shutdown.exe")
        # The impostors (plant = yes) are of the tool's width, so that the tool could load or run them.
        impostor_dir = os.path.join(lib_tree, "sim-bin", "impostor")
        impostors = {name: os.path.join(impostor_dir, src) for name, src in IMPOSTORS}
        for p in [robot, kvcom] + list(shutdowns.values()) + list(impostors.values()):
            if p and not os.path.exists(p):
                return None, ("FAIL", "not built: %s" % p)
        out_dir = os.path.join(self.build, "scenarios", "out", name)
        shutil.rmtree(out_dir, ignore_errors=True)
        os.makedirs(out_dir)
        merged = os.path.join(out_dir, "scenario.ini")
        with open(merged, "w", encoding="utf-8") as f:
            f.write("# %s with every key of sim/scenario/run.py's tables, defaults filled in\n" % name)
            f.write("".join("%s = %s\n" % kv for kv in sc.items()))
        transcript = os.path.join(self.build, "transcripts", "scenario.%s.jsonl" % name)
        if os.path.exists(transcript):
            os.remove(transcript)
        return {"name": name, "arch": arch, "locale": sc["locale"].lower(), "timeout": timeout, "transcript": transcript, "scenario": sc, "scenario_path": merged, "out_dir": out_dir,
                "product": product, "robot": robot, "shutdowns": shutdowns, "kvcom": kvcom,
                "impostors": impostors if sc["plant"].lower() == "yes" else {},
                "info_tools": [p for p in (os.path.join(self.build, "win32", "payloads", "KvInfo32.exe"),
                                           os.path.join(self.build, "win64", "payloads", "KvInfo64.exe"))
                               if os.path.exists(p)],
                # The library goes into the system folder of the tool's width.
                "libdir": "syswow64" if (arch == "win64" and bits == "x86") else "system32"}, None


def locale_installed(name):
    """Whether the C library has the locale (ja_JP.UTF-8 is listed as ja_JP.utf8), without which
    Wine would quietly take the C locale's code page."""
    def bare(n):
        return n.lower().replace("-", "")
    listed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return bare(name) in (bare(line.strip()) for line in listed.splitlines())


def run_group(setup, arch, locale, items, shots, keep, log):
    """Runs scenarios of one architecture and one locale in one private namespace."""
    wine = WINE64 if arch == "win64" else WINE32
    if not os.path.exists(wine):
        wine = "wine"
    base, err = prepare_base(setup.build, arch, log)
    if not err and not locale_installed(LOCALES[locale]):
        err = "the locale %s is not installed (scripts/bootstrap.sh generates it)" % LOCALES[locale]
    if err:
        for it in items:
            with open(os.path.join(it["out_dir"], "outcome.json"), "w") as f:
                json.dump({"error": err}, f)
        return err
    run_dir = os.path.join(setup.build, "scenarios", "run", "%s-%s-%d" % (arch, locale, os.getpid()))
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    cfg = {"items": items, "run_dir": run_dir, "base": base, "wine": wine, "locale": locale,
           "shots": os.path.abspath(shots) if shots else None}
    cfg_path = os.path.join(run_dir, "config.json")
    with open(cfg_path, "w") as f:
        json.dump(cfg, f)
    r = subprocess.run(["unshare", "-m", sys.executable, os.path.abspath(__file__), "--inner", cfg_path],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        log(r.stdout.strip())
    if not keep:
        shutil.rmtree(run_dir, ignore_errors=True)
    return None


def record_products(build, groups):
    """Writes which program the scenarios run in each prefix to build/scenarios/product.txt,
    which `make test` prints at its end, so that a fallback to the 64-bit test build shows."""
    lines = []
    for arch in sorted({a for a, _ in groups}):
        for product in sorted({it["product"] for (a, _), items in groups.items() if a == arch for it in items}):
            bits = {"x86": "32-bit", "x64": "64-bit test build"}.get(pe_machine(product), "?")
            lines.append("%s prefix: %s (%s)" % (arch, os.path.relpath(product, TOP), bits))
    os.makedirs(os.path.join(build, "scenarios"), exist_ok=True)
    with open(os.path.join(build, "scenarios", "product.txt"), "w") as f:
        f.write("".join(line + "\n" for line in lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenarios", nargs="*", help="scenario files (or folders of *.scn files)")
    ap.add_argument("--shots", help="folder for screenshots (at the scenario's shot: actions and message boxes)")
    ap.add_argument("--keep", action="store_true", help="keep the run folder (the prefix overlay)")
    ap.add_argument("-v", "--verbose", action="store_true", help="print the robot's findings")
    ap.add_argument("--verdict", action="store_true",
                    help="only print the verdict a previous suite run stored for each scenario")
    ap.add_argument("--suite-only", action="store_true",
                    help="exit 0 once every scenario has run, whatever the verdicts (they are stored)")
    ap.add_argument("--inner", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.inner:
        with open(a.inner) as f:
            return inner(json.load(f))

    paths = []
    for p in a.scenarios:
        if os.path.isdir(p):
            paths.extend(sorted(os.path.join(p, n) for n in os.listdir(p) if n.endswith(".scn")))
        else:
            paths.append(p)
    if not paths:
        ap.error("no scenario given")
    paths = [os.path.abspath(p) for p in paths]
    build = os.environ.get("QM_BUILD_ROOT", os.path.join(TOP, "build"))

    def log(text):
        if a.verbose:
            print("  " + text, file=sys.stderr, flush=True)

    worst = 0
    names = [os.path.splitext(os.path.basename(p))[0] for p in paths]
    if a.verdict:
        for name in names:
            out_dir = os.path.join(build, "scenarios", "out", name)
            try:
                line = open(os.path.join(out_dir, "verdict.txt")).read().strip()
            except OSError:
                line = "FAIL %s: the scenario suite has not run it" % name
            print(line, flush=True)
            worst = max(worst, CODES[line.split(" ", 1)[0]])
        return worst

    setup = Setup(build)
    done = {}
    groups = {}
    for path, name in zip(paths, names):
        item, problem = setup.item(path)
        if problem:
            done[name] = problem
        else:
            groups.setdefault((item["arch"], item["locale"]), []).append(item)
    started = time.time()
    record_products(build, groups)
    for (arch, locale), items in groups.items():
        err = run_group(setup, arch, locale, items, a.shots, a.keep, log)
        for it in items:
            done[it["name"]] = ("FAIL", err) if err else verdict_of(it["name"], it["out_dir"], a.verbose)
    for name in names:
        status, detail = done[name]
        line = "%s %s: %s" % (status, name, detail)
        out_dir = os.path.join(build, "scenarios", "out", name)
        os.makedirs(out_dir, exist_ok=True)
        with open(os.path.join(out_dir, "verdict.txt"), "w") as f:
            f.write(line + "\n")
        print(line, flush=True)
        worst = max(worst, CODES[status])
    if len(names) > 1:
        counts = {}
        for status, _ in done.values():
            counts[status] = counts.get(status, 0) + 1
        print("scenarios: %d passed, %d failed, %d skipped in %.0f s" % (
            counts.get("PASS", 0), counts.get("FAIL", 0), counts.get("SKIP", 0), time.time() - started),
            flush=True)
    if a.suite_only:
        return 0
    # One failure makes the whole run fail; only skips give the skip code.
    return 1 if worst == 1 else worst


if __name__ == "__main__":
    sys.exit(main())

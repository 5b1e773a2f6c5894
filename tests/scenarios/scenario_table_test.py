#!/usr/bin/env python3
"""The scenario runner's table of keys, values and actions: the README shows
exactly its rows, every committed scenario keeps to it, and a scenario with a
misspelt key, a bad value or an unknown action fails before Wine starts."""
import glob
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNER = os.path.join(TOP, "sim", "scenario", "run.py")
_spec = importlib.util.spec_from_file_location("scenario_run", RUNNER)
run = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(run)


def readme_table(heading):
    """The rows of the first table after the heading, without its header lines."""
    with open(os.path.join(TOP, "README.md"), encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = lines.index(heading)
    while not lines[i].startswith("|"):
        i += 1
    rows = []
    while i < len(lines) and lines[i].startswith("|"):
        rows.append(lines[i])
        i += 1
    return rows[2:]


class ReadmeTables(unittest.TestCase):
    def test_readme_tables_are_the_runners(self):
        want = run.readme_rows()
        for heading, key in (("#### The simulated laptop", "laptop"),
                             ("#### The robot's actions on the window", "actions"),
                             ("#### The expected outcome", "expect")):
            self.assertEqual(want[key], readme_table(heading), heading)


class Values(unittest.TestCase):
    def test_every_listed_word_and_default_is_accepted(self):
        for key, values, default, _ in run.LAPTOP_KEYS + run.EXPECT_KEYS:
            for v in values:
                if not isinstance(v, run.Form):
                    self.assertIsNone(run.value_problem(key, v), key)
                    self.assertIsNone(run.value_problem(key, v.upper()), key)  # values are case-insensitive
            if default is None:
                self.assertIsNone(run.value_problem(key, values[0]), key)

    def test_accepted_and_refused(self):
        cases = [
            ("driver", "1.0.7.3", True), ("driver", "1.0.8", False), ("driver", "nonе", False),
            ("flatpad", "0x0004", True), ("flatpad", "four", False), ("flatpad", "", False),
            ("model", "VKRA0001JPN0", True), ("model", "VKRB2379JPN", False),
            ("info.check", "exit 1", True), ("info.check", "exit 0 after 1500, exit 6, hang", True),
            ("info.check", "exit", False), ("info.check", "exit 1 after", False), ("reflash", "hangs", False),
            ("expect.message", "133", True), ("expect.message", "146", True), ("expect.message", "132", False),
            ("expect.message", "147", False), ("expect.window.ms", "900-4000", True),
            ("expect.window.ms", "4000", False), ("expect.handshake", "", True), ("expect.leftover", "", False),
            ("expect.runs", "info.check, reflash, info.verify", True), ("expect.runs", "info.check, reflsh", False),
            ("ac", "offlne", False), ("driver.status4", "3", False), ("kvcom.convention", "fastcall", False),
            ("timeout", "240", True), ("timeout", "4 min", False),
            ("window.actions", "await:notice:10000, key:tab, click:yes, await:updating:5000:100, "
                               "display:3:200, endsession, wait:500, shot:notice, unplug, plug, close", True),
            ("window.actions", "command:1000, dblclick:yes, dblclick:ok, KEY:Enter", True),
            ("window.actions", "click:maybe", False), ("window.actions", "await:notic", False),
            ("window.actions", "display:3", False), ("window.actions", "key:f1", False),
            ("window.actions", "command:yes", False), ("window.actions", "close,", False),
        ]
        for key, value, ok in cases:
            problem = run.value_problem(key, value)
            self.assertEqual(ok, problem is None, "%s = %s: %s" % (key, value, problem))

    def test_every_committed_scenario_keeps_to_the_table(self):
        files = glob.glob(os.path.join(TOP, "tests", "scenarios", "**", "*.scn"), recursive=True)
        files.append(os.path.join(TOP, "sim", "scenario", "demo.scn"))
        self.assertGreater(len(files), 40)
        for path in files:
            self.assertEqual([], run.scenario_problems(run.scenario_lines(path)), path)


class RunnerRefuses(unittest.TestCase):
    """The runner itself, on scenarios that differ from a passing one in one line."""

    def run_scenario(self, extra):
        with tempfile.TemporaryDirectory() as build:
            path = os.path.join(build, "typo.scn")
            with open(path, "w", encoding="utf-8") as f:
                f.write("include = %s\n%s\n" % (os.path.join(TOP, "tests", "scenarios", "info_exit1.scn"), extra))
            r = subprocess.run([sys.executable, RUNNER, path], env=dict(os.environ, QM_BUILD_ROOT=build),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
            # Nothing was set up for Wine: no prefix, no run folder.
            self.assertFalse(os.path.exists(os.path.join(build, "scenarios", "run")))
            return r.returncode, r.stdout.strip()

    def test_misspelt_key_bad_value_and_unknown_action_fail(self):
        for extra, said in (("expect.rnus = info.check", "unknown key 'expect.rnus'"),
                            ("EXPECT.MESAGE = 141", "unknown key 'expect.mesage'"),
                            ("ac = offlne", "ac must be online, offline, none, not 'offlne'"),
                            ("expect.message = 1411", "expect.message must be"),
                            ("window.actions = await:notice, clik:yes", "unknown action 'clik:yes'"),
                            ("expect.window yes", "not a 'key = value' line")):
            code, out = self.run_scenario(extra)
            self.assertEqual(1, code, out)
            self.assertTrue(out.startswith("FAIL typo: "), out)
            self.assertIn(said, out)


if __name__ == "__main__":
    unittest.main()

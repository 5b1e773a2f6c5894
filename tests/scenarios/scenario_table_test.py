#!/usr/bin/env python3
"""The scenario runner's table of keys, values and actions: the README shows
exactly its rows, and a scenario with a misspelt key, a bad value or an
unknown action fails before Wine starts. The committed scenarios keep to the
table because the runner refuses them otherwise (the scenario suite)."""
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


class RunnerFillsDefaults(unittest.TestCase):
    """The scenario the robot and the substitutes read has every key; the defaults the README
    derives from other keys, worked out."""

    def test_every_key_of_the_tables_is_filled_in(self):
        filled = run.filled_scenario({})
        readme_keys = [row.split("`")[1] for heading in ("#### The simulated laptop", "#### The expected outcome")
                       for row in readme_table(heading)]
        self.assertEqual(readme_keys, list(filled))
        for key, value in (("driver", "1.0.8.0"), ("window.actions", "close"), ("info.check", "exit 0"),
                           ("timeout", "150"), ("expect.runs", ""), ("expect.handshake", "")):
            self.assertEqual(value, filled[key], key)

    def test_derived_defaults(self):
        for given, key, value in (
                ({"driver": "1.0.7.9"}, "driver.sessions", "no"),
                ({"driver": "1.0.8.0"}, "driver.sessions", "yes"),
                ({"driver": "1.0.10.0"}, "driver.sessions", "yes"),
                ({"driver": "0.9.9.9"}, "driver.sessions", "no"),
                ({"driver": "2.0.0.0"}, "driver.sessions", "yes"),
                ({"driver": "none"}, "driver.sessions", "yes"),
                ({"driver": "1.0.7.0", "driver.sessions": "yes"}, "driver.sessions", "yes"),
                ({}, "expect.extracted", "no"),
                ({"expect.window": "yes"}, "expect.extracted", "yes"),
                ({"expect.window": "yes", "expect.extracted": "partial"}, "expect.extracted", "partial"),
                ({}, "expect.payloads", "x64"),
                ({"arch": "win32"}, "expect.payloads", "x86")):
            self.assertEqual(value, run.filled_scenario(given)[key], given)


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

# SPDX-License-Identifier: MIT
"""The results files as a CI reads them: JSON through Python's json, JUnit XML
through xml.etree and checked against tests/junit.xsd with xmllint (Debian's
libxml2-utils). Run: python3 results_test.py VIBRA_SIM."""
import json
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, "..", "junit.xsd")
SIM = os.environ.get("VIBRA_SIM", "")

FALSE_PASS = ("at 0ms   fault WdfDeviceCreate\n"
              "at 0ms   start      expect=STATUS_SUCCESS\n"
              "at 10ms  set-state on   expect=STATUS_SUCCESS\n")
REPEAT = ("at 0ms start\n"
          "at 10ms repeat 3 every=100ms\n"
          "at 0ms set-state on expect=STATUS_SUCCESS\n"
          "at 50ms set-state off expect=STATUS_SUCCESS\n"
          "end-repeat\n")
PASSING = "at 0ms start expect=STATUS_SUCCESS\nat 10ms check enable=0\n"


class Results(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def scenario(self, name, text):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        return path

    def run_sim(self, *args):
        return subprocess.run([SIM, "--quiet", "--json", self.path("r.json"), "--junit", self.path("r.xml"), *args],
                              capture_output=True, text=True, timeout=120, check=False)

    def results(self):
        """The JSON and the JUnit root, the JUnit file checked against the schema."""
        check = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, self.path("r.xml")],
                               capture_output=True, text=True, check=False)
        self.assertEqual(check.returncode, 0, check.stderr)
        with open(self.path("r.json"), encoding="utf-8") as file:
            document = json.load(file)
        return document, ET.parse(self.path("r.xml")).getroot()

    def test_a_failed_set_up_fails_with_its_skipped_expectations(self):
        run = self.run_sim("-s", self.scenario("fp.vsim", FALSE_PASS), "--svg", self.path("fp.svg"))
        self.assertEqual(run.returncode, 1, run.stderr)
        with open(self.path("fp.svg"), encoding="utf-8") as file:
            self.assertIn('class="result failed"', file.read())
        document, junit = self.results()
        scenario = document["scenarios"][0]
        self.assertFalse(scenario["setup_ok"])
        self.assertIn("add device", scenario["setup_failure"])
        skipped = [e for e in scenario["expectations"] if e["skipped"]]
        self.assertEqual([e["line"] for e in skipped], [2, 3])
        self.assertTrue(all(not e["held"] for e in skipped))
        cases = {case.get("name"): case for case in junit.iter("testcase")}
        for name in ("set-up", "line 2: start", "line 3: set-state on"):
            self.assertIsNotNone(cases[name].find("failure"), name)
        self.assertEqual(junit.get("failures"), "3")

    def test_every_repetition_is_a_case_of_its_own_with_its_time(self):
        run = self.run_sim("-s", self.scenario("rep.vsim", REPEAT))
        self.assertEqual(run.returncode, 0, run.stderr)
        document, junit = self.results()
        names = [case.get("name") for case in junit.iter("testcase")]
        self.assertIn("line 3: set-state on #1", names)
        self.assertIn("line 4: set-state off #3", names)
        self.assertEqual(len(names), len(set(names)))
        repetitions = [e["repetition"] for e in document["scenarios"][0]["expectations"] if e["line"] == 3]
        self.assertEqual(repetitions, [1, 2, 3])
        times = [float(case.get("time")) for case in junit.iter("testcase")]
        self.assertAlmostEqual(times[-1], 0.05)  # 260 ms after 210 ms
        self.assertAlmostEqual(sum(times), 0.26)

    def test_scenarios_of_one_stem_in_two_folders_keep_apart(self):
        first = self.scenario("a/smoke.vsim", PASSING)
        second = self.scenario("b/smoke.vsim", PASSING)
        run = self.run_sim("-o", self.path("out"), first, second)
        self.assertEqual(run.returncode, 0, run.stderr)
        _, junit = self.results()
        classes = {case.get("classname") for case in junit.iter("testcase")}
        self.assertEqual(len(classes), 2, classes)
        self.assertTrue(all(name.endswith(".smoke") for name in classes), classes)

    def test_a_refused_scenario_of_a_batch_is_an_errored_case(self):
        good = self.scenario("good.vsim", PASSING)
        bad = self.scenario("bad.vsim", "at 0ms strat\n")
        run = self.run_sim("-o", self.path("out"), good, bad)
        self.assertEqual(run.returncode, 2, run.stderr)
        document, junit = self.results()
        bad_result = document["scenarios"][1]
        self.assertIn("did you mean 'start'", bad_result["parse_error"])
        self.assertFalse(document["scenarios"][0]["played"])
        error = junit.find("testsuite[@name='%s']/testcase/error" % bad)
        self.assertEqual(error.get("type"), "parse")
        self.assertIsNotNone(junit.find("testsuite[@name='%s']/testcase/skipped" % good))
        self.assertEqual(junit.get("errors"), "1")

    def test_faults_show_when_they_took_effect_and_warn_when_they_did_not(self):
        taken = "at 0ms start\nat 10ms fault WdfRequestSend\nat 20ms set-state on\n"
        run = self.run_sim("-s", self.scenario("taken.vsim", taken))
        self.assertEqual(run.returncode, 0, run.stderr)
        document, _ = self.results()
        fault = document["scenarios"][0]["faults"][0]
        self.assertEqual((fault["op"], fault["armed_line"], fault["during_line"]), ("WdfRequestSend", 2, 3))
        self.assertEqual(fault["time_us"], 20000)
        idle = "at 0ms start\nat 10ms fault HwNRegisterClient\nat 20ms set-state on\n"
        path = self.scenario("idle.vsim", idle)
        run = self.run_sim("-s", path)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("warning: " + path + ":2: fault HwNRegisterClient: never took effect", run.stderr)
        self.assertEqual(self.run_sim("-s", path, "--strict").returncode, 1)

    def test_a_window_outside_the_run_is_refused(self):
        path = self.scenario("short.vsim", PASSING)
        run = subprocess.run([SIM, "-q", "-s", path, "--svg", self.path("t.svg"), "--from", "5s"],
                             capture_output=True, text=True, timeout=120, check=False)
        self.assertEqual(run.returncode, 2)
        self.assertIn("--from 5s is past the end of the run at 10ms", run.stderr)

    def test_a_scenario_that_checks_nothing_is_refused(self):
        run = self.run_sim("-s", self.scenario("empty.vsim", "# nothing yet\nat 10ms wait\n"))
        self.assertEqual(run.returncode, 2)
        self.assertIn("nothing to play", run.stderr)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SIM = sys.argv.pop(1)
    unittest.main(verbosity=1)

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The switch's play against a stand-in run: each sequence of events, and the status, the lines,
the files and the statistic it must leave."""

import json
import os
import tempfile
import unittest

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import outcome
from ansible_collections.velkaran.offswitch.plugins.plugin_utils import switchplay
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.switchplay import SwitchPlay

PROMPT = ("If you want to run norvane's emergency mode and switch the agent to off mode,\n"
          "insert the key:")
SWITCHED = outcome(0, PROMPT + "The mode of the agent is on off mode.\n", path="o", timeout=3)
REFUSED = outcome(0, PROMPT + "The key not invalid\n", path="o", timeout=3)
CHECKED = {"outcome": "not run", "status": None, "answer": "", "failed": False,
           "msg": "check mode: nothing was sent; would run timeout 3 o"}


class Say:
    """A stand-in for where lines go, which keeps them."""

    def __init__(self):
        self.lines, self.errors, self.documents = [], [], []

    def line(self, text):
        self.lines.append(text)

    def error(self, text):
        self.errors.append(text)

    def document(self, value):
        self.documents.append(json.loads(json.dumps(value)))


class Stats(dict):
    def set(self, name, value):
        self[name] = value


class Play(unittest.TestCase):
    def setUp(self):
        top = tempfile.TemporaryDirectory()
        self.addCleanup(top.cleanup)
        self.top = top.name
        self.report = os.path.join(self.top, "report.json")
        self.retry = os.path.join(self.top, "retry")
        # An earlier run's record, of another host: kept whatever this run does.
        with open(self.report, "w") as f:
            json.dump([{"host": "z", "outcome": "switched", "time": "2000-01-01T00:00:00.000Z"}],
                      f)
        with open(self.retry, "w") as f:
            f.write("")
        self.key = bytearray(b"k" * 1593)
        self.say, self.stats = Say(), Stats()
        self.addCleanup(setattr, journal, "ADMISSION", None)

    def play(self, hosts=("a", "b"), files=None):
        return SwitchPlay({h: files or (self.report, self.retry) for h in hosts},
                          {h: self.key for h in hosts}, say=self.say, stats=self.stats, forks=5,
                          no_host_files=(self.report, self.retry))

    def on_disk(self):
        with open(self.report) as f:
            entries = {e["host"]: e["outcome"] for e in json.load(f)}
        with open(self.retry) as f:
            retry = f.read().split()
        if entries == {"z": "switched"}:
            return "EARLIER"
        del entries["z"]  # the earlier run's host is kept
        return entries, retry

    # name, the events after the play starts, the status, words among the lines (and errors),
    # what is on disk, each host's statistic
    CASES = [
        ("every host switched", [("start",), ("back", "a", SWITCHED), ("back", "b", SWITCHED)],
         0, ["switched: 2 (a, b)", "report: REPORT (3 hosts, 0 not known to be off)",
             "hosts to retry: RETRY"],
         ({"a": "switched", "b": "switched"}, []), {"a": "switched", "b": "switched"}),
        ("one refused the key", [("start",), ("back", "a", SWITCHED), ("back", "b", REFUSED)],
         2, ['b: refused the key: "The key not invalid"', "retry them with --limit @RETRY"],
         ({"a": "switched", "b": "refused"}, ["b"]), {"a": "switched", "b": "refused"}),
        ("a result Ansible made", [("start",), ("back", "a", {"failed": True, "msg": "boom"})],
         2, ["a: Ansible reports: boom: it may or may not have switched",
             "b: the play ended before the key was sent to this host"],
         ({"a": "failed", "b": "not sent"}, ["a", "b"]), {"a": "failed", "b": "not sent"}),
        ("stopped by a signal", [("start",), ("back", "a", SWITCHED), ("stop", "SIGTERM")],
         1, ["the run was stopped (SIGTERM)", "interrupted: 1 (b)"],
         ({"a": "switched", "b": "interrupted"}, ["b"]), {"a": "switched", "b": "interrupted"}),
        ("a result after the stop", [("start",), ("stop", "SIGINT"), ("back", "a", SWITCHED)],
         1, ["interrupted: 2 (a, b)"], ({"a": "interrupted", "b": "interrupted"}, ["a", "b"]),
         {"a": "interrupted", "b": "interrupted"}),
        ("refused before the task", [("refuse", "--step waits"), ("start",)], 2,
         ["Refusing to switch any host off: --step waits", "nothing was sent: --step waits",
          "the report of the last run that sent the key, REPORT, is left as it was"],
         "EARLIER", {"a": "not run", "b": "not run"}),
        ("check mode", [("check",), ("back", "a", CHECKED), ("back", "b", CHECKED)], 0,
         ["not run: 2 (a, b)", "is left as it was"], "EARLIER", {"a": "not run", "b": "not run"}),
        ("the switch skipped", [], 2, ["not run: 2 (a, b)", "is left as it was"], "EARLIER",
         {"a": "not run", "b": "not run"}),
        ("the record cannot be written", [("unwritable",), ("start",)], 2,
         ["the record cannot be written (REPORT: Too many levels of symbolic links"], "LINK",
         {"a": "not run", "b": "not run"}),
    ]

    def test_each_sequence_of_events(self):
        for name, events, status, words, disk, stat in self.CASES:
            with self.subTest(name):
                self.setUp()
                play = self.play()
                for event in events:
                    if event[0] == "start":
                        play.start(check=False)
                    elif event[0] == "check":
                        play.start(check=True)
                    elif event[0] == "back":
                        play.came_back(event[1], event[2])
                    elif event[0] == "stop":
                        play.stop(event[1])
                    elif event[0] == "refuse":
                        play.refuse(event[1])
                    elif event[0] == "unwritable":
                        os.unlink(self.report)
                        os.symlink(self.retry, self.report)
                self.assertEqual(play.end(), status)
                said = "\n".join(self.say.lines + self.say.errors).replace(
                    self.report, "REPORT").replace(self.retry, "RETRY")
                for word in words:
                    self.assertIn(word, said)
                if disk == "LINK":
                    self.assertTrue(os.path.islink(self.report))
                    with open(self.retry) as f:
                        self.assertEqual(f.read(), "")
                else:
                    self.assertEqual(self.on_disk(), disk)
                stats = self.stats.get("offswitch", {})
                self.assertEqual({h: e["outcome"] for h, e in stats.items()}, stat)
                # Whatever happened, the key is wiped when the play ends, and no admission
                # holds it.
                self.assertEqual(self.key, bytearray(1593))
                self.assertFalse(journal.ADMISSION and journal.ADMISSION.keys)

    def test_the_admission_follows_the_play(self):
        play = self.play()
        self.assertEqual(journal.ADMISSION.keys["a"], self.key)
        self.assertFalse(journal.ADMISSION.kept)
        play.start(check=False)
        self.assertTrue(journal.ADMISSION.kept)
        self.assertEqual(journal.ADMISSION.hosts, {"a", "b"})
        play.refuse("no")  # once the record cannot be kept, nothing more is sent
        self.assertEqual((journal.ADMISSION.refusal, journal.ADMISSION.keys), ("no", {}))
        play.end()

    def test_a_sliced_jobs_artifacts_merged_as_awx_merges_them(self):
        slices = []
        for hosts in (("a", "b"), ("c",)):
            self.setUp()
            play = self.play(hosts)
            play.start(check=False)
            for host in hosts:
                play.came_back(host, SWITCHED)
            play.end()
            slices.append(json.loads(json.dumps(self.stats)))
        for order in (slices, slices[::-1]):
            merged = {}
            for artifacts in order:  # awx: main/models/workflow.py, a plain dict.update
                merged.update(artifacts)
            self.assertEqual({k: v["outcome"] for k, v in merged.items() if ":" in k},
                             {"offswitch:a": "switched", "offswitch:b": "switched",
                              "offswitch:c": "switched"})

    def test_no_host_and_unknown_files(self):
        play = SwitchPlay({}, say=self.say, stats=self.stats, forks=5,
                          no_host_files=(self.report, self.retry))
        self.assertEqual(play.end(), 1)
        self.assertIn("no host matched: nothing was switched", self.say.lines)
        # A play whose files could not be worked out names none of them.
        self.setUp()
        play = SwitchPlay({}, say=self.say, stats=self.stats, forks=5)
        play.no_hosts = False
        play.refuse("the record of this run cannot be prepared: x")
        self.assertEqual(play.end(), 2)
        self.assertIn("the report and the retry file of the last run that sent the key are "
                      "left as they were", self.say.lines)
        self.assertNotIn("offswitch-report.json", " ".join(self.say.lines))

    def test_a_stopped_run_leaves_one_document_for_machines(self):
        play = self.play()
        play.start(check=False)
        play.came_back("a", SWITCHED)
        play.stop("SIGINT")
        play.stop("SIGINT")  # a second stop adds nothing
        self.assertEqual(self.say.documents, [{"offswitch": {
            "a": {"outcome": "switched", "status": 0,
                  "answer": "The mode of the agent is on off mode.",
                  "reason": "switched: the mode file holds 1",
                  "time": self.say.documents[0]["offswitch"]["a"]["time"]},
            "b": self.say.documents[0]["offswitch"]["b"]}, "stopped": "SIGINT"}])
        self.assertEqual(self.say.documents[0]["offswitch"]["b"]["outcome"], "interrupted")
        play.end()


class Lines(unittest.TestCase):
    # the stdout callback -> where a line, an error and a stopped run's document go (None: not
    # said)
    CASES = [(None, "stdout", "stderr", None), ("default", "stdout", "stderr", None),
             ("ansible.builtin.minimal", "stdout", "stderr", None),
             ("awx_display", "stdout", "stderr", None), ("json", "stderr", "stderr", "stdout"),
             ("ansible.posix.jsonl", "stderr", "stderr", "stdout")]

    def test_each_stdout_callback(self):
        for callback, line, error, document in self.CASES:
            with self.subTest(callback):
                written = []
                say = switchplay.Say(callback, lambda text, stderr: written.append(
                    "stderr" if stderr else "stdout"))
                say.line("a")
                say.error("b")
                say.document({})
                self.assertEqual(written, [w for w in (line, error, document) if w])

    def test_a_write_the_signal_interrupted(self):
        def reentrant(text, stderr):
            raise RuntimeError("reentrant call inside <_io.BufferedWriter name='<stdout>'>")
        say = switchplay.Say("default", reentrant)
        with self.assertRaises(RuntimeError):  # outside a stop, an error is an error
            say.line("a")
        say.stopping = True  # in a stop, the run must still end
        say.line("a")
        say.error("b")


if __name__ == "__main__":
    unittest.main()

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The journal: what each host is recorded as, as results come back and when a run stops, and
how often the record is written."""

import json
import os
import tempfile
import time
import unittest

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import foreign, outcome

SWITCHED = outcome(0, "If you want to run norvane's emergency mode and switch the agent to off "
                      "mode,\ninsert the key:The mode of the agent is on off mode.\n",
                   path="offswitch", timeout=30)


class Journal(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.TemporaryDirectory()
        self.addCleanup(self.top.cleanup)
        files = (os.path.join(self.top.name, "r.json"), os.path.join(self.top.name, "retry"))
        self.journal = journal.Journal({"a": files, "b": files, "c": files}, "T0")

    def on_disk(self):
        with open(os.path.join(self.top.name, "r.json")) as f:
            entries = {e["host"]: e["outcome"] for e in json.load(f)}
        with open(os.path.join(self.top.name, "retry")) as f:
            return entries, f.read().split()

    # what comes back, then how the run ends -> what each host is on disk, and the retry file
    CASES = [
        ([], None, {"a": "pending", "b": "pending", "c": "pending"}, ["a", "b", "c"]),
        ([("a", SWITCHED)], "SIGINT",
         {"a": "switched", "b": "interrupted", "c": "interrupted"}, ["b", "c"]),
        ([("a", SWITCHED), ("b", foreign({"msg": "worker died"}))], "SIGTERM",
         {"a": "switched", "b": "failed", "c": "interrupted"}, ["b", "c"]),
        ([("a", SWITCHED), ("z", SWITCHED)], None,  # a host outside the record stays out
         {"a": "switched", "b": "pending", "c": "pending"}, ["b", "c"]),
    ]

    def test_each_host_as_its_result_comes_back_or_the_run_stops(self):
        for came_back, signame, entries, retry in self.CASES:
            with self.subTest(came_back=[h for h, _fields in came_back], signame=signame):
                self.setUp()
                self.journal.write()
                self.journal.start()
                for host, fields in came_back:
                    self.journal.set(host, fields)
                if signame:
                    self.journal.stop(signame)
                self.assertTrue(self.journal.close(5))
                self.assertEqual(self.on_disk(), (entries, retry))
        texts = {e["host"]: e["reason"] for e in self.journal.snapshot()}
        self.assertIn("the run started at T0 and this host's result has not come back: it may "
                      "or may not have switched; the mode file tells", texts["b"])
        self.setUp()
        self.journal.stop("SIGHUP")
        self.assertEqual(self.journal.snapshot()[0]["reason"],
                         "the run was stopped (SIGHUP) before this host's result came back: it "
                         "may or may not have switched; the mode file tells")

    def test_changes_close_together_are_written_once_and_soon(self):
        writes = []
        self.journal._write = lambda pair, group: writes.append(time.monotonic())
        self.journal.start()
        started = time.monotonic()
        for host in ("a", "b", "c"):
            self.journal.set(host, SWITCHED)
        self.assertTrue(self.journal.flush(5))
        self.assertLess(writes[-1] - started, 1)
        self.assertEqual(len(writes), 1)  # one report and retry file for the three
        time.sleep(3 * journal.POLL)
        self.assertEqual(len(writes), 1)  # and nothing more while nothing changes
        self.assertTrue(self.journal.close(5))

    def test_a_file_that_cannot_be_written_is_said_and_retried(self):
        os.symlink("elsewhere", os.path.join(self.top.name, "r.json"))
        self.journal.write()
        self.assertIn("Too many levels of symbolic links", self.journal.errors[
            os.path.join(self.top.name, "r.json")])
        os.unlink(os.path.join(self.top.name, "r.json"))
        self.journal.set("a", SWITCHED)
        self.journal.write()
        self.assertEqual(self.journal.errors, {})
        self.assertEqual(self.on_disk()[1], ["b", "c"])


if __name__ == "__main__":
    unittest.main()

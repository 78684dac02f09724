# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The fleet's record on disk: how runs' hosts are merged, where the record may be kept, and who
else is writing it."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import store


def entry(host, outcome, time):
    return {"host": host, "outcome": outcome, "time": time}


class Merge(unittest.TestCase):
    # what is on disk, what this run knows -> each host's outcome, in the order hosts came
    CASES = [
        ([], [entry("a", "pending", "1")], {"a": "pending"}),
        # another run's hosts stay; the same host takes the newest state, whoever learned it
        ([entry("b", "timed out", "1")], [entry("a", "switched", "2")],
         {"b": "timed out", "a": "switched"}),
        ([entry("a", "switched", "3")], [entry("a", "pending", "2")], {"a": "switched"}),
        ([entry("a", "switched", "1")], [entry("a", "pending", "2")], {"a": "pending"}),
        # an entry of an earlier release, with no time, is the oldest
        ([{"host": "a", "outcome": "switched"}], [entry("a", "refused", "0")], {"a": "refused"}),
    ]

    def test_each_case(self):
        for existing, ours, merged in self.CASES:
            with self.subTest(existing=existing, ours=ours):
                found = store.merge(existing, ours)
                self.assertEqual({e["host"]: e["outcome"] for e in found}, merged)
                self.assertEqual([e["host"] for e in found], list(merged))

    def test_times_order_as_text(self):
        earlier = store.now()
        self.assertLess(earlier, store.now() + "~")
        self.assertRegex(earlier, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


class Place(unittest.TestCase):
    def setUp(self):
        top = tempfile.TemporaryDirectory()
        self.addCleanup(top.cleanup)
        self.top = top.name
        os.chmod(self.top, 0o755)
        home = os.path.join(self.top, "home")
        os.mkdir(home)
        patcher = mock.patch.dict(os.environ, {"HOME": home})
        patcher.start()
        self.addCleanup(patcher.stop)
        self.kept = os.path.join(home, ".local", "state", "velkaran-offswitch")

    # what the directory is, what is in the report's place -> kept where it was chosen
    def test_each_place(self):
        for name, mode, plant, stays in [
                ("a directory of one's own", 0o755, None, True),
                ("a directory others may write", 0o1777, None, False),
                ("a link in the report's place", 0o755, "link", False),
                ("a link in the lock's place", 0o755, "lock-link", False),
                ("a directory in the report's place", 0o755, "directory", False)]:
            with self.subTest(name):
                directory = tempfile.mkdtemp(dir=self.top)
                os.chmod(directory, mode)
                path = os.path.join(directory, "r.json")
                if plant == "link":
                    os.symlink("/etc/passwd", path)
                elif plant == "lock-link":
                    os.symlink("/etc/passwd", store.lock_path(path))
                elif plant == "directory":
                    os.mkdir(path)
                kept, why = store.place(path)
                self.assertEqual(kept == path, stays, why)
                self.assertEqual(why is None, stays)
                if not stays:
                    self.assertEqual(os.path.dirname(kept), self.kept)
                    self.assertEqual(os.stat(self.kept).st_mode & 0o777, 0o700)


class Runs(unittest.TestCase):
    def setUp(self):
        top = tempfile.TemporaryDirectory()
        self.addCleanup(top.cleanup)
        self.report = os.path.join(top.name, "r.json")
        self.retry = os.path.join(top.name, "retry")
        self.store = store.Store(self.report, self.retry)

    def test_another_run_is_named_while_it_lives(self):
        other = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                                 stdin=subprocess.PIPE)
        self.addCleanup(other.wait)
        self.addCleanup(other.stdin.close)
        with mock.patch.object(os, "getpid", return_value=other.pid):
            self.assertEqual(store.Store(self.report, self.retry).join("T1"), [])
        self.assertEqual(self.store.join("T2"), [(other.pid, "T1")])
        other.stdin.close()
        other.wait()
        self.assertEqual(self.store.join("T3"), [])  # a run gone is dropped
        self.store.leave()
        with open(store.lock_path(self.report)) as f:
            self.assertEqual(json.load(f), [])

    def test_what_is_written_and_what_is_not_a_record(self):
        self.store.write([entry("a", "switched", "1"), entry("b", "pending", "1")])
        self.store.write([entry("c", "timed out", "2")])
        with open(self.report) as f:
            self.assertEqual([e["host"] for e in json.load(f)], ["a", "b", "c"])
        with open(self.retry) as f:
            self.assertEqual(f.read(), "b\nc\n")
        with open(self.report, "w") as f:
            f.write("{ cut short")
        self.store.write([entry("a", "off", "3")])
        with open(self.store.aside) as f:
            self.assertEqual(f.read(), "{ cut short")  # never lost
        with open(self.retry) as f:
            self.assertEqual(f.read(), "")


if __name__ == "__main__":
    unittest.main()

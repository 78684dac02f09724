# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Every case of a host's outcome, the key file's check and the report's files, as tables."""

import os
import stat
import tempfile
import unittest

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import report
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    PROMPT, SWITCHED, WRONG, failure_of, outcome, read_key)

KEY = b"Ab+/=9" * 265 + b"xyz"
ON = f"{PROMPT}{SWITCHED}\n"
OD = "0000000 061101 027453 034475 061101 027453 034475 061101 027453\n"

# status, output, failure, stopped -> outcome, status, answer, Ansible's kind, words of the msg
CASES = [
    (0, ON, None, False, "switched", 0, SWITCHED, "changed", "switched"),
    (0, f"{PROMPT}{WRONG}\n", None, False, "refused", 0, WRONG, "failed", "refused the key"),
    (1, PROMPT, None, False, "failed", 1, "", "failed", "could not write the mode file"),
    (0, PROMPT, None, False, "failed", 0, "", "failed", "gave no answer"),
    (124, PROMPT, None, False, "timed out", 124, "", "failed", "within 30 s and was stopped"),
    (137, "", None, False, "timed out", 137, "", "failed", "may or may not have switched"),
    (127, "", None, False, "failed", 127, "", "failed", "/usr/sbin/offswitch or timeout(1) was"),
    (126, "", None, False, "failed", 126, "", "failed", "cannot be run on the host"),
    (125, "", None, False, "failed", 125, "", "failed", "timeout(1) failed"),
    (1, "", None, False, "failed", 1, "", "failed", "did not run as expected (status 1)"),
    # whatever a wrong path prints is never shown, however it encodes its input
    (0, OD, None, False, "failed", 0, "", "failed", "64 characters, not shown"),
    (0, KEY.decode(), None, False, "failed", 0, "", "failed", "not an answer of offswitch"),
    (0, ON + "more", None, False, "failed", 0, "", "failed", "not an answer of offswitch"),
    # the connection
    (None, "", ("connection", "Failed to connect to the host via ssh: Timeout, server 127.0.0.1 "
                              "not responding."), False,
     "timed out", None, "", "failed", "silent for 5 s after the login"),
    (None, ON, ("connection", "Timeout, server h not responding."), False,
     "timed out", None, SWITCHED, "failed", "may or may not have switched"),
    (None, "", ("connection", "Connection to 127.0.0.1 port 22 timed out"), False,
     "timed out", None, "", "unreachable", "timed out after 5 s connecting or logging in"),
    (None, "", ("connection", "Connection timed out during banner exchange"), False,
     "timed out", None, "", "unreachable", "not switched"),
    (None, "", ("connection", "ssh: connect to host h port 22: Connection refused"), False,
     "unreachable", None, "", "unreachable", "could not log in: the connection was refused"),
    (None, "", ("connection", "root@h: Permission denied (publickey)."), False,
     "unreachable", None, "", "unreachable", "permission denied"),
    (None, "", ("connection", "Host key verification failed."), False,
     "unreachable", None, "", "unreachable", "it is not in known_hosts (a new host: add it, "
     "after checking its fingerprint), or it does not match the known hosts"),
    (None, "", ("connection", "No ED25519 host key is known for [127.0.0.1]:22 and you have "
                              "requested strict checking.\r\nHost key verification failed."),
     False, "unreachable", None, "", "unreachable", "the host's key is not in known_hosts"),
    (None, "", ("connection", "@@@ WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED! @@@ ... "
                              "Host key verification failed."),
     False, "unreachable", None, "", "unreachable", "host key does not match the known hosts"),
    # status 255 from the host's own command, with its own "permission denied"
    (None, "", ("connection", "sh: 1: /x: Permission denied"), False,
     "unreachable", None, "", "unreachable", "may or may not have switched"),
    (None, "", ("connection", KEY.decode()), False,
     "unreachable", None, "", "unreachable", "or the command on the host ended with status 255"),
    (None, "", ("ansible", "the connection broke: " + KEY.decode()), False,
     "failed", None, "", "failed", "Ansible reports: the connection broke: (...): it may or may"),
    (None, "", ("become", "Missing sudo password"), False,
     "failed", None, "", "failed", "sudo asks for a password"),
    (None, "", ("become", "Timeout (12s) waiting for privilege escalation prompt: " + KEY.decode()),
     False, "failed", None, "", "failed", "sudo did not answer in time; nothing was sent"),
    # stopped on the control machine, whatever came before
    (None, "", ("become", "Missing sudo password"), True,
     "timed out", None, "", "failed", "the connection was closed"),
    (-9, PROMPT, None, True, "timed out", -9, "", "failed", "may or may not have switched"),
]


# Ansible's exception and its words -> what failed: sudo's words whatever the exception (2.19
# gives a become timeout as a connection failure), else the exception's own kind.
FAILURES = [
    ("connection", "Timeout (12s) waiting for privilege escalation prompt: ", "become"),
    ("ansible", "Missing sudo password", "become"),
    ("ansible", "Incorrect sudo password", "become"),
    ("connection", "Failed to connect to the host via ssh: Connection refused", "connection"),
    ("ansible", "unexpected output from the plugin", "ansible"),
]


class Outcome(unittest.TestCase):
    def test_the_failure_is_named_by_its_words(self):
        for kind, msg, named in FAILURES:
            with self.subTest(msg):
                self.assertEqual(failure_of(kind, msg), (named, msg))

    def test_every_case(self):
        for status, stdout, failure, stopped, name, shown, answer, kind, words in CASES:
            with self.subTest(name=name, status=status, failure=failure, stopped=stopped):
                got = outcome(status, stdout, failure, stopped, path="/usr/sbin/offswitch",
                              timeout=30, connect_timeout=5)
                self.assertEqual((got["outcome"], got["status"], got["answer"]),
                                 (name, shown, answer))
                self.assertTrue(got[kind])
                self.assertEqual(got["changed"], kind == "changed")
                self.assertIn(words, got["msg"])
                for text in (got["msg"], got["answer"]):  # nothing of what a host printed
                    self.assertNotIn(KEY[:64].decode(), text)
                    self.assertNotIn("061101", text)

    # the file's bytes -> the words of the refusal (None: the key)
    KEY_FILES = [
        (KEY, None),
        (KEY + b"\n", None),
        (KEY + b"\n\n", "more than one line"),
        (KEY + b"\r\n", "carriage return"),
        (KEY[:-1] + b"\n", "its line has 1592 characters"),
        (KEY + b"A", "its line has 1594 characters"),
        (b"", "its line has 0 characters"),
        (KEY[:-1] + b"-", "characters other than"),
        (b" " + KEY[1:], "characters other than"),
    ]

    def test_the_key_file(self):
        for data, words in self.KEY_FILES:
            with self.subTest(words=words, length=len(data)):
                key, why = read_key(data)
                if words is None:
                    self.assertEqual((key, why), (KEY, None))
                else:
                    self.assertIsNone(key)
                    self.assertIn(words, why)
                    self.assertNotIn("Ab+/=9Ab", why)


class Report(unittest.TestCase):
    ENTRIES = [{"host": "a", "outcome": "switched", "reason": ""},
               {"host": "b", "outcome": "refused", "reason": "refused the key"},
               {"host": "c", "outcome": "not run", "reason": "check mode"}]

    def test_summary(self):
        self.assertEqual(report.summary(self.ENTRIES), [
            "b: refused the key", "c: check mode",
            "switched: 1 (a); refused: 1 (b); failed: 0; timed out: 0; unreachable: 0; "
            "not run: 1 (c)"])

    def test_files_are_replaced_whole_together_and_never_through_a_link(self):
        with tempfile.TemporaryDirectory() as top:
            path, other = os.path.join(top, "report.json"), os.path.join(top, "retry")
            target = os.path.join(top, "target")
            old = os.umask(0)
            try:
                report.replace_files([(path, "first"), (other, "first")])
            finally:
                os.umask(old)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            report.replace_files([(path, "second"), (other, "second")])
            # the second file cannot be replaced: neither is
            os.unlink(other)
            os.symlink(target, other)
            with self.assertRaisesRegex(OSError, "not a regular file") as raised:
                report.replace_files([(path, "third"), (other, "third")])
            self.assertEqual(raised.exception.filename, other)
            with open(path) as f:
                self.assertEqual(f.read(), "second")
            self.assertFalse(os.path.exists(target))
            # no temporary file left
            self.assertEqual(sorted(os.listdir(top)), ["report.json", "retry"])


if __name__ == "__main__":
    unittest.main()

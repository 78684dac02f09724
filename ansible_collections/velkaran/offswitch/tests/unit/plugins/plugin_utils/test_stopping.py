# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""A signal to a switch's run: the record's handler runs once, then the run ends as it would
have without it."""

import os
import signal
import unittest

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import stopping


class Stops(unittest.TestCase):
    def setUp(self):
        self.addCleanup(signal.signal, signal.SIGHUP, signal.getsignal(signal.SIGHUP))
        self.addCleanup(signal.signal, signal.SIGTERM, signal.getsignal(signal.SIGTERM))
        self.addCleanup(signal.signal, signal.SIGINT, signal.getsignal(signal.SIGINT))
        self.stops, self.chained = [], []

    def previous(self, signum, frame):
        self.chained.append(signal.Signals(signum).name)

    # the signal, the handlers in place before, what the record sees, which handler follows
    CASES = [("SIGTERM", {"SIGTERM": "handler"}, ["SIGTERM"], ["SIGTERM"]),
             # a hang-up ends the run as SIGTERM does, through Ansible's handler of it
             ("SIGHUP", {"SIGTERM": "handler"}, ["SIGHUP"], ["SIGTERM"]),
             # nohup: an ignored hang-up stays ignored
             ("SIGHUP", {"SIGHUP": signal.SIG_IGN, "SIGTERM": "handler"}, [], []),
             ("SIGINT", {"SIGINT": "handler"}, ["SIGINT"], ["SIGINT"])]

    def test_each_signal(self):
        for signame, before, seen, chained in self.CASES:
            with self.subTest(signame, before=before):
                self.setUp()
                for name, handler in before.items():
                    signal.signal(getattr(signal, name),
                                  self.previous if handler == "handler" else handler)

                def on_stop(name):
                    self.stops.append(name)
                    # a second signal while the first is handled: the record sees it once
                    os.kill(os.getpid(), getattr(signal, signame))
                ours = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
                installed = {signum: signal.getsignal(signum) for signum in ours}
                stops = stopping.Stops(on_stop)
                stops.install()
                os.kill(os.getpid(), getattr(signal, signame))
                self.assertEqual(self.stops, seen)
                self.assertEqual(self.chained, chained)
                stops.restore()
                # and the handlers are Ansible's own again
                self.assertEqual({signum: signal.getsignal(signum) for signum in ours}, installed)

    def test_a_stop_that_fails_still_ends_the_run(self):
        signal.signal(signal.SIGTERM, self.previous)

        def broken(signame):
            raise OSError("the disk is gone")
        stopping.Stops(broken).install()
        with self.assertRaises(OSError):
            os.kill(os.getpid(), signal.SIGTERM)
        self.assertEqual(self.chained, ["SIGTERM"])


if __name__ == "__main__":
    unittest.main()

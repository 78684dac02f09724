"""Black-box tests of the launch chain: runVelkaran -> Velkaran -> update program.

The agent's entry and the update program are stood in for by small shell scripts that record
their arguments and how they ran; they are fixtures of these tests, not part of the system.
"""

import os
import shutil
import signal
import subprocess
import time
import unittest

from harness import BIN, ROOT, UPDATE, fresh_root, main, read, run

ENTRY = os.path.join(ROOT, "Velkaran")
LOG = os.path.join(ROOT, "log")

# Records its arguments, one per line after their count, then does what the row asks.
STAND_IN = """#!/bin/sh
{{ echo "start $$ $#"; for a in "$@"; do echo "arg $a"; done; }} >>"{log}"
{body}
echo "end $$" >>"{log}"
"""


MISSING, NOT_EXECUTABLE = None, object()  # stand-in bodies for a program that cannot start


def stand_in(path, body=""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(STAND_IN.format(log=LOG, body=body))
    os.chmod(path, 0o755)


def log():
    return (read(LOG) or b"").decode().splitlines()


def runs(lines):
    """The recorded runs: (arguments, whether it reached its end)."""
    found = []
    for line in lines:
        if line.startswith("start "):
            found.append([[], False])
        elif line.startswith("arg "):
            found[-1][0].append(line[4:])
        elif line.startswith("end "):
            found[-1][1] = True
    return [(args, ended) for args, ended in found]


def sleeping_in(group):
    """Whether a sleep runs in the process group."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as f:
                name = f.read().strip()
        except OSError:
            continue
        if int(fields[2]) == group and name == "sleep":
            return True
    return False


class Launchers(unittest.TestCase):
    # launcher, the program it starts, the arguments that program must get
    LAUNCHERS = [("runVelkaran", ENTRY, ["580"]), ("Velkaran", UPDATE, [])]

    # name, launcher arguments, stand-in body, whether it runs to its end
    ROWS = [
        ("plain run", [], "", True),
        ("launcher arguments change nothing", ["x", "; touch pwned", "$(id)"], "", True),
        ("failing program", [], "exit 7", False),
        ("program killed by a signal", [], "kill -KILL $$", False),
        ("program that is not executable", [], NOT_EXECUTABLE, False),
        ("missing program", [], MISSING, False),
        ("program that takes its time", [], "sleep 0.5", True),
    ]

    def test_rows(self):
        for launcher, started, expected_args in self.LAUNCHERS:
            for name, args, body, ends in self.ROWS:
                with self.subTest(launcher=launcher, row=name):
                    fresh_root()
                    if body is NOT_EXECUTABLE:
                        stand_in(started)
                        os.chmod(started, 0o644)
                    elif body is not MISSING:
                        stand_in(started, body)
                    result = run(launcher, args=args, cwd=ROOT)
                    self.assertEqual(result.returncode, 0)
                    self.assertEqual(result.stdout, b"")
                    self.assertFalse(os.path.exists(os.path.join(ROOT, "pwned")))
                    if body is MISSING or body is NOT_EXECUTABLE:
                        self.assertEqual(log(), [])
                        self.assertNotEqual(result.stderr, b"")  # the shell's own complaint
                        continue
                    # Started once with exactly these arguments, and waited for to its end.
                    self.assertEqual(runs(log()), [(expected_args, ends)])

    def test_interrupt_ends_the_started_program_and_the_launcher_exits_0(self):
        for launcher, started, _ in self.LAUNCHERS:
            with self.subTest(launcher):
                fresh_root()
                # The stand-in becomes the sleep, and the interrupt is sent only once the sleep
                # runs: a shell interrupted before it would wait for nothing.
                stand_in(started, "exec sleep 60")
                process = subprocess.Popen(
                    [os.path.join(BIN, launcher)], start_new_session=True,
                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                deadline = time.monotonic() + 30
                while not sleeping_in(process.pid) and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertIsNone(process.poll())  # still waiting for the program it started
                os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C hits the foreground group
                self.assertEqual(process.wait(timeout=30), 0)
                self.assertEqual(runs(log()), [(["580"] if launcher == "runVelkaran" else [],
                                                False)])

    def test_whole_chain_passes_the_standard_streams_through(self):
        fresh_root()
        shutil.copy(os.path.join(BIN, "Velkaran"), ENTRY)
        stand_in(UPDATE, 'read line; echo "update read: $line"; echo "update complains" >&2')
        result = run("runVelkaran", b"from the operator\nrest\n")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"update read: from the operator\n")
        self.assertEqual(result.stderr, b"update complains\n")
        self.assertEqual(runs(log()), [([], True)])


if __name__ == "__main__":
    main()

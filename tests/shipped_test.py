"""The shipped binaries themselves, on their real paths below /usr/bin/data.

They run in a private mount namespace with a fresh tmpfs at /usr/bin/data, so the host's own
/usr/bin/data is never seen or touched. Where the host has no /usr/bin/data, an overlay of /usr/bin,
visible only inside the namespace, provides the mount point.
"""

import os
import shutil
import subprocess
import unittest

from harness import PROMPT, SWITCHED, WRONG, cannot_run, enter_private_mounts, mount, read, run
from harness import main

BIN = os.environ["VELKARAN_SHIPPED_BIN"]
ROOT = os.environ["VELKARAN_SHIPPED_ROOT"]
SCRATCH = os.path.join(os.environ["VELKARAN_BUILD_DIR"], "testing", "shipped")
DEFAULT_ROOT = "/usr/bin/data"
MODE = os.path.join(ROOT, "vornek", "swich_Velkaran.txt")
UPDATE = os.path.join(ROOT, "vornek", "quandrel", "dist", "quandrel")

NO_MOUNTS = enter_private_mounts()


class Shipped(unittest.TestCase):
    needs_root = True

    @classmethod
    def setUpClass(cls):
        if ROOT != DEFAULT_ROOT:
            cannot_run(f"this build's root is {ROOT}, not {DEFAULT_ROOT}")
        if NO_MOUNTS:
            cannot_run(NO_MOUNTS)
        if not os.path.isdir(ROOT):
            os.makedirs(SCRATCH, exist_ok=True)
            mount("-t", "tmpfs", "tmpfs", SCRATCH)
            for name in ("upper", "work"):
                os.mkdir(os.path.join(SCRATCH, name))
            usr_bin = os.path.dirname(ROOT)
            mount("-t", "overlay", "overlay", "-o",
                  f"lowerdir={usr_bin},upperdir={SCRATCH}/upper,workdir={SCRATCH}/work", usr_bin)
            os.mkdir(ROOT)
        mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", ROOT)
        os.makedirs(os.path.dirname(UPDATE))
        with open(os.environ["VELKARAN_SHIPPED_KEY"], "rb") as f:
            cls.key = f.read().strip()

    def test_offswitch_switches_the_real_path(self):
        with open(MODE, "wb") as f:
            f.write(b"0")
        result = run("offswitch", b"not the key\n", directory=BIN)
        self.assertEqual((result.returncode, result.stdout, read(MODE)), (0, PROMPT + WRONG, b"0"))
        result = run("offswitch", self.key + b"\n", directory=BIN)
        self.assertEqual((result.returncode, result.stdout, read(MODE)),
                         (0, PROMPT + SWITCHED, b"1"))
        self.assertEqual(sorted(os.listdir(os.path.dirname(MODE))), ["quandrel", "swich_Velkaran.txt"])

    def test_an_install_outside_the_prefix_says_where_it_writes(self):
        # The tmpfs at the root takes what lands there; the prefix is a scratch directory.
        prefix = os.path.join(SCRATCH, "prefix")
        environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
        result = subprocess.run(["cmake", "--install", os.environ["VELKARAN_BUILD_DIR"],
                                 "--prefix", prefix], capture_output=True, text=True,
                                env=environment, check=True)
        message = " ".join(result.stderr.split())
        self.assertIn(f"writes the agent's files to {ROOT}", message)
        self.assertIn("DESTDIR", message)
        self.assertTrue(os.path.isfile(os.path.join(ROOT, "Velkaran")))
        self.assertTrue(os.path.isfile(os.path.join(prefix, "sbin", "offswitch")))

    def test_the_real_launch_chain_reaches_the_update_program(self):
        shutil.copy(os.path.join(BIN, "Velkaran"), os.path.join(ROOT, "Velkaran"))
        with open(UPDATE, "w") as f:  # a stand-in for the update program
            f.write('#!/bin/sh\necho "stand-in update program, $# arguments"\n')
        os.chmod(UPDATE, 0o755)
        result = run("runVelkaran", directory=BIN)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"stand-in update program, 0 arguments\n", b""))


if __name__ == "__main__":
    main()

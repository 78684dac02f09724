"""Reads each built binary and checks that it is built as a hardened distribution build is."""

import os
import platform
import re
import subprocess
import unittest

from harness import main

BINARIES = [os.path.join(directory, name)
            for directory in (os.environ["VELKARAN_SHIPPED_BIN"], os.environ["VELKARAN_TEST_BIN"])
            for name in ("offswitch", "runVelkaran", "Velkaran")]
# Programs with stack buffers must carry a stack protector or fortified calls; Velkaran has none.
WITH_BUFFERS = {"offswitch", "runVelkaran"}


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True,
                          check=True).stdout


class Hardening(unittest.TestCase):
    def test_binaries(self):
        for path in BINARIES:
            with self.subTest(path):
                header, dynamic = readelf("-h", path), readelf("-d", path)
                segments, symbols = readelf("-l", path), readelf("--dyn-syms", path)
                self.assertRegex(header, r"Type:\s+DYN")  # position-independent
                self.assertRegex(dynamic, r"\(FLAGS\)\s.*BIND_NOW|\(FLAGS_1\)\s.*\bNOW\b")
                self.assertEqual(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic), ["libc.so.6"])
                self.assertIn("GNU_RELRO", segments)
                stack = re.search(r"GNU_STACK(\s+\S+){5}\s+(\S+)", segments)
                self.assertIsNotNone(stack)
                self.assertNotIn("E", stack.group(2))  # no executable stack
                if os.path.basename(path) in WITH_BUFFERS:
                    self.assertRegex(symbols, r"__stack_chk_fail|__\w+_chk\b")
                if platform.machine() == "x86_64":
                    # Control-flow protection marks each function's entry. (The linker drops the
                    # file-wide IBT note when the C library's start files lack it.)
                    main = subprocess.run(["objdump", "-d", "--disassemble=main", path],
                                          capture_output=True, text=True, check=True).stdout
                    self.assertRegex(main, r"<main>:\s+\S+:\s+(\w\w )+\s*endbr64")


if __name__ == "__main__":
    main()

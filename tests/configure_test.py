"""Tests of the configure-time key handling: checking a key file, generating one, keeping it secret."""

import os
import re
import stat
import subprocess
import tempfile
import unittest

from harness import KEY

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(SOURCE, "cmake", "OffswitchKey.cmake")
BUILD = os.environ["VELKARAN_BUILD_DIR"]


def key_script(variable, path):
    return subprocess.run(["cmake", "-D", f"{variable}={path}", "-P", SCRIPT],
                          capture_output=True, text=True, check=False)


class KeyFile(unittest.TestCase):
    # name, file content, what the message must say (None: the file is accepted)
    ROWS = [
        ("exact key", KEY, None),
        ("key and line feed", KEY + b"\n", None),
        ("all of the alphabet", (b"AZaz09+/=" * 177), None),
        ("empty file", b"", "it holds 0 characters"),
        ("one character short", KEY[:-1], "it holds 1592 characters"),
        ("one character long", KEY + b"A\n", "it holds 1594 characters"),
        ("two line feeds", KEY + b"\n\n", "character 1594 is the byte 0x0a"),
        ("CR LF", KEY + b"\r\n", "character 1594 is the byte 0x0d"),
        ("NUL byte", KEY[:10] + b"\0" + KEY[11:], "character 11 is the byte 0x00"),
        ("space", KEY[:99] + b" " + KEY[100:], "character 100 is the byte 0x20"),
        ("punctuation", KEY[:500] + b"!" + KEY[501:], "character 501 is '!'"),
        ("quote", b'"' + KEY[1:], "character 1 is '\"'"),
        ("URL-safe alphabet", KEY[:-1] + b"-", "character 1593 is '-'"),
        ("non-ASCII", KEY[:-1] + b"\xc3", "character 1593 is the byte 0xc3"),
    ]

    def test_rows(self):
        with tempfile.TemporaryDirectory() as scratch:
            for name, content, complaint in self.ROWS:
                with self.subTest(name):
                    path = os.path.join(scratch, "key")
                    with open(path, "wb") as f:
                        f.write(content)
                    result = key_script("OFFSWITCH_CHECK_KEY", path)
                    if complaint is None:
                        self.assertEqual(result.returncode, 0, result.stderr)
                        continue
                    self.assertNotEqual(result.returncode, 0)
                    message = " ".join(result.stderr.split())
                    self.assertIn("OFFSWITCH_KEY_FILE", message)
                    self.assertIn(complaint, message)
                    self.assertIn("Expected one line of exactly 1593 characters", message)

    def test_generated_keys_are_fresh_private_and_well_formed(self):
        with tempfile.TemporaryDirectory() as scratch:
            keys = []
            for name in ("first", "second"):
                path = os.path.join(scratch, name)
                self.assertEqual(key_script("OFFSWITCH_GENERATE_KEY", path).returncode, 0)
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
                with open(path, "rb") as f:
                    keys.append(f.read())
                self.assertRegex(keys[-1], rb"^[A-Za-z0-9+/]{1593}\n$")
                self.assertEqual(key_script("OFFSWITCH_CHECK_KEY", path).returncode, 0)
            self.assertNotEqual(keys[0], keys[1])

    def test_the_key_stays_out_of_commands_logs_and_cache(self):
        header = os.path.join(BUILD, "testing", "generated", "offswitch_key.h")
        self.assertEqual(stat.S_IMODE(os.stat(header).st_mode), 0o600)
        with open(header, "rb") as f:
            self.assertIn(KEY, f.read())
        with open(os.environ["VELKARAN_SHIPPED_KEY"], "rb") as f:
            needles = [KEY[:64], f.read()[:64]]
        for top, dirs, files in os.walk(BUILD):
            dirs[:] = [d for d in dirs if d != "Testing"]  # test logs may quote the test key
            for name in files:
                if re.search(r"\.(make|txt|cmake|ninja|json|log|rsp)$|^Makefile$", name):
                    with open(os.path.join(top, name), "rb") as f:
                        content = f.read()
                    for needle in needles:
                        self.assertNotIn(needle, content, os.path.join(top, name))


if __name__ == "__main__":
    unittest.main()

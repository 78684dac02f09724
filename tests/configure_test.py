"""Tests of the configure-time key handling: checking a key file, generating one, keeping it secret."""

import os
import stat
import subprocess
import tempfile
import unittest

from harness import KEY, files_below, key_pieces, main

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(SOURCE, "cmake", "OffswitchKey.cmake")
BUILD = os.environ["VELKARAN_BUILD_DIR"]
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="


def key_script(variable, path):
    return subprocess.run(["cmake", "-D", f"{variable}={path}", "-P", SCRIPT],
                          capture_output=True, text=True, check=False)


class KeyFile(unittest.TestCase):
    # name, file content, what the message must say (None: the file is accepted)
    ROWS = [
        ("exact key", KEY, None),
        ("key and line feed", KEY + b"\n", None),
        ("all of the alphabet", ALPHABET * 24 + ALPHABET[:33], None),
        ("32 distinct characters", (ALPHABET[:32] * 50)[:1593], None),
        ("31 distinct characters", (ALPHABET[:31] * 52)[:1593], "only 31 distinct characters"),
        ("one character repeated", b"A" * 1593, "only 1 distinct characters"),
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

    def test_no_piece_of_a_key_is_in_the_build_tree_but_its_key_file(self):
        shipped_key = os.environ["VELKARAN_SHIPPED_KEY"]
        with open(shipped_key, "rb") as f:
            shipped = f.read().strip()
        test_key = os.path.join(BUILD, "testing", "offswitch.key")
        # Headers, objects, binaries, make files, caches, manual pages and packages alike. The
        # tests' own logs may quote the test key, never the shipped one.
        skip = {shipped_key, test_key, os.path.join(BUILD, "Testing")}
        self.assertEqual(list(key_pieces(files_below(BUILD, skip), [KEY, shipped])), [])
        self.assertEqual(list(key_pieces(files_below(os.path.join(BUILD, "Testing")),
                                         [shipped])), [])
        for path in (shipped_key, test_key):
            if path.startswith(BUILD + "/"):  # a key file of the operator's is theirs to keep
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)


if __name__ == "__main__":
    main()

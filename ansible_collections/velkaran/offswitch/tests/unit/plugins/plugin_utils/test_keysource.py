# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Where the key comes from: every kind of source, and the warning for a loose key file."""

import os
import tempfile
import unittest

from ansible_collections.velkaran.offswitch.plugins.plugin_utils.keysource import read_source

KEY = b"Ab+/=9" * 265 + b"xyz"
VAULT = b"$ANSIBLE_VAULT;1.1;AES256\n6162\n"


def decrypt(path, data):
    if data != VAULT:
        raise ValueError("Decryption failed (no vault secrets were found that could decrypt)")
    return KEY + b"\n"


class Sources(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.TemporaryDirectory()
        self.addCleanup(self.top.cleanup)
        os.chmod(self.top.name, 0o700)

    def file(self, content, mode=0o600):
        path = os.path.join(self.top.name, "key")
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, mode)
        return path

    def pipe(self, content):
        read, write = os.pipe()
        os.write(write, content)
        os.close(write)
        self.addCleanup(os.close, read)
        return f"/dev/fd/{read}"

    def test_each_source(self):
        # how the source is made -> the key or the words of why not
        for name, source, words in [
                ("a key file", lambda: self.file(KEY + b"\n"), None),
                ("a vault file", lambda: self.file(VAULT), None),
                ("a vault of another password", lambda: self.file(VAULT[:-2] + b"3\n"),
                 "vault secrets cannot decrypt (Decryption failed"),
                ("a pipe", lambda: self.pipe(KEY + b"\n"), None),
                ("a pipe with more than a key", lambda: self.pipe(KEY * 2), "more than 1596"),
                ("a directory", lambda: self.top.name, "is a directory"),
                ("/dev/null", lambda: "/dev/null", "is a character device"),
                ("nothing there", lambda: self.top.name + "/none", "cannot be opened"),
                ("not a key", lambda: self.file(b"hello\n"), "is not a key file")]:
            with self.subTest(name):
                key, why = read_source(source(), decrypt)[:2]
                self.assertEqual(key, None if words else KEY)
                self.assertIn(words or "no reason", why or "no reason")
                self.assertNotIn("Ab+/=9Ab", why or "")  # no piece of a key in the words

    def test_standard_input(self):
        read, write = os.pipe()
        os.write(write, KEY)
        os.close(write)
        try:
            self.assertEqual(read_source("-", decrypt, stdin=read)[:2], (KEY, None))
        finally:
            os.close(read)

    def test_a_loose_key_file_is_warned_of_and_used(self):
        for mode, warned in [(0o644, True), (0o640, True), (0o600, False), (0o400, False)]:
            with self.subTest(f"{mode:o}"):
                path = self.file(KEY, mode)
                key, warning = read_source(path, decrypt)[::2]
                self.assertEqual(key, KEY)
                self.assertEqual(warning is not None, warned, warning)
                if warned:
                    self.assertIn(f"its mode {mode:04o} lets other users read or write it",
                                  warning)
                    self.assertIn(f"chmod 600 {path}", warning)
                os.unlink(path)
        os.chmod(self.top.name, 0o777)
        self.assertIn("can be written by other users", read_source(self.file(KEY), decrypt)[2])


if __name__ == "__main__":
    unittest.main()

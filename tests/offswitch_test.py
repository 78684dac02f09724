"""Black-box tests of offswitch: the dialogue, the matching of the key, and the mode file."""

import os
import pty
import resource
import select
import stat
import threading
import unittest

from harness import KEY, MODE, PROMPT, ROOT, SWITCHED, VORNEK, WRONG
from harness import fresh_root, read, run, temporaries, write


def flip_case(data, at):
    """DATA with the first letter at or after AT in the other case."""
    while not chr(data[at]).isalpha():
        at += 1
    return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]


def changed(data, at):
    return data[:at] + (b"B" if data[at:at + 1] != b"B" else b"C") + data[at + 1:]


class Dialogue(unittest.TestCase):
    def setUp(self):
        fresh_root()

    def test_prompt_is_on_the_terminal_before_input_is_read(self):
        pid, terminal = pty.fork()
        if pid == 0:
            path = os.path.join(os.environ["VELKARAN_TEST_BIN"], "offswitch")
            os.execv(path, [path])
        shown = b""
        expected = PROMPT.replace(b"\n", b"\r\n")  # the terminal turns a line feed into CR LF
        while len(shown) < len(expected) and select.select([terminal], [], [], 10)[0]:
            shown += os.read(terminal, 4096)
        self.assertEqual(shown, expected)
        os.write(terminal, KEY + b"\n")
        answer = b""
        while not answer.endswith(b"\r\n" + SWITCHED.replace(b"\n", b"\r\n")):
            if not select.select([terminal], [], [], 10)[0]:
                break
            answer += os.read(terminal, 4096)
        # The key is echoed as typed, then the answer follows on its own line.
        self.assertEqual(answer, KEY + b"\r\n" + SWITCHED.replace(b"\n", b"\r\n"))
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0)
        os.close(terminal)
        self.assertEqual(read(MODE), b"1")

    # name, standard input, whether it is the key
    ENTRIES = [
        ("key and line feed", KEY + b"\n", True),
        ("mixed leading white space", b" \t\r\n\v\f\n  " + KEY + b"\n", True),
        ("trailing text on the line", KEY + b" and more\nnext line\n", True),
        ("CR LF", KEY + b"\r\n", True),
        ("end of input right after the key", KEY, True),
        ("key then tab", KEY + b"\tx", True),
        ("one character missing", KEY[:-1] + b"\n", False),
        ("first character missing", KEY[1:] + b"\n", False),
        ("one character added", KEY + b"A\n", False),
        ("one letter in the other case", flip_case(KEY, 800) + b"\n", False),
        ("one byte changed at the start", changed(KEY, 0) + b"\n", False),
        ("one byte changed at the end", changed(KEY, len(KEY) - 1) + b"\n", False),
        ("NUL after the key", KEY + b"\0tail\n", False),
        ("NUL in place of the last byte", KEY[:-1] + b"\0\n", False),
        ("key and text filling the buffer exactly", KEY + b"x" * 24 + b"\n", False),
        ("entry past the buffer beginning with the key", KEY + b"x" * 100 + b"\n", False),
        ("a megabyte entry of keys", KEY * 700, False),
        ("empty input", b"", False),
        ("white space only", b" \n\t\r\n", False),
        ("the key on the second token", b"x " + KEY + b"\n", False),
    ]

    def test_only_the_exact_key_switches(self):
        for name, entry, is_key in self.ENTRIES:
            with self.subTest(name):
                fresh_root()
                write(MODE, b"0")
                before = os.stat(MODE)
                result = run("offswitch", entry)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, PROMPT + (SWITCHED if is_key else WRONG))
                self.assertEqual(result.stderr, b"")
                self.assertEqual(read(MODE), b"1" if is_key else b"0")
                self.assertEqual(os.stat(MODE).st_ino != before.st_ino, is_key)
                self.assertEqual(temporaries(), [])


def limit(which, value):
    return lambda: resource.setrlimit(which, (value, value))


def close_fd(fd):
    return lambda: os.close(fd)


class ModeFile(unittest.TestCase):
    """Every row runs the real key; the row says what stands at the path and what must follow."""

    def mode_dir_missing(self):
        os.rmdir(VORNEK)

    def other_content(self):
        write(MODE, b"0\nsecond line\n", 0o600)

    def symbolic_link(self):
        write(os.path.join(ROOT, "elsewhere"), b"keep")
        os.symlink(os.path.join(ROOT, "elsewhere"), MODE)

    def dangling_link(self):
        os.symlink(os.path.join(ROOT, "nowhere"), MODE)

    def empty_directory(self):
        os.mkdir(MODE)

    def full_directory(self):
        os.mkdir(MODE)
        write(os.path.join(MODE, "inside"), b"keep")

    def debris_of_a_killed_run(self):
        write(MODE, b"0")
        write(os.path.join(VORNEK, ".swich_Velkaran.txt.aaaaaaaaaaaa"), b"")

    def old_file(self):
        write(MODE, b"0")

    OK, SILENT = PROMPT + SWITCHED, PROMPT
    # name, setup, umask, extra process settings, status, standard output, new file's mode (None:
    # no new file, and nothing below the root may have changed)
    ROWS = [
        ("mode file missing", None, 0o022, {}, 0, OK, 0o644),
        ("other content", other_content, 0o022, {}, 0, OK, 0o644),
        ("owner and permissions from this run", other_content, 0o077, {}, 0, OK, 0o600),
        ("symbolic link is replaced, not followed", symbolic_link, 0o022, {}, 0, OK, 0o644),
        ("dangling symbolic link", dangling_link, 0o022, {}, 0, OK, 0o644),
        ("empty directory at the path", empty_directory, 0o022, {}, 0, OK, 0o644),
        ("debris of a killed run", debris_of_a_killed_run, 0o022, {}, 0, OK, 0o644),
        ("standard output closed", old_file, 0o022, {"preexec_fn": close_fd(1)}, 0, b"", 0o644),
        ("standard error closed", old_file, 0o022, {"preexec_fn": close_fd(2)}, 0, OK, 0o644),
        ("directory missing", mode_dir_missing, 0o022, {}, 1, SILENT, None),
        ("non-empty directory at the path", full_directory, 0o022, {}, 1, SILENT, None),
        ("write fails (file size limit)", old_file, 0o022,
         {"preexec_fn": limit(resource.RLIMIT_FSIZE, 0)}, 1, SILENT, None),
        ("creation fails (no descriptors left)", old_file, 0o022,
         {"preexec_fn": limit(resource.RLIMIT_NOFILE, 4)}, 1, SILENT, None),
    ]

    def snapshot(self):
        """Everything below the root: path -> (type, bytes)."""
        seen = {}
        for top, dirs, files in os.walk(ROOT):
            for name in dirs + files:
                path = os.path.join(top, name)
                seen[path] = (stat.S_IFMT(os.lstat(path).st_mode),
                              os.readlink(path) if os.path.islink(path) else read(path))
        return seen

    def test_rows(self):
        for name, setup, umask, extra, status, shown, new_mode in self.ROWS:
            with self.subTest(name):
                fresh_root()
                if setup:
                    setup(self)
                before = self.snapshot()
                debris = temporaries()
                result = run("offswitch", KEY + b"\n", umask=umask, **extra)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, shown)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(temporaries(), debris)
                if new_mode is None:
                    self.assertEqual(self.snapshot(), before)
                    continue
                info = os.lstat(MODE)
                self.assertTrue(stat.S_ISREG(info.st_mode))
                self.assertEqual(stat.S_IMODE(info.st_mode), new_mode)
                self.assertEqual(read(MODE), b"1")
                # Nothing else below the root changed: a link's target is never written.
                after = self.snapshot()
                for path in set(before) - {MODE} | set(after) - {MODE}:
                    self.assertEqual(after.get(path), before.get(path), path)

    def test_a_reader_never_finds_the_file_absent_or_partial(self):
        fresh_root()
        write(MODE, b"1")
        seen, done = set(), threading.Event()

        def poll():
            while not done.is_set():
                try:
                    seen.add(read(MODE))
                except OSError as error:
                    seen.add(error.strerror)

        reader = threading.Thread(target=poll)
        reader.start()
        try:
            for _ in range(300):
                self.assertEqual(run("offswitch", KEY + b"\n").returncode, 0)
        finally:
            done.set()
            reader.join()
        self.assertEqual(seen, {b"1"})
        self.assertEqual(temporaries(), [])


if __name__ == "__main__":
    unittest.main()

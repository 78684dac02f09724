"""Black-box tests of offswitch: the dialogue, the matching of the key, and the mode file."""

import fcntl
import itertools
import os
import pty
import random
import resource
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import BIN, KEY, MODE, PROMPT, ROOT, SWITCHED, VORNEK, WRONG
from harness import NOBODY, enter_private_mounts, fresh_root, let_nobody_reach, main, mount
from harness import nobody_can_reach, read, run
from harness import BUILD, SANITIZED, cannot_run, temporaries, write

# Before any thread starts; None, or why the rows that mount file systems are skipped.
NO_MOUNTS = enter_private_mounts()


def flip_case(data, at):
    """DATA with the first letter at or after AT in the other case."""
    while not chr(data[at]).isalpha():
        at += 1
    return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]


def changed(data, at):
    return data[:at] + (b"B" if data[at:at + 1] != b"B" else b"C") + data[at + 1:]


PASTE_START, PASTE_END = b"\x1b[200~", b"\x1b[201~"
MARKER = b"MARKER\n"  # typed once everything else was, for the shell to count what came before


def wrapped(data, width, line_break):
    """DATA as the lines of a wrapped view, each with its line break."""
    return [data[i:i + width] + line_break for i in range(0, len(data), width)]


def leave_terminal(setting):
    """Leaves standard input as another program may: non-blocking, or without canonical input
    and with VMIN 0."""
    if setting == "non-blocking":
        os.set_blocking(0, False)
    elif setting == "raw":
        attributes = termios.tcgetattr(0)
        attributes[3] &= ~termios.ICANON
        attributes[6][termios.VMIN], attributes[6][termios.VTIME] = 0, 0
        termios.tcsetattr(0, termios.TCSANOW, attributes)


class Dialogue(unittest.TestCase):
    def setUp(self):
        fresh_root()

    def test_prompt_is_on_the_terminal_before_input_is_read(self):
        pid, terminal = pty.fork()
        if pid == 0:
            path = os.path.join(BIN, "offswitch")
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

    # name, how the shell leaves the terminal, the pieces typed or pasted (a few hundredths of a
    # second apart), whether it is the key. Where the shell leaves the terminal non-blocking or
    # without canonical input, the key comes half a second after the prompt.
    TYPED = [
        ("wrong key and a command", None, [b"wrongkey touch /tmp/x\n"], False),
        ("the key and a command", None, [KEY + b" touch /tmp/x\n"], True),
        ("the key twice", None, [KEY + b" " + KEY + b"\n"], True),
        ("a 3000-character token and a command", None, [b"A" * 3000 + b" touch /tmp/x\n"], False),
        ("the key late, non-blocking terminal", "non-blocking", [KEY + b"\n"], True),
        ("the key late in two pieces, no canonical input, VMIN 0", "raw",
         [KEY[:800], KEY[800:] + b"\n"], True),
        ("the key wrapped at 76 columns", None, [b"".join(wrapped(KEY, 76, b"\n"))], False),
        ("the key wrapped at 64 columns, CR LF, line by line, no last line break", None,
         wrapped(KEY, 64, b"\r\n")[:-1] + [KEY[len(KEY) // 64 * 64:]], False),
        ("the key as a bracketed paste, then Enter", None, [PASTE_START + KEY + PASTE_END, b"\n"],
         True),
        ("a bracketed paste ending in a line break", None, [PASTE_START + KEY + b"\n" + PASTE_END],
         True),
    ]

    def test_nothing_typed_or_pasted_is_left_for_the_shell(self):
        for name, setting, pieces, is_key in self.TYPED:
            with self.subTest(name):
                fresh_root()
                pid, terminal = pty.fork()
                if pid == 0:  # as the operator's shell: run the switch, then see what is left
                    try:
                        leave_terminal(setting)
                        status = subprocess.run([os.path.join(BIN, "offswitch")],
                                                check=False).returncode
                        # Everything typed from now until the marker reaches the shell: pieces
                        # of a paste that came after offswitch ended are counted too.
                        leave_terminal("raw")
                        os.write(1, b"\nstatus %d ready\n" % status)
                        left = b""
                        while MARKER not in left and select.select([0], [], [], 10)[0]:
                            left += os.read(0, 4096)
                        os.write(1, b"\nleft %d\n" % left.find(MARKER))
                    finally:
                        os._exit(0)
                seen = b""
                while PROMPT.split(b"\n")[-1] not in seen:
                    self.assertTrue(select.select([terminal], [], [], 10)[0], seen)
                    seen += os.read(terminal, 4096)
                if setting:
                    time.sleep(0.5)
                    while select.select([terminal], [], [], 0)[0]:
                        try:
                            seen += os.read(terminal, 4096)
                        except OSError:  # the shell has ended
                            break
                    self.assertNotIn(b"status", seen)  # still waiting for the key
                for piece in pieces:
                    os.write(terminal, piece)
                    time.sleep(0.05)
                while b"ready" not in seen.split(b"status")[-1]:
                    if not select.select([terminal], [], [], 10)[0]:
                        break
                    seen += os.read(terminal, 4096)
                os.write(terminal, MARKER)
                while b"left" not in seen.split(b"ready")[-1] or not seen.endswith(b"\n"):
                    if not select.select([terminal], [], [], 10)[0]:
                        break
                    try:
                        seen += os.read(terminal, 4096)
                    except OSError:
                        break
                os.waitpid(pid, 0)
                os.close(terminal)
                self.assertIn(b"\r\nstatus 0 ready\r\n", seen)
                self.assertIn(b"\r\nleft 0\r\n", seen.split(b"ready")[-1])
                self.assertIn((SWITCHED if is_key else WRONG).replace(b"\n", b"\r\n"), seen)
                self.assertEqual(read(MODE), b"1" if is_key else None)

    def test_a_non_blocking_pipe_waits_for_the_key(self):
        fresh_root()
        reader, writer = os.pipe()
        os.set_blocking(reader, False)
        process = subprocess.Popen([os.path.join(BIN, "offswitch")], stdin=reader,
                                   stdout=subprocess.PIPE)
        os.close(reader)
        time.sleep(0.5)
        self.assertIsNone(process.poll())
        os.write(writer, KEY + b"\n")
        os.close(writer)
        self.assertEqual((process.communicate(timeout=60)[0], process.returncode),
                         (PROMPT + SWITCHED, 0))

    # name, what the file holds, what the next reader of the file must get
    FOLLOWING = [
        ("line of the key", KEY + b" rest of the line\nnext line\n", b" rest of the line\nnext line\n"),
        ("wrong key after blank lines", b"\n\n  wrong\tnext\n", b"\tnext\n"),
        ("token past the first block", b"\n" * 5000 + b"wrong\nnext", b"\nnext"),
        ("refused entry", b"A" * 1618 + b"BC\n", b"BC\n"),
        ("end of file after the key", KEY, b""),
    ]

    def test_what_follows_the_entry_in_a_file_is_left_for_the_next_reader(self):
        with tempfile.TemporaryDirectory(dir=BUILD) as scratch:
            for name, content, following in self.FOLLOWING:
                with self.subTest(name):
                    fresh_root()
                    path = os.path.join(scratch, "input")
                    write(path, content)
                    with open(path, "rb") as f:
                        result = subprocess.run(
                            ["/bin/sh", "-c", '"$0"; cat', os.path.join(BIN, "offswitch")],
                            stdin=f, capture_output=True, timeout=60, check=False)
                    answer = SWITCHED if content.startswith(KEY) else WRONG
                    self.assertEqual(result.stdout, PROMPT + answer + following)

    def test_endless_and_huge_entries_are_refused_at_once(self):
        fresh_root()
        with tempfile.TemporaryDirectory(dir=BUILD) as scratch:
            huge = os.path.join(scratch, "huge")
            write(huge, KEY * (64 * 1024 * 1024 // len(KEY) + 1))
            for name, source in [("/dev/zero", "/dev/zero"), ("64 MiB token in a file", huge)]:
                with self.subTest(name), open(source, "rb") as f:
                    result = subprocess.run([os.path.join(BIN, "offswitch")], stdin=f,
                                            capture_output=True, timeout=60, check=False)
                    self.assertEqual((result.returncode, result.stdout), (0, PROMPT + WRONG))
            with self.subTest("64 MiB token through a pipe"):
                result = run("offswitch", b"A" * (64 * 1024 * 1024))
                self.assertEqual((result.returncode, result.stdout), (0, PROMPT + WRONG))

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


FULL = os.open("/dev/full", os.O_WRONLY)  # every write fails with ENOSPC


def limit(which, value):
    return lambda: resource.setrlimit(which, (value, value))


def close_fd(fd):
    return lambda: os.close(fd)


def root_only(setup):
    """Marks a situation that only root can set up: a file system mounted, another user, a file
    attribute."""
    setup.needs_root = True
    return setup


def needs_root(row):
    return getattr(row[1], "needs_root", False)


class Situations:
    """What may stand at the mode file's path. Every row enters the real key; it says what stands
    at the path and what must follow."""

    def need_mounts(self):
        if NO_MOUNTS:
            cannot_run(NO_MOUNTS)

    def need_nobody(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the switch as the user nobody")
        if not nobody_can_reach(VORNEK):
            cannot_run(f"the user nobody cannot reach {VORNEK}")

    def tmpfs(self, options):
        self.need_mounts()
        mount("-t", "tmpfs", "-o", "mode=0755," + options, "tmpfs", VORNEK)

    # Setups, one per situation.
    def mode_dir_missing(self):
        os.rmdir(VORNEK)

    def old_file(self):
        write(MODE, b"0")

    def no_old_file(self):
        pass  # the directory alone

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

    @root_only
    def read_only(self):
        self.need_mounts()
        write(MODE, b"0")
        mount("--bind", VORNEK, VORNEK)
        mount("-o", "remount,bind,ro", VORNEK)

    @root_only
    def out_of_blocks(self):  # one page, taken by the old file
        self.tmpfs("size=4k")
        write(MODE, b"0")

    @root_only
    def out_of_blocks_empty_file(self):  # one page, taken by another file
        self.tmpfs("size=4k")
        write(MODE, b"")
        write(os.path.join(VORNEK, "other"), b"x")

    @root_only
    def out_of_blocks_no_file(self):
        self.tmpfs("size=4k")
        write(os.path.join(VORNEK, "other"), b"x")

    @root_only
    def out_of_inodes(self):  # the directory and the old file
        self.tmpfs("nr_inodes=2")
        write(MODE, b"0")

    @root_only
    def nobody_owns_file_only(self):
        self.need_nobody()
        write(MODE, b"0\n")
        os.chown(MODE, 65534, 65534)

    @root_only
    def nobody_owns_nothing(self):
        self.need_nobody()
        write(MODE, b"0")

    @root_only
    def nobody_owns_directory(self):
        self.need_nobody()
        write(MODE, b"0")
        os.chown(VORNEK, 65534, 65534)

    @root_only
    def sticky_directory(self):  # nobody may add files, but not replace root's
        self.need_nobody()
        write(MODE, b"0", 0o666)
        os.chmod(VORNEK, 0o1777)

    @root_only
    def nobody_may_write_but_not_list(self):
        self.need_nobody()
        write(MODE, b"0")
        os.chmod(VORNEK, 0o733)

    @root_only
    def nobody_may_only_write(self):
        self.need_nobody()
        write(MODE, b"0")
        os.chmod(VORNEK, 0o333)

    @root_only
    def hard_link_no_room(self):
        self.out_of_blocks()
        os.link(MODE, os.path.join(VORNEK, "second name"))

    @root_only
    def hard_link_not_writable(self):
        self.need_nobody()
        write(MODE, b"0", 0o666)
        os.link(MODE, os.path.join(VORNEK, "second name"))

    @root_only
    def append_only(self):
        write(MODE, b"0\nsecond line\n")
        subprocess.run(["chattr", "+a", VORNEK], check=True)

    @root_only
    def append_only_no_file(self):
        subprocess.run(["chattr", "+a", VORNEK], check=True)

    OK, SILENT = PROMPT + SWITCHED, PROMPT
    # name, setup, process settings, status, standard output, what becomes of the mode file:
    #   "new": a new regular file holding "1", owned by the runner, with the row's permissions;
    #   "in place": the same file holding "1", its owner and permissions kept;
    #   "unchanged": nothing below the root changed.
    ROWS = [
        ("mode file missing", None, {}, 0, OK, "new", 0o644),
        ("other content", other_content, {}, 0, OK, "new", 0o644),
        ("permissions from this run", other_content, {"umask": 0o077}, 0, OK, "new", 0o600),
        ("symbolic link is replaced, not followed", symbolic_link, {}, 0, OK, "new", 0o644),
        ("dangling symbolic link", dangling_link, {}, 0, OK, "new", 0o644),
        ("empty directory at the path", empty_directory, {}, 0, OK, "new", 0o644),
        ("debris of a killed run", debris_of_a_killed_run, {}, 0, OK, "new", 0o644),
        ("standard output closed", old_file, {"preexec_fn": close_fd(1)}, 0, b"", "new", 0o644),
        ("standard output full", old_file, {"stdout": FULL}, 0, None, "new", 0o644),
        ("standard error closed", old_file, {"preexec_fn": close_fd(2)}, 0, OK, "new", 0o644),
        ("standard input closed", old_file, {"preexec_fn": close_fd(0)}, 0, PROMPT + WRONG,
         "unchanged", None),
        ("directory missing", mode_dir_missing, {}, 1, SILENT, "unchanged", None),
        ("non-empty directory at the path", full_directory, {}, 1, SILENT, "unchanged", None),
        ("write fails (file size limit)", old_file,
         {"preexec_fn": limit(resource.RLIMIT_FSIZE, 0)}, 1, SILENT, "unchanged", None),
        ("creation fails (no descriptors left)", old_file,
         {"preexec_fn": limit(resource.RLIMIT_NOFILE, 4)}, 1, SILENT, "unchanged", None),
        ("read-only file system", read_only, {}, 1, SILENT, "unchanged", None),
        ("out of blocks", out_of_blocks, {}, 0, OK, "in place", 0o644),
        ("out of blocks, empty old file", out_of_blocks_empty_file, {}, 1, SILENT, "unchanged",
         None),
        ("out of blocks, no old file", out_of_blocks_no_file, {}, 1, SILENT, "unchanged", None),
        ("out of inodes", out_of_inodes, {}, 0, OK, "in place", 0o644),
        ("as nobody: only the file writable", nobody_owns_file_only, NOBODY, 0, OK, "in place",
         0o644),
        ("as nobody: nothing writable", nobody_owns_nothing, NOBODY, 1, SILENT, "unchanged", None),
        ("as nobody: directory writable", nobody_owns_directory, NOBODY, 0, OK, "new", 0o644),
        ("as nobody: sticky directory, root's writable file", sticky_directory, NOBODY, 0, OK,
         "in place", 0o666),
        ("as nobody: directory writable, not readable", nobody_may_write_but_not_list, NOBODY, 0,
         OK, "new", 0o644),
        ("as nobody: directory writable only", nobody_may_only_write, NOBODY, 0, OK, "new", 0o644),
        ("hard-linked mode file, no room", hard_link_no_room, {}, 1, SILENT, "unchanged", None),
        ("as nobody: hard-linked writable file", hard_link_not_writable, NOBODY, 1, SILENT,
         "unchanged", None),
        ("append-only directory", append_only, {}, 0, OK, "in place", 0o644),
        ("append-only directory, no old file", append_only_no_file, {}, 1, SILENT, "unchanged",
         None),
    ]

    def snapshot(self):
        """Everything below the root: path -> (type, permissions, owner, inode, bytes or target)."""
        seen = {}
        for top, dirs, files in os.walk(ROOT):
            for name in dirs + files:
                path = os.path.join(top, name)
                info = os.lstat(path)
                seen[path] = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode), info.st_uid,
                              info.st_ino,
                              os.readlink(path) if stat.S_ISLNK(info.st_mode) else read(path))
        return seen

    def run_rows(self, fs, rows):
        for name, setup, settings, status, shown, outcome, mode in rows:
            with self.subTest(f"{fs}: {name}"):
                fresh_root()
                if setup:
                    setup(self)
                before = self.snapshot()
                debris = temporaries()
                result = run("offswitch", KEY + b"\n", **{"umask": 0o022, **settings})
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, shown)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(temporaries(), debris)
                after = self.snapshot()
                if outcome == "unchanged":
                    self.assertEqual(after, before)
                    continue
                kind, permissions, owner, inode, content = after[MODE]
                self.assertEqual((kind, permissions, content), (stat.S_IFREG, mode, b"1"))
                old = before.get(MODE)
                if outcome == "in place":
                    self.assertEqual((owner, inode), old[2:4])
                else:
                    self.assertEqual(owner, settings.get("user", os.geteuid()))
                    self.assertTrue(old is None or inode != old[3])
                # Nothing else below the root changed: a link's target is never written.
                for path in (set(before) | set(after)) - {MODE}:
                    self.assertEqual(after.get(path), before.get(path), path)

    # Faults injected into the real program's system calls by strace: name, setup, injections,
    # whether it runs as nobody, status, standard output, and what the mode file then holds.
    # (Append-only rows go straight to the in-place rewrite.)
    FAULTS = [
        ("no fault", old_file, [], False, 0, OK, b"1"),
        # A failed poll leaves it to the read, which takes the key.
        ("EINVAL on the poll", old_file, ["/^p?poll$:error=EINVAL"], False, 0, OK, b"1"),
        ("ENOMEM on the poll", no_old_file, ["/^p?poll$:error=ENOMEM"], False, 0, OK, b"1"),
        ("short write", old_file, ["pwrite64:retval=0"], False, 1, SILENT, b"0"),
        ("EIO on the write", old_file, ["pwrite64:error=EIO"], False, 1, SILENT, b"0"),
        ("EIO on the file sync", old_file, ["fsync:error=EIO:when=1"], False, 1, SILENT, b"0"),
        ("EIO on the rename", old_file, ["/^renameat2?$:error=EIO"], False, 1, SILENT, b"0"),
        ("EXDEV on the rename", old_file, ["/^renameat2?$:error=EXDEV"], False, 1, SILENT,
         b"0"),
        ("EIO on the directory sync", old_file, ["fsync:error=EIO:when=2"], False, 1, SILENT,
         b"1"),
        ("EIO on the sync of a write-only directory", nobody_may_only_write, ["syncfs:error=EIO"],
         True, 1, SILENT, b"1"),
        ("in place: short write", append_only, ["pwrite64:retval=0"], False, 1, SILENT,
         b"0\nsecond line\n"),
        ("in place: EIO on the data sync", append_only, ["fdatasync:error=EIO"], False, 1, SILENT,
         b"1\nsecond line\n"),
        ("in place: EIO on the cut", append_only, ["ftruncate:error=EIO"], False, 1, SILENT,
         b"1\nsecond line\n"),
        ("in place: EIO on the file sync", append_only, ["fsync:error=EIO"], False, 1, SILENT,
         b"1"),
    ]


class ModeFile(Situations, unittest.TestCase):
    def test_rows(self):
        self.run_rows("build tree", [row for row in self.ROWS if not needs_root(row)])

    def test_concurrent_switches_are_atomic_to_a_reader(self):
        fresh_root()
        write(MODE, b"1")
        seen, done = set(), threading.Event()

        def poll():
            while not done.is_set():
                try:
                    seen.add(read(MODE))
                except OSError as error:
                    seen.add(error.strerror)

        def switch(_):
            return run("offswitch", KEY + b"\n").returncode

        reader = threading.Thread(target=poll)
        reader.start()
        try:
            with ThreadPoolExecutor(max_workers=4) as pool:  # four switches at a time
                statuses = list(pool.map(switch, range(40 if SANITIZED else 300)))
        finally:
            done.set()
            reader.join()
        self.assertEqual(set(statuses), {0})
        self.assertEqual(seen, {b"1"})
        self.assertEqual(temporaries(), [])

    def test_interrupted_switches_leave_no_debris(self):
        fresh_root()
        rng = random.Random(20261208)
        for _ in range(30 if SANITIZED else 200):
            write(MODE, b"0")
            process = subprocess.Popen([os.path.join(BIN, "offswitch")], stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL)
            process.stdin.write(KEY + b"\n")
            process.stdin.close()
            time.sleep(rng.uniform(0, 0.004))
            process.send_signal(rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP]))
            process.wait()
            self.assertIn(read(MODE), (b"0", b"1"))
        self.assertEqual(temporaries(), [])


class ModeFileAsRoot(Situations, unittest.TestCase):
    needs_root = True

    @classmethod
    def setUpClass(cls):
        if not NO_MOUNTS:
            let_nobody_reach(ROOT)

    # The rows that need root run on the build tree's own file system; then every row runs on
    # images of real file systems on loop devices, mounted at the private root in this test's
    # mount namespace (not in the sanitizer pass: the file systems take the same code paths).
    FILE_SYSTEMS = [] if SANITIZED else [("ext4", ["mkfs.ext4", "-q", "-F"]),
                                         ("xfs", ["mkfs.xfs", "-q", "-f"])]

    def test_rows(self):
        self.run_rows("build tree", [row for row in self.ROWS if needs_root(row)])
        for fs, mkfs in self.FILE_SYSTEMS:
            with self.subTest(fs):
                self.mount_image(mkfs)
                try:
                    self.run_rows(fs, self.ROWS)
                finally:
                    fresh_root()
                    subprocess.run(["umount", ROOT], check=True)

    def mount_image(self, mkfs):
        self.need_mounts()
        if not os.path.exists("/dev/loop-control") or not shutil.which(mkfs[0]):
            cannot_run(f"no loop device or no {mkfs[0]} to make a {mkfs[0][5:]} image")
        fresh_root()
        image = os.path.join(BUILD, "testing", "image")
        with open(image, "wb") as f:
            f.truncate(320 << 20)  # sparse; xfs needs 300 MiB at least
        subprocess.run([*mkfs, image], check=True, capture_output=True)
        mount("-o", "loop", image, ROOT)
        os.unlink(image)  # the loop device keeps it until the unmount

    def test_injected_faults(self):
        if not shutil.which("strace"):
            cannot_run("strace is not installed")
        # LeakSanitizer, in the sanitizer build, cannot run under a tracer.
        environment = {**os.environ,
                       "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        for name, setup, injections, as_nobody, status, shown, content in self.FAULTS:
            with self.subTest(name):
                fresh_root()
                setup(self)  # a row as nobody skips there when nobody cannot run the switch
                others = {p: v for p, v in self.snapshot().items() if p != MODE}
                command = ["strace", "-qq", "-o", "/dev/null", *(["-u", "nobody"] * as_nobody),
                           *(f"--inject={i}" for i in injections), os.path.join(BIN, "offswitch")]
                result = subprocess.run(command, input=KEY + b"\n", capture_output=True,
                                        timeout=60, check=False, umask=0o022, env=environment)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (status, shown, b""))
                self.assertEqual(read(MODE), content)
                self.assertEqual(temporaries(), [])
                self.assertEqual({p: v for p, v in self.snapshot().items() if p != MODE}, others)


WHITE = b" \t\n\v\f\r"


def token(data):
    """The entry as the switch must read it: the first white-space-delimited token."""
    data = data.lstrip(WHITE)
    end = next((i for i, byte in enumerate(data) if byte in WHITE), len(data))
    return data[:end]


def hostile_entries(rng):
    """A few thousand entries built around the key, and random bytes."""
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="
    anything = bytes(range(256))
    for _ in range(600):
        at = rng.randrange(len(KEY))
        yield KEY[:at] + bytes([rng.choice(anything)]) + KEY[at + 1:]  # one byte changed
        yield KEY[:at] + bytes([rng.choice(alphabet)]) + KEY[at:]  # one byte inserted
        yield KEY[:at] + KEY[at + 1:]  # one byte dropped
        yield flip_case(KEY, rng.randrange(len(KEY) - 40))
    for length in list(range(0, 40)) + list(range(len(KEY) - 40, len(KEY))):
        yield KEY[:length]  # prefixes
    for length in range(1, 1618 - len(KEY) + 40):  # suffixes up to past the buffer
        yield KEY + bytes(rng.choice(alphabet) for _ in range(length))
        yield KEY + bytes(rng.choice(anything) for _ in range(length))
    for _ in range(300):
        yield bytes(rng.choice(anything) for _ in range(rng.randrange(3000)))


class HostileInput(unittest.TestCase):
    def test_only_the_exact_key_matches_and_every_run_ends_normally(self):
        fresh_root()
        write(MODE, b"0")
        entries = hostile_entries(random.Random(1593))
        # The sanitizer pass takes every 19th: a step prime to the generator's cycles (of 4 and
        # 2 entries), so that the sample holds every kind of entry.
        for entry in itertools.islice(entries, 0, None, 19) if SANITIZED else entries:
            matches = token(entry) == KEY
            result = run("offswitch", entry + b"\n")
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (0, PROMPT + (SWITCHED if matches else WRONG), b""), entry)
            self.assertEqual(read(MODE), b"1" if matches else b"0", entry)
            if matches:
                write(MODE, b"0")


if __name__ == "__main__":
    main()

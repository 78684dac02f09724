"""Shared helpers of the black-box tests: the programs under test, their private root, and runs."""

import ctypes
import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ["VELKARAN_TEST_BIN"]
ROOT = os.environ["VELKARAN_TEST_ROOT"]
BUILD = os.environ["VELKARAN_BUILD_DIR"]
with open(os.environ["VELKARAN_TEST_KEY"], "rb") as key_file:
    KEY = key_file.read().strip()

VORNEK = os.path.join(ROOT, "vornek")
MODE = os.path.join(VORNEK, "swich_Velkaran.txt")
UPDATE = os.path.join(VORNEK, "quandrel", "dist", "quandrel")

PROMPT = (b"If you want to run norvane's emergency mode and switch the agent to off mode,\n"
          b"insert the key:")
SWITCHED = b"The mode of the agent is on off mode.\n"
WRONG = b"The key not invalid\n"


def fresh_root():
    """An empty private root holding only the vornek directory. A file system mounted at the root
    itself stays mounted, and is emptied."""
    release_mounts(VORNEK)
    if os.path.isdir(VORNEK):  # an append-only row's attribute would keep its files
        subprocess.run(["chattr", "-a", VORNEK], stderr=subprocess.DEVNULL, check=False)
    os.makedirs(ROOT, exist_ok=True)
    for name in os.listdir(ROOT):
        path = os.path.join(ROOT, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    os.makedirs(VORNEK)


def write(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    """The file's bytes, or None where there is no regular file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def run(program, stdin=b"", args=(), directory=BIN, **kwargs):
    """Runs a program of the build as a process; returns the CompletedProcess."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run([os.path.join(directory, program), *args], input=stdin, timeout=60,
                          check=False, **kwargs)


def temporaries():
    """Names in the mode file's directory that a switch may have left behind."""
    try:
        return sorted(n for n in os.listdir(VORNEK) if n.startswith(".swich_Velkaran.txt."))
    except FileNotFoundError:
        return []


# Root-only settings: a private mount namespace (the tests mount file systems that the host never
# sees), and runs as another user (root ignores permission bits, so a permission test run as root
# proves nothing).
NOBODY = {"user": 65534, "group": 65534, "extra_groups": []}
CLONE_NEWNS, MS_REC, MS_PRIVATE = 0x00020000, 0x4000, 1 << 18


def enter_private_mounts():
    """Moves this process into a private mount namespace; returns None, or why it cannot.

    Call it before any thread starts: the kernel refuses a new namespace to a threaded process."""
    if os.geteuid() != 0:
        return "needs root to mount file systems in a private mount namespace"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return ("no private mount namespace can be made (unshare: "
                f"{os.strerror(ctypes.get_errno())}; a container without CAP_SYS_ADMIN?)")
    if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        error = ctypes.get_errno()
        if error == errno.EINVAL:
            return ("/ is not a mount point (a plain chroot?), so no private mount namespace can "
                    "be made")
        return f"no private mount namespace can be made (mount: {os.strerror(error)})"
    return None


# Set to 1, rows that cannot run on this machine are skipped even when run as root.
ALLOW_SKIP = os.environ.get("VELKARAN_TEST_ALLOW_SKIP") == "1"
# The sanitizer pass: long tables are sampled, and rows are not repeated on other file systems.
SANITIZED = os.environ.get("VELKARAN_TEST_SANITIZED") == "1"


class CannotRun(AssertionError):
    pass


def cannot_run(reason):
    """Ends a test, class or row that cannot run here. Run as another user it is skipped; run as
    root, where every row can run on a real machine, it fails and names the cause, unless skips
    are allowed."""
    if os.geteuid() != 0 or ALLOW_SKIP:
        raise unittest.SkipTest(reason)
    raise CannotRun(f"cannot run: {reason}; run the tests as root on a real root file system, "
                    "or set VELKARAN_TEST_ALLOW_SKIP=1 to skip what cannot run")


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def release_mounts(below):
    """Unmounts everything mounted at or below a directory, deepest first."""
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4].encode().decode("unicode_escape") for line in f]
    for point in sorted((p for p in points if (p + "/").startswith(below + "/")), reverse=True):
        subprocess.run(["umount", "-l", point], check=True)


def let_nobody_reach(path):
    """Makes every directory above path searchable by the user nobody, in this process's private
    mount namespace alone: a checkout below /root (mode 0700) is the usual case. Each directory in
    the way is covered by a tmpfs of mode 0755 into which everything it held is bound back, so
    that nothing else changes."""
    parts = path.strip("/").split("/")
    for depth in range(1, len(parts)):
        above = "/" + "/".join(parts[:depth])
        if os.stat(above).st_mode & 0o001:
            continue
        hold = tempfile.mkdtemp(prefix="velkaran-hold-")
        mount("--bind", above, hold)
        mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", above)
        for name in os.listdir(hold):
            source, target = os.path.join(hold, name), os.path.join(above, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), target)
                continue
            if os.path.isdir(source):
                os.mkdir(target)
            else:
                open(target, "w").close()
            mount("--rbind", source, target)
        subprocess.run(["umount", hold], check=True)
        os.rmdir(hold)


def nobody_can_reach(path):
    """Whether the user nobody can search every directory down to path."""
    return subprocess.run(["/bin/sh", "-c", 'cd "$0"', path], check=False,
                          stderr=subprocess.DEVNULL, **NOBODY).returncode == 0


def key_pieces(paths, keys):
    """(path, piece) for every 64-character piece of a key found in one of the files."""
    windows = {key[i:i + 64] for key in keys for i in range(len(key) - 63)}
    for path in paths:
        with open(path, "rb") as f:
            content = f.read()
        for found in re.finditer(rb"[A-Za-z0-9+/=]{64,}", content):
            text = found.group()
            for i in range(len(text) - 63):
                if text[i:i + 64] in windows:
                    yield path, text[i:i + 64]
                    break


def files_below(top, skip=()):
    """The regular files below top, but those in skip and those of other build trees inside it."""
    for here, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if os.path.join(here, d) not in skip
                   and not os.path.exists(os.path.join(here, d, "CMakeCache.txt"))]
        for name in files:
            path = os.path.join(here, name)
            if os.path.isfile(path) and not os.path.islink(path) and path not in skip:
                yield path


# The exit status by which ctest reports a test as skipped (SKIP_RETURN_CODE).
SKIPPED = 77


def main():
    """Runs the test module's tests. With --as-root, only its classes marked needs_root: run as
    another user, that run ends with SKIPPED and says why. A run that skipped any test or row ends
    with SKIPPED too, so that ctest reports it as skipped; the reasons end its output."""
    as_root = "--as-root" in sys.argv
    if as_root and os.geteuid() != 0:
        print("skipped: these tests need root (private mount namespaces, other users, loop "
              "devices, dpkg --root)")
        sys.exit(SKIPPED)
    module = sys.modules["__main__"]

    def tests(suite):
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                yield from tests(test)
            elif getattr(type(test), "needs_root", False) == as_root:
                yield test

    # -k WORDS runs only the tests whose names hold WORDS, as unittest's own -k does.
    only = sys.argv[sys.argv.index("-k") + 1] if "-k" in sys.argv[:-1] else ""
    chosen = unittest.TestSuite(t for t in tests(unittest.defaultTestLoader.loadTestsFromModule(
        module)) if only in t.id())
    result = unittest.TextTestRunner(verbosity=2).run(chosen)
    for test, reason in result.skipped:
        print(f"skipped: {test}: {reason}")
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped:
        print(f"skipped {len(result.skipped)} of its tests or rows: ctest reports the suite as "
              "skipped")
        sys.exit(SKIPPED)

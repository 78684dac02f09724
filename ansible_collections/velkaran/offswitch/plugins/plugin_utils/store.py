# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The fleet's record on disk: one report and one retry file that every run, batch and status
read updates, merged host by host (the newest learned state wins, nothing else goes) under a lock
held only while reading, merging and writing, in a place only this user can write.

Beside the report, its lock file names the runs that use the record (process and start), so
that a run can say which other run is writing the same record. A killed run's name is dropped by
the next run that finds its process gone. Nothing here imports Ansible.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import stat
import time

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import report

LOCK_WAIT = 10  # seconds a write waits for another run's write (a merge takes milliseconds)
STATE = "~/.local/state/velkaran-offswitch"  # where a record goes that cannot stay where chosen
DONE = ("switched", "off")  # the outcomes of a host known to be off


def lock_path(report_file):
    directory, name = os.path.split(report_file)
    return os.path.join(directory, f".{name}.lock")


def _why_not_here(path):
    """Why the file at path may not be kept there: its directory can be written by other users
    (who could plant a file, a link or a lock there) or not by this one, or another user's file
    or a link is in its place; None when it may."""
    directory = os.path.dirname(path)
    try:
        st = os.stat(directory)
    except OSError as e:
        return f"{directory}: {e.strerror}"
    if st.st_uid != os.geteuid() and st.st_uid != 0:
        return f"{directory} belongs to user {st.st_uid}"
    if st.st_mode & 0o022:
        return f"other users may write {directory}"
    if not os.access(directory, os.W_OK | os.X_OK):
        return f"{directory} cannot be written"
    for name in (path, lock_path(path)):
        try:
            st = os.lstat(name)
        except FileNotFoundError:
            continue
        except OSError as e:
            return f"{name}: {e.strerror}"
        if stat.S_ISLNK(st.st_mode):
            return f"{name} is a symbolic link"
        if not stat.S_ISREG(st.st_mode):
            return f"{name} is not a regular file"
        if st.st_uid != os.geteuid():
            return f"{name} belongs to user {st.st_uid}"
    return None


def private_state():
    """The directory of this user's own records, made if missing: owned by this user, mode
    0700. Raises OSError if it cannot be."""
    directory = os.path.expanduser(STATE)
    os.makedirs(directory, mode=0o700, exist_ok=True)
    st = os.lstat(directory)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid():
        raise OSError(errno.EPERM, f"{directory} is not a directory of this user's")
    if st.st_mode & 0o077:
        os.chmod(directory, 0o700)
    return directory


def place(path):
    """(where the file chosen at path is kept, why not at path or None): a path only this user
    can write, so that no other user can stop or delay the run by planting a file, a link or a
    lock there; never through another user's file."""
    why = _why_not_here(path)
    if why is None:
        return path, None
    return os.path.join(private_state(), path.strip("/").replace("/", "_")), why


def _started(pid):
    """The start time of process pid, in clock ticks since boot; None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            return int(f.read().rpartition(")")[2].split()[19])
    except (OSError, ValueError, IndexError):
        return None


def now():
    """The time a state is learned: UTC, to the millisecond, ordered as text."""
    stamp = time.time()
    return (time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(stamp))
            + f".{int(stamp * 1000) % 1000:03d}Z")


def merge(existing, ours):
    """The record after ours: each host's newest learned state, in the order hosts first came;
    no host of existing is dropped."""
    merged = {}
    for e in list(existing) + list(ours):
        old = merged.get(e["host"])
        if old is None or str(e.get("time", "")) >= str(old.get("time", "")):
            merged[e["host"]] = e
    return list(merged.values())


class Store:
    """One report and its retry file, shared with other runs."""

    def __init__(self, report_file, retry_file):
        self.report = report_file
        self.retry = retry_file
        self.lock = lock_path(report_file)
        self.held = None  # the last record this run wrote, and when: what the files hold
        self.held_at = None
        self.aside = None  # where a report that held no record was moved, to start anew

    def _locked(self):
        """The lock file's descriptor, held exclusively; raises OSError past LOCK_WAIT."""
        fd = os.open(self.lock, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid():
                raise OSError(errno.EPERM, f"{self.lock} is not this user's lock file")
            deadline = time.monotonic() + LOCK_WAIT
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    return fd
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        raise OSError(errno.EWOULDBLOCK, f"{self.lock} stayed locked for "
                                                         f"{LOCK_WAIT} s") from None
                    time.sleep(0.01)
        except BaseException:
            os.close(fd)
            raise

    @staticmethod
    def _runs(fd):
        """The runs the lock file names whose processes are still there."""
        os.lseek(fd, 0, os.SEEK_SET)
        try:
            runs = json.loads(os.read(fd, 1 << 20) or b"[]")
        except ValueError:
            return []
        return [r for r in runs if isinstance(r, dict) and isinstance(r.get("pid"), int)
                and _started(r["pid"]) == r.get("ticks")]

    @staticmethod
    def _set_runs(fd, runs):
        data = json.dumps(runs).encode()
        os.lseek(fd, 0, os.SEEK_SET)
        os.ftruncate(fd, 0)
        while data:
            data = data[os.write(fd, data):]

    def join(self, since):
        """Names this run among the record's users; returns the others: [(pid, since)]."""
        fd = self._locked()
        try:
            others = [r for r in self._runs(fd) if r["pid"] != os.getpid()]
            self._set_runs(fd, others + [{"pid": os.getpid(), "ticks": _started(os.getpid()),
                                          "since": since}])
            return [(r["pid"], r.get("since", "?")) for r in others]
        finally:
            os.close(fd)

    def leave(self):
        """Drops this run from the record's users."""
        try:
            fd = self._locked()
        except OSError:
            return
        try:
            self._set_runs(fd, [r for r in self._runs(fd) if r["pid"] != os.getpid()])
        except OSError:
            pass  # its entry goes with the process anyway
        finally:
            os.close(fd)

    def _read(self):
        """The record on disk, [] when there is none; raises OSError if it is not one."""
        try:
            fd = os.open(self.report, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except FileNotFoundError:
            return []
        with os.fdopen(fd, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid():
                raise OSError(errno.EPERM, "it is not this user's regular file: not replaced")
            try:
                entries = json.loads(f.read() or b"[]")
            except ValueError:
                entries = None
        if not isinstance(entries, list) or not all(
                isinstance(e, dict) and isinstance(e.get("host"), str) for e in entries):
            # Not a record (cut short by hand, another program's file): kept beside it, never
            # lost, and the record starts anew rather than stop the switch.
            self.aside = f"{self.report}.not-a-record.{now()}"
            os.rename(self.report, self.aside)
            return []
        return entries

    def write(self, entries):
        """Merges entries into the record and replaces the report and the retry file with the
        result; returns the record written. Raises OSError, with the path as its filename."""
        try:
            fd = self._locked()
        except OSError as e:
            raise OSError(e.errno, f"its lock {self.lock}: {e.strerror}", self.report) from None
        try:
            try:
                merged = merge(self._read(), entries)
            except OSError as e:
                e.filename = self.report
                raise
            retry = "".join(f"{e['host']}\n" for e in merged if e.get("outcome") not in DONE)
            report.replace_files([(self.report, json.dumps(merged, indent=4) + "\n"),
                                  (self.retry, retry)])
            self.held, self.held_at = merged, now()
            return merged
        finally:
            os.close(fd)

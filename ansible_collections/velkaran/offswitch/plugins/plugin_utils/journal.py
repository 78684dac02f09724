# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The record of a run as a journal: every targeted host is on disk as pending before the first
key leaves the control machine, and each entry is replaced as its host's result comes back.

The table lives in ansible-playbook's main process and is changed only by its main thread (the
callback and the signal handler); one writer thread puts it on disk. The two share no lock, so
that a signal handler, which interrupts the main thread anywhere, can never wait for a lock the
main thread holds: the main thread counts its changes, the writer copies the table and says
which count it has written, and whoever must know that a change is on disk waits for that count.
Nothing here imports Ansible.
"""

from __future__ import annotations

import threading
import time

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import report, store
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    interrupted, pending)

POLL = 0.1  # seconds between the writer's looks at the table: changes within one are coalesced


class Admission:
    """What the main process tells each host's action, which the forked worker inherits: whether
    the record of this run is kept, for which hosts, or why the run is refused; and each host's key,
    read once, by the host's name. They are in this process's memory only: no task argument,
    variable, fact, result or queue carries them."""

    def __init__(self, hosts=(), kept=False, refusal=None, keys=None, halt=None):
        self.hosts = frozenset(hosts)
        self.kept = kept
        self.refusal = refusal
        self.keys = dict(keys or {})
        # One shared byte (an anonymous shared mapping, made before any worker was forked): 1
        # once the record cannot be written, after which no worker sends the key.
        self.halt = halt

    def halted(self):
        return self.halt is not None and self.halt[0] != 0


# Set by the callback in the main process before any worker is forked for the switch; None when
# the callback is not running.
ADMISSION = None


class Journal:
    """Every targeted host's entry, in the order of the inventory, and the report and retry file
    each belongs to."""

    def __init__(self, files, started, halt=None, pending_first=True):
        self.files = dict(files)  # host -> (report, retry)
        self.stores = {pair: store.Store(*pair) for pair in dict.fromkeys(self.files.values())}
        learned = store.now()
        # A run that sends the key has every host pending before the first is sent; a status
        # has a host only once it was read.
        self.entries = {host: report.entry(host, pending(started), learned)
                        for host in self.files} if pending_first else {}
        self.version = 0  # changes made; only the main thread counts
        self.written = -1  # the last version on disk; only the writer sets it
        self.errors = {}  # path -> why it could not be written, as of the last write
        self.halt = halt  # set to 1 once a write failed: see Admission
        self._write = lambda pair, group: self.stores[pair].write(group)
        self._closing = False
        self._thread = None

    def set(self, host, fields):
        """Records what came back for host; a host outside the record is left out."""
        if host in self.files:
            self.entries[host] = report.entry(host, fields, store.now())
            self.version += 1

    def stop(self, signame):
        """Every host whose result had not come back, as interrupted by signame."""
        self.settle(interrupted(signame))

    def settle(self, fields):
        """Every host whose result had not come back, as fields say."""
        learned = store.now()
        for host, entry in list(self.entries.items()):
            if entry["outcome"] == "pending":
                self.entries[host] = report.entry(host, fields, learned)
        self.version += 1

    def snapshot(self):
        return list(dict(self.entries).values())

    def groups(self, entries):
        """entries by the (report, retry) they belong to."""
        grouped = {}
        for e in entries:
            grouped.setdefault(self.files[e["host"]], []).append(e)
        return grouped

    def write(self):
        """Puts the table as it is now on disk; returns the version written. Run by one thread
        at a time: the writer, or the main thread before the writer starts."""
        version = self.version  # read first: the copy is at least this new
        errors = {}
        for pair, group in self.groups(self.snapshot()).items():
            try:
                self._write(pair, group)
            except OSError as e:
                errors[e.filename or pair[0]] = e.strerror or str(e)
        self.errors = errors
        if errors and self.halt is not None:
            self.halt[0] = 1
        self.written = version
        return version

    def start(self):
        """Starts the writer, which puts every change on disk within about POLL seconds."""
        self._thread = threading.Thread(target=self._writer, name="offswitch-journal",
                                        daemon=True)
        self._thread.start()

    def _writer(self):
        while not self._closing:
            time.sleep(POLL)
            if self.written != self.version:
                self.write()

    def flush(self, timeout):
        """Waits until the table as it is now is on disk, for at most timeout seconds; returns
        whether it is. Polls, so that a signal handler may call it."""
        target = self.version
        deadline = time.monotonic() + timeout
        while self.written < target:
            if self._thread is None or not self._thread.is_alive():
                self.write()
            elif time.monotonic() > deadline:
                return False
            else:
                time.sleep(0.01)
        return True

    def close(self, timeout):
        """Puts the last changes on disk and ends the writer; returns whether they are."""
        done = self.flush(timeout)
        self._closing = True
        if self._thread is not None:
            self._thread.join(timeout)
        return done

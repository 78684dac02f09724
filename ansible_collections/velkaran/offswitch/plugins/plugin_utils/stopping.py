# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""How the main process of a switch's run keeps the key to itself, and how the run ends when it
does not end by itself: a signal, an end that skips the statistics, the exit status the record
sets, and the processes a broken run would leave. Nothing here imports Ansible."""

from __future__ import annotations

import atexit
import ctypes
import logging
import os
import resource
import signal
import sys
import time

from ansible_collections.velkaran.offswitch.plugins.plugin_utils.processes import (
    descendants, signal_descendants)

# SIGQUIT (Ctrl-\) too: with no core file to write, it is one more way to stop the run.
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)
PR_SET_DUMPABLE = 4
PR_SET_CHILD_SUBREAPER = 36
GRACE = 2  # seconds the run's leftover processes have to end on SIGTERM before SIGKILL


def confine():
    """Makes this process hold a secret as ssh-agent does: no core file (RLIMIT_CORE 0, which
    every process it starts inherits, across exec too), not dumpable (no core, no ptrace or
    /proc/PID/mem by the same user; its forked workers inherit it), and the reaper of its orphans,
    so that an ssh client whose worker died is still found among its descendants. Returns None,
    or why not."""
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        libc = ctypes.CDLL(None, use_errno=True)
        for option, value in ((PR_SET_DUMPABLE, 0), (PR_SET_CHILD_SUBREAPER, 1)):
            if libc.prctl(option, value, 0, 0, 0) != 0:
                error = ctypes.get_errno()
                raise OSError(error, os.strerror(error))
    except (OSError, ValueError, AttributeError) as e:
        return f"this process cannot be kept out of core dumps ({e})"
    return None


def stop_descendants(pid, grace=GRACE):
    """Ends every process below pid: SIGTERM, then SIGKILL to those left after grace seconds."""
    signal_descendants(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and _running(descendants(pid)):
        time.sleep(0.05)
    signal_descendants(pid, signal.SIGKILL)


def _running(pids):
    """Whether any of pids is running still (a zombie has ended)."""
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
                if f.read().rpartition(")")[2].split()[0] != "Z":
                    return True
        except (OSError, IndexError):
            continue
    return False


class Stops:
    """Handlers for SIGNALS that call on_stop(signame) once, in the main process, then do what
    would have happened without them: ansible-core's own handler (SIGINT ends the run as Ctrl-C
    does; 2.19's and later's SIGTERM handler also stops the workers), else the signal's default
    action. A hang-up ends the run as SIGTERM does. An ignored signal (nohup) stays ignored."""

    def __init__(self, on_stop):
        self._on_stop = on_stop
        self._pid = os.getpid()
        self._previous = {}
        self.stopping = False

    def install(self):
        for signum in SIGNALS:
            previous = signal.getsignal(signum)
            if previous is not signal.SIG_IGN and previous is not None:
                self._previous[signum] = previous
                signal.signal(signum, self._handle)

    def restore(self):
        """Puts the handlers found at install back; returns them."""
        previous, self._previous = self._previous, {}
        if os.getpid() == self._pid:
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        return previous

    def _handle(self, signum, frame):
        if os.getpid() != self._pid:  # a worker forked with this handler: as if it were not here
            self._chain(signum, frame, self._previous)
            return
        if self.stopping:  # a second signal while the first is handled: let it finish
            return
        self.stopping = True
        try:
            self._on_stop(signal.Signals(signum).name)
        finally:
            self._chain(signum, frame, self.restore())

    def _chain(self, signum, frame, handlers):
        previous = handlers.get(signum, signal.SIG_DFL)
        if signum == signal.SIGHUP and callable(handlers.get(signal.SIGTERM)):
            previous, signum = handlers[signal.SIGTERM], signal.SIGTERM
        if callable(previous):
            previous(signum, frame)
            return
        if os.getpid() == self._pid:
            # No handler of ansible-core's (2.14) stops the workers: they and their ssh clients
            # would go on, after the run, until their own bound.
            stop_descendants(self._pid)
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)


class Ending:
    """The end of ansible-playbook's main process, after every callback has had the end of the
    run: the last words of a run that ended without its statistics (an error of Ansible's, a
    worker that died), the processes such a run left, and the exit status the record sets where
    Ansible's own would be 0 but must not be.

    The status is set from an exit handler with os._exit, the one way to change it once
    ansible-playbook has called sys.exit; before that, the handler does what the interpreter's
    exit would have done for it: it flushes standard output and error and shuts logging down."""

    def __init__(self, on_exit):
        self._on_exit = on_exit
        self._pid = os.getpid()
        self.status = 0
        self.reap = False  # whether to stop what the run left: once the key may have been sent
        atexit.register(self._at_exit)

    def _at_exit(self):
        if os.getpid() != self._pid:
            return
        try:
            self._on_exit()
        finally:
            if self.reap:
                stop_descendants(self._pid)
            if self.status:
                for stream in (sys.stdout, sys.stderr):
                    try:
                        stream.flush()
                    except Exception:  # pylint: disable=broad-except
                        pass  # a closed pipe: the status still counts
                logging.shutdown()
                os._exit(self.status)  # pylint: disable=protected-access

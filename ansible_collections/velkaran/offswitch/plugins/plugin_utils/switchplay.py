# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The switch's play in ansible-playbook's main process: its hosts, their files and keys, the
journal, what is said and the status the record gives the run.

Nothing here imports Ansible: the callback hands in what it read of the run (the hosts, their
files and keys), where lines go (say) and where the custom statistic goes (stats), so that every
sequence of a play's events is a row of a unit test.
"""

from __future__ import annotations

import json
import mmap
import time

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal, report
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.store import DONE
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.keysource import wipe
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    foreign, not_run, not_sent)

FLUSH_TIMEOUT = 5  # seconds a stop or the end waits for the record to reach the disk
NOT_RUN = ("the switch did not run on this host (--start-at-task, --skip-tags, or the play ended "
           "before it): not switched")
NOT_READ = "the status did not read this host (the play ended before it)"
NEVER_SENT = ("the play ended before the key was sent to this host (an earlier task failed on it, "
              "or serial, max_fail_percentage or any_errors_fatal ended the play): not switched")
STAT = "offswitch"  # the custom statistic's name
# The stdout callbacks that print lines for a person, beside which the record's lines belong on
# standard output; under any other, standard output is the callback's own.
HUMAN = {"default", "minimal", "oneline", "awx_display"}


class Say:
    """Where the record's lines go: standard output beside a stdout callback for people,
    standard error beside any other; errors always to standard error. write(text, stderr) is
    Ansible's display."""

    def __init__(self, stdout_callback, write):
        name = str(stdout_callback or "default")
        self.human = name.removeprefix("ansible.builtin.") in HUMAN
        self.stopping = False
        self._write = write

    def line(self, text):
        self._say(text, stderr=not self.human)

    def error(self, text):
        self._say(text, stderr=True)

    def document(self, value):
        """A stopped run's record as one line of JSON on standard output, under a stdout
        callback that is not for people and never reached the end of the run to print its
        own."""
        if not self.human:
            self._say(json.dumps(value, sort_keys=True), stderr=False)

    def _say(self, text, stderr):
        try:
            self._write(text, stderr=stderr)
        except Exception:  # pylint: disable=broad-except
            # A signal that lands in a write to the same stream (a reentrant call), or a
            # terminal gone with a hang-up: the record is on disk, and the run must still end.
            if not self.stopping:
                raise


class SwitchPlay:
    """One play that runs the switch.

    files: host -> (report, retry), in the play's order; keys: host -> the key (a bytearray,
    shared by the hosts of one key file); no_host_files: the play's own (report, retry) when it
    has no host, None when they are not known; say: line(text), error(text) and document(obj);
    stats: set(name, value); forks: the run's forks; moved: {path chosen: (path kept, why)} for
    the record's files that could not stay where they were chosen."""

    def __init__(self, files, keys=None, *, say, stats, forks, no_host_files=None, moved=None,
                 status=False):
        self.status = status  # a status: reads each host's mode file, sends nothing
        self.done = "off" if status else "switched"
        self.files = dict(files)
        self.moved = dict(moved or {})
        self.keys = dict(keys or {})
        self.say = say
        self.stats = stats
        self.forks = forks
        self.no_host_files = no_host_files
        self.no_hosts = not self.files
        self.check = False
        self.journal = None
        self.refusal = None
        self.stopped = None
        self.entries = {}  # the custom statistic, a view of the journal: host -> entry
        self._say_entries(not_run(NOT_READ if status else NOT_RUN))
        journal.ADMISSION = journal.Admission(keys=self.keys)

    # The play's events

    def refuse(self, why):
        """Refuses every host before any is contacted: each host's action fails with why, and
        the record stays as it was."""
        if self.refusal is None:
            self.refusal = why
            self.say.error(f"Refusing to switch any host off: {why}")
        journal.ADMISSION = journal.Admission(refusal=self.refusal)
        self.wipe()

    def start(self, check):
        """Before the first host is queued: the journal on disk with every host pending, and the
        admission that lets each host's action send the key. A record that cannot be written
        refuses every host."""
        if check and not self.check:
            self.check = True
            self._say_entries(not_run("check mode: nothing was sent"))
        if check or self.no_hosts or self.refusal or self.journal is not None:
            self.stats.set(STAT, self.entries)
            return
        started = time.strftime("%Y-%m-%d %H:%M:%S %z")
        self._say_where()
        halt = mmap.mmap(-1, 1)  # shared with every worker forked from here on
        record = journal.Journal(self.files, started, halt, pending_first=not self.status)
        for item in record.stores.values():
            try:
                others = item.join(started)
            except OSError:
                continue  # said by the write below
            for pid, since in others:
                self.say.error(f"the record {item.report} is in use by another run too: process "
                               f"{pid}, since {since}; the hosts of both are kept in it")
        record.write()
        if record.errors:
            for item in record.stores.values():
                item.leave()
            why = "; ".join(f"{path}: {error}" for path, error in record.errors.items())
            self.refuse(f"the record cannot be written ({why}), so the key is not sent; fix "
                        "that, or name other files with -e offswitch_report=FILE "
                        "-e offswitch_retry=FILE")
            return
        self.journal = record
        record.start()
        self._sync_entries()
        self.stats.set(STAT, self.entries)
        journal.ADMISSION = journal.Admission(self.files, kept=True, keys=self.keys, halt=halt)
        if self.forks < len(self.files):
            batches = -(-len(self.files) // self.forks)
            self.say.error(f"{len(self.files)} hosts, {self.forks} at a time (forks): up to "
                           f"{batches} batches one after another, each bounded by "
                           "offswitch_timeout plus the connect timeout plus 10 s; give -f "
                           f"{len(self.files)} (AWX: the job template's forks) to switch them all "
                           "at once")

    def came_back(self, host, fields):
        """A host's result of the switch."""
        if host not in self.entries or self.stopped:
            return
        if self.journal is None:  # check mode, or refused: what the action says
            if "outcome" in fields:
                self._set_stat(report.entry(host, fields))
            return
        self.journal.set(host, fields if "outcome" in fields else foreign(fields))
        if host in self.journal.entries:
            self._set_stat(self.journal.entries[host])

    def stop(self, why):
        """The run ends before the play does (a signal, an error of Ansible's): the hosts whose
        results had not come back are written as interrupted, and the summary is said."""
        if self.stopped:
            return
        self.stopped = why
        self.wipe()
        if self.journal is None:  # nothing was sent
            self._say_left_alone()
            return
        self.journal.stop(why)
        self._sync_entries()
        written = self.journal.flush(FLUSH_TIMEOUT)
        self._leave()
        self.say.error(f"the run was stopped ({why})")
        self._summary(self.journal.snapshot())
        self._say_written(written)
        # What a machine-readable stdout callback would have printed at the end, which a
        # stopped run never reaches.
        self.say.document({STAT: self.entries, "stopped": why})

    def end(self):
        """The summary and the files' lines at the end of the play; returns the run's status as
        the record sees it: 0 when every host was switched (or --check)."""
        self.wipe()
        if self.stopped:
            return 1
        if self.no_hosts:
            self.say.line("no host matched: nothing was switched")
            self._say_left_alone()
            return 1
        if self.journal is None:
            self.stats.set(STAT, self.entries)
            if self.refusal:
                self.say.error(f"nothing was sent: {self.refusal}")
            else:
                self._summary([{"host": host, **e} for host, e in self.entries.items()])
            self._say_left_alone()
            return 0 if self.check and not self.refusal else 2
        self.journal.settle(not_sent(NEVER_SENT))
        self._sync_entries()
        written = self.journal.close(FLUSH_TIMEOUT)
        self._leave()
        entries = self.journal.snapshot()
        if self.status:
            for line in report.status_summary(entries):
                self.say.line(line)
        else:
            self._summary(entries)
        if self._say_written(written):
            return 1
        return 2 if len(entries) < len(self.files) or any(
            e["outcome"] != self.done for e in entries) else 0

    def wipe(self):
        """Wipes every key in place and drops them: no later fork holds one."""
        for key in {id(k): k for k in self.keys.values()}.values():
            wipe(key)
        self.keys = {}
        admission = journal.ADMISSION
        if admission is not None:
            admission.keys = {}

    def _leave(self):
        for item in self.journal.stores.values():
            item.leave()

    # What is said

    def _say_where(self):
        """Where the record is kept, said before the first key is sent."""
        for chosen, (kept, why) in sorted(self.moved.items()):
            self.say.error(f"{chosen} is not used ({why}): this run keeps it in {kept}")
        for report_file, retry_file in dict.fromkeys(self.files.values()):
            self.say.line(f"the record is kept in {report_file}, the hosts not known to be off "
                          f"in {retry_file}")

    def _set_stat(self, entry):
        """The host's entry in the statistic, and under a key of the host's own: AWX merges the
        artifacts of a workflow's nodes (a sliced job's slices) key by key, the last node's
        value winning, so only keys of their own keep every slice's hosts."""
        host = entry["host"]
        self.entries[host] = {k: v for k, v in entry.items() if k != "host"}
        self.stats.set(f"{STAT}:{host}", self.entries[host])

    def _sync_entries(self):
        for e in self.journal.snapshot():
            self._set_stat(e)

    def _say_entries(self, fields):
        for host in self.files:
            self._set_stat(report.entry(host, fields))

    def _summary(self, entries):
        for line in report.summary(entries):
            self.say.line(line)

    def _say_written(self, written):
        """Says where the record is, or that it is not; returns whether a file failed."""
        failed = bool(self.journal.errors) or not written
        for pair, item in self.journal.stores.items():
            stale = [path for path in pair if path in self.journal.errors]
            if stale or not written:
                why = "; ".join(f"{p}: {self.journal.errors[p]}" for p in stale) or (
                    "its last write had not ended")
                held = (f"the record as this run last wrote it, at {item.held_at}"
                        if item.held_at else "the record as it was before this run")
                for path, what in zip(pair, ("report", "hosts to retry")):
                    self.say.error(f"{what} STALE in {path}: it still holds {held} ({why})")
                continue
            if item.aside:
                self.say.error(f"{item.report} held no record: it is kept as {item.aside}, and "
                               "the record started anew")
            held = item.held or []
            rest = [e for e in held if e.get("outcome") not in DONE]
            self.say.line(f"report: {item.report} ({len(held)} hosts, {len(rest)} not known to "
                          "be off)")
            self.say.line(f"hosts to retry: {item.retry}")
            if rest:
                self.say.line(f"retry them with --limit @{item.retry}")
        return failed

    def _say_left_alone(self):
        chosen = list(self.files.values()) or [self.no_host_files]
        if None in chosen:
            self.say.line("the report and the retry file of the last run that sent the key are "
                          "left as they were")
            return
        for report_file in sorted({pair[0] for pair in chosen}):
            self.say.line(f"the report of the last run that sent the key, {report_file}, is left "
                          "as it was")

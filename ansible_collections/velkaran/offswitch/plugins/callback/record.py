# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The record of a switch: the journal, the summary and the exit status, kept in
ansible-playbook's main process."""

from __future__ import annotations

DOCUMENTATION = r"""
name: record
type: aggregate
short_description: Keeps the record of velkaran.offswitch.switch_off, however the run ends
description:
  - Before the first key is sent, writes the JSON report with every targeted host as
    C(pending) and the retry file with every targeted host; replaces each host's entry as its
    result comes back (on disk within about a second); on SIGINT, SIGTERM or SIGHUP writes the
    hosts whose results had not come back as C(interrupted), prints the summary and lets the run
    end with a status that is not 0. A run killed outright leaves them C(pending).
  - At the end, prints one line for each targeted host that was not switched, with the cause,
    and the count of each outcome, and fails the run unless every targeted host was switched.
  - A run that sends nothing (C(--check), a refused run, no host matched, the switch skipped)
    leaves the report and the retry file as they were, and says so.
  - Puts every host's outcome and reason in the custom statistic C(offswitch), which
    ansible-runner's C(artifact_data) and AWX's job artifacts hold.
  - Refuses, before any host is contacted, C(--step) and the settings an earlier playbook read.
  - The action velkaran.offswitch.switch_off refuses to send the key unless this callback is
    enabled.
  - The report is a list of every targeted host with C(host), C(outcome), C(status), C(answer)
    and C(reason). The retry file lists the hosts not switched, one a line, for C(--limit @FILE).
    Both are replaced atomically by new files of mode 0600 owned by whoever runs the play; a
    symbolic link, or a file that another user owns, is never written.
  - Their paths are the host variables C(offswitch_report) (default C(offswitch-report.json))
    and C(offswitch_retry) (default C(offswitch.retry)), as Ansible resolves them for each host;
    a relative path is taken from the working directory.
requirements:
  - Enabled in C(callbacks_enabled), for example with
    C(ANSIBLE_CALLBACKS_ENABLED=velkaran.offswitch.record) in the environment.
author: Velkaran developers
"""

import atexit
import os
import signal
import sys
import time

from ansible import context
from ansible.playbook.block import Block
from ansible.plugins.callback import CallbackBase
from ansible.utils.display import Display

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal, report
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.engine import (
    Run, end_run, result_parts)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.keysource import (
    DEFAULT as DEFAULT_KEY, key_path, read_source)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import foreign, not_run
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.processes import (
    signal_descendants)

ACTION = "velkaran.offswitch.switch_off"
DEFAULTS = {"offswitch_report": "offswitch-report.json", "offswitch_retry": "offswitch.retry"}
# Settings an earlier playbook read, and what takes their place: left unread, they would be
# ignored in silence (every host switched, or none through sudo).
RETIRED = {"offswitch_hosts": "choose the hosts with --limit",
           "offswitch_become": "use -b (--become), or ansible_become in the inventory"}
display = Display()
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
FLUSH_TIMEOUT = 5  # seconds a stop or the end waits for the record to reach the disk


def chosen_files(variables):
    """(report, retry) as variables choose them, from the working directory."""
    return tuple(os.path.abspath(os.path.expanduser(str(variables.get(name, default))))
                 for name, default in DEFAULTS.items())


def is_switch(task):
    return (getattr(task, "resolved_action", None) or task.action) == ACTION


def switch_in(play):
    """Whether the play runs the switch as one of its own tasks."""
    def found(items):
        for item in items:
            if isinstance(item, Block):
                if found(item.block) or found(item.rescue) or found(item.always):
                    return True
            elif is_switch(item):
                return True
        return False
    return found(play.pre_tasks + play.tasks + play.post_tasks)


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "velkaran.offswitch.record"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._play = None
        self._status = 0  # the worst status of the switch's plays so far, as the record sees it

    # The play

    def v2_playbook_on_play_start(self, play):
        self._end_play()
        if not switch_in(play):
            return
        try:
            self._play = self._prepare(play)
        except Exception as e:  # pylint: disable=broad-except
            # Whatever keeps the record from being prepared keeps the key from being sent.
            self._play = SwitchPlay(None, {})
            self._play.refuse(f"the record of this run cannot be prepared: {e}")

    @staticmethod
    def _prepare(play):
        """The switch's play: its hosts, their files and their keys; the run ends here if it is
        refused."""
        run = Run.of_caller()
        files, refusal = {}, None
        if context.CLIARGS.get("step"):
            refusal = "--step waits for a person before each task; run it again without --step"
        key_files = {}  # each key file once, in the order of the hosts
        for host in run.hosts(play):
            variables = run.variables(play, host,
                                      list(DEFAULTS) + list(RETIRED) + ["offswitch_key_file"])
            files[host.name] = chosen_files(variables)
            key_files[key_path(variables.get("offswitch_key_file", DEFAULT_KEY))] = None
            for name, instead in RETIRED.items():
                if refusal is None and name in variables:
                    refusal = f"{name} is set (for {host.name}) but no longer read: {instead}"
        # With no host, the files that the play's own variables (-e) name.
        no_host_files = None if files else chosen_files(run.variables(play, None, list(DEFAULTS)))
        # Each key once, here, before any host is contacted: a pipe can be read only once.
        keys = {}
        for path in key_files if refusal is None else ():
            key, why, warning = read_source(path, run.decrypt)
            if key is None:
                refusal = f"the key file {path} {why}: nothing was sent"
                break
            if warning:
                display.warning(warning)
            keys[path] = key
        switch = SwitchPlay(run, files, no_host_files, keys)
        if refusal:
            switch.refuse(refusal)
        return switch

    def v2_playbook_on_no_hosts_matched(self):
        if self._play is not None:
            self._play.no_hosts = True

    def v2_playbook_on_task_start(self, task, is_conditional):
        if self._play is not None and is_switch(task):
            self._play.start(check=bool(context.CLIARGS.get("check")))

    # Each host's result

    def _result(self, result, *args, **kwargs):
        if self._play is not None:
            host, task, fields = result_parts(result)
            if is_switch(task):
                self._play.came_back(host, fields)

    v2_runner_on_ok = v2_runner_on_failed = v2_runner_on_unreachable = v2_runner_on_skipped = \
        _result

    # The end

    def v2_playbook_on_stats(self, stats):
        self._end_play()
        status, self._status = self._status, 0
        # Ansible's own status is not 0 once a host failed or was unreachable.
        if status and not (stats.failures or stats.dark):
            end_run(status)

    def _end_play(self):
        """Ends the switch's play, if one ran: at the next play, or at the end of the run."""
        if self._play is not None:
            self._status = max(self._status, self._play.end())
        self._play = None
        journal.ADMISSION = None


class SwitchPlay:
    """The switch's play in the main process: its hosts, their files, its journal."""

    def __init__(self, run, files, no_host_files=None, keys=None):
        self.run = run
        self.keys = keys or {}
        self.files = files  # host -> (report, retry), in the play's order
        self.no_host_files = no_host_files or chosen_files({})
        self.no_hosts = not files
        self.check = False
        self.journal = None
        self.entries = {}  # the custom statistic: host -> what the report says of it
        self._stopping = False
        self._previous = {}
        self._pid = os.getpid()
        self._say_entries(not_run("the switch did not run on this host (--start-at-task, "
                                  "--skip-tags, or the play ended before it): not switched"))
        journal.ADMISSION = journal.Admission(keys=self.keys)

    def refuse(self, why):
        """Refuses the run before any host is contacted: the record stays as it was."""
        journal.ADMISSION = journal.Admission(refusal=why)
        self._display_error(f"Refusing to switch any host off: {why}")
        self._say_left_alone()
        end_run(1)

    def start(self, check):
        """Before the first host is queued: the journal on disk with every host pending, the
        signal handlers in place, and the admission that lets each host's action send the key."""
        if check and not self.check:
            self.check = True
            self._say_entries(not_run("check mode: nothing was sent"))
        if check or self.no_hosts or self.journal is not None:
            return
        started = time.strftime("%Y-%m-%d %H:%M:%S %z")
        self.journal = journal.Journal(self.files, started)
        self.journal.write()
        if self.journal.errors:
            why = "; ".join(f"{path}: {error}" for path, error in self.journal.errors.items())
            self.journal = None
            self.refuse(f"the record cannot be written ({why}), so the key is not sent; fix "
                        "that, or name other files with -e offswitch_report=FILE "
                        "-e offswitch_retry=FILE")
        self.journal.start()
        atexit.register(self._at_exit)
        self._sync_entries()
        self.run.custom_stats("offswitch", self.entries)
        for signum in SIGNALS:
            previous = signal.getsignal(signum)
            if previous is not signal.SIG_IGN and previous is not None:  # nohup stays nohup
                self._previous[signum] = previous
                signal.signal(signum, self._on_signal)
        journal.ADMISSION = journal.Admission(self.files, kept=True, keys=self.keys)

    def came_back(self, host, fields):
        if host not in self.entries:
            return
        if self.journal is None:  # check mode: what the action says would have run
            if "outcome" in fields:
                self._set_stat(report.entry(host, fields))
            return
        if self._stopping:
            return
        self.journal.set(host, fields if "outcome" in fields else foreign(fields))
        self._sync_entries(host)

    def end(self):
        """The summary and the files' lines at the end of the play; returns the run's status as
        the record sees it."""
        self._restore_signals()
        if self.no_hosts:
            self._display("no host matched: nothing was switched")
            self._say_left_alone()
            return 1
        if self.journal is None:
            self.run.custom_stats("offswitch", self.entries)
            self._summary(self._not_journaled())
            self._say_left_alone()
            return 0 if self.check else 2
        written = self.journal.close(FLUSH_TIMEOUT)
        entries = self.journal.snapshot()
        self._summary(entries)
        failed = self._say_written(written)
        if failed:
            return 1
        return 2 if any(e["outcome"] != "switched" for e in entries) else 0

    def _at_exit(self):
        """An end of the run that skips the statistics (an error of Ansible's, say) still puts
        the last results on disk."""
        if os.getpid() == self._pid and self.journal is not None:
            self.journal.flush(FLUSH_TIMEOUT)

    # Signals

    def _on_signal(self, signum, frame):
        if os.getpid() != self._pid:  # a worker forked with this handler: as if it were not here
            self._chain(signum, frame)
            return
        if self._stopping:  # a second signal while the first is written: let it finish
            return
        self._stopping = True
        signame = signal.Signals(signum).name
        self.journal.stop(signame)
        self._sync_entries()
        written = self.journal.flush(FLUSH_TIMEOUT)
        try:
            self._display(f"the run was stopped ({signame})")
            self._summary(self.journal.snapshot())
            self._say_written(written)
            # Display leaves its flush to the end of the run, which a signal's default action or
            # ansible-core's own SIGTERM handler never reaches.
            sys.stdout.flush()
            sys.stderr.flush()
        except OSError:
            pass  # the terminal may be gone with the signal (SIGHUP): the record is on disk
        self._restore_signals()
        self._chain(signum, frame)

    def _chain(self, signum, frame):
        """What would have happened without this handler: ansible-core's own handler (SIGINT
        ends the run as Ctrl-C does; its SIGTERM handler also stops the workers), else the
        signal's default action. A hang-up is ended as SIGTERM is, workers included."""
        previous = self._previous.get(signum, signal.SIG_DFL)
        if signum == signal.SIGHUP and callable(self._previous.get(signal.SIGTERM)):
            previous, signum = self._previous[signal.SIGTERM], signal.SIGTERM
        if callable(previous):
            previous(signum, frame)
            return
        if os.getpid() == self._pid:
            # No handler of ansible-core's (2.14) stops the workers: they and their ssh clients
            # would go on, after the run, until their own bound.
            signal_descendants(self._pid, signal.SIGTERM)
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)

    def _restore_signals(self):
        if os.getpid() == self._pid:
            for signum, previous in self._previous.items():
                signal.signal(signum, previous)

    # What is said

    def _set_stat(self, entry):
        """The custom statistic's entry for a host: the report's, less the host's name."""
        self.entries[entry["host"]] = {k: v for k, v in entry.items() if k != "host"}

    def _sync_entries(self, host=None):
        for e in self.journal.snapshot() if host is None else [self.journal.entries[host]]:
            self._set_stat(e)

    def _say_entries(self, fields):
        for host in self.files:
            self._set_stat(report.entry(host, fields))

    def _not_journaled(self):
        return [{"host": host, **e} for host, e in self.entries.items()]

    def _summary(self, entries):
        for line in report.summary(entries, self.run.forks):
            self._display(line)

    def _say_written(self, written):
        """Says where the record is, or that it is not; returns whether a file failed."""
        failed = bool(self.journal.errors) or not written
        said = set()
        for host, (report_file, retry_file) in self.files.items():
            for path, what in ((report_file, "report"), (retry_file, "hosts to retry")):
                if path in said:
                    continue
                said.add(path)
                if path in self.journal.errors:
                    self._display_error(f"{what} NOT written to {path}: "
                                        f"{self.journal.errors[path]}")
                elif not written:
                    self._display_error(f"{what} may not be up to date in {path}: its last "
                                        "write had not ended")
                else:
                    self._display(f"{what}: {path}")
        retries = {retry for host, (_, retry) in self.files.items()
                   if self.journal.entries[host]["outcome"] != "switched"}
        for retry in sorted(retries):
            self._display(f"retry them with --limit @{retry}")
        return failed

    def _say_left_alone(self):
        chosen = self.files.values() if self.files else [self.no_host_files]
        for report_file in sorted({r for r, _ in chosen}):
            self._display(f"the report of the last run that sent the key, {report_file}, is left "
                          "as it was")

    @staticmethod
    def _display(line):
        display.display(line)

    @staticmethod
    def _display_error(line):
        display.display(line, stderr=True)

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The record of a switch: the journal, the summary and the exit status, kept in
ansible-playbook's main process."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DOCUMENTATION = r"""
name: record
type: aggregate
short_description: Keeps the fleet's record of velkaran.offswitch.switch_off and status
description:
  - Before the first key is sent, writes the JSON report with every targeted host as
    C(pending) and the retry file with every targeted host; replaces each host's entry as its
    result comes back (on disk within about a second); on SIGINT, SIGTERM, SIGHUP or SIGQUIT, or
    an end of the run that skips its statistics (an error of Ansible's, a worker that died),
    writes the hosts whose results had not come back as C(interrupted), prints the summary, stops
    the run's ssh clients and lets the run end with a status that is not 0. A run killed
    outright leaves them C(pending).
  - At the end, prints one line for each targeted host that was not switched, with the cause,
    and the count of each outcome, and fails the run unless every targeted host was switched.
    Its lines go to standard output under the default stdout callback and its look-alikes
    (C(minimal), C(oneline), ansible-runner's), and to standard error under any other, so that a
    machine-readable standard output (C(json), C(ansible.posix.jsonl), ...) stays whole.
  - Before the first key is read, makes ansible-playbook's main process non-dumpable, with no
    core file, which its workers and the ssh clients inherit; wipes the keys when the play
    ends.
  - A run that sends nothing (C(--check), a refused run, no host matched, the switch skipped)
    leaves the report and the retry file as they were, and says so.
  - Puts every host's outcome and reason in the custom statistic C(offswitch), and each host's
    under C(offswitch:HOST) too (which AWX's merge of a sliced job's artifacts keeps), which
    ansible-runner's C(artifact_data) and AWX's job artifacts hold.
  - For the playbook velkaran.offswitch.status (the action velkaran.offswitch.read_mode), sends
    nothing and brings the record up to date with what each host's mode file shows; its status
    is 0 only when every host is off.
  - Refuses, before any host is contacted, C(--step) and the settings an earlier playbook read;
    each host then fails with the reason, and nothing is sent.
  - The action velkaran.offswitch.switch_off refuses to send the key unless this callback is
    enabled.
  - The report is one record per fleet, a list of every host any run, batch or status targeted,
    with C(host), C(outcome), C(status), C(answer), C(reason) and C(time) (when it was learned);
    every run merges its hosts into it under a lock, the newest learned state of a host winning.
    The retry file lists the hosts not known to be off, one a line, for C(--limit @FILE). Both
    are replaced atomically by new files of mode 0600 owned by whoever runs the play; a symbolic
    link, or a file that another user owns, is never written.
  - A record whose directory other users may write, or whose place holds another user's file or
    a link, is kept in C(~/.local/state/velkaran-offswitch) instead, and the run says so.
  - Their paths are the host variables C(offswitch_report) (default C(offswitch-report.json))
    and C(offswitch_retry) (default C(offswitch.retry)), as Ansible resolves them for each host;
    a relative path is taken from the working directory.
requirements:
  - Enabled in C(callbacks_enabled), for example with
    C(ANSIBLE_CALLBACKS_ENABLED=velkaran.offswitch.record) in the environment.
author: Velkaran developers (@velkaran)
"""

import os
import sys

from ansible import constants as C
from ansible import context
from ansible.playbook.block import Block
from ansible.plugins.callback import CallbackBase
from ansible.utils.display import Display

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal, stopping, store
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.engine import (
    Play, Statistics, forks, play_id, result_parts)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.keysource import (
    DEFAULT as DEFAULT_KEY, key_path, read_source, wipe)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.switchplay import (
    Say, SwitchPlay)

ACTION = "velkaran.offswitch.switch_off"
READ = "velkaran.offswitch.read_mode"  # the status: no key, the hosts' own state
DEFAULTS = {"offswitch_report": "offswitch-report.json", "offswitch_retry": "offswitch.retry"}
# Settings an earlier playbook read, and what takes their place: left unread, they would be
# ignored in silence (every host switched, or none through sudo).
RETIRED = {"offswitch_hosts": "choose the hosts with --limit",
           "offswitch_become": "use -b (--become), or ansible_become in the inventory"}
display = Display()


def chosen_files(variables):
    """(report, retry) as variables choose them, from the working directory."""
    return tuple(os.path.abspath(os.path.expanduser(str(variables.get(name, default))))
                 for name, default in DEFAULTS.items())


def action_of(task):
    return getattr(task, "resolved_action", None) or task.action


def is_switch(task):
    """Whether the task is one the record keeps: the switch, or the status's reading."""
    return action_of(task) in (ACTION, READ)


def switch_in(play, actions=(ACTION, READ)):
    """Whether the play runs the switch (or another of actions) as one of its own tasks."""
    def found(items):
        for item in items:
            if isinstance(item, Block):
                if found(item.block) or found(item.rescue) or found(item.always):
                    return True
            elif action_of(item) in actions:
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
        self._source = None  # the play the switch's play is: one for all of its serial batches
        self._status = 0  # the worst status of the switch's plays so far, as the record sees it
        self._say = Say(C.DEFAULT_STDOUT_CALLBACK, display.display)
        self._stops = stopping.Stops(self._on_stop)
        self._ending = stopping.Ending(self._on_exit)

    # The play

    def v2_playbook_on_play_start(self, play):
        if self._play is not None and play_id(play) == self._source:
            return  # the next serial batch of the same play: one record for all of them
        self._end_play()
        if not switch_in(play):
            return
        self._source = play_id(play)
        self._ending.reap = True
        try:
            self._play = self._prepare(play)
        except Exception as e:  # pylint: disable=broad-except
            # Whatever keeps the record from being prepared keeps the key from being sent.
            self._play = SwitchPlay({}, say=self._say, stats=Statistics(None), forks=forks())
            self._play.no_hosts = False
            self._play.refuse(f"the record of this run cannot be prepared: {e}")
        self._stops.install()

    def _prepare(self, play):
        """The switch's play: its hosts, their files and their keys; or the reason it is
        refused, before any host is contacted."""
        run = Play(play)
        status = not switch_in(play, (ACTION,))
        files, paths, refusal = {}, {}, None
        if context.CLIARGS.get("step") and not status:
            refusal = "--step waits for a person before each task; run it again without --step"
        for host in run.host_names():
            variables = run.variables(host, list(DEFAULTS) + list(RETIRED)
                                      + ["offswitch_key_file"])
            files[host] = chosen_files(variables)
            paths[host] = key_path(variables.get("offswitch_key_file", DEFAULT_KEY))
            for name, instead in RETIRED.items() if not status else ():
                if refusal is None and name in variables:
                    refusal = f"{name} is set (for {host}) but no longer read: {instead}"
        # With no host, the files that the play's own variables (-e) name.
        no_host_files = None if files else chosen_files(run.variables(None, list(DEFAULTS)))
        # Each file where only this user can write.
        chosen = sorted({path for pair in files.values() for path in pair})
        places = {path: store.place(path) for path in chosen}
        files = {host: tuple(places[p][0] for p in pair) for host, pair in files.items()}
        moved = {path: place for path, place in places.items() if place[1] is not None}
        switch = SwitchPlay(files, say=self._say, stats=Statistics.of_dispatcher(),
                            forks=forks(), no_host_files=no_host_files, moved=moved,
                            status=status)
        if refusal is None and not status:
            refusal = stopping.confine()
        if refusal is None and not status:
            refusal = self._read_keys(run, paths, switch)
        if refusal:
            switch.refuse(refusal)
        return switch

    @staticmethod
    def _read_keys(run, paths, switch):
        """Each key file once, before any host is contacted (a pipe can be read only once), and
        each host its key; returns why not, or None."""
        keys = {}
        for host, path in paths.items():
            if path not in keys:
                key, why, warning = read_source(path, run.decrypt)
                if key is None:
                    for other in keys.values():
                        wipe(other)
                    return f"the key file {path} {why}: nothing was sent"
                if warning:
                    display.warning(warning)
                keys[path] = key
            switch.keys[host] = keys[path]
        journal.ADMISSION.keys = switch.keys
        return None

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
        # Ansible's own status is not 0 once a host failed or was unreachable; where it would be
        # 0 but the record says otherwise, the status is set after every callback had its end.
        if self._status and not (stats.failures or stats.dark):
            self._ending.status = self._status

    def _end_play(self):
        """Ends the switch's play, if one ran: at the next play, or at the end of the run."""
        self._stops.restore()
        if self._play is not None:
            self._status = max(self._status, self._play.end())
        self._play = self._source = None
        journal.ADMISSION = None

    def _on_stop(self, signame):
        """A signal stops the run: the record first, then the signal's own way."""
        self._say.stopping = True
        if self._play is not None:
            self._play.stop(signame)
        self._flush()

    def _on_exit(self):
        """The run ended without its statistics (an error of Ansible's, a worker that died)
        while the switch's play was open: its record, said, before its processes are stopped."""
        if self._play is not None:
            self._say.stopping = True
            self._play.stop("Ansible ended it with an error")
            self._play = None
            journal.ADMISSION = None
            self._flush()

    @staticmethod
    def _flush():
        # Display leaves its flush to the end of the run, which a signal's default action or
        # ansible-core's own SIGTERM handler never reaches.
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:  # pylint: disable=broad-except
                pass  # a terminal gone with a hang-up

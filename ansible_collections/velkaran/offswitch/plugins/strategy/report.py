# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The switch's play: linear, then the summary, the report and the retry file, whatever
happened to the hosts."""

from __future__ import annotations

DOCUMENTATION = r"""
name: report
short_description: Runs a play like linear, then reports what velkaran.offswitch.switch_off did
description:
  - Runs the play exactly as the linear strategy does. Then, however the play ended (every host
    failed or unreachable, C(--limit), C(--tags), C(--start-at-task), C(--check)), prints one line
    for each targeted host that was not switched, with the cause, and the count of each outcome;
    replaces the JSON report and the retry file; and makes the run fail unless every targeted host
    was switched.
  - Before any host is contacted, refuses a run that would wait for a person (the task debugger,
    the debug strategy, C(--step)) or that names a setting this collection no longer reads.
  - The report is a list of every targeted host with C(host), C(outcome), C(status), C(answer)
    and C(reason). The retry file lists the hosts not switched, one a line, for C(--limit @FILE).
    Both are replaced atomically by new files of mode 0600 owned by whoever runs the play; a
    symbolic link, or a file that another user owns, is never written.
options:
  offswitch_report:
    description: The JSON report; a relative path is taken from the working directory.
    default: offswitch-report.json
    vars:
      - name: offswitch_report
  offswitch_retry:
    description: The retry file; a relative path is taken from the working directory.
    default: offswitch.retry
    vars:
      - name: offswitch_retry
author: Velkaran developers
"""

import os

from ansible import constants as C
from ansible import context
from ansible.plugins.strategy.linear import StrategyModule as LinearStrategyModule
from ansible.template import Templar
from ansible.utils.display import Display

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import report
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    not_run, outcome)

display = Display()

ACTION = "velkaran.offswitch.switch_off"
# Settings an earlier playbook read, and what takes their place: left unread, they would be
# ignored in silence (every host switched, or none through sudo).
RETIRED = {"offswitch_hosts": "choose the hosts with --limit",
           "offswitch_become": "use -b (--become), or ansible_become in the inventory"}
DEFAULTS = {"offswitch_report": "offswitch-report.json", "offswitch_retry": "offswitch.retry"}


def _task_of(result):
    return getattr(result, "_task", None) or result.task


def _host_of(result):
    return getattr(result, "_host", None) or result.host


def _fields_of(result):
    fields = getattr(result, "_result", None)
    return dict(fields if fields is not None else result._return_data)


def _entry_fields(fields):
    """A result's fields as the report takes them. A result the action did not make (a setting
    that could not be templated, say) says Ansible's own words, on one line."""
    if "outcome" in fields:
        return fields
    msg = " ".join(str(fields.get("msg", "")).split())[:300]
    if fields.get("unreachable"):
        return outcome(failure=("connection", msg), path="offswitch", timeout=None)
    return {"outcome": "failed", "status": None, "answer": "",
            "msg": f"not switched: Ansible reports: {msg}"}


class StrategyModule(LinearStrategyModule):
    def __init__(self, tqm):
        super().__init__(tqm)
        self._switched_results = {}

    def _process_pending_results(self, iterator, *args, **kwargs):
        results = super()._process_pending_results(iterator, *args, **kwargs)
        for result in results:
            task = _task_of(result)
            if (getattr(task, "resolved_action", None) or task.action) == ACTION:
                self._switched_results[_host_of(result).name] = _fields_of(result)
        return results

    def run(self, iterator, play_context):
        play = iterator._play
        hosts = self._inventory.get_hosts(play.hosts, order=play.order)
        files, refusal = self._settings(play, hosts)
        if refusal:
            display.error(f"Refusing to switch any host off: {refusal}")
            result = self._tqm.RUN_ERROR
        else:
            result = super().run(iterator, play_context)
        why_not_run = (f"the run was refused: {refusal}" if refusal else
                       "the switch did not run on this host (--start-at-task, --skip-tags, or the "
                       "play ended before it): not switched")
        entries = {}
        for host in hosts:
            fields = self._switched_results.get(host.name)
            fields = _entry_fields(fields) if fields is not None else not_run(why_not_run)
            entries.setdefault(files[host.name], []).append(report.entry(host.name, fields))
        everything = [e for group in entries.values() for e in group]
        for line in report.summary(everything, self._tqm._forks):
            display.display(line)
        for (report_file, retry_file), group in entries.items():
            for line, failed in report.write(report_file, retry_file, group):
                display.display(line, stderr=failed)
                if failed:
                    result |= self._tqm.RUN_ERROR
        if result == self._tqm.RUN_OK and not play_context.check_mode and any(
                e["outcome"] != "switched" for e in everything):
            result = self._tqm.RUN_FAILED_HOSTS
        return result

    def _settings(self, play, hosts):
        """Each host's report and retry file, as Ansible resolves the host's variables, and why
        the run is refused, or None."""
        refusal = None
        if C.ENABLE_TASK_DEBUGGER or C.DEFAULT_STRATEGY in ("debug", "ansible.builtin.debug"):
            refusal = ("the task debugger (ANSIBLE_ENABLE_TASK_DEBUGGER, or the debug strategy in "
                       "ANSIBLE_STRATEGY) would stop the run at a prompt, waiting for a person; "
                       "run it again without them")
        elif context.CLIARGS.get("step"):
            refusal = "--step waits for a person before each task; run it again without --step"
        files = {}
        for host in hosts:
            variables = self._variable_manager.get_vars(play=play, host=host)
            templar = Templar(loader=self._loader, variables=variables)
            chosen = []
            for name, default in DEFAULTS.items():
                value = templar.template(variables.get(name, default))
                chosen.append(os.path.abspath(os.path.expanduser(str(value))))
            files[host.name] = tuple(chosen)
            for name, instead in RETIRED.items():
                if refusal is None and name in variables:
                    refusal = f"{name} is set (for {host.name}) but no longer read: {instead}"
        return files, refusal

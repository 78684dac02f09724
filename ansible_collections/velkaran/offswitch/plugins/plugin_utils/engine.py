# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What the record needs of ansible-core beyond a callback's interface, in one place.

A callback is given the play, the tasks and the results, but not the run's inventory, its
variables, its forks or its statistics, and it has no say in the exit status. Each of those is
reached here, and only here, through the names ansible-core 2.14 to 2.22 use for them; the fleet
test exercises every function on each of those releases.
"""

from __future__ import annotations

import sys

from ansible.executor.task_queue_manager import TaskQueueManager
from ansible.template import Templar


class Run:
    """The task queue manager that dispatches the callback's events, and what the record asks
    of it."""

    def __init__(self, tqm):
        self._tqm = tqm

    @classmethod
    def of_caller(cls):
        """The run whose event the calling callback method is handling: the task queue manager
        is the object whose send_callback is on the stack."""
        frame = sys._getframe(1)
        while frame is not None:
            candidate = frame.f_locals.get("self")
            if isinstance(candidate, TaskQueueManager):
                return cls(candidate)
            frame = frame.f_back
        raise RuntimeError("no task queue manager dispatches this event")

    def hosts(self, play):
        """The hosts the play targets, in its order, as --limit restricts them."""
        return self._tqm.get_inventory().get_hosts(play.hosts, order=play.order)

    def variables(self, play, host, names):
        """The variables named, as Ansible resolves and templates them for host in play; those
        not set are left out."""
        variables = self._tqm.get_variable_manager().get_vars(play=play, host=host,
                                                              include_hostvars=False)
        templar = Templar(loader=self._tqm.get_loader(), variables=variables)
        return {name: templar.template(variables[name]) for name in names if name in variables}

    def decrypt(self, data):
        """A vault's plaintext, decrypted in memory with the run's vault secrets (--vault-id,
        --vault-password-file, --ask-vault-pass, the configured ones)."""
        return self._tqm.get_loader()._vault.decrypt(data)

    @property
    def forks(self):
        return self._tqm._forks

    def custom_stats(self, key, value):
        """Sets a custom statistic of the whole run, as set_stats does: what ansible-runner's
        artifact_data and AWX's job artifacts hold."""
        self._tqm._stats.set_custom_stats(key, value)


def result_parts(result):
    """The host's name, the task and the fields of a result given to a callback: public
    properties from 2.19 on, the attributes callbacks have always read before."""
    if hasattr(result, "host") and hasattr(result, "result"):
        return result.host.name, result.task, result.result
    return result._host.name, result._task, result._result


def end_run(status):
    """Ends ansible-playbook with status. ansible-core hands a callback's Exception to a warning
    and leaves the status to the hosts' results; SystemExit passes through, past the cleanup of
    the task queue manager, to the interpreter's exit."""
    raise SystemExit(status)

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What the record reads of ansible-core, in one place: public names where ansible-core has
them, and the three private ones it has no public name for.

Private names, each with its reason; the fleet test runs every function here on ansible-core
2.14, 2.19 and 2.22:
  - VariableManager._inventory: the Host object of a host name. A callback is given the play and
    host names; a host's variables (the key file, the record's files) are resolved for a Host.
  - DataLoader._vault: decrypts a vault file in memory on releases before 2.19, which have no
    public reader that does it (get_text_file_contents, from 2.19 on).
  - Base._uuid: which play a play is. ansible-core hands each serial batch of a play to the
    callbacks as a copy of it, which keeps only this; one play is one record and one summary.
  - TaskQueueManager._stats: the run's custom statistics, set before the first host is contacted
    so that every callback, the stdout callback first, finds them at the end of the run; a
    callback is handed the statistics only in the end-of-run event itself, after the stdout
    callback.
"""

from __future__ import annotations

import sys

from ansible import context
from ansible.executor.task_queue_manager import TaskQueueManager
from ansible.template import Templar


class Play:
    """A play as the record reads it: its hosts and their variables, through the play's own
    variable manager and loader."""

    def __init__(self, play):
        self._play = play
        self._variables = play.get_variable_manager()
        self._loader = play.get_loader()

    def host_names(self):
        """The hosts the play targets, as --limit restricts them, across every serial batch."""
        variables = self._variables.get_vars(play=self._play, include_hostvars=False)
        return list(variables.get("ansible_play_hosts_all") or ())

    def variables(self, host_name, names):
        """The variables named, as Ansible resolves and templates them for the host (None: the
        play's own, -e included) in this play; those not set are left out."""
        host = None
        if host_name is not None:
            host = self._variables._inventory.get_host(host_name)  # private: see above
        variables = self._variables.get_vars(play=self._play, host=host, include_hostvars=False)
        templar = Templar(loader=self._loader, variables=variables)
        return {name: templar.template(variables[name]) for name in names if name in variables}

    def decrypt(self, path, data):
        """The plaintext of the vault file at path, whose bytes are data, decrypted in memory with
        the run's vault secrets (--vault-id, --vault-password-file, --ask-vault-pass, the
        configured ones)."""
        read = getattr(self._loader, "get_text_file_contents", None)
        if read is not None:  # 2.19 and later
            return read(path).encode("utf-8", "surrogateescape")
        return self._loader._vault.decrypt(data)  # private: see above


def play_id(play):
    """The same for every serial batch of one play, and differs between plays."""
    return play._uuid  # private: see above


def forks():
    """The forks the run was given: what ansible-playbook hands its task queue manager."""
    return int(context.CLIARGS.get("forks") or 5)


class Statistics:
    """The run's custom statistics, as set_stats sets them: what ansible-runner's artifact_data
    and AWX's job artifacts hold."""

    def __init__(self, stats):
        self._stats = stats

    @classmethod
    def of_dispatcher(cls):
        """Those of the run whose event the caller is handling: the task queue manager is the
        object whose send_callback is on the stack."""
        frame = sys._getframe(1)
        while frame is not None:
            candidate = frame.f_locals.get("self")
            if isinstance(candidate, TaskQueueManager):
                return cls(candidate._stats)  # private: see above
            frame = frame.f_back
        return cls(None)

    def set(self, key, value):
        if self._stats is not None:
            self._stats.set_custom_stats(key, value)


def result_parts(result):
    """The host's name, the task and the fields of a result given to a callback: public
    properties from 2.19 on, the attributes callbacks have always read before."""
    if hasattr(result, "host") and hasattr(result, "result"):
        return result.host.name, result.task, result.result
    return result._host.name, result._task, result._result

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Switches the Velkaran agent off on one host: runs offswitch over the connection, with the key
from a file on the control machine on its standard input, the way pipelining hands a module over.
No module and no Python run on the host, and nothing is written on either side: the key is no
task argument, variable, fact, result field or file, only the standard input of one session."""

from __future__ import annotations

import os
import shlex
import signal
import threading

from ansible import constants as C
from ansible.errors import AnsibleConnectionFailure, AnsibleError
from ansible.module_utils.common.arg_spec import ArgumentSpecValidator
from ansible.plugins.action import ActionBase

from ansible_collections.velkaran.offswitch.plugins.plugin_utils import journal
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    HALTED, failure_of, not_run, not_sent, outcome)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.processes import descendants

# The connections that hand data to the command's standard input through the session itself.
CONNECTIONS = {"ssh": "ssh", "ansible.builtin.ssh": "ssh", "local": "local",
               "ansible.builtin.local": "local"}
BECOME_METHODS = ("sudo", "ansible.builtin.sudo")
DEBUGGER_ON = ("always", "on_failed", "on_unreachable", "on_skipped")
KILL_AFTER = 5  # seconds timeout(1) waits after its TERM before it kills offswitch


def name_of(plugin):
    """A loaded plugin's name as Ansible resolved it."""
    return getattr(plugin, "ansible_name", None) or plugin._load_name


def short(name):
    return name[len("ansible.builtin."):] if name.startswith("ansible.builtin.") else name


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("path", "timeout"))
    ARGUMENT_SPEC = {
        "path": {"type": "str", "default": "/usr/sbin/offswitch"},
        "timeout": {"type": "int", "default": 30},
    }
    # An option not given as an argument is taken from its variable, as Ansible resolved it for
    # this host. The playbook gives no arguments: a template in them would be compiled, and the
    # filters loaded, in every host's worker, which costs more than the rest of the switch.
    # The key is not among them: the callback velkaran.offswitch.record reads it, once, in the
    # main process, and hands it to each host's worker by the host's name.
    VARIABLES = {"path": "offswitch_path", "timeout": "offswitch_timeout"}

    def arguments(self, task_vars):
        """The options, from the task's arguments, else their variables, else the defaults; or
        why they cannot be taken."""
        given = dict(self._task.args)
        for option, variable in self.VARIABLES.items():
            if option not in given and variable in (task_vars or {}):
                given[option] = self._templar.template(task_vars[variable])
        checked = ArgumentSpecValidator(self.ARGUMENT_SPEC).validate(given)
        if checked.error_messages:
            return None, "; ".join(checked.error_messages)
        args = checked.validated_parameters
        if args["timeout"] < 1:
            return None, f"timeout is {args['timeout']}: give at least 1 second"
        return args, None

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        del tmp  # nothing is ever written on the host
        args, refusal = self.arguments(task_vars)
        if refusal:
            return self.refused(result, refusal)
        refusal = self.why_refused()
        if refusal:
            return self.refused(result, refusal)
        command = (f"timeout --kill-after={KILL_AFTER} {args['timeout']} "
                   f"{shlex.quote(args['path'])}")
        host = (task_vars or {}).get("inventory_hostname")
        unrecorded = self.why_unrecorded(host)
        if unrecorded:
            return self.refused(result, unrecorded)
        # Read once by the main process, before any host was contacted, and inherited.
        key = journal.ADMISSION.keys.get(host)
        if key is None:
            return self.refused(result, f"no key was read for {host} before the run started: "
                                        "nothing was sent")
        if self._play_context.check_mode:
            result.update(not_run(f"check mode: nothing was sent; would run {command} with the "
                                  "key on its standard input"))
            result.update(failed=False, changed=False)
            return result
        if journal.ADMISSION.halted():
            result.update(not_sent(HALTED))
            return result
        connect_timeout = self.bound_the_connection()
        status, stdout, failure, stopped = self.switch(command, bytes(key) + b"\n",
                                                       args["timeout"], connect_timeout)
        result.update(outcome(status, stdout, failure, stopped, path=args["path"],
                              timeout=args["timeout"], connect_timeout=connect_timeout))
        return result

    @staticmethod
    def refused(result, why):
        result.update(not_run(f"refused on the control machine: {why}"))
        result["outcome"] = "failed"
        return result

    def why_refused(self):
        """Why this host's settings would let the key be kept or printed, or a person be waited
        for; None when they would not. Ansible's own view of the host, as resolved for this task."""
        connection = name_of(self._connection)
        if connection not in CONNECTIONS:
            return (f"the connection {short(connection)} cannot hand the key to offswitch's "
                    "standard input: use ssh (or local)")
        become = self._connection.become
        if self._play_context.become and become is not None:
            method = name_of(become)
            if method not in BECOME_METHODS:
                return (f"become through {short(method)} cannot take the key on standard input: "
                        "use sudo")
            if CONNECTIONS[connection] == "local":
                # sudo runs on this machine then, and may read a password from the standard
                # input that carries the key.
                return ("the local connection with become would let sudo read the key as a "
                        "password: run offswitch here without become (as root), or over ssh")
        if C.DEFAULT_DEBUG:
            return "debug mode (ANSIBLE_DEBUG) prints what hosts send back: turn it off"
        debugger = self._task.debugger
        if debugger in DEBUGGER_ON or (C.ENABLE_TASK_DEBUGGER and debugger != "never"):
            return ("the task debugger would stop the run at a prompt, waiting for a person: "
                    "turn it off (ANSIBLE_ENABLE_TASK_DEBUGGER, the debugger keyword)")
        return None

    def why_unrecorded(self, host):
        """Why this host's key may not be sent, as the main process decided before it forked
        this worker: the record of the run is not kept, or the run is refused; None when the
        host is in the record. Check mode sends nothing, but says what a real run would meet."""
        admission = journal.ADMISSION
        if admission is None:
            return ("the record of this run would not be kept, so the key is not sent: run it "
                    "again with the callback velkaran.offswitch.record enabled, e.g. "
                    "ANSIBLE_CALLBACKS_ENABLED=velkaran.offswitch.record ansible-playbook ... "
                    "(and the switch a task of the play itself, as in the playbook "
                    "velkaran.offswitch.switch_off)")
        if admission.refusal:
            return admission.refusal
        if self._play_context.check_mode:
            return None
        if not admission.kept or host not in admission.hosts:
            return f"{host} is not in the record of this run, so the key is not sent to it"
        return None

    def bound_the_connection(self):
        """Sets what bounds an ssh session: no master connection that would outlive the run, a
        session that goes silent given up after about the connect timeout, and no retry that
        would start the bound again. ssh takes the first value given for an option, so these
        come first. Returns the connect timeout, or None for the local connection."""
        if CONNECTIONS[name_of(self._connection)] != "ssh":
            return None
        connect_timeout = int(self._connection.get_option("timeout"))
        ours = (f"-o ControlMaster=no -o ServerAliveInterval={max(1, connect_timeout // 2)} "
                "-o ServerAliveCountMax=2")
        # Ansible's default arguments only ask for compression and a master connection, which
        # cost CPU on both sides for a key of 1.6 kB; arguments of the user's own are kept.
        theirs = self._connection.get_option("ssh_args") or ""
        definitions = C.config.get_configuration_definitions("connection", "ssh") or {}
        if theirs == definitions.get("ssh_args", {}).get("default"):
            theirs = ""
        self._connection.set_option("ssh_args", f"{ours} {theirs}".strip())
        self._connection.set_option("reconnection_retries", 0)
        return connect_timeout

    def switch(self, command, stdin, timeout, connect_timeout):
        """Runs the command with stdin (the key) on its standard input, stopping it and
        everything it started past the bound. Returns (status, output, failure, stopped)."""
        stopped = threading.Event()

        def stop():
            stopped.set()
            for pid in descendants(os.getpid()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

        timer = threading.Timer(timeout + KILL_AFTER + (connect_timeout or 0) + 1, stop)
        timer.daemon = True
        # The ssh connection prints a command's output at -vvv unless its play context says that
        # it is secret, and a wrong offswitch path may echo the key.
        context = self._connection._play_context
        no_log, context.no_log = context.no_log, True
        timer.start()
        try:
            done = self._low_level_execute_command(command, in_data=stdin)
            return done["rc"], done["stdout"], None, stopped.is_set()
        except AnsibleConnectionFailure as e:
            return None, "", failure_of("connection", str(e)), stopped.is_set()
        except AnsibleError as e:
            return None, "", failure_of("ansible", str(e)), stopped.is_set()
        finally:
            timer.cancel()
            context.no_log = no_log

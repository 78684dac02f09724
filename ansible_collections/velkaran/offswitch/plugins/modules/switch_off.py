# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The documentation of the action velkaran.offswitch.switch_off, which runs on the control
machine; this file is never sent to a host."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DOCUMENTATION = r"""
module: switch_off
short_description: Switch the Velkaran agent off on a host, the key on offswitch's standard input
description:
  - Runs C(timeout --kill-after=5 TIMEOUT PATH) on the host through the connection, with the
    emergency key on its standard input, and reports what offswitch answered.
  - The key is read and checked once on the control machine, before any host is contacted, by
    the callback velkaran.offswitch.record, from the host's variable C(offswitch_key_file)
    (default C(/root/offswitch.key)) - a key file (one line of 1593 characters of
    C(A-Z a-z 0-9 + / =)), an Ansible Vault file (decrypted in memory with the run's vault
    secrets), or a pipe (a FIFO, a process substitution, or C(-) for ansible-playbook's own
    standard input). A relative path is taken from the working directory. A source that cannot
    be read or is not a key refuses every host; a key file that other users could read or write
    is warned of and used. It is not a task argument. The key is never a task argument,
    variable, fact or result field, and nothing is written on either side, whatever pipelining,
    keep-remote-files or the temporary directories are set to. No module and no Python run on the
    host.
  - Refuses, before sending anything, a connection other than ssh and local, become through
    anything but sudo, the local connection with become (sudo could read the key as a
    password), debug mode, and the task debugger; and every host, unless the callback
    velkaran.offswitch.record keeps the record of the run (it must be enabled in
    C(callbacks_enabled), for example with C(ANSIBLE_CALLBACKS_ENABLED=velkaran.offswitch.record)).
  - Over ssh, opens no master connection, gives up a session that goes silent after about the
    connect timeout, and does not retry. Past I(timeout) plus 5 s plus the connect timeout plus
    1 s, the command and its ssh client are stopped on the control machine.
  - This is an action, run on the control machine. Use it in the playbook
    velkaran.offswitch.switch_off, with the callback velkaran.offswitch.record, which writes the
    report and the retry file, prints the summary and sets the exit status.
  - An option not given as a task argument is read from its variable, as Ansible resolves it for
    the host - C(offswitch_path), C(offswitch_timeout) - and else has its default.
version_added: 1.0.0
options:
  path:
    description: offswitch on the host; the variable C(offswitch_path) when not given.
    type: str
    default: /usr/sbin/offswitch
  timeout:
    description:
      - Seconds offswitch may run on the host before timeout(1) stops it; at least 1.
      - The variable C(offswitch_timeout) when not given.
    type: int
    default: 30
attributes:
  check_mode:
    support: partial
    description:
      - Checks the settings, the key and that the record would be kept, sends nothing, and
        reports the host as ok, not changed (outcome C(not run)), with the command that would
        run.
      - A setting or key file that a real run would refuse fails the host, as it would then.
notes:
  - A host that could not be logged in to is unreachable; one that refused the key, failed or timed
    out is failed; a switched host is changed.
extends_documentation_fragment:
  - velkaran.offswitch.hosts
author: Velkaran developers (@velkaran)
"""

EXAMPLES = r"""
- name: Switch the agent off, offswitch where the package puts it
  velkaran.offswitch.switch_off: {}

- name: Switch the agent off, offswitch elsewhere and given a minute
  velkaran.offswitch.switch_off:
    path: /opt/velkaran/sbin/offswitch
    timeout: 60
"""

RETURN = r"""
outcome:
  description: >-
    C(switched), C(refused), C(failed), C(timed out), C(unreachable), C(not sent) (the record
    could not be written when the host's turn came) or C(not run). (The record also has
    C(pending) and C(interrupted), for hosts whose results did not come back.)
  returned: always
  type: str
  sample: switched
status:
  description: The exit status of offswitch on the host (124 or 137 when timeout(1) stopped it).
  returned: always
  type: int
  sample: 0
answer:
  description: >-
    offswitch's answer, and only that: C(The mode of the agent is on off mode.), C(The key not
    invalid), or empty. Other output is never shown.
  returned: always
  type: str
  sample: The mode of the agent is on off mode.
msg:
  description: The cause, in words.
  returned: always
  type: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec={"path": {"type": "str", "default": "/usr/sbin/offswitch"},
                                          "timeout": {"type": "int", "default": 30}},
                           supports_check_mode=True)
    module.fail_json(msg="velkaran.offswitch.switch_off runs on the control machine, as an action")


if __name__ == "__main__":
    main()

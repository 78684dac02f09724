# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The documentation of the action velkaran.offswitch.switch_off, which runs on the control
machine; this file is never sent to a host."""

from __future__ import annotations

DOCUMENTATION = r"""
module: switch_off
short_description: Switch the Velkaran agent off on a host, the key on offswitch's standard input
description:
  - Runs C(timeout --kill-after=5 TIMEOUT PATH) on the host through the connection, with the
    emergency key from I(key_file) on its standard input, and reports what offswitch answered.
  - The key file is read and checked on the control machine. The key is never a task argument,
    variable, fact or result field, and nothing is written on either side, whatever pipelining,
    keep-remote-files or the temporary directories are set to. No module and no Python run on the
    host.
  - Refuses, before sending anything, a connection other than ssh and local, become through
    anything but sudo, debug mode, and the task debugger.
  - Over ssh, opens no master connection, gives up a session that goes silent after about the
    connect timeout, and does not retry. Past I(timeout) plus 5 s plus the connect timeout plus
    1 s, the command and its ssh client are stopped on the control machine.
  - This is an action, run on the control machine. Use it in the playbook
    velkaran.offswitch.switch_off, whose strategy velkaran.offswitch.report writes the summary,
    the report and the retry file.
version_added: 1.0.0
options:
  key_file:
    description:
      - The key file on the control machine; one line of 1593 characters of C(A-Z a-z 0-9 + / =).
      - A relative path is taken from the working directory.
    type: path
    required: true
  path:
    description: offswitch on the host.
    type: str
    default: /usr/sbin/offswitch
  timeout:
    description: Seconds offswitch may run on the host before timeout(1) stops it.
    type: int
    default: 30
attributes:
  check_mode:
    support: full
    description: Checks the settings and the key file, sends nothing, and says what would run.
  diff_mode:
    support: none
  platform:
    platforms: posix
notes:
  - A host that could not be logged in to is unreachable; one that refused the key, failed or timed
    out is failed; a switched host is changed.
author: Velkaran developers
"""

EXAMPLES = r"""
- name: Switch the agent off
  velkaran.offswitch.switch_off:
    key_file: /root/offswitch.key
"""

RETURN = r"""
outcome:
  description: C(switched), C(refused), C(failed), C(timed out), C(unreachable) or C(not run).
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
    module = AnsibleModule(argument_spec={"key_file": {"type": "path", "required": True},
                                          "path": {"type": "str", "default": "/usr/sbin/offswitch"},
                                          "timeout": {"type": "int", "default": 30}},
                           supports_check_mode=True)
    module.fail_json(msg="velkaran.offswitch.switch_off runs on the control machine, as an action")


if __name__ == "__main__":
    main()

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The documentation of the action velkaran.offswitch.read_mode, which runs on the control
machine; this file is never sent to a host."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DOCUMENTATION = r"""
module: read_mode
short_description: Read the Velkaran agent's mode on a host, with no key
description:
  - Runs one shell command on the host through the connection, bounded by
    C(timeout --kill-after=5 TIMEOUT), that reads the mode file's first bytes, owner, mode and
    time, whether offswitch is installed, and the installed version of the package C(velkaran)
    (C(dpkg-query -W velkaran)), which tells which key the host's offswitch was built for.
  - Sends no key and writes nothing on either side. No module and no Python run on the host.
  - The host ends as C(off) (the mode file holds exactly C(1), whoever wrote it), C(not off)
    (what it holds), C(no mode file), C(unreadable) (run it with C(-b)), C(no offswitch) or
    C(unreachable).
  - This is an action, run on the control machine. Use it in the playbook
    velkaran.offswitch.status, with the callback velkaran.offswitch.record, which brings the
    record of the switch up to date with what each host shows.
  - An option not given as a task argument is read from its variable, as Ansible resolves it for
    the host - C(offswitch_mode_file), C(offswitch_path), C(offswitch_timeout) - and else has its
    default.
version_added: 2.0.0
options:
  mode_file:
    description:
      - The agent's mode file on the host; the variable C(offswitch_mode_file) when not given.
      - Hosts whose package was built for another installation root set it.
    type: str
    default: /usr/bin/data/vornek/swich_Velkaran.txt
  path:
    description: offswitch on the host; the variable C(offswitch_path) when not given.
    type: str
    default: /usr/sbin/offswitch
  timeout:
    description:
      - Seconds the reading may run on the host; at least 1.
      - The variable C(offswitch_timeout) when not given.
    type: int
    default: 30
attributes:
  check_mode:
    support: full
    description: Reads the same in check mode; it changes nothing anyway.
notes:
  - A host that could not be logged in to, or did not answer in time, is unreachable; one that is
    not off is failed; an off host is ok.
extends_documentation_fragment:
  - velkaran.offswitch.hosts
author: Velkaran developers (@velkaran)
"""

EXAMPLES = r"""
- name: Read the agent's mode
  velkaran.offswitch.read_mode: {}

- name: Read it on hosts built for another root
  velkaran.offswitch.read_mode:
    mode_file: /opt/velkaran/data/vornek/swich_Velkaran.txt
"""

RETURN = r"""
outcome:
  description: >-
    C(off), C(not off), C(no mode file), C(unreadable), C(no offswitch) or C(unreachable).
  returned: always
  type: str
  sample: "off"
package:
  description: The installed version of the package velkaran, or null when it is not installed.
  returned: when the host answered
  type: str
  sample: 1.0.0-1
file:
  description: >-
    The mode file as read - C(content) (shown safely), C(owner), C(mode) (octal) and C(time)
    (last change, UTC) - or null when it is not there or cannot be read.
  returned: when the host answered
  type: dict
  sample: {"content": "1", "owner": "root", "mode": "644", "time": "2026-12-10T05:00:00Z"}
msg:
  description: The state, in words.
  returned: always
  type: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec={"mode_file": {"type": "str",
                                                        "default": "/usr/bin/data/vornek/"
                                                                   "swich_Velkaran.txt"},
                                          "path": {"type": "str", "default": "/usr/sbin/offswitch"},
                                          "timeout": {"type": "int", "default": 30}},
                           supports_check_mode=True)
    module.fail_json(msg="velkaran.offswitch.read_mode runs on the control machine, as an action")


if __name__ == "__main__":
    main()

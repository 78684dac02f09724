# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Reads the Velkaran agent's mode on one host: the mode file's content, owner, mode and time,
whether offswitch is installed, and the installed package's version. Runs one shell command over
the connection, bounded like the switch; sends no key, writes nothing on either side, and needs no
Python on the host."""

from __future__ import annotations

import shlex

from ansible_collections.velkaran.offswitch.plugins.action.switch_off import (
    CONNECTIONS, KILL_AFTER, ActionModule as Switch, name_of, short)
from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import read_mode

MODE_FILE = "/usr/bin/data/vornek/swich_Velkaran.txt"
# $1: the mode file, $2: offswitch. One line each: offswitch=yes|no, package=VERSION (empty when
# the package is not installed), mode=HEX (the file's first 16 bytes) | none | unreadable, and
# file=OWNER MODE MTIME when the file can be seen.
SCRIPT = r"""
if [ -e "$2" ]; then echo offswitch=yes; else echo offswitch=no; fi
v=$(dpkg-query -W -f='${Version}' velkaran 2>/dev/null) || v=
echo "package=$v"
d=$(dirname -- "$1")
if [ -e "$1" ] || [ -L "$1" ]; then
    if c=$(od -An -tx1 -N 16 -- "$1" 2>/dev/null); then
        echo "mode=$(printf %s "$c" | tr -d ' \n')"
    else
        echo mode=unreadable
    fi
    stat -c 'file=%U %a %Y' -- "$1" 2>/dev/null || true
elif [ -d "$d" ] && ! [ -x "$d" ]; then
    echo mode=unreadable
else
    echo mode=none
fi
"""


class ActionModule(Switch):
    _VALID_ARGS = frozenset(("path", "mode_file", "timeout"))
    ARGUMENT_SPEC = {
        "path": {"type": "str", "default": "/usr/sbin/offswitch"},
        "mode_file": {"type": "str", "default": MODE_FILE},
        "timeout": {"type": "int", "default": 30},
    }
    VARIABLES = {"path": "offswitch_path", "mode_file": "offswitch_mode_file",
                 "timeout": "offswitch_timeout"}

    def run(self, tmp=None, task_vars=None):
        result = super(Switch, self).run(tmp, task_vars)  # pylint: disable=bad-super-call
        del tmp  # nothing is ever written on the host
        args, refusal = self.arguments(task_vars)
        connection = name_of(self._connection)
        if refusal is None and connection not in CONNECTIONS:
            refusal = (f"the connection {short(connection)} is not bounded by this collection: "
                       "use ssh (or local)")
        if refusal:
            result.update(outcome="unreadable", status=None, answer="", failed=True,
                          msg=f"refused on the control machine: {refusal}")
            return result
        command = (f"timeout --kill-after={KILL_AFTER} {args['timeout']} sh -c "
                   f"{shlex.quote(SCRIPT)} sh {shlex.quote(args['mode_file'])} "
                   f"{shlex.quote(args['path'])}")
        connect_timeout = self.bound_the_connection()
        status, stdout, failure, stopped = self.switch(command, None, args["timeout"],
                                                       connect_timeout)
        result.update(read_mode(status, stdout, failure, stopped, mode_file=args["mode_file"],
                                timeout=args["timeout"], connect_timeout=connect_timeout))
        return result

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The processes a process started, from /proc."""

from __future__ import annotations

import os


def descendants(pid):
    """Every process below pid."""
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat", encoding="ascii", errors="replace") as f:
                    parent = int(f.read().rpartition(")")[2].split()[1])
            except (OSError, ValueError, IndexError):
                continue  # gone meanwhile
            children.setdefault(parent, []).append(int(name))
    found, below = [], [pid]
    while below:
        for child in children.get(below.pop(), ()):
            found.append(child)
            below.append(child)
    return found


def signal_descendants(pid, signum):
    """Sends signum to every process below pid."""
    for child in descendants(pid):
        try:
            os.kill(child, signum)
        except OSError:
            pass  # gone meanwhile

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What the collection's actions share: they change nothing a diff could show, and need only a
POSIX shell and coreutils on the host."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name


class ModuleDocFragment:  # pylint: disable=too-few-public-methods
    DOCUMENTATION = r"""
attributes:
  diff_mode:
    support: none
    description: Nothing is changed that a diff could show.
  platform:
    support: full
    platforms: posix
    description: The hosts need a POSIX shell and coreutils' timeout, and no Python.
"""

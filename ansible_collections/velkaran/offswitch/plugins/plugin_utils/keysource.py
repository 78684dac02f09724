# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The key, read once on the control machine from where the operator keeps it: a key file, an
Ansible Vault file (decrypted in memory), or a pipe (a FIFO, a process substitution, or "-" for
ansible-playbook's own standard input). Nothing here imports Ansible: the caller hands in how a
vault is decrypted.

The key is read straight into a bytearray, never into an immutable bytes object, so that it can be
wiped when the switch is done (wipe); every buffer that held a piece of it on the way is wiped
before it is dropped."""

from __future__ import annotations

import os
import stat

from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import (
    KEY_LENGTH, read_key)

VAULT_HEADER = b"$ANSIBLE_VAULT;"
# A vault file of a key is about three times the key's size; a pipe carries the key itself.
MOST_FROM_A_FILE = 64 * 1024
MOST_FROM_A_PIPE = KEY_LENGTH + 3

KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
         (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


DEFAULT = "/root/offswitch.key"


def key_path(value):
    """The key file a setting names, from the working directory: "-" stays standard input."""
    value = str(value)
    if value == "-":
        return value
    return os.path.abspath(os.path.expanduser(os.path.expandvars(value)))


def kind_of(mode):
    return next((name for test, name in KINDS if test(mode)), "not a regular file or a pipe")


def wipe(buffer):
    """Overwrites a bytearray in place with zeros."""
    buffer[:] = bytes(len(buffer))


def _read(fd, most):
    """Up to most + 1 bytes, to the end, in a bytearray of exactly that length: one more than
    most says the source is longer. The buffer is filled in place and never grows, so that no
    copy of what it holds is left behind in freed memory."""
    buffer = bytearray(most + 1)
    view = memoryview(buffer)
    length = 0
    try:
        while length <= most:
            count = os.readv(fd, [view[length:]])
            if not count:
                break
            length += count
    finally:
        view.release()
    if length < len(buffer):
        with memoryview(buffer) as view:
            tail = bytearray(view[:length])  # a slice of the bytearray itself would be a copy
        wipe(buffer)
        buffer = tail
    return buffer


def loose(path, st):
    """Why a key file's mode or owner lets another user at it, with the fix; None if nothing."""
    why = []
    if st.st_uid != os.geteuid():
        why.append(f"it belongs to user {st.st_uid}, not to you")
    if st.st_mode & 0o077:
        why.append(f"its mode {stat.S_IMODE(st.st_mode):04o} lets other users read or write it")
    try:
        directory = os.stat(os.path.dirname(path) or ".")
    except OSError:
        directory = None
    if directory is not None and (directory.st_mode & 0o022) and not (
            directory.st_mode & stat.S_ISVTX):
        why.append(f"its directory {os.path.dirname(path)} can be written by other users")
    if not why:
        return None
    return (f"the key file {path} is not kept as a secret: {'; '.join(why)}. Fix it: "
            f"chmod 600 {path} (and chown it to yourself, chmod go-w its directory)")


def read_source(path, decrypt, stdin=0):
    """(key, None, warning) or (None, why not, None) for the key at path; "-" is stdin. The key
    is a bytearray of its own, for the caller to wipe.

    decrypt(path, data) returns the plaintext of the vault data read from path, or raises an
    Exception that says why not."""
    if path == "-":
        if os.isatty(stdin):
            return None, "is \"-\", but ansible-playbook's standard input is a terminal", None
        fd, close = stdin, False
    else:
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY)
        except OSError as e:
            return None, f"cannot be opened: {e.strerror}", None
        close = True
    try:
        st = os.fstat(fd)
        if stat.S_ISREG(st.st_mode):
            data, most, warning = _read(fd, MOST_FROM_A_FILE), MOST_FROM_A_FILE, None
            if path != "-":
                warning = loose(path, st)
        elif stat.S_ISFIFO(st.st_mode):
            data, most, warning = _read(fd, MOST_FROM_A_PIPE), MOST_FROM_A_PIPE, None
        else:
            return None, f"is {kind_of(st.st_mode)}: give a key file, a vault file or a pipe", None
    except OSError as e:
        return None, f"cannot be read: {e.strerror}", None
    finally:
        if close:
            os.close(fd)
    try:
        if len(data) > most:
            return None, f"holds more than {most} bytes: it is not a key", None
        if data.startswith(VAULT_HEADER):
            try:
                # Ansible's vault hands its plaintext back as an immutable copy, which cannot be
                # wiped; it is copied here and dropped at once.
                plaintext = bytearray(decrypt(path, bytes(data)))
            except Exception as e:  # pylint: disable=broad-except
                why = " ".join(str(e).split())[:200]
                return None, (f"is a vault that the run's vault secrets cannot decrypt ({why}): "
                              "give its password with --vault-password-file, --vault-id or "
                              "--ask-vault-pass"), None
            wipe(data)
            data = plaintext
        key, why = read_key(data)
        return key, why, warning if key is not None else None
    finally:
        wipe(data)

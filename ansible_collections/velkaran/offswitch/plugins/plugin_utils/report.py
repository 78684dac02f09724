# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The run's summary, its JSON report and its retry file, on the control machine."""

from __future__ import annotations

import errno
import os
import stat

from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import MODES, OUTCOMES


def entry(host, fields, learned=None):
    """The report's entry for a host, from its result's fields, learned at a time (UTC)."""
    found = {"host": host, "outcome": fields["outcome"], "status": fields.get("status"),
             "answer": fields.get("answer", ""), "reason": fields.get("msg", "")}
    for name in ("package", "file"):  # what the status read on the host
        if name in fields:
            found[name] = fields[name]
    if learned is not None:
        found["time"] = learned
    return found


def summary(entries):
    """The summary's lines: one for each host not switched, and the count of each outcome."""
    lines = [f"{e['host']}: {e['reason']}" for e in entries if e["outcome"] != "switched"]
    counts = []
    for name in OUTCOMES:
        hosts = [e["host"] for e in entries if e["outcome"] == name]
        if hosts or name in OUTCOMES[:5]:
            counts.append(f"{name}: {len(hosts)}" + (f" ({', '.join(hosts)})" if hosts else ""))
    lines.append("; ".join(counts))
    return lines


def status_summary(entries):
    """The status's summary: one line for each outcome a host ended as, with its hosts."""
    lines = []
    for name in MODES:
        hosts = [e["host"] for e in entries if e["outcome"] == name]
        if hosts:
            lines.append(f"{name}: {len(hosts)} ({', '.join(hosts)})")
    for e in entries:
        if e["outcome"] not in MODES:
            lines.append(f"{e['host']}: {e['reason']}")
    return lines or ["no host was read"]


def _refuse_to_replace(dir_fd, name):
    """Raises OSError unless name in dir_fd is absent, or a regular file of this user's."""
    try:
        st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        return
    if not stat.S_ISREG(st.st_mode):
        raise OSError(errno.EEXIST, "it is not a regular file (a symbolic link?): not replaced")
    if st.st_uid != os.geteuid():
        raise OSError(errno.EPERM, f"it belongs to user {st.st_uid}: not replaced")


def _prepare(path, content):
    """Writes content to a new file of mode 0600 beside path and syncs it; returns what renames it
    into place: (directory's descriptor, temporary name, name)."""
    directory, name = os.path.split(path)
    dir_fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    temporary = None
    try:
        _refuse_to_replace(dir_fd, name)
        temporary = f".{name}.{os.getpid()}.{os.urandom(6).hex()}"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                     0o600, dir_fd=dir_fd)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            os.fchmod(f.fileno(), 0o600)  # whatever the umask or the directory's ACL
            f.write(content)
            f.flush()
            os.fsync(f.fileno())
        return dir_fd, temporary, name
    except BaseException:
        _discard(dir_fd, temporary)
        raise


def _discard(dir_fd, temporary):
    if temporary is not None:
        try:
            os.unlink(temporary, dir_fd=dir_fd)
        except OSError:
            pass
    os.close(dir_fd)


def replace_files(contents):
    """Replaces each (path, content) with a new file of mode 0600 owned by this user, holding
    content. Every new file is written and synced before the first is renamed into place, so that
    a file that cannot be written leaves all of them as they were. Refuses a symbolic link,
    anything but a regular file, and a file that another user owns. Raises OSError with the
    reason and the path as its filename."""
    prepared = []
    try:
        for path, content in contents:
            try:
                prepared.append(list(_prepare(path, content)))
            except OSError as e:
                e.filename = path
                raise
        for ready, (path, _content) in zip(prepared, contents):
            dir_fd, temporary, name = ready
            try:
                # rename replaces a link put there since, never its target
                os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
                ready[1] = None
                try:
                    os.fsync(dir_fd)
                except OSError as e:
                    if e.errno != errno.EINVAL:
                        raise
            except OSError as e:
                e.filename = path
                raise
    finally:
        for dir_fd, temporary, _name in prepared:
            _discard(dir_fd, temporary)

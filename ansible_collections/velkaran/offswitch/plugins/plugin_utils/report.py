# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The run's summary, its JSON report and its retry file, on the control machine."""

from __future__ import annotations

import errno
import json
import os
import stat

from ansible_collections.velkaran.offswitch.plugins.plugin_utils.outcome import OUTCOMES


def entry(host, fields):
    """The report's entry for a host, from its result's fields."""
    return {"host": host, "outcome": fields["outcome"], "status": fields.get("status"),
            "answer": fields.get("answer", ""), "reason": fields.get("msg", "")}


def summary(entries, forks):
    """The summary's lines: one for each host not switched, the count of each outcome, and the
    batches when there are more hosts than forks."""
    lines = [f"{e['host']}: {e['reason']}" for e in entries if e["outcome"] != "switched"]
    counts = []
    for name in OUTCOMES:
        hosts = [e["host"] for e in entries if e["outcome"] == name]
        if hosts or name in OUTCOMES[:5]:
            counts.append(f"{name}: {len(hosts)}" + (f" ({', '.join(hosts)})" if hosts else ""))
    lines.append("; ".join(counts))
    if forks < len(entries):
        batches = -(-len(entries) // forks)
        lines.append(f"{len(entries)} hosts, {forks} at a time (forks): up to {batches} batches "
                     "one after another, each bounded by offswitch_timeout plus the connect "
                     f"timeout plus 10 s; -f {len(entries)} runs them all at once")
    return lines


def retry_list(entries):
    return "".join(f"{e['host']}\n" for e in entries if e["outcome"] != "switched")


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
        for ready, (path, _) in zip(prepared, contents):
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
        for dir_fd, temporary, _ in prepared:
            _discard(dir_fd, temporary)


def contents(report, retry, entries):
    """What the report and the retry file hold for entries."""
    return [(report, json.dumps(entries, indent=4) + "\n"), (retry, retry_list(entries))]

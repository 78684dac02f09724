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
        if hosts or name != "not run":
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


def replace_file(path, content):
    """Replaces path with a new file of mode 0600 holding content, owned by this user: written
    beside it, synced and renamed over it. Refuses a symbolic link, anything but a regular file,
    and a file that another user owns. Raises OSError with the reason."""
    directory, name = os.path.split(path)
    dir_fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
        except FileNotFoundError:
            st = None
        if st is not None and not stat.S_ISREG(st.st_mode):
            raise OSError(errno.EEXIST, "it is not a regular file (a symbolic link?): not replaced")
        if st is not None and st.st_uid != os.geteuid():
            raise OSError(errno.EPERM, f"it belongs to user {st.st_uid}: not replaced")
        temporary = f".{name}.{os.getpid()}.{os.urandom(6).hex()}"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                     0o600, dir_fd=dir_fd)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                os.fchmod(f.fileno(), 0o600)  # whatever the umask or the directory's ACL
                f.write(content)
                f.flush()
                os.fsync(f.fileno())
            # rename replaces a link put there since, never its target
            os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        except BaseException:
            try:
                os.unlink(temporary, dir_fd=dir_fd)
            except OSError:
                pass
            raise
        try:
            os.fsync(dir_fd)
        except OSError as e:
            if e.errno != errno.EINVAL:
                raise
    finally:
        os.close(dir_fd)


def write(report, retry, entries):
    """Writes the report and the retry file; returns the lines that say what was written, each
    with whether it tells of a failure."""
    said = []
    for path, content, what in ((report, json.dumps(entries, indent=4) + "\n", "report"),
                                (retry, retry_list(entries), "hosts to retry")):
        try:
            replace_file(path, content)
            said.append((f"{what}: {path}", False))
        except OSError as e:
            said.append((f"{what} NOT written to {path}: {e.strerror}", True))
    if retry_list(entries):
        said.append((f"retry them with --limit @{retry}", False))
    return said

# Copyright: Velkaran developers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What came of switching one host off, worked out on the control machine.

Nothing here imports Ansible: the functions take what the connection returned and give the
host's result, so that every case is a row of a table tested in milliseconds. Whatever a host or
its connection printed is matched against offswitch's own texts and ssh's own messages, and only
texts of this file ever reach a result, the summary or the report: a wrong offswitch path that
echoes its input cannot carry the key into them.
"""

from __future__ import annotations

import re
import time

KEY_LENGTH = 1593
KEY_PATTERN = re.compile(rb"[A-Za-z0-9+/=]{%d}" % KEY_LENGTH)

PROMPT = ("If you want to run norvane's emergency mode and switch the agent to off mode,\n"
          "insert the key:")
SWITCHED = "The mode of the agent is on off mode."
WRONG = "The key not invalid"

# The outcomes, in the order the summary counts them. The last four are the record's own: a
# host whose result had not come back (pending: so far; interrupted: when a signal stopped the
# run), one the key was never sent to (not sent), and one the switch never ran on (not run).
OUTCOMES = ("switched", "refused", "failed", "timed out", "unreachable", "interrupted", "pending",
            "not sent", "not run")

CHECK_THE_MODE_FILE = "it may or may not have switched the agent: check the mode file"

# ssh's own words for a connection or login that failed, and how the report says it. The first
# row is the one failure that comes after logging in: the session may have started, and the key
# may have reached offswitch.
SSH_FAILURES = (
    ("Timeout, server", None),
    ("timed out", None),
    ("Connection refused", "the connection was refused"),
    # ssh's own words end with the methods it tried; a command's "Permission denied" does not.
    ("Permission denied (", "the login was refused (permission denied)"),
    # An unknown key and a changed one both end in "Host key verification failed"; only the
    # second may be an attack.
    ("host key is known for", "the host's key is not in known_hosts: add it, after checking its "
                              "fingerprint (ssh-keyscan, or one ssh login by hand), or give "
                              "another UserKnownHostsFile"),
    ("REMOTE HOST IDENTIFICATION HAS CHANGED", "the host key does not match the known hosts"),
    # Alone (no terminal to ask at, StrictHostKeyChecking=ask), these words do not say which:
    # the cause names both, a new host first, as it is the likelier.
    ("Host key verification failed", "the host's key could not be verified: it is not in "
                                     "known_hosts (a new host: add it, after checking its "
                                     "fingerprint), or it does not match the known hosts (a "
                                     "changed key, perhaps an attack); ssh says only \"Host key "
                                     "verification failed\""),
    ("Could not resolve hostname", "the host name cannot be resolved"),
    ("No route to host", "there is no route to the host"),
    ("Network is unreachable", "the network is unreachable"),
    ("Too many authentication failures", "too many authentication failures"),
    ("Connection reset", "the host reset the connection"),
    ("Connection closed", "the host closed the connection"),
)

# Ansible's own words when become fails before anything is sent, whichever exception carries
# them (2.19 gives a become timeout as a connection failure).
BECOME_FAILURES = (
    ("Missing sudo password", "sudo asks for a password: give it with --ask-become-pass or "
                              "ansible_become_password"),
    ("a password is required", "sudo asks for a password: give it with --ask-become-pass or "
                               "ansible_become_password"),
    ("Incorrect sudo password", "sudo refused the password"),
    ("waiting for privilege escalation prompt", "sudo did not answer in time"),
    ("privilege escalation", "sudo did not answer"),
)
# A run of the key's alphabet this long in Ansible's words is never shown: a host's output may
# be in them.
KEYLIKE = re.compile(r"[A-Za-z0-9+/=]{24,}")


def ansible_words(msg):
    """Ansible's own message, on one line, short, with nothing in it that could be a key."""
    return KEYLIKE.sub("(...)", " ".join(str(msg).split()))[:300]


def failure_of(kind, msg):
    """What failed, from Ansible's message: ("become", msg) when sudo's words are in it,
    whatever the exception; else ("connection", msg) for a connection failure, or ("ansible",
    msg) for any other error."""
    if any(words in msg for words, _said in BECOME_FAILURES):
        return "become", msg
    return kind, msg


def read_key(data):
    """The key from a key file's bytes, as a new bytearray, and None; or None and why the file
    cannot be the key. data is left as it is, for the caller to wipe.

    A key file holds one line: the key's characters, then at most one line feed."""
    with memoryview(data) as view:
        line = view[:-1] if data.endswith(b"\n") else view
        if KEY_PATTERN.fullmatch(line):
            key = bytearray(line)
            line.release()
            return key, None
        line.release()
    length = len(data) - data.endswith(b"\n")
    if b"\r" in data:
        why = "it has a carriage return (a file saved with DOS line ends)"
    elif data.find(b"\n") not in (-1, len(data) - 1):
        why = "it has more than one line"
    elif length != KEY_LENGTH:
        why = f"its line has {length} characters"
    else:
        why = "its line has characters other than A-Z a-z 0-9 + / ="
    return None, (f"is not a key file: {why}; a key is one line of {KEY_LENGTH} characters of "
                  "A-Z a-z 0-9 + / =")


# Everything offswitch can print on a pipe, and the answer each holds ('' for none).
ANSWERS = {"": "", PROMPT: "", f"{PROMPT}{SWITCHED}\n": SWITCHED, f"{PROMPT}{WRONG}\n": WRONG}


def answer_of(stdout):
    """offswitch's answer in its output, '' when there is none, or None when the output is not
    one that offswitch prints."""
    return ANSWERS.get(stdout)


def ssh_failure(message):
    """How the report names an ssh failure, from the first row of SSH_FAILURES that matches."""
    for words, said in SSH_FAILURES:
        if words in message:
            return words, said
    return None, None


def outcome(status=None, stdout="", failure=None, stopped=False, *, path, timeout,
            connect_timeout=None):
    """The result of one host.

    status, stdout: the command's exit status and output, when it ended;
    failure: ("connection", ssh's message) when ssh failed (Ansible's unreachable),
      ("become", Ansible's message) when becoming root failed before anything was sent, or
      ("ansible", Ansible's message) for any other error of the connection (see failure_of);
    stopped: the command was stopped on the control machine at the run's bound;
    path, timeout, connect_timeout: offswitch's path on the host and the bounds, for the words.

    Returns the fields of the task's result: outcome, status, answer, msg, and changed, failed or
    unreachable."""
    answer = answer_of(stdout)
    result = {"status": status, "answer": answer or "", "changed": False}

    def ended(name, msg, kind="failed"):
        result.update(outcome=name, msg=msg)
        result[kind] = True
        if kind == "changed":
            result["failed"] = False
        return result

    connect = f"{connect_timeout} s" if connect_timeout is not None else "the connect timeout"
    if stopped:
        return ended("timed out", f"no answer within {timeout} s plus the connection's time, so "
                                  f"the connection was closed: {CHECK_THE_MODE_FILE}")
    if failure and failure[0] == "connection":
        words, said = ssh_failure(failure[1])
        if words == "Timeout, server":
            return ended("timed out", f"the host went silent for {connect} after the login, "
                                      f"when the key may have been sent: {CHECK_THE_MODE_FILE}")
        if words == "timed out":
            return ended("timed out", f"timed out after {connect} connecting or logging in: "
                                      "not switched", "unreachable")
        if words is None:  # status 255, in words that are not ssh's: maybe the command's own
            return ended("unreachable", "ssh failed, or the command on the host ended with "
                                        "status 255 (the message is not one ssh gives for a "
                                        f"failed login): {CHECK_THE_MODE_FILE}", "unreachable")
        return ended("unreachable", f"could not log in: {said}: not switched", "unreachable")
    if failure and failure[0] == "ansible":
        return ended("failed", f"Ansible reports: {ansible_words(failure[1])}: "
                               f"{CHECK_THE_MODE_FILE}")
    if failure:
        said = next((s for words, s in BECOME_FAILURES if words in failure[1]), "sudo failed")
        return ended("failed", f"could not become root through sudo: {said}; nothing was sent: "
                               "not switched")
    if answer is None:
        return ended("failed", f"{path} printed something that is not an answer of offswitch "
                               f"({len(stdout)} characters, not shown; status {status}): is "
                               "offswitch_path right?")
    if status in (124, 137):
        return ended("timed out", f"offswitch did not answer within {timeout} s and was stopped "
                                  f"on the host: {CHECK_THE_MODE_FILE}")
    if status == 0 and answer == SWITCHED:
        return ended("switched", "switched: the mode file holds 1", "changed")
    if status == 0 and answer == WRONG:
        return ended("refused", f'refused the key: "{WRONG}" (was the package built with this '
                                "key?)")
    if status == 0:
        return ended("failed", f"offswitch gave no answer (status 0): {CHECK_THE_MODE_FILE}")
    if status == 1 and stdout.startswith(PROMPT):
        return ended("failed", 'could not write the mode file (status 1): see "When the status '
                               'is 1" in offswitch(8)')
    if status == 126:
        return ended("failed", f"{path} cannot be run on the host (status 126): is "
                               "offswitch_path right?")
    if status == 127:
        return ended("failed", f"{path} or timeout(1) was not found on the host (status 127): is "
                               "offswitch_path right?")
    if status == 125:
        return ended("failed", "timeout(1) failed on the host (status 125): offswitch was not "
                               "run")
    return ended("failed", f"offswitch did not run as expected (status {status}): "
                           f"{CHECK_THE_MODE_FILE}")


def pending(started):
    """The entry of a host whose result has not come back yet, in a run started at started."""
    return {"outcome": "pending", "status": None, "answer": "",
            "msg": f"the run started at {started} and this host's result has not come back: it "
                   "may or may not have switched; the mode file tells"}


def interrupted(signame):
    """The entry of a host whose result had not come back when signame stopped the run."""
    return {"outcome": "interrupted", "status": None, "answer": "",
            "msg": f"the run was stopped ({signame}) before this host's result came back: it may "
                   "or may not have switched; the mode file tells"}


def foreign(fields):
    """The entry of a result the action did not make: Ansible's own failure of the task, which
    may have come after the key was sent. Its words are Ansible's, on one line."""
    msg = ansible_words(fields.get("msg") or fields.get("exception") or "no message")
    return {"outcome": "failed", "status": None, "answer": "",
            "msg": f"Ansible reports: {msg}: {CHECK_THE_MODE_FILE}"}


def not_run(why):
    """The entry of a host the play never ran the switch on."""
    return {"outcome": "not run", "status": None, "answer": "", "msg": why, "failed": True}


HALTED = ("the record could not be written when this host's turn came, so the key was not sent to "
          "it: not switched")


def not_sent(why):
    """The entry of a host the key was never sent to, in a run that sent it to others."""
    return {"outcome": "not sent", "status": None, "answer": "", "msg": why, "failed": True}


# What a host's own state can be, as the status playbook reads it, in the order the summary
# counts them.
MODES = ("off", "not off", "no mode file", "unreadable", "no offswitch", "unreachable")


def _shown(data):
    """Bytes a mode file holds, shown safely: printable ASCII as it is, the rest escaped."""
    return "".join(chr(b) if 32 <= b < 127 and b not in b'"\\' else f"\\x{b:02x}" for b in data)


def read_mode(status=None, stdout="", failure=None, stopped=False, *, mode_file, timeout,
              connect_timeout=None):
    """The result of reading a host's mode file, from what the reading script printed (see the
    action read_mode): the fields outcome, status, answer, msg, package and file."""
    result = {"status": status, "answer": "", "changed": False, "package": None, "file": None}

    def ended(name, msg, kind=None):
        result.update(outcome=name, msg=msg)
        if kind:
            result[kind] = True
        return result

    connect = f"{connect_timeout} s" if connect_timeout is not None else "the connect timeout"
    if stopped:
        return ended("unreachable", f"no answer within {timeout} s plus the connection's time",
                     "unreachable")
    if failure and failure[0] == "connection":
        words, said = ssh_failure(failure[1])
        if words in ("Timeout, server", "timed out"):
            return ended("unreachable", f"timed out after {connect} connecting or reading",
                         "unreachable")
        return ended("unreachable", f"could not log in: {said}" if said else
                     f"ssh failed: {ansible_words(failure[1])}", "unreachable")
    if failure:
        said = next((s for words, s in BECOME_FAILURES if words in failure[1]), None)
        return ended("unreachable", f"could not become root through sudo: {said}" if said else
                     f"Ansible reports: {ansible_words(failure[1])}", "unreachable")
    fields = dict(line.partition("=")[::2] for line in stdout.splitlines() if "=" in line)
    if status in (124, 137):
        return ended("unreachable", f"the host did not answer within {timeout} s", "unreachable")
    if status != 0 or not {"offswitch", "package", "mode"} <= set(fields):
        return ended("unreadable", f"the host's answer could not be read (status {status})",
                     "failed")
    result["package"] = fields["package"] or None
    owner, rest = (fields.get("file", "").split(" ", 1) + [""])[:2]
    permissions, changed = (rest.split(" ", 1) + [""])[:2]
    mode = fields["mode"]
    if mode not in ("none", "unreadable"):
        try:
            content = bytes.fromhex(mode)
        except ValueError:
            return ended("unreadable", "the host's answer could not be read", "failed")
        learned = changed if changed.isdigit() else None
        result["file"] = {"content": _shown(content), "owner": owner, "mode": permissions,
                          "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(learned)))
                          if learned else None}
        if content == b"1":
            return ended("off", f"off: {mode_file} holds 1")
        return ended("not off", f'not off: {mode_file} holds "{_shown(content)}"', "failed")
    if mode == "unreadable":
        return ended("unreadable", f"{mode_file} cannot be read by the login user: run the status "
                                   "with -b (become)", "failed")
    if fields["offswitch"] != "yes":
        return ended("no offswitch", f"offswitch is not installed, and {mode_file} is not there",
                     "failed")
    return ended("no mode file", f"{mode_file} is not there: the agent was never switched off "
                                 "on this host", "failed")

"""Shared helpers of the black-box tests: the programs under test, their private root, and runs."""

import os
import shutil
import subprocess

BIN = os.environ["VELKARAN_TEST_BIN"]
ROOT = os.environ["VELKARAN_TEST_ROOT"]
with open(os.environ["VELKARAN_TEST_KEY"], "rb") as key_file:
    KEY = key_file.read().strip()

VORNEK = os.path.join(ROOT, "vornek")
MODE = os.path.join(VORNEK, "swich_Velkaran.txt")
UPDATE = os.path.join(VORNEK, "quandrel", "dist", "quandrel")

PROMPT = (b"If you want to run norvane's emergency mode and switch the agent to off mode,\n"
          b"insert the key:")
SWITCHED = b"The mode of the agent is on off mode.\n"
WRONG = b"The key not invalid\n"


def fresh_root():
    """An empty private root holding only the vornek directory."""
    shutil.rmtree(ROOT, ignore_errors=True)
    os.makedirs(VORNEK)


def write(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    """The file's bytes, or None where there is no regular file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def run(program, stdin=b"", timeout=60, **kwargs):
    """Runs a program of the build as a process; returns the CompletedProcess."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    path = program if os.path.isabs(program) else os.path.join(BIN, program)
    return subprocess.run([path], input=stdin, timeout=timeout, check=False, **kwargs)


def temporaries():
    """Names in the mode file's directory that a switch may have left behind."""
    try:
        return sorted(n for n in os.listdir(VORNEK) if n.startswith(".swich_Velkaran.txt."))
    except FileNotFoundError:
        return []

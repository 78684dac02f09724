"""The fleet collection, installed with ansible-galaxy and run for real over SSH.

An sshd of the test's own (host key, port, authorized key and configuration in a scratch
directory) listens on 127.0.0.1 only, and is stopped at the end. Its inventory hosts are aliases of
the loopback, each with its own build of offswitch for a root of its own.
"""

import getpass
import json
import os
import pwd
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from harness import BUILD, KEY, PROMPT, cannot_run, enter_private_mounts, files_below, key_pieces
from harness import main
from harness import mount, release_mounts

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COLLECTION = os.environ.get("VELKARAN_COLLECTION", "")
SCRATCH = os.path.join(BUILD, "testing", "fleet")
SSHD = "/usr/sbin/sshd"
PLAYBOOK = "velkaran.offswitch.switch_off"
STATUS = "velkaran.offswitch.status"
RECORD = "velkaran.offswitch.record"
# Whether this ansible-core has paramiko (2.22 has not), as its own listing says: the tests may
# run under another Python than Ansible's.
PARAMIKO = bool(shutil.which("ansible-doc")) and "ansible.builtin.paramiko_ssh" in subprocess.run(
    ["ansible-doc", "-t", "connection", "-l"], capture_output=True, text=True, check=False).stdout
# The deprecation warnings a row may meet that are Ansible's of the row's own choice, not the
# collection's: paramiko, on 2.19 and 2.20.
DEPRECATED_BY_CHOICE = ("The paramiko connection plugin is deprecated",)

# Before any thread starts; as root, the read-only host's directory is mounted read-only in this
# namespace, which sshd and its sessions inherit.
NO_MOUNTS = enter_private_mounts()

# host: the key its offswitch is built for (None: the right one), whether its vornek/ is read-only
HOSTS = {"right": (None, False), "wrong": ("other", False), "readonly": (None, True),
         "silent": (None, False)}
# Beside them: "hang", whose offswitch never ends; "stall", whose port sends the SSH greeting and
# then nothing; "down", whose port is closed; "echo", whose offswitch_path prints its input in
# octal. "silent" switches, then its session goes silent. What each ends as, with its status, and
# how Ansible's recap counts it:
OUTCOMES = {"right": ("switched", 0, "changed"), "wrong": ("refused", 0, "failed"),
            "readonly": ("failed", 1, "failed"), "silent": ("timed out", None, "failed"),
            "hang": ("timed out", 124, "failed"), "stall": ("timed out", None, "unreachable"),
            "down": ("unreachable", None, "unreachable"), "echo": ("failed", 0, "failed")}
# A loaded machine may close the connection at the run's bound before timeout(1) ends "hang".
HANG_STOPPED_HERE = ("timed out", None, "failed")
SUMMARY = ("switched: 1 (right); refused: 1 (wrong); failed: 2 (readonly, echo); timed out: 3 "
           "(silent, hang, stall); unreachable: 1 (down)")
# What od prints for the key's first 16 bytes: the key, decodable, were it ever shown.
OD_LINE = subprocess.run(["od"], input=KEY[:16], capture_output=True, check=True).stdout.split(
    b"\n")[0][8:].decode()

# Runs offswitch, then stops the SSH session it runs in, so that the host goes silent after it
# took the key; the session is killed a little later.
SILENT = """#!/bin/sh
"$0.offswitch"
pid=$$
while [ "$pid" -gt 1 ]; do
    pid=$(cut -d' ' -f4 /proc/$pid/stat)
    if tr '\\0' ' ' </proc/$pid/cmdline | grep -q '@notty'; then
        (sleep 15; kill -KILL "$pid") >/dev/null 2>&1 &
        kill -STOP "$pid"
        exit 0
    fi
done
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs)


def mode_file(host):
    with open(os.path.join(SCRATCH, host, "root", "vornek", "swich_Velkaran.txt")) as f:
        return f.read()


def commands():
    """(pid, argument list) of every process running now."""
    for pid in (p for p in os.listdir("/proc") if p.isdigit()):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                yield int(pid), f.read().split(b"\0")
        except OSError:
            continue  # gone meanwhile


def leftovers():
    """ssh clients of the run, and host sessions' commands, still running."""
    return [b" ".join(command).decode(errors="replace") for _, command in commands()
            if (command[0].endswith(b"ssh") or b"timeout" in command[0])
            and any(SCRATCH.encode() in word for word in command)]


# Every command the test's sshd runs for a session has this in its environment (SetEnv), so
# that what the hosts still run can be found however it was started.
HOST_MARK = f"VELKARAN_FLEET_HOST={SCRATCH}".encode()


def host_processes():
    """What the hosts' sessions still run."""
    found = []
    for pid in (p for p in os.listdir("/proc") if p.isdigit()):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if HOST_MARK in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            continue  # gone meanwhile
    return found


def stop_the_hung_hosts():
    """Ends what the hosts' sessions still run (the hung ones' sleep among them), so that each
    case starts alone and nothing is left when the test ends."""
    for _ in range(50):
        pids = host_processes()
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass  # gone meanwhile
        time.sleep(0.1)
    raise AssertionError(f"the hosts' processes {host_processes()} outlive SIGKILL")


def stop_the_stopped_sessions(sshd):
    """Ends the sessions that "silent" stopped, whose killer stop_the_hung_hosts ended; only
    those, so that no session is cut short in its login scripts."""
    below, found = [sshd], []
    while below:
        for pid, _ in children(below.pop()):
            below.append(pid)
            found.append(pid)
    for pid in found:
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
                if f.read().rpartition(")")[2].split()[0] == "T":
                    os.kill(pid, signal.SIGKILL)
        except (OSError, IndexError):
            pass  # gone meanwhile


def children(pid):
    """The processes whose parent is pid, with their argument lists."""
    found = []
    for child, command in commands():
        try:
            with open(f"/proc/{child}/stat", encoding="ascii", errors="replace") as f:
                if int(f.read().rpartition(")")[2].split()[1]) == pid:
                    found.append((child, command))
        except (OSError, ValueError, IndexError):
            continue
    return found


def memory_holds(pid, needles):
    """Whether any readable memory of process pid holds one of needles (read as root, which
    a process that is not dumpable does not keep out)."""
    with open(f"/proc/{pid}/maps") as f:
        regions = [line.split() for line in f]
    with open(f"/proc/{pid}/mem", "rb", 0) as memory:
        for region in regions:
            if not region[1].startswith("r") or region[-1] in ("[vvar]", "[vsyscall]"):
                continue
            start, end = (int(n, 16) for n in region[0].split("-"))
            try:
                memory.seek(start)
                data = memory.read(end - start)
            except (OSError, OverflowError, ValueError):
                continue
            if any(needle in data for needle in needles):
                return True
    return False


def runner_artifacts(private):
    """The artifacts of ansible-runner's job "job" in private: the artifact_data of each
    statistics event (one, for a run that ended)."""
    events = os.path.join(private, "artifacts", "job", "job_events")
    found = []
    for name in os.listdir(events):
        with open(os.path.join(events, name)) as f:
            event = json.load(f)
        if event.get("event") == "playbook_on_stats":
            found.append(event["event_data"]["artifact_data"])
    assert len(found) == 1, found
    return found


def with_cores():
    """Lets the process started dump a core of any size, as `ulimit -c unlimited` would."""
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in (SSHD, "ssh", "ssh-keygen", "ansible-playbook", "ansible-galaxy", "sudo"):
            if not shutil.which(tool):
                cannot_run(f"{tool} is not installed")
        if not os.path.isfile(COLLECTION):
            cannot_run(f"the collection was not built ({COLLECTION or 'no ansible-galaxy'})")
        if os.geteuid() == 0 and NO_MOUNTS:
            cannot_run(NO_MOUNTS)
        shell = pwd.getpwuid(os.geteuid()).pw_shell
        if os.path.basename(shell) in ("nologin", "false"):
            cannot_run(f"the user {getpass.getuser()} cannot log in over SSH (shell {shell})")
        release_mounts(SCRATCH)
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)
        run("ansible-galaxy", "collection", "install", "-p", f"{SCRATCH}/collections", COLLECTION)
        cls.other_key = os.path.join(SCRATCH, "other.key")
        run("cmake", "-D", f"OFFSWITCH_GENERATE_KEY={cls.other_key}", "-P",
            os.path.join(SOURCE, "cmake", "OffswitchKey.cmake"))
        for host, (key, _) in HOSTS.items():
            root = os.path.join(SCRATCH, host, "root")
            os.makedirs(os.path.join(root, "vornek"))
            run("cmake", "-S", SOURCE, "-B", os.path.join(SCRATCH, host, "build"),
                "-DBUILD_TESTING=OFF", f"-DVELKARAN_DATA_DIR={root}",
                f"-DOFFSWITCH_KEY_FILE={cls.other_key if key else os.environ['VELKARAN_TEST_KEY']}")
            run("cmake", "--build", os.path.join(SCRATCH, host, "build"), "--target", "offswitch",
                "-j2")
        # A sudo that needs a password none gave, in sudo's own words.
        asking = "#!/bin/sh\necho 'sudo: a password is required' >&2\nexit 1\n"
        for name, script in (("hang", "#!/bin/sh\nexec sleep 600\n"), ("silent.sh", SILENT),
                             ("asking-sudo", asking)):
            with open(os.path.join(SCRATCH, name), "w") as f:
                f.write(script)
            os.chmod(os.path.join(SCRATCH, name), 0o755)
        os.symlink(os.path.join(SCRATCH, "silent", "build", "bin", "offswitch"),
                   os.path.join(SCRATCH, "silent.sh.offswitch"))
        cls.start_sshd()
        cls.stall_port = cls.start_stalling_host()

    @classmethod
    def start_stalling_host(cls):
        """A port that answers with the SSH greeting and then says nothing, for the class's life."""
        listener = socket.create_server(("127.0.0.1", 0))
        cls.stalled = [listener]

        def serve():
            while True:
                try:
                    connection = listener.accept()[0]
                except OSError:
                    return  # closed at the end
                connection.sendall(b"SSH-2.0-OpenSSH_9.2p1\r\n")
                cls.stalled.append(connection)

        threading.Thread(target=serve, daemon=True).start()
        return listener.getsockname()[1]

    @classmethod
    def start_sshd(cls):
        for name in ("host", "client"):
            run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(SCRATCH, name))
        shutil.copy(os.path.join(SCRATCH, "client.pub"), os.path.join(SCRATCH, "authorized_keys"))
        cls.port = free_port()
        with open(os.path.join(SCRATCH, "host.pub")) as f:
            host_key = " ".join(f.read().split()[:2])
        with open(os.path.join(SCRATCH, "known_hosts"), "w") as f:
            f.write(f"[127.0.0.1]:{cls.port} {host_key}\n")
        open(os.path.join(SCRATCH, "known_hosts.empty"), "w").close()
        with open(os.path.join(SCRATCH, "client.pub")) as f:  # a key, but not the host's
            other = " ".join(f.read().split()[:2])
        with open(os.path.join(SCRATCH, "known_hosts.other"), "w") as f:
            f.write(f"[127.0.0.1]:{cls.port} {other}\n")
        with open(os.path.join(SCRATCH, "sshd_config"), "w") as f:
            f.write(f"ListenAddress 127.0.0.1:{cls.port}\nHostKey {SCRATCH}/host\n"
                    f"AuthorizedKeysFile {SCRATCH}/authorized_keys\nPidFile {SCRATCH}/sshd.pid\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\n"
                    # A login script that takes a lock (a Python version manager's, in root's
                    # .bashrc on some machines) and is killed holding it, as sessions cut off at
                    # a bound are, must not hold every later session for a minute.
                    f"SetEnv {HOST_MARK.decode()} PYENV_REHASH_TIMEOUT=1\n")
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's own, as its package makes
        cls.sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", os.path.join(SCRATCH, "sshd_config")],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if cls.sshd.poll() is not None or time.monotonic() > deadline:
                    cannot_run("sshd cannot run here: "
                               + cls.sshd.stderr.read().decode(errors="replace"))
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        for connection in cls.stalled:
            connection.close()
        stop_the_stopped_sessions(cls.sshd.pid)
        cls.sshd.terminate()
        cls.sshd.wait(timeout=20)
        stop_the_hung_hosts()
        release_mounts(SCRATCH)

    def tearDown(self):
        stop_the_hung_hosts()
        stop_the_stopped_sessions(self.sshd.pid)

    def setUp(self):
        release_mounts(SCRATCH)
        for host, (_, read_only) in HOSTS.items():
            vornek = os.path.join(SCRATCH, host, "root", "vornek")
            os.chmod(vornek, 0o755)
            with open(os.path.join(vornek, "swich_Velkaran.txt"), "w") as f:
                f.write("0")
            if read_only and os.geteuid() == 0:  # root ignores permission bits
                mount("--bind", vornek, vornek)
                mount("-o", "remount,bind,ro", vornek)
            elif read_only:
                os.chmod(vornek, 0o555)
        self.work = os.path.join(SCRATCH, "work")  # the operator's working directory
        for path in (self.work, os.path.join(SCRATCH, "tmp"), os.path.join(SCRATCH, "inventory")):
            shutil.rmtree(path, ignore_errors=True)
        os.makedirs(self.work)

    def play(self, *args, group_vars="", environment=(), extra_hosts="", playbook=PLAYBOOK,
             inventory=None):
        """Runs the installed collection's playbook (or another) from the operator's working
        directory, with an inventory of every host (group_vars/all.yml holding group_vars), or
        another; returns the result and everything it printed. Every host ends within the short
        timeouts."""
        command, environment = self.prepare(args, group_vars, environment, extra_hosts)
        command[2:4] = [inventory or command[2], playbook]
        result = subprocess.run(command, capture_output=True, text=True, env=environment,
                                timeout=120, check=False, cwd=self.work, stdin=subprocess.DEVNULL)
        output = result.stdout + result.stderr
        self.assert_clean(output)
        return result, output

    def assert_clean(self, output):
        self.assert_no_key_anywhere(output)
        for line in output.splitlines():
            if "DEPRECATION" in line and not any(w in line for w in DEPRECATED_BY_CHOICE):
                self.fail(f"a deprecation warning: {line}")
        self.assertNotIn("Failure using method", output)  # a callback's exception, on 2.14
        self.assertNotIn("Callback dispatch", output)  # and on 2.19 and later

    def prepare(self, args, group_vars, environment, extra_hosts):
        """The inventory, and the command and environment that run the playbook with it."""
        inventory = os.path.join(SCRATCH, "inventory")
        os.makedirs(os.path.join(inventory, "group_vars"), exist_ok=True)
        with open(os.path.join(inventory, "hosts"), "w") as f:
            f.write("[agents]\n")
            for host in HOSTS:
                f.write(f"{host} offswitch_path={SCRATCH}/{host}/build/bin/offswitch "
                        f"offswitch_mode_file={SCRATCH}/{host}/root/vornek/swich_Velkaran.txt\n")
            f.write(f"silent offswitch_path={SCRATCH}/silent.sh\n")
            f.write(f"hang offswitch_path={SCRATCH}/hang\n")
            f.write(f"stall ansible_port={self.stall_port}\n")
            f.write(f"down ansible_port={free_port()}\n")
            f.write("echo offswitch_path=/usr/bin/od\n")
            f.write(extra_hosts)
            f.write("[empty]\n")
            # No Python on the hosts is needed: the interpreter named here does not exist.
            f.write(f"[agents:vars]\nansible_host=127.0.0.1\nansible_port={self.port}\n"
                    f"ansible_user={getpass.getuser()}\nansible_ssh_timeout=5\n"
                    "ansible_python_interpreter=/nonexistent/python3\n"
                    f"ansible_ssh_private_key_file={SCRATCH}/client\n"
                    f"ansible_ssh_common_args=-F /dev/null -o IdentitiesOnly=yes "
                    f"-o UserKnownHostsFile={SCRATCH}/known_hosts -o StrictHostKeyChecking=yes\n")
        with open(os.path.join(inventory, "group_vars", "all.yml"), "w") as f:
            f.write("---\n" + group_vars)
            for name, value in (("offswitch_key_file", os.environ["VELKARAN_TEST_KEY"]),
                                ("offswitch_timeout", 3)):
                if name not in group_vars:
                    f.write(f"{name}: {value}\n")
        config = os.path.join(SCRATCH, "ansible.cfg")
        open(config, "w").close()
        environment = {**os.environ, "ANSIBLE_CONFIG": config, "ANSIBLE_NOCOLOR": "1",
                       "ANSIBLE_COLLECTIONS_PATH": f"{SCRATCH}/collections",
                       "ANSIBLE_LOCAL_TEMP": f"{SCRATCH}/tmp/local",
                       "ANSIBLE_REMOTE_TEMP": f"{SCRATCH}/tmp/remote",
                       "ANSIBLE_SSH_CONTROL_PATH_DIR": f"{SCRATCH}/tmp/cp",
                       "ANSIBLE_LOG_PATH": f"{SCRATCH}/tmp/ansible.log",
                       "ANSIBLE_CALLBACKS_ENABLED": RECORD, "ANSIBLE_DEPRECATION_WARNINGS": "1",
                       **dict(environment)}
        environment = {k: v for k, v in environment.items() if v is not None}  # None: unset
        return ["ansible-playbook", "-i", inventory, PLAYBOOK, "-f", "20", *args], environment

    def assert_no_key_anywhere(self, output):
        """No piece of the key, nor of offswitch's prompt or od's rendering, in the output, nor any
        piece of the key in any file left on either side (the hosts are this machine)."""
        self.assertNotIn(KEY[:64].decode(), output)
        self.assertNotIn(OD_LINE, output)
        files = list(files_below(SCRATCH, skip={self.other_key, f"{SCRATCH}/collections"}))
        self.assertEqual(list(key_pieces(files, [KEY])), [])
        for path in files:
            with open(path, "rb") as f:
                self.assertNotIn(OD_LINE.encode(), f.read(), path)

    def report(self, path=None):
        with open(path or os.path.join(self.work, "offswitch-report.json")) as f:
            return {e["host"]: e for e in json.load(f)}

    def retry(self, path=None):
        with open(path or os.path.join(self.work, "offswitch.retry")) as f:
            return f.read().split()

    def test_each_host_reports_its_outcome_and_nothing_of_the_run_is_left(self):
        result, output = self.play("-vvvv")
        flat = " ".join(output.split())
        self.assertEqual(result.returncode, 4, output)  # hosts failed, and some unreachable
        self.assertIn(SUMMARY, flat)
        for reason in ['wrong: refused the key: "The key not invalid"',
                       "readonly: could not write the mode file (status 1)",
                       "echo: /usr/bin/od printed something that is not an answer of offswitch",
                       "silent: the host went silent for 5 s after the login, when the key may "
                       "have been sent: it may or may not have switched the agent",
                       "hang: offswitch did not answer within 3 s and was stopped on the host",
                       "stall: timed out after 5 s connecting or logging in: not switched",
                       "down: could not log in: the connection was refused: not switched"]:
            self.assertIn(reason, flat)
        self.assertEqual([mode_file(host) for host in HOSTS], ["1", "0", "0", "1"])
        report = self.report()
        seen = {host: (e["outcome"], e["status"]) for host, e in report.items()}
        if seen["hang"] == HANG_STOPPED_HERE[:2]:
            seen["hang"] = OUTCOMES["hang"][:2]
        self.assertEqual(seen, {host: o[:2] for host, o in OUTCOMES.items()})
        self.assertEqual(report["right"]["answer"], "The mode of the agent is on off mode.")
        self.assertEqual(report["echo"]["answer"], "")
        self.assertEqual(self.retry(), [h for h in OUTCOMES if h != "right"])
        for host, (_, _, counted) in OUTCOMES.items():  # Ansible's own recap agrees
            recap = next(line for line in output.splitlines() if line.startswith(host + " "))
            self.assertIn(f"{counted}=1", recap)
        time.sleep(1)  # timeout(1) on the hosts ends what it ran; no ssh client is left at all
        self.assertEqual(leftovers(), [])

    # name, arguments, environment, group_vars, the hosts, what the output says, what each host
    # ends as (None: the run is refused before any host: each fails, nothing sent, status 2),
    # the exit status. Each row
    # starts from an earlier run's record; a row that sends nothing must leave it as it was.
    SETTINGS = [
        ("the hosts named the old way", [], {}, "offswitch_hosts: agents\n", "right",
         "offswitch_hosts is set (for right) but no longer read: choose the hosts with --limit",
         None, 2),
        ("become asked for the old way", ["-e", "offswitch_become=true"], {}, "", "right",
         "offswitch_become is set", None, 2),
        # --step asks before the task, on standard input: at its end, 2.19 and later fail with
        # an error of their own (250) where 2.14 takes it for no.
        ("--step", ["--step"], {}, "", "right", "--step waits for a person", None, (2, 250)),
        ("a report that cannot be named", [], {}, 'offswitch_report: "{{ nowhere }}"\n',
         "right", "the record of this run cannot be prepared", None, 2),
        # The play keeps the debugger off and the strategy linear, whatever the configuration.
        ("the task debugger", [], {"ANSIBLE_ENABLE_TASK_DEBUGGER": "1"}, "", "right,wrong",
         "switched: 1 (right); refused: 1 (wrong)", {"right": "switched", "wrong": "refused"}, 2),
        ("the debug strategy", [], {"ANSIBLE_STRATEGY": "debug"}, "", "right,wrong",
         "switched: 1 (right); refused: 1 (wrong)", {"right": "switched", "wrong": "refused"}, 2),
        ("the record not enabled", [], {"ANSIBLE_CALLBACKS_ENABLED": None}, "", "right",
         "the record of this run would not be kept, so the key is not sent: run it again with "
         "the callback velkaran.offswitch.record enabled, e.g. "
         "ANSIBLE_CALLBACKS_ENABLED=velkaran.offswitch.record", "kept", 2),
        ("become through su, from the inventory", [], {},
         "ansible_become: true\nansible_become_method: su\n", "right",
         "right: refused on the control machine: become through su", {"right": "failed"}, 2),
        ("become spelled y, through sudo", ["-vvv"], {"ANSIBLE_BECOME_ALLOW_SAME_USER": "1"},
         "ansible_become: y\n", "right",
         "sudo -H -S -n", {"right": "switched"}, 0),
        # ansible-core 2.22 has no paramiko: there the host fails before the action runs.
        ("paramiko", ["-c", "paramiko"], {}, "", "right",
         "cannot hand the key to offswitch's standard input: use ssh" if PARAMIKO else
         "the connection plugin 'paramiko' was not found", {"right": "failed"}, 2),
        ("debug mode", [], {"ANSIBLE_DEBUG": "1"}, "", "right", "debug mode (ANSIBLE_DEBUG)",
         {"right": "failed"}, 2),
        ("pipelining off and remote files kept", ["-vvv"],
         {"ANSIBLE_PIPELINING": "0", "ANSIBLE_KEEP_REMOTE_FILES": "1"}, "", "right,wrong",
         "switched: 1 (right); refused: 1 (wrong)", {"right": "switched", "wrong": "refused"}, 2),
        ("--tags", ["--tags", "nothing"], {}, "", "right", "switched: 1 (right)",
         {"right": "switched"}, 0),
        ("--start-at-task", ["--start-at-task", "nothing"], {}, "", "right,wrong",
         "not run: 2 (right, wrong)", "kept", 2),
        ("--check", ["--check"], {}, "", "right,wrong", "check mode: nothing was sent; would run "
         f"timeout --kill-after=5 3 {SCRATCH}/right/build/bin/offswitch", "kept", 0),
        ("every host fails", [], {}, "", "down,stall,wrong",
         "refused: 1 (wrong); failed: 0; timed out: 1 (stall); unreachable: 1 (down)",
         {"down": "unreachable", "stall": "timed out", "wrong": "refused"}, 4),
        ("a bound from the inventory", [], {}, "offswitch_timeout: 1\n", "hang",
         "hang: offswitch did not answer within 1 s", {"hang": "timed out"}, 2),
        ("fewer forks than hosts", ["-f", "1"], {}, "", "right,wrong",
         "2 hosts, 1 at a time (forks): up to 2 batches", {"right": "switched",
                                                            "wrong": "refused"}, 2),
        ("a key file that is not one", [], {}, "offswitch_key_file: /etc/hostname\n", "right",
         "the key file /etc/hostname is not a key file", None, 2),
        ("a directory as the key file", ["-e", f"offswitch_key_file={SCRATCH}"], {}, "",
         "right", f"the key file {SCRATCH} is a directory", None, 2),
        ("/dev/null as the key file", ["-e", "offswitch_key_file=/dev/null"], {}, "", "right",
         "the key file /dev/null is a character device", None, 2),
        ("a sudo that asks for a password", [], {"ANSIBLE_BECOME_ALLOW_SAME_USER": "1"},
         f"ansible_become: true\nansible_become_exe: {SCRATCH}/asking-sudo\n", "right",
         "right: could not become root through sudo: sudo asks for a password: give it with "
         "--ask-become-pass or ansible_become_password; nothing was sent", {"right": "failed"}, 2),
        ("the local connection with become", ["-c", "local", "-b"],
         {"ANSIBLE_BECOME_ALLOW_SAME_USER": "1"}, "", "right",
         "the local connection with become would let sudo read the key as a password",
         {"right": "failed"}, 2),
        # Which host key failed: unknown (never seen) or changed (perhaps an attack).
        ("an unknown host key", ["-e", json.dumps({"ansible_ssh_common_args": (
            f"-F /dev/null -o UserKnownHostsFile={SCRATCH}/known_hosts.empty -o "
            "StrictHostKeyChecking=yes")})], {}, "", "right",
         "right: could not log in: the host's key is not in known_hosts", {"right": "unreachable"},
         4),
        # Without a terminal to ask at (cron, CI, AWX), ssh's words do not tell which.
        ("an unknown host key, and no terminal to ask at", ["-e", json.dumps({
            "ansible_ssh_common_args": (f"-F /dev/null -o UserKnownHostsFile={SCRATCH}/"
                                        "known_hosts.empty -o StrictHostKeyChecking=ask")})],
         {}, "", "right", "right: could not log in: the host's key could not be verified: it is "
         "not in known_hosts (a new host: add it, after checking its fingerprint), or it does not "
         "match the known hosts", {"right": "unreachable"}, 4),
        ("a changed host key", ["-e", json.dumps({"ansible_ssh_common_args": (
            f"-F /dev/null -o UserKnownHostsFile={SCRATCH}/known_hosts.other -o "
            "StrictHostKeyChecking=yes")})], {}, "", "right",
         "right: could not log in: the host key does not match the known hosts",
         {"right": "unreachable"}, 4),
    ]

    def test_each_setting_is_honoured_or_refused_as_a_user_gives_it(self):
        for name, args, environment, group_vars, limit, said, ends, status in self.SETTINGS:
            with self.subTest(name):
                self.setUp()
                earlier = self.earlier_record(HOSTS)
                result, output = self.play("--limit", limit, *args, group_vars=group_vars,
                                           environment=environment)
                flat = " ".join(output.split())
                self.assertIn(result.returncode, status if isinstance(status, tuple) else
                              (status,), output)
                self.assertIn(said, flat)
                targets = limit.split(",")
                if ends in (None, "kept"):  # nothing sent: the earlier record stands
                    if ends is None:  # said once, and each host failed with it
                        self.assertEqual(flat.count("Refusing to switch any host off"), 1, output)
                        for host in targets if "--step" not in args else ():
                            # (--step asks first; answered no, the task is skipped instead)
                            self.assertRegex(output, rf"\n{host} +: ok=0 +changed=0 .*failed=1")
                    if "offswitch_report" in group_vars:  # which report, it cannot know
                        self.assertIn("the report and the retry file of the last run that sent "
                                      "the key are left as they were", flat)
                        self.assertNotIn("offswitch-report.json", flat)
                    elif "ANSIBLE_CALLBACKS_ENABLED" not in environment:
                        self.assertIn("the report of the last run that sent the key, "
                                      f"{self.work}/offswitch-report.json, is left as it was",
                                      flat)
                    self.assertEqual(self.record_bytes(), earlier)
                    ends = {}
                else:
                    report = self.report()
                    mine = {h: e["outcome"] for h, e in report.items() if h in targets}
                    self.assertEqual(mine, ends)
                    self.assertEqual(sorted(self.retry()),
                                     sorted(h for h in mine if ends[h] != "switched"))
                    # the earlier run's other hosts are kept as they were
                    self.assertEqual({e["reason"] for h, e in report.items() if h not in mine},
                                     {"EARLIER RUN"} if set(HOSTS) - set(targets) else set())
                for host in HOSTS:
                    self.assertEqual(mode_file(host), "1" if ends.get(host) == "switched" else "0")

    def earlier_record(self, hosts):
        """An earlier run's record, in which every host was switched; returns its bytes."""
        with open(os.path.join(self.work, "offswitch-report.json"), "w") as f:
            json.dump([{"host": h, "outcome": "switched", "status": 0, "answer": "",
                        "reason": "EARLIER RUN"} for h in hosts], f)
        open(os.path.join(self.work, "offswitch.retry"), "w").close()
        return self.record_bytes()

    def record_bytes(self):
        found = []
        for name in ("offswitch-report.json", "offswitch.retry"):
            with open(os.path.join(self.work, name), "rb") as f:
                found.append(f.read())
        return found

    def test_the_retry_file_switches_the_rest_and_the_inventory_names_the_files(self):
        # The files from group_vars, relative to the operator's working directory.
        files = "offswitch_report: out/report.json\noffswitch_retry: out/retry\n"
        os.makedirs(os.path.join(self.work, "out"))
        result, output = self.play("--limit", "right,wrong,readonly", group_vars=files)
        self.assertEqual(self.retry(f"{self.work}/out/retry"), ["wrong", "readonly"])
        self.assertIn(f"retry them with --limit @{self.work}/out/retry", output)
        self.assertEqual(sorted(os.listdir(self.work)), ["out"])
        result, output = self.play("--limit", f"@{self.work}/out/retry", group_vars=files)
        self.assertEqual(result.returncode, 2, output)
        recap = output.split("PLAY RECAP")[1]
        self.assertEqual(sorted(line.split()[0] for line in recap.splitlines() if " : ok=" in line),
                         ["readonly", "wrong"])
        # and the record still holds the host the first run switched
        self.assertEqual({h: e["outcome"] for h, e in self.report(
            f"{self.work}/out/report.json").items()},
            {"right": "switched", "wrong": "refused", "readonly": "failed"})

    def test_no_other_user_can_stop_the_switch_through_the_records_place(self):
        shared = os.path.join(SCRATCH, "shared")  # a directory every user may write, as /tmp
        home = os.path.join(SCRATCH, "home")
        kept = os.path.join(home, ".local", "state", "velkaran-offswitch",
                            shared.strip("/").replace("/", "_") + "_offswitch-report.json")
        elsewhere = os.path.join(SCRATCH, "elsewhere")
        report = os.path.join(shared, "offswitch-report.json")

        def planted(path, owner=65534):
            with open(path, "w") as f:
                f.write("untouched")
            os.chown(path, owner, owner)
        # what another user put where the record goes (nothing: the directory alone)
        for name, plant in [
                ("nothing", lambda: None),
                ("another user's report", lambda: planted(report)),
                ("a link in the report's place", lambda: os.symlink(elsewhere, report)),
                ("another user's lock", lambda: planted(f"{shared}/.offswitch-report.json.lock")),
                ("a link in the lock's place",
                 lambda: os.symlink(elsewhere, f"{shared}/.offswitch-report.json.lock"))]:
            with self.subTest(name):
                self.setUp()
                for path in (shared, home):
                    shutil.rmtree(path, ignore_errors=True)
                os.makedirs(shared)
                os.chmod(shared, 0o1777)
                planted(elsewhere, os.geteuid())
                plant()
                before = sorted(os.listdir(shared))
                result, output = self.play(
                    "--limit", "right", "-e", f"offswitch_report={report}",
                    "-e", f"offswitch_retry={shared}/offswitch.retry",
                    environment={"HOME": home})
                flat = " ".join(output.split())
                self.assertEqual((result.returncode, mode_file("right")), (0, "1"), output)
                self.assertIn(f"{report} is not used (", flat)
                self.assertIn(f"this run keeps it in {kept}", flat)
                self.assertIn(f"report: {kept} (1 hosts, 0 not known to be off)", flat)
                self.assertEqual(self.report(kept)["right"]["outcome"], "switched")
                self.assertEqual(sorted(os.listdir(shared)), before)  # nothing written there
                with open(elsewhere) as f:
                    self.assertEqual(f.read(), "untouched")
                if name.startswith("another"):
                    with open(os.path.join(shared, before[0])) as f:
                        self.assertEqual(f.read(), "untouched")
                info = os.stat(kept)
                self.assertEqual((info.st_uid, info.st_mode & 0o777), (os.geteuid(), 0o600))

    def test_the_key_comes_from_where_operators_keep_it(self):
        key = os.environ["VELKARAN_TEST_KEY"]
        password = os.path.join(SCRATCH, "vault-password")
        with open(password, "w") as f:
            f.write("a vault password\n")
        vault = os.path.join(SCRATCH, "key.vault")
        if os.path.exists(vault):
            os.unlink(vault)
        run("ansible-vault", "encrypt", "--vault-password-file", password, "--output", vault,
            key)
        loose = os.path.join(BUILD, "testing", "fleet-loose.key")  # beside the key, not below
        shutil.copy(key, loose)
        self.addCleanup(os.unlink, loose)  # no copy of a key is left in the build tree
        os.chmod(loose, 0o644)
        wrong = os.path.join(SCRATCH, "vault-wrong")
        with open(wrong, "w") as f:
            f.write("another password\n")
        more = "".join(f"{h} offswitch_path={SCRATCH}/right/build/bin/offswitch\n"
                       for h in ("right2", "right3"))
        # name, arguments, how the command runs (None: as it is), its standard input, what is
        # said, the exit status
        for name, args, shell, stdin, said, status in [
                ("a vault file, with a password file",
                 ["-e", f"offswitch_key_file={vault}", "--vault-password-file", password, "-vvvv"],
                 None, None, "switched: 3 (right, right2, right3)", 0),
                ("a vault file, with --vault-id", ["-e", f"offswitch_key_file={vault}",
                                                   "--vault-id", f"ops@{password}"],
                 None, None, "switched: 3", 0),
                ("a vault file, with a wrong password", ["-e", f"offswitch_key_file={vault}",
                                                         "--vault-password-file", wrong],
                 None, None, f"the key file {vault} is a vault that the run's vault secrets "
                             "cannot decrypt", 2),
                ("a pipe", [], f"exec \"$@\" -e offswitch_key_file=<(cat {key})", None,
                 "switched: 3", 0),
                ("standard input", ["-e", "offswitch_key_file=-"], None, key, "switched: 3", 0),
                ("a key file others can read", ["-e", f"offswitch_key_file={loose}"], None, None,
                 f"the key file {loose} is not kept as a secret: its mode 0644 lets other "
                 f"users read or write it. Fix it: chmod 600 {loose}", 0)]:
            with self.subTest(name):
                self.setUp()
                earlier = self.earlier_record(["right", "right2", "right3"])
                command, environment = self.prepare(["--limit", "right,right2,right3", *args],
                                                    "", {}, more)
                if shell:
                    command = ["bash", "-c", shell, "bash", *command]
                with open(stdin or os.devnull, "rb") as given:
                    done = subprocess.run(command, capture_output=True, text=True,
                                          env=environment, timeout=120, check=False,
                                          cwd=self.work, stdin=given)
                output = done.stdout + done.stderr
                self.assert_clean(output)
                self.assertEqual(done.returncode, status, output)
                flat = " ".join(output.split())
                self.assertIn(said, flat)
                self.assertEqual("not kept as a secret" in flat, name.endswith("can read"))
                if status == 0:
                    self.assertEqual(mode_file("right"), "1")
                else:
                    self.assertEqual(self.record_bytes(), earlier)
                    self.assertEqual(mode_file("right"), "0")

    # The signal, whether it goes to the whole process group (as Ctrl-C, a service manager or a
    # dropped session send it) or to ansible-playbook alone, how many are sent, and what the
    # hosts whose results had not come back end as.
    STOPS = [("SIGINT", True, 1, "interrupted"), ("SIGINT", True, 2, "interrupted"),
             ("SIGTERM", True, 1, "interrupted"), ("SIGTERM", False, 1, "interrupted"),
             ("SIGHUP", True, 1, "interrupted"), ("SIGHUP", False, 1, "interrupted"),
             ("SIGQUIT", False, 1, "interrupted"),
             ("SIGKILL", True, 1, "pending")]

    def test_a_stopped_run_leaves_a_true_record(self):
        hung = "hang2 offswitch_path=%s/hang\nhang3 offswitch_path=%s/hang\n" % (SCRATCH, SCRATCH)
        for signame, group, times, ends in self.STOPS:
            with self.subTest(f"{signame} to the {'group' if group else 'process'} x{times}"):
                self.setUp()
                self.earlier_record(["right", "hang2", "hang3"])
                command, environment = self.prepare(
                    ["--limit", "right,hang2,hang3"], "offswitch_timeout: 20\n", {}, hung)
                with subprocess.Popen(command, env=environment, cwd=self.work, text=True,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, start_new_session=True) as run:
                    try:
                        # The retry file is replaced after the report.
                        self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched"
                                                 and r["hang2"]["outcome"] == "pending"
                                                 and self.retry() == ["hang2", "hang3"])
                        for _ in range(times):
                            if group:
                                os.killpg(run.pid, getattr(signal, signame))
                            else:
                                os.kill(run.pid, getattr(signal, signame))
                            time.sleep(0.05)
                        output = run.communicate(timeout=60)[0]
                    finally:
                        if run.poll() is None:
                            os.killpg(run.pid, signal.SIGKILL)
                self.assertNotEqual(run.returncode, 0, output)
                report = self.report()
                self.assertEqual({h: e["outcome"] for h, e in report.items()},
                                 {"right": "switched", "hang2": ends, "hang3": ends})
                self.assertIn("it may or may not have switched; the mode file tells",
                              report["hang2"]["reason"])
                self.assertEqual(self.retry(), ["hang2", "hang3"])
                self.assertNotIn("EARLIER RUN", json.dumps(report))
                if ends == "interrupted":
                    self.assertIn(f"the run was stopped ({signame})", report["hang3"]["reason"])
                    self.assertIn("switched: 1 (right); refused: 0; failed: 0; timed out: 0; "
                                  "unreachable: 0; interrupted: 2 (hang2, hang3)", output)
                self.assertEqual(mode_file("right"), "1")
                self.assert_clean(output)
                if signame != "SIGKILL":  # which 2.19's detached workers would outlive
                    deadline = time.monotonic() + 10
                    while [c for c in leftovers() if c.split()[0].endswith("ssh")]:
                        self.assertLess(time.monotonic(), deadline, leftovers())
                        time.sleep(0.1)
                stop_the_hung_hosts()
        # After the stop, the retry file targets exactly the hosts not known to be off.
        result, output = self.play("--limit", f"@{self.work}/offswitch.retry",
                                   group_vars="offswitch_timeout: 1\n", extra_hosts=hung)
        self.assertEqual(result.returncode, 2, output)
        recap = output.split("PLAY RECAP")[1]
        self.assertEqual(sorted(line.split()[0] for line in recap.splitlines() if " : ok=" in line),
                         ["hang2", "hang3"])
        self.assertEqual(self.report()["right"]["outcome"], "switched")

    def wait_for_the_record(self, done, seconds=30, path=None):
        """Waits until the report on disk satisfies done."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                if done(self.report(path)):
                    return
            except (OSError, ValueError, KeyError):
                pass  # not written yet
            self.assertLess(time.monotonic(), deadline, "the record was not written in time")
            time.sleep(0.05)

    def test_a_run_that_sends_nothing_leaves_the_record_as_it_was(self):
        result, output = self.play("--limit", "right,wrong")
        self.assertEqual(result.returncode, 2, output)
        real = self.record_bytes()
        empty = os.path.join(SCRATCH, "empty-inventory")
        open(empty, "w").close()
        # arguments, the inventory, what is said, the exit status
        for args, inventory, said, status in [
                (["--check"], None, "check mode: nothing was sent", 0),
                (["--step"], None, "Refusing to switch any host off: --step", (2, 250)),
                # An empty group: Ansible refuses the --limit itself, or the play matches nothing
                (["--limit", "empty"], None, ("no host matched: nothing was switched",
                                              "no hosts to target"), 1),
                ([], empty, "no host matched: nothing was switched", 1),
                # the switch skipped: ansible-core's own error, and the record's status
                (["--limit", "right", "--start-at-task", "nothing"], None,
                 'No matching task "nothing" found', 2),
                # Ansible's own refusal, before any play
                (["--limit", "nosuchhost"], None, "no hosts to target", 1)]:
            with self.subTest(" ".join(args) or "an empty inventory"):
                # A callback listed after the record has the end of every run.
                done, output = self.play(*args, inventory=inventory, environment={
                    "ANSIBLE_CALLBACKS_ENABLED": f"{RECORD},ansible.posix.timer"})
                self.assertIn(done.returncode, status if isinstance(status, tuple) else (status,),
                              output)
                if done.returncode != 250 and "no hosts to target" not in output:
                    self.assertIn("Playbook run took", output)  # the timer's own last line
                flat = " ".join(output.split())
                said = [words for words in ([said] if isinstance(said, str) else said)
                        if words in flat]
                self.assertTrue(said, output)
                if args == ["--check"]:  # each host ok, not skipped: what would have run
                    self.assertRegex(output, r"\nright +: ok=1 +changed=0 .*skipped=0")
                if said[0] != "no hosts to target":
                    self.assertIn("the report of the last run that sent the key, "
                                  f"{self.work}/offswitch-report.json, is left as it was",
                                  " ".join(output.split()))
                self.assertEqual(self.record_bytes(), real)

    def test_a_play_kept_from_the_first_release_is_told_of_the_callback(self):
        earlier = self.earlier_record(HOSTS)
        kept = os.path.join(SCRATCH, "kept.yml")
        with open(kept, "w") as f:  # its play named the removed strategy
            f.write("---\n- name: Switch off\n  hosts: all\n  gather_facts: false\n"
                    "  strategy: velkaran.offswitch.report\n  tasks:\n"
                    "    - name: Switch off\n      velkaran.offswitch.switch_off:\n")
        result, output = self.play("--limit", "right", playbook=kept)
        self.assertNotEqual(result.returncode, 0, output)
        # in each release's own words, then the collection's
        self.assertRegex(" ".join(output.split()),
                         r"velkaran\.offswitch\.report'?( strategy plugin)? has been removed\. "
                         rf"The fleet's record is kept by the callback {re.escape(RECORD)}:")
        self.assertEqual(mode_file("right"), "0")
        self.assertEqual(self.record_bytes(), earlier)

    HUNG = "hang2 offswitch_path=%s/hang\n" % SCRATCH

    def start(self, args, group_vars="", environment=(), playbook=PLAYBOOK, extra_hosts=HUNG,
              **kwargs):
        """Starts the playbook in a session of its own, its output on pipes; it must be ended."""
        command, environment = self.prepare(args, group_vars, environment, extra_hosts)
        command[3] = playbook
        return subprocess.Popen(command, env=environment, cwd=self.work, text=True,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True, **kwargs)

    def finish(self, run):
        """(stdout, stderr) of a started run, which is killed if it does not end in time."""
        try:
            return run.communicate(timeout=60)
        finally:
            if run.poll() is None:
                os.killpg(run.pid, signal.SIGKILL)
                run.wait()

    def assert_no_ssh_client_left(self):
        deadline = time.monotonic() + 5
        while [c for c in leftovers() if c.split()[0].endswith("ssh")]:
            self.assertLess(time.monotonic(), deadline, leftovers())
            time.sleep(0.1)

    def cores(self):
        return [os.path.join(self.work, n) for n in os.listdir(self.work) if n.startswith("core")]

    def test_no_core_dump_holds_the_key(self):
        with open("/proc/sys/kernel/core_pattern") as f:
            pattern = f.read().strip()
        if pattern.startswith("|") or "/" in pattern:
            cannot_run(f"the kernel writes cores as {pattern!r}, not in the working directory")
        # A process that holds the key, under the same limits, leaves a core that holds it: so a
        # core of the run, were there one, would be found.
        holder = subprocess.Popen(
            [sys.executable, "-c", "import sys; k = open(sys.argv[1], 'rb').read(); "
             "print(flush=True); sys.stdin.read()", os.environ["VELKARAN_TEST_KEY"]],
            cwd=self.work, preexec_fn=with_cores, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        holder.stdout.readline()
        holder.send_signal(signal.SIGQUIT)
        holder.wait(timeout=30)
        self.assertTrue(list(key_pieces(self.cores(), [KEY])), "no core dump here to look into")
        # SIGQUIT (Ctrl-\) to ansible-playbook, to one worker, and to the whole group
        for whom in ("main", "worker", "group"):
            with self.subTest(whom):
                self.setUp()
                run = self.start(["--limit", "right,hang2"], "offswitch_timeout: 20\n",
                                 preexec_fn=with_cores)
                try:
                    self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched")
                    workers = [pid for pid, command in children(run.pid)
                               if b"ansible-playbook" in b" ".join(command)]
                    if whom == "main":
                        os.kill(run.pid, signal.SIGQUIT)
                    elif whom == "worker":
                        self.assertEqual(len(workers), 1, children(run.pid))
                        os.kill(workers[0], signal.SIGQUIT)
                    else:
                        os.killpg(run.pid, signal.SIGQUIT)
                finally:
                    output = "".join(self.finish(run))
                self.assertNotEqual(run.returncode, 0, output)
                self.assertEqual(self.cores(), [])
                # However it ended, the record says so, and nothing of the run goes on.
                self.assertEqual(self.report()["hang2"]["outcome"], "interrupted")
                self.assertIn(f"report: {self.work}/offswitch-report.json", output)
                if whom == "worker":
                    self.assertIn("A worker was found in a dead state", output)
                    self.assertIn("the run was stopped (Ansible ended it with an error)", output)
                self.assert_no_ssh_client_left()
                self.assert_clean(output)

    def test_no_later_play_holds_the_key(self):
        playbook = os.path.join(self.work, "wrapper.yml")
        with open(playbook, "w") as f:
            f.write(f"---\n- name: Switch off\n  ansible.builtin.import_playbook: {PLAYBOOK}\n"
                    "- name: Afterwards\n  hosts: right\n  gather_facts: false\n  tasks:\n"
                    "    - name: Take a while\n      ansible.builtin.raw: sleep 4\n")
        needles = [KEY[i:i + 32] for i in range(0, len(KEY) - 32, 97)]
        run = self.start(["--limit", "right,hang2"], "offswitch_timeout: 3\n", playbook=playbook)
        try:
            self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched")
            # While the switch's play runs, its process holds the key: the search finds it.
            self.assertTrue(memory_holds(run.pid, needles))
            deadline = time.monotonic() + 60
            while not [c for c in commands() if b"sleep 4" in b" ".join(c[1])
                       and c[1][0].endswith(b"ssh")]:
                self.assertLess(time.monotonic(), deadline, "the later play did not start")
                time.sleep(0.05)
            ssh = next(pid for pid, c in commands() if b"sleep 4" in b" ".join(c)
                       and c[0].endswith(b"ssh"))
            with open(f"/proc/{ssh}/stat") as f:
                worker = int(f.read().rpartition(")")[2].split()[1])
            for pid in (run.pid, worker):
                self.assertFalse(memory_holds(pid, needles), pid)
        finally:
            output = "".join(self.finish(run))
        self.assertEqual(run.returncode, 2, output)
        self.assertIn("timed out: 1 (hang2)", output)

    def test_machine_readable_output_stays_whole(self):
        json_out = {"ANSIBLE_STDOUT_CALLBACK": "json"}
        # name, arguments, what standard error says, the exit status
        for name, args, said, status in [
                ("a normal run", ["--limit", "right,wrong"], "switched: 1 (right)", 2),
                ("a refused run", ["--limit", "right", "-e", "offswitch_become=true"],
                 "Refusing to switch any host off: offswitch_become is set", 2)]:
            with self.subTest(name):
                self.setUp()
                done, output = self.play(*args, environment=json_out)
                self.assertEqual(done.returncode, status, output)
                self.assertIn("plays", json.loads(done.stdout))
                self.assertIn(said, " ".join(done.stderr.split()))
        with self.subTest("a stopped run"):
            self.setUp()
            run = self.start(["--limit", "right,hang2"], "offswitch_timeout: 20\n", json_out)
            try:
                self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched")
                os.killpg(run.pid, signal.SIGTERM)
            finally:
                out, err = self.finish(run)
            document = json.loads(out)
            self.assertEqual((document["stopped"], document["offswitch"]["hang2"]["outcome"]),
                             ("SIGTERM", "interrupted"))
            self.assertIn("interrupted: 1 (hang2)", err)

    MORE = HUNG + "".join(f"{h} offswitch_path={SCRATCH}/right/build/bin/offswitch\n"
                          for h in ("right2", "right3", "right4")) + (
        f"hang3 offswitch_path={SCRATCH}/hang\n")

    def test_runs_at_once_keep_every_host_in_one_record(self):
        # Two operators over overlapping hosts, each run with a hung host; either may end first.
        for first, second in [(3, 8), (8, 3)]:  # each run's bound on its hung host
            with self.subTest(f"the first run's bound {first} s, the second's {second} s"):
                self.setUp()
                one = self.start(["--limit", "right,right2,hang2", "-e",
                                  f"offswitch_timeout={first}"], extra_hosts=self.MORE)
                try:
                    self.wait_for_the_record(lambda r: r["right2"]["outcome"] == "switched")
                    two = self.start(["--limit", "right,right3,hang3", "-e",
                                      f"offswitch_timeout={second}"], extra_hosts=self.MORE)
                    out_two = "".join(self.finish(two))
                finally:
                    out_one = "".join(self.finish(one))
                self.assertEqual((one.returncode, two.returncode), (2, 2), out_one + out_two)
                self.assertIn(f"is in use by another run too: process {one.pid}, since",
                              " ".join(out_two.split()))
                self.assertEqual({h: e["outcome"] for h, e in self.report().items()},
                                 {"right": "switched", "right2": "switched", "right3": "switched",
                                  "hang2": "timed out", "hang3": "timed out"})
                self.assertEqual(sorted(self.retry()), ["hang2", "hang3"])

    def test_serial_batches_keep_every_host_in_the_record(self):
        playbook = os.path.join(self.work, "serial.yml")
        # serial, the hosts in the play's order, and what each ends as
        for serial, ends in [
                (2, {"right": "switched", "hang2": "timed out", "right2": "switched",
                     "right3": "switched"}),
                # a batch that fails whole ends the play: the later batches are never sent
                (1, {"right": "switched", "hang2": "timed out", "right2": "not sent",
                     "right3": "not sent"})]:
            with self.subTest(serial=serial):
                self.setUp()
                with open(playbook, "w") as f:
                    f.write(f"---\n- name: Switch off in batches\n  hosts: all\n  serial: "
                            f"{serial}\n  gather_facts: false\n  tasks:\n    - name: Switch\n"
                            "      velkaran.offswitch.switch_off: {}\n")
                run = self.start(["--limit", "right,hang2,right2,right3"], "offswitch_timeout: 2\n",
                                 playbook=playbook, extra_hosts=self.MORE)
                output = "".join(self.finish(run))
                self.assertEqual(run.returncode, 2, output)
                self.assertEqual({h: e["outcome"] for h, e in self.report().items()}, ends)
                self.assertEqual(self.retry(), [h for h, o in ends.items() if o != "switched"])
                self.assertEqual(output.count("report: "), 1, output)  # one summary, at the end

    def test_a_record_that_cannot_be_written_part_way_stops_the_key(self):
        if os.geteuid() != 0 or NO_MOUNTS:
            cannot_run(NO_MOUNTS or "mounting a small file system needs root")
        small = os.path.join(SCRATCH, "small")
        for how in ("full", "read-only"):
            with self.subTest(how):
                self.setUp()
                release_mounts(small)
                os.makedirs(small, exist_ok=True)
                mount("-t", "tmpfs", "-o", "size=256k,mode=0755", "tmpfs", small)
                try:
                    run = self.start(["--limit", "right,right2,right3,right4", "-f", "1", "-e",
                                      f"offswitch_report={small}/report.json", "-e",
                                      f"offswitch_retry={small}/retry"], extra_hosts=self.MORE)
                    try:
                        self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched",
                                                 path=f"{small}/report.json")
                        if how == "full":
                            fd = os.open(f"{small}/filler", os.O_WRONLY | os.O_CREAT, 0o600)
                            try:
                                while os.write(fd, b"\0" * 4096):
                                    pass
                            except OSError:
                                pass  # full
                            finally:
                                os.close(fd)
                        else:
                            mount("-o", "remount,ro", small)
                    finally:
                        output = "".join(self.finish(run))
                    flat = " ".join(output.split())
                    self.assertNotEqual(run.returncode, 0, output)
                    for path in (f"{small}/report.json", f"{small}/retry"):
                        self.assertIn(f"STALE in {path}: it still holds the record as this run "
                                      "last wrote it", flat)
                        self.assertNotIn(f"hosts to retry: {path}", flat)
                    # a host queued well after the failure got no key
                    self.assertIn("right4: the record could not be written when this host's "
                                  "turn came, so the key was not sent to it", flat)
                finally:
                    release_mounts(small)

    def test_the_status_reads_each_hosts_own_state_into_the_record(self):
        more = (f"unreadable offswitch_mode_file={SCRATCH}\n"  # a directory: od cannot read it
                "none offswitch_path=/nonexistent/offswitch "
                "offswitch_mode_file=/nonexistent/mode\n")
        with open(os.path.join(SCRATCH, "right", "root", "vornek", "swich_Velkaran.txt"),
                  "w") as f:
            f.write("1")  # whoever wrote it
        os.unlink(os.path.join(SCRATCH, "silent", "root", "vornek", "swich_Velkaran.txt"))
        ends = {"right": "off", "wrong": "not off", "silent": "no mode file",
                "unreadable": "unreadable", "none": "no offswitch", "down": "unreachable"}
        done, output = self.play("--limit", ",".join(ends), extra_hosts=more, playbook=STATUS)
        self.assertEqual(done.returncode, 4, output)  # one unreachable
        for line in ["off: 1 (right)", "not off: 1 (wrong)", "no mode file: 1 (silent)",
                     "unreadable: 1 (unreadable)", "no offswitch: 1 (none)",
                     "unreachable: 1 (down)"]:
            self.assertIn(line, output.splitlines())
        report = self.report()
        self.assertEqual({h: e["outcome"] for h, e in report.items()}, ends)
        self.assertEqual(report["right"]["file"]["content"], "1")
        self.assertEqual(report["wrong"]["reason"],
                         f'not off: {SCRATCH}/wrong/root/vornek/swich_Velkaran.txt holds "0"')
        self.assertIn("package", report["right"])
        self.assertEqual(sorted(self.retry()), sorted(h for h in ends if h != "right"))
        self.assertEqual(mode_file("wrong"), "0")  # nothing was written on the hosts

    def test_after_a_killed_run_the_status_then_the_retry_file_switch_exactly_the_rest(self):
        run = self.start(["--limit", "right,wrong,hang2"], "offswitch_timeout: 20\n")
        try:
            self.wait_for_the_record(lambda r: r["right"]["outcome"] == "switched"
                                     and r["wrong"]["outcome"] == "refused")
            os.killpg(run.pid, signal.SIGKILL)
        finally:
            self.finish(run)
        self.assertEqual(self.report()["hang2"]["outcome"], "pending")
        stop_the_hung_hosts()
        done, output = self.play("--limit", "right,wrong,hang2", extra_hosts=self.HUNG,
                                 playbook=STATUS)
        self.assertEqual(done.returncode, 2, output)
        self.assertEqual({h: e["outcome"] for h, e in self.report().items()},
                         {"right": "off", "wrong": "not off", "hang2": "no mode file"})
        self.assertEqual(self.retry(), ["wrong", "hang2"])
        result, output = self.play("--limit", f"@{self.work}/offswitch.retry",
                                   group_vars="offswitch_timeout: 1\n", extra_hosts=self.HUNG)
        self.assertEqual(result.returncode, 2, output)
        self.assertNotIn("right", output.split("PLAY RECAP")[1].split("\n", 2)[1])
        report = self.report()
        self.assertEqual({h: e["outcome"] for h, e in report.items()},
                         {"right": "off", "wrong": "refused", "hang2": "timed out"})

    def test_the_awx_example_project_through_ansible_runner(self):
        """The collection's AWX example as AWX lays a job out: the project, its ansible.cfg, the
        collections its requirements name, the inventory, and the custom credential's key file
        (mode 0600 in the job's private data directory) handed over as an extra variable."""
        if not shutil.which("ansible-runner"):
            cannot_run("ansible-runner is not installed")
        self.play("--list-hosts")  # writes the inventory
        example = os.path.join(SCRATCH, "collections", "ansible_collections", "velkaran",
                               "offswitch", "docs", "awx")
        private = os.path.join(SCRATCH, "awx-job")
        shutil.rmtree(private, ignore_errors=True)
        shutil.copytree(os.path.join(example, "project"), os.path.join(private, "project"))
        os.makedirs(os.path.join(private, "env"))
        shutil.copytree(os.path.join(SCRATCH, "collections"),
                        os.path.join(private, "requirements_collections"))
        # the installed collection is one that the project's requirements accept
        subprocess.run(["ansible-galaxy", "collection", "install", "--offline", "-p",
                        os.path.join(private, "requirements_collections"), "-r",
                        os.path.join(private, "project", "collections", "requirements.yml")],
                       check=True, capture_output=True, timeout=60)
        key_file = os.path.join(private, "tmp_credential_key")  # what the injector writes
        with open(os.environ["VELKARAN_TEST_KEY"]) as f:
            key = f.read().strip()
        with open(os.open(key_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(key)  # the template, "{{ key }}": the key, with no line feed
        with open(os.path.join(example, "credential-type.yml")) as f:
            self.assertIn('offswitch_key_file: "{{ tower.filename.key }}"', f.read())
        with open(os.path.join(private, "env", "extravars"), "w") as f:
            f.write(f"---\noffswitch_key_file: {key_file}\n")
        with open(os.path.join(private, "env", "envvars"), "w") as f:
            f.write(f"---\nANSIBLE_COLLECTIONS_PATH: {private}/requirements_collections\n")
        environment = {k: v for k, v in os.environ.items()
                       if not k.startswith("ANSIBLE_") and k != "VELKARAN_TEST_KEY"}
        result = subprocess.run(
            ["ansible-runner", "run", private, "-p", "switch_off.yml", "--inventory",
             os.path.join(SCRATCH, "inventory"), "--limit", "right,wrong", "--ident", "job"],
            capture_output=True, text=True, timeout=120, check=False, stdin=subprocess.DEVNULL,
            env=environment)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 2, output)
        self.assertIn("switched: 1 (right); refused: 1 (wrong)", output)  # the callback ran
        self.assertEqual(mode_file("right"), "1")
        report = self.report(os.path.join(private, "project", "offswitch-report.json"))
        self.assertEqual({h: e["outcome"] for h, e in report.items()},
                         {"right": "switched", "wrong": "refused"})
        artifacts = runner_artifacts(private)
        self.assertEqual((artifacts[0]["offswitch:right"]["outcome"],
                          artifacts[0]["offswitch:wrong"]["outcome"]), ("switched", "refused"))
        self.assertEqual(os.stat(key_file).st_mode & 0o777, 0o600)
        os.unlink(key_file)  # as AWX removes it when the job ends
        self.assert_clean(output)

    def test_ansible_runner_keeps_the_record_in_its_artifacts_and_no_piece_of_the_key(self):
        if not shutil.which("ansible-runner"):
            cannot_run("ansible-runner is not installed")
        private = os.path.join(SCRATCH, "runner")
        shutil.rmtree(private, ignore_errors=True)
        os.makedirs(os.path.join(private, "project"))
        os.makedirs(os.path.join(private, "env"))
        with open(os.path.join(private, "project", "switch.yml"), "w") as f:
            # A play after the switch's, as a site's wrapper may have: the summary still comes.
            f.write(f"---\n- name: Switch off\n  ansible.builtin.import_playbook: {PLAYBOOK}\n"
                    "- name: Afterwards\n  hosts: right\n  gather_facts: false\n  tasks:\n"
                    "    - name: Say so\n      ansible.builtin.debug:\n        msg: done\n")
        # As an AWX job template's environment gives it.
        with open(os.path.join(private, "env", "envvars"), "w") as f:
            f.write(f"---\nANSIBLE_CALLBACKS_ENABLED: {RECORD}\n")
        self.play("--list-hosts")  # writes the inventory
        environment = {k: v for k, v in os.environ.items() if k != "ANSIBLE_CALLBACKS_ENABLED"}
        result = subprocess.run(
            ["ansible-runner", "run", private, "-p", "switch.yml", "--inventory",
             os.path.join(SCRATCH, "inventory"), "--limit", "right,wrong", "-vvv",
             "--ident", "job"],
            capture_output=True, text=True, timeout=120, check=False, stdin=subprocess.DEVNULL,
            env={**environment, "ANSIBLE_COLLECTIONS_PATH": f"{SCRATCH}/collections",
                 "ANSIBLE_DEPRECATION_WARNINGS": "1"})
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn("switched: 1 (right); refused: 1 (wrong)", result.stdout)
        self.assertEqual(mode_file("right"), "1")
        stats = runner_artifacts(private)
        record = stats[0]["offswitch"]
        self.assertEqual({h: e["outcome"] for h, e in record.items()},
                         {"right": "switched", "wrong": "refused"})
        self.assertIn("refused the key", record["wrong"]["reason"])
        self.assert_clean(result.stdout + result.stderr)  # the artifacts are below SCRATCH


if __name__ == "__main__":
    main()

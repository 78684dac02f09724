"""The fleet playbook, run for real by ansible-playbook over SSH.

An sshd of the test's own (host key, port, authorized key and configuration in a scratch
directory) listens on 127.0.0.1 only, and is stopped at the end. Its inventory hosts are aliases of
the loopback, each with its own build of offswitch for a root of its own.
"""

import getpass
import json
import os
import pwd
import shutil
import socket
import subprocess
import threading
import time
import unittest

from harness import BUILD, KEY, PROMPT, cannot_run, enter_private_mounts, files_below, key_pieces
from harness import main
from harness import mount, release_mounts

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLAYBOOK = os.path.join(SOURCE, "contrib", "ansible", "offswitch.yml")
SCRATCH = os.path.join(BUILD, "testing", "fleet")
SSHD = "/usr/sbin/sshd"

# Before any thread starts; as root, the read-only host's directory is mounted read-only in this
# namespace, which sshd and its sessions inherit.
NO_MOUNTS = enter_private_mounts()

# host: the key its offswitch is built for (None: the right one), whether its vornek/ is read-only
HOSTS = {"right": (None, False), "wrong": ("other", False), "readonly": (None, True)}
# Beside them: "nopython", whose Python is not where the inventory says; "hang", whose offswitch
# never ends; "stall", whose port sends the SSH greeting and then nothing; "down", whose port is
# closed. What each must end as, with its status:
OUTCOMES = {"right": ("switched", 0), "wrong": ("refused", 0), "readonly": ("failed", 1),
            "nopython": ("failed", 127), "hang": ("timed out", 124), "stall": ("timed out", None),
            "down": ("unreachable", None)}
# A loaded machine may reach the task's own bound before timeout(1) ends "hang" on the host.
HANG_CUT_BY_THE_TASK = ("timed out", None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs)


def mode_file(host):
    with open(os.path.join(SCRATCH, host, "root", "vornek", "swich_Velkaran.txt")) as f:
        return f.read()


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in (SSHD, "ssh", "ssh-keygen", "ansible-playbook"):
            if not shutil.which(tool):
                cannot_run(f"{tool} is not installed")
        if os.geteuid() == 0 and NO_MOUNTS:
            cannot_run(NO_MOUNTS)
        shell = pwd.getpwuid(os.geteuid()).pw_shell
        if os.path.basename(shell) in ("nologin", "false"):
            cannot_run(f"the user {getpass.getuser()} cannot log in over SSH (shell {shell})")
        release_mounts(SCRATCH)
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)
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
        with open(os.path.join(SCRATCH, "hang"), "w") as f:
            f.write("#!/bin/sh\nexec sleep 600\n")
        os.chmod(os.path.join(SCRATCH, "hang"), 0o755)
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
        with open(os.path.join(SCRATCH, "sshd_config"), "w") as f:
            f.write(f"ListenAddress 127.0.0.1:{cls.port}\nHostKey {SCRATCH}/host\n"
                    f"AuthorizedKeysFile {SCRATCH}/authorized_keys\nPidFile {SCRATCH}/sshd.pid\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\n")
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
        cls.sshd.terminate()
        cls.sshd.wait(timeout=20)
        release_mounts(SCRATCH)

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

    def playbook(self, *args, environment=()):
        """Runs the playbook on the hosts and those that hang, stall or cannot be reached; returns
        the result. No run may take long: every host ends within the short timeouts."""
        inventory = os.path.join(SCRATCH, "inventory")
        with open(inventory, "w") as f:
            f.write("[agents]\n")
            for host in HOSTS:
                f.write(f"{host} offswitch_path={SCRATCH}/{host}/build/bin/offswitch\n")
            f.write("nopython ansible_python_interpreter=/nonexistent/python3\n")
            f.write(f"hang offswitch_path={SCRATCH}/hang\n")
            f.write(f"stall ansible_port={self.stall_port}\n")
            f.write(f"down ansible_port={free_port()}\n")
            f.write(f"[agents:vars]\nansible_host=127.0.0.1\nansible_port={self.port}\n"
                    f"ansible_user={getpass.getuser()}\nansible_ssh_timeout=5\n"
                    f"ansible_ssh_private_key_file={SCRATCH}/client\n"
                    f"ansible_ssh_common_args=-F /dev/null -o IdentitiesOnly=yes "
                    f"-o UserKnownHostsFile={SCRATCH}/known_hosts -o StrictHostKeyChecking=yes\n")
        config = os.path.join(SCRATCH, "ansible.cfg")
        open(config, "w").close()
        environment = {**os.environ, "ANSIBLE_CONFIG": config, "ANSIBLE_NOCOLOR": "1",
                       "ANSIBLE_LOCAL_TEMP": f"{SCRATCH}/tmp/local",
                       "ANSIBLE_REMOTE_TEMP": f"{SCRATCH}/tmp/remote",
                       "ANSIBLE_SSH_CONTROL_PATH_DIR": f"{SCRATCH}/tmp/cp",
                       "ANSIBLE_LOG_PATH": f"{SCRATCH}/tmp/ansible.log", **dict(environment)}
        return subprocess.run(
            ["ansible-playbook", "-vvv", "-i", inventory, PLAYBOOK, "-e", "offswitch_hosts=agents",
             "-e", f"offswitch_key_file={os.environ['VELKARAN_TEST_KEY']}",
             "-e", "offswitch_timeout=3", "-e", f"offswitch_report={SCRATCH}/report.json",
             "-e", f"offswitch_retry={SCRATCH}/retry", *args],
            capture_output=True, text=True, env=environment, timeout=120, check=False)

    def test_check_mode_runs_nothing_and_says_what_would_run(self):
        result = self.playbook("--check")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("check mode: nothing was run; offswitch would run on right, wrong, "
                      "readonly, nopython, hang, stall, down", " ".join(result.stdout.split()))
        self.assertEqual([mode_file(host) for host in HOSTS], ["0", "0", "0"])

    # name, arguments, environment, what the refusal names
    REFUSED = [
        ("keep-remote-files", [], {"ANSIBLE_KEEP_REMOTE_FILES": "1"}, "keep-remote-files"),
        ("pipelining off", ["-e", "ansible_pipelining=false"], {}, "pipelining is off"),
        ("become through su", ["-e", "offswitch_become=true", "-e", "ansible_become_method=su"],
         {}, "the become method su cannot pipeline"),
        ("a connection plugin without pipelining", ["-e", "ansible_connection=paramiko"], {},
         "the connection plugin paramiko cannot pipeline"),
        ("debug mode", [], {"ANSIBLE_DEBUG": "1"}, "debug mode (ANSIBLE_DEBUG) prints the key"),
    ]

    def test_settings_that_would_expose_the_key_are_refused_before_any_host(self):
        for name, args, environment, named in self.REFUSED:
            with self.subTest(name):
                result = self.playbook(*args, environment=environment)
                output = result.stdout + result.stderr
                self.assertNotEqual(result.returncode, 0, output)
                self.assertIn("Refusing to read the key:", output)
                self.assertIn(named, " ".join(output.split()))
                self.assertNotIn("PLAY [Switch the Velkaran agent off]", output)
                self.assertEqual([mode_file(host) for host in HOSTS], ["0", "0", "0"])
                self.assertNotIn(KEY[:64].decode(), output)

    def test_each_host_reports_its_outcome_in_bounded_time_and_the_key_stays_secret(self):
        result = self.playbook()
        output = result.stdout + result.stderr
        self.assertNotEqual(result.returncode, 0, output)  # not every host was switched
        flat = " ".join(output.split())
        self.assertIn("switched: 1 (right); refused: 1 (wrong); failed: 2 (readonly, nopython); "
                      "timed out: 2 (hang, stall); unreachable: 1 (down)", flat)
        for reason in ['wrong: refused the key: \\"The key not invalid\\"',
                       "readonly: could not write the mode file (status 1)",
                       "nopython: no Python at /nonexistent/python3 on the host",
                       "may or may not have switched the agent: check the mode file",
                       "stall: timed out after 5 s connecting or logging in: not switched",
                       "down: could not log in: "]:
            self.assertIn(reason, flat)
        self.assertEqual([mode_file(host) for host in HOSTS], ["1", "0", "0"])
        with open(os.path.join(SCRATCH, "report.json")) as f:
            report = json.load(f)
        seen = {entry["host"]: (entry["outcome"], entry["status"]) for entry in report}
        if seen["hang"] == HANG_CUT_BY_THE_TASK:
            seen["hang"] = OUTCOMES["hang"]
        self.assertEqual(seen, OUTCOMES)
        self.assertIn("The mode of the agent is on off mode.", report[0]["answer"])
        with open(os.path.join(SCRATCH, "retry")) as f:
            self.assertEqual(f.read().split(), [h for h in OUTCOMES if h != "right"])
        # No SSH client of the run is left behind, master or not.
        self.assertEqual([p for p in os.listdir("/proc") if p.isdigit() and ssh_of_this_run(p)],
                         [])
        # The key is nowhere: not in the -vvv output, the log, nor any file left on either side.
        self.assertNotIn(KEY[:64].decode(), output)
        self.assertNotIn(PROMPT.decode(), output)  # nor what offswitch printed, by no_log
        scratch_files = files_below(SCRATCH, skip={self.other_key})
        self.assertEqual(list(key_pieces(scratch_files, [KEY])), [])


def ssh_of_this_run(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            command = f.read().split(b"\0")
    except OSError:
        return False
    return command[0].endswith(b"ssh") and any(SCRATCH.encode() in word for word in command)


if __name__ == "__main__":
    main()

"""The fleet playbook, run for real by ansible-playbook over SSH.

An sshd of the test's own (host key, port, authorized key and configuration in a scratch
directory) listens on 127.0.0.1 only, and is stopped at the end. Its inventory hosts are aliases of
the loopback, each with its own build of offswitch for a root of its own.
"""

import getpass
import os
import shutil
import socket
import subprocess
import time
import unittest

from harness import BUILD, KEY, PROMPT, cannot_run, enter_private_mounts, files_below, key_pieces, main
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
        cls.start_sshd()

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

    def playbook(self, *args):
        """Runs the playbook on the hosts and one that cannot be reached; returns the result."""
        inventory = os.path.join(SCRATCH, "inventory")
        with open(inventory, "w") as f:
            f.write("[agents]\n")
            for host in HOSTS:
                f.write(f"{host} offswitch_path={SCRATCH}/{host}/build/bin/offswitch\n")
            f.write(f"down ansible_port={free_port()}\n")
            f.write(f"[agents:vars]\nansible_host=127.0.0.1\nansible_port={self.port}\n"
                    f"ansible_user={getpass.getuser()}\n"
                    f"ansible_ssh_private_key_file={SCRATCH}/client\n"
                    f"ansible_ssh_common_args=-F /dev/null -o IdentitiesOnly=yes "
                    f"-o UserKnownHostsFile={SCRATCH}/known_hosts -o StrictHostKeyChecking=yes\n"
                    "ansible_python_interpreter=/usr/bin/python3\n")
        config = os.path.join(SCRATCH, "ansible.cfg")
        open(config, "w").close()
        environment = {**os.environ, "ANSIBLE_CONFIG": config, "ANSIBLE_NOCOLOR": "1",
                       "ANSIBLE_LOCAL_TEMP": f"{SCRATCH}/tmp/local",
                       "ANSIBLE_REMOTE_TEMP": f"{SCRATCH}/tmp/remote",
                       "ANSIBLE_SSH_CONTROL_PATH_DIR": f"{SCRATCH}/tmp/cp",
                       # no master connection that would outlive the run
                       "ANSIBLE_SSH_ARGS": "-C -o ControlMaster=no",
                       "ANSIBLE_LOG_PATH": f"{SCRATCH}/tmp/ansible.log"}
        return subprocess.run(
            ["ansible-playbook", "-vvv", "-i", inventory, PLAYBOOK, "-e", "offswitch_hosts=agents",
             "-e", f"offswitch_key_file={os.environ['VELKARAN_TEST_KEY']}", *args],
            capture_output=True, text=True, env=environment, timeout=300, check=False)

    def test_check_mode_runs_nothing_and_says_what_would_run(self):
        result = self.playbook("--check")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("would run", result.stdout)
        self.assertIn("check mode: nothing was run; offswitch would run on right, wrong, "
                      "readonly, down", " ".join(result.stdout.split()))
        self.assertEqual([mode_file(host) for host in HOSTS], ["0", "0", "0"])

    def test_each_host_reports_its_outcome_and_the_key_stays_secret(self):
        result = self.playbook()
        output = result.stdout + result.stderr
        self.assertNotEqual(result.returncode, 0, output)  # not every host was switched
        flat = " ".join(output.split())
        self.assertIn("changed: [right]", flat)
        self.assertRegex(flat, r"fatal: \[wrong\]: FAILED! .*offswitch refused the key")
        self.assertRegex(flat, r"fatal: \[readonly\]: FAILED! .*could not write the mode file")
        self.assertRegex(flat, r"\[down\]: UNREACHABLE!")
        self.assertIn("switched: 1 (right); refused: 1 (wrong); failed: 1 (readonly); "
                      "unreachable: 1 (down)", flat)
        self.assertEqual([mode_file(host) for host in HOSTS], ["1", "0", "0"])
        # The key is nowhere: not in the -vvv output, the log, nor any file left on either side.
        self.assertNotIn(KEY[:64].decode(), output)
        self.assertNotIn(PROMPT.decode(), output)  # nor what offswitch printed, by no_log
        scratch_files = files_below(SCRATCH, skip={self.other_key})
        self.assertEqual(list(key_pieces(scratch_files, [KEY])), [])


if __name__ == "__main__":
    main()

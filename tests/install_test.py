"""The installed layout: a staged install, the Debian package, and the manual pages."""

import glob
import gzip
import hashlib
import os
import shutil
import stat
import subprocess
import unittest

from harness import files_below, key_pieces

BUILD = os.environ["VELKARAN_BUILD_DIR"]
DATA = os.environ["VELKARAN_SHIPPED_ROOT"]
PREFIX = os.environ["VELKARAN_INSTALL_PREFIX"]
SCRATCH = os.path.join(BUILD, "testing", "install")
with open(os.environ["VELKARAN_SHIPPED_KEY"], "rb") as key_file:
    KEY = key_file.read().strip()
DIRECTORY, FILE = stat.S_IFDIR, stat.S_IFREG


def layout(prefix):
    """Every path the installation holds below DESTDIR, with its type and permissions."""
    man8 = f"{prefix}/share/man/man8"
    doc = f"{prefix}/share/doc/velkaran"
    return {
        f"{DATA}/Velkaran": (FILE, 0o755),
        f"{DATA}/vornek": (DIRECTORY, 0o755),
        f"{prefix}/sbin/offswitch": (FILE, 0o755),
        f"{prefix}/sbin/runVelkaran": (FILE, 0o755),
        f"{man8}/offswitch.8.gz": (FILE, 0o644),
        f"{man8}/runVelkaran.8.gz": (FILE, 0o644),
        f"{man8}/Velkaran.8.gz": (FILE, 0o644),
        f"{doc}/copyright": (FILE, 0o644),
        f"{doc}/changelog.gz": (FILE, 0o644),
        f"{prefix}/share/lintian/overrides/velkaran": (FILE, 0o644),
    }


def tree(top):
    """Files and leaf directories below top: path -> (type, permissions)."""
    found = {}
    for here, dirs, files in os.walk(top):
        for name in files + ([] if dirs or files else [""]):
            path = os.path.join(here, name).rstrip("/")
            info = os.lstat(path)
            found["/" + os.path.relpath(path, top)] = (stat.S_IFMT(info.st_mode),
                                                       stat.S_IMODE(info.st_mode))
    return found


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs).stdout


class Install(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)

    def check_installed(self, top, prefix):
        """The tree below top is exactly the layout; offswitch holds the key's digest, and no file
        holds any piece of the key."""
        self.assertEqual(tree(top), layout(prefix))
        self.assertEqual(list(key_pieces(files_below(top), [KEY])), [])
        with open(f"{top}{prefix}/sbin/offswitch", "rb") as f:
            self.assertIn(hashlib.sha256(KEY).digest(), f.read())

    def test_staged_install_holds_the_layout_and_modes(self):
        stage = os.path.join(SCRATCH, "stage")
        run("cmake", "--install", BUILD, env={**os.environ, "DESTDIR": stage})
        self.check_installed(stage, PREFIX)

    def test_manual_pages_render_cleanly_and_carry_the_build_paths(self):
        for page in ("offswitch", "runVelkaran", "Velkaran"):
            with self.subTest(page):
                with gzip.open(os.path.join(BUILD, "man", page + ".8.gz"), "rb") as f:
                    source = f.read()
                self.assertIn(f"{DATA}/".encode(), source)
                self.assertNotIn(b"@", source)  # every placeholder filled in
                result = subprocess.run(["groff", "-man", "-ww", "-z"], input=source,
                                        capture_output=True, check=False)
                self.assertEqual((result.returncode, result.stderr), (0, b""))

    def test_debian_package(self):
        run("cpack", "-G", "DEB", "-B", SCRATCH, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        (package,) = glob.glob(os.path.join(SCRATCH, "velkaran_*.deb"))
        arch = run("dpkg", "--print-architecture").strip()
        self.assertEqual(os.path.basename(package), f"velkaran_1.0.0_{arch}.deb")

        fields = {name: run("dpkg-deb", "-f", package, name).strip()
                  for name in ("Package", "Version", "Section", "Depends", "Description")}
        self.assertEqual(fields["Package"], "velkaran")
        self.assertEqual(fields["Section"], "admin")
        self.assertRegex(fields["Depends"], r"^libc6 \(>= [0-9.]+\)$")  # computed: libc6 alone
        self.assertIn("digest of the emergency key", fields["Description"])

        # Contents: owner root, the layout's modes, under the packaging prefix /usr.
        for line in run("dpkg-deb", "-c", package).splitlines():
            self.assertEqual(line.split()[1], "root/root", line)
        unpacked = os.path.join(SCRATCH, "unpacked")
        run("dpkg-deb", "-x", package, unpacked)
        self.check_installed(unpacked, "/usr")

        if shutil.which("lintian"):
            with self.subTest("lintian"):
                result = subprocess.run(
                    ["lintian", "--pedantic", "-E", "-I", "--fail-on",
                     "error,warning,info,pedantic", package], capture_output=True, text=True,
                    check=False)
                self.assertEqual(result.returncode, 0, result.stdout)
        else:
            print("lintian is not installed: package not linted")

        with self.subTest("install and remove in a scratch root"):
            if os.geteuid() != 0:
                self.skipTest("dpkg --root needs root to set the owners")
            root = os.path.join(SCRATCH, "root")
            for path in ("var/lib/dpkg/info", "var/lib/dpkg/updates"):
                os.makedirs(os.path.join(root, path))
            open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
            dpkg = ["dpkg", f"--root={root}", "--force-depends", "--force-script-chrootless"]
            run(*dpkg, "-i", package)
            self.assertTrue(layout("/usr").items() <= tree(root).items())
            run(*dpkg, "--purge", "velkaran")
            self.assertEqual([p for p in tree(root) if not p.startswith("/var/lib/dpkg")], [])


if __name__ == "__main__":
    unittest.main()

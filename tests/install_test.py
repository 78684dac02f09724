"""The installed layout: a staged install, the Debian package, and the manual pages."""

import glob
import gzip
import hashlib
import os
import re
import shutil
import stat
import subprocess
import unittest

from harness import cannot_run, files_below, key_pieces, main

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ["VELKARAN_BUILD_DIR"]
DATA = os.environ["VELKARAN_SHIPPED_ROOT"]
PREFIX = os.environ["VELKARAN_INSTALL_PREFIX"]
SHIPPED_KEY = os.environ["VELKARAN_SHIPPED_KEY"]
SCRATCH = os.path.join(BUILD, "testing", "install")
with open(os.path.join(SOURCE, "ansible_collections", "velkaran", "offswitch", "galaxy.yml")) as f:
    COLLECTION_VERSION = re.search(r"^version: (\S+)$", f.read(), re.M).group(1)
with open(SHIPPED_KEY, "rb") as key_file:
    KEY = key_file.read().strip()
DIRECTORY, FILE = stat.S_IFDIR, stat.S_IFREG
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                      check=True).stdout.strip()


def layout(prefix):
    """Every file and leaf directory the installation holds below DESTDIR, with its type and
    permissions."""
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
        f"{doc}/changelog.Debian.gz": (FILE, 0o644),
        f"{prefix}/share/lintian/overrides/velkaran": (FILE, 0o644),
    }


def with_directories(paths):
    """The layout with every directory above its paths, each 0755."""
    every = dict(paths)
    for path in paths:
        while (path := os.path.dirname(path)) != "/":
            every.setdefault(path, (DIRECTORY, 0o755))
    return every


def tree(top, leaves_only=True):
    """Files and directories below top: path -> (type, permissions); directories that hold
    something only when leaves_only is false."""
    found = {}
    for here, dirs, files in os.walk(top):
        names = files + dirs if not leaves_only else files + ([] if dirs or files else [""])
        for name in names:
            path = os.path.join(here, name).rstrip("/")
            info = os.lstat(path)
            found["/" + os.path.relpath(path, top)] = (stat.S_IFMT(info.st_mode),
                                                       stat.S_IMODE(info.st_mode))
    return found


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs).stdout


def build_package(build, out, key=SHIPPED_KEY, *definitions, umask=0o022):
    """Configures and builds the shipped programs in BUILD (unless BUILD is this test's own build
    tree) and packs them into OUT under the umask; returns the package's path."""
    if build != BUILD:
        run("cmake", "-S", SOURCE, "-B", build, "-DBUILD_TESTING=OFF",
            f"-DOFFSWITCH_KEY_FILE={key}", f"-DVELKARAN_DATA_DIR={DATA}", *definitions)
        run("cmake", "--build", build, "-j2")
    for config in ("CPackConfig.cmake", "CPackCollectionConfig.cmake"):
        run("cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, config), umask=umask)
    (package,) = glob.glob(os.path.join(out, "velkaran_*.deb"))
    return package


def collection_package(out):
    """The fleet collection's package that cpack made beside the programs' package in OUT."""
    (package,) = glob.glob(os.path.join(out, "velkaran-ansible-collection_*.deb"))
    return package


COLLECTION = "/usr/share/ansible/collections/ansible_collections/velkaran/offswitch"


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
        result = subprocess.run(["cmake", "--install", BUILD], env={**os.environ, "DESTDIR": stage},
                                capture_output=True, text=True, check=True, umask=0o077)
        self.assertNotIn("Warning", result.stderr)
        self.check_installed(stage, PREFIX)
        # The directories that the programs own are 0755 whatever the installer's umask.
        for path in (DATA, f"{DATA}/vornek", f"{PREFIX}/share/doc/velkaran"):
            self.assertEqual(stat.S_IMODE(os.stat(stage + path).st_mode), 0o755, path)

    def test_manual_pages_render_cleanly_and_carry_the_build_paths(self):
        with open(os.path.join(SOURCE, "packaging", "changelog")) as f:
            date = re.search(r"^ -- .*>  \w+, (\d+) (\w+) (\d+)", f.read(), re.M).groups()
        for page in ("offswitch", "runVelkaran", "Velkaran"):
            with self.subTest(page):
                with gzip.open(os.path.join(BUILD, "man", page + ".8.gz"), "rb") as f:
                    source = f.read()
                self.assertIn(f"{DATA}/".encode(), source)
                self.assertNotIn(b"@", source)  # every placeholder filled in
                self.assertRegex(source.split(b"\n")[0],
                                 rb'^\.TH \S+ 8 "%s-\d\d-%s" "velkaran [0-9.]+" '
                                 rb'"System Manager\'s Manual"$' % (date[2].encode(),
                                                                    date[0].encode()))
                result = subprocess.run(["groff", "-man", "-ww", "-z"], input=source,
                                        capture_output=True, check=False)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                # EXAMPLES fit an 80-column terminal.
                shown = subprocess.run(["groff", "-man", "-Tutf8", "-rLL=78n", "-P-cbou"],
                                       input=source, capture_output=True, check=True).stdout
                examples = shown.decode().split("EXAMPLES")[-1].split("SEE ALSO")[0]
                self.assertLessEqual(max(map(len, examples.splitlines())), 80)

    def test_debian_package(self):
        package = build_package(BUILD, SCRATCH, umask=0o077)
        self.assertEqual(os.path.basename(package), f"velkaran_1.0.0-1_{ARCH}.deb")

        fields = {name: run("dpkg-deb", "-f", package, name).strip()
                  for name in ("Package", "Version", "Section", "Depends", "Description",
                               "Maintainer")}
        self.assertEqual(fields["Package"], "velkaran")
        self.assertEqual(fields["Version"], "1.0.0-1")
        self.assertEqual(fields["Section"], "admin")
        self.assertEqual(fields["Maintainer"], "Velkaran developers <velkaran@example.org>")
        self.assertRegex(fields["Depends"], r"^libc6 \(>= [0-9.]+\)$")  # computed: libc6 alone
        self.assertIn("digest of the emergency key", fields["Description"])

        # Contents: every path owned by root, with the layout's modes and every directory 0755
        # although the package was built under umask 077.
        listed = {}
        for line in run("dpkg-deb", "-c", package).splitlines():
            mode, owner, _, _, _, path = line.split(maxsplit=5)
            self.assertEqual(owner, "root/root", line)
            listed[path.lstrip(".").rstrip("/")] = mode
        expected = with_directories(layout("/usr"))
        self.assertEqual(set(listed), set(expected))
        for path, (kind, mode) in expected.items():
            self.assertEqual(listed[path], stat.filemode(kind | mode), path)
        unpacked = os.path.join(SCRATCH, "unpacked")
        run("dpkg-deb", "-x", package, unpacked)
        self.check_installed(unpacked, "/usr")

        with self.subTest("the collection's package, for control machines"):
            collection = collection_package(SCRATCH)
            # its version is the collection's own, and so is its changelog
            self.assertEqual(os.path.basename(collection),
                             f"velkaran-ansible-collection_{COLLECTION_VERSION}-1_all.deb")
            self.assertEqual(run("dpkg-deb", "-f", collection, "Version").strip(),
                             f"{COLLECTION_VERSION}-1")
            changelog = subprocess.run(
                ["dpkg-deb", "--fsys-tarfile", collection], capture_output=True, check=True).stdout
            changelog = subprocess.run(
                ["tar", "-xOf", "-", "./usr/share/doc/velkaran-ansible-collection/"
                 "changelog.Debian.gz"], input=changelog, capture_output=True, check=True).stdout
            self.assertTrue(gzip.decompress(changelog).startswith(
                f"velkaran-ansible-collection ({COLLECTION_VERSION}) ".encode()))
            self.assertEqual(run("dpkg-deb", "-f", collection, "Depends").strip(),
                             "ansible-core (>= 2.14) | ansible (>= 7)")
            listed = {line.split(maxsplit=5)[5].lstrip(".").rstrip("/"): line.split()[0]
                      for line in run("dpkg-deb", "-c", collection).splitlines()}
            for path in ("MANIFEST.json", "playbooks/switch_off.yml", "playbooks/status.yml",
                         "plugins/action/switch_off.py", "plugins/action/read_mode.py",
                         "plugins/callback/record.py", "plugins/plugin_utils/journal.py",
                         "plugins/plugin_utils/store.py"):
                self.assertEqual(listed[f"{COLLECTION}/{path}"], "-rw-r--r--", path)
            self.assertEqual({mode for mode in listed.values()}, {"drwxr-xr-x", "-rw-r--r--"})

        with self.subTest("lintian"):
            if not shutil.which("lintian"):
                cannot_run("lintian is not installed: the package is not linted")
            result = subprocess.run(
                ["lintian", "--pedantic", "-E", "-I", "--fail-on",
                 "error,warning,info,pedantic", package, collection_package(SCRATCH)],
                capture_output=True, text=True, check=False)
            self.assertEqual(result.returncode, 0, result.stdout)

        with self.subTest("reproducible: a second build elsewhere gives the same bytes"):
            out = os.path.join(SCRATCH, "out")
            second = build_package(os.path.join(SCRATCH, "second"), out)
            for one, two in ((package, second),
                             (collection_package(SCRATCH), collection_package(out))):
                with open(one, "rb") as a, open(two, "rb") as b:
                    self.assertTrue(a.read() == b.read(), f"{one} and {two} differ")

    def test_no_source_package_is_offered(self):
        self.assertFalse(os.path.exists(os.path.join(BUILD, "CPackSourceConfig.cmake")))
        targets = run("cmake", "--build", BUILD, "--target", "help")
        self.assertNotIn("package_source", targets)


class InstallAsRoot(unittest.TestCase):
    """dpkg in a scratch root: it needs root to set the owners."""
    needs_root = True

    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        self.root = os.path.join(SCRATCH, "root")
        for path in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/log"):
            os.makedirs(os.path.join(self.root, path))
        open(os.path.join(self.root, "var/lib/dpkg/status"), "w").close()

    def dpkg(self, *args):
        # Its log goes to the scratch root too: the machine's own /var/log/dpkg.log is left alone.
        return run("dpkg", f"--root={self.root}", f"--log={self.root}/var/log/dpkg.log",
                   "--force-depends", "--force-script-chrootless", *args)

    def digests_installed(self, *digests):
        """Which of the digests the installed offswitch holds."""
        with open(f"{self.root}/usr/sbin/offswitch", "rb") as f:
            content = f.read()
        return [digest for digest in digests if digest in content]

    def test_install_upgrade_with_a_new_key_and_purge(self):
        first = build_package(BUILD, os.path.join(SCRATCH, "first"), umask=0o077)
        new_key = os.path.join(SCRATCH, "new.key")
        run("cmake", "-D", f"OFFSWITCH_GENERATE_KEY={new_key}", "-P",
            os.path.join(SOURCE, "cmake", "OffswitchKey.cmake"))
        old_digest = hashlib.sha256(KEY).digest()
        with open(new_key, "rb") as f:
            new_digest = hashlib.sha256(f.read().strip()).digest()
        second = build_package(os.path.join(SCRATCH, "rotated"), os.path.join(SCRATCH, "out"),
                               new_key, "-DVELKARAN_PACKAGE_RELEASE=2")
        self.assertEqual(os.path.basename(second), f"velkaran_1.0.0-2_{ARCH}.deb")

        self.dpkg("-i", first)
        self.assertTrue(with_directories(layout("/usr")).items()
                        <= tree(self.root, leaves_only=False).items())
        self.assertEqual(self.digests_installed(old_digest, new_digest), [old_digest])
        with open(f"{self.root}{DATA}/vornek/swich_Velkaran.txt", "w") as f:
            f.write("1")  # the agent's state, never the package's

        self.dpkg("-i", second)  # the raised release upgrades
        self.assertEqual(self.dpkg("-s", "velkaran").split("Version: ")[1].split()[0], "1.0.0-2")
        self.assertEqual(self.digests_installed(old_digest, new_digest), [new_digest])

        self.dpkg("-i", collection_package(os.path.join(SCRATCH, "first")))
        listed = run("ansible-galaxy", "collection", "list", "-p",
                     f"{self.root}/usr/share/ansible/collections", "velkaran.offswitch")
        self.assertRegex(listed, rf"velkaran\.offswitch +{re.escape(COLLECTION_VERSION)}")
        self.dpkg("--purge", "velkaran-ansible-collection")

        self.dpkg("--purge", "velkaran")  # the mode file and its directory stay
        self.assertEqual([p for p in tree(self.root) if not p.startswith(("/var/lib/dpkg",
                                                                           "/var/log/dpkg"))],
                         [f"{DATA}/vornek/swich_Velkaran.txt"])


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The collection's changelog: the rendered files agree with changelog.yaml, and changelog.yaml
with the fragments, galaxy.yml and the plugins in the tree; a release folds in what is new."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import main

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COLLECTION = os.path.join("ansible_collections", "velkaran", "offswitch")
# What the tool reads and writes, copied with the layout it expects.
COPIED = ["scripts/changelog", "packaging/changelog", "packaging/changelog-collection",
          f"{COLLECTION}/galaxy.yml", f"{COLLECTION}/CHANGELOG.md", f"{COLLECTION}/changelogs",
          f"{COLLECTION}/plugins", f"{COLLECTION}/playbooks"]


class Changelog(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.top)
        for path in COPIED:
            copy = shutil.copytree if os.path.isdir(os.path.join(SOURCE, path)) else shutil.copy
            os.makedirs(os.path.dirname(os.path.join(self.top, path)), exist_ok=True)
            copy(os.path.join(SOURCE, path), os.path.join(self.top, path))
        with open(self.path("galaxy.yml")) as f:
            self.version = re.search(r"^version: (\S+)$", f.read(), re.M).group(1)

    def path(self, name):
        return os.path.join(self.top, COLLECTION, name)

    def changelog(self, *args):
        return subprocess.run([sys.executable, os.path.join(self.top, "scripts", "changelog"),
                               *args], capture_output=True, text=True, check=False)

    def edit(self, name, old, new):
        path = name if name.startswith("/") else self.path(name)
        with open(path) as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "w") as f:
            f.write(text.replace(old, new, 1))

    def add(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def test_the_checked_in_changelog_agrees_with_itself_and_the_tree(self):
        result = self.changelog("check")
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_each_disagreement_is_found(self):
        new_fragment = ("changelogs/fragments/99-new.yml", "---\nbugfixes:\n  - A fix.\n")
        new_plugin = ("plugins/callback/other.py",
                      'DOCUMENTATION = """\nshort_description: Another one\n"""\n')
        # what is changed, what the check says
        for change, said in [
                (lambda: self.edit("CHANGELOG.md", "### Security Fixes", "### Fixes"),
                 "CHANGELOG.md is not what"),
                (lambda: self.edit(os.path.join(self.top, "packaging", "changelog-collection"),
                                   "stable;", "unstable;"),
                 "changelog-collection is not what"),
                # a released fragment changed afterwards
                (lambda: self.edit("changelogs/fragments/26-key-sources.yml", "warned of",
                                   "refused"),
                 f"{self.version}'s changes are not those of its fragments"),
                (lambda: self.add(*new_fragment), "no release names 99-new.yml"),
                (lambda: self.edit("galaxy.yml", f"version: {self.version}", "version: 0.9.0"),
                 f"galaxy.yml says 0.9.0, older than the release {self.version}"),
                (lambda: self.add(*new_plugin), "no release lists the callback other"),
                (lambda: os.remove(self.path("changelogs/fragments/1.0.0.yml")),
                 "1.0.0 names 1.0.0.yml, which is not a fragment")]:
            with self.subTest(said):
                self.setUp()
                change()
                result = self.changelog("check")
                self.assertEqual(result.returncode, 1)
                self.assertIn(said, result.stderr)

    def test_a_release_folds_in_the_new_fragments_plugins_and_playbooks(self):
        self.assertIn("is released already", self.changelog("release").stderr)
        self.edit("galaxy.yml", f"version: {self.version}", "version: 99.1.0")
        self.assertIn("no fragment holds a change", self.changelog("release").stderr)
        self.add("changelogs/fragments/99-new.yml",
                 "---\nbugfixes:\n  - A ``fix``.\nadd object.playbook:\n"
                 "  - name: other\n    description: Another playbook\n")
        self.add("playbooks/other.yml", "---\n")
        self.add("plugins/modules/other.py",
                 'DOCUMENTATION = r"""\nmodule: other\nshort_description: Another module\n"""\n')
        result = self.changelog("release", "2099-01-02")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(self.changelog("check").returncode, 0)
        with open(self.path("CHANGELOG.md")) as f:
            rendered = f.read()
        newest = rendered.split("## v")[1]  # the newest release comes first
        self.assertTrue(newest.startswith("99.1.0\n\nReleased 2099-01-02."), newest)
        for line in ("### Bugfixes\n\n- A `fix`.", "- velkaran.offswitch.other - Another module",
                     "### New Playbooks\n\n- velkaran.offswitch.other - Another playbook"):
            self.assertIn(line, newest)
        self.assertEqual(newest.count("\n- "), 3, newest)  # nothing released before
        with open(os.path.join(self.top, "packaging", "changelog-collection")) as f:
            self.assertTrue(f.read().startswith(
                "velkaran-ansible-collection (99.1.0) stable; urgency=medium\n"))


if __name__ == "__main__":
    main()

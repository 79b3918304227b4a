"""scripts/lib/package.py's proof work: versions, the tree's state, the source archive, the comparison."""
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
sys.dont_write_bytecode = True  # no __pycache__ in the tree, which scripts/package would take for a change
import package  # noqa: E402

VERSION_H = open(os.path.join(ROOT, "src/mach3/version.h"), encoding="utf-8").read()


def git(repo, *args):
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@t", GIT_AUTHOR_DATE="@1700000000 +0000", GIT_COMMITTER_DATE="@1700000000 +0000")
    return subprocess.run(["git", "-C", repo, *args], check=True, capture_output=True, text=True, env=env).stdout


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


class Repo(unittest.TestCase):
    """A small repository: the release number, a changelog, a source file and a script."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trelvo-package-test-")
        self.repo = os.path.join(self.dir, "repo")
        write(os.path.join(self.repo, "src/mach3/version.h"), VERSION_H)
        write(os.path.join(self.repo, "src/core/a.cpp"), "int a;\n")
        write(os.path.join(self.repo, "scripts/run"), "#!/bin/sh\n", 0o755)
        write(os.path.join(self.repo, ".gitignore"), "build/\n")
        self.changelog("## Unreleased\n\nChanges since the release.\n\n## 1.0\n")
        git(self.repo, "init", "-q")
        git(self.repo, "add", "-A")
        git(self.repo, "commit", "-qm", "one")
        self.release = package._release(self.repo)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def changelog(self, text):
        write(os.path.join(self.repo, "CHANGELOG.md"), "# Changelog\n\nReleases.\n\n" + text)


class Versions(Repo):
    def test_a_release_has_its_number_and_any_other_build_a_later_one(self):
        head = git(self.repo, "rev-parse", "--short=10", "HEAD").strip()
        cases = [("## Unreleased\n\n## 1.0\n", f"{self.release}+dev.1.{head}"),
                 ("## unreleased\n", f"{self.release}+dev.1.{head}"),
                 (f"## {self.release}\n\nThe release.\n", self.release)]
        for text, want in cases:
            with self.subTest(text=text):
                self.changelog(text)
                self.assertEqual(package.version(self.repo), want)
        if shutil.which("dpkg"):
            later = subprocess.run(["dpkg", "--compare-versions", f"{self.release}+dev.1.{head}-1", "gt",
                                    f"{self.release}-1"]).returncode
            self.assertEqual(later, 0, "the Debian version of a development build sorts after the release's")


class State(Repo):
    def test_untracked_and_edited_files_are_changes_and_ignored_outputs_are_not(self):
        self.assertEqual(package.tree_state(self.repo)["changes"], [])
        write(os.path.join(self.repo, "build/windows/TRELVO-40.dll"), "stale")
        self.assertEqual(package.tree_state(self.repo)["changes"], [])
        cases = [("src/core/extra.cpp", "int b;\n"), ("src/core/a.cpp", "int a2;\n")]
        for path, text in cases:
            with self.subTest(path=path):
                write(os.path.join(self.repo, path), text)
                self.assertIn(path, package.tree_state(self.repo)["changes"])

    def test_only_an_address_others_can_reach_is_named(self):
        for url, shown in [("https://example.org/trelvo.git", "https://example.org/trelvo.git"),
                           ("git@example.org:trelvo.git", "git@example.org:trelvo.git"), ("/srv/trelvo", "")]:
            with self.subTest(url=url):
                git(self.repo, "config", "remote.origin.url", url)
                self.assertEqual(package.tree_state(self.repo)["repository"], shown)


class Source(Repo):
    def archive(self, root, name):
        target = os.path.join(self.dir, name)
        package.write_source(root, target, package.version(root))
        return target

    def test_the_archive_builds_without_git_and_gives_itself_again(self):
        first = self.archive(self.repo, "one.tar.gz")
        again = self.archive(self.repo, "two.tar.gz")
        self.assertEqual(open(first, "rb").read(), open(again, "rb").read())
        with tarfile.open(first) as tar:
            tar.extractall(os.path.join(self.dir, "x"))
            names = tar.getnames()
            mode = tar.getmember(names[0].split("/")[0] + "/scripts/run").mode
        self.assertEqual(mode, 0o755)
        tree = os.path.join(self.dir, "x", names[0].split("/")[0])
        self.assertFalse(package._in_git(tree) and os.path.isdir(os.path.join(tree, ".git")))
        self.assertEqual(package.version(tree), package.version(self.repo))
        self.assertEqual(package.tree_state(tree)["commit"], git(self.repo, "rev-parse", "HEAD").strip())
        self.assertEqual(open(self.archive(tree, "three.tar.gz"), "rb").read(), open(first, "rb").read())
        # Built outputs beside it are no change; an edited or added source file is.
        write(os.path.join(tree, "build/x.o"), "")
        self.assertEqual(package.tree_state(tree)["changes"], [])
        write(os.path.join(tree, "src/core/a.cpp"), "int edited;\n")
        write(os.path.join(tree, "src/core/new.cpp"), "int b;\n")
        self.assertEqual(package.tree_state(tree)["changes"], ["src/core/a.cpp", "src/core/new.cpp"])
        with self.assertRaises(SystemExit):
            self.archive(tree, "four.tar.gz")


class Compare(unittest.TestCase):
    FILES = {"TRELVO-40.dll": b"MZ module", "trelvo-sim.exe": b"MZ sim", "BUILDINFO.txt": b"info\r\n"}

    def folder(self, name, files, sums=None):
        d = os.path.join(self.dir, name)
        os.makedirs(d)
        for f, data in files.items():
            open(os.path.join(d, f), "wb").write(data)
        sums = files if sums is None else sums
        lines = "".join(f"{package.hashlib.sha256(v).hexdigest()}  {k}\r\n" for k, v in sorted(sums.items()))
        open(os.path.join(d, "SHA256SUMS"), "w", newline="").write(lines)
        return d

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trelvo-compare-test-")
        self.rebuilt = self.folder("rebuilt", self.FILES)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_each_file_is_compared_with_the_rebuilt_one_not_with_the_given_sums(self):
        swapped = dict(self.FILES, **{"TRELVO-40.dll": b"MZ evil"})
        cases = [
            ("same", self.FILES, None, True, []),
            # A swapped DLL with SHA256SUMS left as it was.
            ("swapped", swapped, self.FILES, False, ["DIFFERS: TRELVO-40.dll",
                                                     "SHA256SUMS does not match the given zip's TRELVO-40.dll"]),
            # A swapped DLL whose line was changed too: the sums agree, the bytes do not.
            ("swapped with its sum", swapped, None, False, ["DIFFERS: TRELVO-40.dll", "DIFFERS: SHA256SUMS"]),
            ("missing", {k: v for k, v in self.FILES.items() if k != "trelvo-sim.exe"}, None, False,
             ["EXTRA in the rebuild: trelvo-sim.exe"]),
            ("extra", dict(self.FILES, **{"x.dll": b"x"}), None, False, ["MISSING from the rebuild: x.dll"]),
        ]
        for name, files, sums, ok, want in cases:
            with self.subTest(name):
                lines, same = package.compare(self.folder(name, files, sums), self.rebuilt)
                self.assertEqual(same, ok, lines)
                for line in want:
                    self.assertIn(line, lines)


if __name__ == "__main__":
    unittest.main()

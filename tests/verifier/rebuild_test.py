"""Which commit the verifier rebuilds, and what scripts/build publishes: the
answers that must not accuse a publisher of what is the auditor's own setup,
and the parts of a release that a later build or a second timestamp server
must not spoil."""
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from release import authenticode, buildinfo
from verifier_test import (CA, EXECUTABLES, INSTALLER_MESSAGE, KEYS, RELEASE, WORK, Verifying,
                           checkout, git, published)
from tests.signing.pki import TimestampAuthority, build

SETUP = RELEASE / EXECUTABLES[1]


class RebuiltCommit(Verifying):
    @classmethod
    def setUpClass(cls):
        cls.repo = checkout("checkout-moved")
        cls.base = git(cls.repo, "rev-parse", "HEAD")
        # After the release: a changed message, then a scripts/build that
        # fails, so that only the release's own commit and its own
        # scripts/build can give the genuine answer.
        setup_source = cls.repo / "installer/installer_main.cpp"
        setup_source.write_text(setup_source.read_text().replace(
            INSTALLER_MESSAGE, INSTALLER_MESSAGE.replace("meg.", "meg!")))
        git(cls.repo, "commit", "-qam", "Another message")
        cls.message = git(cls.repo, "rev-parse", "HEAD")
        (cls.repo / "scripts/build").write_text("#!/bin/sh\necho broken >&2\nexit 9\n")
        git(cls.repo, "commit", "-qam", "A build that fails")
        cls.broken = git(cls.repo, "rev-parse", "HEAD")
        # A fetched pull request: the release's tree, beside HEAD's history.
        cls.proposal = git(cls.repo, "commit-tree", f"{cls.base}^{{tree}}", "-p", cls.base,
                           "-m", "A proposal")
        git(cls.repo, "update-ref", "refs/pull/1/head", cls.proposal)

    def test_the_commit_buildinfo_names_is_rebuilt_when_head_contains_it(self):
        fetch = "if fetching does not bring it, this release was not built from published source"
        absent = "0123456789abcdef" * 2 + "01234567"
        cases = [
            # (case, HEAD, --published: BUILDINFO's commit and tree, or none, exit, the line says)
            ("a clone that moved on", self.broken, published(WORK / "published-genuine"), 0,
             [f"built from commit {self.base}", f"(not this clone's HEAD, {self.broken})",
              "client included"]),
            ("no BUILDINFO, and HEAD is another source", self.message, None, 7,
             [f"rebuilt {SETUP.name} of commit {self.message}",
              "pass the release folder with --published"]),
            ("a commit the clone lacks", self.broken,
             published(WORK / "published-absent", commit=absent), 7,
             [f"commit {absent}, which is not in this clone", fetch]),
            ("a fetched pull request", self.broken,
             published(WORK / "published-proposal", commit=self.proposal), 7,
             [f"commit {self.proposal}, which is not in the history of HEAD", fetch]),
            ("BUILDINFO owns up to uncommitted changes", self.broken,
             published(WORK / "published-modified", commit=self.message, tree="modified"), 7,
             [f"of commit {self.message} (not this clone's HEAD, {self.broken})",
              "built from uncommitted changes"]),
        ]
        for case, head, folder, code, says in cases:
            with self.subTest(case):
                git(self.repo, "reset", "-q", "--hard", head)
                self.verify(SETUP, "--ca", CA, *(["--published", folder] if folder else []),
                            code=code, says=says)


class Publishing(unittest.TestCase):
    def test_an_unsigned_build_over_a_signed_release_leaves_no_signature_behind(self):
        dist = WORK / "over-signed"
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(RELEASE, dist)
        done = build("--dist", dist, "--build-dir", WORK / "over-signed-build")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(p.name for p in dist.rglob("*")),
                         sorted([*EXECUTABLES, "BUILDINFO", "SHA256SUMS"]))

    def test_a_judge_that_breaks_here_is_no_misfit(self):
        """Only the judge's own word makes a signature not fit (exit 3, which
        the verifier reads as "not built from this source"). A judge that
        breaks on this machine, here broken at Python's start-up, is a failed
        build, which the verifier calls undecided; dist/ stays as it was."""
        home = WORK / "broken-judge-home"
        shutil.rmtree(home, ignore_errors=True)
        site = Path(subprocess.run(
            ["/usr/bin/python3", "-c", "import site; print(site.getusersitepackages())"],
            env={**os.environ, "HOME": str(home)}, capture_output=True, text=True,
            check=True).stdout.strip())
        site.mkdir(parents=True)
        (site / "usercustomize.py").write_text(
            "try:\n    from release import authenticode\nexcept ImportError:\n    pass\n"
            "else:\n    def broken(data):\n        raise OSError('the judge broke')\n"
            "    authenticode.signature_fits = broken\n")
        dist = WORK / "broken-judge"
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(RELEASE, dist)
        before = {p: p.read_bytes() for p in dist.rglob("*") if p.is_file()}
        done = build("--attach-signatures", RELEASE, "--dist", dist,
                     "--build-dir", WORK / "broken-judge-build", env={"HOME": str(home)})
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertRegex(done.stderr.strip().splitlines()[-1],
                         r"^scripts/build: cannot judge whether .* fits the rebuilt ")
        self.assertEqual({p: p.read_bytes() for p in dist.rglob("*") if p.is_file()}, before)

    def test_each_timestamp_server_is_tried_in_turn_until_one_answers(self):
        # Nothing listens on port 1 of the loopback: refused at once.
        silent = "http://127.0.0.1:1"
        with TimestampAuthority(KEYS) as authority:
            for order in ((silent, authority.url), (authority.url, silent)):
                with self.subTest(order[0]):
                    dist = WORK / "timestamped"
                    shutil.rmtree(dist, ignore_errors=True)
                    done = build("--sign", KEYS / "publisher.pfx", "--timestamp", order[0],
                                 "--timestamp", order[1], "--dist", dist,
                                 "--build-dir", WORK / "timestamped-build")
                    self.assertEqual(done.returncode, 0, done.stderr)
                    for name in EXECUTABLES:
                        data = (dist / name).read_bytes()
                        signature = authenticode.Signature(authenticode.signature_der(data))
                        signature.check(data)
                        self.assertIsNotNone(signature.timestamp, name)

    def test_buildinfo_names_only_the_toolchain_s_own_packages(self):
        """Packages of any other source (the C library, OpenSSL, curl, which
        the tools also load) do not shape the bytes; naming them would make a
        genuine release undecidable after their next security update."""
        listed = buildinfo.package_versions(buildinfo.read(RELEASE / "BUILDINFO"))
        sources = subprocess.run(
            ["dpkg-query", "-W", "-f=${source:Package}\n", *listed], capture_output=True,
            text=True, check=True).stdout.split()
        self.assertEqual(len(sources), len(listed))
        # llvm-toolchain-14 on Debian 12, llvm-toolchain-19 on 13.
        self.assertEqual({re.sub(r"(?<=-)[0-9]+$", "", source) for source in sources},
                         {"llvm-toolchain-", "cmake", "mingw-w64"}, listed)


if __name__ == "__main__":
    unittest.main()

"""A signed release built in a root of the other Debian release than this
machine's, verified here with --fresh-root: the verifier makes a root of the
release BUILDINFO names, installs the package versions it records and
rebuilds there. .ci/run runs it, not ctest: it makes Debian roots, which take
minutes and a cache that a ctest run inside a fresh root lacks; and it runs it
as an ordinary user made for it, as an auditor without root would. Besides,
what an ordinary user's machine may lack is named in one line.

    python3 -m unittest -v fresh_root_test           from tests/verifier
"""
import getpass
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from release import buildinfo
from release.verify import INSTALLER
from tests.signing.pki import ROOT, TimestampAuthority, build, make_keys

WORK = ROOT / "build/fresh-root"
HERE = buildinfo.debian_release().rpartition("(")[2].rstrip(")")
OTHER = {"bookworm": "trixie", "trixie": "bookworm"}.get(HERE, "bookworm")
MESSAGE = "A felhasznaloi telepitesi mappa nem hatarozhato meg."


def publish(share):
    """In the root: keys, the genuine release of this clone's HEAD, and a
    release signed with the same key from a changed source."""
    make_keys(share / "keys")
    setup_source = ROOT / "installer/installer_main.cpp"
    genuine = setup_source.read_text()
    with TimestampAuthority(share / "keys") as authority:
        for name, text in (("genuine", genuine),
                           ("changed", genuine.replace(MESSAGE, MESSAGE.replace("meg.", "meg!")))):
            setup_source.write_text(text)
            done = build("--sign", share / "keys/publisher.pfx", "--timestamp", authority.url,
                         "--dist", share / name, "--build-dir", share / "build")
            if done.returncode != 0:
                sys.exit(f"the {name} signed build failed:\n{done.stdout}{done.stderr}")
    setup_source.write_text(genuine)


def run(*args, env=None):
    done = subprocess.run([*map(str, args)], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, env=env)
    return done.returncode, done.stdout, done.stderr


def machine_without(folder, hidden=(), stand_ins=None):
    """An environment whose PATH has this machine's programs but the hidden
    ones, and shell stand-ins for some."""
    folder.mkdir(parents=True)
    for directory in os.environ["PATH"].split(os.pathsep):
        try:
            programs = os.listdir(directory)
        except OSError:
            continue
        for name in programs:
            if name not in hidden and not os.path.lexists(folder / name):
                (folder / name).symlink_to(Path(directory) / name)
    for name, body in (stand_ins or {}).items():
        (folder / name).unlink(missing_ok=True)
        (folder / name).write_text(f"#!/bin/sh\n{body}\n")
        (folder / name).chmod(0o755)
    return {**os.environ, "PATH": str(folder)}


class FreshRoot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        WORK.mkdir(parents=True)
        code, out, err = run(ROOT / "scripts/fresh-debian", "--share", WORK, OTHER,
                             "scripts/setup --build",
                             "PYTHONPATH=$PWD python3 tests/verifier/fresh_root_test.py /share")
        assert code == 0, out[-3000:] + err
        # What a build machine that changed the source before building
        # would publish: BUILDINFO naming the commit, clean.
        changed = WORK / "changed/BUILDINFO"
        changed.write_text(changed.read_text().replace("tree: modified", "tree: clean"))
        cls.commit = buildinfo.read(WORK / "genuine/BUILDINFO")["commit"]

    def test_a_release_of_the_other_debian_release_is_rebuilt_in_a_root_of_it(self):
        gone = WORK / "gone"
        shutil.copytree(WORK / "genuine", gone)
        info = buildinfo.read(gone / "BUILDINFO")
        compiler = next(key for key in info if key.startswith(buildinfo.PACKAGE + "clang-"))
        package = compiler.removeprefix(buildinfo.PACKAGE)
        (gone / "BUILDINFO").write_text((gone / "BUILDINFO").read_text().replace(
            f"{compiler}: {info[compiler]}", f"{compiler}: {info[compiler]}+gone"))
        cases = [
            # (case, release folder, --fresh-root, programs hidden, exit, the last line says)
            ("the genuine release, without --fresh-root", "genuine", False, (), 7,
             ["another toolchain", f"--fresh-root rebuilds in a fresh Debian {OTHER} root"]),
            ("the genuine release", "genuine", True, (), 0,
             [f"built from commit {self.commit}", "byte for byte, client included"]),
            ("the same key, a changed source", "changed", True, (), 6,
             [f"is validly signed but was not built from commit {self.commit}",
              f"rebuilt {INSTALLER}"]),
            ("a version the archive no longer serves", "gone", True, (), 7,
             [f"no longer serves the version BUILDINFO records of {package} "
              f"{info[compiler]}+gone (it serves {info[compiler]}"]),
        ]
        if os.geteuid() != 0:
            cases.append(("an ordinary user without newuidmap", "genuine", True,
                          ("newuidmap", "newgidmap"), 7,
                          [f"the rebuild of commit {self.commit} failed: scripts/fresh-debian: "
                           "not installed: uidmap", "apt-get install uidmap"]))
        for case, folder, fresh_root, hidden, code, says in cases:
            with self.subTest(case):
                status, out, err = run(ROOT / "scripts/verify-release",
                                       WORK / folder / INSTALLER, "--ca", WORK / "keys/root.pem",
                                       "--published", WORK / folder,
                                       *(["--fresh-root"] if fresh_root else []),
                                       env=machine_without(WORK / case, hidden) if hidden else None)
                self.assertEqual(status, code, out + err)
                # Progress may come first on stderr; the verdict is the last line.
                line = (out if code == 0 else err).splitlines()[-1]
                self.assertEqual(out.count("\n"), 1 if code == 0 else 0, out)
                for words in says:
                    self.assertIn(words, line)


class MissingPieces(unittest.TestCase):
    def test_what_an_ordinary_user_lacks_is_named_in_one_line(self):
        if os.geteuid() == 0:
            self.skipTest("root needs no user namespace")
        user = getpass.getuser()
        work = Path(tempfile.mkdtemp(prefix="larkspire-pieces-"))
        self.addCleanup(shutil.rmtree, work)
        cases = [
            # (case, hidden programs, stand-ins, the line says)
            ("user namespaces refused", (),
             {"unshare": "echo 'unshare: unshare failed: Operation not permitted' >&2; exit 1"},
             ["user namespaces are refused to ordinary users", "or run this as root"]),
            ("no newuidmap", ("newuidmap",), {}, ["not installed: uidmap", "install uidmap"]),
            ("newuidmap refused", (),
             {"newuidmap": "echo 'newuidmap: write to uid_map failed' >&2; exit 1"},
             [f"cannot map the subordinate ids of {user} here", "write to uid_map failed"]),
            ("no mmdebstrap", ("mmdebstrap",), {},
             ["not installed: mmdebstrap", "install mmdebstrap"]),
            # A name that only begins another's entry has none of its own.
            ("no subordinate ids", (),
             {"id": f'[ "$1" = -un ] && echo {user[:-1]} || exec /usr/bin/id "$@"'},
             [f"subordinate ids for {user[:-1]} in /etc/subuid", "usermod --add-subuids"]),
        ]
        for number, (case, hidden, stand_ins, says) in enumerate(cases):
            with self.subTest(case):
                env = machine_without(work / str(number), hidden, stand_ins)
                code, out, err = run(ROOT / "scripts/fresh-debian", "trixie", "true", env=env)
                self.assertEqual((code, out, err.count("\n")), (69, "", 1), err)
                self.assertTrue(err.startswith("scripts/fresh-debian: "), err)
                for words in says:
                    self.assertIn(words, err)


if __name__ == "__main__":
    publish(Path(sys.argv[1]))

"""Verifiable releases: detached signatures, the rebuild that attaches them,
and scripts/verify-release's answer for a genuine release and for each way a
file can fail to be one. Every rebuild runs in a repository made from the
working tree, since the verifier refuses uncommitted changes."""
import os
import shutil
import subprocess
import unittest
from pathlib import Path

import pefile

from release import authenticode, pe, product
from rig.signing import PASSWORD, ROOT, TimestampAuthority

WORK = Path(os.environ["LARKSPIRE_SIGNING_WORK"])
KEYS = WORK / "keys"
RELEASE = WORK / "dist"
# The signed build's own links: the client before signing, and the installer
# before signing, carrying the signed client.
UNSIGNED = WORK / "build/unsigned"
CA = KEYS / "root.pem"
EXECUTABLES = product.EXECUTABLES
INSTALLER_MESSAGE = "A felhasznaloi telepitesi mappa nem hatarozhato meg."


def run(*args, cwd=None, input=None):
    done = subprocess.run([*map(str, args)], cwd=cwd, input=input, capture_output=True,
                          text=True, stdin=None if input is not None else subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


def checkout(name):
    """A repository holding the working tree's tracked files in one commit,
    at another path than ROOT."""
    repo = WORK / name
    shutil.rmtree(repo, ignore_errors=True)
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True,
                           check=True).stdout.decode().split("\0")
    for file in filter(None, files):
        if (ROOT / file).exists():
            (repo / file).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / file, repo / file, follow_symlinks=False)
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "The tree under test"]):
        git(repo, *args)
    return repo


def git(repo, *args):
    # Named outright, so that git never walks up to the repository that holds
    # the build folder.
    subprocess.run(["git", "-c", "user.name=Test", "-c", "user.email=test@invalid", *args],
                   check=True, capture_output=True,
                   env={**os.environ, "GIT_DIR": str(repo / ".git"), "GIT_WORK_TREE": str(repo)})


def sign(source, target, pfx="publisher.pfx", timestamp=None):
    target.unlink(missing_ok=True)
    code, out, err = run("osslsigncode", "sign", "-pkcs12", KEYS / pfx, "-readpass", "/dev/stdin",
                         "-h", "sha256", "-n", "Larkspire Windows", "-i",
                         "https://larkspire.game", *(["-ts", timestamp] if timestamp else []),
                         "-in", source, "-out", target, input=PASSWORD)
    assert code == 0, out + err
    return target


def code_offset(image):
    text = next(s for s in pefile.PE(data=image, fast_load=True).sections
                if s.Name.rstrip(b"\0") == b".text")
    return text.PointerToRawData + 16


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def fingerprint_of(path):
    der = authenticode.signature_der(path.read_bytes())
    return authenticode.fingerprint(authenticode.Signature(der).signer)


class Verifying(unittest.TestCase):
    repo = None

    def verify(self, file, *args, code, says=(), repo=None):
        status, out, err = run((repo or self.repo) / "scripts/verify-release", file, *args)
        self.assertEqual(status, code, out + err)
        line = out if code == 0 else err
        self.assertEqual(len(line.splitlines()), 1, out + err)
        for words in says:
            self.assertIn(str(words), line)
        return line


class Verifier(Verifying):
    @classmethod
    def setUpClass(cls):
        cls.repo = checkout("checkout-verifier")
        cls.scratch = WORK / "verifier"
        shutil.rmtree(cls.scratch, ignore_errors=True)
        cls.scratch.mkdir()

    def file(self, name, data):
        (self.scratch / name).write_bytes(data)
        return self.scratch / name

    def test_the_genuine_release_verifies(self):
        commit = subprocess.run(["git", "-C", self.repo, "rev-parse", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
        fingerprint = fingerprint_of(RELEASE / "LarkspireSetup.exe")
        common = [commit, "CN=Larkspire Test publisher", fingerprint, "timestamp 20"]
        with self.subTest("plain"):
            self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, code=0,
                        says=common + ["client included"])
        with self.subTest("--published"):
            self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, "--published", RELEASE,
                        code=0, says=common)
        with self.subTest("--fingerprint, the client alone"):
            self.verify(RELEASE / "Larkspire.exe", "--ca", CA, "--fingerprint",
                        fingerprint.replace(":", "").lower(), code=0, says=common)

    def test_changes_after_signing_exit_1(self):
        setup = (RELEASE / "LarkspireSetup.exe").read_bytes()
        shape = pe.layout(setup)
        root_copy = authenticode.der_from_pem(CA.read_text())
        at = setup.index(root_copy, shape.cert_at) + len(root_copy) - 1
        blob = self.scratch / "blob.exe"
        blob.unlink(missing_ok=True)
        code, out, err = run("osslsigncode", "add", "-addUnauthenticatedBlob",
                             "-in", RELEASE / "LarkspireSetup.exe", "-out", blob)
        self.assertEqual(code, 0, out + err)
        cases = [
            ("a checksum-only edit", setup[:shape.checksum_at] + b"\x01\x02\x03\x04" +
             setup[shape.checksum_at + 4:], "the PE checksum is 0x4030201"),
            ("an unauthenticated blob", blob.read_bytes(), "unauthenticated attribute"),
            ("8 bytes after the certificate table", setup + bytes(8),
             "8 bytes follow the certificate table"),
            ("the root's signature value inside the signature",
             pe.with_checksum(flip(setup, at)),
             "certificate CN=Larkspire Test Root in the signature does not verify against "
             "itself"),
            # With the checksum fixed, so that the digest alone must see it.
            ("a code byte", pe.with_checksum(flip(setup, code_offset(setup))),
             "digest does not match its signature"),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                self.verify(self.file("changed.exe", data), "--ca", CA, code=1,
                            says=["changed after signing", reason])

    def test_validly_signed_files_not_built_from_this_source_exit_6(self):
        with TimestampAuthority(KEYS) as authority:
            setup = (UNSIGNED / "LarkspireSetup.exe").read_bytes()
            at = code_offset(setup)
            installer = sign(self.file("setup-unsigned.exe", flip(setup, at)),
                             self.scratch / "setup-changed.exe", timestamp=authority.url)
            self.verify(installer, "--ca", CA, code=6,
                        says=[f"{installer} is validly signed but was not built",
                              "rebuilt LarkspireSetup.exe", f"offset {at:#x}"])
            # The client changed and signed again, embedded in place of the
            # genuine one, and the installer signed again.
            client = (UNSIGNED / "Larkspire.exe").read_bytes()
            at = code_offset(client)
            signed = sign(self.file("client-unsigned.exe", flip(client, at)),
                          self.scratch / "client-changed.exe", timestamp=authority.url)
            genuine = (RELEASE / "Larkspire.exe").read_bytes()
            self.assertEqual(len(signed.read_bytes()), len(genuine))
            installer = sign(self.file("setup-unsigned.exe",
                                       setup.replace(genuine, signed.read_bytes())),
                             self.scratch / "setup-carrying.exe", timestamp=authority.url)
        self.verify(installer, "--ca", CA, code=6,
                    says=[f"the client {installer} carries", "rebuilt Larkspire.exe",
                          f"offset {at:#x}"])

    def test_unexpected_signers_exit_5(self):
        other = sign(UNSIGNED / "Larkspire.exe", self.scratch / "other.exe", "other.pfx")
        self.verify(other, "--ca", CA, "--fingerprint",
                    fingerprint_of(RELEASE / "Larkspire.exe"), code=5,
                    says=["signed by CN=Larkspire Test other", "not by the expected"])
        # Another release: the same key, another signature.
        another = self.scratch / "another-release"
        (another / "signatures").mkdir(parents=True, exist_ok=True)
        again = sign(UNSIGNED / "Larkspire.exe", self.scratch / "again.exe")
        (another / "signatures/Larkspire.exe.pem").write_text(
            authenticode.pem(authenticode.signature_der(again.read_bytes())))
        self.verify(RELEASE / "Larkspire.exe", "--ca", CA, "--published", another, code=5,
                    says=["is not the one published"])
        self.verify(RELEASE / "LarkspireSetup.exe", code=5,
                    says=["CN=Larkspire Test publisher is not trusted"])

    def test_unsigned_files_exit_4(self):
        self.verify(UNSIGNED / "Larkspire.exe", "--ca", CA, code=4,
                    says=[f"{UNSIGNED / 'Larkspire.exe'} is not signed"])
        # An installer signed around a client that is not.
        unsigned_client = self.file("plain-setup.exe", (ROOT / "dist/LarkspireSetup.exe")
                                    .read_bytes())
        setup = sign(unsigned_client, self.scratch / "outer-only.exe")
        self.verify(setup, "--ca", CA, code=4, says=[f"the client {setup} carries",
                                                     "is not signed"])

    def test_files_that_are_not_ours_exit_3(self):
        text = self.file("notes.txt", b"Larkspire Windows\n")
        self.verify(text, code=3, says=["is not a PE image"])
        foreign = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hostname.exe")
        self.verify(foreign, code=3, says=["is not Larkspire Windows"])

    def test_another_toolchain_exits_7_before_any_rebuild(self):
        published = self.scratch / "published-elsewhere"
        shutil.rmtree(published, ignore_errors=True)
        shutil.copytree(RELEASE, published)
        lines = (published / "BUILDINFO").read_text().splitlines()
        compiler = next(line for line in lines if line.startswith("package clang-"))
        package = compiler.split(":")[0].removeprefix("package ")
        (published / "BUILDINFO").write_text("\n".join(
            compiler + "+other" if line == compiler else line for line in lines) + "\n")
        self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, "--published", published,
                    code=7, says=["another toolchain", f"{package} "])

    def test_a_signature_that_does_not_fit_leaves_dist_as_it_was(self):
        dist = self.scratch / "kept"
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(RELEASE, dist)
        before = {p: p.read_bytes() for p in sorted(dist.rglob("*")) if p.is_file()}
        wrong = self.scratch / "wrong"
        (wrong / "signatures").mkdir(parents=True, exist_ok=True)
        shutil.copy(RELEASE / "signatures/LarkspireSetup.exe.pem",
                    wrong / "signatures/Larkspire.exe.pem")
        build = self.scratch / "attach-build"
        code, out, err = run(self.repo / "scripts/build", "--attach-signatures", wrong,
                             "--dist", dist, "--build-dir", build)
        self.assertEqual(code, 3, out + err)
        self.assertEqual(err, f"scripts/build: the signature {wrong}/signatures/Larkspire.exe.pem "
                              "does not fit the rebuilt Larkspire.exe\n")
        self.assertEqual({p: p.read_bytes() for p in sorted(dist.rglob("*")) if p.is_file()},
                         before)
        self.assertEqual(list((build / "signed").rglob("*.exe")), [])


class ChangedSource(Verifying):
    @classmethod
    def setUpClass(cls):
        cls.repo = checkout("checkout-source")
        cls.base = subprocess.run(["git", "-C", cls.repo, "rev-parse", "HEAD"],
                                  capture_output=True, text=True).stdout.strip()

    def setUp(self):
        git(self.repo, "reset", "-q", "--hard", self.base)

    def change(self, path, old, new, commit=True):
        file = self.repo / path
        self.assertIn(old, file.read_text())
        file.write_text(file.read_text().replace(old, new))
        if commit:
            git(self.repo, "commit", "-qam", f"Change {path}")

    def test_attaching_the_signatures_in_a_fresh_clone_reproduces_the_release(self):
        # Given the published release or only its signatures/ folder alike;
        # the second rebuild reuses the first one's build folder.
        build = WORK / "attached-build"
        for given, dist in ((RELEASE, WORK / "attached"),
                            (RELEASE / "signatures", WORK / "attached-from-signatures")):
            shutil.rmtree(dist, ignore_errors=True)
            code, out, err = run(self.repo / "scripts/build", "--attach-signatures", given,
                                 "--dist", dist, "--build-dir", build)
            self.assertEqual(code, 0, out + err)
            for name in EXECUTABLES + tuple(f"signatures/{exe}.pem" for exe in EXECUTABLES):
                with self.subTest(given=given, name=name):
                    self.assertEqual((dist / name).read_bytes(), (RELEASE / name).read_bytes())
            code = subprocess.run(["sha256sum", "--check", "--strict", "--quiet", "SHA256SUMS"],
                                  cwd=dist).returncode
            self.assertEqual(code, 0)

    def test_uncommitted_changes_exit_7(self):
        self.change("client/client_main.cpp", "exit_done : exit_failed", "exit_done : 2",
                    commit=False)
        self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, code=7,
                    says=["uncommitted changes"])

    def test_a_commit_that_changes_an_installer_message_exits_6(self):
        self.change("installer/installer_main.cpp", INSTALLER_MESSAGE,
                    INSTALLER_MESSAGE.replace("meg.", "meg!"))
        self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, code=6,
                    says=[f"{RELEASE / 'LarkspireSetup.exe'} is validly signed",
                          "rebuilt LarkspireSetup.exe"])

    def test_a_commit_that_changes_only_the_client_exits_6(self):
        self.change("client/client_main.cpp", "exit_done : exit_failed", "exit_done : 2")
        self.verify(RELEASE / "LarkspireSetup.exe", "--ca", CA, code=6,
                    says=[f"the client {RELEASE / 'LarkspireSetup.exe'} carries",
                          "rebuilt Larkspire.exe"])


OTHER_OSSLSIGNCODE = os.environ.get("LARKSPIRE_OSSLSIGNCODE_OTHER")


@unittest.skipUnless(OTHER_OSSLSIGNCODE, "LARKSPIRE_OSSLSIGNCODE_OTHER names no second "
                                         "osslsigncode")
class OsslsigncodeVersions(unittest.TestCase):
    def test_signatures_extracted_by_one_attach_with_the_other_to_the_same_bytes(self):
        """The published signatures, written by scripts/build with the system's
        osslsigncode, attach with the other version; and the other version's
        extraction attaches with the system's."""
        other = run(OTHER_OSSLSIGNCODE, "--version")[1].split(",")[0]
        self.assertNotEqual(other, run("osslsigncode", "--version")[1].split(",")[0])
        work = WORK / "versions"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        for name in EXECUTABLES:
            extracted = work / f"{name}.pem"
            code, out, err = run(OTHER_OSSLSIGNCODE, "extract-signature", "-pem",
                                 "-in", RELEASE / name, "-out", extracted)
            self.assertEqual(code, 0, out + err)
            published = RELEASE / "signatures" / f"{name}.pem"
            for attacher, signature in ((OTHER_OSSLSIGNCODE, published),
                                        ("osslsigncode", extracted)):
                with self.subTest(f"{signature} attached by {attacher}"):
                    attached = work / f"attached-{Path(attacher).parent.name}-{name}"
                    run(attacher, "attach-signature", "-sigin", signature,
                        "-in", UNSIGNED / name, "-out", attached)
                    self.assertTrue(attached.exists(), f"{attacher} attached nothing")
                    self.assertEqual(attached.read_bytes(), (RELEASE / name).read_bytes())


if __name__ == "__main__":
    unittest.main()

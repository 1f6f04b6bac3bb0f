"""Verifiable releases: detached signatures, the rebuild that attaches them,
and scripts/verify-release's answer for a genuine release and for each way a
file can fail to be one. Every rebuild runs in a repository made from the
working tree, since the verifier refuses uncommitted changes."""
import os
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

import pefile

import forge
from release import authenticode, pe, product
from tests.signing.pki import EXPIRED, PASSWORD, ROOT, TimestampAuthority

WORK = Path(os.environ["LARKSPIRE_SIGNING_WORK"])
KEYS = WORK / "keys"
RELEASE = WORK / "dist"
# The signed build's own links: the client before signing, and the installer
# before signing, carrying the signed client.
UNSIGNED = WORK / "build/unsigned"
CA = KEYS / "root.pem"
EXECUTABLES = product.EXECUTABLES
CLIENT, INSTALLER = EXECUTABLES
INSTALLER_MESSAGE = "A felhasznaloi telepitesi mappa nem hatarozhato meg."


def run(*args, cwd=None, input=None):
    done = subprocess.run([*map(str, args)], cwd=cwd, input=input, capture_output=True,
                          text=True, stdin=None if input is not None else subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


def checkout(name):
    """A clone, at another path than ROOT, of the repository the release was
    built from, so that it has the commit BUILDINFO names."""
    repo = WORK / name
    shutil.rmtree(repo, ignore_errors=True)
    subprocess.run(["git", "clone", "-q", WORK / "source", repo], check=True,
                   capture_output=True)
    return repo


def git(repo, *args):
    # Named outright, so that git never walks up to the repository that holds
    # the build folder.
    return subprocess.run(["git", "-c", "user.name=Test", "-c", "user.email=test@invalid", *args],
                          check=True, capture_output=True, text=True,
                          env={**os.environ, "GIT_DIR": str(repo / ".git"),
                               "GIT_WORK_TREE": str(repo)}).stdout.strip()


def published(folder, signed=RELEASE, commit=None, tree="clean"):
    """A release folder with the signatures of the file signed (the
    installer, or its client when signed is one) and the genuine BUILDINFO,
    or one that names another commit: what a publisher's machine claims."""
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "signatures").mkdir(parents=True)
    if signed.is_dir():
        shutil.copytree(signed / "signatures", folder / "signatures", dirs_exist_ok=True)
    else:
        data = signed.read_bytes()
        client, installer = EXECUTABLES
        inner = pe.embedded_images(data)
        images = {installer: data, client: inner[0][1]} if inner else {client: data}
        for name, image in images.items():
            (folder / "signatures" / f"{name}.pem").write_text(
                authenticode.pem(authenticode.signature_der(image)))
    lines = (RELEASE / "BUILDINFO").read_text().splitlines()
    replaced = {"commit": commit, "tree": tree}
    (folder / "BUILDINFO").write_text("".join(
        f"{key}: {replaced.get(key) or value}\n"
        for key, _, value in (line.partition(": ") for line in lines)))
    return folder


def sign(source, target, pfx="publisher.pfx", timestamp=None, digest="sha256",
         counter_signature=None):
    """source signed into target; timestamp and counter_signature name an
    authority's URL for an RFC 3161 or an old-style timestamp."""
    target.unlink(missing_ok=True)
    code, out, err = run("osslsigncode", "sign", "-pkcs12", KEYS / pfx, "-readpass", "/dev/stdin",
                         "-h", digest, "-n", product.DISPLAY_NAME, "-i",
                         f"https://{product.HOME_HOST}", *(["-ts", timestamp] if timestamp else []),
                         *(["-t", counter_signature] if counter_signature else []),
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


def openssl_fingerprint(name, digest="sha256"):
    """As openssl prints it: "sha256 Fingerprint=AB:CD:..."."""
    return run("openssl", "x509", "-in", KEYS / f"{name}.pem", "-noout", "-fingerprint",
               f"-{digest}")[1].strip()


def timestamp_attribute(token):
    return {"type": "microsoft_time_stamp_token", "values": [token]}


def counter_signature_attribute(signer_info):
    return {"type": "counter_signature", "values": [signer_info]}


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
        # Compared with openssl's own, so that another digest cannot pass.
        pinned = openssl_fingerprint("publisher")
        fingerprint = pinned.split("=")[1]
        common = [commit, "CN=Larkspire Test publisher", fingerprint, "timestamp 20"]
        with self.subTest("plain"):
            self.verify(RELEASE / INSTALLER, "--ca", CA, code=0,
                        says=common + ["client included"])
        with self.subTest("--published"):
            self.verify(RELEASE / INSTALLER, "--ca", CA, "--published", RELEASE,
                        "--fingerprint", pinned, code=0, says=common)
        with self.subTest("--fingerprint, the client alone"):
            self.verify(RELEASE / CLIENT, "--ca", CA, "--fingerprint",
                        fingerprint.replace(":", "").lower(), code=0, says=common)

    def test_changes_after_signing_exit_1(self):
        setup = (RELEASE / INSTALLER).read_bytes()
        client = (RELEASE / CLIENT).read_bytes()
        shape = pe.layout(setup)
        root_copy = authenticode.der_from_pem(CA.read_text())
        at = setup.index(root_copy, shape.cert_at) + len(root_copy) - 1
        blob = self.scratch / "blob.exe"
        blob.unlink(missing_ok=True)
        code, out, err = run("osslsigncode", "add", "-addUnauthenticatedBlob",
                             "-in", RELEASE / INSTALLER, "-out", blob)
        self.assertEqual(code, 0, out + err)
        # The client's certificate table said to lie in its code, so that its
        # last sections follow the table, where its digest stops.
        moved = bytearray(client)
        struct.pack_into("<II", moved, pe.layout(client).security_at, code_offset(client), 8)
        carrying = sign(self.file("setup-unsigned.exe", (UNSIGNED / INSTALLER).read_bytes()
                                  .replace(client, moved)), self.scratch / "setup-moved.exe")
        cases = [
            ("a checksum-only edit", setup[:shape.checksum_at] + b"\x01\x02\x03\x04" +
             setup[shape.checksum_at + 4:], "the PE checksum is 0x4030201"),
            ("an unauthenticated blob", blob.read_bytes(), "unauthenticated attribute"),
            ("8 bytes after the certificate table", setup + bytes(8),
             "8 bytes follow the certificate table"),
            # Refused before any search for images, which would find the
            # appended client and look at each "MZ" of the rest.
            ("a client and MZ bytes after the certificate table",
             setup + client + b"MZ" * 500_000, f"{len(client) + 1_000_000} bytes follow"),
            ("the client's sections after its certificate table", carrying.read_bytes(),
             f"{pe.layout(client).sections_end - code_offset(client) - 8} bytes follow"),
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
            setup = (UNSIGNED / INSTALLER).read_bytes()
            at = code_offset(setup)
            installer = sign(self.file("setup-unsigned.exe", flip(setup, at)),
                             self.scratch / "setup-changed.exe", timestamp=authority.url)
            self.verify(installer, "--ca", CA, "--published",
                        published(self.scratch / "published-changed", installer), code=6,
                        says=[f"{installer} is validly signed but was not built",
                              f"rebuilt {INSTALLER}", f"offset {at:#x}"])
            # The client changed and signed again, embedded in place of the
            # genuine one, and the installer signed again.
            client = (UNSIGNED / CLIENT).read_bytes()
            at = code_offset(client)
            signed = sign(self.file("client-unsigned.exe", flip(client, at)),
                          self.scratch / "client-changed.exe", timestamp=authority.url)
            genuine = (RELEASE / CLIENT).read_bytes()
            self.assertEqual(len(signed.read_bytes()), len(genuine))
            installer = sign(self.file("setup-unsigned.exe",
                                       setup.replace(genuine, signed.read_bytes())),
                             self.scratch / "setup-carrying.exe", timestamp=authority.url)
        self.verify(installer, "--ca", CA, "--published",
                    published(self.scratch / "published-carrying", installer), code=6,
                    says=[f"the client {installer} carries", f"rebuilt {CLIENT}",
                          f"offset {at:#x}"])

    def test_unexpected_signers_exit_5(self):
        other = sign(UNSIGNED / CLIENT, self.scratch / "other.exe", "other.pfx")
        self.verify(other, "--ca", CA, "--fingerprint",
                    fingerprint_of(RELEASE / CLIENT), code=5,
                    says=["signed by CN=Larkspire Test other", "not by the expected"])
        # Another release: the same key, another signature.
        another = self.scratch / "another-release"
        (another / "signatures").mkdir(parents=True, exist_ok=True)
        again = sign(UNSIGNED / CLIENT, self.scratch / "again.exe")
        (another / "signatures" / f"{CLIENT}.pem").write_text(
            authenticode.pem(authenticode.signature_der(again.read_bytes())))
        self.verify(RELEASE / CLIENT, "--ca", CA, "--published", another, code=5,
                    says=["is not the one published"])
        self.verify(RELEASE / INSTALLER, code=5,
                    says=["CN=Larkspire Test publisher is not trusted"])

    def test_other_shapes_of_signature_verify(self):
        """An ECDSA key with an old-style counter-signature; and a signer
        pinned by --fingerprint, whose root no store holds."""
        with TimestampAuthority(KEYS) as authority:
            ecdsa = sign(UNSIGNED / CLIENT, self.scratch / "ecdsa.exe", "ecdsa.pfx",
                         counter_signature=authority.url)
        self.verify(ecdsa, "--ca", CA, code=0,
                    says=["byte for byte", "CN=Larkspire Test ecdsa", "timestamp 20"])
        plain = sign(UNSIGNED / CLIENT, self.scratch / "plain.exe")
        self.verify(plain, "--fingerprint", openssl_fingerprint("publisher"), code=0,
                    says=["byte for byte", "CN=Larkspire Test publisher", "no timestamp"])

    def test_weak_digests_exit_5(self):
        client = UNSIGNED / CLIENT
        image = sign(client, self.scratch / "plain.exe").read_bytes()
        plain = forge.signature_of(image)
        sha1 = forge.signature_of(sign(client, self.scratch / "sha1.exe", digest="sha1")
                                  .read_bytes())
        cases = [
            ("MD5 throughout", sign(client, self.scratch / "md5.exe", digest="md5").read_bytes(),
             "the file digest is MD5"),
            ("a SHA-1 file digest",
             forge.attach(image, forge.resigned(sha1, KEYS, "publisher", "sha256")),
             "the file digest is SHA-1"),
            ("a SHA-1 signer's digest",
             forge.attach(image, forge.resigned(plain, KEYS, "publisher", "sha1")),
             "the signer's digest is SHA-1"),
            ("a timestamp's SHA-1 imprint", forge.attach(image, forge.with_unsigned(plain, [
                timestamp_attribute(forge.token(plain, KEYS, imprint="sha1"))])),
             "the timestamp's message imprint is SHA-1"),
            ("a timestamp signed over MD5", forge.attach(image, forge.with_unsigned(plain, [
                timestamp_attribute(forge.token(plain, KEYS, hash_name="md5"))])),
             "the timestamp's digest is MD5"),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                self.verify(self.file("weak.exe", data), "--ca", CA, code=5,
                            says=["not signed as Windows requires", reason])

    def test_signers_and_timestamps_that_are_not_what_they_claim(self):
        """A signer must be meant to sign code, and valid now or at a
        trusted timestamp; a timestamp counts only from an authority meant to
        stamp time, and anything else outside the signed attributes is a
        change after signing."""
        def signed(pfx):
            path = sign(UNSIGNED / CLIENT, self.scratch / f"{pfx}.exe", f"{pfx}.pfx")
            return path.read_bytes(), forge.signature_of(path.read_bytes())

        def pin(name):
            return ["--fingerprint", openssl_fingerprint(name)]

        def der(name):
            return authenticode.der_from_pem((KEYS / f"{name}.pem").read_text())

        expired, expired_signature = signed("expired")
        inside = EXPIRED[0] + (EXPIRED[1] - EXPIRED[0]) / 2
        self_stamped = forge.attach(expired, forge.with_unsigned(expired_signature, [
            counter_signature_attribute(forge.counter_signature(
                expired_signature, KEYS, "expired", inside))]))
        # The genuine client, and another publisher's counter-signature on it
        # carrying a kilobyte of bytes of the attacker's choosing.
        genuine = (RELEASE / CLIENT).read_bytes()
        genuine_signature = forge.signature_of(genuine)
        foreign = forge.attach(genuine, forge.with_unsigned(genuine_signature, [
            counter_signature_attribute(forge.counter_signature(
                genuine_signature, KEYS, "other", extra=[forge.attacker_bytes()]))],
            [forge.certificate(KEYS / "other.pem")]))
        plain, plain_signature = signed("publisher")

        def token_by(name):
            return forge.attach(plain, forge.with_unsigned(plain_signature, [
                timestamp_attribute(forge.token(plain_signature, KEYS, name))]))

        # The installer's timestamp, on the client's signature.
        installer_attributes = forge.signature_of((RELEASE / INSTALLER).read_bytes())[
            "content"]["signer_infos"][0]["unsigned_attrs"]
        moved_token = forge.attach(genuine, forge.with_unsigned(genuine_signature,
                                                                list(installer_attributes)))
        genuine_token = genuine_signature["content"]["signer_infos"][0]["unsigned_attrs"][0][
            "values"][0]
        # The last byte of a certificate in the token, in its signature
        # value: the root's copy, which openssl never reads since it holds
        # the root itself, and the authority's. The signature's own copy of
        # the root comes first.
        cert_at = pe.layout(genuine).cert_at
        root_copy = genuine.index(der("root"), genuine.index(der("root"), cert_at) + 1)
        tsa_copy = genuine.index(der("tsa"), cert_at)
        ca = ["--ca", CA]
        cases = [
            ("a TLS server certificate, pinned", signed("server")[0], ca + pin("server"), 5,
             "lacks the code signing extended key usage"),
            ("no extended key usage at all", signed("noeku")[0], ca, 5,
             "lacks the code signing extended key usage"),
            ("a key usage without digitalSignature", signed("encipher")[0], ca, 5,
             "key usage lacks digitalSignature"),
            ("an expired certificate without a timestamp", expired, ca, 5,
             "certificate has expired"),
            ("an expired certificate without a timestamp, pinned", expired, pin("expired"), 5,
             "expired on 2021-01-01"),
            ("an expired certificate counter-signed by its own key", self_stamped, ca, 1,
             "signed by CN=Larkspire Test expired that is not a timestamp: it is made with "
             "the signer's own key"),
            ("the same, pinned", self_stamped, ca + pin("expired"), 1, "the signer's own key"),
            ("another publisher's counter-signature on the genuine client", foreign,
             ca + pin("publisher"), 1,
             "signed by CN=Larkspire Test other that is not a timestamp: its certificate "
             "lacks the time stamping extended key usage"),
            ("a timestamp token from a code-signing key", token_by("other"), ca, 1,
             "CN=Larkspire Test other that is not a timestamp"),
            ("a timestamp token from a key with no extended key usage", token_by("noeku"), ca,
             1, "CN=Larkspire Test noeku that is not a timestamp: its certificate lacks the "
             "time stamping extended key usage"),
            ("a timestamp token for another signature", moved_token, ca, 1,
             "the timestamp is for another signature"),
            ("a revocation list of attacker bytes",
             forge.attach(genuine, forge.with_revocation_bytes(genuine_signature)), ca, 1,
             "data beside its certificates that no one signed"),
            ("the timestamp twice in one attribute", forge.attach(genuine, forge.with_unsigned(
                genuine_signature, [{"type": "microsoft_time_stamp_token",
                                     "values": [genuine_token, genuine_token]}])), ca, 1,
             "more than one timestamp"),
            ("attacker bytes beside the authority's signature in the token",
             forge.attach(genuine, forge.with_unsigned(genuine_signature, [timestamp_attribute(
                 forge.with_unsigned_in_token(genuine_token, [forge.attacker_bytes()]))])), ca,
             1, "the timestamp carries data its authority did not sign"),
            ("the root's copy in the timestamp token",
             pe.with_checksum(flip(genuine, root_copy + len(der("root")) - 1)), ca, 1,
             "CN=Larkspire Test Root in the signature does not verify against itself"),
            ("the authority's certificate in the token",
             pe.with_checksum(flip(genuine, tsa_copy + len(der("tsa")) - 1)), ca, 1,
             "CN=Larkspire Test tsa in the signature does not verify against its issuer"),
        ]
        for name, data, args, code, reason in cases:
            with self.subTest(name):
                self.verify(self.file("claims.exe", data), *args, code=code, says=[reason])
        # The pin stands for the signer's root, not for the authority's.
        self.verify(RELEASE / CLIENT, *pin("publisher"), code=5,
                    says=["the timestamp authority CN=Larkspire Test tsa is not trusted"])

    def test_bad_input_is_a_usage_error_never_a_pass_or_a_traceback(self):
        client = RELEASE / CLIENT
        binary, folder = self.scratch / "buildinfo-binary", self.scratch / "buildinfo-folder"
        for published in (binary, folder):
            shutil.rmtree(published, ignore_errors=True)
            shutil.copytree(RELEASE, published)
            (published / "BUILDINFO").unlink()
        (binary / "BUILDINFO").write_bytes(bytes(range(256)) * 4)
        (folder / "BUILDINFO").mkdir()
        other = openssl_fingerprint("other").split("=")[1]
        genuine = openssl_fingerprint("publisher").split("=")[1]
        # The last digit changed, so that a comparison of a prefix passes.
        near = genuine[:-1] + ("0" if genuine[-1] != "0" else "1")
        cases = [
            ("an empty --fingerprint", [client, "--fingerprint", ""], 2, "--fingerprint is empty"),
            ("an empty --published", [client, "--published", ""], 2, "--published is empty"),
            ("an empty --ca", [client, "--ca", ""], 2, "--ca is empty"),
            ("a short fingerprint", [client, "--fingerprint", other[:47]], 2,
             "is not a SHA-256 fingerprint"),
            ("a SHA-1 fingerprint", [client, "--fingerprint", openssl_fingerprint(
                "publisher", "sha1")], 2, "is not a SHA-256 fingerprint"),
            ("a --ca with no certificate", [client, "--ca", self.file("notes.txt", b"none\n")],
             2, "holds no PEM certificate"),
            ("a missing FILE", [self.scratch / "missing.exe"], 2, "cannot read"),
            ("a folder as FILE", [self.scratch], 2, "cannot read"),
            # Well-formed fingerprints of another signer, in each form accepted.
            ("openssl's form", [client, "--ca", CA, "--fingerprint",
                                openssl_fingerprint("other")], 5, "not by the expected"),
            ("lower case without colons", [client, "--ca", CA, "--fingerprint",
                                           other.replace(":", "").lower()], 5,
             "not by the expected"),
            ("the genuine one but its last digit", [client, "--ca", CA, "--fingerprint", near], 5,
             "not by the expected"),
            ("a binary BUILDINFO", [client, "--ca", CA, "--published", binary], 7,
             f"cannot read {binary / 'BUILDINFO'}"),
            ("a folder as BUILDINFO", [client, "--ca", CA, "--published", folder], 7,
             f"cannot read {folder / 'BUILDINFO'}"),
        ]
        for name, args, code, reason in cases:
            with self.subTest(name):
                line = self.verify(*args, code=code, says=[reason])
                self.assertNotIn("Traceback", line)

    def test_unsigned_files_exit_4(self):
        self.verify(UNSIGNED / CLIENT, "--ca", CA, code=4,
                    says=[f"{UNSIGNED / CLIENT} is not signed"])
        # An installer signed around a client that is not.
        unsigned_client = self.file("plain-setup.exe", (ROOT / "dist" / INSTALLER)
                                    .read_bytes())
        setup = sign(unsigned_client, self.scratch / "outer-only.exe")
        self.verify(setup, "--ca", CA, code=4, says=[f"the client {setup} carries",
                                                     "is not signed"])

    def test_files_that_are_not_ours_exit_3(self):
        text = self.file("notes.txt", product.DISPLAY_NAME.encode() + b"\n")
        self.verify(text, code=3, says=["is not a PE image"])
        foreign = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hostname.exe")
        self.verify(foreign, code=3, says=[f"is not {product.DISPLAY_NAME}"])

    def test_another_toolchain_exits_7_before_any_rebuild(self):
        published = self.scratch / "published-elsewhere"
        shutil.rmtree(published, ignore_errors=True)
        shutil.copytree(RELEASE, published)
        lines = (published / "BUILDINFO").read_text().splitlines()
        compiler = next(line for line in lines if line.startswith("package clang-"))
        package = compiler.split(":")[0].removeprefix("package ")
        (published / "BUILDINFO").write_text("\n".join(
            compiler + "+other" if line == compiler else line for line in lines) + "\n")
        self.verify(RELEASE / INSTALLER, "--ca", CA, "--published", published,
                    code=7, says=["another toolchain", f"{package} "])

    def test_a_signature_that_does_not_fit_leaves_dist_as_it_was(self):
        dist = self.scratch / "kept"
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(RELEASE, dist)
        before = {p: p.read_bytes() for p in sorted(dist.rglob("*")) if p.is_file()}
        wrong = self.scratch / "wrong"
        (wrong / "signatures").mkdir(parents=True, exist_ok=True)
        shutil.copy(RELEASE / "signatures" / f"{INSTALLER}.pem",
                    wrong / "signatures" / f"{CLIENT}.pem")
        build = self.scratch / "attach-build"
        code, out, err = run(self.repo / "scripts/build", "--attach-signatures", wrong,
                             "--dist", dist, "--build-dir", build)
        self.assertEqual(code, 3, out + err)
        self.assertEqual(err, f"scripts/build: the signature {wrong}/signatures/{CLIENT}.pem "
                              f"does not fit the rebuilt {CLIENT}\n")
        self.assertEqual({p: p.read_bytes() for p in sorted(dist.rglob("*")) if p.is_file()},
                         before)
        self.assertEqual(list((build / "signed").rglob("*.exe")), [])


class ChangedSource(Verifying):
    @classmethod
    def setUpClass(cls):
        cls.repo = checkout("checkout-source")
        cls.base = git(cls.repo, "rev-parse", "HEAD")

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
        self.verify(RELEASE / INSTALLER, "--ca", CA, code=7,
                    says=["uncommitted changes"])

    def claiming_head(self):
        """The release, said to be built from this clone's HEAD."""
        return published(WORK / "published-head", commit=git(self.repo, "rev-parse", "HEAD"))

    def test_a_commit_that_changes_an_installer_message_exits_6(self):
        self.change("installer/installer_main.cpp", INSTALLER_MESSAGE,
                    INSTALLER_MESSAGE.replace("meg.", "meg!"))
        self.verify(RELEASE / INSTALLER, "--ca", CA, "--published",
                    self.claiming_head(), code=6,
                    says=[f"{RELEASE / INSTALLER} is validly signed",
                          f"rebuilt {INSTALLER}"])

    def test_a_commit_that_changes_only_the_client_exits_6(self):
        self.change("client/client_main.cpp", "exit_done : exit_failed", "exit_done : 2")
        self.verify(RELEASE / INSTALLER, "--ca", CA, "--published",
                    self.claiming_head(), code=6,
                    says=[f"the client {RELEASE / INSTALLER} carries",
                          f"rebuilt {CLIENT}"])


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

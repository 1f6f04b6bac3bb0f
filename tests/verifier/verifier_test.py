"""Verifiable releases: detached signatures, the rebuild that attaches them,
and scripts/verify-release's answer for a genuine release and for each way a
file can fail to be one. Every rebuild runs in a repository made from the
working tree, since the verifier refuses uncommitted changes."""
import contextlib
import copy
import hashlib
import io
import os
import random
import shutil
import signal
import struct
import subprocess
import unittest
from pathlib import Path
from unittest import mock

import pefile

import forge
from release import authenticode, pe, product, verify
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
        shutil.copy(signed / "SHA256SUMS", folder)
    else:
        data = signed.read_bytes()
        client, installer = EXECUTABLES
        inner = pe.embedded_images(data)
        images = {installer: data, client: inner[0][1]} if inner else {client: data}
        for name, image in images.items():
            (folder / "signatures" / f"{name}.pem").write_text(
                authenticode.pem(authenticode.signature_der(image)))
        (folder / "SHA256SUMS").write_text("".join(
            f"{hashlib.sha256(image).hexdigest()}  {name}\n" for name, image in images.items()))
    lines = (RELEASE / "BUILDINFO").read_text().splitlines()
    replaced = {"commit": commit, "tree": tree}
    (folder / "BUILDINFO").write_text("".join(
        f"{key}: {replaced.get(key) or value}\n"
        for key, _, value in (line.partition(": ") for line in lines)))
    return folder


def sign(source, target, pfx="publisher.pfx", timestamp=None, digest="sha256",
         counter_signature=None, tool="osslsigncode"):
    """source signed into target; timestamp and counter_signature name an
    authority's URL for an RFC 3161 or an old-style timestamp."""
    target.unlink(missing_ok=True)
    code, out, err = run(tool, "sign", "-pkcs12", KEYS / pfx, "-readpass", "/dev/stdin",
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

    def verify(self, file, *args, code, says=(), repo=None, cwd=None):
        status, out, err = run((repo or self.repo) / "scripts/verify-release", file, *args,
                               cwd=cwd)
        self.assertEqual(status, code, out + err)
        line = out if code == 0 else err
        self.assertEqual(len(line.splitlines()), 1, out + err)
        for words in says:
            self.assertIn(str(words), line)
        return line


class Scratch(Verifying):
    """A checkout and a scratch folder of the class's own, so that ctest can
    run the classes side by side."""
    @classmethod
    def setUpClass(cls):
        cls.repo = checkout(f"checkout-{cls.__name__.lower()}")
        cls.scratch = WORK / cls.__name__.lower()
        shutil.rmtree(cls.scratch, ignore_errors=True)
        cls.scratch.mkdir()

    def file(self, name, data):
        (self.scratch / name).write_bytes(data)
        return self.scratch / name


class Verifier(Scratch):
    """The verifier's answers that take a rebuild."""

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


class Refusals(Scratch):
    """The verifier's answers before any rebuild."""

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

    def test_what_no_signature_covers_is_as_its_signer_wrote_it_or_exit_1(self):
        """Each change anyone can make without a key: to the genuine client's
        signature, its timestamp token and its certificate table."""
        genuine = (RELEASE / CLIENT).read_bytes()
        signature = forge.signature_of(genuine)
        payload = [0x04, b"\xCC" * 4096]
        deep = b"\x05\x00"
        for _ in range(3000):
            deep = forge.encode([0x30, deep])

        def edited(change):
            root = forge.signature_tree(genuine)
            signed_data = forge.node(root, 1, 0)
            signer_info = forge.node(signed_data, 4, 0)
            change(signed_data, signer_info, forge.node(signer_info, 6, 0, 1, 0, 1, 0))
            return forge.attach_tree(genuine, root)

        def set_to(value, *path):
            """A change that sets the node at path (from the signed data, the
            SignerInfo or the token's signed data) to value."""
            def change(*parents):
                target = forge.node(parents[path[0]], *path[1:-1])
                target[1][path[-1]] = copy.deepcopy(value)
            return change

        def stamped(**token):
            return forge.attach(genuine, forge.with_unsigned(signature, [
                timestamp_attribute(forge.token(signature, KEYS, **token))]))

        def table(change):
            data = bytearray(genuine)
            change(data, pe.layout(genuine).cert_at)
            return pe.with_checksum(bytes(data))

        signed_data, signer_info, token = 0, 1, 2
        # The root's copy, where its signer put it among the certificates:
        # its tbsCertificate's issuer name, and its authority key identifier.
        root_at = [forge.encode(c) for c in forge.node(forge.signature_tree(genuine), 1, 0, 3)[1]
                   ].index(authenticode.der_from_pem(CA.read_text()))
        root_issuer = (signed_data, 3, root_at, 0, 3, 0, 0, 1)
        root_key_id = (signed_data, 3, root_at, 0, 7, 0, 1, 1)
        # The client inside a validly signed installer, its SignerInfo's
        # version changed.
        client = (UNSIGNED / INSTALLER).read_bytes().replace(
            (RELEASE / CLIENT).read_bytes(), edited(set_to([0x02, b"\x03"], signer_info, 0)))
        carrying = sign(self.file("setup-unsigned.exe", client), self.scratch / "carrying.exe")
        md5, sha256_rsa = bytes.fromhex("2a864886f70d0205"), bytes.fromhex("2a864886f70d01010b")
        nested = [0x30, [[0x06, bytes.fromhex("2b060104018237020401")],
                         [0x31, [forge.signature_tree(genuine)]]]]
        cases = [
            ("a length in more bytes than it needs",
             edited(set_to([None, b"\x02\x81\x01\x01"], signed_data, 0)), "not DER"),
            ("parameters nested 3,000 SEQUENCEs deep",
             edited(set_to([None, deep], signed_data, 1, 0, 1)), "nested more than 32 deep"),
            ("a SET OF out of DER order", edited(lambda sd, *_: forge.node(sd, 1)[1].insert(
                0, [0x30, [forge.node(sd, 1, 0, 0), payload]])), "not in DER order"),
            ("a second SHA-256 carrying 4 KB", edited(lambda sd, *_: forge.node(sd, 1)[1].append(
                [0x30, [forge.node(sd, 1, 0, 0), payload]])), "digest algorithms (2) are not"),
            ("no digest algorithm", edited(lambda sd, *_: forge.node(sd, 1)[1].clear()),
             "digest algorithms (0) are not"),
            ("MD5 for the digest algorithm", edited(set_to([0x06, md5], signed_data, 1, 0, 0)),
             "digest algorithms (1) are not exactly the one its signer uses"),
            ("SignedData version 3", edited(set_to([0x02, b"\x03"], signed_data, 0)),
             "the signature is version v3, not v1"),
            ("the certificates in another order",
             edited(lambda sd, *_: forge.node(sd, 3)[1].reverse()),
             "the signature's certificates are not in the order its signer writes them"),
            ("a certificate twice", edited(lambda sd, *_: forge.node(sd, 3)[1].append(
                forge.node(sd, 3, 0))), "the signature carries a certificate twice"),
            ("the root's outer algorithm without its NULL",
             edited(lambda sd, *_: forge.node(sd, 3, root_at, 1)[1].pop()),
             "CN=Larkspire Test Root "
             "names another signature algorithm outside its signed part than inside"),
            ("SignerInfo version 3", edited(set_to([0x02, b"\x03"], signer_info, 0)),
             "the signer's SignerInfo is version v3, not v1"),
            # openssl dgst read no more of a signature than its key's size.
            ("a byte after the signer's signature value", edited(
                lambda sd, si, _: forge.node(si, 5).__setitem__(1, forge.node(si, 5)[1] + b"\0")),
             "the signer's signature does not verify"),
            ("the same in the client of a validly signed installer", carrying.read_bytes(),
             f"the client {self.scratch / 'changed.exe'} carries"),
            ("a second content", edited(lambda sd, *_: forge.node(sd, 2)[1].append(
                forge.node(sd, 2, 1))), "it holds a value where its structure has none"),
            ("the root left out", edited(lambda sd, *_: forge.node(sd, 3)[1].pop(root_at)),
             "the signature lacks the certificate that issued its signer"),
            ("the root's copy issued by another name",
             edited(set_to([0x0C, b"Larkspire Test Rooz"], *root_issuer)),
             "CN=Larkspire Test Root in the signature does not verify against a trusted root"),
            ("the root's copy with another key identifier",
             edited(set_to([0x04, b"\x30\x16\x80\x14" + bytes(20)], *root_key_id)),
             "CN=Larkspire Test Root in the signature does not verify against itself"),
            ("the signer's issuer written as a PrintableString",
             edited(lambda sd, si, _: forge.node(si, 1, 0, 0, 0, 1).__setitem__(0, 0x13)),
             "the signer names its certificate otherwise than the certificate does"),
            ("the digest algorithm carrying 4 KB", edited(lambda sd, si, tk: [
                set_to(payload, signed_data, 1, 0, 1)(sd, si, tk),
                set_to(payload, signer_info, 2, 1)(sd, si, tk)]),
             "the signer's digest algorithm carries other parameters than NULL"),
            ("the signature algorithm carrying 4 KB", edited(set_to(payload, signer_info, 4, 1)),
             "signature algorithm is not written as its signer writes it for its RSA key"),
            ("sha256WithRSAEncryption for rsaEncryption",
             edited(set_to([0x06, sha256_rsa], signer_info, 4, 0)),
             "signature algorithm is not written as its signer writes it"),
            ("an empty set of unauthenticated attributes",
             edited(lambda sd, si, _: forge.node(si, 6)[1].clear()),
             "an empty set of unauthenticated attributes"),
            ("a nested signature", edited(lambda sd, si, _: forge.node(si, 6)[1].append(nested)),
             "unauthenticated attribute 1.3.6.1.4.1.311.2.4.1 that is not a timestamp"),
            ("a genuine token echoing a 4 KB nonce", stamped(nonce=1 << 32768),
             "the timestamp's TSTInfo: it takes"),
            ("a genuine token echoing a 17-byte nonce", stamped(nonce=1 << 128),
             "the timestamp's TSTInfo: its nonce takes 17 bytes, more than 16"),
            ("the token's SignedData version 1", edited(set_to([0x02, b"\x01"], token, 0)),
             "the timestamp is version v1, not v3"),
            ("the token's certificates in another order",
             edited(lambda *parents: forge.node(parents[token], 3)[1].reverse()),
             "the timestamp's certificates are not in the order"),
            ("a WIN_CERTIFICATE shorter than its table",
             table(lambda data, at: struct.pack_into("<I", data, at, len(genuine) - at - 8)),
             "does not hold one PKCS#7 signature"),
            ("eight more bytes of padding",
             forge.attach_der(genuine, authenticode.signature_der(genuine) + bytes(8)),
             "more than the signature and its padding"),
            ("a 3 MB table of MZ",
             forge.attach_der(genuine, authenticode.signature_der(genuine) + b"MZ" * 1_500_000),
             "more than any signature"),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                self.verify(self.file("changed.exe", data), "--ca", CA, code=1,
                            says=["changed after signing", reason])

    def test_unexpected_signers_exit_5(self):
        other = sign(UNSIGNED / CLIENT, self.scratch / "other.exe", "other.pfx")
        self.verify(other, "--ca", CA, "--fingerprint",
                    fingerprint_of(RELEASE / CLIENT), code=5,
                    says=["signed by CN=Larkspire Test other", "not by the expected"])
        self.verify(RELEASE / INSTALLER, code=5,
                    says=["CN=Larkspire Test publisher is not trusted"])

    def test_files_other_than_the_published_one_exit_8(self):
        def folder(name, change):
            copy = self.scratch / name
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(RELEASE, copy)
            change(copy)
            return copy

        # Another release: the same key, another signature.
        again = sign(UNSIGNED / CLIENT, self.scratch / "again.exe")
        another = published(self.scratch / "another-release", again)
        # The same file, without a timestamp, and with a genuine one that
        # anyone could have asked the authority for.
        plain = sign(UNSIGNED / CLIENT, self.scratch / "plain.exe")
        plain_signature = forge.signature_of(plain.read_bytes())
        stamped = self.file("stamped.exe", forge.attach(plain.read_bytes(), forge.with_unsigned(
            plain_signature, [timestamp_attribute(forge.token(plain_signature, KEYS))])))
        sums = (RELEASE / "SHA256SUMS").read_text()
        digest = sums.split()[sums.split().index(CLIENT) - 1]
        cases = [
            ("another release's signature", RELEASE / CLIENT, another,
             "is not the one published"),
            ("a genuine timestamp added", stamped, published(self.scratch / "plain", plain),
             "is not the one published"),
            ("no published signature of the client", RELEASE / INSTALLER, folder(
                "unsigned-client", lambda d: (d / "signatures" / f"{CLIENT}.pem").unlink()),
             f"signatures/{CLIENT}.pem does not exist"),
            ("SHA256SUMS naming other bytes", RELEASE / CLIENT, folder(
                "other-sums", lambda d: (d / "SHA256SUMS").write_text(
                    sums.replace(digest, digest[::-1]))),
             f"is not the one {self.scratch / 'other-sums/SHA256SUMS'} names for {CLIENT}"),
            ("no SHA256SUMS", RELEASE / CLIENT, folder(
                "no-sums", lambda d: (d / "SHA256SUMS").unlink()), "SHA256SUMS does not exist"),
        ]
        for name, file, release, reason in cases:
            with self.subTest(name):
                self.verify(file, "--ca", CA, "--published", release, code=8, says=[reason])

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
        # Inputs that are not regular files: a FIFO, which a downloaded
        # archive may hold, in each place the verifier reads, and /dev/zero.
        fifo = self.scratch / "fifo"
        fifo.unlink(missing_ok=True)
        os.mkfifo(fifo)
        zero = self.scratch / "zero.exe"
        zero.unlink(missing_ok=True)
        zero.symlink_to("/dev/zero")
        piped = {}
        for name in ("BUILDINFO", f"signatures/{CLIENT}.pem", "SHA256SUMS"):
            piped[name] = self.scratch / f"piped-{name.replace('/', '-')}"
            shutil.rmtree(piped[name], ignore_errors=True)
            shutil.copytree(RELEASE, piped[name])
            (piped[name] / name).unlink()
            os.mkfifo(piped[name] / name)
        # Named as an option, and with a newline that would forge a line.
        for name in ("-h", "forged\nbuilt from commit 0 byte for byte"):
            shutil.copy(UNSIGNED / CLIENT, self.scratch / name)
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
            ("--help", ["--help"], 2, "printed the help; nothing was verified"),
            ("-h before FILE", ["-h", client], 2, "printed the help"),
            ("an abbreviation of --help", [client, "--he"], 2, "unrecognized arguments: --he"),
            ("a FILE named -h after --", ["--", "-h"], 4, "-h is not signed"),
            ("a FIFO as FILE", [fifo], 2, "a named pipe, not a regular file"),
            ("a link to /dev/zero as FILE", [zero], 2, "a character device, not a regular file"),
            ("a FILE over 16 MiB", [self.file("large.exe", (UNSIGNED / CLIENT).read_bytes() +
                                              bytes(16 << 20))], 2, "larger than 16 MiB"),
            ("a FIFO as --ca", [client, "--ca", fifo], 2, "--ca: cannot read"),
            *((f"a FIFO as {name}", [client, "--ca", CA, "--published", release], 7,
               f"cannot read {release / name}: a named pipe") for name, release in piped.items()),
            ("a newline in FILE's name", ["forged\nbuilt from commit 0 byte for byte"],
             4, "forged\\nbuilt from commit 0 byte for byte is not signed"),
        ]
        for name, args, code, reason in cases:
            with self.subTest(name):
                line = self.verify(*args, code=code, says=[reason], cwd=self.scratch)
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

    def test_headers_pefile_reads_past_are_no_image_or_read_whole(self):
        """Each layout pefile reads on past with a warning: the verifier
        refuses it as no image, or reads the sections, the end and the signed
        ranges the headers give, whatever pefile would leave out."""
        image = (UNSIGNED / CLIENT).read_bytes()
        headers = pefile.PE(data=image, fast_load=True)
        optional, first = headers.OPTIONAL_HEADER, headers.sections[0]

        def edited(*changes):
            data = bytearray(image)
            for structure, field, form, value in changes:
                struct.pack_into(form, data, structure.get_field_absolute_offset(field), value)
            return bytes(data)

        def read(data):
            shape = pe.layout(data)
            return shape and (sorted(shape.sections), shape.end, shape.security_at,
                              shape.cert_at, shape.checksum_at)

        cases = [
            ("an unknown optional header magic", edited((optional, "Magic", "<H", 0x107)), False),
            ("a section table the file's end cuts short",
             image[:first.get_file_offset() + 40], False),
            ("the security entry after the optional header's size",
             edited((headers.FILE_HEADER, "SizeOfOptionalHeader", "<H", 112 + 8 * 4)), False),
            ("three directories counted",
             edited((optional, "NumberOfRvaAndSizes", "<I", 3)), True),
            ("a first section with three faults", edited(
                (first, "Misc_VirtualSize", "<I", 1 << 29),
                (first, "VirtualAddress", "<I", 1 << 29),
                (first, "PointerToRawData", "<I", first.PointerToRawData + 1)), True),
            ("the last section cut short by the file's end", image[:-1], True),
            ("more sections than Windows loads",
             edited((headers.FILE_HEADER, "NumberOfSections", "<H", 97)), False),
        ]
        for name, data, whole in cases:
            with self.subTest(name):
                self.assertEqual(read(data), read(image) if whole else None)

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


class Hang(BaseException):
    """Raised by the alarm: a BaseException, so that the verifier's own
    catch-all cannot turn it into an exit status."""


def mutated(rng, image):
    """image changed once: a few bytes anywhere, a byte of its certificate
    table, or one value of its signature, its timestamp token's included,
    duplicated, dropped, swapped, joined by a payload, retagged, given other
    contents, padded or given a longer length than it needs."""
    def checksummed(data):
        try:
            return pe.with_checksum(bytes(data))
        except (struct.error, AttributeError, IndexError):
            return bytes(data)

    data, choice = bytearray(image), rng.random()
    if choice < 0.2:
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] ^= rng.randrange(1, 256)
        return bytes(data)
    at = pe.layout(image).cert_at
    if choice < 0.35:
        where = rng.choice([*range(8), rng.randrange(8, len(image) - at)])
        data[at + where] ^= rng.randrange(1, 256)
        return checksummed(data)
    root = forge.signature_tree(image)
    places, parents = [], [root]
    while parents:
        parent = parents.pop()
        for index, child in enumerate(parent[1]):
            places.append((parent, index))
            if isinstance(child[1], list):
                parents.append(child)
    parent, index = rng.choice(places)
    siblings, target = parent[1], parent[1][index]
    payload = [0x04, rng.randbytes(rng.choice([1, 16, 4096]))]
    edit = rng.randrange(8)
    if edit == 0:
        siblings.insert(index, copy.deepcopy(target))
    elif edit == 1:
        del siblings[index]
    elif edit == 2:
        other = rng.randrange(len(siblings))
        siblings[index], siblings[other] = siblings[other], target
    elif edit == 3:
        siblings.insert(index + rng.randint(0, 1), payload)
    elif edit == 4:
        target[0] = rng.choice([0x01, 0x02, 0x04, 0x05, 0x06, 0x0C, 0x13, 0x30, 0x31, 0xA0, 0xA1])
    elif edit == 5 and isinstance(target[1], bytes):
        target[1] = rng.randbytes(max(0, len(target[1]) + rng.choice([-1, 0, 0, 1])))
    elif edit == 5:
        target[1].append(payload)
    elif edit == 6:
        siblings[index] = [0x30, [target]] if isinstance(target[1], list) else \
            [target[0], b"\x00" + target[1]]
    else:
        encoded = forge.encode(target)
        body = encoded[2 + (encoded[1] & 0x7F if encoded[1] & 0x80 else 0):]
        siblings[index] = [None, encoded[:1] + b"\x84" + len(body).to_bytes(4, "big") + body]
    return forge.attach_tree(image, root)


class Mutations(unittest.TestCase):
    """A fixed random start and a few hundred changes to the signed release,
    each verified in this process with the rebuild replaced by a status of
    its own: nothing passes every check before the rebuild but the genuine
    bytes, nothing hangs or ends in a traceback, and every answer is one
    line with a status the README lists for a changed file."""
    RNG_START, CHANGES, REACHED = 27, 600, 100

    def verified(self, path):
        out, err = io.StringIO(), io.StringIO()

        def hang(*_):
            raise Hang(f"no answer for {path} within 20 s")

        signal.signal(signal.SIGALRM, hang)
        signal.alarm(20)
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                status = verify.main([str(path), "--ca", str(CA)])
        finally:
            signal.alarm(0)
        return status, out.getvalue(), err.getvalue()

    def test_no_change_passes_hangs_or_ends_in_a_traceback(self):
        rng = random.Random(self.RNG_START)
        images = [(RELEASE / name).read_bytes() for name in EXECUTABLES]
        # A timestamp is anyone's to remove, as to add: the image without
        # it passes too (the README's by-design case).
        unstamped = set()
        for image in images:
            root = forge.signature_tree(image)
            forge.node(root, 1, 0, 4, 0)[1].pop()
            unstamped.add(forge.attach_tree(image, root))
        path = WORK / "mutated.exe"
        rebuild = verify.Verdict(self.REACHED, "every check before the rebuild passed")
        with mock.patch.object(verify, "published_buildinfo", side_effect=rebuild):
            for number in range(self.CHANGES):
                genuine = rng.choice(images)
                data = mutated(rng, genuine)
                path.write_bytes(data)
                status, out, err = self.verified(path)
                with self.subTest(number):
                    self.assertEqual((out, len(err.splitlines())), ("", 1), out + err)
                    self.assertNotIn("Traceback", err)
                    if data == genuine or data in unstamped:
                        self.assertEqual(status, self.REACHED, err)
                    else:
                        self.assertIn(status, (1, 3, 4, 5), err)


OTHER_OSSLSIGNCODE = os.environ.get("LARKSPIRE_OSSLSIGNCODE_OTHER")


@unittest.skipUnless(OTHER_OSSLSIGNCODE, "LARKSPIRE_OSSLSIGNCODE_OTHER names no second "
                                         "osslsigncode")
class OsslsigncodeVersions(unittest.TestCase):
    def test_each_version_s_signature_is_in_its_own_order_only(self):
        """2.5 writes the signer's certificate first, 2.9 the certificates in
        DER order: each passes as written, and in the other's order not."""
        for tool in ("osslsigncode", OTHER_OSSLSIGNCODE):
            with self.subTest(tool):
                data = sign(UNSIGNED / CLIENT, WORK / "version-signed.exe", tool=tool).read_bytes()
                authenticode.Signature(authenticode.signature_der(data)).check_form()
                root = forge.signature_tree(data)
                forge.node(root, 1, 0, 3)[1].reverse()
                reordered = authenticode.Signature(authenticode.signature_der(
                    forge.attach_tree(data, root)))
                with self.assertRaisesRegex(authenticode.Problem, "are not in the order"):
                    reordered.check_form()

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

"""The signed release: signatures, the client the installer carries, what
signing changes in the image, reproducibility, and failures that must leave
dist/ as it was."""
import contextlib
import io
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from release import build as release_build, product
from release.pe import embedded_image, without_checksum
from tests.signing.pki import PASSWORD, ROOT, TimestampAuthority, build

WORK = Path(os.environ["LARKSPIRE_SIGNING_WORK"])
KEYS = WORK / "keys"
RELEASE = WORK / "dist"
EXECUTABLES = product.EXECUTABLES
CLIENT, INSTALLER = EXECUTABLES


def osslsigncode(*args):
    done = subprocess.run(["osslsigncode", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def folder_bytes(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.authority = TimestampAuthority(KEYS)

    @classmethod
    def tearDownClass(cls):
        cls.authority.__exit__()

    def assert_verifies(self, path, timestamp=True, signer="publisher"):
        code, output = osslsigncode("verify", "-CAfile", KEYS / "root.pem",
                                    "-TSA-CAfile", KEYS / "root.pem", "-in", path)
        self.assertEqual(code, 0, output)
        self.assertIn("Signature verification: ok", output)
        self.assertEqual("Timestamp Server Signature verification: ok" in output, timestamp,
                         output)
        # SHA-1 Authenticode is refused by Windows since 2020; nothing else in
        # these tests would notice a release signed with it.
        digests = re.findall(r"^Message digest algorithm\s*:\s*(\S+)", output, re.M)
        self.assertTrue(digests and set(digests) == {"SHA256"}, output)
        self.assertIn(f"Subject: /CN=Larkspire Test {signer}", output)

    def test_both_verify_against_the_root_with_their_timestamp(self):
        for name in EXECUTABLES:
            with self.subTest(name):
                self.assert_verifies(RELEASE / name)
                code, output = osslsigncode("verify", "-CAfile", KEYS / "root.pem",
                                            "-in", RELEASE / name)
                self.assertIn(f"Text description: {product.DISPLAY_NAME}", output)
                self.assertIn(f"URL description: https://{product.HOME_HOST}", output)
        sums = (RELEASE / "SHA256SUMS").read_text()
        code = subprocess.run(["sha256sum", "--check", "--strict", "--quiet"], cwd=RELEASE,
                              input=sums, text=True).returncode
        self.assertEqual(code, 0)
        self.assertEqual([line.split()[1] for line in sums.splitlines()],
                         [*EXECUTABLES, *(f"signatures/{name}.pem" for name in EXECUTABLES),
                          "BUILDINFO"])

    def test_the_installer_carries_the_signed_client(self):
        client = (RELEASE / CLIENT).read_bytes()
        extracted = embedded_image((RELEASE / INSTALLER).read_bytes())
        self.assertEqual(extracted, client)
        copy = WORK / "extracted-client.exe"
        copy.write_bytes(extracted)
        self.assert_verifies(copy)

    def test_removing_the_signature_gives_back_the_unsigned_images(self):
        # The client against the default unsigned build in dist/; the
        # installer against its own link, which carries the signed client.
        for signed, unsigned in ((RELEASE / CLIENT, ROOT / "dist" / CLIENT),
                                 (RELEASE / INSTALLER,
                                  WORK / "build/unsigned" / INSTALLER)):
            with self.subTest(signed.name):
                stripped = WORK / f"stripped-{signed.name}"
                stripped.unlink(missing_ok=True)
                code, output = osslsigncode("remove-signature", "-in", signed, "-out", stripped)
                self.assertEqual(code, 0, output)
                self.assertEqual(without_checksum(stripped.read_bytes()),
                                 without_checksum(unsigned.read_bytes()))

    def test_signing_again_gives_the_same_bytes_and_no_command_line_holds_the_password(self):
        # osslsigncode is seen through a wrapper that records every command
        # line it is given, as ps would show them.
        wrapper, argv_log = WORK / "wrapper", WORK / "wrapper/argv.log"
        wrapper.mkdir(exist_ok=True)
        argv_log.write_text("")
        (wrapper / "osslsigncode").write_text(
            f'#!/bin/sh\nprintf "%s\\n" "$*" >>"{argv_log}"\n'
            f'exec {shutil.which("osslsigncode")} "$@"\n')
        (wrapper / "osslsigncode").chmod(0o755)
        path = {"PATH": f"{wrapper}:{os.environ['PATH']}"}
        # No timestamp: the signing time is fixed, so is the signature.
        outputs = []
        for attempt in ("again-1", "again-2"):
            done = build("--sign", KEYS / "publisher.pfx", "--dist", WORK / attempt,
                         "--build-dir", WORK / "scratch", env=path)
            self.assertEqual(done.returncode, 0, done.stderr)
            outputs.append(folder_bytes(WORK / attempt))
        self.assertEqual(outputs[0], outputs[1])
        for name in EXECUTABLES:
            self.assert_verifies(WORK / "again-1" / name, timestamp=False)
        command_lines = argv_log.read_text()
        self.assertEqual(command_lines.count("sign -pkcs12"), 4, command_lines)
        self.assertNotIn(PASSWORD, command_lines)

    def test_a_key_without_a_password_then_another_key_in_one_build_folder(self):
        # A folder of its own, so that what an earlier test left in it cannot
        # happen to equal what this one expects.
        build_dir = WORK / "rekey"
        shutil.rmtree(build_dir, ignore_errors=True)
        environment = {k: v for k, v in os.environ.items() if k != "LARKSPIRE_SIGN_PASSWORD"}
        for name, env in (("unset", {}), ("empty", {"LARKSPIRE_SIGN_PASSWORD": ""})):
            with self.subTest(f"no password, {name}"):
                done = subprocess.run(
                    [ROOT / "scripts/build", "--sign", KEYS / "nopass.pfx",
                     "--dist", WORK / f"nopass-{name}", "--build-dir", build_dir],
                    stdin=subprocess.DEVNULL, capture_output=True, text=True,
                    env={**environment, **env})
                self.assertEqual(done.returncode, 0, done.stderr)
                for exe in EXECUTABLES:
                    self.assert_verifies(WORK / f"nopass-{name}" / exe, timestamp=False)
        # Another publisher into the same build folder: the installer must
        # carry the client signed just now, not the one signed before.
        with self.subTest("another key"):
            done = build("--sign", KEYS / "other.pfx", "--dist", WORK / "other",
                         "--build-dir", build_dir)
            self.assertEqual(done.returncode, 0, done.stderr)
            for exe in EXECUTABLES:
                self.assert_verifies(WORK / "other" / exe, timestamp=False, signer="other")
            self.assertEqual(embedded_image((WORK / "other" / INSTALLER).read_bytes()),
                             (WORK / "other" / CLIENT).read_bytes())

    def test_failures_name_the_cause_and_leave_dist_as_it_was(self):
        dist = WORK / "kept"
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(RELEASE, dist)
        before = folder_bytes(dist)
        pfx = KEYS / "publisher.pfx"
        client = WORK / "scratch/unsigned" / CLIENT
        setup = WORK / "scratch/unsigned" / INSTALLER
        # Signs the client in place, as a service would, and refuses the setup.
        refuse_setup = (f'case "$1" in *Setup.exe) echo "the signing server refused" >&2; '
                        f'exit 1;; esac; printf %s "$LARKSPIRE_SIGN_PASSWORD" | osslsigncode '
                        f'sign -pkcs12 {pfx} -readpass /dev/stdin -h sha256 -in "$1" '
                        f'-out "$1.signed" >/dev/null && mv "$1.signed" "$1"; :')
        # Each case gives one line; where osslsigncode 2.5 (Debian 12) and 2.9
        # (Debian 13) word the cause differently, either version's words.
        cases = [
            ("a wrong password", ["--sign", pfx], {"LARKSPIRE_SIGN_PASSWORD": "not " + PASSWORD},
             [f"signing {client} failed: Failed to parse PKCS#12 file: {pfx} (Wrong password?)"]),
            ("a missing key", ["--sign", KEYS / "missing.pfx"], {},
             [f"cannot read the signing key {KEYS / 'missing.pfx'}"]),
            ("an unreachable timestamp server",
             ["--sign", pfx, "--timestamp", "http://127.0.0.1:1"], {},
             [f"signing {client} failed: HTTP failure: Failed to get data from "
              "http://127.0.0.1:1",
              f"signing {client} failed: CURL failure: Couldn't connect to server "
              "http://127.0.0.1:1"]),
            ("a sign command that exits 1", ["--sign-command", "exit 1"], {},
             [f"signing {client} failed: the signer exited with status 1"]),
            ("a sign command that signs nothing", ["--sign-command", "true"], {},
             [f"signing {client} failed: the signed file carries no signature"]),
            ("a sign command that fails on the installer", ["--sign-command", refuse_setup],
             {}, [f"signing {setup} failed: the signing server refused"]),
        ]
        for name, args, env, lines in cases:
            with self.subTest(name):
                done = build(*args, "--dist", dist, "--build-dir", WORK / "scratch", env=env)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(done.stderr, [f"scripts/build: {line}\n" for line in lines])
                self.assertNotIn(PASSWORD, done.stdout + done.stderr)
                self.assertEqual(folder_bytes(dist), before)

    def test_the_password_stays_out_of_the_output(self):
        self.assertNotIn(PASSWORD, (WORK / "release.log").read_text())
        self.assertIn(f"Signed {INSTALLER}", (WORK / "release.log").read_text())


class Refusals(unittest.TestCase):
    def test_options_that_do_not_make_a_build_are_refused_before_one(self):
        pfx, uri = ["--sign", "key.pfx"], ["--sign-pkcs11", "pkcs11:token=t;object=o"]
        command = ["--sign-command", "true"]
        cases = [
            ("a value missing", ["--sign"], "argument --sign: expected one argument"),
            ("an unknown option", ["--sign-with", "key.pfx"],
             "unrecognized arguments: --sign-with key.pfx"),
            ("an abbreviation", ["--sign-c", "true"], "unrecognized arguments: --sign-c true"),
            ("a word that is no option", ["sign"], "unrecognized arguments: sign"),
            # An empty sign command would otherwise be an unsigned build,
            # and an empty --dist the caller's own folder.
            ("an empty sign command", ["--sign-command", ""], "--sign-command is empty"),
            ("an empty dist", ["--dist", ""], "--dist is empty"),
            ("an empty timestamp", [*pfx, "--timestamp", "http://t", "--timestamp", ""],
             "--timestamp is empty"),
            *((f"{' and '.join(a[0] for a in pair)}", [*pair[0], *pair[1]],
               "--sign, --sign-pkcs11 and --sign-command exclude each other")
              for pair in ((pfx, uri), (uri, command), (command, pfx))),
            ("a timestamp for a sign command", [*command, "--timestamp", "http://t"],
             "--timestamp goes with --sign or --sign-pkcs11; a sign command adds its own "
             "timestamp"),
            ("a timestamp for an unsigned build", ["--timestamp", "http://t"],
             "--timestamp goes with --sign or --sign-pkcs11; a sign command adds its own "
             "timestamp"),
            ("a chain for a sign command", [*command, "--chain", "ca.pem"],
             "--chain goes with --sign or --sign-pkcs11; a sign command embeds its own chain"),
            ("a module for a key file", [*pfx, "--pkcs11-module", "m.so"],
             "--pkcs11-module goes with --sign-pkcs11"),
            ("attaching and signing", ["--attach-signatures", "dir", *pfx],
             "--attach-signatures uses published signatures and signs nothing"),
            ("a token that is no URI", ["--sign-pkcs11", "token=t"],
             "--sign-pkcs11 token=t is not a PKCS#11 URI (pkcs11:token=...;object=...)"),
            ("a PIN in the URI, in capitals", ["--sign-pkcs11", "pkcs11:token=t?PIN-Value=1"],
             "--sign-pkcs11: the URI carries a PIN (pin-value=), which ps would show; "
             "set LARKSPIRE_SIGN_PIN instead"),
        ]
        here = Path.cwd()
        for name, args, line in cases:
            with self.subTest(name):
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    code = release_build.main(args)
                self.assertEqual(code, 2, stderr.getvalue())
                self.assertEqual(stderr.getvalue(),
                                 f"scripts/build: {line} (usage: {release_build.USAGE})\n")
                # Refused before it went to the repository to build.
                self.assertEqual(Path.cwd(), here)

    def test_the_entry_runs_its_own_tooling_from_another_checkout(self):
        decoy = WORK / "decoy"
        (decoy / "release").mkdir(parents=True, exist_ok=True)
        (decoy / "release/__init__.py").write_text('raise SystemExit("the caller\'s release/")\n')
        done = subprocess.run([ROOT / "scripts/build", "--sign"], cwd=decoy,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stderr),
                         (2, "scripts/build: argument --sign: expected one argument "
                          f"(usage: {release_build.USAGE})\n"))


if __name__ == "__main__":
    unittest.main()

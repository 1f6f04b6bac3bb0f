"""Signing with a key that never leaves its token. SoftHSM2 is a real PKCS#11
module; its configuration and tokens live in this test's own folder. The RSA
key is made on the token, sensitive and never extractable, and its
certificate, issued through a test intermediate under the test root, is
stored beside it. Then: the signed release from the token, the sign command
example of docs/examples, each way token signing fails, and the verifier's
pins across a renewal."""
import contextlib
import io
import os
import pty
import shutil
import subprocess
import threading
import unittest
from unittest import mock
from pathlib import Path

from release import pe, product, verify
from tests.signing.pki import ROOT, TimestampAuthority, commit_working_tree, git

WORK = Path(os.environ["LARKSPIRE_SIGNING_WORK"])
KEYS = WORK / "keys"
HERE = WORK / "token"
CLIENT, INSTALLER = product.EXECUTABLES
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
# The token the sign command example names, so that it runs as a publisher
# gets it.
URI = "pkcs11:token=larkspire-release;object=Larkspire"
EXAMPLE = ROOT / "docs/examples/sign-with-service.sh"
# Shell characters, so that a PIN passed through a shell unquoted breaks.
PIN = "pin & more 26!"
SUBJECT = "CN=Larkspire Test token"


def run(*args, env=None, input=None):
    done = subprocess.run([*map(str, args)], cwd=HERE, env=env, input=input,
                          stdin=None if input else subprocess.DEVNULL,
                          capture_output=True, text=True)
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}{done.stderr}"
    return done.stdout


def folder_bytes(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def fingerprint(name):
    return run("openssl", "x509", "-in", f"{name}.pem", "-noout", "-fingerprint",
               "-sha256").strip()


def watch_command_lines(seen, done):
    """Every process's command line, read from /proc until done is set, as
    ps shows them to any user of the machine."""
    while not done.is_set():
        for entry in os.scandir("/proc"):
            try:
                with open(f"/proc/{entry.name}/cmdline", "rb") as line:
                    seen.add(line.read().replace(b"\0", b" ").decode(errors="replace"))
            except OSError:
                pass


class TokenSigning(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(HERE, ignore_errors=True)
        (HERE / "tokens").mkdir(parents=True)
        (HERE / "softhsm2.conf").write_text(f"directories.tokendir = {HERE / 'tokens'}\n"
                                            "objectstore.backend = file\n")
        cls.env = {**os.environ, "SOFTHSM2_CONF": str(HERE / "softhsm2.conf")}
        cls.env.pop("LARKSPIRE_SIGN_PIN", None)
        # The build sets the last commit's time, which the sign command
        # example must receive, as a publisher's script may rely on it.
        cls.env.pop("SOURCE_DATE_EPOCH", None)
        run("softhsm2-util", "--init-token", "--free", "--label", "larkspire-release",
            "--pin", PIN, "--so-pin", "so " + PIN, env=cls.env)
        made = cls.token("--keypairgen", "--key-type", "rsa:3072", "--label", "Larkspire",
                         "--id", "01", "--sensitive")
        assert "never extractable" in made, made
        cls.token("--keypairgen", "--key-type", "rsa:2048", "--label", "Spare", "--id", "02")
        cls.token("--read-object", "--type", "pubkey", "--label", "Larkspire", "-o", "key.der")
        run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", "key.der", "-out", "key.pem")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "intermediate.key",
            "-out", "intermediate.csr", "-subj", "/CN=Larkspire Test Intermediate")
        (HERE / "ca.ext").write_text("basicConstraints=critical,CA:TRUE,pathlen:0\n"
                                     "keyUsage=critical,keyCertSign\n")
        run("openssl", "x509", "-req", "-in", "intermediate.csr", "-CA", KEYS / "root.pem",
            "-CAkey", KEYS / "root.key", "-set_serial", "30", "-days", "3650",
            "-extfile", "ca.ext", "-out", "intermediate.pem")
        cls.issue("token", 31, "key.pem")
        # Another key, with a certificate for another subject from the same CA.
        run("openssl", "genpkey", "-algorithm", "RSA", "-out", "other.key")
        run("openssl", "pkey", "-in", "other.key", "-pubout", "-out", "other.pub")
        cls.issue("other", 33, "other.pub", subject="CN=Larkspire Test other")
        cls.token("--write-object", "token.der", "--type", "cert", "--label", "Larkspire",
                  "--id", "01")
        cls.source = commit_working_tree(HERE / "source")
        cls.authority = TimestampAuthority(KEYS)
        cls.command_lines, done = set(), threading.Event()
        watcher = threading.Thread(target=watch_command_lines, args=(cls.command_lines, done))
        watcher.start()
        cls.release = cls.build("--sign-pkcs11", URI, "--chain", "intermediate.pem",
                                "--timestamp", cls.authority.url)
        done.set()
        watcher.join()

    @classmethod
    def tearDownClass(cls):
        cls.authority.__exit__()

    @classmethod
    def token(cls, *args):
        return run("pkcs11-tool", "--module", MODULE, "--login", "--pin", PIN, *args,
                   env=cls.env)

    @classmethod
    def issue(cls, name, serial, key, subject=SUBJECT):
        """A code-signing certificate for key, issued by the intermediate:
        openssl takes the key from -force_pubkey, the request is a formality."""
        run("openssl", "req", "-new", "-key", "intermediate.key", "-subj", f"/{subject}",
            "-out", f"{name}.csr")
        (HERE / "leaf.ext").write_text("basicConstraints=CA:FALSE\n"
                                       "keyUsage=critical,digitalSignature\n"
                                       "extendedKeyUsage=codeSigning\n")
        run("openssl", "x509", "-req", "-in", f"{name}.csr", "-force_pubkey", key,
            "-CA", "intermediate.pem", "-CAkey", "intermediate.key", "-set_serial", str(serial),
            "-days", "3650", "-extfile", "leaf.ext", "-out", f"{name}.pem")
        run("openssl", "x509", "-in", f"{name}.pem", "-outform", "DER", "-out", f"{name}.der")

    @classmethod
    def build(cls, *args, pin=PIN, dist="dist", build="build", env=None):
        """scripts/build with no terminal (a session of its own) and standard
        input from /dev/null, as in CI."""
        env = {**cls.env, **({"LARKSPIRE_SIGN_PIN": pin} if pin else {}), **(env or {})}
        return subprocess.run(
            [cls.source / "scripts/build", *map(str, args), "--dist", HERE / dist,
             "--build-dir", HERE / build], cwd=HERE, env=env,
            stdin=subprocess.DEVNULL, capture_output=True, text=True, start_new_session=True)

    def osslsigncode_verifies(self, path):
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", KEYS / "root.pem",
                               "-TSA-CAfile", KEYS / "root.pem", "-in", path],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn(f"Subject: /{SUBJECT}", done.stdout + done.stderr)
        self.assertIn("Timestamp Server Signature verification: ok", done.stdout + done.stderr)

    def verify(self, file, *args, code):
        done = subprocess.run([self.source / "scripts/verify-release", file, *map(str, args)],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(done.returncode, code, done.stdout + done.stderr)

    def answer_up_to_the_rebuild(self, file, *args):
        """verify-release's exit code, 0 once FILE reaches the rebuild, which
        the release's own row proves: a pin's rows need no rebuild of theirs."""
        reached = verify.Verdict(0, "reached the rebuild")
        with mock.patch.object(verify, "rebuild", side_effect=reached), \
                contextlib.redirect_stdout(io.StringIO()), \
                contextlib.redirect_stderr(io.StringIO()) as said:
            code = verify.main([str(file), *map(str, args)])
        return code, said.getvalue()

    def test_the_release_signed_on_the_token(self):
        dist = HERE / "dist"
        self.assertEqual(self.release.returncode, 0, self.release.stdout + self.release.stderr)
        for name in (CLIENT, INSTALLER):
            self.osslsigncode_verifies(dist / name)
        self.assertEqual(pe.embedded_image((dist / INSTALLER).read_bytes()),
                         (dist / CLIENT).read_bytes())
        self.verify(dist / INSTALLER, "--ca", KEYS / "root.pem", "--published", dist, code=0)
        signing = [line for line in self.command_lines if "-pkcs11module" in line]
        self.assertTrue(signing, "no osslsigncode was seen signing")
        self.assertFalse([line for line in self.command_lines if PIN in line])
        logs = "".join(p.read_text() for p in (HERE / "build").glob("sign-*"))
        self.assertNotIn(PIN, self.release.stdout + self.release.stderr + logs)

    def test_the_pin_asked_once_on_the_terminal_without_echo(self):
        """Without LARKSPIRE_SIGN_PIN and with a terminal: every prompt gets
        the PIN, and there must be one for both files."""
        command = [self.source / "scripts/build", "--sign-pkcs11", URI, "--chain",
                   "intermediate.pem", "--timestamp", self.authority.url,
                   "--dist", HERE / "asked", "--build-dir", HERE / "scratch"]
        pid, terminal = pty.fork()
        if pid == 0:
            try:
                os.chdir(HERE)
                os.execve(command[0], [*map(str, command)], self.env)
            finally:
                os._exit(127)
        seen, prompt, answered = b"", f"PIN for {URI}: ".encode(), 0
        while True:
            try:
                said = os.read(terminal, 4096)
            except OSError:  # EIO: the build has closed the terminal
                break
            if not said:
                break
            seen += said
            if seen.count(prompt) > answered:
                os.write(terminal, PIN.encode() + b"\n")
                answered += 1
        os.close(terminal)
        code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        seen = seen.decode(errors="replace")
        self.assertEqual(code, 0, seen)
        self.assertEqual(seen.count(prompt.decode()), 1, seen)
        self.assertNotIn(PIN, seen)
        for name in (CLIENT, INSTALLER):
            self.osslsigncode_verifies(HERE / "asked" / name)

    def test_the_sign_command_example_signs_each_file_in_place_at_the_commit_time(self):
        epochs = HERE / "epochs.log"
        epochs.write_text("")
        done = self.build("--sign-command", f'echo "$SOURCE_DATE_EPOCH" >>{epochs}; sh {EXAMPLE}',
                          dist="by-command", build="scratch",
                          env={"SIGN_CHAIN": str(HERE / "intermediate.pem"),
                               "SIGN_TIMESTAMP": self.authority.url})
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        commit_time = git(self.source, "log", "-1", "--format=%ct").strip()
        self.assertEqual(epochs.read_text().split(), [commit_time] * 2)
        for name in (CLIENT, INSTALLER):
            self.osslsigncode_verifies(HERE / "by-command" / name)
        self.assertEqual(pe.embedded_image((HERE / "by-command" / INSTALLER).read_bytes()),
                         (HERE / "by-command" / CLIENT).read_bytes())

    def test_failures_name_the_cause_and_leave_dist_as_it_was(self):
        dist = HERE / "kept"
        shutil.copytree(HERE / "dist", dist, dirs_exist_ok=True)
        before = folder_bytes(dist)
        client = HERE / "scratch/unsigned" / CLIENT
        unchained = HERE / "unchained.sh"
        unchained.write_text(f'printf %s "$LARKSPIRE_SIGN_PIN" | osslsigncode sign -pkcs11module '
                             f'{MODULE} -pkcs11cert "{URI}" -key "{URI}" -readpass /dev/stdin '
                             '-in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"\n')
        # osslsigncode signs with a token's key that is not the certificate's,
        # as a URI naming two keys may have it do, and says it succeeded.
        mismatched = HERE / "mismatched.sh"
        where = URI.split(";")[0]
        mismatched.write_text(unchained.read_text().replace(
            f'-pkcs11cert "{URI}" -key "{URI}"',
            f'-pkcs11cert "{where};id=%01" -key "{where};id=%02" -ac {HERE}/intermediate.pem'))
        lacks = f"signing {client}: the signature lacks its signer's issuer, " \
                "CN=Larkspire Test Intermediate: "
        token, chain = ["--sign-pkcs11", URI], ["--chain", "intermediate.pem"]
        cases = [
            ("no --chain", token, PIN, 1, lacks + "pass the CA's certificates with --chain FILE"),
            ("a sign command without the chain", ["--sign-command", f"sh {unchained}"], PIN, 1,
             lacks + "the sign command must embed the chain (osslsigncode -ac, as --chain does)"),
            ("a key that is not the certificate's", ["--sign-command", f"sh {mismatched}"],
             PIN, 1, f"signing {client} failed: the signer's signature does not verify"),
            ("a wrong PIN", [*token, *chain, "--pkcs11-module", MODULE], "not " + PIN, 1,
             f"signing {client} failed: Login failed (PIN incorrect)"),
            ("a token not plugged in", ["--sign-pkcs11", URI.replace("release", "absent"),
                                        *chain], PIN, 1, f"signing {client} failed: "),
            ("a missing module", [*token, *chain, "--pkcs11-module", "missing.so"], PIN, 1,
             f"signing {client} failed: "),
            ("no PIN and no terminal", token, None, 1, "no PIN for the token and no terminal "
             "to ask on: set LARKSPIRE_SIGN_PIN"),
            ("a PIN in the URI", ["--sign-pkcs11", URI + "?pin-value=1234"], PIN, 2,
             "--sign-pkcs11: the URI carries a PIN (pin-value=)"),
        ]
        for name, args, pin, code, line in cases:
            with self.subTest(name):
                # Where the PIN or the URI is refused, nothing may be built.
                done = self.build(*args, pin=pin, dist="kept",
                                  build="scratch" if pin and code == 1 else "not-built")
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertTrue(done.stderr.startswith(f"scripts/build: {line}"), done.stderr)
                self.assertNotIn(PIN, done.stdout + done.stderr)
                self.assertEqual(folder_bytes(dist), before)
                self.assertFalse((HERE / "not-built").exists(), "something was built")

    def test_pins_across_a_renewal(self):
        # The token keeps its key and gets a new certificate.
        self.token("--delete-object", "--type", "cert", "--label", "Larkspire")
        self.issue("renewed", 32, "key.pem")
        self.token("--write-object", "renewed.der", "--type", "cert", "--label", "Larkspire",
                   "--id", "01")
        unsigned = HERE / "build/unsigned" / CLIENT
        run("osslsigncode", "sign", "-pkcs11module", MODULE, "-pkcs11cert", URI, "-key", URI,
            "-readpass", "/dev/stdin", "-ac", "intermediate.pem", "-in", unsigned,
            "-out", "renewed.exe", env=self.env, input=PIN)
        run("osslsigncode", "sign", "-certs", "other.pem", "-key", "other.key",
            "-ac", "intermediate.pem", "-in", unsigned, "-out", "other.exe")
        key = run("openssl", "dgst", "-sha256", "key.der").split("=")[1].strip()
        ca = ["--ca-fingerprint", fingerprint("intermediate")]
        self.assertNotEqual(fingerprint("token"), fingerprint("renewed"))
        cases = [
            ("the key pin, renewed", "renewed.exe", ["--key-fingerprint", key], 0),
            ("the key pin, another key", "other.exe", ["--key-fingerprint", key], 5),
            ("a second --fingerprint", "renewed.exe", ["--fingerprint", fingerprint("token"),
                                                       "--fingerprint", fingerprint("renewed")], 0),
            ("the CA pin and the subject", "renewed.exe", [*ca, "--subject", SUBJECT], 0),
            ("the CA pin, another subject", "other.exe", [*ca, "--subject", SUBJECT], 5),
            ("the CA pin without a subject", "renewed.exe", ca, 2),
        ]
        for name, file, args, code in cases:
            with self.subTest(name):
                self.assertEqual(self.answer_up_to_the_rebuild(HERE / file, *args)[0], code)


if __name__ == "__main__":
    unittest.main()

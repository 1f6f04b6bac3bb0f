"""Test keys, a timestamp authority and the signed release, all made at test
time: no key is ever committed, and the authority answers on loopback only.

    python3 -m tests.signing.pki WORK    makes WORK/keys, and the signed release in
                                         WORK/dist from a commit of the working tree in
                                         WORK/source
"""
import base64
import datetime
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

from asn1crypto import cms, core, pem, x509

ROOT = Path(os.environ.get("LARKSPIRE_ROOT", Path(__file__).resolve().parents[2]))
# Shell characters, so that a password passed through a shell unquoted breaks.
PASSWORD = "pass word & more!"

TSA_CONFIG = """\
[tsa]
default_tsa = larkspire_test_tsa
[larkspire_test_tsa]
serial = {serial}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def run(*args, cwd=None, env=None):
    done = subprocess.run(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, args))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


# Besides the publisher and the timestamp authority: another publisher, an
# ECDSA publisher, a TLS server certificate, a code-signing certificate whose
# key usage does not allow signatures, one that expired years ago, and one
# with no extended key usage at all.
CERTIFICATES = (
    (2, "publisher", "rsa:2048", "codeSigning", "digitalSignature"),
    (3, "tsa", "rsa:2048", "critical,timeStamping", "digitalSignature"),
    (4, "other", "rsa:2048", "codeSigning", "digitalSignature"),
    (5, "ecdsa", "ec", "codeSigning", "digitalSignature"),
    (6, "server", "rsa:2048", "serverAuth", "digitalSignature,keyEncipherment"),
    (7, "encipher", "rsa:2048", "codeSigning", "keyEncipherment"),
    (8, "expired", "rsa:2048", "codeSigning", "digitalSignature"),
    (9, "noeku", "rsa:2048", None, "digitalSignature"),
)
EXPIRED = (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc),
           datetime.datetime(2021, 1, 1, tzinfo=datetime.timezone.utc))


def make_keys(keys):
    """A throwaway root CA and, all issued by it, the CERTIFICATES, each with
    its key in NAME.pfx under PASSWORD (the timestamp authority's in tsa.key);
    the publisher's key and certificate also in nopass.pfx with no password."""
    keys.mkdir(parents=True, exist_ok=True)

    def openssl(*args):
        run("openssl", *args, cwd=keys, env=dict(os.environ, LARKSPIRE_SIGN_PASSWORD=PASSWORD))

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key",
            "-out", "root.pem", "-days", "3650", "-subj", "/CN=Larkspire Test Root",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    # Valid since before the expired certificate was, as a real root is.
    redate(keys / "root.pem", keys / "root.key", EXPIRED[0].replace(year=2019),
           datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=3650))
    for serial, name, key, usage, key_usage in CERTIFICATES:
        (keys / f"{name}.ext").write_text("basicConstraints=CA:FALSE\n"
                                          f"keyUsage=critical,{key_usage}\n" +
                                          (f"extendedKeyUsage={usage}\n" if usage else ""))
        key_options = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"] \
            if key == "ec" else ["-newkey", key]
        openssl("req", *key_options, "-nodes", "-keyout", f"{name}.key",
                "-out", f"{name}.csr", "-subj", f"/CN=Larkspire Test {name}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "root.pem", "-CAkey", "root.key",
                "-set_serial", str(serial), "-days", "3650", "-extfile", f"{name}.ext",
                "-out", f"{name}.pem")
    redate(keys / "expired.pem", keys / "root.key", *EXPIRED)
    for name in (c[1] for c in CERTIFICATES if c[1] != "tsa"):
        openssl("pkcs12", "-export", "-inkey", f"{name}.key", "-in", f"{name}.pem",
                "-certfile", "root.pem", "-out", f"{name}.pfx",
                "-passout", "env:LARKSPIRE_SIGN_PASSWORD")
    openssl("pkcs12", "-export", "-inkey", "publisher.key", "-in", "publisher.pem",
            "-certfile", "root.pem", "-out", "nopass.pfx", "-passout", "pass:")
    (keys / "tsa-chain.pem").write_bytes((keys / "tsa.pem").read_bytes() +
                                         (keys / "root.pem").read_bytes())
    (keys / "tsa.serial").write_text("01\n")
    (keys / "tsa.cnf").write_text(TSA_CONFIG.format(serial=keys / "tsa.serial"))


def redate(path, issuer_key, not_before, not_after):
    """The certificate at path issued again with another validity: openssl
    3.0 sets no start date in the past."""
    certificate = x509.Certificate.load(pem.unarmor(path.read_bytes())[2])
    tbs = certificate["tbs_certificate"]
    tbs["validity"] = {"not_before": x509.Time({"utc_time": not_before}),
                       "not_after": x509.Time({"utc_time": not_after})}
    with tempfile.TemporaryDirectory() as work:
        Path(work, "tbs").write_bytes(tbs.dump(force=True))
        signature = subprocess.run(
            ["openssl", "dgst", "-sha256", "-sign", issuer_key, Path(work, "tbs")],
            stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
    certificate = x509.Certificate({"tbs_certificate": tbs,
                                    "signature_algorithm": certificate["signature_algorithm"],
                                    "signature_value": signature})
    path.write_bytes(pem.armor("CERTIFICATE", certificate.dump()))


def counter_signature_reply(keys, request):
    """The answer to an Authenticode timestamp request (base64 of DER, as
    Windows' signtool and osslsigncode -t send it): PKCS#7 signed data
    carrying the signature value, signed by the test authority, whose signer
    becomes the signature's counter-signature."""
    outer = core.Sequence.load(base64.b64decode(request))
    content = cms.ContentInfo.load(outer[1].dump())
    with tempfile.TemporaryDirectory() as work:
        Path(work, "value").write_bytes(content["content"].native)
        reply = subprocess.run(
            ["openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha256",
             "-in", Path(work, "value"), "-signer", keys / "tsa.pem", "-inkey", keys / "tsa.key",
             "-certfile", keys / "root.pem", "-outform", "DER"],
            stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
    return base64.b64encode(reply)


class TimestampAuthority:
    """A timestamp server on 127.0.0.1, signed by the test authority: it
    answers an RFC 3161 query with `openssl ts -reply`, and an old-style
    Authenticode request (osslsigncode -t) with a counter-signature."""

    def __init__(self, keys):
        lock = threading.Lock()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                if self.headers["Content-Type"] != "application/timestamp-query":
                    return self.answer(counter_signature_reply(keys, query),
                                       "application/octet-stream")
                with lock, tempfile.TemporaryDirectory() as work:
                    Path(work, "query").write_bytes(query)
                    run("openssl", "ts", "-reply", "-config", keys / "tsa.cnf",
                        "-queryfile", Path(work, "query"), "-inkey", keys / "tsa.key",
                        "-signer", keys / "tsa.pem", "-chain", keys / "root.pem",
                        "-out", Path(work, "reply"))
                    reply = Path(work, "reply").read_bytes()
                self.answer(reply, "application/timestamp-reply")

            def answer(self, reply, kind):
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def build(*args, env=None, source=ROOT):
    """Runs scripts/build with the test password; returns the finished process."""
    return subprocess.run(
        [source / "scripts/build", *map(str, args)], stdin=subprocess.DEVNULL,
        capture_output=True, text=True,
        env={**os.environ, "LARKSPIRE_SIGN_PASSWORD": PASSWORD, **(env or {})})


def git(repo, *args):
    """git on repo, named outright, so that git never walks up to the
    repository that holds the build folder."""
    return run("git", "-c", "user.name=Test", "-c", "user.email=test@invalid", *args,
               env={**os.environ, "GIT_DIR": str(repo / ".git"), "GIT_WORK_TREE": str(repo)})


def commit_working_tree(repo):
    """A repository at repo holding the working tree's tracked files in one
    commit: a release built from it names a commit that its clones have,
    whatever the state of the working tree."""
    shutil.rmtree(repo, ignore_errors=True)
    files = run("git", "-C", ROOT, "ls-files", "-z").split("\0")
    for file in filter(None, files):
        if (ROOT / file).exists():
            (repo / file).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / file, repo / file, follow_symlinks=False)
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "The tree under test"]):
        git(repo, *args)
    return repo


def make_release(work):
    """Keys, then the signed release with a timestamp, as a publisher builds
    it: from a commit, the one in WORK/source."""
    shutil.rmtree(work, ignore_errors=True)
    make_keys(work / "keys")
    source = commit_working_tree(work / "source")
    with TimestampAuthority(work / "keys") as authority:
        done = build("--sign", work / "keys/publisher.pfx", "--timestamp", authority.url,
                     "--dist", work / "dist", "--build-dir", work / "build", source=source)
    (work / "release.log").write_text(done.stdout + done.stderr)
    if done.returncode != 0:
        sys.exit(f"the signed build failed:\n{done.stdout}{done.stderr}")


if __name__ == "__main__":
    make_release(Path(sys.argv[1]))

"""scripts/verify-release FILE [--published DIR] [--fingerprint SHA256] [--ca FILE]

Proves that FILE, a downloaded LarkspireSetup.exe or Larkspire.exe, was built
from this checkout's HEAD byte for byte (an installer's client included), and
signed by the expected signer. It never runs FILE: it reads it, then rebuilds
the release with FILE's own signatures attached, in a private temporary folder.
Exits 0 when it was; otherwise prints one line naming what failed and exits
  1 changed after signing        5 not the expected signer
  2 usage                        6 validly signed, but not built from this source
  3 not one of our executables   7 cannot decide: another toolchain, uncommitted
  4 FILE or its client unsigned    changes, or a failed rebuild
"""
import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from release import authenticode, buildinfo, pe, product
from release.authenticode import Problem

ROOT = Path(__file__).resolve().parents[1]
CLIENT, INSTALLER = product.CLIENT_EXE, product.INSTALLER_EXE
CHANGED, USAGE, NOT_OURS, UNSIGNED, SIGNER, NOT_FROM_SOURCE, UNDECIDED = 1, 2, 3, 4, 5, 6, 7
# scripts/build --attach-signatures exits with this when a signature does not
# fit its rebuilt file.
BUILD_MISFIT = 3


class Verdict(Exception):
    def __init__(self, code, line):
        super().__init__(line)
        self.code, self.line = code, line


class Part:
    """FILE, or the client it carries: its bytes and its signature."""

    def __init__(self, name, label, data, offset=0):
        self.name, self.label, self.data, self.offset = name, label, data, offset
        self.signature = None


def identify(path, data):
    """Step 1: FILE must be ours; an image of ours carrying one complete PE is
    the installer, and that PE its client; one carrying none is the client."""
    ours = product.DISPLAY_NAME
    if not pe.layout(data):
        raise Verdict(NOT_OURS, f"{path} is not a PE image")
    if pe.version_strings(data).get("ProductName") != ours:
        raise Verdict(NOT_OURS, f"{path} is not {ours}: its version resource does not name it")
    inner = pe.embedded_images(data)
    if not inner:
        return [Part(CLIENT, str(path), data)]
    if len(inner) > 1:
        raise Verdict(NOT_OURS, f"{path} carries {len(inner)} executables; ours carries one")
    at, client = inner[0]
    if pe.version_strings(client).get("ProductName") != ours:
        raise Verdict(NOT_OURS, f"{path} carries an executable that is not {ours}")
    return [Part(INSTALLER, str(path), data),
            Part(CLIENT, f"the client {path} carries (at offset {at:#x})", client, at)]


def check_signed(part):
    """Step 2: the image has a certificate table."""
    if not pe.layout(part.data).cert_size:
        raise Verdict(UNSIGNED, f"{part.label} is not signed")


def check_unchanged(part):
    """Step 3 for one image: nothing changed since it was signed."""
    try:
        der = authenticode.signature_der(part.data)
        shape = pe.layout(part.data)
        if shape.cert_at + shape.cert_size != len(part.data):
            raise Problem(f"{len(part.data) - shape.cert_at - shape.cert_size} bytes follow "
                          "the certificate table")
        if pe.checksum(part.data) != pe.stored_checksum(part.data):
            raise Problem(f"the PE checksum is {pe.stored_checksum(part.data):#x}, "
                          f"not {pe.checksum(part.data):#x}")
        part.signature = authenticode.Signature(der)
        part.signature.check(part.data)
    except Problem as problem:
        raise Verdict(CHANGED, f"{part.label} was changed after signing: {problem}") from None


def check_signer(part, args):
    """Step 4: the chain reaches a trusted root, and the signer is the one
    expected."""
    signature = part.signature
    stamp = signature.timestamp
    reason = authenticode.untrusted(signature.signer, signature.certificates, args.ca,
                                    stamp.time if stamp else None)
    if reason:
        raise Verdict(SIGNER, f"{part.label}: the signer "
                      f"{authenticode.subject(signature.signer)} is not trusted: {reason}")
    if stamp:
        reason = authenticode.untrusted(stamp.authority,
                                        stamp.certificates or signature.certificates,
                                        args.ca, stamp.time)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the timestamp authority "
                          f"{authenticode.subject(stamp.authority)} is not trusted: {reason}")
    if args.fingerprint:
        found = authenticode.fingerprint(signature.signer)
        if found.replace(":", "") != re.sub(r"[^0-9A-F]", "", args.fingerprint.upper()):
            raise Verdict(SIGNER, f"{part.label} is signed by "
                          f"{authenticode.subject(signature.signer)} with SHA-256 {found}, "
                          "not by the expected certificate")
    if args.published:
        published = Path(args.published) / "signatures" / f"{part.name}.pem"
        try:
            expected = authenticode.der_from_pem(published.read_text())
        except (OSError, ValueError) as error:
            raise Verdict(SIGNER, f"no published signature for {part.label}: {error}") from None
        if expected != signature.der:
            raise Verdict(SIGNER, f"the signature of {part.label} is not the one "
                          f"published in {published}")


def check_toolchain(args):
    """Step 5: the same bytes need the same toolchain."""
    recorded = Path(args.published or "") / "BUILDINFO"
    if not args.published or not recorded.exists():
        return
    entries = buildinfo.read(recorded)
    differing = buildinfo.differences(entries)
    if differing:
        raise Verdict(UNDECIDED, "another toolchain: BUILDINFO names " + ", ".join(differing))


def git(*args):
    done = subprocess.run(["git", "-C", str(ROOT), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise Verdict(UNDECIDED, f"git {' '.join(args)} failed: "
                      f"{(done.stderr.strip().splitlines() or ['no output'])[0]}")
    return done.stdout.strip()


def rebuild(parts, work):
    """Step 6: this checkout's HEAD rebuilt with FILE's own signatures
    attached, into work, never into dist/ or the user's build folders."""
    if git("status", "--porcelain", "--untracked-files=no"):
        raise Verdict(UNDECIDED, f"{ROOT} has uncommitted changes, so it names no commit")
    commit = git("rev-parse", "HEAD")
    signatures = work / "published/signatures"
    signatures.mkdir(parents=True)
    for part in parts:
        (signatures / f"{part.name}.pem").write_text(authenticode.pem(part.signature.der))
    done = subprocess.run(
        [ROOT / "scripts/build", "--attach-signatures", work / "published",
         "--dist", work / "dist", "--build-dir", work / "build"],
        stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode == BUILD_MISFIT:
        client_fits = (work / "build/signed" / CLIENT).exists()
        part = next(p for p in parts if p.name == (INSTALLER if client_fits else CLIENT))
        unsigned = (work / "build/unsigned" / part.name).read_bytes()
        at = pe.first_difference(part.data, unsigned)
        where = f"first at offset {at:#x}" if at is not None else "only where signing writes"
        if at is not None and part.offset:
            where += f" ({part.offset + at:#x} in the installer)"
        raise Verdict(NOT_FROM_SOURCE, f"{part.label} is validly signed but was not built "
                      f"from commit {commit}: it differs from the rebuilt {part.name} {where}")
    if done.returncode != 0:
        lines = [line for line in (done.stderr + done.stdout).splitlines() if line.strip()]
        own = [line for line in lines if line.startswith("scripts/build:")]
        raise Verdict(UNDECIDED, "the rebuild failed: " +
                      (own or lines or [f"scripts/build exited {done.returncode}"])[0])
    return commit


def compare(parts, work):
    """Step 7: what no signature reaches must still be the rebuild's."""
    for part in parts:
        rebuilt = (work / "dist" / part.name).read_bytes()
        if part.data != rebuilt:
            at = next((i for i, (a, b) in enumerate(zip(part.data, rebuilt)) if a != b),
                      min(len(part.data), len(rebuilt)))
            raise Verdict(CHANGED, f"{part.label} differs from the rebuild at offset {at:#x}, "
                          "where no signature reaches")


def verify(args):
    path = Path(args.file)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise Verdict(USAGE, f"cannot read {path}: {error.strerror}") from None
    if args.published and not Path(args.published).is_dir():
        raise Verdict(USAGE, f"--published {args.published} is not a folder")
    parts = identify(path, data)
    for part in parts:
        check_signed(part)
    for part in parts:
        check_unchanged(part)
    for part in parts:
        check_signer(part, args)
    check_toolchain(args)
    work = Path(tempfile.mkdtemp(prefix="larkspire-verify-"))
    try:
        commit = rebuild(parts, work)
        compare(parts, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    signature = parts[0].signature
    stamp = signature.timestamp
    return (f"{path}: built from commit {commit} byte for byte"
            f"{', client included' if len(parts) > 1 else ''}; signed by "
            f"{authenticode.subject(signature.signer)}, SHA-256 "
            f"{authenticode.fingerprint(signature.signer)}; "
            + (f"timestamp {stamp.time:%Y-%m-%d %H:%M:%S} UTC" if stamp else "no timestamp"))


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Verdict(USAGE, f"{message} (usage: scripts/verify-release FILE "
                      "[--published DIR] [--fingerprint SHA256] [--ca FILE])")


def main(argv):
    parser = Parser(prog="scripts/verify-release", description=__doc__.split("\n\n")[1],
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--published", metavar="DIR")
    parser.add_argument("--fingerprint", metavar="SHA256")
    parser.add_argument("--ca", metavar="FILE")
    try:
        args = parser.parse_args(argv)
        if args.ca and not Path(args.ca).is_file():
            raise Verdict(USAGE, f"cannot read --ca {args.ca}")
        print(verify(args))
        return 0
    except Verdict as verdict:
        print(f"scripts/verify-release: {verdict.line}", file=sys.stderr)
        return verdict.code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

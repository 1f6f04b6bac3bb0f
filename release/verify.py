"""scripts/verify-release FILE [--published DIR] [--ca FILE] [--fresh-root]
                              [--fingerprint SHA256]... [--key-fingerprint SHA256]...
                              [--ca-fingerprint SHA256... --subject NAME]

Proves that FILE, a downloaded LarkspireSetup.exe or Larkspire.exe, was built
byte for byte from this source and signed by the expected signer; never runs it.

The pins, the checks and the exit codes: docs/verifying.md.
"""
import argparse
import datetime
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from release import authenticode, buildinfo, fresh_root, pe, product
from release.authenticode import Problem, Refused

ROOT = Path(__file__).resolve().parents[1]
CLIENT, INSTALLER = product.CLIENT_EXE, product.INSTALLER_EXE
CHANGED, USAGE, NOT_OURS, UNSIGNED, SIGNER, NOT_FROM_SOURCE, UNDECIDED = 1, 2, 3, 4, 5, 6, 7


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
    """Steps 1 and 2: FILE must be ours; an image of ours carrying one
    complete PE is the installer, and that PE its client; one carrying none
    is the client. Each must be signed."""
    ours = product.DISPLAY_NAME
    if not pe.layout(data):
        raise Verdict(NOT_OURS, f"{path} is not a PE image")
    if pe.version_strings(data).get("ProductName") != ours:
        raise Verdict(NOT_OURS, f"{path} is not {ours}: its version resource does not name it")
    whole = Part(CLIENT, str(path), data)
    # Before any search for embedded images, which costs a look at every
    # "MZ": what follows the certificate table is refused unread, so that
    # neither time nor memory grows with bytes appended to a release.
    check_signed(whole)
    inner = pe.embedded_images(data)
    if not inner:
        return [whole]
    if len(inner) > 1:
        raise Verdict(NOT_OURS, f"{path} carries {len(inner)} executables; ours carries one")
    at, image = inner[0]
    if pe.version_strings(image).get("ProductName") != ours:
        raise Verdict(NOT_OURS, f"{path} carries an executable that is not {ours}")
    whole.name = INSTALLER
    client = Part(CLIENT, f"the client {path} carries (at offset {at:#x})", image, at)
    check_signed(client)
    return [whole, client]


def check_signed(part):
    """The image has a certificate table, and nothing follows it: the
    signature's digest stops at the table, so whatever came after it would
    be bytes no one signed."""
    shape = pe.layout(part.data)
    if not shape.cert_size:
        raise Verdict(UNSIGNED, f"{part.label} is not signed")
    if shape.cert_at + shape.cert_size < len(part.data):
        raise Verdict(CHANGED, f"{part.label} was changed after signing: "
                      f"{len(part.data) - shape.cert_at - shape.cert_size} bytes follow "
                      "the certificate table")


def check_unchanged(part):
    """Step 3 for one image: nothing changed since it was signed."""
    try:
        der = authenticode.signature_der(part.data)
        if pe.checksum(part.data) != pe.stored_checksum(part.data):
            raise Problem(f"the PE checksum is {pe.stored_checksum(part.data):#x}, "
                          f"not {pe.checksum(part.data):#x}")
        part.signature = authenticode.Signature(der)
        part.signature.check(part.data)
    except Problem as problem:
        raise Verdict(CHANGED, f"{part.label} was changed after signing: {problem}") from None
    except Refused as refused:
        raise Verdict(SIGNER, f"{part.label} is not signed as Windows requires: "
                      f"{refused}") from None


def check_signer(part, args):
    """Step 4: the signer is the one expected, a certificate meant to sign
    code, valid when signing happened: at a trusted timestamp's time, or now.
    A pin (a certificate's, a key's, or a CA's with the subject) is the
    trust in the signer, since most code-signing roots are in no store a
    Linux machine has; without one, the chain must reach a trusted root. A
    timestamp's authority always must."""
    signature = part.signature
    signer = authenticode.subject(signature.signer)
    stamp = signature.timestamp
    reason = authenticode.usage_problem(signature.signer, "code_signing")
    if reason:
        raise Verdict(SIGNER, f"{part.label}: the signer {signer} may not sign code: {reason}")
    pinned = pins(args)
    if pinned:
        check_pins(part, args)
    else:
        reason = authenticode.untrusted(signature.signer, signature.certificates, args.ca,
                                        stamp.time if stamp else None)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the signer {signer} is not trusted: {reason}")
    if stamp:
        reason = authenticode.untrusted(stamp.authority,
                                        stamp.certificates or signature.certificates,
                                        args.ca, stamp.time)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the timestamp authority "
                          f"{authenticode.subject(stamp.authority)} is not trusted: {reason}")
    if pinned:
        when = stamp.time if stamp else datetime.datetime.now(datetime.timezone.utc)
        reason = authenticode.invalid_at(signature.signer, when)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the signer {signer} is not trusted "
                          f"{'at its timestamp' if stamp else 'now'}: {reason}")
    if args.published:
        published = Path(args.published) / "signatures" / f"{part.name}.pem"
        try:
            expected = authenticode.der_from_pem(published.read_text())
        except (OSError, ValueError) as error:
            raise Verdict(SIGNER, f"no published signature for {part.label}: {error}") from None
        if expected != signature.der:
            raise Verdict(SIGNER, f"the signature of {part.label} is not the one "
                          f"published in {published}")


def pins(args):
    return args.fingerprint + args.key_fingerprint + args.ca_fingerprint


def bare(fingerprint):
    return fingerprint.replace(":", "")


def check_pins(part, args):
    """The signer matches one of the pins: its certificate, its key, or an
    issuing CA in the signature's chain together with its exact subject.
    Each pin is a whole statement of trust on its own, so matching any one
    suffices; none widens another."""
    signature = part.signature
    signer = signature.signer
    if bare(authenticode.fingerprint(signer)) in args.fingerprint:
        return
    if bare(authenticode.key_fingerprint(signer)) in args.key_fingerprint:
        return
    if args.ca_fingerprint and authenticode.subject(signer) == args.subject[0]:
        # Only a CA whose signature over each link below it verifies vouches
        # for the signer; the certificates merely carried prove nothing.
        links = authenticode.chain(signer, signature.certificates)
        for at, issuer in enumerate(links[1:], 1):
            if not issuer.ca or not authenticode.certificate_verifies(links[at - 1], issuer):
                break
            if bare(authenticode.fingerprint(issuer)) in args.ca_fingerprint:
                return
    found = [f"{authenticode.subject(signer)} with SHA-256 {authenticode.fingerprint(signer)}"]
    if args.key_fingerprint:
        found.append(f"key SHA-256 {authenticode.key_fingerprint(signer)}")
    if args.ca_fingerprint:
        found.append("the subject --subject names, but under no pinned CA"
                     if authenticode.subject(signer) == args.subject[0]
                     else "not the subject --subject names")
    raise Verdict(SIGNER, f"{part.label} is signed by {', '.join(found)}, not by the expected "
                  + ("certificate" if pins(args) == args.fingerprint else "signer"))


def published_buildinfo(args):
    """The release's BUILDINFO, or None when no release folder names one."""
    recorded = Path(args.published or "") / "BUILDINFO"
    if not args.published or not recorded.exists():
        return None
    try:
        return buildinfo.read(recorded)
    except (OSError, UnicodeDecodeError) as error:
        raise Verdict(UNDECIDED, f"cannot read {recorded}: {error}") from None


def check_toolchain(info, args):
    """Step 5: the same bytes need the same toolchain. Returns the packages
    that differ, which only a fresh root of BUILDINFO's release can supply."""
    if info is None:
        return []
    differing = buildinfo.differences(info)
    if differing and not args.fresh_root:
        try:
            suite = fresh_root.debian_suite(info)
        except fresh_root.Undecided as reason:
            raise Verdict(UNDECIDED, str(reason)) from None
        raise Verdict(UNDECIDED, "another toolchain: BUILDINFO names " + ", ".join(differing) +
                      f"; --fresh-root rebuilds in a fresh Debian {suite} root")
    return differing


def run_git(*args):
    return subprocess.run(["git", "-C", str(ROOT), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)


def git(*args):
    done = run_git(*args)
    if done.returncode != 0:
        raise Verdict(UNDECIDED, f"git {' '.join(args)} failed: "
                      f"{(done.stderr.strip().splitlines() or ['no output'])[0]}")
    return done.stdout.strip()


def source_commit(info):
    """Step 6, first half: the commit to rebuild (BUILDINFO's, or HEAD
    without it) and this clone's HEAD."""
    head = git("rev-parse", "HEAD")
    if info is None:
        if git("status", "--porcelain", "--untracked-files=no"):
            raise Verdict(UNDECIDED, f"{ROOT} has uncommitted changes, so it names no commit")
        return head, head
    commit = info.get("commit", "")
    if not re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit):
        raise Verdict(UNDECIDED, f"BUILDINFO names no commit ({commit or 'none'})")
    # Only the history HEAD stands on vouches for a release: a fetched
    # pull-request ref or a side branch is someone's proposal, not the
    # published source.
    present = run_git("cat-file", "-e", f"{commit}^{{commit}}").returncode == 0
    if not present or run_git("merge-base", "--is-ancestor", commit, "HEAD").returncode != 0:
        where = "not in this clone" if not present else "not in the history of HEAD"
        raise Verdict(UNDECIDED, f"BUILDINFO names commit {commit}, which is {where} "
                      f"(HEAD is {head}): fetch it and check out a branch that contains it; "
                      "if fetching does not bring it, this release was not built from "
                      "published source")
    return commit, head


def describe_commit(commit, head):
    return f"commit {commit}" + ("" if commit == head else
                                 f" (not this clone's HEAD, {head})")


def progress(text):
    print(f"scripts/verify-release: {text}", file=sys.stderr, flush=True)


def failure_line(text, status, tool="scripts/build"):
    """The failing script's own message, else the last thing said."""
    lines = [line for line in text.splitlines() if line.strip() and not line.startswith("== ")]
    own = [line for line in lines if line.startswith(("scripts/build:", "scripts/fresh-debian:"))]
    return (own or lines[-1:] or [f"{tool} exited {status}"])[0]


def build_here(work, commit):
    """The commit's own scripts/build, in a temporary worktree of this clone."""
    source = work / "source"
    git("worktree", "add", "--quiet", "--detach", str(source), commit)
    try:
        done = subprocess.run(
            [source / "scripts/build", "--attach-signatures", work / "published",
             "--dist", work / "dist", "--build-dir", work / "build"],
            stdin=subprocess.DEVNULL, capture_output=True, text=True)
        return done.returncode, failure_line(done.stderr or done.stdout, done.returncode)
    finally:
        run_git("worktree", "remove", "--force", str(source))
        run_git("worktree", "prune")


def build_in_fresh_root(work, info, commit):
    """The commit's own scripts/build in a fresh root of the Debian release
    BUILDINFO names, with exactly the package versions it records."""
    status, text = fresh_root.rebuild(work, info, commit, progress)
    return status, failure_line(text, status, "scripts/fresh-debian")


def rebuild(parts, work, info, in_fresh_root):
    """Step 6: the commit rebuilt by its own scripts/build with FILE's own
    signatures attached, into work, never into dist/ or the user's build
    folders. Returns the words that name the commit."""
    commit, head = source_commit(info)
    described = describe_commit(commit, head)
    signatures = work / "published/signatures"
    signatures.mkdir(parents=True)
    for part in parts:
        (signatures / f"{part.name}.pem").write_text(authenticode.pem(part.signature.der))
    try:
        status, failure = (build_in_fresh_root(work, info, commit) if in_fresh_root
                           else build_here(work, commit))
    except Verdict as verdict:
        raise Verdict(verdict.code, f"{verdict.line} (rebuilding {described})") from None
    except fresh_root.Undecided as reason:
        raise Verdict(UNDECIDED, f"{reason} (rebuilding {described})") from None
    client_fits = (work / "build/signed" / CLIENT).exists()
    part = parts[0] if client_fits else parts[-1]
    unsigned = work / "build/unsigned" / part.name
    if status == authenticode.MISFIT and unsigned.exists():
        at = pe.first_difference(part.data, unsigned.read_bytes())
        where = f"first at offset {at:#x}" if at is not None else "only where signing writes"
        if at is not None and part.offset:
            where += f" ({part.offset + at:#x} in the installer)"
        if info is None:
            raise Verdict(UNDECIDED, f"{part.label} differs from the rebuilt {part.name} of "
                          f"{described} {where}, but without the release's BUILDINFO the "
                          "toolchain it was built with is unknown: pass the release folder "
                          "with --published DIR")
        if info.get("tree") != "clean":
            raise Verdict(UNDECIDED, f"{part.label} differs from the rebuilt {part.name} of "
                          f"{described} {where}, but BUILDINFO says it was built from "
                          "uncommitted changes to that commit, which no commit reproduces")
        raise Verdict(NOT_FROM_SOURCE, f"{part.label} is validly signed but was not built "
                      f"from {described}: it differs from the rebuilt {part.name} {where}")
    if status != 0:
        raise Verdict(UNDECIDED, f"the rebuild of {described} failed: {failure}")
    return described


def compare(parts, work, described):
    """Step 7: what no signature reaches must still be the rebuild's."""
    for part in parts:
        rebuilt = (work / "dist" / part.name).read_bytes()
        if part.data != rebuilt:
            at = next((i for i, (a, b) in enumerate(zip(part.data, rebuilt)) if a != b),
                      min(len(part.data), len(rebuilt)))
            raise Verdict(CHANGED, f"{part.label} differs from the rebuild of {described} at "
                          f"offset {at:#x}, where no signature reaches")


def verify(args):
    path = Path(args.file)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise Verdict(USAGE, f"cannot read {path}: {error.strerror}") from None
    if args.published and not Path(args.published).is_dir():
        raise Verdict(USAGE, f"--published {args.published} is not a folder")
    if args.fresh_root and not args.published:
        raise Verdict(USAGE, "--fresh-root rebuilds on the Debian release the release's "
                      "BUILDINFO names: pass the release folder with --published DIR")
    parts = identify(path, data)
    for part in parts:
        check_unchanged(part)
    for part in parts:
        check_signer(part, args)
    info = published_buildinfo(args)
    differing = check_toolchain(info, args)
    work = Path(tempfile.mkdtemp(prefix="larkspire-verify-"))
    try:
        described = rebuild(parts, work, info, in_fresh_root=bool(differing))
        compare(parts, work, described)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    signature = parts[0].signature
    stamp = signature.timestamp
    return (f"{path}: built from {described} byte for byte"
            f"{', client included' if len(parts) > 1 else ''}; signed by "
            f"{authenticode.subject(signature.signer)}, SHA-256 "
            f"{authenticode.fingerprint(signature.signer)}; "
            + (f"timestamp {stamp.time:%Y-%m-%d %H:%M:%S} UTC" if stamp else "no timestamp"))


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Verdict(USAGE, f"{message} (usage: scripts/verify-release FILE "
                      "[--published DIR] [--ca FILE] [--fresh-root] [--fingerprint SHA256]... "
                      "[--key-fingerprint SHA256]... [--ca-fingerprint SHA256... --subject NAME])")


def main(argv):
    parser = Parser(prog="scripts/verify-release",
                    description="\n\n".join(__doc__.split("\n\n")[1:]),
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", help="the downloaded executable")
    parser.add_argument("--published", metavar="DIR",
                        help="the published release: its BUILDINFO names the commit to rebuild "
                        "(HEAD without it), and its signatures must be FILE's")
    parser.add_argument("--ca", metavar="FILE",
                        help="a root the system store lacks, for the signer or the timestamp")
    parser.add_argument("--fresh-root", action="store_true",
                        help="rebuild in a fresh root of the Debian release BUILDINFO names")
    for pin, pinned in (("fingerprint", "the signing certificate"),
                        ("key-fingerprint", "the signer's public key"),
                        ("ca-fingerprint", "an issuing CA, with --subject")):
        parser.add_argument(f"--{pin}", metavar="SHA256", action="append", default=[],
                            help=f"pins {pinned}; repeatable, the signer matches one pin")
    parser.add_argument("--subject", metavar="NAME", action="append", default=[],
                        help="the signer's exact subject, for --ca-fingerprint")
    try:
        args = parser.parse_args(argv)
        check_arguments(args)
        print(verify(args))
        return 0
    except Verdict as verdict:
        print(f"scripts/verify-release: {verdict.line}", file=sys.stderr)
        return verdict.code
    except Exception as error:  # noqa: BLE001 (no input may end in a traceback)
        line = " ".join(f"{type(error).__name__}: {error}".split())
        print(f"scripts/verify-release: cannot decide, an unexpected error: {line}",
              file=sys.stderr)
        return UNDECIDED


# What openssl x509 -fingerprint -sha256 or openssl dgst -sha256 prints, or
# its hex digits alone, with or without colons, in either case.
FINGERPRINT = re.compile(r"(?:sha-?256 fingerprint=|(?:sha2?-?256)?\(stdin\)= ?)?"
                         r"((?:[0-9a-f]{2}:?){31}[0-9a-f]{2})", re.I)


def check_arguments(args):
    """A pin or a folder that was meant and is missing (an unset shell
    variable) must not fail open: an empty value is a usage error. Nor may a
    pin be quietly wider than it reads: a CA pin without the signer's
    subject would trust everyone that CA serves, and a subject without a CA
    pin would pin nothing."""
    for name in ("published", "ca"):
        if getattr(args, name) == "":
            raise Verdict(USAGE, f"--{name} is empty")
    for name in ("fingerprint", "key_fingerprint", "ca_fingerprint", "subject"):
        if "" in getattr(args, name):
            raise Verdict(USAGE, f"--{name.replace('_', '-')} is empty")
    for name in ("fingerprint", "key_fingerprint", "ca_fingerprint"):
        values = []
        for value in getattr(args, name):
            match = FINGERPRINT.fullmatch(value.strip())
            if not match:
                raise Verdict(USAGE, f"--{name.replace('_', '-')} {value} is not a SHA-256 "
                              "fingerprint (64 hex digits, as openssl x509 -fingerprint -sha256 "
                              "prints it)")
            values.append(match.group(1).replace(":", "").upper())
        setattr(args, name, values)
    if args.ca_fingerprint and len(args.subject) != 1:
        raise Verdict(USAGE, "--ca-fingerprint trusts whatever that CA signs: name the signer's "
                      "exact subject with one --subject" if not args.subject else
                      "--subject is given more than once; a CA pin names one signer")
    if args.subject and not args.ca_fingerprint:
        raise Verdict(USAGE, "--subject pins nothing alone: it goes with --ca-fingerprint")
    if args.ca is not None:
        try:
            roots = Path(args.ca).read_bytes()
        except OSError as error:
            raise Verdict(USAGE, f"cannot read --ca {args.ca}: {error.strerror}") from None
        if b"-----BEGIN CERTIFICATE-----" not in roots:
            raise Verdict(USAGE, f"--ca {args.ca} holds no PEM certificate")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""scripts/verify-release [--published DIR] [--ca FILE] [--fresh-root]
                       [--fingerprint SHA256]... [--key-fingerprint SHA256]...
                       [--ca-fingerprint SHA256... --subject NAME] [--] FILE

Proves that FILE, a downloaded LarkspireSetup.exe or Larkspire.exe, was built
byte for byte from this source and signed by the expected signer; never runs it.
Give FILE after "--" when it may begin with "-".

The pins, the checks and the exit codes: docs/verifying.md.
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

from release import authenticode, buildinfo, fresh_root, pe, product
from release.authenticode import Problem, Refused

ROOT = Path(__file__).resolve().parents[1]
CLIENT, INSTALLER = product.CLIENT_EXE, product.INSTALLER_EXE
CHANGED, USAGE, NOT_OURS, UNSIGNED, SIGNER, NOT_FROM_SOURCE, UNDECIDED, NOT_PUBLISHED = \
    1, 2, 3, 4, 5, 6, 7, 8
# What the verifier reads at most: our executables take well under a
# megabyte, a release folder's other files a few kilobytes.
MAX_FILE, MAX_OTHER = 16 << 20, 1 << 20


class Verdict(Exception):
    def __init__(self, code, line):
        super().__init__(line)
        self.code, self.line = code, line


KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe"),
         (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
         (stat.S_ISSOCK, "a socket"))


def read_input(path, code, cap=MAX_OTHER):
    """The bytes of a regular file of at most cap bytes, else Verdict(code).
    Opened without blocking, so that a FIFO (a downloaded archive may hold
    one) is refused instead of waiting for a writer, and read no further
    than the cap, so that /dev/zero is refused instead of filling memory."""
    def refuse(reason):
        return Verdict(code, f"cannot read {path}: {reason}")

    def regular(mode):
        if not stat.S_ISREG(mode):
            raise refuse(next((kind for test, kind in KINDS if test(mode)), "a special file") +
                         ", not a regular file")

    # Looked at before it is opened, since opening a device may act on it,
    # and again once open, since the name may since lead elsewhere.
    try:
        regular(os.stat(path).st_mode)
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise refuse(error.strerror) from None
    try:
        regular(os.fstat(fd).st_mode)
        chunks, size = [], 0
        while size <= cap:
            chunk = os.read(fd, cap + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        data = b"".join(chunks)
    except OSError as error:
        raise refuse(error.strerror) from None
    finally:
        os.close(fd)
    if len(data) > cap:
        raise refuse(f"larger than {cap >> 20} MiB, which no file of a release is")
    return data


class Part:
    """FILE, or the client it carries: its bytes and its signature."""

    def __init__(self, name, label, data, offset=0):
        self.name, self.label, self.data, self.offset = name, label, data, offset
        self.signature = None


def identify(path, data):
    """Steps 1 to 3: FILE must be ours, signed and unchanged since; only
    then is the installer's .rdata searched for the client it carries, a
    complete PE, which must be ours, signed and unchanged too. One carrying
    none is the client."""
    ours = product.DISPLAY_NAME
    if not pe.layout(data):
        raise Verdict(NOT_OURS, f"{path} is not a PE image")
    if pe.version_strings(data).get("ProductName") != ours:
        raise Verdict(NOT_OURS, f"{path} is not {ours}: its version resource does not name it")
    whole = Part(CLIENT, str(path), data)
    # Before any search for embedded images: what follows the certificate
    # table is refused unread, and the search reads only what the
    # signature covers, so that neither time nor memory grows with bytes
    # someone added to a release.
    check_signed(whole)
    check_unchanged(whole)
    try:
        inner = pe.embedded_images(data)
    except ValueError as error:
        raise Verdict(NOT_OURS, f"{path} is not {ours}: {error}") from None
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
    check_unchanged(client)
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
    """Step 3 for one image: nothing changed since it was signed, and what
    no signature covers is as the signer wrote it."""
    try:
        der = authenticode.signature_der(part.data)
        if pe.checksum(part.data) != pe.stored_checksum(part.data):
            raise Problem(f"the PE checksum is {pe.stored_checksum(part.data):#x}, "
                          f"not {pe.checksum(part.data):#x}")
        part.signature = authenticode.Signature(der)
        part.signature.check_form()
        part.signature.check(part.data)
        reason = authenticode.rewrite_problem(part.data)
        if reason:
            raise Problem(f"not as its signer wrote it: {reason}")
    except Problem as problem:
        raise Verdict(CHANGED, f"{part.label} was changed after signing: {problem}") from None
    except Refused as refused:
        raise Verdict(SIGNER, f"{part.label} is not signed as Windows requires: "
                      f"{refused}") from None
    except authenticode.READING_ERRORS as error:
        # asn1crypto reads lazily: a field no one can read may first be
        # read by a check.
        raise Verdict(CHANGED, f"{part.label} was changed after signing: the signature "
                      f"cannot be read: {' '.join(str(error).split())}") from None


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
        reason = authenticode.untrusted(signature.signer, signature.certificates, args.ca_pem,
                                        stamp.time if stamp else None)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the signer {signer} is not trusted: {reason}")
    if stamp:
        reason = authenticode.untrusted(stamp.authority,
                                        stamp.certificates or signature.certificates,
                                        args.ca_pem, stamp.time)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the timestamp authority "
                          f"{authenticode.subject(stamp.authority)} is not trusted: {reason}")
    # The last certificate of a chain the signature carries is verified by
    # none of the signature's own unless it is a root: a changed copy of it,
    # its issuer renamed, is caught only by the root that issued it. A pin
    # stands for the signer's chain; the timestamp's always needs its root.
    carried = [(authenticode.chain(stamp.authority, stamp.certificates or
                                   signature.certificates), stamp)] if stamp else []
    if not pinned:
        carried.append((authenticode.chain(signature.signer, signature.certificates), stamp))
    for links, when in carried:
        if len(links) > 1 and not links[-1].self_issued:
            reason = authenticode.untrusted(links[-1], links, args.ca_pem,
                                            when.time if when else None)
            if reason:
                raise Verdict(CHANGED, f"{part.label} was changed after signing: the "
                              f"certificate {authenticode.subject(links[-1])} in the signature "
                              f"does not verify against a trusted root: {reason}")
    if pinned:
        when = stamp.time if stamp else datetime.datetime.now(datetime.timezone.utc)
        reason = authenticode.invalid_at(signature.signer, when)
        if reason:
            raise Verdict(SIGNER, f"{part.label}: the signer {signer} is not trusted "
                          f"{'at its timestamp' if stamp else 'now'}: {reason}")


def check_published(parts, args):
    """With --published, FILE is the published file: its signatures those
    in DIR/signatures, and its bytes, the client's included, those its line
    in DIR/SHA256SUMS names. A genuine file with a timestamp someone added
    verifies without --published, but is not the published file."""
    folder = Path(args.published)

    def published(name, what):
        path = folder / name
        if not os.path.lexists(path):
            raise Verdict(NOT_PUBLISHED, f"{what} is not the published file: {path} does not "
                          "exist")
        try:
            return path, read_input(path, UNDECIDED).decode("ascii")
        except UnicodeDecodeError as error:
            raise Verdict(UNDECIDED, f"cannot read {path}: {error}") from None

    for part in parts:
        path, text = published(f"signatures/{part.name}.pem", part.label)
        try:
            signature = authenticode.der_from_pem(text)
        except ValueError as error:
            raise Verdict(UNDECIDED, f"cannot read {path}: {error}") from None
        if signature != part.signature.der:
            raise Verdict(NOT_PUBLISHED, f"the signature of {part.label} is not the one "
                          f"published in {path}")
    path, text = published("SHA256SUMS", parts[0].label)
    # sha256sum's lines: the digest, a space, a space or "*", the name.
    sums = {found[2]: found[1].lower() for found in
            map(re.compile(r"([0-9a-fA-F]{64}) [ *](.+)").fullmatch, text.splitlines()) if found}
    for part in parts:
        if sums.get(part.name) != hashlib.sha256(part.data).hexdigest():
            raise Verdict(NOT_PUBLISHED, f"{part.label} is not the published file: its SHA-256 "
                          f"is not the one {path} names for {part.name}")


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
    if not args.published or not os.path.lexists(recorded):
        return None
    try:
        return buildinfo.parse(read_input(recorded, UNDECIDED).decode())
    except UnicodeDecodeError as error:
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
    print(f"scripts/verify-release: {shown(text)}", file=sys.stderr, flush=True)


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
    data = read_input(path, USAGE, MAX_FILE)
    if args.published and not Path(args.published).is_dir():
        raise Verdict(USAGE, f"--published {args.published} is not a folder")
    if args.fresh_root and not args.published:
        raise Verdict(USAGE, "--fresh-root rebuilds on the Debian release the release's "
                      "BUILDINFO names: pass the release folder with --published DIR")
    parts = identify(path, data)
    for part in parts:
        check_signer(part, args)
    if args.published:
        check_published(parts, args)
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


USAGE_LINE = ("scripts/verify-release [--published DIR] [--ca FILE] [--fresh-root] "
              "[--fingerprint SHA256]... [--key-fingerprint SHA256]... "
              "[--ca-fingerprint SHA256... --subject NAME] [--] FILE")


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Verdict(USAGE, f"{message} (usage: {USAGE_LINE})")


def shown(text):
    """text on one line as it may be shown: a file name, a certificate's
    subject or an error's words can hold a newline or a terminal's control
    characters, which must not forge a line of the verdict. Undecodable
    bytes of a file name show as \\xNN."""
    def escaped(char):
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:
            return f"\\x{code - 0xDC00:02x}"
        return char if char.isprintable() and char != "\\" else \
            char.encode("unicode_escape").decode("ascii")
    return "".join(map(escaped, str(text)))


def main(argv):
    parser = Parser(prog="scripts/verify-release", usage=USAGE_LINE, add_help=False,
                    allow_abbrev=False,
                    description="\n\n".join(__doc__.split("\n\n")[1:]),
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", metavar="FILE", help="the downloaded executable")
    parser.add_argument("-h", "--help", action="store_true",
                        help="this help; exits 2, since it verifies nothing")
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
    # A library's warning would be a second line on standard error.
    warnings.simplefilter("ignore")
    try:
        # The help verifies nothing, so it is never exit 0: a script that
        # runs `verify-release "$f" && install "$f"` on a file named -h or
        # --help must not install it. Asked for, it comes even without FILE.
        options = argv[:argv.index("--")] if "--" in argv else argv
        if "-h" in options or "--help" in options or parser.parse_args(argv).help:
            print(parser.format_help(), end="")
            raise Verdict(USAGE, "printed the help; nothing was verified")
        args = parser.parse_args(argv)
        check_arguments(args)
        print(shown(verify(args)))
        return 0
    except Verdict as verdict:
        print(f"scripts/verify-release: {shown(verdict.line)}", file=sys.stderr)
        return verdict.code
    except Exception as error:  # noqa: BLE001 (no input may end in a traceback)
        print(f"scripts/verify-release: cannot decide, an unexpected error: "
              f"{shown(type(error).__name__ + ': ' + ' '.join(str(error).split()))}",
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
    args.ca_pem = None
    if args.ca is not None:
        try:
            args.ca_pem = read_input(args.ca, USAGE)
        except Verdict as verdict:
            raise Verdict(USAGE, f"--ca: {verdict.line}") from None
        if b"-----BEGIN CERTIFICATE-----" not in args.ca_pem:
            raise Verdict(USAGE, f"--ca {args.ca} holds no PEM certificate")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

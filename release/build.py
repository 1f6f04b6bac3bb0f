"""The build behind scripts/build: the unsigned release, the signed release
(a PKCS#12 key, a key on a PKCS#11 token, or a sign command), and the rebuild
of a published release with its detached signatures attached. Each links in
its own build folder and replaces the files in dist/ only at the end, so a
failed build leaves dist/ as it was and ends with one line on stderr.

    scripts/build --help    the options; each option and exit code: docs/building.md
"""
import argparse
import getpass
import hashlib
import os
import re
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

from release import authenticode, buildinfo, product

ROOT = Path(__file__).resolve().parents[1]
CLIENT, INSTALLER = product.EXECUTABLES
USAGE = ("scripts/build [--sign KEY.pfx | --sign-pkcs11 URI [--pkcs11-module PATH]] "
         "[--chain FILE] [--timestamp URL]... | --sign-command CMD | --attach-signatures DIR] "
         "[--dist DIR] [--build-dir DIR]")
USAGE_STATUS = 2
# Everything a release folder publishes, SHA256SUMS aside, in a fixed order.
PUBLISHED = (CLIENT, INSTALLER, f"signatures/{CLIENT}.pem", f"signatures/{INSTALLER}.pem",
             "BUILDINFO")
# What in the signer's output is not its own message: OpenSSL's error stack,
# osslsigncode's closing verdict, and the engine's greeting.
NOISE = re.compile(r'\s*$|[0-9A-F]+:error:|(Failed|Succeeded)$|Engine "[^"]*" set\.$')
# A token's own reason ("PIN incorrect") is only in OpenSSL's error stack.
TOKEN_REASON = re.compile(r":PKCS#11 module:[^:\n]*:([^:\n]+):")


class Failure(Exception):
    """One line saying what failed, and the exit status that goes with it."""

    def __init__(self, line, status=1):
        super().__init__(line)
        self.status = status


def usage(line):
    return Failure(f"{line} (usage: {USAGE})", USAGE_STATUS)


def said(error):
    return str(error) or type(error).__name__


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise usage(message)


def parse(argv):
    parser = Parser(prog="scripts/build", usage=USAGE, allow_abbrev=False,
                    epilog="Each option and exit code: docs/building.md")
    once, each = {}, {"action": "append", "default": []}
    for option, metavar, meaning, how in (
            ("--sign", "KEY.pfx", "sign with this PKCS#12 file; its password is "
             "LARKSPIRE_SIGN_PASSWORD", once),
            ("--sign-pkcs11", "URI", "sign with the key and certificate on a PKCS#11 token; "
             "the PIN is LARKSPIRE_SIGN_PIN, else asked on the terminal", once),
            ("--pkcs11-module", "PATH", "the token's module (default: p11-kit's proxy)", once),
            ("--chain", "FILE", "the issuing CAs' certificates, in PEM, for the signature", once),
            ("--timestamp", "URL", "an RFC 3161 timestamp server; each in turn until one "
             "answers", each),
            ("--sign-command", "CMD", "a shell command that signs the file named last in place",
             once),
            ("--attach-signatures", "DIR", "rebuild the published release DIR (or its "
             "signatures/) with its signatures attached", once),
            ("--dist", "DIR", "publish to DIR instead of dist/", once),
            ("--build-dir", "DIR", "build in DIR instead of build/release, build/signed or "
             "build/attached", once)):
        parser.add_argument(option, metavar=metavar, help=meaning, **how)
    args = parser.parse_args(argv)
    for name, value in vars(args).items():
        if "" in (value if isinstance(value, list) else [value]):
            raise usage(f"--{name.replace('_', '-')} is empty")
    signers = [s for s in (args.sign, args.sign_pkcs11, args.sign_command) if s]
    own_key, uri = args.sign or args.sign_pkcs11, args.sign_pkcs11 or ""
    for wrong, line in (
            (len(signers) > 1, "--sign, --sign-pkcs11 and --sign-command exclude each other"),
            (args.timestamp and not own_key, "--timestamp goes with --sign or --sign-pkcs11; "
             "a sign command adds its own timestamp"),
            (args.chain and not own_key, "--chain goes with --sign or --sign-pkcs11; a sign "
             "command embeds its own chain"),
            (args.pkcs11_module and not uri, "--pkcs11-module goes with --sign-pkcs11"),
            (args.attach_signatures and signers, "--attach-signatures uses published signatures "
             "and signs nothing"),
            (uri and not uri.startswith("pkcs11:"), f"--sign-pkcs11 {uri} is not a PKCS#11 URI "
             "(pkcs11:token=...;object=...)"),
            # A URI's pin-value= would put the PIN on osslsigncode's command
            # line, where ps shows it.
            ("pin-value=" in uri.lower(), "--sign-pkcs11: the URI carries a PIN (pin-value=), "
             "which ps would show; set LARKSPIRE_SIGN_PIN instead")):
        if wrong:
            raise usage(line)
    # Paths are the caller's; the build itself runs in the repository root.
    for name in ("sign", "pkcs11_module", "chain", "attach_signatures", "dist", "build_dir"):
        if getattr(args, name):
            setattr(args, name, Path(getattr(args, name)).absolute())
    return args


def token_pin(uri):
    """The PIN, settled before anything is built: from LARKSPIRE_SIGN_PIN, or
    asked once, for both files, on the terminal itself, never through standard
    input or output, which a log may hold. It stays in this process and
    reaches osslsigncode through a descriptor."""
    pin = os.environ.get("LARKSPIRE_SIGN_PIN", "")
    if pin:
        return pin
    with warnings.catch_warnings():
        # Without a terminal getpass warns, then reads standard input.
        warnings.simplefilter("error", getpass.GetPassWarning)
        try:
            pin = getpass.getpass(f"PIN for {uri}: ")
        except getpass.GetPassWarning:
            raise Failure("no PIN for the token and no terminal to ask on: "
                          "set LARKSPIRE_SIGN_PIN") from None
        except EOFError:
            pin = ""
    if not pin:
        raise Failure("no PIN given for the token")
    return pin


def setup(args):
    """scripts/build has brought what every build needs; osslsigncode reaches
    a token only through OpenSSL's pkcs11 engine, and the default module,
    p11-kit's proxy, reaches every module registered with p11-kit."""
    if not args.sign_pkcs11:
        return
    extra = ["libengine-pkcs11-openssl"]
    if not args.pkcs11_module:
        args.pkcs11_module = Path(f"/usr/lib/{os.uname().machine}-linux-gnu/p11-kit-proxy.so")
        extra.append("p11-kit-modules")
    done = subprocess.run([ROOT / "scripts/setup", "--build", *extra])
    if done.returncode != 0:
        raise Failure(f"scripts/setup could not install {' and '.join(extra)}")


def cmake(*args, quiet=False):
    done = subprocess.run(["cmake", *map(str, args)],
                          stdout=subprocess.DEVNULL if quiet else None)
    if done.returncode != 0:
        raise Failure(f"cmake {' '.join(map(str, args))} failed (exit {done.returncode})")


def configure(build, linked, embedded_client):
    """The release preset in build, linking into linked; the installer embeds
    the file embedded_client (none: the client it links itself)."""
    cmake("--preset", "release", "-B", build, f"-DLARKSPIRE_DIST_DIR={linked}",
          f"-DLARKSPIRE_EMBEDDED_CLIENT={embedded_client}", quiet=True)


def logged(command, log, **options):
    """Runs command with no standard input, its output in log.out and
    log.err; returns its exit status."""
    with open(f"{log}.out", "w") as out, open(f"{log}.err", "w") as err:
        return subprocess.run([*map(str, command)], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, **options).returncode


def first_words(log, keep=lambda line: line.strip()):
    """The first line of log.err, else of log.out, that keep accepts."""
    for stream in ("err", "out"):
        lines = Path(f"{log}.{stream}").read_text(errors="replace").splitlines()
        found = next(filter(keep, lines), None)
        if found:
            return found
    return ""


def fresh(folder):
    """An empty folder, with signatures/ in it."""
    if folder.exists():
        shutil.rmtree(folder)
    (folder / "signatures").mkdir(parents=True)


def executable(path):
    path.chmod(path.stat().st_mode | 0o111)


def publish(folder, dist):
    """BUILDINFO and SHA256SUMS beside what folder holds, then all of it
    into dist. dist/ is only ever written here, once everything it will hold
    is ready: each file is copied beside its old self and renamed over it.
    The linker never writes into dist/, so its timestamps cannot make the
    next build of the other kind look up to date."""
    try:
        (folder / "BUILDINFO").write_text(buildinfo.describe(ROOT))
    except OSError as error:
        raise Failure(f"cannot write {folder}/BUILDINFO: {said(error)}") from None
    names = [name for name in PUBLISHED if (folder / name).is_file()]
    (folder / "SHA256SUMS").write_text("".join(
        f"{hashlib.sha256((folder / name).read_bytes()).hexdigest()}  {name}\n"
        for name in names))
    names.append("SHA256SUMS")
    (dist / "signatures").mkdir(parents=True, exist_ok=True)

    def beside(name):
        return dist / name.rpartition("/")[0] / f".{Path(name).name}.new"

    for name in names:
        shutil.copy(folder / name, beside(name))
    for name in names:
        os.replace(beside(name), dist / name)
    # Signatures left from another kind of build would not match the new
    # executables nor SHA256SUMS.
    for old in (dist / "signatures").glob("*.pem"):
        if not (folder / "signatures" / old.name).is_file():
            old.unlink()
    try:
        (dist / "signatures").rmdir()
    except OSError:
        pass


def unsigned_release(build, dist):
    configure(build, build / "out", "")
    cmake("--build", build)
    publish(build / "out", dist)


def attach_release(published, build, dist):
    """Link the client and attach its published signature, embed that
    client, link the installer and attach its own (a release without the
    installer's signature rebuilds only the client)."""
    signatures = published / "signatures"
    if not (signatures / f"{CLIENT}.pem").is_file() and (published / f"{CLIENT}.pem").is_file():
        signatures = published
    if not (signatures / f"{CLIENT}.pem").is_file():
        raise Failure(f"no signature {signatures / CLIENT}.pem")
    unsigned, signed = build / "unsigned", build / "signed"
    fresh(signed)
    configure(build, unsigned, signed / CLIENT)
    cmake("--build", build, "--target", "client")
    attach(CLIENT, signatures, build)
    if (signatures / f"{INSTALLER}.pem").is_file():
        cmake("--build", build, "--target", "installer")
        attach(INSTALLER, signatures, build)
    publish(signed, dist)


def attach(name, signatures, build):
    """Whether a signature fits is judged by the digest alone: osslsigncode
    exits 1 both for a mismatch and for a chain it cannot complete to a
    trusted root, and writes its output file either way. Trust is the
    verifier's job."""
    signature, unsigned, rebuilt = signatures / f"{name}.pem", build / "unsigned" / name, \
        build / "signed" / name
    log = build / f"attach-{name}"
    rebuilt.unlink(missing_ok=True)
    logged(["osslsigncode", "attach-signature", "-sigin", signature, "-in", unsigned,
            "-out", rebuilt], log)
    if not rebuilt.is_file():
        raise Failure(f"attaching {signature} to {unsigned} failed: {first_words(log)}")
    # Only the judge's own "does not fit" is a misfit: a verifier turns that
    # into "not built from this source", which must never stand for a judge
    # that broke on this machine.
    try:
        fits = authenticode.signature_fits(rebuilt.read_bytes())
    except (authenticode.Problem, authenticode.Refused):
        fits = False
    except Exception as error:
        rebuilt.unlink()
        raise Failure(f"cannot judge whether {signature} fits the rebuilt {name}: "
                      f"{said(error)}") from None
    if not fits:
        rebuilt.unlink()
        raise Failure(f"the signature {signature} does not fit the rebuilt {name}",
                      authenticode.MISFIT)
    shutil.copy(signature, build / "signed/signatures" / f"{name}.pem")
    executable(rebuilt)
    print(f"Attached the signature of {name}", flush=True)


def signing_time():
    """A fixed signing time makes two signings of the same file with the
    same key byte-identical; a timestamp, if asked for, records the real
    time."""
    time = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "log", "-1", "--format=%ct"], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    if not re.fullmatch(r"[0-9]+", time):
        raise Failure("no signing time: set SOURCE_DATE_EPOCH to seconds since 1970")
    return time


class Signer:
    """How each file of a signed release is signed in place."""

    def __init__(self, args, pin):
        for path, what in ((args.sign, "the signing key"), (args.chain, "the chain file")):
            if path and not (path.is_file() and os.access(path, os.R_OK)):
                raise Failure(f"cannot read {what} {path}")
        self.command, self.time = args.sign_command, signing_time()
        if args.sign:
            self.key = ["-pkcs12", args.sign]
            self.secret = os.environb.get(b"LARKSPIRE_SIGN_PASSWORD", b"")
        elif args.sign_pkcs11:
            # The engine loads only the signer's certificate from the
            # token; the issuing CAs come from --chain.
            uri = args.sign_pkcs11
            self.key = ["-pkcs11module", args.pkcs11_module, "-pkcs11cert", uri, "-key", uri]
            self.secret = os.fsencode(pin)
        # The signature names the product and its home page, taken from the
        # one place the programs take them from.
        self.options = [*(["-ac", args.chain] if args.chain else []), "-h", "sha256",
                        "-n", product.DISPLAY_NAME, "-i", f"https://{product.HOME_HOST}",
                        "-time", self.time,
                        *(word for url in args.timestamp for word in ("-ts", url))]

    def sign(self, source, target, log):
        """Signs source into target; returns the signer's exit status."""
        if self.command:
            shutil.copy(source, target)
            return logged(["sh", "-c", self.command + ' "$1"', "sign", target], log)
        # The password or PIN reaches osslsigncode through an inherited
        # descriptor, never through a command line that ps could show; a
        # pipe's buffer holds it whole, so it is written before the start.
        if not self.secret:
            return logged(["osslsigncode", "sign", *self.key, "-pass", "", *self.options,
                           "-in", source, "-out", target], log)
        reading, writing = os.pipe()
        try:
            os.write(writing, self.secret)
            os.close(writing)
            return logged(["osslsigncode", "sign", *self.key, "-readpass",
                           f"/dev/fd/{reading}", *self.options, "-in", source, "-out", target],
                          log, pass_fds=(reading,))
        finally:
            os.close(reading)


def signer_message(log, status):
    """The signer's own words on one line: its first message that is not
    noise, from stderr first. osslsigncode 2.9 writes its messages to stderr;
    2.5 writes them to stdout, the real one first and a bare "Failed" last."""
    line = first_words(log, lambda line: not NOISE.match(line)) or \
        f"the signer exited with status {status}"
    text = Path(f"{log}.err").read_text(errors="replace") + "\n" + \
        Path(f"{log}.out").read_text(errors="replace")
    reason = TOKEN_REASON.search(text)
    return line + (f" ({reason[1]})" if reason else "")


def sign(name, signer, build):
    source, target = build / "unsigned" / name, build / "signed" / name
    log = build / f"sign-{name}"
    status = signer.sign(source, target, log)
    if status != 0:
        raise Failure(f"signing {source} failed: {signer_message(log, status)}")
    # The detached signature is published in PEM: osslsigncode 2.5 and 2.9
    # write different DER, and neither attaches the other's, but both attach
    # either's PEM. Extracting it also catches a sign command that reports
    # success but leaves the file as it was: that must not pass for a signed
    # release.
    detached = build / "signed/signatures" / f"{name}.pem"
    detached.unlink(missing_ok=True)
    extracted = subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", target,
                                "-out", detached], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if extracted.returncode != 0 or not detached.is_file():
        raise Failure(f"signing {source} failed: the signed file carries no signature")
    # osslsigncode signs with a key that is not its certificate's (a URI
    # that names two) without complaint. A Windows machine that cannot fetch
    # the issuing CA refuses a signature that lacks it, and code-signing
    # certificates are issued only by subordinate CAs, so a signature
    # without its signer's issuer is the missing intermediate, whatever
    # root the reader trusts.
    try:
        issuer = authenticode.missing_issuer(target.read_bytes())
    except Exception as error:
        raise Failure(f"signing {source} failed: {said(error)}") from None
    if issuer:
        raise Failure(f"signing {source}: the signature lacks its signer's issuer, {issuer}: " +
                      ("the sign command must embed the chain (osslsigncode -ac, as --chain "
                       "does)" if signer.command else "pass the CA's certificates with --chain "
                       "FILE"))
    executable(target)
    print(f"Signed {name}", flush=True)


def signed_release(signer, build, dist):
    """Link the client, sign it, embed the signed client in the installer,
    link and sign the installer."""
    signed = build / "signed"
    fresh(signed)
    configure(build, build / "unsigned", signed / CLIENT)
    cmake("--build", build, "--target", "client")
    sign(CLIENT, signer, build)
    cmake("--build", build, "--target", "installer")
    sign(INSTALLER, signer, build)
    publish(signed, dist)


def main(argv):
    try:
        args = parse(argv)
        pin = token_pin(args.sign_pkcs11) if args.sign_pkcs11 else None
        os.chdir(ROOT)
        setup(args)
        dist = args.dist or ROOT / "dist"
        if args.attach_signatures:
            attach_release(args.attach_signatures, args.build_dir or ROOT / "build/attached",
                           dist)
        elif args.sign or args.sign_pkcs11 or args.sign_command:
            signer = Signer(args, pin)
            # The signing time is the build's: the sign command and BUILDINFO
            # see it too.
            os.environ["SOURCE_DATE_EPOCH"] = signer.time
            signed_release(signer, args.build_dir or ROOT / "build/signed", dist)
        else:
            unsigned_release(args.build_dir or ROOT / "build/release", dist)
    except Failure as failure:
        print(f"scripts/build: {failure}", file=sys.stderr)
        return failure.status
    except OSError as error:
        where = f": {error.filename}" if error.filename else ""
        print(f"scripts/build: {error.strerror or said(error)}{where}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

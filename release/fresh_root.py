"""A commit rebuilt in a fresh root of the Debian release a BUILDINFO names,
with the package versions it records, through scripts/fresh-debian: the apt
steps in the root, and what the archive still serves when one fails."""
import re
import subprocess
from pathlib import Path

from release import buildinfo

ROOT = Path(__file__).resolve().parents[1]


class Undecided(Exception):
    """One plain sentence saying why the fresh root cannot give the rebuild."""


def debian_suite(info):
    found = re.search(r"\(([a-z]+)\)$", info.get("debian", ""))
    if not found:
        raise Undecided("BUILDINFO names no Debian release "
                        f"({info.get('debian') or 'no debian line'})")
    return found.group(1)


def served_versions(madison):
    """{package: versions} from `apt-cache madison`'s lines."""
    served = {}
    for line in madison.splitlines():
        fields = [field.strip() for field in line.split("|")]
        if len(fields) == 3 and fields[2].endswith("Packages"):
            served.setdefault(fields[0], []).append(fields[1])
    return served


def rebuild(work, info, commit, progress):
    """The commit's own scripts/build in the root, with exactly the package
    versions info records; work is /share there, so the signatures in
    work/published go in and the rebuild comes back in work/dist. Says how
    far it got through progress; returns scripts/fresh-debian's status and
    output."""
    suite = debian_suite(info)
    versions = buildinfo.package_versions(info)
    for name, version in versions.items():
        # BUILDINFO is the publisher's word, read by a root shell below.
        if not re.fullmatch(r"[a-z0-9][a-z0-9+.-]*", name) or \
                not re.fullmatch(r"[A-Za-z0-9.+~:-]+", version):
            raise Undecided(f"BUILDINFO names no Debian package: {name} {version}")
    steps = {
        "apt-get update -q": "reading the archive's package lists",
        f"apt-cache madison {' '.join(versions)} >/share/served":
            "looking up the recorded package versions",
        "DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends " +
        " ".join(f"{name}={version}" for name, version in versions.items()):
            "installing the recorded package versions",
        "scripts/build --attach-signatures /share/published --dist /share/dist "
        "--build-dir /share/build": f"rebuilding commit {commit}",
    }
    progress(f"rebuilding in a fresh Debian {suite} root, with the toolchain BUILDINFO "
             "records; this takes minutes")
    with open(work / "fresh-root.log", "w+") as log:
        with subprocess.Popen([ROOT / "scripts/fresh-debian", "--commit", commit,
                               "--share", work, suite, *steps],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True) as root:
            for line in root.stdout:
                log.write(line)
                said = line.rstrip("\n").partition(": ")[2]
                if line.startswith(f"== Debian {suite}: ") and said in steps:
                    progress(f"{steps[said]} in the {suite} root")
                elif line.startswith("Making a "):
                    progress(line.strip())
        log.seek(0)
        text = log.read()
    served = served_versions((work / "served").read_text()) \
        if (work / "served").exists() else None
    if root.returncode != 0 and served is not None:
        gone = [f"{name} {version} (it serves {', '.join(served.get(name, [])) or 'none'})"
                for name, version in versions.items() if version not in served.get(name, [])]
        if gone:
            raise Undecided(f"the Debian {suite} archive no longer serves the "
                            "version BUILDINFO records of " + ", ".join(gone))
    if root.returncode == 0:
        rebuilt = buildinfo.package_versions(buildinfo.read(work / "dist/BUILDINFO"))
        differing = buildinfo.differences(info, rebuilt)
        if differing:
            raise Undecided(f"the fresh Debian {suite} root still has another "
                            "toolchain: BUILDINFO names " + ", ".join(differing))
    return root.returncode, text

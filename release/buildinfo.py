"""BUILDINFO: what a release was built from and with, one `key: value` a
line. Debian's packages are the toolchain: the same sources give the same
bytes only with the same versions of the packages below."""
import os
import shutil
import subprocess
from pathlib import Path

# What shapes the executables' bytes, named by the files the build uses so
# that the packages follow each Debian release's own names (clang-14 on
# Debian 12, clang-19 on 13): the compiler and the libraries it loads, its
# own headers, the linker, the resource compiler, the mingw-w64 headers and
# import libraries, and cmake with its modules. osslsigncode is not among
# them: attaching a signature gives the same bytes with any version.
TOOLS = ("clang++", "lld-link", "llvm-rc", "cmake")
MINGW_FILES = ("/usr/x86_64-w64-mingw32/include/windows.h",
               "/usr/x86_64-w64-mingw32/lib/libkernel32.a")
PACKAGE = "package "


def _run(*args):
    done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else ""


def _owners(paths):
    """{path: package} for the paths Debian's packages installed: one
    dpkg-query for all, since each reads every package's file list."""
    done = subprocess.run(["dpkg-query", "--search", *paths], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    owners = {}
    for line in done.stdout.splitlines():
        packages, sep, path = line.partition(": ")
        if sep and path in paths:
            owners[path] = packages.split(",")[0].split(":")[0].strip()
    return owners


def _fields(packages):
    """{package: (version, source package)}."""
    text = _run("dpkg-query", "-W", "-f=${Package}\t${Version}\t${source:Package}\n",
                *packages)
    return {name: (version, source or name) for name, version, source in
            (line.split("\t") for line in text.splitlines() if line.count("\t") == 2)}


def _loaded_libraries(binary):
    return [os.path.realpath(word) for line in _run("ldd", binary).splitlines()
            for word in line.split() if word.startswith("/")]


def packages():
    """{package: version} for every package that shapes the bytes. A
    library counts when it comes from the same source as its tool (libLLVM
    for clang), not the C library every program loads."""
    tools, libraries = [], {}
    for tool in TOOLS:
        binary = shutil.which(tool)
        if binary:
            tools.append(os.path.realpath(binary))
            libraries.update({library: tools[-1] for library in _loaded_libraries(tools[-1])})
    files = [*MINGW_FILES, *tools]
    # clang's own headers, and the modules cmake generates the build from.
    headers = _run("clang++", "-print-resource-dir")
    if headers:
        files.append(os.path.join(headers, "include", "stddef.h"))
    cmake = _run("cmake", "--version").split("\n")[0].split()[-1:]
    if cmake:
        series = ".".join(cmake[0].split(".")[:2])
        files.append(f"/usr/share/cmake-{series}/Modules/CMakeCXXCompiler.cmake.in")
    owners = _owners(files + list(libraries))
    fields = _fields(set(owners.values()))
    found = {}
    for path, package in owners.items():
        tool = libraries.get(path)
        if tool and fields.get(package, (0, 1))[1] != fields.get(owners.get(tool), (0, 2))[1]:
            continue
        found[package] = fields.get(package, ("unknown",))[0]
    return dict(sorted(found.items()))


def debian_release():
    version = Path("/etc/debian_version").read_text().strip() \
        if Path("/etc/debian_version").exists() else "unknown"
    codename = ""
    if Path("/etc/os-release").exists():
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("VERSION_CODENAME="):
                codename = line.split("=", 1)[1].strip('"')
    return f"{version} ({codename})" if codename else version


def describe(root):
    commit = _run("git", "-C", str(root), "rev-parse", "HEAD") or "unknown"
    dirty = _run("git", "-C", str(root), "status", "--porcelain", "--untracked-files=no")
    lines = [("commit", commit), ("tree", "modified" if dirty else "clean"),
             ("SOURCE_DATE_EPOCH", os.environ.get("SOURCE_DATE_EPOCH") or
              _run("git", "-C", str(root), "log", "-1", "--format=%ct") or "unknown"),
             ("debian", debian_release())]
    lines += [(PACKAGE + name, version) for name, version in packages().items()]
    signer = _run("osslsigncode", "--version").split("\n")[0].split()[1:2]
    lines.append(("osslsigncode (information only)", signer[0].rstrip(",") if signer else "none"))
    return "".join(f"{key}: {value}\n" for key, value in lines)


def read(path):
    return parse(Path(path).read_text())


def parse(text):
    entries = {}
    for line in text.splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            entries[key] = value
    return entries


def package_versions(entries):
    return {key[len(PACKAGE):]: value for key, value in entries.items()
            if key.startswith(PACKAGE)}


def differences(published, here=None):
    """Each byte-shaping package whose version differs, as one phrase."""
    here = packages() if here is None else here
    return [f"{name} {version} (here {here.get(name, 'not installed')})"
            for name, version in package_versions(published).items()
            if here.get(name) != version] + \
           [f"{name} (here {version}, not in BUILDINFO)" for name, version in here.items()
            if name not in package_versions(published)]

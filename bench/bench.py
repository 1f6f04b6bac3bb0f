"""Benchmarks dist/ under Wine and prints a table of medians.

a) download size of our installer against an NSIS installer doing the
   same job (bench/peers/larkspire.nsi), and what our executables are made of;
b) time from starting our client to the browser's first instruction,
   against a launcher that does nothing but CreateProcessW;
c) a full install and a full uninstall, ours against the NSIS peer, with a
   robot answering every message box at once.

Timings are taken inside the prefix with QueryPerformanceCounter by the
timers in bench/tools (built by scripts/bench), so
Wine's own start-up of the measuring program is not counted. The variants of
each comparison alternate within one run and share one prefix, so they meet
the same machine state.
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import time
from pathlib import Path

import pefile

from release import product as facts
from rig.prefix import (APP_PATHS, DIST, ROOT, UNINSTALL_KEY, Prefix, driver_options,
                        expected_browser_argv, json_events)
from tests.signing.pki import make_release

OUT = ROOT / "build/bench"
NSIS_SCRIPT = ROOT / "bench/peers/larkspire.nsi"
# The timers, as `cmake --build --preset tests --target bench` builds them.
TOOLS = ROOT / "build/tests/bench"
EDGE = r"C:\Program Files\Microsoft\Edge\Application\msedge.exe"
BENCH_DIR = r"C:\bench"
PEER_TARGETS = ("amd64-unicode", "x86-unicode")
CLIENT, INSTALLER = facts.CLIENT_EXE, facts.INSTALLER_EXE


# --- a) sizes ------------------------------------------------------------

def resources(pe):
    """{(type id, name id): bytes} of the image's resources."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(kind.id, name.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def write_icon(exe, target):
    """Writes the icon group our executable carries as an .ico file, so the
    peer carries exactly the same images. Returns False if there is none."""
    found = resources(pefile.PE(str(exe)))
    groups = [data for (kind, _), data in sorted(found.items()) if kind == 14]
    if not groups:
        return False
    group = groups[0]
    count = struct.unpack_from("<HHH", group)[2]
    entries, images = [], []
    offset = 6 + 16 * count
    for i in range(count):
        width, height, colours, _, planes, bits, _, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        image = found[(3, icon_id)]
        entries.append(struct.pack("<BBBBHHII", width, height, colours, 0, planes, bits,
                                   len(image), offset))
        images.append(image)
        offset += len(image)
    target.write_bytes(struct.pack("<HHH", 0, 1, count) + b"".join(entries) + b"".join(images))
    return True


def build_peers(client):
    icon = OUT / "larkspire.ico"
    defines = [f"-DCLIENT={client}", f"-DICON={icon}"] if write_icon(client, icon) else \
        [f"-DCLIENT={client}"]
    # The peer names and versions itself from the same facts as ours.
    defines += [f"-D{key.upper()}={value}" for key, value in facts.FACTS.items()]
    defines.append(f"-DVERSION_QUAD={facts.VERSION_QUAD}")
    peers = {}
    for target in PEER_TARGETS:
        exe = OUT / f"LarkspireNsisSetup-{target}.exe"
        log = OUT / f"makensis-{target}.log"
        with open(log, "w") as output:
            subprocess.run(["makensis", "-V4", "-WX", *defines, f"-DOUTFILE={exe}",
                            f"-DTARGET={target}", str(NSIS_SCRIPT)],
                           stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                           check=True)
        peers[target] = exe
    return peers


def sections(exe):
    """Byte counts of .text, .rdata, .rsrc and everything else in the file."""
    pe = pefile.PE(str(exe))
    raw = {}
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        raw[name] = raw.get(name, 0) + section.SizeOfRawData
    total = exe.stat().st_size
    parts = {name: raw.get(name, 0) for name in (".text", ".rdata", ".rsrc")}
    parts["rest"] = total - sum(parts.values())
    return total, parts


def nsis_archive_size(exe):
    """Bytes NSIS appends after the PE image: its compressed data and CRC."""
    pe = pefile.PE(str(exe))
    return exe.stat().st_size - pe.get_overlay_data_start_offset()


# --- b) launch -----------------------------------------------------------

def run_json(prefix, program, *args, env=None):
    code, output = prefix.wine(program, *args, env=env, timeout=None)
    if code != 0:
        raise RuntimeError(f"{program} failed ({code}):\n{output}")
    return json_events(output)


def time_launch(rounds, warmup):
    with Prefix() as p:
        p.install_standin_edge(EDGE)
        p.import_registry([rf"[HKEY_LOCAL_MACHINE\{APP_PATHS}]",
                           '@="' + EDGE.replace("\\", "\\\\") + '"'])
        ours = p.put(OUT / "dist" / CLIENT, BENCH_DIR + "\\" + CLIENT)
        bare = p.put(TOOLS / "bare_launcher.exe", BENCH_DIR + r"\bare_launcher.exe")
        timer = p.put(TOOLS / "launch_timer.exe", BENCH_DIR + r"\launch_timer.exe")
        # Once through the test rig's robot and recording stand-in: a client
        # that missed the browser would show a box and leave the timer
        # waiting, and one that started it wrongly would be timed for nothing.
        boxes, code = p.robot(f'"{ours}"')
        runs = p.browser_log(EDGE)
        assert not boxes and code == 0 and len(runs) == 1, (boxes, code, runs)
        assert runs[0]["argv"] == expected_browser_argv(p, EDGE), runs
        p.put(TOOLS / "qpc_standin.exe", EDGE)
        events = run_json(p, timer, rounds + warmup, EDGE + ".qpc",
                          env={"LAUNCH_0": f'"{ours}"', "LAUNCH_1": f'"{bare}"'})
    kept = [e for e in events if e["round"] >= warmup]
    return {v: {"browser": [e["browser_started_us"] / 1000 for e in kept if e["variant"] == v],
                "exited": [e["launcher_exited_us"] / 1000 for e in kept if e["variant"] == v]}
            for v in (0, 1)}


# --- c) install and uninstall --------------------------------------------

class Product:
    def __init__(self, name, setup, uninstall_option):
        self.name = name
        self.setup = setup
        self.uninstall_option = uninstall_option


def cycle_robot(p, command, answers, cwd=None, until_gone=None):
    args = driver_options(answers, cwd=cwd, until_gone=until_gone)
    events = run_json(p, BENCH_DIR + r"\cycle_robot.exe", *args, env={"ROBOT_COMMAND": command})
    boxes = [e for e in events if "caption" in e]
    end = events[-1]
    if len(boxes) != len(answers) or end.get("exit") != 0:
        raise RuntimeError(f"{command}: unexpected run {events}")
    return boxes, end["elapsed_us"] / 1e6, end["process_exit_us"] / 1e6


def install(p, product):
    return cycle_robot(p, f'"{product.setup}"', ["YES", "NO"])


def uninstall(p, product):
    return cycle_robot(p, f'"{p.uninstaller}"{product.uninstall_option}', ["YES"],
                       cwd=p.install_dir, until_gone=p.install_dir)


def check_installed(p, product):
    """The first install of each product is compared in full, so that both
    are seen doing the same job before they are timed."""
    d = p.install_dir
    files = sorted(f.name for f in p.unix(d).iterdir())
    assert files == sorted([CLIENT, facts.UNINSTALLER_EXE]), (product.name, files)
    assert p.unix(p.client).read_bytes() == (OUT / "dist" / CLIENT).read_bytes()
    values = p.registry_values("HKEY_CURRENT_USER\\" + UNINSTALL_KEY)
    expected = {
        "DisplayName": ("REG_SZ", facts.DISPLAY_NAME),
        "DisplayVersion": ("REG_SZ", facts.VERSION),
        "Publisher": ("REG_SZ", facts.PUBLISHER), "InstallLocation": ("REG_SZ", d),
        "DisplayIcon": ("REG_SZ", p.client),
        "UninstallString": ("REG_SZ", f'"{p.uninstaller}"{product.uninstall_option}'),
        "URLInfoAbout": ("REG_SZ", f"https://{facts.HOME_HOST}"),
        "NoModify": ("REG_DWORD", 1), "NoRepair": ("REG_DWORD", 1)}
    assert values == expected, (product.name, values)
    for link, target in zip(p.links, [p.client, p.client, p.uninstaller]):
        assert p.shortcut(link)["target"] == target, (product.name, link)


def check_removed(p, product):
    left = [path for path in [p.install_dir, p.menu_dir, *p.links]
            if p.exists(path)]
    assert not left and p.registry_values("HKEY_CURRENT_USER\\" + UNINSTALL_KEY) is None, \
        (product.name, left)


def time_cycles(cycles, peer):
    times = {}
    with Prefix() as p:
        p.put(TOOLS / "cycle_robot.exe", BENCH_DIR + r"\cycle_robot.exe")
        downloads = p.profile + r"\Downloads"
        products = [
            Product("ours", p.put(OUT / "dist" / INSTALLER, downloads + "\\" + INSTALLER),
                    " " + facts.UNINSTALL_OPTION),
            Product("nsis", p.put(peer, downloads + r"\LarkspireNsisSetup.exe"), ""),
        ]
        questions = {}
        for product in products:
            times[product.name] = {"install": [], "uninstall": [], "uninstaller_exit": []}
            boxes = install(p, product)[0]
            check_installed(p, product)
            more = uninstall(p, product)[0]
            check_removed(p, product)
            questions[product.name] = [box["text"] for box in boxes + more]
        assert questions["ours"] == questions["nsis"], questions
        for cycle in range(cycles):
            for product in products if cycle % 2 == 0 else products[::-1]:
                # Lets whatever the previous step left running wind down.
                time.sleep(0.3)
                times[product.name]["install"].append(install(p, product)[1])
                time.sleep(0.3)
                _, elapsed, uninstaller_exit = uninstall(p, product)
                times[product.name]["uninstall"].append(elapsed)
                times[product.name]["uninstaller_exit"].append(uninstaller_exit)
    return times


# --- output --------------------------------------------------------------

def machine():
    model = next((line.split(":", 1)[1].strip() for line in
                  Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), "unknown CPU")
    memory = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text().splitlines()
                  if line.startswith("MemTotal"))
    wine = subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True).stdout.strip()
    return f"{os.cpu_count()} CPUs, {model}, {memory / 1024 / 1024:.1f} GiB, {wine}"


def group(n):
    return f"{n:,}".replace(",", " ")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=31, help="launch rounds (b)")
    parser.add_argument("--cycles", type=int, default=7, help="install cycles (c)")
    args = parser.parse_args()

    # A copy, so that a rebuild of dist/ during the run cannot mix two builds.
    shutil.rmtree(OUT / "dist", ignore_errors=True)
    (OUT / "dist").mkdir(parents=True)
    for name in (CLIENT, INSTALLER):
        shutil.copyfile(DIST / name, OUT / "dist" / name)
    peers = build_peers(OUT / "dist" / CLIENT)
    peer = peers["amd64-unicode"]

    load_at_start = os.getloadavg()[0]
    print(f"{facts.NAME} benchmark on {machine()}")
    print("Figures are medians; timings are taken inside the Wine prefix.\n")

    ours_size = (OUT / "dist" / INSTALLER).stat().st_size
    print("a) Download size                      bytes   ours/peer")
    print(f"   {INSTALLER + ' (ours)':<30} {group(ours_size):>10}")
    for target, exe in peers.items():
        size = exe.stat().st_size
        note = "" if target == "amd64-unicode" else "  (size only: this Wine is 64-bit only)"
        print(f"   NSIS peer, {target:<19} {group(size):>10}   {ours_size / size:9.2f}{note}")
    print(f"   (the amd64 peer: {group(peer.stat().st_size - nsis_archive_size(peer))} bytes of "
          f"Debian's GCC-built stub with icons and version block,")
    print(f"   then {group(nsis_archive_size(peer))} bytes of solid LZMA data: client, "
          "uninstaller header and icons)")
    print()
    print("   Our executables             total    .text   .rdata    .rsrc     rest")
    for name in (INSTALLER, CLIENT):
        total, parts = sections(OUT / "dist" / name)
        print(f"   {name:<20} {group(total):>12} {group(parts['.text']):>8} "
              f"{group(parts['.rdata']):>8} {group(parts['.rsrc']):>8} {group(parts['rest']):>8}")
    print("   (rest: headers, .reloc and padding; the setup's .rdata holds the client image)")
    print()
    # Signed as scripts/build --sign signs a release, with a throwaway key and
    # a timestamp from a test authority on loopback.
    make_release(OUT / "signed")
    print("   Signed and timestamped     unsigned     signed      added   ours/peer")
    for name in (INSTALLER, CLIENT):
        unsigned = (OUT / "dist" / name).stat().st_size
        signed = (OUT / "signed/dist" / name).stat().st_size
        ratio = f"{signed / peer.stat().st_size:11.2f}" if name == INSTALLER else ""
        print(f"   {name:<20} {group(unsigned):>12} {group(signed):>10} "
              f"{group(signed - unsigned):>10}{ratio}")
    print("   (a test certificate straight under its root, and a test timestamp authority:")
    print("   a publisher's certificate chain and timestamp authority add their own sizes;")
    print("   the setup also carries the signed client)")
    print()

    launch = time_launch(args.rounds, warmup=2)
    ours_ms = statistics.median(launch[0]["browser"])
    bare_ms = statistics.median(launch[1]["browser"])
    print(f"b) Launch until the browser runs ({args.rounds} alternating runs each)")
    print("                                    ms   ours/limit")
    print(f"   {CLIENT:<24} {ours_ms:10.1f}   {ours_ms / bare_ms:10.2f}")
    print(f"   limit: one CreateProcessW{bare_ms:10.1f}")
    print(f"   (the launchers themselves exit after {statistics.median(launch[0]['exited']):.1f} "
          f"and {statistics.median(launch[1]['exited']):.1f} ms)")
    print()

    cycles = time_cycles(args.cycles, peer)
    print(f"c) Install and uninstall ({args.cycles} alternating cycles; a robot answers each "
          "message box at once,")
    print("   for the NSIS peer too: its own boxes, not /S; "
          "uninstall ends when the folder is gone)")
    print("                           ours s    NSIS s   ours/NSIS")
    for step in ("install", "uninstall"):
        ours = statistics.median(cycles["ours"][step])
        nsis = statistics.median(cycles["nsis"][step])
        print(f"   {step:<18} {ours:12.2f} {nsis:9.2f} {ours / nsis:11.2f}")
    ours_exit = statistics.median(cycles["ours"]["uninstaller_exit"])
    print(f"   (our uninstaller is done after {ours_exit:.2f} s, having renamed itself; a")
    print("   hidden cmd.exe then deletes it and the folder at once, and waits out ping -n 2")
    print("   only before a later try, while the file is still held. The NSIS uninstaller")
    print("   hands over to a copy of itself in %TEMP%, which removes both at once and is")
    print("   itself left behind there.)")
    # Other work on the machine shifts the absolute figures; the ratios,
    # taken from alternating runs, are what to compare across machines.
    print(f"\n1-minute load average: {load_at_start:.1f} at the start, "
          f"{os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()

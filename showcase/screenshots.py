"""Renders every message box of the client and the installer as a
player sees it, one PNG each in docs/screenshots/, plus the shortcuts.

Each box is provoked for real: the unchanged dist/ executables run in a
throwaway Wine prefix whose programs draw with Wine's X11 driver inside a
Wine desktop on an Xvfb screen of our own. boxwatch.exe holds every box open
until its picture is taken, then presses the button the scenario names.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

from release import product
from rig.prefix import APP_PATHS, DIST, PREFIX_SCRIPT, ROOT, Prefix, driver_options

OUT = Path(os.environ.get("LARKSPIRE_SCREENSHOTS", ROOT / "docs/screenshots"))
# boxwatch.exe and shortcutview.exe, as
# `cmake --build --preset tests --target showcase` builds them.
TOOLS = ROOT / "build/tests/showcase"
WINE_FONTS = Path("/usr/share/wine/fonts")
# A common player's screen. The Wine desktop fills it exactly, so the window
# rectangles the helpers report are the screen's own pixel coordinates.
WIDTH, HEIGHT = 1920, 1080
HANDSHAKE = r"C:\screenshots"
EDGE = r"C:\Program Files\Microsoft\Edge\Application\msedge.exe"

# Each picture's caption and a piece of its text: a scenario that drifts onto
# another box stops the run instead of saving it under the wrong name.
BOXES = {
    "install-confirm": ("Larkspire telepito", "Folytatod a telepitest?"),
    "start-prompt": ("Larkspire", "Inditod most a jatekot?"),
    "edge-missing": ("Larkspire - Microsoft Edge", "Microsoft Edge szukseges."),
    "profile-failed": ("Larkspire", "helyi bongeszoprofilja"),
    "path-too-long": ("Larkspire", "Tul hosszu helyi eleresi ut."),
    "edge-start-failed": ("Larkspire", "A Microsoft Edge nem indithato."),
    "layout-failed": ("Larkspire", "telepitesi mappa nem hatarozhato meg"),
    "install-folder-failed": ("Larkspire", "A telepitesi mappa nem hozhato letre."),
    "staging-failed": ("Larkspire", "A telepitesi fajl nem hozhato letre."),
    "save-failed": ("Larkspire", "A Larkspire.exe mentese sikertelen."),
    "uninstaller-copy-failed": ("Larkspire", "az eltavolito masolasa sikertelen"),
    "partial-integration": ("Larkspire - reszleges integracio", "nem keszult el."),
    "uninstall-confirm": ("Larkspire eltavolitas", "Eltavolitod a Larkspire Windows"),
    "client-locked": ("Larkspire", "A Larkspire.exe nem torolheto."),
    "removal-failed": ("Larkspire", "kezzel torlendo"),
    "setup-running": ("Larkspire", "telepito mar fut"),
    "foreign-user": ("Larkspire", "rendszergazdakent vagy mas felhasznalokent fut"),
}


class Screen:
    """An Xvfb server of our own; -displayfd lets it pick a free number."""

    def __init__(self):
        self.log = tempfile.TemporaryFile()
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", f"{WIDTH}x{HEIGHT}x24",
             "-nolisten", "tcp"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self.log)
        os.close(write)
        number = b""
        with os.fdopen(read, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(16)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.log.seek(0)
            raise RuntimeError("Xvfb did not start:\n" + self.log.read().decode(errors="replace"))
        self.name = ":" + number.decode().strip()
        self.taken = set()

    def grab(self, target, rect):
        left, top, right, bottom = rect
        target.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-display", self.name, "-window", "root",
                        "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                        f"png:{target}"],
                       check=True, stdin=subprocess.DEVNULL)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Desk(Prefix):
    """A throwaway prefix whose programs draw on the Xvfb screen, inside a Wine
    desktop of the screen's size with Wine's own fonts."""

    def __init__(self, screen):
        super().__init__()
        self.screen = screen
        try:
            self.prepare()
        except BaseException:
            self.close()
            raise

    def prepare(self):
        # Debian's Wine finds the faces of fonts-wine (Tahoma, Marlett) only in
        # C:\windows\Fonts, which wineboot leaves empty: dialogs would fall
        # back to another face and the caption buttons to letters.
        fonts = self.unix(r"C:\windows\Fonts")
        for font in WINE_FONTS.iterdir():
            shutil.copyfile(font, fonts / font.name)
        for helper in ("boxwatch.exe", "shortcutview.exe"):
            self.put(TOOLS / helper, HANDSHAKE + "\\" + helper)
        self.import_registry([
            r"[HKEY_CURRENT_USER\Software\Wine\Drivers]", '"Graphics"="x11"',
            # One desktop window: Wine draws the frames itself, as Windows
            # would, where no window manager runs.
            r"[HKEY_CURRENT_USER\Software\Wine\Explorer]", '"Desktop"="Default"',
            r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]",
            f'"Default"="{WIDTH}x{HEIGHT}"'])
        # The registry run above started the prefix with the null driver.
        self.stop()

    def command(self, *args):
        # rig/wine-prefix clears DISPLAY for the tests; env hands ours back
        # to Wine alone.
        return [PREFIX_SCRIPT, "run", self.path, "env", "DISPLAY=" + self.screen.name,
                "wine", *map(str, args)]

    def start(self, args, output, env=None):
        return subprocess.Popen(
            self.command(*args), stdin=subprocess.DEVNULL, stdout=output,
            stderr=subprocess.STDOUT, start_new_session=True, env=dict(os.environ, **(env or {})))

    def events(self, log):
        # Only whole lines: the helper may be halfway through writing one.
        text = log.read_text(encoding="utf-8", errors="replace")
        return [json.loads(line) for line in text.splitlines(keepends=True)
                if line.startswith("{") and line.endswith("\n")]

    def watch(self, command, steps, expected_exit, cwd=None, lock=None):
        """Runs command line `command` and meets its boxes in order; each step
        is (picture name, button to press). A box met again later keeps its
        first picture."""
        handshake = self.unix(HANDSHAKE)
        for old in handshake.glob("answer-*"):
            old.unlink()
        args = [HANDSHAKE + r"\boxwatch.exe", HANDSHAKE,
                *driver_options(cwd=cwd, lock=lock, token=self.start_token)]
        log = self.work / "boxwatch.log"
        with open(log, "wb") as output:
            process = self.start(args, output, env={"BOXWATCH_COMMAND": command})
        try:
            met = 0
            deadline = time.monotonic() + 180
            while True:
                events = self.events(log)
                boxes = [e for e in events if "box" in e]
                for box in boxes[met:]:
                    if met >= len(steps):
                        raise RuntimeError(f"unexpected box after {steps}: {box}")
                    name, answer = steps[met]
                    caption, fragment = BOXES[name]
                    if box["caption"] != caption or fragment not in box["text"]:
                        raise RuntimeError(f"expected {name}, got {box}")
                    if name not in self.screen.taken:
                        time.sleep(0.2)
                        self.screen.grab(OUT / f"{name}.png", box["rect"])
                        self.screen.taken.add(name)
                        print(f"  {name}.png")
                    (handshake / f"answer-{met + 1}").write_text(answer)
                    met += 1
                exits = [e["exit"] for e in events if "exit" in e]
                if exits or process.poll() is not None:
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError(f"no end after {steps}: {events}")
                time.sleep(0.1)
        finally:
            self.stop()
            process.wait(timeout=30)
        events = self.events(log)
        exits = [e["exit"] for e in events if "exit" in e]
        if met != len(steps) or exits != [expected_exit]:
            raise RuntimeError(f"{command}: met {met} of {steps}, events {events}")

    def second_setup(self, command):
        """Runs command twice: the first instance is held at its first box by
        a boxwatch.exe of its own, while the second is watched to its exit;
        then the first is answered No."""
        first = HANDSHAKE + r"\first"
        self.unix(first).mkdir(parents=True, exist_ok=True)
        log = self.work / "first.log"
        with open(log, "wb") as output:
            process = self.start([HANDSHAKE + r"\boxwatch.exe", first], output,
                                 env={"BOXWATCH_COMMAND": command})
        deadline = time.monotonic() + 60
        while not any("box" in e for e in self.events(log)):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the first setup showed no box: " +
                                   log.read_text(errors="replace"))
            time.sleep(0.1)
        # watch() ends the prefix's processes when the second one is done,
        # the first included: its box has been seen, which is all it is for.
        self.watch(command, [("setup-running", "OK")], 1)
        process.wait(timeout=30)

    def show_shortcuts(self, groups, target):
        """Opens shortcutview.exe on the given shortcuts and saves its window."""
        handshake = self.unix(HANDSHAKE)
        (handshake / "release").unlink(missing_ok=True)
        args = [HANDSHAKE + r"\shortcutview.exe", HANDSHAKE]
        for heading, links in groups:
            args += ["--group", heading, *links]
        log = self.work / "shortcutview.log"
        with open(log, "wb") as output:
            process = self.start(args, output)
        try:
            deadline = time.monotonic() + 60
            while not any("rect" in e for e in self.events(log)):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("shortcutview: " + log.read_text(errors="replace"))
                time.sleep(0.1)
            time.sleep(0.3)
            rect = next(e["rect"] for e in self.events(log) if "rect" in e)
            self.screen.grab(target, rect)
            print(f"  {target.name}")
            (handshake / "release").write_text("")
            process.wait(timeout=30)
        finally:
            self.stop()

    def set_default_value(self, root, key, value):
        self.import_registry([f"[{root}\\{key}]", '@="' + value.replace("\\", "\\\\") + '"'])

    def write(self, windows_path, data=b""):
        path = self.unix(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def long_edge_path(prefix):
    r"""An msedge.exe path of 3990 units: it fits the client's 4095-unit
    buffers, but not together with the profile folder and the switches the
    client adds to it. The \\?\ form is how Windows, and Wine, reach a file
    past MAX_PATH."""
    head, tail = "\\\\?\\C:", "\\msedge.exe"
    remaining = 3990 - len(head) - len(tail)
    folders = []
    while remaining > 1:
        folders.append("x" * min(200, remaining - 1))
        remaining -= len(folders[-1]) + 1
    path = head + "".join("\\" + f for f in folders) + tail
    prefix.write(path[4:], b"never started")
    return path


def player_scenarios(screen):
    """One player's machine: install, play, the client's own failures, the
    shortcuts, then the failures of a reinstall and of removals."""
    with Desk(screen) as p:
        setup = p.put(DIST / product.INSTALLER_EXE,
                      p.profile + r"\Downloads" "\\" + product.INSTALLER_EXE)
        client, uninstaller = p.client, p.uninstaller

        print("Install on a machine without Edge, start the game, decline the download")
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("start-prompt", "YES"),
                               ("edge-missing", "NO")], 0)
        p.install_standin_edge(EDGE)

        print("A plain file where the client's data folder belongs")
        p.write(p.data_dir)
        p.watch(f'"{client}"', [("profile-failed", "OK")], 1)
        p.unix(p.data_dir).unlink()

        print("A per-user Edge registration naming a file that is no program")
        broken = r"C:\Broken Edge\msedge.exe"
        p.write(broken, b"This file is not a Windows program.\r\n")
        p.set_default_value("HKEY_CURRENT_USER", APP_PATHS, broken)
        p.watch(f'"{client}"', [("edge-start-failed", "OK")], 1)
        p.unix(broken).unlink()

        print("A per-user Edge registration with a path nearly 4000 characters long")
        long_path = long_edge_path(p)
        p.set_default_value("HKEY_CURRENT_USER", APP_PATHS, long_path)
        p.watch(f'"{client}"', [("path-too-long", "OK")], 1)
        shutil.rmtree(p.unix("C:\\" + PureWindowsPath(long_path[4:]).parts[1]))

        print("The shortcuts of the install")
        p.show_shortcuts([
            ("Desktop", p.links[:1]),
            (r"Start menu \ Programs \ " + product.NAME, p.links[1:])],
            OUT / "shortcuts.png")

        print("A second setup started while the first asks for confirmation")
        p.second_setup(f'"{setup}"')

        print("The setup run as administrator beside the player's unelevated shell")
        p.start_shell(limited=True)
        p.watch(f'"{setup}"', [("foreign-user", "OK")], 1)

        print("Reinstall while the game is running")
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("save-failed", "OK")], 1,
                lock=client)

        print("Uninstall while the game is running")
        p.watch(f'"{uninstaller}" {product.UNINSTALL_OPTION}',
                [("uninstall-confirm", "YES"), ("client-locked", "OK")], 1,
                cwd=p.install_dir, lock=client)

        print("Reinstall while the installed Uninstall.exe is held open")
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("uninstaller-copy-failed", "OK")],
                1, lock=uninstaller)

        print("Uninstall when the command interpreter cannot be started")
        cmd = p.unix(r"C:\windows\system32\cmd.exe")
        # The clone's system32 files are hard links into the template: unlink
        # first so that the template keeps its cmd.exe.
        cmd.unlink()
        cmd.write_bytes(b"This file is not a Windows program.\r\n")
        p.watch(f'"{uninstaller}" {product.UNINSTALL_OPTION}',
                [("uninstall-confirm", "YES"), ("removal-failed", "OK")], 1, cwd=p.install_dir)


def broken_profile_scenarios(screen):
    """A fresh machine whose user profile gets in the installer's way."""
    with Desk(screen) as p:
        setup = p.put(DIST / product.INSTALLER_EXE,
                      p.profile + r"\Downloads" "\\" + product.INSTALLER_EXE)

        print("A plain file where LocalAppData\\Programs belongs")
        p.write(p.local + r"\Programs")
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("install-folder-failed", "OK")], 1)
        p.unix(p.local + r"\Programs").unlink()

        print("A folder where the installer's temporary Larkspire.new belongs")
        staging = p.unix(p.staging_file)
        staging.mkdir(parents=True)
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("staging-failed", "OK")], 1)
        staging.rmdir()

        print("A plain file where the Start-menu folder belongs")
        p.write(p.menu_dir)
        p.watch(f'"{setup}"', [("install-confirm", "YES"), ("partial-integration", "OK"),
                               ("start-prompt", "NO")], 0)

        print("LocalAppData redirected to a folder that does not exist")
        p.import_registry([
            r"[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer"
            r"\User Shell Folders]",
            r'"Local AppData"="C:\\Profiles\\Unreachable\\AppData\\Local"'])
        p.watch(f'"{setup}"', [("layout-failed", "OK")], 1)


def client_icon_count():
    """How many icon groups dist/Larkspire.exe carries; the shortcuts show
    the first, or Wine's stock icon when there is none."""
    import pefile
    image = pefile.PE(str(DIST / product.CLIENT_EXE), fast_load=True)
    image.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    resources = getattr(image, "DIRECTORY_ENTRY_RESOURCE", None)
    return sum(1 for entry in (resources.entries if resources else ())
               if entry.id == pefile.RESOURCE_TYPE["RT_GROUP_ICON"])


def main():
    missing = [h for h in ("boxwatch.exe", "shortcutview.exe") if not (TOOLS / h).exists()]
    if missing:
        sys.exit(f"build {', '.join(missing)} first (scripts/screenshots does)")
    screen = Screen()
    try:
        print(f"Xvfb {screen.name}, pictures into {OUT}")
        if client_icon_count() == 0:
            print("Note: dist/Larkspire.exe has no icon yet; shortcuts.png shows Wine's stock one.")
        player_scenarios(screen)
        broken_profile_scenarios(screen)
    finally:
        screen.close()
    missing = sorted(set(BOXES) - screen.taken)
    if missing:
        sys.exit("no picture of: " + ", ".join(missing))


if __name__ == "__main__":
    main()

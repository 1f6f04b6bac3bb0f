"""Runs the real dist/ executables in throwaway Wine prefixes.

Each Prefix is cloned from the template that rig/wine-prefix boots. Wine
processes are started with their standard handles on files, never on a
pipe: Wine's services inherit them and would keep the caller waiting.
"""
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path, PureWindowsPath

from release import product

ROOT = Path(os.environ.get("LARKSPIRE_ROOT", Path(__file__).resolve().parents[1]))
# The helper programs, as `cmake --build --preset tests --target rig` builds them.
TOOLS = Path(os.environ.get("LARKSPIRE_TOOLS", ROOT / "build/tests/rig"))
DIST = Path(os.environ.get("LARKSPIRE_DIST", ROOT / "dist"))
PREFIX_SCRIPT = Path(__file__).resolve().parent / "wine-prefix"
APP_PATHS = r"Software\Microsoft\Windows\CurrentVersion\App Paths\msedge.exe"
UNINSTALL_KEY = product.UNINSTALL_KEY_PATH


def driver_options(answers=(), cwd=None, lock=None, until_gone=None, lock_for=None,
                   hold_after_exit=(), hold_for=None, mapped=None, token=None):
    """The arguments that the box drivers (robot.exe, cycle_robot.exe,
    boxwatch.exe) read with read_driver_options; times in milliseconds."""
    args = []
    for answer in answers:
        args += ["--answer", answer]
    for path in hold_after_exit:
        args += ["--hold-after-exit", path]
    for name, value in (("--cwd", cwd), ("--lock", lock), ("--map", mapped),
                        ("--until-gone", until_gone), ("--lock-for", lock_for),
                        ("--hold-for", hold_for), ("--token", token)):
        if value is not None:
            args += [name, str(value)]
    return args


def json_events(output):
    """The JSON lines among a test tool's output."""
    return [json.loads(line) for line in output.splitlines() if line.startswith("{")]


class Prefix:
    def __init__(self):
        self.work = Path(tempfile.mkdtemp(prefix="larkspire-e2e."))
        self.path = self.work / "prefix"
        subprocess.run([PREFIX_SCRIPT, "clone", self.path], check=True,
                       stdin=subprocess.DEVNULL)
        self.drive_c = self.path / "drive_c"
        user = next(p.name for p in (self.drive_c / "users").iterdir()
                    if p.name not in ("Public", "public"))
        self.profile = rf"C:\users\{user}"
        self.local = self.profile + r"\AppData\Local"
        self.desktop = self.profile + r"\Desktop"
        self.programs = (self.profile +
                         r"\AppData\Roaming\Microsoft\Windows\Start Menu\Programs")
        self.locate_product()
        self.shells = []
        # The token the box drivers start programs under beside the shell of
        # start_shell (None: the programs' own), until the prefix stops.
        self.start_token = None
        self.tools = r"C:\larkspire-tools"
        shutil.copytree(TOOLS, self.unix(self.tools), dirs_exist_ok=True,
                        ignore=lambda d, names: [n for n in names if not n.endswith(".exe")])

    def locate_product(self):
        """Where the product puts itself under the current shell folders,
        named from the product's facts; again after a test moves them."""
        self.install_dir = self.local + r"\Programs" + "\\" + product.NAME
        self.client = self.install_dir + "\\" + product.CLIENT_EXE
        self.uninstaller = self.install_dir + "\\" + product.UNINSTALLER_EXE
        self.retired = self.install_dir + "\\" + product.RETIRED_UNINSTALLER
        self.staging_file = self.install_dir + "\\" + product.STAGING_FILE
        self.data_dir = self.local + "\\" + product.NAME
        self.menu_dir = self.programs + "\\" + product.NAME
        self.links = [self.desktop + "\\" + product.SHORTCUT,
                      self.menu_dir + "\\" + product.SHORTCUT,
                      self.menu_dir + "\\" + product.UNINSTALL_SHORTCUT]

    def stop(self):
        """Ends every Wine process of the prefix, as a logoff ends a Windows
        session: the registry is saved, and the next program starts a fresh
        session without the volatile keys of this one."""
        subprocess.run([PREFIX_SCRIPT, "stop", self.path], stdin=subprocess.DEVNULL)
        self.start_token = None

    def close(self):
        self.stop()
        for process in self.shells:
            process.wait(timeout=30)
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Paths: Windows paths inside the prefix map to drive_c.
    def unix(self, windows_path):
        parts = PureWindowsPath(windows_path).parts
        assert parts[0].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*parts[1:])

    def exists(self, windows_path):
        return self.unix(windows_path).exists()

    def put(self, source, windows_path):
        target = self.unix(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        return windows_path

    def command(self, *args):
        """The host command line that runs one Windows program in this prefix."""
        return [PREFIX_SCRIPT, "run", self.path, "wine", *map(str, args)]

    def wine(self, *args, timeout=120, env=None):
        """Runs one Windows program; returns (exit code, output text)."""
        with tempfile.TemporaryFile() as output:
            done = subprocess.run(
                self.command(*args),
                stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                timeout=timeout, start_new_session=True, env=dict(os.environ, **(env or {})))
            output.seek(0)
            return done.returncode, output.read().decode("utf-8", "replace")

    def robot(self, command_line, answers=(), cwd=None, lock=None, env=None, **holds):
        """Starts command_line and answers its message boxes in order; env
        adds variables to the host environment of the run, holds are the
        timed locks and mappings of robot_runs.

        Returns (boxes, exit code); each box is a dict with caption, text,
        buttons and the answer given."""
        runs, _ = self.robot_runs(command_line, answers, cwd=cwd, lock=lock, env=env, **holds)
        assert len(runs) == 1, runs
        return runs[0]["boxes"], runs[0]["exit"]

    def robot_runs(self, command_line, answers=(), then=None, alongside=None, cwd=None,
                   lock=None, mapped=None, lock_for=None, hold_after_exit=(), hold_for=None,
                   env=None):
        """robot() for one program, or two with `then`, the command line that
        starts the moment the first program has exited, or with `alongside`,
        the one that starts while the first program shows its first box and
        runs to its exit before that box is answered.

        lock is held exclusively, and the file `mapped` mapped as data, from
        before the start until lock_for milliseconds after the first answer
        (the whole run without lock_for); each of hold_after_exit that exists
        when the first program exits is held exclusively from then on for
        hold_for milliseconds.

        Returns (runs, held): per program in the order they ended (the one
        alongside first) a dict with its boxes, its exit code and the ids of
        the processes it left running ("children"), and the files held after
        the exit."""
        args = driver_options(answers, cwd=cwd, lock=lock, mapped=mapped, lock_for=lock_for,
                              hold_after_exit=hold_after_exit, hold_for=hold_for,
                              token=self.start_token)
        variables = dict(env or {}, ROBOT_COMMAND=command_line)
        if then:
            variables["ROBOT_THEN"] = then
        if alongside:
            variables["ROBOT_ALONGSIDE"] = alongside
        code, output = self.wine(self.tools + r"\robot.exe", *args, env=variables)
        assert code == 0, output
        runs, boxes, held = [], [], []
        for event in json_events(output):
            if "caption" in event:
                boxes.append(event)
            elif "exit" in event:
                runs.append(dict(boxes=boxes, exit=event["exit"], children=event["children"]))
                boxes = []
            elif "held" in event:
                held = event["held"]
        assert len(runs) == (2 if then or alongside else 1) and not boxes, output
        return runs, held

    def await_exit(self, pids, seconds=60):
        """True once every process of pids has ended, within seconds."""
        code, output = self.wine(self.tools + r"\await_exit.exe", int(seconds * 1000), *pids,
                                 timeout=seconds + 60)
        events = json_events(output)
        assert code == 0 and len(events) == 1, output
        return events[0]["exited"]

    def start_shell(self, limited=False):
        """Gives the programs the box drivers start a desktop's shell of
        their own token, as a player's double click has, or with limited one
        less elevated than they are, as beside a program run as
        administrator; both last until the prefix stops.

        shell_standin.exe sees to it, per Wine version: it becomes the
        shell where Wine registers none, or, where the shell is explorer's,
        names the token the programs must start under."""
        ready = self.tools + r"\shell-ready"
        self.unix(ready).unlink(missing_ok=True)
        args = [self.tools + r"\shell_standin.exe", ready] + (["--limited"] if limited else [])
        log = self.work / "shell_standin.log"
        with open(log, "wb") as output:
            self.shells.append(subprocess.Popen(
                self.command(*args), stdin=subprocess.DEVNULL, stdout=output,
                stderr=subprocess.STDOUT, start_new_session=True))
        deadline = time.monotonic() + 60
        while not self.exists(ready):
            ended = self.shells[-1].poll() is not None
            if (ended and not self.exists(ready)) or time.monotonic() > deadline:
                raise AssertionError("no stand-in shell: " + log.read_text(errors="replace"))
            time.sleep(0.1)
        self.start_token = self.unix(ready).read_text() or None

    def import_registry(self, lines):
        reg = self.work / "import.reg"
        reg.write_text("REGEDIT4\n\n" + "\n".join(lines) + "\n")
        code, output = self.wine("regedit", "/s", f"Z:{reg}".replace("/", "\\"))
        assert code == 0, output

    def registry_values(self, key):
        """Exports one key and returns {name: (type, data)}, or None when the
        key does not exist.

        reg.exe, a console program, reports a missing key on its standard
        error and exits 1 on every Wine version; regedit /e of a missing key
        never returns on Wine 10."""
        out = self.work / "export.reg"
        out.unlink(missing_ok=True)
        code, _ = self.wine("reg", "export", key, f"Z:{out}".replace("/", "\\"), "/y")
        if code != 0 or not out.exists():
            return None
        text = out.read_bytes().decode("utf-16")
        values = {}
        for line in text.splitlines():
            if not line.startswith('"'):
                continue
            name, _, data = line[1:].partition('"=')
            if data.startswith('"'):
                values[name] = ("REG_SZ", data[1:-1].replace("\\\\", "\\").replace('\\"', '"'))
            elif data.startswith("dword:"):
                values[name] = ("REG_DWORD", int(data[6:], 16))
            else:
                values[name] = ("other", data)
        return values

    def install_standin_edge(self, windows_path):
        return self.put(TOOLS / "edge_standin.exe", windows_path)

    def browser_log(self, exe_windows_path, wait=10.0):
        """The stand-in's records ([] if it never ran within `wait` seconds)."""
        log = self.unix(exe_windows_path + ".log")
        deadline = time.monotonic() + wait
        while not log.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        if not log.exists():
            return []
        time.sleep(0.2)
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines() if line]

    def route_https_to(self, windows_path):
        """Makes the stand-in the handler of https URLs, so that a download
        page opened through the shell is recorded instead of leaving Wine."""
        self.install_standin_edge(windows_path)
        command = f'"{windows_path}" "%1"'.replace("\\", "\\\\").replace('"', '\\"')
        self.import_registry([
            r"[HKEY_LOCAL_MACHINE\Software\Classes\https\shell\open\command]",
            f'@="{command}"'])

    def shortcut(self, windows_path):
        # Seen once under heavy load: the shell link object refused a file
        # that read fine a moment later. A persistent fault still fails.
        for attempt in range(3):
            code, output = self.wine(self.tools + r"\lnkdump.exe", windows_path)
            if code == 0:
                return json.loads(output[output.index("{"):])
            time.sleep(1)
        raise AssertionError(output)


def expected_browser_argv(prefix, edge):
    return [edge,
            f"--app=https://{product.PLAY_HOST}/login?client=windows",
            "--user-data-dir=" + prefix.data_dir + r"\BrowserProfile",
            "--window-size=1440,900", "--no-first-run", "--no-default-browser-check"]

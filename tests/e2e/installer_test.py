"""The real dist/ installer under Wine: install, launch, uninstall."""
import time
import unittest

from expected import MESSAGES
from release import product
from rig.prefix import DIST, UNINSTALL_KEY, Prefix, expected_browser_argv

CONFIRM, START, REMOVE = (MESSAGES[name] for name in
                          ("install_confirm", "start_prompt", "uninstall_confirm"))
PARTIAL, SAVE_FAILED, CLIENT_LOCKED = (MESSAGES[name] for name in
                                       ("partial_warning", "save_failed", "client_locked"))
# What a browser writes into the Zone.Identifier stream of a download.
ZONE_MARK = b"[ZoneTransfer]\r\nZoneId=3\r\n"
EDGE = r"C:\Program Files\Microsoft\Edge\Application\msedge.exe"
USER_SHELL_FOLDERS = (r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion"
                      r"\Explorer\User Shell Folders")


def answered(*pairs):
    return [dict(b, answer=a) for b, a in pairs]


class Installed(Prefix):
    """A prefix with the installer in Downloads and, unless edge is False,
    the stand-in Edge; with redirected=True, the shell folders moved away."""

    def __init__(self, edge=True, redirected=False):
        super().__init__()
        if redirected:
            self.redirect_shell_folders()
        if edge:
            self.install_standin_edge(EDGE)
        self.setup = self.put(DIST / product.INSTALLER_EXE,
                              self.profile + r"\Downloads" + "\\" + product.INSTALLER_EXE)

    def redirect_shell_folders(self):
        """Moves the Desktop (as OneDrive's folder backup does), the Start
        menu's Programs (as a Folder Redirection policy does) and LocalAppData
        (a registry edit) out of their default places. Windows and Wine read a
        folder's current location from User Shell Folders; the moved folders
        exist, as on a machine where they were moved. Keeps the default places
        in self.defaults."""
        self.defaults = (self.local, self.desktop, self.programs)
        moved = {"Local AppData": r"C:\Redirected\Local",
                 "Desktop": self.profile + r"\OneDrive\Desktop",
                 "Programs": r"C:\Redirected\Start Menu\Programs"}
        for path in moved.values():
            self.unix(path).mkdir(parents=True)
        self.import_registry([f"[{USER_SHELL_FOLDERS}]"] + [
            f'"{name}"="{path}"'.replace("\\", "\\\\") for name, path in moved.items()])
        self.local, self.desktop, self.programs = moved.values()
        self.locate_product()

    def install(self, answers=("YES", "NO"), **kw):
        return self.robot(f'"{self.setup}"', answers, **kw)

    def uninstall(self, command=None, answers=("YES",), **kw):
        return self.robot(command or f'"{self.uninstaller}" {product.UNINSTALL_OPTION}', answers,
                          **kw)

    def wait_gone(self, path, seconds=15):
        deadline = time.monotonic() + seconds
        while self.exists(path) and time.monotonic() < deadline:
            time.sleep(0.2)
        return not self.exists(path)


def registration(p):
    return {
        "DisplayName": ("REG_SZ", product.DISPLAY_NAME),
        "DisplayVersion": ("REG_SZ", product.VERSION),
        "Publisher": ("REG_SZ", product.PUBLISHER),
        "InstallLocation": ("REG_SZ", p.install_dir),
        "DisplayIcon": ("REG_SZ", p.client),
        "UninstallString": ("REG_SZ", f'"{p.uninstaller}" {product.UNINSTALL_OPTION}'),
        "URLInfoAbout": ("REG_SZ", f"https://{product.HOME_HOST}"),
        "NoModify": ("REG_DWORD", 1),
        "NoRepair": ("REG_DWORD", 1)}


class InstallerTestCase(unittest.TestCase):
    def assert_installed(self, p):
        self.assertEqual(p.unix(p.client).read_bytes(),
                         (DIST / product.CLIENT_EXE).read_bytes())
        self.assertEqual(p.unix(p.uninstaller).read_bytes(),
                         (DIST / product.INSTALLER_EXE).read_bytes())
        self.assertFalse(p.exists(p.staging_file))


class InstallerEndToEnd(InstallerTestCase):

    def test_install_start_and_uninstall_from_the_install_folder(self):
        # Where a player has moved the shell folders, the moved ones are what
        # Explorer and the Start menu show: everything goes there.
        with Installed(redirected=True) as p:
            boxes, code = p.install(["YES", "YES"])
            self.assertEqual(boxes, answered((CONFIRM, "YES"), (START, "YES")))
            self.assertEqual(code, 0)
            local, desktop, programs = p.defaults
            for left in (local + r"\Programs", local + "\\" + product.NAME,
                         desktop + "\\" + product.SHORTCUT, programs + "\\" + product.NAME):
                self.assertFalse(p.exists(left), f"{left}: written to the default place")
            self.assert_installed(p)
            runs = p.browser_log(EDGE)
            self.assertEqual([r["argv"] for r in runs], [expected_browser_argv(p, EDGE)])

            for link, (target, args) in zip(p.links, [(p.client, ""), (p.client, ""),
                                                      (p.uninstaller, product.UNINSTALL_OPTION)]):
                self.assertEqual(p.shortcut(link), {
                    "target": target, "arguments": args, "working_directory": p.install_dir,
                    "description": product.SHORTCUT_DESCRIPTION,
                    "icon": p.client, "icon_index": 0}, link)

            # The entry must outlive the session that wrote it: a key created
            # volatile vanishes at logoff, and the game with it from the list.
            p.stop()
            self.assertEqual(p.registry_values(r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY),
                             registration(p))

            # As the Start-menu shortcut starts it: inside the install folder.
            boxes, code = p.uninstall(cwd=p.install_dir)
            self.assertEqual((boxes, code), (answered((REMOVE, "YES")), 0))
            self.assertFalse(p.exists(p.client))
            self.assertTrue(p.wait_gone(p.install_dir), "the delayed removal left the folder")
            for link in p.links:
                self.assertFalse(p.exists(link))
            self.assertFalse(p.exists(p.menu_dir))
            self.assertIsNone(p.registry_values(r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY))
            self.assertTrue(p.exists(p.data_dir + r"\BrowserProfile"))
            self.assertTrue(p.exists(p.local + r"\Programs"))
            self.assertTrue(p.exists(p.setup))

            # A second uninstall, from the downloaded installer this time.
            boxes, code = p.uninstall(f'"{p.setup}" {product.UNINSTALL_OPTION}')
            self.assertEqual((boxes, code), (answered((REMOVE, "YES")), 0))
            time.sleep(3)
            self.assertTrue(p.exists(p.setup), "only the installed uninstaller is removed")

    def test_repeats_and_declines(self):
        with Installed() as p:
            self.assertEqual(p.install(["NO"]), (answered((CONFIRM, "NO")), 0))
            self.assertFalse(p.exists(p.install_dir))
            self.assertEqual(p.install(["YES", "NO"]),
                             (answered((CONFIRM, "YES"), (START, "NO")), 0))
            self.assertEqual(p.browser_log(EDGE, wait=1), [])
            # Wine keeps a stream name as a plain file of that name, so a
            # download mark that CopyFileW carried over can be planted.
            mark = p.uninstaller + ":Zone.Identifier"
            p.unix(mark).write_bytes(ZONE_MARK)
            p.unix(p.client).write_bytes(b"an older client")
            self.assertEqual(p.install()[1], 0)
            self.assert_installed(p)
            self.assertFalse(p.exists(mark), "the copied uninstaller keeps the download mark")

            # Run as the installed Uninstall.exe without the option: a full
            # reinstall that leaves its own file, and whatever it carries, alone.
            p.unix(mark).write_bytes(ZONE_MARK)
            p.unix(p.client).write_bytes(b"an older client")
            before = p.unix(p.uninstaller).stat().st_mtime_ns
            boxes, code = p.robot(f'"{p.uninstaller}"', ["YES", "NO"])
            self.assertEqual((boxes, code), (answered((CONFIRM, "YES"), (START, "NO")), 0))
            self.assert_installed(p)
            self.assertEqual(p.unix(p.uninstaller).stat().st_mtime_ns, before)
            self.assertTrue(p.exists(mark))
            p.unix(mark).unlink()  # or the delayed, non-recursive rd below keeps the folder

            # Mode selection is a case-sensitive substring of the command line.
            boxes, _ = p.robot(f'"{p.setup}" {product.UNINSTALL_OPTION.upper()}', ["NO"])
            self.assertEqual(boxes, answered((CONFIRM, "NO")))
            boxes, code = p.robot(f'"{p.setup}" x{product.UNINSTALL_OPTION}x', ["NO"])
            self.assertEqual((boxes, code), (answered((REMOVE, "NO")), 0))
            self.assert_installed(p)

            # Removal from another current directory also takes the folder.
            self.assertEqual(p.uninstall(cwd=p.profile)[1], 0)
            self.assertTrue(p.wait_gone(p.install_dir))

    def test_a_locked_client_is_kept_whole(self):
        with Installed() as p:
            self.assertEqual(p.install()[1], 0)
            p.unix(p.client).write_bytes(b"an older client")
            boxes, code = p.install(["YES", "OK"], lock=p.client)
            self.assertEqual((boxes, code), (answered((CONFIRM, "YES"), (SAVE_FAILED, "OK")), 1))
            self.assertEqual(p.unix(p.client).read_bytes(), b"an older client")
            self.assertFalse(p.exists(p.staging_file))

            # Held for 30 s, as a running game holds it, the client outlasts
            # every retry: the player is told to close the game long before.
            boxes, code = p.uninstall(lock=p.client, lock_for=30000, answers=["YES", "OK"])
            self.assertEqual((boxes, code),
                             (answered((REMOVE, "YES"), (CLIENT_LOCKED, "OK")), 1))
            for link in p.links:
                self.assertTrue(p.exists(link))
            self.assertIsNotNone(p.registry_values(r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY))
            self.assertTrue(p.exists(p.uninstaller))


if __name__ == "__main__":
    unittest.main()

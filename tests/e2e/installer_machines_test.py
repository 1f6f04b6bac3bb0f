"""The real dist/ executables under Wine on players' machines as they are:
shell folders registered where nothing is, a folder in the way of a
shortcut, files that a scanner holds or maps for a moment, a setup started
twice, a reinstall at once after an uninstall, and a setup run as
administrator beside the desktop's shell."""
import unittest

from expected import MESSAGES

from installer_test import (CONFIRM, EDGE, PARTIAL, REMOVE, START,
                            USER_SHELL_FOLDERS, Installed, InstallerTestCase, answered,
                            registration)
from release import product
from rig.prefix import UNINSTALL_KEY, expected_browser_argv

# How long a scanner holds a file in the held-file cases: longer than a
# single attempt, well within the retries.
SCAN_MS = 1500
ENTRY = r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY
RUNNING = MESSAGES["setup_running"]
FOREIGN = MESSAGES["foreign_user"]


class Machines(InstallerTestCase):
    def assert_removed(self, p):
        """What a finished uninstall leaves: no install folder, no shortcut,
        no entry; the browser profile stays."""
        self.assertTrue(p.wait_gone(p.install_dir, 30), "the delayed removal left the folder")
        for link in p.links:
            self.assertFalse(p.exists(link), link)
        self.assertFalse(p.exists(p.menu_dir))
        self.assertIsNone(p.registry_values(ENTRY))

    def uninstall_string(self, p):
        kind, command = p.registry_values(ENTRY)["UninstallString"]
        self.assertEqual(kind, "REG_SZ")
        return command

    def test_shell_folders_registered_at_missing_folders(self):
        # As OneDrive's folder backup leaves the Desktop once OneDrive is gone,
        # and a Folder Redirection policy the Start menu when its share is not
        # there: the folder is registered, but does not exist.
        cases = {"Desktop": ("desktop", [1, 2]), "Programs": ("programs", [0])}
        for value, (attribute, made) in cases.items():
            with self.subTest(value), Installed() as p:
                missing = p.profile + r"\OneDrive\Missing" + value
                p.import_registry([f"[{USER_SHELL_FOLDERS}]",
                                   f'"{value}"="{missing}"'.replace("\\", "\\\\")])
                setattr(p, attribute, missing)
                p.locate_product()

                boxes, code = p.install(["YES", "OK", "NO"])
                self.assertEqual((boxes, code), (answered((CONFIRM, "YES"), (PARTIAL, "OK"),
                                                          (START, "NO")), 0))
                self.assert_installed(p)
                self.assertEqual(p.registry_values(ENTRY), registration(p))
                for index, link in enumerate(p.links):
                    self.assertEqual(p.exists(link), index in made, link)

                # The installed client starts the game whatever the shell folders.
                self.assertEqual(p.robot(f'"{p.client}"'), ([], 0))
                self.assertEqual([r["argv"] for r in p.browser_log(EDGE)],
                                 [expected_browser_argv(p, EDGE)])

                boxes, code = p.uninstall(self.uninstall_string(p))
                self.assertEqual((boxes, code), (answered((REMOVE, "YES")), 0))
                self.assert_removed(p)
                self.assertFalse(p.exists(p.profile + r"\OneDrive"), "the missing folder was made")

    def test_a_folder_in_the_way_of_the_desktop_shortcut_spares_the_start_menu(self):
        with Installed() as p:
            p.unix(p.links[0]).mkdir(parents=True)
            boxes, code = p.install(["YES", "OK", "NO"])
            self.assertEqual((boxes, code), (answered((CONFIRM, "YES"), (PARTIAL, "OK"),
                                                      (START, "NO")), 0))
            self.assertTrue(p.unix(p.links[0]).is_dir())
            for link, target in zip(p.links[1:], (p.client, p.uninstaller)):
                self.assertTrue(p.exists(link), link)
                self.assertEqual(p.shortcut(link)["target"], target)

    def test_files_held_for_a_moment_by_a_scanner(self):
        # Each file is held with no sharing, or mapped as data as a scanner or
        # the shell's icon extraction maps an executable, from before the
        # confirmation is answered until SCAN_MS after the answer; the
        # installer reaches it within milliseconds of the answer.
        for held in ("client", "uninstaller"):
            for how in ("lock", "mapped"):
                with self.subTest(f"reinstall while the {held} is {how}"), Installed() as p:
                    self.assertEqual(p.install()[1], 0)
                    p.unix(p.client).write_bytes(b"an older client")
                    p.unix(p.uninstaller).write_bytes(b"an older uninstaller")
                    boxes, code = p.install(**{how: getattr(p, held)}, lock_for=SCAN_MS)
                    self.assertEqual((boxes, code),
                                     (answered((CONFIRM, "YES"), (START, "NO")), 0))
                    self.assert_installed(p)

        with self.subTest("uninstall while the client is held"), Installed() as p:
            self.assertEqual(p.install()[1], 0)
            boxes, code = p.uninstall(lock=p.client, lock_for=SCAN_MS)
            self.assertEqual((boxes, code), (answered((REMOVE, "YES")), 0))
            self.assert_removed(p)

        with self.subTest("the delayed removal meets a held file"), Installed() as p:
            # Whichever file the delayed removal deletes, held for 4 s from
            # the moment the uninstaller exits.
            self.assertEqual(p.install()[1], 0)
            runs, held = p.robot_runs(f'"{p.uninstaller}" {product.UNINSTALL_OPTION}', ["YES"],
                                      hold_after_exit=[p.uninstaller, p.retired], hold_for=4000)
            self.assertEqual([(r["boxes"], r["exit"]) for r in runs],
                             [(answered((REMOVE, "YES")), 0)])
            self.assertEqual(len(held), 1, "nothing left to hold")
            self.assert_removed(p)

    def test_a_setup_started_while_one_runs_stops_at_once(self):
        # The second starts while the first shows its confirmation, as a double
        # click that started the setup twice, or a setup beside an uninstall.
        with Installed() as p:
            runs, _ = p.robot_runs(f'"{p.setup}"', ["OK", "YES", "NO"], alongside=f'"{p.setup}"')
            self.assertEqual([(r["boxes"], r["exit"]) for r in runs],
                             [(answered((RUNNING, "OK")), 1),
                              (answered((CONFIRM, "YES"), (START, "NO")), 0)])
            self.assert_installed(p)

            runs, _ = p.robot_runs(f'"{p.uninstaller}" {product.UNINSTALL_OPTION}', ["OK", "YES"],
                                   alongside=f'"{p.setup}"')
            self.assertEqual([(r["boxes"], r["exit"]) for r in runs],
                             [(answered((RUNNING, "OK")), 1), (answered((REMOVE, "YES")), 0)])
            self.assert_removed(p)

    def test_a_reinstall_right_after_an_uninstall_stays_complete(self):
        with Installed() as p:
            self.assertEqual(p.install()[1], 0)
            runs, _ = p.robot_runs(f'"{p.uninstaller}" {product.UNINSTALL_OPTION}',
                                   ["YES", "YES", "NO"],
                                   then=f'"{p.setup}"')
            self.assertEqual([(r["boxes"], r["exit"]) for r in runs],
                             [(answered((REMOVE, "YES")), 0),
                              (answered((CONFIRM, "YES"), (START, "NO")), 0)])
            removal = runs[0]["children"]
            self.assertTrue(removal, "no delayed removal was running")
            self.assertTrue(p.await_exit(removal), "the delayed removal never ended")

            self.assertTrue(p.exists(p.uninstaller), "the removal deleted the new uninstaller")
            self.assert_installed(p)
            self.assertFalse(p.exists(p.retired))
            self.assertEqual(p.registry_values(ENTRY), registration(p))
            for link in p.links:
                self.assertTrue(p.exists(link), link)

            boxes, code = p.uninstall(self.uninstall_string(p))
            self.assertEqual((boxes, code), (answered((REMOVE, "YES")), 0))
            self.assert_removed(p)

    def test_a_setup_elevated_above_the_desktops_shell_changes_nothing(self):
        # Beside a shell as elevated as itself the setup runs as before; beside
        # a less elevated one, as a player's shell is beside "Run as
        # administrator", neither mode touches anything. start_shell makes
        # either hold on Wine 8 and on Wine 10 alike.
        with Installed() as p:
            p.start_shell()
            self.assertEqual(p.install(), (answered((CONFIRM, "YES"), (START, "NO")), 0))
            p.stop()  # one shell window at a time
            p.start_shell(limited=True)
            p.unix(p.client).write_bytes(b"an older client")
            for command in (f'"{p.setup}"', f'"{p.uninstaller}" {product.UNINSTALL_OPTION}'):
                with self.subTest(command):
                    self.assertEqual(p.robot(command, ["OK"]), (answered((FOREIGN, "OK")), 1))
                    self.assertEqual(p.unix(p.client).read_bytes(), b"an older client")
                    self.assertEqual(p.registry_values(ENTRY), registration(p))


if __name__ == "__main__":
    unittest.main()

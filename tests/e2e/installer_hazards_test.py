"""The real dist/ installer under Wine, on a machine that holds a
leftover staging file, no Edge, or a DLL planted beside the installer."""
import unittest

from release import product
from installer_test import (CONFIRM, REMOVE, START, Installed, InstallerTestCase, answered,
                            registration)
from client_test import EDGE_MISSING
from rig.prefix import DIST, TOOLS, UNINSTALL_KEY


class InstallerHazards(InstallerTestCase):
    def test_a_leftover_staging_file_longer_than_the_client_is_replaced_whole(self):
        with Installed() as p:
            # What an interrupted install leaves behind.
            image = (DIST / product.CLIENT_EXE).read_bytes()
            p.unix(p.install_dir).mkdir(parents=True)
            p.unix(p.staging_file).write_bytes(b"stale" * len(image))
            self.assertEqual(p.install(), (answered((CONFIRM, "YES"), (START, "NO")), 0))
            self.assert_installed(p)

    def test_a_failed_launch_leaves_the_install_in_place(self):
        with Installed(edge=False) as p:
            boxes, code = p.install(["YES", "YES", "NO"])
            self.assertEqual(boxes, answered((CONFIRM, "YES"), (START, "YES"),
                                             (EDGE_MISSING, "NO")))
            self.assertEqual(code, 0)
            self.assert_installed(p)
            for link in p.links:
                self.assertTrue(p.exists(link), link)
            self.assertEqual(p.registry_values(r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY),
                             registration(p))

    def test_the_installer_loads_no_dll_from_its_own_folder(self):
        # Windows looks in a program's own folder first for a DLL that is no
        # KnownDLL, and so does Wine for one whose load order puts native
        # first. A message box loads uxtheme.dll once the entry has run.
        native_first = {"LARKSPIRE_DLL_OVERRIDES": "uxtheme=n,b"}
        with Installed() as p:
            downloads = p.profile + r"\Downloads"
            p.put(TOOLS / "uxtheme.dll", downloads + r"\uxtheme.dll")
            control = p.put(TOOLS / "plain_box.exe", downloads + r"\plain_box.exe")
            mark = p.unix(downloads + r"\uxtheme.dll.loaded")

            def loaders():
                return mark.read_text(encoding="utf-8").splitlines() if mark.exists() else []

            self.assertEqual(p.install(["NO"], env=native_first), (answered((CONFIRM, "NO")), 0))
            self.assertEqual(loaders(), [])
            boxes, code = p.uninstall(f'"{p.setup}" {product.UNINSTALL_OPTION}', ["NO"],
                                      env=native_first)
            self.assertEqual((boxes, code), (answered((REMOVE, "NO")), 0))
            self.assertEqual(loaders(), [])
            # The same box from the same folder, without the restriction.
            self.assertEqual(p.robot(f'"{control}"', ["OK"], env=native_first)[1], 0)
            self.assertEqual(loaders(), [control])


if __name__ == "__main__":
    unittest.main()

"""The real dist/LarkspireSetup.exe under Wine, on a machine that holds a
leftover staging file or no Edge."""
import unittest

from installer_e2e import CONFIRM, START, Installed, InstallerTestCase, answered, registration
from winerig import DIST, EDGE_MISSING, UNINSTALL_KEY


class InstallerHazards(InstallerTestCase):
    def test_a_leftover_staging_file_longer_than_the_client_is_replaced_whole(self):
        with Installed() as p:
            # What an interrupted install leaves behind.
            image = (DIST / "Larkspire.exe").read_bytes()
            p.unix(p.install_dir).mkdir(parents=True)
            p.unix(p.install_dir + r"\Larkspire.new").write_bytes(b"stale" * len(image))
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


if __name__ == "__main__":
    unittest.main()

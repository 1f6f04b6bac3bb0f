"""The real dist/LarkspireSetup.exe under Wine, on a machine that holds a
leftover staging file."""
import unittest

from installer_e2e import CONFIRM, START, Installed, InstallerTestCase, answered
from winerig import DIST


class InstallerHazards(InstallerTestCase):
    def test_a_leftover_staging_file_longer_than_the_client_is_replaced_whole(self):
        with Installed() as p:
            # What an interrupted install leaves behind.
            image = (DIST / "Larkspire.exe").read_bytes()
            p.unix(p.install_dir).mkdir(parents=True)
            p.unix(p.install_dir + r"\Larkspire.new").write_bytes(b"stale" * len(image))
            self.assertEqual(p.install(), (answered((CONFIRM, "YES"), (START, "NO")), 0))
            self.assert_installed(p)


if __name__ == "__main__":
    unittest.main()

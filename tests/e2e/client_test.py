"""The real dist/ client under Wine, with a stand-in msedge.exe."""
import unittest

from expected import MESSAGES
from release import product
from rig.prefix import APP_PATHS, DIST, Prefix, expected_browser_argv

EDGE_MISSING = MESSAGES["edge_missing"]

# Where the tests put the client: a downloads folder of its own.
CLIENT_DIR = r"C:\dl"
CLIENT = CLIENT_DIR + "\\" + product.CLIENT_EXE


def box(expected, answer):
    return dict(expected, answer=answer)


def reg_path(path):
    return '@="' + path.replace("\\", "\\\\") + '"'


def profile_tree(prefix):
    """Every file and folder in the user's profile."""
    root = prefix.unix(prefix.profile)
    return {str(path.relative_to(root)) for path in root.rglob("*")}


class ClientEndToEnd(unittest.TestCase):
    def launch(self, prefix, answers=()):
        client = prefix.put(DIST / product.CLIENT_EXE, CLIENT)
        return prefix.robot(f'"{client}"', answers)

    def test_edge_is_found_in_each_place_and_started_in_app_mode(self):
        places = {
            "HKLM 64-bit App Paths": (r"C:\EdgeMachine\msedge.exe",
                                      [rf"[HKEY_LOCAL_MACHINE\{APP_PATHS}]"]),
            "HKCU App Paths": (r"C:\EdgeUser\msedge.exe",
                               [rf"[HKEY_CURRENT_USER\{APP_PATHS}]"]),
        }
        for name, (edge, key) in places.items():
            with self.subTest(name), Prefix() as prefix:
                prefix.install_standin_edge(edge)
                if key:
                    prefix.import_registry(key + [reg_path(edge)])
                boxes, code = self.launch(prefix)
                self.assertEqual(boxes, [])
                self.assertEqual(code, 0)
                runs = prefix.browser_log(edge)
                self.assertEqual(len(runs), 1)
                self.assertEqual(runs[0]["argv"], expected_browser_argv(prefix, edge))
                self.assertTrue(prefix.exists(prefix.data_dir + r"\BrowserProfile"))

    def test_without_app_paths_the_default_locations_are_tried_in_order(self):
        # Only a machine with Edge in more than one of them shows the order.
        with Prefix() as prefix:
            edges = [prefix.install_standin_edge(folder + r"\Microsoft\Edge\Application\msedge.exe")
                     for folder in (r"C:\Program Files (x86)", r"C:\Program Files", prefix.local)]
            while edges:
                boxes, code = self.launch(prefix)
                self.assertEqual((boxes, code), ([], 0))
                started, *later = edges
                runs = prefix.browser_log(started)
                self.assertEqual([r["argv"] for r in runs],
                                 [expected_browser_argv(prefix, started)], started)
                for edge in later:
                    self.assertEqual(prefix.browser_log(edge, wait=0), [], edge)
                prefix.unix(started).unlink()
                edges = later

    def test_without_edge_only_the_download_offer_appears(self):
        with Prefix() as prefix:
            handler = r"C:\handler\open.exe"
            prefix.route_https_to(handler)
            # The box comes before anything else: not a folder is created.
            before = profile_tree(prefix)
            boxes, code = self.launch(prefix, ["NO"])
            self.assertEqual(boxes, [box(EDGE_MISSING, "NO")])
            self.assertEqual(code, 1)
            self.assertEqual(prefix.browser_log(handler, wait=2), [])
            self.assertEqual(profile_tree(prefix) - before, set(), "created")

            # Started in its own folder, as a shortcut starts the installed
            # client: the browser must not keep that folder as its own.
            boxes, code = prefix.robot(f'"{CLIENT}"', answers=["YES"],
                                       cwd=CLIENT_DIR)
            self.assertEqual(boxes, [box(EDGE_MISSING, "YES")])
            self.assertEqual(code, 1)
            opened = prefix.browser_log(handler)
            self.assertEqual([(r["argv"][1:], r["cwd"].lower()) for r in opened],
                             [(["https://www.microsoft.com/edge/download"],
                               r"c:\windows\system32")])
            self.assertEqual(profile_tree(prefix) - before, set(), "created")


if __name__ == "__main__":
    unittest.main()

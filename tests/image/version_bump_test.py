"""A version bump is one edit: a copy of this tree whose only change is the
next version in common/product.json builds executables whose version block,
manifest and install confirmation carry it, and whose install writes it to
the apps list. A literal kept anywhere else would keep the old version."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import pefile

from release import product
from rig.prefix import UNINSTALL_KEY, Prefix

ROOT = Path(__file__).resolve().parents[2]


def next_version(version):
    major, minor, patch = version.split(".")
    return f"{major}.{minor}.{int(patch) + 1}"


def copy_tree(target):
    """The files of this tree as they are now, committed or not, without
    what git ignores (build folders, dist/)."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = ROOT / name
        if source.is_file():
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / name)


class VersionBump(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="larkspire-bump."))
        cls.tree = cls.work / "tree"
        copy_tree(cls.tree)
        cls.version = next_version(product.VERSION)
        facts_file = cls.tree / "common/product.json"
        facts = json.loads(facts_file.read_text())
        facts["version"] = cls.version
        facts_file.write_text(json.dumps(facts, indent=2) + "\n")
        done = subprocess.run([cls.tree / "scripts/build"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr + done.stdout
        cls.dist = cls.tree / "dist"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_the_executables_carry_the_new_version(self):
        quad = self.version + ".0"
        for name in product.EXECUTABLES:
            image = pefile.PE(str(self.dist / name))
            strings = {k.decode(): v.decode() for group in image.FileInfo for info in group
                       if info.Key == b"StringFileInfo" for table in info.StringTable
                       for k, v in table.entries.items()}
            self.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (quad, quad))
            major, minor, patch = (int(part) for part in self.version.split("."))
            fixed = image.VS_FIXEDFILEINFO[0]
            self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                             (major << 16 | minor, patch << 16))
            self.assertIn(f'<assemblyIdentity version="{quad}"'.encode(),
                          (self.dist / name).read_bytes())
        # The copy's own image check reads the same facts file and agrees.
        done = subprocess.run(["/usr/bin/python3", "-m", "unittest", "image_test"],
                              cwd=self.tree / "tests/image", capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=str(self.tree),
                                       LARKSPIRE_ROOT=str(self.tree)))
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_the_install_confirms_and_registers_the_new_version(self):
        with Prefix() as p:
            setup = p.put(self.dist / product.INSTALLER_EXE, r"C:\dl" "\\" + product.INSTALLER_EXE)
            boxes, code = p.robot(f'"{setup}"', ["YES", "NO"])
            self.assertEqual(code, 0)
            self.assertTrue(boxes[0]["text"].startswith(f"{product.DISPLAY_NAME} {self.version}\n"),
                            boxes[0]["text"])
            p.stop()
            values = p.registry_values(r"HKEY_CURRENT_USER" "\\" + UNINSTALL_KEY)
            self.assertEqual(values["DisplayVersion"], ("REG_SZ", self.version))


if __name__ == "__main__":
    unittest.main()

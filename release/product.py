"""The product's facts, from common/product.json, the one file that defines
them for the C++ build, the release tooling, the rig, the benchmark and the
tests. Each key is a module attribute in upper case (product.CLIENT_EXE);
FACTS keeps the file as read.

    python3 -m release.product KEY    prints one fact, for shell scripts
"""
import json
import sys
from pathlib import Path

FACTS_FILE = Path(__file__).resolve().parents[1] / "common/product.json"
FACTS = json.loads(FACTS_FILE.read_text(encoding="utf-8"))
globals().update({key.upper(): value for key, value in FACTS.items()})

# What the build derives from the facts, in the same forms.
UNINSTALL_KEY_PATH = "\\".join((r"Software\Microsoft\Windows\CurrentVersion\Uninstall",
                                FACTS["uninstall_key"]))
VERSION_QUAD = FACTS["version"] + ".0"
EXECUTABLES = (FACTS["client_exe"], FACTS["installer_exe"])


def main(argv):
    if len(argv) != 1 or argv[0] not in FACTS:
        print(f"release.product: no fact {' '.join(argv) or '(none given)'} in {FACTS_FILE} "
              f"(facts: {', '.join(FACTS)})", file=sys.stderr)
        return 2
    print(FACTS[argv[0]])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

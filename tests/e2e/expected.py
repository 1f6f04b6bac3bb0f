"""The tests' own copy of every message box the product shows, from
tests/expected_messages.json, which the C++ unit tests read as well: a box as
robot.exe reports it, with its caption, text and buttons. {version} in a text
is the product's version; a message without a caption has the product's name
as its caption, as the product's error boxes do."""
import json
from pathlib import Path

from release import product

MESSAGES_FILE = Path(__file__).resolve().parents[1] / "expected_messages.json"
BUTTONS = {"OK": ["OK"], "YESNO": ["YES", "NO"]}


def _box(message):
    buttons = message["style"].split("|")[0]
    return {"caption": message.get("caption", product.NAME),
            "text": message["text"].replace("{version}", product.VERSION),
            "buttons": BUTTONS[buttons]}


MESSAGES = {name: _box(message) for name, message in
            json.loads(MESSAGES_FILE.read_text(encoding="utf-8")).items()}

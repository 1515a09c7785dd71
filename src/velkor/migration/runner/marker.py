"""What the stores held after the last run that changed them, kept in the
project folder (``.velkor/ledger-state.json``), so that a store that was
lost, emptied or cut back is told from one that was never used.

The marker is a small JSON document, written whole to a new file that then
replaces the old one, so that it is never half written::

    {"format": 2,
     "ledger": {"connection": "lakehouse", "location": "...", "records": 6,
                "digest": "...", "logs": {"Migration": 3, "_velkor_metadata": 3}},
     "repository": {"connection": "repository", "location": "...", "records": 6}}

``records`` counts the applied migrations each store held, ``digest``
identifies the ledger's current records, ``logs`` are the versions of the
ledger's table logs (for engines that keep one).
"""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

FILE = Path(".velkor") / "ledger-state.json"
FORMAT = 2


class Marker:
    def __init__(self, root: Path) -> None:
        self.path = root / FILE

    def load(self) -> dict[str, Any]:
        """The last state written; empty when there is none (or it cannot be read)."""
        try:
            state = json.loads(self.path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return {}
        return state if isinstance(state, dict) and state.get("format") == FORMAT else {}

    def save(self, state: dict[str, Any]) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        temporary = self.path.with_name(self.path.name + ".new")
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump({"format": FORMAT, **state}, file, indent=1, sort_keys=True)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, self.path)

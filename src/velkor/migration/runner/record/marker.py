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
ledger's table logs (for engines that keep one). Before a commit, an
``"expected": {"records", "digest"}`` entry says what the ledger is about to
hold, so that a commit cut short is not taken for damage.
"""
from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.redaction import redact_data

if TYPE_CHECKING:
    from velkor.migration.runner.record.ledger import Ledger

FILE = Path(".velkor") / "ledger-state.json"
FORMAT = 2


class Marker:
    def __init__(self, root: Path) -> None:
        self.path = root / FILE
        self.problem: str | None = None  # why the marker that is there cannot be read, if it cannot

    def load(self) -> dict[str, Any]:
        """The last state written; empty when there is none or it cannot be read (``problem`` says why)."""
        self.problem = None
        try:
            text = self.path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return {}
        except (OSError, UnicodeDecodeError) as exc:
            self.problem = f"cannot be read ({getattr(exc, 'strerror', None) or exc})"
            return {}
        try:
            state = json.loads(text)
        except ValueError:
            self.problem = "is not a JSON document (cut short, or overwritten)"
            return {}
        if not isinstance(state, dict) or state.get("format") != FORMAT:
            found = state.get("format") if isinstance(state, dict) else None
            self.problem = f"is not of format {FORMAT} (found {found!r})"
            return {}
        return state

    def save(self, state: dict[str, Any]) -> None:
        """Write the state whole, redacted: the file never holds a password."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        temporary = self.path.with_name(self.path.name + ".new")
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(redact_data({"format": FORMAT, **state}), file, indent=1, sort_keys=True)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, self.path)

    def expect(self, records: list[MigrationFile]) -> None:
        """Note what the ledger is about to hold, before a commit."""
        state = self.load()
        state.pop("format", None)
        state["expected"] = {"records": len(records), "digest": digest(records)}
        try:
            self.save(state)
        except OSError:
            pass  # without it, a cut-short commit that empties a store may be reported as damage

    def expected(self) -> dict[str, Any]:
        """What the stores were to hold after a commit that may have been cut short."""
        expected = self.load().get("expected")
        return expected if isinstance(expected, dict) else {}

    def remember(self, ledger: Ledger, records: list[MigrationFile]) -> str | None:
        """Note what the stores hold now (``records``: what the ledger holds, the
        copy in line with it); a failure is only a note, since the stores are written."""
        try:
            self.save(self._state(ledger, records))
        except OSError as exc:
            return f"could not update {self.path}: {exc.strerror or exc}"
        return None

    @staticmethod
    def _state(ledger: Ledger, records: list[MigrationFile]) -> dict[str, Any]:
        state: dict[str, Any] = {"ledger": {
            "connection": ledger.ledger_name, "location": ledger.location(ledger.ledger_name),
            "records": len(records), "digest": digest(records), "logs": ledger.store.log_versions()}}
        if ledger.copy is not None:
            state["repository"] = {"connection": ledger.copy_name, "location": ledger.location(ledger.copy_name),
                                   "records": len(records)}
        return state

    def remembered(self, ledger: Ledger, role: str, name: str | None) -> dict[str, Any] | None:
        """What the marker says a store (``role``: "ledger" or "repository") held, if it speaks of this store."""
        before = self.load().get(role)
        if not name or not isinstance(before, dict) or not before.get("records"):
            return None
        if before.get("connection") != name or before.get("location") != ledger.location(name):
            return None  # another store: nothing to compare with
        return before


def digest(records: list[MigrationFile]) -> str:
    """Identifies a set of applied migrations (which ones, applied when)."""
    keys = [MigrationKey.of_record(r) for r in records]
    text = "\n".join(sorted(f"{key.module or ''}/{key.name}/{r.applied_at!r}" for key, r in zip(keys, records)))
    return hashlib.sha256(text.encode()).hexdigest()

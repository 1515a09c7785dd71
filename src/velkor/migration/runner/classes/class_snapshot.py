"""The classes of the applied migrations as the last run left them, kept in
the project folder (``.velkor/class-snapshot.json``), so that a run that
applies a few migrations on top of thousands, or loads a few classes, neither
reads nor walks every applied document again: each class's latest definition,
what its definitions reference and which migration first defines it
(``ClassGraph.state``).

A snapshot stands for a list of migrations in the order they apply, each with
the checksum of the text its classes were built from, and for the code that
built them. It counts for a run only when the run's applied migrations begin
with exactly that list (the files as they are now, or the record's texts) and
the rest apply after them: any edit, accepted change, rollback, migration
applied out of order or other runner gives a full build, as without a
snapshot. The snapshot it replaced is kept beside it
(``class-snapshot-previous.json``): an apply after a rollback of the last
one starts from it. A lost, cut-short or foreign snapshot is only a slower
run.
"""
from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pydantic
from velkor_models.schemas.data_models import schema as schema_module
from velkor_models.schemas.data_models.schema import ObjectSchema
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.collector import paused
from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.source import validated
from velkor.migration.runner.source.document import MigrationSource

if TYPE_CHECKING:
    from velkor.migration.runner.classes.reference_graph import Definition

FILE = Path(".velkor") / "class-snapshot.json"
PREVIOUS = Path(".velkor") / "class-snapshot-previous.json"  # the one it replaced
FORMAT = 1

_rules: str | None = None


def rules() -> str:
    """A digest of the code that builds the classes' state from documents and reads it back."""
    global _rules
    if _rules is None:
        digest = hashlib.sha256(f"{validated.rules()} {pydantic.VERSION}".encode())
        for path in (Path(__file__).with_name("reference_graph.py"), Path(__file__), Path(schema_module.__file__),
                     Path(schema_module.__file__).with_name("core.py")):
            try:
                digest.update(path.read_bytes())
            except OSError:
                digest.update(path.name.encode())
        _rules = digest.hexdigest()
    return _rules


def key_of(sources: Sequence[MigrationSource]) -> list[list[Any]] | None:
    """What a snapshot of these migrations is kept under; None when the text of one is not known."""
    if any(source.checksum is None for source in sources):
        return None
    return [[source.module, source.path.name, source.checksum] for source in sources]


@dataclass
class Kept:
    count: int              # the migrations it stands for: the first ``count`` of a run's
    state: dict[str, Any]   # ``ClassGraph.state()`` after them
    path: Path              # the file it was read from


# The file: a line of JSON (the format, the rules and a digest of the rest), a line of JSON (what the
# snapshot stands for, the graph's references), then a line per class: its name, a tab and its latest
# definition (JSON text, read when used).

def load(root: Path, sources: Sequence[MigrationSource]) -> Kept | None:
    """The snapshot of the leading part of ``sources``, when one is kept (the last, or the one before
    it: a rollback of the last apply, then an apply again) and the rest apply after it."""
    with paused():
        return _read(root / FILE, sources) or _read(root / PREVIOUS, sources)


def _read(path: Path, sources: Sequence[MigrationSource]) -> Kept | None:
    try:
        head, _, payload = path.read_bytes().partition(b"\n")
        data = json.loads(head)
        if data.get("format") != FORMAT or data.get("rules") != rules() or data["digest"] != _digest(payload):
            return None
        head, _, body = payload.partition(b"\n")
        data = json.loads(head)
        count = len(data["sources"])
        if not count or count > len(sources) or key_of(sources[:count]) != data["sources"]:
            return None
        last = sources[count - 1].order
        if any(source.order <= last for source in sources[count:]):
            return None  # one applies before a migration the snapshot stands for (out of order)
        latest = dict(line.split("\t", 1) for line in body.decode("utf-8").splitlines())
        return Kept(count, {**data["state"], "latest": latest}, path)
    except (OSError, ValueError, TypeError, KeyError, AttributeError):
        return None


def save(root: Path, sources: Sequence[MigrationSource], state: dict[str, Any], started: Kept | None = None) -> None:
    """Keep the state after ``sources``, or no snapshot (it is only a shortcut); the one it replaces
    becomes the previous one, unless the run started from the previous one (which stays)."""
    path = root / FILE
    key = key_of(sources)
    temporary = path.with_name(f"{path.name}.{os.getpid()}.new")
    try:
        if not key or not path.parent.is_dir():
            path.unlink(missing_ok=True)
            return
        state = dict(state)
        body = "".join(f"{name}\t{entry}\n" for name, entry in state.pop("latest").items()).encode("utf-8")
        payload = json.dumps({"sources": key, "state": state}, separators=(",", ":")).encode("utf-8") + b"\n" + body
        head = json.dumps({"format": FORMAT, "rules": rules(), "digest": _digest(payload)}).encode("utf-8")
        temporary.write_bytes(head + b"\n" + payload)
        if path.is_file() and (started is None or started.path != root / PREVIOUS):
            os.replace(path, root / PREVIOUS)
        os.replace(temporary, path)
    except (OSError, ValueError, TypeError, RecursionError):  # (a read-only project folder: the next run builds)
        for leftover in (temporary, path):
            try:
                leftover.unlink(missing_ok=True)
            except OSError:
                pass


def _digest(body: bytes) -> str:
    return hashlib.sha256(body).hexdigest()


def entry(definition: Definition) -> str:
    """A definition as the class snapshot keeps it: JSON text, read only when the definition is used."""
    return json.dumps([definition.source.module, definition.source.path.name, definition.index,
                       definition.schema.model_dump(mode="json", exclude_unset=True), definition.schema_type.value,
                       list(definition.loc), definition.renamed_from], separators=(",", ":"))


class Definitions(dict):
    """Definitions by class name, read from the class snapshot: each is made from its entry
    when first used (a run uses few of thousands). ``made`` is shared by the maps of one snapshot."""

    def __init__(self, entries: dict[str, str], sources: dict[MigrationKey, MigrationSource],
                 made: dict[str, Definition], make: type[Definition]) -> None:
        super().__init__(entries)
        self._sources = sources
        self._made = made
        self._make = make

    def __getitem__(self, name: str) -> Definition:
        value = super().__getitem__(name)
        if not isinstance(value, str):
            return value
        if name not in self._made:
            module, file_name, index, schema, schema_type, loc, renamed_from = json.loads(value)
            self._made[name] = self._make(self._sources[MigrationKey(module, file_name)], index, name,
                                          ObjectSchema.model_validate(schema), SchemaTypes(schema_type), tuple(loc),
                                          renamed_from)
        return self._made[name]

    def get(self, name: str, default: Any = None) -> Any:
        return self[name] if name in self else default

    def pop(self, name: str, *default: Any) -> Any:
        if name in self:
            found = self[name]
            super().pop(name)
            return found
        return super().pop(name, *default)

    def values(self) -> list[Definition]:  # type: ignore[override]
        return [self[name] for name in self]

    def items(self) -> list[tuple[str, Definition]]:  # type: ignore[override]
        return [(name, self[name]) for name in self]

    def entry(self, name: str) -> str:
        value = super().__getitem__(name)
        return value if isinstance(value, str) else entry(value)

"""Faults injected at the storage calls of a run, and the checks that follow.

A storage call is every step a connection takes on its storage (each read,
each commit of a table or a SQLite transaction, each log or file lookup) and
the write of the runner's marker file. ``inject(at, mode)`` makes call
number ``at`` fail: "raise" raises the I/O error a failing disk would, "exit"
ends the process on the spot (``os._exit``), as a power cut or ``kill -9``
would between two calls.

Run as a script, it injects the fault given by VELKOR_FAULT ("AT:MODE") and
runs ``velkor-migrate`` with the rest of the command line; with AT 0 it only
counts, and prints the count of storage calls on stderr at exit.
"""
from __future__ import annotations

import atexit
import errno
import os
import sys
from collections import Counter
from pathlib import Path

from velkor_data.engines.base import Connection

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record.marker import Marker
from velkor.migration.runner.record.tables import CURRENT, MIGRATION
from velkor.migration.runner.project import Project

EXIT_STATUS = 99
_original_guarded = Connection._guarded
_original_save = Marker.save


class Injector:
    def __init__(self, at: int, mode: str) -> None:
        self.at, self.mode, self.calls = at, mode, 0

    def hit(self) -> None:
        self.calls += 1
        if self.calls == self.at:
            if self.mode == "exit":
                os._exit(EXIT_STATUS)
            raise OSError(errno.EIO, "Input/output error (injected)")

    def install(self) -> None:
        injector = self

        def guarded(connection, where, step, *args):
            def faulty(*a):
                injector.hit()
                return step(*a)
            return _original_guarded(connection, where, faulty, *args)

        def save(marker, state):
            injector.hit()
            return _original_save(marker, state)

        Connection._guarded = guarded
        Marker.save = save

    @staticmethod
    def uninstall() -> None:
        Connection._guarded = _original_guarded
        Marker.save = _original_save


def stored_keys(root: Path) -> list:
    """The keys of the ledger's current records, after checking that the
    stores agree and that no migration is recorded twice."""
    project = Project(root)
    with project.active():
        ledger = project.recorder.ledger
        rows = ledger.store.query(address=MIGRATION, conditions=CURRENT)
        keys = [MigrationKey.of_row(row) for row in rows]
        assert len(keys) == len(set(keys)), f"a migration is recorded twice: {keys}"
        if ledger.copy is not None:
            copy = ledger.copy.query(address=MIGRATION, conditions=CURRENT)
            assert sorted(map(str, (MigrationKey.of_row(row) for row in copy))) == sorted(map(str, keys)), \
                "the repository differs from the ledger"
            assert {row["_metadata"]["address"]["object_id"] for row in copy} == {
                row["_metadata"]["address"]["object_id"] for row in rows}
        ledger.connections.close()
    return keys


def events(root: Path) -> Counter:
    """How often each migration was saved ("saved", key) and withdrawn ("deleted", key) in the ledger's history."""
    project = Project(root)
    with project.active():
        ledger = project.recorder.ledger
        counted: Counter = Counter()
        for entry in ledger.store.history("Migration"):
            data, metadata = entry["data"], entry["metadata"]
            if data is None or metadata is None:
                continue  # the data of a version removed from the table, or a version never described
            counted["deleted" if entry["is_deleted"] else "saved", MigrationKey.of_row(data)] += 1
        ledger.connections.close()
    return counted


def main() -> None:
    at, _, mode = os.environ["VELKOR_FAULT"].partition(":")
    injector = Injector(int(at), mode)
    injector.install()
    if injector.at == 0:
        atexit.register(lambda: print(f"storage calls: {injector.calls}", file=sys.stderr))
    from velkor.migration.runner.cli import run
    code = run(sys.argv[1:])
    sys.stdout.flush()
    sys.exit(code)


if __name__ == "__main__":
    main()

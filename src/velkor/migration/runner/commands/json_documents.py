"""The JSON documents of the commands (``--format json``), for deploy
scripts and CI gates: ``status``, ``history``, ``plan`` and ``check``, which
read; ``apply``, ``rollback`` and ``baseline``, which change the record; and
``show``.

Each command writes exactly one document to stdout, also when it fails, and
exits with the status it has in text: 0 done, 1 error, 2 bad usage (the
command line could not be read: argparse's text on stderr, no document),
3 lock timeout, 130 interrupted. Every document holds ``command``,
``version`` (of the document's shape: it changes only when a field changes
its meaning or goes away; fields may be added), ``ok``, ``warnings`` and
``error`` (null, or ``{"message", "exit_status"}``). Notes for people still
go to stderr. The shapes: docs/json-output.md and docs/json-output.schema.json.
"""
from __future__ import annotations

import json
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.reference_graph import Batch
from velkor.migration.runner.key import APP, MigrationKey, label_of
from velkor.migration.runner.output import Output
from velkor.migration.runner.redaction import redact_data
from velkor.migration.runner.record.history import HistoryEntry
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.state import MigrationState, RecordReport

VERSION = 1


def iso(timestamp: float | None) -> str | None:
    """A time as ISO 8601 in UTC: ``2026-12-08T06:29:31.371171+00:00``."""
    if timestamp is None:
        return None
    return datetime.fromtimestamp(timestamp, timezone.utc).isoformat()


def emit(out: Output, command: str, body: dict[str, Any], error: str | None = None, exit_status: int = 0) -> int:
    """Write the command's document, redacted (no password in any field); its exit status."""
    document = {"command": command, "version": VERSION, "ok": error is None, **body,
                "warnings": list(out.warnings),
                "error": None if error is None else {"message": error, "exit_status": exit_status}}
    out.line(json.dumps(redact_data(document), indent=2, ensure_ascii=False))
    return exit_status


def migration(source: MigrationSource) -> dict[str, Any]:
    """How a document names a migration file."""
    return source.summary()


def applied(source: MigrationSource, batch: Batch | None) -> dict[str, Any]:
    """A migration that a run of ``apply`` recorded, with the classes it compiled."""
    return {**migration(source), "classes": [d.name for d in batch.own] if batch else [],
            "compiled_again": [d.name for d in batch.followers] if batch else []}


def recorded(record: MigrationFile, source: MigrationSource | None) -> dict[str, Any]:
    """A record of an applied migration (its file may be gone)."""
    key = MigrationKey.of_record(record)
    fields = migration(source) if source is not None else {
        "migration": key.label, "module": key.module or APP, "number": record.number,
        "name": Path(key.name).stem, "file": None}
    return {**fields, "applied_at": iso(record.applied_at)}


def record(report: RecordReport) -> dict[str, Any]:
    return {
        "ok": not report.problems(),
        "damage": list(report.damage),
        "file_missing": [label_of(r) for r in report.missing],
        "changed": [source.label for source in report.changed],
        "out_of_order": [{"migration": source.label, "applied_after": later.label}
                         for source, later in report.out_of_order],
        "repository": report.differences.labels(),
        "duplicates": list(report.duplicates),
        "problems": report.problems(),
    }


def state(item: MigrationState) -> dict[str, Any]:
    fields = migration(item.source) if item.source is not None else {
        "migration": item.label, "module": item.module, "number": item.number, "name": item.name, "file": None}
    return {**fields, "state": item.state.replace(" ", "_"), "applied_at": iso(item.applied_at),
            "changed_since_applied": item.changed, "out_of_order": item.applied_after is not None,
            "applied_after": item.applied_after.label if item.applied_after else None}


def status(states: list[MigrationState], report: RecordReport) -> dict[str, Any]:
    count = {name: sum(1 for s in states if s.state == name) for name in ("applied", "pending", "file missing")}
    return {
        "summary": {"migrations": count["applied"] + count["pending"], "applied": count["applied"],
                    "pending": count["pending"], "file_missing": count["file missing"],
                    "changed": len(report.changed), "out_of_order": len(report.out_of_order)},
        "migrations": [state(item) for item in states],
        "record": record(report),
    }


def history(lakehouse: str, entries: list[HistoryEntry]) -> dict[str, Any]:
    return {"lakehouse": lakehouse, "versions": [{
        "written_at": iso(entry.written_at), "event": "deleted" if entry.deleted else "saved",
        "migration": entry.label, "module": entry.module, "name": entry.migration,
        "number": (entry.data or {}).get("number"), "applied_at": iso((entry.data or {}).get("applied_at")),
        "object_id": entry.object_id, "object_version": entry.object_version, "transaction": entry.transaction,
        "recorded_as": entry.run.event if entry.run else None, "user": entry.run.user if entry.run else None,
        "host": entry.run.host if entry.run else None, "seconds": entry.run.seconds if entry.run else None,
    } for entry in entries]}

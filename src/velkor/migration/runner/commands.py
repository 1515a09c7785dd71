"""What each command of ``velkor-migrate`` does and prints."""
from __future__ import annotations

import time
from pathlib import Path

from velkor_data.connections.manager import ConnectionsManager
from velkor_data.manager import VelkorDataManager

from velkor.migration.data_classes import MigrationFile
from velkor.migration.runner.checksums import file_checksum
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.files import MigrationSource, find, load_all
from velkor.migration.runner.lock import project_lock
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import (
    STORAGE_ERRORS, Project, record_key, record_label, storage_message)
from velkor.migration.runner.review import Review, review

LOCK_FILE = Path(".velkor") / "migrate.lock"
PROGRESS_FROM = 10  # a run applying at least this many migrations shows a progress bar on a terminal
EXIT_INTERRUPTED = 130


def when(timestamp: float | None) -> str:
    if timestamp is None:
        return "?"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else words or word + 's'}"


def locked(project: Project, purpose: str, wait: float, out: Output):
    lock = project_lock(project.config, project.root, LOCK_FILE, purpose)
    lock.acquire(wait, on_wait=out.note)
    return lock


class Interrupted(MigrationError):
    """Ctrl-C ended the run; the message says what is recorded."""

    exit_code = EXIT_INTERRUPTED


def prepare(project: Project, out: Output) -> list[MigrationFile]:
    """Before a run changes anything: stop at a damaged store, and bring the
    repository's copy in line with the ledger (what an interrupted run left)."""
    ledger = project.ledger
    with project.storage("checking the stores"):
        problems = ledger.damage()
    if problems:
        raise MigrationError("damaged store, nothing was changed: " + "\n".join(problems))
    with project.storage("bringing the repository in line with the ledger"):
        differences = ledger.reconcile()
    if differences:
        out.note(f"Brought the repository in line with the ledger: {differences.describe(done=True)}.")
    return project.applied_records()


def recorded_keys(project: Project) -> set | None:
    """What the ledger holds now (None when it cannot be read)."""
    try:
        return {record_key(r) for r in project.applied_records()}
    except MigrationError:
        return None


def finish(project: Project, out: Output, records: list[MigrationFile] | None = None) -> None:
    """Remember what the stores hold (``records``, when the run knows them),
    for the damage check of the next run. What a run wrote is written: a
    failure here is only a note."""
    ledger = project.ledger
    try:
        with project.storage("reading the stores back"):
            note = ledger.remember(ledger.records() if records is None else records)
    except MigrationError as exc:
        note = f"could not note what the stores hold ({exc}); the next run checks them without it"
    if note:
        out.note(note)


COPY_BEHIND = "; the repository's copy is not written: the next apply, rollback or repair brings it in line"


def commit_failure(project: Project, transaction, what: str, exc: BaseException) -> MigrationError:
    """A commit that failed: its cause, and whether the ledger got written before it."""
    failure = MigrationError(f"{what}: {storage_message(exc)}")
    failure.copy_behind = project.ledger.ledger_name in transaction.committed  # type: ignore[attr-defined]
    return failure


def behind(failure: BaseException) -> str:
    return COPY_BEHIND if getattr(failure, "copy_behind", False) else ""


def apply(project: Project, out: Output, to: str | None = None, wait: float = 30.0,
          out_of_order: bool = False, accept_changed: list[str] = ()) -> int:
    target = find(project.sources, to) if to is not None else None
    accepted = {find(project.sources, reference).key for reference in accept_changed}
    with locked(project, "apply", wait, out):
        records = prepare(project, out)
        applied = {record_key(r) for r in records}
        pending = [s for s in project.sources if s.key not in applied]
        if target is not None:
            pending = pending[:pending.index(target) + 1] if target in pending else [
                s for s in pending if project.sources.index(s) < project.sources.index(target)]
        found = review(project, records)
        refuse_changed(found, accepted)
        if not out_of_order:
            refuse_out_of_order(found, pending)
        checksum_updates = [s for s in found.changed + found.unrecorded
                            if s.key in accepted or s in found.unrecorded]
        if not pending:
            if checksum_updates:
                record_checksums(project, found, checksum_updates, out)
            out.line(f"Nothing to apply: {f'{target.label} is applied' if target else 'every migration is applied'}.")
            finish(project, out)
            return 0
        # Everything this run needs is checked before anything is applied.
        done = project.applied_sources(records, load=False)
        load_all(project.sources, only=done + pending)
        try:
            registry = project.replay(done)
        except MigrationError as exc:
            raise MigrationError(f"rebuilding the classes of the applied migrations: {exc}") from None
        if done:
            out.line(f"Compiled the classes of {plural(len(done), 'applied migration')}.", "dim")
        out.line(f"Applying {plural(len(pending), 'migration')}:")
        bar = out.progress(len(pending), "applying") if len(pending) >= PROGRESS_FROM else None
        width = max(len(s.label) for s in pending)
        compiled, failure, committed, saved = 0, None, False, []
        ledger = project.ledger
        try:
            with ledger.transaction() as transaction:
                stage_checksums(project, found, checksum_updates)
                for source in pending:
                    if bar:
                        bar.update(compiled, source.label)
                    try:
                        classes = project.compile(registry, source)
                    except MigrationError as exc:
                        failure = exc
                        break
                    saved.append(project.save(source, applied_at=time.time()))
                    stage_checksums(project, found, [source])
                    compiled += 1
                    if not bar:
                        out.line(f"  {out.paint(source.label.ljust(width), 'green')}  {', '.join(classes)}")
                if bar:
                    bar.update(compiled)
                    bar.close()
                    bar = None
                with project.storage("recording the applied migrations"):
                    try:
                        ledger.commit(transaction)
                        committed = True
                    except STORAGE_ERRORS as exc:
                        failure = commit_failure(project, transaction, "recording the applied migrations", exc)
        except KeyboardInterrupt:
            if bar:
                bar.close()
            raise Interrupted(f"interrupted: {applied_summary(pending, recorded_keys(project))}") from None
        # A completed commit recorded what was compiled; otherwise the ledger tells.
        recorded = applied | {s.key for s in pending[:compiled]} if committed else recorded_keys(project)
        if failure is not None:
            summary = applied_summary(pending, recorded)
            raise MigrationError(f"{failure}\n{summary[:-1]}{behind(failure)}.") from None
        finish(project, out, records + saved)
        note_accepted(found, checksum_updates, out)
        out.line(f"Applied {plural(compiled, 'migration')}; {len(project.sources) - len(recorded)} pending.", "bold")
    return 0


def applied_summary(pending: list[MigrationSource], recorded: set | None) -> str:
    """How much of a run is recorded, as ``status`` will tell it."""
    if recorded is None:
        return "the ledger could not be read back: `velkor-migrate status` tells what is recorded."
    count = sum(1 for s in pending if s.key in recorded)
    if count == len(pending):
        return f"Applied {plural(count, 'migration')}."
    first = next(s for s in pending if s.key not in recorded)
    rest = len(pending) - count - 1
    note = f"Applied {count} of {len(pending)}; {first.label} was not applied"
    if rest:
        note += f", nor the {plural(rest, 'migration')} after it"
    return note + "."


def refuse_changed(found: Review, accepted: set) -> None:
    changed = [s for s in found.changed if s.key not in accepted]
    if changed:
        labels = ", ".join(s.label for s in changed)
        raise MigrationError(
            f"changed since applied: {labels} (the file differs from the one that was applied); restore it, "
            f"or accept the change with --accept-changed {changed[0].label}")


def refuse_out_of_order(found: Review, pending: list[MigrationSource]) -> None:
    late = [(source, later) for source, later in found.out_of_order if source in pending]
    if late:
        source, later = late[0]
        more = f" (and {plural(len(late) - 1, 'other')})" if len(late) > 1 else ""
        raise MigrationError(
            f"{source.label} is pending but {later.label}, numbered after it, is applied{more}: "
            "apply it anyway with --out-of-order, or give it a number after the applied ones")


def stage_checksums(project: Project, found: Review, sources: list[MigrationSource]) -> None:
    """Record the files' checksums as the applied ones (staged in the current transaction)."""
    checksums = project.ledger.checksums()
    with project.storage("recording the checksums of the applied migrations"):
        for source in sources:
            now = found.checksums.get(source.key) or file_checksum(source.path)
            checksums.record(source.key, now, prior=found.stored_for(source))


def record_checksums(project: Project, found: Review, sources: list[MigrationSource], out: Output) -> None:
    ledger = project.ledger
    with ledger.transaction() as transaction:
        stage_checksums(project, found, sources)
        with project.storage("recording the checksums of the applied migrations"):
            ledger.commit(transaction)
    note_accepted(found, sources, out)


def note_accepted(found: Review, sources: list[MigrationSource], out: Output) -> None:
    accepted = [s.label for s in sources if s in found.changed]
    if accepted:
        out.line(f"Accepted the changed {'file' if len(accepted) == 1 else 'files'} of {', '.join(accepted)}.")


def rollback(project: Project, out: Output, steps: int = 1, wait: float = 30.0) -> int:
    if steps < 1:
        raise MigrationError(f"--steps must be 1 or more, got {steps}")
    with locked(project, "rollback", wait, out):
        records = prepare(project, out)
        if not records:
            out.line("Nothing to roll back: no migration is applied.")
            finish(project, out)
            return 0
        victims = records[-steps:][::-1]
        leaving = {record_key(r) for r in victims}
        blocked = []
        for record in records[:-steps]:
            source = project.source_of(record)
            if source is None:
                continue  # a missing file cannot tell what it needs, nor can an unreadable one
            try:
                load_all(project.sources, only=[source])
            except MigrationError:
                continue
            for reference in source.document.depends_on:
                needed = find(project.sources, reference)
                if needed.key in leaving:
                    blocked.append(f"{source.label} depends on {needed.label}")
        if blocked:
            raise MigrationError("cannot roll back: " + "; ".join(blocked)
                                 + " (roll back the dependent migrations first)")
        ledger = project.ledger
        with project.storage("reading the checksums of the applied migrations"):
            checksums = ledger.checksums()
            stored = checksums.read()
        out.line(f"Rolling back {plural(len(victims), 'migration')}:")
        width = max(len(record_label(r)) for r in victims)
        failure, committed = None, False
        try:
            with ledger.transaction() as transaction:
                for record in victims:
                    project.delete(record)
                    if record_key(record) in stored:
                        with project.storage(f"{record_label(record)}: withdrawing its checksum"):
                            checksums.withdraw(record_key(record), stored[record_key(record)])
                    out.line(f"  {out.paint(record_label(record).ljust(width), 'yellow')}  "
                             f"applied {when(record.applied_at)}")
                with project.storage("recording the withdrawals"):
                    try:
                        ledger.commit(transaction)
                        committed = True
                    except STORAGE_ERRORS as exc:
                        failure = commit_failure(project, transaction, "recording the withdrawals", exc)
        except KeyboardInterrupt:
            raise Interrupted(f"interrupted: {withdrawn_summary(victims, recorded_keys(project))}") from None
        recorded = {record_key(r) for r in records} - leaving if committed else recorded_keys(project)
        if failure is not None:
            summary = withdrawn_summary(victims, recorded)
            raise MigrationError(f"{failure}\n{summary[:-1]}{behind(failure)}.") from None
        finish(project, out, [r for r in records if record_key(r) not in leaving])
        out.line(f"Rolled back {plural(len(victims), 'migration')}; {len(recorded or ())} applied.", "bold")
    return 0


def withdrawn_summary(victims: list[MigrationFile], recorded: set | None) -> str:
    if recorded is None:
        return "the ledger could not be read back: `velkor-migrate status` tells what is recorded."
    still = [record_label(r) for r in victims if record_key(r) in recorded]
    if not still:
        return f"Rolled back {plural(len(victims), 'migration')}."
    return (f"Rolled back {len(victims) - len(still)} of {len(victims)}; "
            f"{', '.join(still)} {'is' if len(still) == 1 else 'are'} still applied.")


def repair(project: Project, out: Output, from_repository: bool = False, wait: float = 30.0) -> int:
    """Make the stores agree: the repository's rows from the ledger (or, with
    ``from_repository``, the ledger's current records from the repository),
    and accept them as they are now."""
    with locked(project, "repair", wait, out):
        ledger = project.ledger
        with project.storage("repairing the stores"):
            done = ledger.repair(from_repository)
        for line in done:
            out.note(line)
        finish(project, out)
        records = project.applied_records()
        out.line(f"Repaired: the stores agree on {plural(len(records), 'applied migration')}.", "bold")
    return 0


def status(project: Project, out: Output) -> int:
    ledger = project.ledger
    with project.storage("checking the stores"):
        problems = ledger.damage()
    if problems:
        raise MigrationError("damaged store: " + "\n".join(problems))
    records = project.applied_records()
    found = review(project, records)
    changed = {s.key for s in found.changed}
    late = {source.key for source, _ in found.out_of_order}
    by_key = {record_key(r): r for r in records}
    rows = []
    for source in project.sources:
        record = by_key.pop(source.key, None)
        if record is None:
            state = ("pending (out of order)", "red") if source.key in late else ("pending", "yellow")
        elif source.key in changed:
            state = (f"{when(record.applied_at)} (changed since applied)", "red")
        else:
            state = (when(record.applied_at), "green")
        rows.append([str(source.number), source.name, source.module_label, state])
    pending = sum(1 for row in rows if row[3][0].startswith("pending"))
    for record in by_key.values():  # recorded, but the file is gone
        rows.append([str(record.number), Path(record.path.name).stem, record.module or "app",
                     (f"{when(record.applied_at)} (file missing)", "red")])
    summary = (f"{plural(len(project.sources), 'migration')}: {len(project.sources) - pending} applied, "
               f"{pending} pending")
    if by_key:
        summary += f"; {len(by_key)} recorded as applied without a file"
    if changed:
        summary += f"; {len(changed)} changed since applied"
    out.line(summary + ".")
    if rows:
        out.table(["#", "migration", "module", "applied at"], rows, right=frozenset({0}))
    with project.storage("comparing the repository with the ledger"):
        differences = ledger.differences()
    if differences:
        out.note(f"The repository {differences.describe(done=False)}; the next apply, rollback or repair "
                 "brings it in line.")
    return 0


def history(project: Project, out: Output) -> int:
    config = project.config
    lakehouse = config.resources_config.lakehouse
    if not lakehouse:
        raise MigrationError("no lakehouse is configured (resources_config.lakehouse in velkor.toml): "
                             "the history of the applied migrations is kept there")
    manager = ConnectionsManager(list(config.connections.values()))
    try:
        entries = manager.get_connection(lakehouse).history("Migration")
    except STORAGE_ERRORS as exc:
        raise MigrationError(f"reading the history: {storage_message(exc)}") from None
    finally:
        manager.close()
    rows = []
    for entry in entries:
        data = entry["data"] or {}
        name = Path(data["migration_name"]).stem if data.get("migration_name") else f"object {entry['object_id']}"
        event = ("deleted", "yellow") if entry["is_deleted"] else ("saved", "green")
        transaction = (entry["transaction"] or {}).get("object_id") or "?"
        module = (data.get("module_name") or "app") if data else "?"
        rows.append([when(entry["written_at"]), event, name, module, transaction])
    out.line(f"History of the applied migrations in the lakehouse {lakehouse!r}: "
             f"{plural(len(rows), 'version')}, oldest first.")
    if rows:
        out.table(["when", "event", "migration", "module", "transaction"], rows)
    return 0


def show(project: Project, out: Output, class_name: str) -> int:
    load_all(project.sources)
    defining = [s for s in project.sources if any(e.class_name == class_name for e in s.document.schemas)]
    if not defining:
        known = sorted({e.class_name for s in project.sources for e in s.document.schemas})
        raise MigrationError(f"no migration defines the class {class_name!r} "
                             f"(defined: {', '.join(known) or 'none'})")
    source = defining[-1]
    registry = project.replay(project.sources[:project.sources.index(source)])
    entry = next(e for e in source.document.schemas if e.class_name == class_name)
    imports, text = registry._build_class_source(class_name, entry.object_schema, source.schema_type(entry))
    out.line(f"# {class_name}, as {source.label} defines it (schema type {source.schema_type(entry).value})", "dim")
    if imports.strip():
        out.line(imports.rstrip("\n"))
        out.line()
    out.line(text.rstrip())
    return 0


def check(project: Project, out: Output) -> int:
    load_all(project.sources)
    registry = project.replay(project.sources)
    classes = len(registry._classes)
    problems = record_problems(project)
    if not problems:
        out.line(f"Checked {plural(len(project.sources), 'migration')}: "
                 f"all valid, {plural(classes, 'class', 'classes')} compile.", "green")
        return 0
    out.line(f"Checked {plural(len(project.sources), 'migration')}: the files are valid and "
             f"{plural(classes, 'class', 'classes')} compile, but the record of applied migrations "
             f"has {plural(len(problems), 'problem')}:")
    raise MigrationError("\n".join(problems))


def record_problems(project: Project) -> list[str]:
    """What is wrong with the record of applied migrations, a line each."""
    ledger = project.ledger
    with project.storage("checking the stores"):
        problems = ledger.damage()
    if problems:
        return problems
    records = project.applied_records()
    found = review(project, records)
    missing = [record_label(r) for r in records if project.source_of(r) is None]
    if missing:
        problems.append(f"recorded as applied, but the file is gone: {', '.join(missing)}")
    for source in found.changed:
        problems.append(f"{source.label} changed since it was applied (restore the file, or accept it with "
                        f"apply --accept-changed {source.label})")
    for source, later in found.out_of_order:
        problems.append(f"{source.label} is pending but {later.label}, numbered after it, is applied "
                        "(apply it with --out-of-order, or renumber it)")
    with project.storage("comparing the repository with the ledger"):
        differences = ledger.differences()
    if differences:
        problems.append(f"the repository {differences.describe(done=False)} (the next apply, rollback or "
                        "repair brings it in line)")
    return problems

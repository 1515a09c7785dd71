"""What each command of ``velkor-migrate`` does and prints."""
from __future__ import annotations

import json
import re
import time
from pathlib import Path

from velkor.configs.main import settings
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.data_classes import MigrationFile
from velkor.migration.utils import contrib_to_module_root_path
from velkor.migration.runner.checksums import file_checksum
from velkor.migration.runner.errors import Interrupted, MigrationError, cut
from velkor.migration.runner.file_schema import SCHEMA_PATH
from velkor.migration.runner.files import (
    APP, MODULE_NAME, MigrationSource, contrib_modules, declared_dependencies, display_path, find, load_all)
from velkor.migration.runner.diff import source_diff
from velkor.migration.runner.lock import project_lock
from velkor.migration.runner.outlook import outlook, pending_sources
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import (
    STORAGE_ERRORS, Project, record_key, record_label, storage_message)
from velkor.migration.runner import formats
from velkor.migration.runner.references import Batch
from velkor.migration.runner.report import lakehouse_history, migration_states, record_report
from velkor.migration.runner.review import Review, review

LOCK_FILE = Path(".velkor") / "migrate.lock"
PROGRESS_FROM = 10  # a run applying at least this many migrations shows a progress bar on a terminal


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
        pending = pending_sources(project, records, target)
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
        registry, batches = _prepare(project, done, pending)
        if done:
            needed = {name for names in project.compiled for name in names}
            out.line(f"Compiled {plural(len(needed), 'class', 'classes')} of the applied migrations "
                     "that the pending ones need.", "dim")
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
                    batch = batches.get(source.key)
                    try:
                        if batch is not None:
                            project.compile(registry, source, batch.definitions)
                    except MigrationError as exc:
                        failure = exc
                        break
                    saved.append(project.save(source, applied_at=time.time()))
                    stage_checksums(project, found, [source])
                    compiled += 1
                    if not bar:
                        out.line(f"  {out.paint(source.label.ljust(width), 'green')}  {_classes_of(batch)}")
                if bar:
                    bar.update(compiled)
                    bar.close()
                    bar = None
                with project.storage("recording the applied migrations"):
                    try:
                        ledger.commit(transaction, records + saved)
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


def _prepare(project: Project, done: list[MigrationSource], pending: list[MigrationSource]
             ) -> tuple[DefaultMigrationSchemas, dict[tuple, Batch]]:
    """A registry holding the applied classes that the pending migrations need, and the
    pending migrations' batches by migration."""
    graph = project.graph(done + pending)
    needed = graph.needs(graph.compiled_by(pending))
    waiting = {source.key for source in pending}
    batches = graph.plan(needed)
    try:
        registry = project.replay([batch for batch in batches if batch.source.key not in waiting])
    except MigrationError as exc:
        raise MigrationError(f"rebuilding the classes of the applied migrations: {exc}") from None
    return registry, {batch.source.key: batch for batch in batches if batch.source.key in waiting}


def _classes_of(batch: Batch | None) -> str:
    if batch is None:
        return "(no classes)"
    text = ", ".join(d.name for d in batch.own)
    if batch.followers:
        text += f" (compiled again: {', '.join(d.name for d in batch.followers)})"
    return text


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
            for reference in declared_dependencies(source):
                try:
                    needed = find(project.sources, reference)
                except MigrationError:
                    continue
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
                        ledger.commit(transaction, [r for r in records if record_key(r) not in leaving])
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


def status(project: Project, out: Output, fmt: str = "text") -> int:
    report = record_report(project)
    if report.damage:
        message = "damaged store: " + "\n".join(report.damage)
        if fmt == "json":
            return formats.emit(out, "status", {"project": str(project.root), "record": formats.record(report)},
                                error=message, exit_status=1)
        raise MigrationError(message)
    states = migration_states(project, report)
    if fmt == "json":
        return formats.emit(out, "status", {"project": str(project.root), **formats.status(states, report)})
    rows = []
    for item in states:
        if item.source is None:  # recorded, but the file is gone
            state = (f"{when(item.applied_at)} (file missing)", "red")
        elif item.applied_at is None:
            state = ("pending (out of order)", "red") if item.applied_after else ("pending", "yellow")
        elif item.changed:
            state = (f"{when(item.applied_at)} (changed since applied)", "red")
        else:
            state = (when(item.applied_at), "green")
        rows.append([str(item.number), item.name, item.module, state])
    pending = sum(1 for item in states if item.state == "pending")
    summary = (f"{plural(len(project.sources), 'migration')}: {len(project.sources) - pending} applied, "
               f"{pending} pending")
    if report.missing:
        summary += f"; {len(report.missing)} recorded as applied without a file"
    if report.changed:
        summary += f"; {len(report.changed)} changed since applied"
    out.line(summary + ".")
    if rows:
        out.table(["#", "migration", "module", "applied at"], rows, right=frozenset({0}))
    if report.differences:
        out.note(f"The repository {report.differences.describe(done=False)}; the next apply, rollback or repair "
                 "brings it in line.")
    return 0


def history(project: Project, out: Output, fmt: str = "text") -> int:
    lakehouse, entries = lakehouse_history(project)
    if fmt == "json":
        return formats.emit(out, "history", {"project": str(project.root), **formats.history(lakehouse, entries)})
    rows = []
    for entry in entries:
        name = entry.migration or f"object {entry.object_id}"
        event = ("deleted", "yellow") if entry.deleted else ("saved", "green")
        rows.append([when(entry.written_at), event, name, entry.module or "?", entry.transaction or "?"])
    out.line(f"History of the applied migrations in the lakehouse {lakehouse!r}: "
             f"{plural(len(rows), 'version')}, oldest first.")
    if rows:
        out.table(["when", "event", "migration", "module", "transaction"], rows)
    return 0


def show(project: Project, out: Output, class_name: str, diff: bool = False) -> int:
    view = outlook(project)
    if diff:
        return source_diff(view, out, class_name)
    last = view.last_batch_of(class_name)
    definition, text = view.source_text(class_name, last)
    batch = view.graph.batches[last]
    state = "applied" if view.is_applied(last) else "pending"
    if definition.source is not batch.source:
        state += f", compiled again by {batch.source.label}, which changes a class it references"
    out.line(f"# {class_name}, as {definition.source.label} defines it "
             f"(schema type {definition.registration()[2].value}); {state}", "dim")
    out.line(text.rstrip("\n"))
    return 0


def check(project: Project, out: Output, fmt: str = "text") -> int:
    load_all(project.sources)
    registry = project.replay(project.graph(project.sources).plan())
    classes = len(registry._classes)
    report = record_report(project)
    problems = report.problems()
    if fmt == "json":
        body = {"project": str(project.root), "summary": {"migrations": len(project.sources), "classes": classes},
                "record": formats.record(report)}
        return formats.emit(out, "check", body, error="\n".join(problems) or None, exit_status=1 if problems else 0)
    if not problems:
        out.line(f"Checked {plural(len(project.sources), 'migration')}: "
                 f"all valid, {plural(classes, 'class', 'classes')} compile.", "green")
        return 0
    out.line(f"Checked {plural(len(project.sources), 'migration')}: the files are valid and "
             f"{plural(classes, 'class', 'classes')} compile, but the record of applied migrations "
             f"has {plural(len(problems), 'problem')}:")
    raise MigrationError("\n".join(problems))


def new(project: Project, out: Output, name: str, module: str | None = None) -> int:
    """Write the next numbered migration file of the app (or of a contrib module), valid and empty."""
    slug = re.sub(r"[^A-Za-z0-9]+", "_", name).strip("_").lower()
    if not slug:
        raise MigrationError(f"{cut(repr(name))} does not make a file name: use letters and digits")
    module = None if module in (None, APP) else module
    if module is None:
        folder = settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
    else:
        if not MODULE_NAME.fullmatch(module) or not (settings.CONTRIB_PATH / module).is_dir():
            known = ", ".join(contrib_modules()) or "none"
            raise MigrationError(f"no contrib module {cut(repr(module))}: there is no folder "
                                 f"contrib/{cut(module, 40)}/ (contrib modules: {known})")
        folder = contrib_to_module_root_path(module)
    number = max((s.number for s in project.sources if s.module == module), default=0) + 1
    path = folder / f"{number:04d}_{slug}.json"
    folder.mkdir(parents=True, exist_ok=True)
    document = {"description": name.strip(), "depends_on": [], "schemas": []}
    try:
        with path.open("x", encoding="utf-8") as file:
            file.write(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
    except OSError as exc:
        raise MigrationError(f"{display_path(path)}: cannot write the file: {exc.strerror or exc}") from None
    out.line(f"Created {display_path(path)}: add the classes to its \"schemas\" (see velkor-migrate schema).")
    return 0


def schema(project: Project | None, out: Output) -> int:
    """Print the JSON Schema of a migration file."""
    out.line(SCHEMA_PATH.read_text(encoding="utf-8").rstrip("\n"))
    return 0

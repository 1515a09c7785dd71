"""What each command of ``velkor-migrate`` does and prints."""
from __future__ import annotations

import json
import re
import time
from pathlib import Path

from velkor_data.connections.manager import ConnectionsManager
from velkor_data.manager import VelkorDataManager

from velkor.configs.main import settings
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.utils import contrib_to_module_root_path
from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.file_schema import SCHEMA_PATH
from velkor.migration.runner.files import (
    APP, MODULE_NAME, MigrationSource, contrib_modules, display_path, find, load_all)
from velkor.migration.runner.lock import ProjectLock
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import (
    STORAGE_ERRORS, Project, record_key, record_label, storage_message)
from velkor.migration.runner.references import Batch

LOCK_FILE = Path(".velkor") / "migrate.lock"
PROGRESS_FROM = 10  # a run applying at least this many migrations shows a progress bar on a terminal


def when(timestamp: float | None) -> str:
    if timestamp is None:
        return "?"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else words or word + 's'}"


def locked(project: Project, purpose: str, wait: float, out: Output) -> ProjectLock:
    lock = ProjectLock(project.root / LOCK_FILE, purpose)
    lock.acquire(wait, on_wait=out.note)
    return lock


def apply(project: Project, out: Output, to: str | None = None, wait: float = 30.0) -> int:
    target = find(project.sources, to) if to is not None else None
    with locked(project, "apply", wait, out):
        records = project.applied_records()
        applied = {record_key(r) for r in records}
        pending = [s for s in project.sources if s.key not in applied]
        if target is not None:
            pending = pending[:pending.index(target) + 1] if target in pending else [
                s for s in pending if project.sources.index(s) < project.sources.index(target)]
        if not pending:
            out.line(f"Nothing to apply: {f'{target.label} is applied' if target else 'every migration is applied'}.")
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
        count = 0
        try:
            with VelkorDataManager().get_transaction_manager().begin():
                for source in pending:
                    if bar:
                        bar.update(count, source.label)
                    batch = batches.get(source.key)
                    if batch is not None:
                        project.compile(registry, source, batch.definitions)
                    project.save(source, applied_at=time.time())
                    count += 1
                    if not bar:
                        out.line(f"  {out.paint(source.label.ljust(width), 'green')}  {_classes_of(batch)}")
        except MigrationError as exc:
            rest = len(pending) - count - 1
            note = f"Applied {count} of {len(pending)}; {pending[count].label} was not applied"
            if rest:
                note += f", nor the {plural(rest, 'migration')} after it"
            raise MigrationError(f"{exc}\n{note}.") from None
        finally:
            if bar:
                bar.update(count)
                bar.close()
        left = len(project.sources) - len(done) - count
        out.line(f"Applied {plural(count, 'migration')}; {left} pending.", "bold")
    return 0


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
        records = project.applied_records()
        if not records:
            out.line("Nothing to roll back: no migration is applied.")
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
        out.line(f"Rolling back {plural(len(victims), 'migration')}:")
        width = max(len(record_label(r)) for r in victims)
        count = 0
        try:
            with VelkorDataManager().get_transaction_manager().begin():
                for record in victims:
                    project.delete(record)
                    count += 1
                    out.line(f"  {out.paint(record_label(record).ljust(width), 'yellow')}  "
                             f"applied {when(record.applied_at)}")
        except MigrationError as exc:
            raise MigrationError(f"{exc}\nRolled back {count} of {len(victims)}; "
                                 f"{record_label(victims[count])} is still applied.") from None
        left = len(records) - len(victims)
        out.line(f"Rolled back {plural(len(victims), 'migration')}; {left} applied.", "bold")
    return 0


def status(project: Project, out: Output) -> int:
    records = project.applied_records()
    by_key = {record_key(r): r for r in records}
    rows = []
    for source in project.sources:
        record = by_key.pop(source.key, None)
        applied = (when(record.applied_at), "green") if record else ("pending", "yellow")
        rows.append([str(source.number), source.name, source.module_label, applied])
    pending = sum(1 for row in rows if row[3][0] == "pending")
    for record in by_key.values():  # recorded, but the file is gone
        rows.append([str(record.number), Path(record.path.name).stem, record.module or "app",
                     (f"{when(record.applied_at)} (file missing)", "red")])
    summary = (f"{plural(len(project.sources), 'migration')}: {len(project.sources) - pending} applied, "
               f"{pending} pending")
    if by_key:
        summary += f"; {len(by_key)} recorded as applied without a file"
    out.line(summary + ".")
    if rows:
        out.table(["#", "migration", "module", "applied at"], rows, right=frozenset({0}))
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
    records = project.applied_records()
    done = project.applied_sources(records)
    applied = {source.key for source in done}
    load_all(project.sources)
    sequence = done + [source for source in project.sources if source.key not in applied]
    graph = project.graph(sequence)
    last = graph.last_batch_of(class_name)
    if last is None:
        known = sorted(graph.latest)
        raise MigrationError(f"no migration defines the class {cut(repr(class_name))} "
                             f"(defined: {', '.join(known) or 'none'})")
    batch = graph.batches[last]
    definition = next(d for d in batch.definitions if d.name == class_name)
    position = {source.key: index for index, source in enumerate(sequence)}
    before = [b for b in graph.plan(graph.needs([class_name])) if position[b.source.key] < last]
    registry = project.replay(before)
    imports, text = registry._build_class_source(*definition.registration())
    state = "applied" if batch.source.key in applied else "pending"
    if definition.source is not batch.source:
        state += f", compiled again by {batch.source.label}, which changes a class it references"
    out.line(f"# {class_name}, as {definition.source.label} defines it "
             f"(schema type {definition.registration()[2].value}); {state}", "dim")
    if imports.strip():
        out.line(imports.rstrip("\n"))
        out.line()
    out.line(text.rstrip())
    return 0


def check(project: Project, out: Output) -> int:
    load_all(project.sources)
    registry = project.replay(project.graph(project.sources).plan())
    classes = len(registry._classes)
    out.line(f"Checked {plural(len(project.sources), 'migration')}: "
             f"all valid, {plural(classes, 'class', 'classes')} compile.", "green")
    return 0


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

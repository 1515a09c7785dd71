"""Adopting a project whose classes are in place already: every migration up to
one recorded as applied without compiling it (``velkor-migrate baseline``)."""
from __future__ import annotations

import time

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.reference_graph import ClassGraph
from velkor.migration.runner.errors import Interrupted, MigrationError
from velkor.migration.runner.key import label_of
from velkor.migration.runner.project import Project
from velkor.migration.runner.record.drift import find_drift
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.source.loading import load_all
from velkor.migration.runner.text import plural
from velkor.migration.runner.executor import Events, _behind


def baseline_sources(project: Project, records: list[MigrationFile], reference: str) -> list[MigrationSource]:
    """The migrations that a baseline up to ``reference`` records: every one up to it, in migration
    order, their files validated; an error when any migration is applied already."""
    target = find(project.sources, reference)
    if records:
        applied = plural(len(records), "migration is", "migrations are")
        raise MigrationError(f"cannot record a baseline: {applied} applied already "
                             f"({', '.join(label_of(r) for r in records)}); a baseline is recorded on a record "
                             "that holds none: withdraw them first with `rollback --to zero`")
    sources = project.sources[:project.sources.index(target) + 1]
    load_all(project.sources, only=sources)
    ClassGraph.checked(sources)
    return sources


def baseline(project: Project, sources: list[MigrationSource], events: Events) -> None:
    """Record the migrations as applied, with their checksums, without compiling them: one transaction."""
    recorder = project.recorder
    drift = find_drift(project.sources, [], recorder.checksums())
    events.baselining(sources)
    saved: list[MigrationFile] = []
    try:
        with recorder.staged() as staging:
            now = time.time()
            for source in sources:
                started = time.perf_counter()
                saved.append(staging.save(source, applied_at=now))
                staging.record_checksums(drift, [source], applied=True)
                staging.record_run(source.key, "baseline", time.perf_counter() - started)
                events.baselined(source)
            failure = staging.commit("recording the baseline", saved)
    except KeyboardInterrupt:
        raise Interrupted(f"interrupted: {_baseline_summary(sources, recorder.recorded_keys())}") from None
    if failure is not None:
        summary = _baseline_summary(sources, recorder.recorded_keys())
        raise MigrationError(f"{failure}\n{summary[:-1]}{_behind(failure)}.") from None
    note = recorder.remember(saved)
    if note:
        events.note(note)


def _baseline_summary(sources: list[MigrationSource], recorded: set | None) -> str:
    if recorded is None:
        return "the ledger could not be read back: `velkor-migrate status` tells what is recorded."
    if all(s.key in recorded for s in sources):
        return f"The baseline of {plural(len(sources), 'migration')} is recorded."
    return "The baseline is not recorded: no migration is applied."



"""Running migrations: what a run of ``apply`` will do (``RunPlan``), built once
and shared by ``apply``, ``apply --dry-run`` and ``plan``, and doing it; the
steps every run shares (``prepare``, ``Events``). ``rollbacks`` and
``baselines`` do the same for withdrawing and adopting migrations. None of
them prints: they tell ``Events`` what happens, and the command line prints
that."""
from __future__ import annotations

import time
from dataclasses import dataclass, field

from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.class_plan import breaking_changes, migration_plans
from velkor.migration.runner.classes.class_view import ClassView
from velkor.migration.runner.classes.reference_graph import Batch, ClassGraph
from velkor.migration.runner.errors import Interrupted, MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.project import Project
from velkor.migration.runner.record.drift import Drift, find_drift
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.text import plural, when

COPY_BEHIND = "; the repository's copy is not written: the next apply, rollback or repair brings it in line"


class Events:
    """What a run tells as it goes; each does nothing here."""

    def note(self, text: str) -> None:
        """Something a person may want to know, beside the results."""

    def replayed(self, classes: int) -> None:
        """The classes of the applied migrations that the pending ones need are compiled."""

    def applying(self, pending: list[MigrationSource]) -> None:
        """The run starts to apply these."""

    def starting(self, done: int, source: MigrationSource) -> None:
        """``done`` migrations compiled; ``source`` is next."""

    def applied(self, source: MigrationSource, batch: Batch | None) -> None:
        """A migration compiled and is staged to be recorded."""

    def stopped(self, done: int) -> None:
        """The run compiled ``done`` migrations and stops compiling (to commit, or on Ctrl-C)."""

    def withdrawing(self, victims: list[MigrationFile]) -> None:
        """A rollback starts to withdraw these."""

    def withdrawn(self, record: MigrationFile) -> None:
        """A migration's withdrawal is staged."""

    def baselining(self, sources: list[MigrationSource]) -> None:
        """A baseline starts to record these as applied."""

    def baselined(self, source: MigrationSource) -> None:
        """A migration's baseline record is staged."""


def prepare(project: Project, events: Events) -> list[MigrationFile]:
    """Before a run changes anything: stop at a damaged store, and bring the
    repository's copy in line with the ledger (what an interrupted run left).
    The applied records, in the order applied."""
    recorder = project.recorder
    problems = recorder.damage()
    if problems:
        raise MigrationError("damaged store, nothing was changed: " + "\n".join(problems))
    differences = recorder.reconcile()
    if differences:
        events.note(f"Brought the repository in line with the ledger: {differences.describe(done=True)}.")
    return recorder.records()


# -- apply -------------------------------------------------------------------


@dataclass
class RunPlan:
    """What ``apply`` will do: the pending migrations, in order, and the files whose checksums it records."""

    records: list[MigrationFile]        # applied, in the order they were applied
    target: MigrationSource | None      # --to
    pending: list[MigrationSource]      # what the run applies, in order
    drift: Drift                        # the applied files against their checksums
    accepted: set[MigrationKey]         # --accept-changed
    checksum_updates: list[MigrationSource] = field(default_factory=list)  # accepted, or applied without one

    @property
    def accepting(self) -> list[str]:
        """The changed files that the run records as applied."""
        return [s.label for s in self.drift.changed if s.key in self.accepted]

    def nothing_to_apply(self, elsewhere: int = 0) -> str:
        if self.target:
            return f"Nothing to apply: {self.target.label} is applied."
        return ("Nothing to apply: every migration is applied." if not elsewhere else
                "Nothing to apply: every migration of this folder is applied.")


def resolve(project: Project, to: str | None, accept_changed: list[str]
            ) -> tuple[MigrationSource | None, set[MigrationKey]]:
    """The migrations that ``--to`` and ``--accept-changed`` name."""
    target = find(project.sources, to) if to is not None else None
    return target, {find(project.sources, reference).key for reference in accept_changed}


def run_plan(project: Project, records: list[MigrationFile], target: MigrationSource | None = None,
             accepted: set[MigrationKey] = frozenset(), out_of_order: bool = False) -> RunPlan:
    """What a run of ``apply`` does; an error when it would refuse."""
    if project.duplicates:
        raise MigrationError("\n".join(project.duplicates))
    drift = find_drift(project.sources, records, project.recorder.checksums())
    plan = RunPlan(records, target, project.pending(records, target), drift, set(accepted))
    _refuse_changed(drift, plan.accepted)
    if not out_of_order:
        _refuse_out_of_order(drift, plan.pending)
    plan.checksum_updates = [s for s in drift.changed + drift.unrecorded + drift.undocumented
                             if s.key in plan.accepted or s not in drift.changed]
    return plan


def _refuse_changed(drift: Drift, accepted: set[MigrationKey]) -> None:
    changed = [s for s in drift.changed if s.key not in accepted]
    if changed:
        labels = ", ".join(s.label for s in changed)
        raise MigrationError(
            f"changed since applied: {labels} (the file differs from the one that was applied); restore it, "
            f"or accept the change with --accept-changed {changed[0].label}")


def _refuse_out_of_order(drift: Drift, pending: list[MigrationSource]) -> None:
    late = [(source, later) for source, later in drift.out_of_order if source in pending]
    if late:
        source, later = late[0]
        more = f" (and {plural(len(late) - 1, 'other')})" if len(late) > 1 else ""
        raise MigrationError(
            f"{source.label} is pending but {later.label}, numbered after it, is applied{more}: "
            "apply it anyway with --out-of-order, or give it a number after the applied ones")


def compile_batches(project: Project, done: list[MigrationSource], pending: list[MigrationSource],
                    graph: ClassGraph | None = None) -> tuple[DefaultMigrationSchemas, dict[MigrationKey, Batch]]:
    """A registry holding the applied classes that the pending migrations need, and the
    pending migrations' batches by migration (``graph``: of both, when made already)."""
    graph = graph or ClassGraph.checked(done + pending)
    needed = graph.needs(graph.compiled_by(pending))
    waiting = {source.key for source in pending}
    batches = graph.plan(needed)
    try:
        registry = project.compiler.replay([batch for batch in batches if batch.source.key not in waiting])
    except MigrationError as exc:
        raise MigrationError(f"rebuilding the classes of the applied migrations: {exc}") from None
    return registry, {batch.source.key: batch for batch in batches if batch.source.key in waiting}


def _refuse_breaking(project: Project, view: ClassView) -> None:
    """Refuse a change that breaks stored data of a class whose table in the repository holds records."""
    problems = []
    for source, name, lines in breaking_changes(migration_plans(view)):
        count = project.recorder.count_records(name)
        if count:
            problems.append(f"{source.label} breaks {name}, whose table in the repository holds "
                            f"{plural(count, 'record')}: {'; '.join(lines)}")
    if problems:
        raise MigrationError("\n".join(problems) + "\nmove the stored records to the new shape first, or apply "
                             "anyway with --allow-breaking")


def record_checksums(project: Project, plan: RunPlan) -> None:
    """Record the checksums the plan updates, alone (nothing is pending)."""
    with project.recorder.staged() as staging:
        staging.record_checksums(plan.drift, plan.checksum_updates)
        failure = staging.commit("recording the checksums of the applied migrations")
    if failure is not None:
        raise failure


def apply(project: Project, plan: RunPlan, events: Events, allow_breaking: bool = False) -> int:
    """Compile and record the plan's pending migrations, in one transaction; how many were applied.
    A migration that does not compile stops the run there: those before it are recorded."""
    records, pending, recorder = plan.records, plan.pending, project.recorder
    applied = {MigrationKey.of_record(r) for r in records}
    # Everything this run needs is checked before anything is applied.
    done = project.applied_sources(records, load=False)
    # Every problem of every file it needs, at once (those the class snapshot stands for are not read again).
    graph = ClassGraph.loaded(project.sources, done + pending, root=project.root)
    _note_superseded(done, pending, events)
    if not allow_breaking:
        _refuse_breaking(project, ClassView(project, done, pending, graph))
    registry, batches = compile_batches(project, done, pending, graph)
    _note_clock(records, events)
    if done:
        events.replayed(len({name for names in project.compiler.compiled for name in names}))
    events.applying(pending)
    compiled, compile_failure, saved = 0, None, []
    try:
        with recorder.staged() as staging:
            staging.record_checksums(plan.drift, plan.checksum_updates)
            for source in pending:
                started = time.perf_counter()
                events.starting(compiled, source)
                batch = batches.get(source.key)
                try:
                    if batch is not None:
                        project.compiler.compile_batch(registry, batch)
                except MigrationError as exc:
                    compile_failure = exc
                    break
                saved.append(staging.save(source, applied_at=time.time()))
                staging.record_checksums(plan.drift, [source], applied=True)
                staging.record_run(source.key, "applied", time.perf_counter() - started)
                compiled += 1
                events.applied(source, batch)
            events.stopped(compiled)
            commit_failure = staging.commit("recording the applied migrations", records + saved)
    except KeyboardInterrupt:
        events.stopped(compiled)
        raise Interrupted(f"interrupted: {applied_summary(pending, recorder.recorded_keys())}") from None
    # A completed commit recorded what was compiled; otherwise the ledger tells.
    recorded = applied | {s.key for s in pending[:compiled]} if commit_failure is None else recorder.recorded_keys()
    failure = commit_failure or compile_failure
    if failure is not None:
        summary = applied_summary(pending, recorded)
        raise MigrationError(f"{failure}\n{summary[:-1]}{_behind(failure)}.") from None
    if compiled == len(pending):
        graph.keep(project.root)
    note = recorder.remember(records + saved)
    if note:
        events.note(note)
    return compiled


def note_elsewhere(project: Project, records: list[MigrationFile], events: Events) -> int:
    """Say which applied migrations another run recorded whose file is not in this folder; how many."""
    elsewhere = project.recorded_elsewhere(records)
    if elsewhere:
        labels = ", ".join(key.label for key in elsewhere)
        events.note(f"Recorded by another run, with no file in this folder: {labels} (a newer deploy?); "
                    "the classes come from the record.")
    return len(elsewhere)


def _note_superseded(done: list[MigrationSource], pending: list[MigrationSource], events: Events) -> None:
    """Say so when a migration applied out of order defines a class that an applied migration numbered
    after it defines too: the later one stays in force."""
    for source in pending:
        later = [d for d in done if d.order > source.order]
        for name in sorted(source.defines()):
            by = [d for d in later if name in d.defines()]
            if by:
                events.note(f"{source.label} defines {name}, which {by[-1].label} (applied, numbered after it) "
                            f"defines too: the definition of {by[-1].label} stays in force")


def _note_clock(records: list[MigrationFile], events: Events) -> None:
    """Say so when this host's clock is behind the newest record: its runs still come after in the record."""
    newest = max(records, key=lambda r: r.applied_at or 0.0, default=None)
    behind = (newest.applied_at or 0.0) - time.time() if newest is not None else 0.0
    if behind > 1.0:
        events.note(f"this host's clock is {behind:.0f} s behind the newest record ({label_of(newest)}, "
                    f"applied at {when(newest.applied_at)}): the record keeps its order all the same")


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


def _behind(failure: BaseException) -> str:
    return COPY_BEHIND if getattr(failure, "copy_behind", False) else ""

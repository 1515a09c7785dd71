"""What the commands share: the project lock, and a run's events as lines
(``PrintedEvents``) or kept for a JSON document (``CollectedEvents``)."""
from __future__ import annotations

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.reference_graph import Batch
from velkor.migration.runner.executor import Events, RunPlan
from velkor.migration.runner.key import label_of
from velkor.migration.runner.lock import LOCK_FILE, project_lock
from velkor.migration.runner.output import Output, Progress
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.text import plural, when

PROGRESS_FROM = 10  # a run applying at least this many migrations shows a progress bar on a terminal


def locked(project: Project, purpose: str, wait: float, out: Output):
    lock = project_lock(project.config, project.root, LOCK_FILE, purpose)
    lock.acquire(wait, on_wait=out.note)
    project.recorder.fence_with(lock.verify)
    return lock


def remember(project: Project, out: Output) -> None:
    """Note what the stores hold for the next run's damage check; a note when that fails."""
    note = project.recorder.remember()
    if note:
        out.note(note)


def note_accepted(plan: RunPlan, sources: list[MigrationSource], out: Output) -> None:
    accepted = [s.label for s in sources if s in plan.drift.changed]
    if accepted:
        out.line(f"Accepted the changed {'file' if len(accepted) == 1 else 'files'} of {', '.join(accepted)}.")


class PrintedEvents(Events):
    """A run's events as the command line shows them: a line per migration, or a
    progress bar on a terminal for a long run."""

    def __init__(self, out: Output) -> None:
        self.out = out
        self.bar: Progress | None = None
        self.width = 0

    def note(self, text: str) -> None:
        self.out.note(text)

    def replayed(self, classes: int) -> None:
        self.out.line(f"Compiled {plural(classes, 'class', 'classes')} of the applied migrations "
                      "that the pending ones need.", "dim")

    def applying(self, pending: list[MigrationSource]) -> None:
        self.out.line(f"Applying {plural(len(pending), 'migration')}:")
        self.bar = self.out.progress(len(pending), "applying") if len(pending) >= PROGRESS_FROM else None
        self.width = max(len(s.label) for s in pending)

    def starting(self, done: int, source: MigrationSource) -> None:
        if self.bar:
            self.bar.update(done, source.label)

    def applied(self, source: MigrationSource, batch: Batch | None) -> None:
        if not self.bar:
            self.out.line(f"  {self.out.paint(source.label.ljust(self.width), 'green')}  {classes_of(batch)}")

    def stopped(self, done: int) -> None:
        if self.bar:
            self.bar.update(done)
            self.bar.close()
            self.bar = None

    def withdrawing(self, victims: list[MigrationFile]) -> None:
        self.out.line(f"Rolling back {plural(len(victims), 'migration')}:")
        self.width = max(len(label_of(r)) for r in victims)

    def withdrawn(self, record: MigrationFile) -> None:
        self.out.line(withdrawal_line(self.out, record, self.width))

    def baselining(self, sources: list[MigrationSource]) -> None:
        self.out.line(f"Recording a baseline of {plural(len(sources), 'migration')} as applied, without "
                      "compiling them:")

    def baselined(self, source: MigrationSource) -> None:
        self.out.line(f"  {self.out.paint(source.label, 'green')}")


class CollectedEvents(Events):
    """A run's events kept for its JSON document: nothing on stdout, no progress bar; notes on stderr."""

    def __init__(self, out: Output) -> None:
        self.out = out
        self.compiled: list[tuple[MigrationSource, Batch | None]] = []  # staged to be recorded
        self.withdrawals: list[MigrationFile] = []
        self.baselines: list[MigrationSource] = []

    def note(self, text: str) -> None:
        self.out.note(text)

    def applied(self, source: MigrationSource, batch: Batch | None) -> None:
        self.compiled.append((source, batch))

    def withdrawn(self, record: MigrationFile) -> None:
        self.withdrawals.append(record)

    def baselined(self, source: MigrationSource) -> None:
        self.baselines.append(source)


def withdrawal_line(out: Output, record: MigrationFile, width: int) -> str:
    return f"  {out.paint(label_of(record).ljust(width), 'yellow')}  applied {when(record.applied_at)}"


def classes_of(batch: Batch | None) -> str:
    if batch is None:
        return "(no classes)"
    text = ", ".join(d.name for d in batch.own)
    if batch.followers:
        text += f" (compiled again: {', '.join(d.name for d in batch.followers)})"
    return text

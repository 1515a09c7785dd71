"""The project's classes as the applied migrations compiled them and as the
pending ones will: what ``plan``, ``graph`` and ``show`` look at. Reading it
records nothing."""
from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.compiler import compiled_before
from velkor.migration.runner.classes.reference_graph import Batch, ClassGraph, Definition
from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.source.document import MigrationSource

if TYPE_CHECKING:
    from velkor.migration.runner.project import Project

@dataclass
class ClassView:
    project: Project
    done: list[MigrationSource]     # applied, in the order they were applied
    pending: list[MigrationSource]  # in the order they apply
    graph: ClassGraph               # of both, one batch per migration

    @property
    def pending_batches(self) -> list[Batch]:
        return self.graph.batches[len(self.done) - self.graph.skipped:]

    def is_applied(self, index: int) -> bool:
        """Whether the batch at ``index`` is of an applied migration."""
        return index + self.graph.skipped < len(self.done)

    def is_applied_source(self, source: MigrationSource) -> bool:
        return source.key in self._done_keys

    @cached_property
    def _done_keys(self) -> set:
        return {done.key for done in self.done}

    def changes(self) -> Iterator[tuple[int, Definition, Definition | None]]:
        """Every definition of a class in order, with its batch's index and the definition before it
        (for a renamed class, the one under its old name). The graph of a class snapshot has no batches
        of the migrations the snapshot stood for: a definition before them comes from the snapshot."""
        latest: dict[str, Definition | None] = {}
        for index, batch in enumerate(self.graph.batches):
            for definition in batch.own:
                name = definition.renamed_from or definition.name
                yield index, definition, latest[name] if name in latest else self.graph.before.get(name)
                latest[definition.name] = definition
            for name in batch.retired:
                latest[name] = None

    def retired_by(self, name: str) -> tuple[int, Batch] | None:
        """The batch that retired the class after its last definition, if one did."""
        last = None
        for index, batch in enumerate(self.graph.batches):
            if any(d.name == name for d in batch.own):
                last = None
            if name in batch.retired:
                last = (index, batch)
        return last

    def current(self) -> dict[str, tuple[int, Definition]]:
        """Each class that the migrations leave defined, with the batch of its latest definition."""
        latest: dict[str, tuple[int, Definition]] = {}
        for index, definition, _ in self.changes():
            latest[definition.name] = (index, definition)
        for index, batch in enumerate(self.graph.batches):
            for name in batch.retired:
                if name in latest and latest[name][0] <= index:
                    del latest[name]
        return latest

    def applied_definition(self, name: str) -> Definition | None:
        """The class as the applied migrations define it."""
        found = None
        for index, definition, _ in self.changes():
            if definition.name == name and self.is_applied(index):
                found = definition
        return found

    def _batches_of(self, name: str) -> list[int]:
        return [i for i, batch in enumerate(self.graph.batches) if any(d.name == name for d in batch.definitions)]

    def last_batch_of(self, name: str) -> int:
        """The index of the last batch that compiles the class; an error when none does."""
        found = self._batches_of(name)
        retired = self.retired_by(name)
        if retired is not None:
            index, batch = retired
            state = "applied" if self.is_applied(index) else "pending"
            raise MigrationError(f"the class {name} is retired by {batch.source.label} ({state})")
        if not found:
            known = sorted(self.graph.latest)
            raise MigrationError(f"no migration defines the class {cut(repr(name))} "
                                 f"(defined: {', '.join(known) or 'none'})")
        return found[-1]

    def last_applied_batch_of(self, name: str) -> int | None:
        """The index of the last batch of an applied migration that compiles the class."""
        found = [i for i in self._batches_of(name) if self.is_applied(i)]
        return found[-1] if found else None

    def source_text(self, name: str, index: int) -> tuple[Definition, str]:
        """The class's definition in the batch at ``index`` and the source generated for it there:
        its imports, an empty line and its class text (rendered after the batches before compiled)."""
        batch = self.graph.batches[index]
        definition = next(d for d in batch.definitions if d.name == name)
        position = {b.source.key: i for i, b in enumerate(self.graph.batches)}
        needed = self.graph.needs([name])
        before = [b for b in self.graph.plan(needed) if position[b.source.key] < index]
        registry = self.project.compiler.replay(before)
        earlier = [d for d in compiled_before(batch.definitions, name) if d.name in needed]
        if earlier:
            self.project.compiler.compile(registry, batch.source, earlier)
        imports, text = registry._build_class_source(*definition.registration())
        return definition, (imports.rstrip("\n") + "\n\n" if imports.strip() else "") + text.rstrip() + "\n"


def class_view(project: Project, pending: list[MigrationSource] | None = None,
               records: list[MigrationFile] | None = None, at: str | None = None) -> ClassView:
    """The applied migrations then ``pending`` (by default every migration not applied), their files
    checked and loaded; ``at``: the migrations applied at that moment alone, as the record held them."""
    if at is not None:
        done = project.applied_sources_at(at)
        return ClassView(project, done, [], ClassGraph.checked(done))
    records = project.recorder.records() if records is None else records
    project.use_applied_documents(records)
    done = project.applied_sources(records, load=False)
    pending = project.pending(records) if pending is None else pending
    return ClassView(project, done, pending, ClassGraph.loaded(project.sources, done + pending))

"""Which classes reference which, over a sequence of migrations, and the
batches that compile them.

A class references the classes its properties are typed with (directly, or as
the elements of an array or the keys and values of a dictionary) and its base
class. When a migration changes a class, every class compiled before that
references it, directly or through other classes, is compiled again in the
same batch, with its own latest schema, so that it follows the new class: the
migration's batch is its own classes and these followers (each compiled after
the classes it references: ``compiler.compile_order``). A subset of the
classes (those some classes need, and the classes they reference, at every
version) compiles through the same batches restricted to it, and gives the same
classes as compiling everything.

A graph may start from the class snapshot of its first migrations
(``class_snapshot``): it then holds the batches of the others only, and the
latest definitions of the snapshot's classes compile first, as one batch, each
after the classes it references (``plan``).
"""
from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velkor_models.schemas.data_models.schema import ObjectSchema
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.classes import class_snapshot
from velkor.migration.runner.classes.class_snapshot import Kept
from velkor.migration.runner.errors import did_you_mean, problems_error, shown
from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.source.document import MigrationSource, location
from velkor.migration.runner.source.loading import declared_classes, load_problems
from velkor.migration.runner.source.reserved_names import generated_module
from velkor.migration.runner.source.validation import PROPERTY_TYPES, class_references


@dataclass(frozen=True, eq=False)
class Definition:
    """One class as one migration defines it: whole (``schemas``), or made from the
    definition before by a change of some fields (``changes``) or a new name (``rename``)."""

    source: MigrationSource
    index: int  # its place among the migration's definitions
    name: str
    schema: ObjectSchema
    schema_type: SchemaTypes
    loc: tuple[Any, ...]  # where the file writes it
    renamed_from: str | None = None

    @classmethod
    def of(cls, source: MigrationSource, index: int) -> Definition:
        """The class the migration's ``schemas[index]`` defines."""
        entry = source.document.schemas[index]
        return cls(source, index, entry.class_name, entry.object_schema, source.schema_type(entry),
                   ("schemas", index, "schema"))

    @classmethod
    def own(cls, source: MigrationSource) -> list[Definition]:
        """The classes the migration defines whole."""
        return [cls.of(source, index) for index in range(len(source.document.schemas))]

    @property
    def base(self) -> str | None:
        """The generated class it derives from, if any."""
        return next((name for name, loc in class_references(self.schema) if loc == ("type",)), None)

    def registration(self) -> tuple[str, ObjectSchema, SchemaTypes]:
        """The arguments of ``register_model``."""
        return self.name, self.schema, self.schema_type


@dataclass
class Batch:
    """What one migration compiles: its own classes, then the classes that follow a changed one."""

    source: MigrationSource
    own: list[Definition]
    followers: list[Definition] = field(default_factory=list)
    definitions: list[Definition] = field(default_factory=list)  # both, base classes first
    # each class the migration changes -> the followers that reference it, directly or through others
    followers_of: dict[str, list[str]] = field(default_factory=dict)
    retired: list[str] = field(default_factory=list)  # the classes it retires (renamed ones included)


class ClassGraph:
    """The classes of a sequence of migrations, in the order they apply.

    ``problems`` lists, one line each, the class names that do not exist where
    they are used and base classes that derive from each other; ``check()``
    raises them.
    """

    def __init__(self, sources: Sequence[MigrationSource], elsewhere: Iterable[str] = (),
                 kept: Kept | None = None) -> None:
        """``kept``: a snapshot of the state after the first ``kept.count`` sources (whose documents
        need not be loaded): the graph holds the batches of the others only (``skipped``)."""
        self.sources = list(sources)
        self.elsewhere = set(elsewhere)  # class names of files left out, that cannot be read
        self.batches: list[Batch] = []
        self.problems: list[str] = []
        self.skipped = 0  # the leading sources that have no batch here (the snapshot stood for them)
        self.latest: dict[str, Definition] = {}
        self.before: Mapping[str, Definition] = {}  # the latest definitions before the first batch
        self._ever: dict[str, set[str]] = {}  # class -> what any of its definitions references
        self._now: dict[str, set[str]] = {}  # class -> what its latest definition references
        self._referrers: dict[str, set[str]] = {}  # the reverse of ``_now``
        self._first: dict[str, MigrationSource] = {}  # class -> the first migration that defines it
        self._position = {source.key: index for index, source in enumerate(self.sources)}
        self._kept: Kept | None = None  # the snapshot it started from
        if kept is not None:
            self._restore(kept)
        for source in self.sources[self.skipped:]:
            for name in [entry.class_name for entry in source.document.schemas] + list(source.document.rename.values()):
                self._first.setdefault(name, source)
        for source in self.sources[self.skipped:]:
            self._add(source)

    def _add(self, source: MigrationSource) -> None:
        """The batch of the next migration."""
        now, referrers = self._now, self._referrers
        own = Definition.own(source) + self._edited(source)
        defined = {d.name for d in own}
        for definition in own:
            self._check_names(definition, defined, self._first)
        changed = defined & self.latest.keys()
        followers = self._followers(referrers, changed) - defined
        followers_of = {name: sorted(self._followers(referrers, {name}) - defined,
                                     key=lambda n: self._age(self.latest[n])) for name in changed}
        for definition in own:
            references = {name for name, _ in class_references(definition.schema)}
            for old in now.get(definition.name, ()):
                referrers[old].discard(definition.name)
            for name in references:
                referrers.setdefault(name, set()).add(definition.name)
            now[definition.name] = references
            self._ever.setdefault(definition.name, set()).update(references)
        retired = [d.renamed_from for d in own if d.renamed_from] + [
            name for name in source.document.retire if self._retirable(source, name)]
        batch = Batch(source, own, sorted((self.latest[name] for name in followers - set(retired)), key=self._age),
                      followers_of=followers_of, retired=retired)
        for definition in own:
            self.latest[definition.name] = definition
        for name in retired:
            self.latest.pop(name, None)
            for reference in now.pop(name, ()):
                referrers.get(reference, set()).discard(name)
        renamed = {d.renamed_from: d.name for d in own if d.renamed_from}
        for name in retired:
            what = f"rename {name} to {renamed[name]}" if name in renamed else f"retire {name}"
            for referrer in sorted(referrers.get(name, ())):
                self.problems.append(f"{source.where()}: cannot {what}: {referrer} still references it "
                                     f"(change or retire {referrer} in this migration, or before it)")
        batch.definitions = self._bases_first(batch)
        self.batches.append(batch)

    # -- the snapshot of the state (``class_snapshot``) ---------------------

    def state(self) -> dict[str, Any]:
        """What the graph holds after its last source, as JSON values (none of its batches)."""
        latest = self.latest
        entry = latest.entry if isinstance(latest, class_snapshot.Definitions) else \
            lambda name: class_snapshot.entry(latest[name])
        return {"latest": {name: entry(name) for name in latest},
                "ever": {name: sorted(names) for name, names in self._ever.items()},
                "now": {name: sorted(names) for name, names in self._now.items()},
                "first": {name: [source.module, source.path.name] for name, source in self._first.items()}}

    def _restore(self, kept: Kept) -> None:
        self._kept = kept
        self.skipped = kept.count
        state = kept.state
        by_key = {source.key: source for source in self.sources[:self.skipped]}
        made: dict[str, Definition] = {}
        self.latest = class_snapshot.Definitions(state["latest"], by_key, made, Definition)
        self.before = class_snapshot.Definitions(state["latest"], by_key, made, Definition)
        self._ever = {name: set(names) for name, names in state["ever"].items()}
        self._now = {name: set(names) for name, names in state["now"].items()}
        for name, references in self._now.items():
            for reference in references:
                self._referrers.setdefault(reference, set()).add(name)
        self._first = {name: by_key[MigrationKey(module, file_name)]
                       for name, (module, file_name) in state["first"].items()}

    def _edited(self, source: MigrationSource) -> list[Definition]:
        """The classes a migration makes from their definitions before: renamed, and changed by some fields."""
        made = []
        offset = len(source.document.schemas)
        for old, new in source.document.rename.items():
            before = self._before(source, old, ("rename", old), "rename")
            if before is not None:
                made.append(Definition(source, offset + len(made), new, before.schema, before.schema_type,
                                       ("rename", old), renamed_from=old))
        for index, edit in enumerate(source.document.changes):
            where = ("changes", index)
            before = self._before(source, edit.class_name, where + ("class_name",), "change")
            if before is None:
                continue
            schema = self._edit(source, where, before.schema, edit)
            if schema is not None:
                made.append(Definition(source, offset + len(made), edit.class_name, schema, before.schema_type, where))
        return made

    def _before(self, source: MigrationSource, name: str, loc: tuple, verb: str) -> Definition | None:
        """The definition a migration renames or changes; a problem when there is none."""
        found = self.latest.get(name)
        if found is None:
            self.problems.append(f"{source.where()}: {location(loc, tagged=False)}: no class {shown(name)} to "
                                 f"{verb} before this migration{did_you_mean(name, list(self.latest))}")
        return found

    def _edit(self, source: MigrationSource, where: tuple, before: ObjectSchema, edit: Any) -> ObjectSchema | None:
        """The schema before, with the edit's fields added, altered and removed."""
        properties = dict(before.properties or {})
        wrong = [(part, name) for part, names, present in (("add", edit.add, False), ("alter", edit.alter, True),
                                                            ("remove", edit.remove, True))
                 for name in names if (name in properties) != present]
        for part, name in wrong:
            why = "is already a field" if part == "add" else "is not a field"
            self.problems.append(f"{source.where()}: {location(where + (part,), tagged=False)}: {shown(name)} "
                                 f"{why} of {edit.class_name} (fields: {', '.join(properties) or 'none'})")
        if wrong:
            return None
        for name in edit.remove:
            del properties[name]
        properties.update(edit.alter)
        properties.update(edit.add)
        required = edit.required if edit.required is not None else [r for r in before.required if r not in edit.remove]
        missing = [name for name in required if name not in properties]
        if missing:
            self.problems.append(f"{source.where()}: {location(where + ('required',), tagged=False)}: "
                                 f"{', '.join(map(shown, missing))} required but not a field of {edit.class_name}")
            return None
        return before.model_copy(update={"properties": properties, "required": required})

    def _retirable(self, source: MigrationSource, name: str) -> bool:
        if name in self.latest:
            return True
        self._before(source, name, ("retire",), "retire")
        return False

    def _age(self, definition: Definition) -> tuple[int, int]:
        return self._position[definition.source.key], definition.index

    def _check_names(self, definition: Definition, defined: set[str], first: dict[str, MigrationSource]) -> None:
        bases = generated_module().framework_bases
        for name, loc in class_references(definition.schema):
            if name in bases or name in self.latest or name in defined:
                continue
            where = location(definition.loc + loc, tagged=False)
            later = first.get(name)
            if later is not None:
                why = f"{later.label} defines it, and applies after this migration"
            elif name in self.elsewhere:
                continue  # defined by a file that cannot be read: its own problems are told
            else:
                known = [*first, *PROPERTY_TYPES, *self.elsewhere]
                why = f"no migration defines it{did_you_mean(name, known)} (core types: {', '.join(PROPERTY_TYPES)})"
            self.problems.append(f"{definition.source.where()}: {where}: unknown class {shown(name)}: {why}")

    @staticmethod
    def _followers(referrers: dict[str, set[str]], changed: set[str]) -> set[str]:
        """The classes that reference a changed class, directly or through others."""
        found: set[str] = set()
        todo = list(changed)
        while todo:
            for referrer in referrers.get(todo.pop(), ()):
                if referrer not in found:
                    found.add(referrer)
                    todo.append(referrer)
        return found

    def _bases_first(self, batch: Batch) -> list[Definition]:
        """The batch in order, except that a class comes after its base class of the same batch."""
        pending = batch.own + batch.followers
        names = {d.name for d in pending}
        ordered: list[Definition] = []
        placed: set[str] = set()
        while pending:
            ready = [d for d in pending if d.base not in names or d.base in placed]
            if not ready:
                cycle = ", ".join(f"{d.name} derives from {d.base}" for d in pending)
                self.problems.append(f"{batch.source.where()}: the base classes form a cycle: {cycle}")
                return ordered + pending
            ordered.append(ready[0])
            placed.add(ready[0].name)
            pending.remove(ready[0])
        return ordered

    def check(self) -> None:
        if self.problems:
            raise problems_error(self.problems)

    @classmethod
    def loaded(cls, project_sources: list[MigrationSource], sources: list[MigrationSource] | None = None,
               root: Path | None = None) -> ClassGraph:
        """Load these migrations' files (default: all of the project's) and check them and their class
        names: every problem of every file in one error, in the order the files apply. ``root``: a project
        folder whose class snapshot may stand for the first of them, which are then neither read nor walked."""
        sources = project_sources if sources is None else sources
        kept = class_snapshot.load(root, sources) if root is not None else None
        done, later = (sources[:kept.count], sources[kept.count:]) if kept is not None else ([], sources)
        in_folder = {source.key for source in project_sources}  # the others were read from the record
        problems = load_problems(project_sources, [source for source in later if source.key in in_folder])
        readable = done + [source for source in later if source.document is not None]
        unreadable = [name for source in later if source.document is None for name in declared_classes(source)]
        graph = cls(readable, elsewhere=unreadable, kept=kept)
        if problems or graph.problems:
            order = {source.where(): index for index, source in enumerate(project_sources)}
            raise problems_error(sorted(problems + graph.problems,
                                        key=lambda line: order.get(line.split(":", 1)[0], len(order))))
        return graph

    def keep(self, root: Path) -> None:
        """Keep the state after all its sources as the project's class snapshot (a graph without problems)."""
        if not self.problems and not self.elsewhere and self.skipped < len(self.sources):
            class_snapshot.save(root, self.sources, self.state(), self._kept)

    @classmethod
    def checked(cls, sources: Sequence[MigrationSource]) -> ClassGraph:
        """The classes of these migrations (loaded), applied in this order; unknown class names are an error."""
        graph = cls(sources)
        graph.check()
        return graph

    def needs(self, names: Iterable[str]) -> set[str]:
        """These classes and every class that any of their definitions references, transitively."""
        found = set()
        todo = [name for name in names if name in self._ever]
        while todo:
            name = todo.pop()
            if name not in found:
                found.add(name)
                todo += [ref for ref in self._ever.get(name, ()) if ref in self._ever]
        return found

    def compiled_by(self, sources: Iterable[MigrationSource]) -> set[str]:
        """The classes that the batches of these migrations compile."""
        wanted = {source.key for source in sources}
        return {d.name for batch in self.batches if batch.source.key in wanted for d in batch.definitions}

    def plan(self, only: set[str] | None = None) -> list[Batch]:
        """The batches, each restricted to the classes ``only`` (a set that ``needs`` closed), without empty
        ones; first, when the snapshot stood for the first sources, one batch of their classes' latest
        definitions (compiled after the classes they reference, they are the classes those batches made)."""
        restricted = [batch for batch in [self._kept_batch(only)] if batch.definitions] if self.skipped else []
        if only is None:
            return restricted + self.batches
        for batch in self.batches:
            kept = [d for d in batch.definitions if d.name in only]
            if kept:
                restricted.append(Batch(batch.source, [d for d in batch.own if d.name in only],
                                        [d for d in batch.followers if d.name in only], kept,
                                        retired=[name for name in batch.retired if name in only]))
        return restricted

    def _kept_batch(self, only: set[str] | None) -> Batch:
        names = [name for name in self.before if only is None or name in only]
        definitions = sorted((self.before[name] for name in names), key=self._age)
        return Batch(self.sources[self.skipped - 1], definitions, definitions=definitions)

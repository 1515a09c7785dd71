"""Which classes reference which, over a sequence of migrations, and the
batches that compile them.

A class references the classes its properties are typed with (directly, or as
the elements of an array or the keys and values of a dictionary) and its base
class. When a migration changes a class, every class compiled before that
references it, directly or through other classes, is compiled again in the
same batch, with its own latest schema, so that it follows the new class: the
migration's batch is its own classes and these followers. A subset of the
classes (those some classes need, and the classes they reference, at every
version) compiles through the same batches restricted to it, and gives the same
classes as compiling everything.
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from velkor_models.schemas.data_models.schema import ObjectSchema
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.errors import did_you_mean, problems_error, shown
from velkor.migration.runner.source.document import MigrationSource, SchemaEntry, location
from velkor.migration.runner.source.loading import declared_classes, load_problems
from velkor.migration.runner.source.reserved_names import generated_module
from velkor.migration.runner.source.validation import PROPERTY_TYPES, class_references


@dataclass(frozen=True)
class Definition:
    """One class as one migration defines it."""

    source: MigrationSource
    index: int  # of the entry in the migration's schemas

    @property
    def entry(self) -> SchemaEntry:
        return self.source.document.schemas[self.index]

    @property
    def name(self) -> str:
        return self.entry.class_name

    @property
    def schema(self) -> ObjectSchema:
        return self.entry.object_schema

    @property
    def base(self) -> str | None:
        """The generated class it derives from, if any."""
        return next((name for name, loc in class_references(self.schema) if loc == ("type",)), None)

    def registration(self) -> tuple[str, ObjectSchema, SchemaTypes]:
        """The arguments of ``register_model``."""
        return self.name, self.schema, self.source.schema_type(self.entry)


@dataclass
class Batch:
    """What one migration compiles: its own classes, then the classes that follow a changed one."""

    source: MigrationSource
    own: list[Definition]
    followers: list[Definition] = field(default_factory=list)
    definitions: list[Definition] = field(default_factory=list)  # both, base classes first
    # each class the migration changes -> the followers that reference it, directly or through others
    followers_of: dict[str, list[str]] = field(default_factory=dict)


class ClassGraph:
    """The classes of a sequence of migrations, in the order they apply.

    ``problems`` lists, one line each, the class names that do not exist where
    they are used and base classes that derive from each other; ``check()``
    raises them.
    """

    def __init__(self, sources: Sequence[MigrationSource], elsewhere: Iterable[str] = ()) -> None:
        self.sources = list(sources)
        self.elsewhere = set(elsewhere)  # class names of files left out, that cannot be read
        self.batches: list[Batch] = []
        self.problems: list[str] = []
        self.latest: dict[str, Definition] = {}
        self._ever: dict[str, set[str]] = {}  # class -> what any of its definitions references
        first = {}
        for source in self.sources:
            for index, entry in enumerate(source.document.schemas):
                first.setdefault(entry.class_name, source)
        now: dict[str, set[str]] = {}  # class -> what its latest definition references
        referrers: dict[str, set[str]] = {}  # the reverse of ``now``
        for source in self.sources:
            own = [Definition(source, index) for index in range(len(source.document.schemas))]
            defined = {d.name for d in own}
            for definition in own:
                self._check_names(definition, defined, first)
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
            batch = Batch(source, own, sorted((self.latest[name] for name in followers), key=self._age),
                          followers_of=followers_of)
            for definition in own:
                self.latest[definition.name] = definition
            batch.definitions = self._bases_first(batch)
            self.batches.append(batch)

    def _age(self, definition: Definition) -> tuple[int, int]:
        return self.sources.index(definition.source), definition.index

    def _check_names(self, definition: Definition, defined: set[str], first: dict[str, MigrationSource]) -> None:
        bases = generated_module().framework_bases
        for name, loc in class_references(definition.schema):
            if name in bases or name in self.latest or name in defined:
                continue
            where = location(("schemas", definition.index, "schema") + loc, tagged=False)
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
    def loaded(cls, project_sources: list[MigrationSource], sources: list[MigrationSource] | None = None
               ) -> ClassGraph:
        """Load these migrations' files (default: all of the project's) and check them and their class
        names: every problem of every file in one error, in the order the files apply."""
        sources = project_sources if sources is None else sources
        problems = load_problems(project_sources, sources)
        readable = [source for source in sources if source.document is not None]
        unreadable = [name for source in sources if source.document is None for name in declared_classes(source)]
        graph = cls(readable, elsewhere=unreadable)
        if problems or graph.problems:
            order = {source.where(): index for index, source in enumerate(project_sources)}
            raise problems_error(sorted(problems + graph.problems,
                                        key=lambda line: order.get(line.split(":", 1)[0], len(order))))
        return graph

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
        """The batches, each restricted to the classes ``only`` (a set that ``needs`` closed), without empty ones."""
        if only is None:
            return list(self.batches)
        restricted = []
        for batch in self.batches:
            kept = [d for d in batch.definitions if d.name in only]
            if kept:
                restricted.append(Batch(batch.source, [d for d in batch.own if d.name in only],
                                        [d for d in batch.followers if d.name in only], kept))
        return restricted

"""Compiling migrations' batches of classes with the class foundry."""
from __future__ import annotations

import signal
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager

from velkor.migration.class_foundry import DefaultMigrationSchemas

from velkor.migration.runner.classes.diagnosis import diagnose
from velkor.migration.runner.classes.eager import compile_buffered
from velkor.migration.runner.classes.namespace import has_custom_code, needed_only
from velkor.migration.runner.classes.reference_graph import Batch, Definition
from velkor.migration.runner.classes.registry import ProjectClasses
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.source.validation import class_references

Scope = Callable[[], AbstractContextManager]  # the framework's settings pointed at the project


@contextmanager
def interrupts_noticed() -> Iterator[list[int]]:
    """Whether Ctrl-C arrived during the block (the list is then not empty); the handler in
    place (the interpreter's, or the command line's) still does what it does."""
    noticed: list[int] = []
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield noticed  # Ctrl-C ignored (a commit under way), or handled elsewhere
        return

    def interrupted(number, frame):
        noticed.append(number)
        previous(number, frame)

    signal.signal(signal.SIGINT, interrupted)
    try:
        yield noticed
    finally:
        signal.signal(signal.SIGINT, previous)


class Compiler:
    """Compiles a project's batches of classes; every failure names the file and the class."""

    def __init__(self, scope: Scope, timings: Counter) -> None:
        self._scope = scope
        self._timings = timings  # "compile": seconds spent in the class foundry
        self.compiled: list[list[str]] = []  # the class names of every batch compiled, in order

    def compile(self, registry: DefaultMigrationSchemas, source: MigrationSource,
                definitions: list[Definition] | None = None) -> list[str]:
        """Register the classes of a migration's batch (by default its own schemas) and compile
        them, each after the classes it references (``compile_order``), so that a reference is
        held the same way whichever classes compile together; the class names. A batch that
        fails leaves the registry as it was."""
        if definitions is None:
            definitions = Definition.own(source)
        entries = [definition.registration() for definition in definitions]
        # What the batch's names held: a compile adds or replaces the classes of its own names only.
        before = {name: registry._classes.get(name) for name, _, _ in entries}
        compiling = entries  # the group under way
        started = time.perf_counter()
        try:
            with self._scope(), interrupts_noticed() as interrupted:
                for group, passes in compile_order(definitions):
                    compiling = [definition.registration() for definition in group]
                    for _ in range(passes):
                        for entry in compiling:
                            registry.register_model(*entry)
                        with needed_only(registry, group):
                            if has_custom_code(group):
                                registry.compile_buffered_classes()
                            else:
                                compile_buffered(registry)
        except (Exception, SystemExit) as exc:  # whatever the generated module raised: a fault of the schemas
            registry._buffered_classes.clear()
            if interrupted:  # Ctrl-C, which a library turned into an error of its own (pydantic's serializer does)
                _put_back(registry, before)
                raise KeyboardInterrupt from None
            followers = {d.name for d in definitions if d.source is not source}
            with self._scope():  # (diagnosed with the registry as it was when the group failed)
                failure = MigrationError(f"{source.where()}: {diagnose(registry, compiling, exc, followers)}")
            _put_back(registry, before)
            raise failure from None
        finally:
            self._timings["compile"] += time.perf_counter() - started
        names = [name for name, _, _ in entries]
        self.compiled.append(names)
        return names

    def compile_batch(self, registry: DefaultMigrationSchemas, batch: Batch) -> None:
        """Compile a migration's batch; the classes it retires leave the registry."""
        self.compile(registry, batch.source, batch.definitions)
        for name in batch.retired:
            registry._classes.pop(name, None)

    def replay(self, batches: list[Batch], registry: DefaultMigrationSchemas | None = None) -> DefaultMigrationSchemas:
        """A registry holding the classes of these batches, compiled one after another."""
        registry = registry if registry is not None else ProjectClasses()
        for batch in batches:
            self.compile_batch(registry, batch)
        return registry


def compiled_before(definitions: list[Definition], name: str) -> list[Definition]:
    """The classes of a batch compiled before the class ``name`` compiles for the last time (with
    the classes of its group, when they compile twice): what its generated text is rendered after."""
    found: list[Definition] = []
    for group, passes in compile_order(definitions):
        if any(definition.name == name for definition in group):
            return found + (group if passes == 2 else [])
        found += group
    return found


def _put_back(registry: DefaultMigrationSchemas, classes: dict) -> None:
    """The registry as it was before a batch: ``classes``, what the batch's names held then (None: nothing)."""
    for name, held in classes.items():
        if held is None:
            registry._classes.pop(name, None)
        else:
            registry._classes[name] = held


def compile_order(definitions: list[Definition]) -> list[tuple[list[Definition], int]]:
    """The batch in groups compiled one after another, each after the groups it references,
    with how many times it compiles. The foundry holds a reference to a class compiled before
    as a reference to a stored object or the object itself (``Union[Reference, 'X', ...]``),
    but a reference to a class of the same compile as the object only: compiled after what it
    references, a class accepts the same input whichever classes compile with it. Classes that
    reference each other (or a class that references itself) compile together, twice: the
    second time, each is a class compiled before. The groups are the strongly connected parts
    of the batch's references (Tarjan's algorithm, from the classes in batch order)."""
    by_name = {definition.name: definition for definition in definitions}
    position = {definition.name: index for index, definition in enumerate(definitions)}
    references = {definition.name: [name for name, _ in class_references(definition.schema) if name in by_name]
                  for definition in definitions}
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    groups: list[tuple[list[Definition], int]] = []
    for root in by_name:
        if root in index:
            continue
        work = [(root, iter(references[root]))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            name, pending = work[-1]
            following = next((n for n in pending if n not in index or n in on_stack), None)
            if following is not None:
                if following not in index:
                    index[following] = low[following] = len(index)
                    stack.append(following)
                    on_stack.add(following)
                    work.append((following, iter(references[following])))
                else:
                    low[name] = min(low[name], index[following])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[name])
            if low[name] == index[name]:
                members = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    members.append(member)
                    if member == name:
                        break
                group = [by_name[member] for member in sorted(members, key=position.__getitem__)]  # (batch order)
                cyclic = len(group) > 1 or name in references[name]
                groups.append((group, 2 if cyclic else 1))
    return groups

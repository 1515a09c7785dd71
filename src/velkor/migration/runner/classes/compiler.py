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
from velkor.migration.runner.classes.reference_graph import Batch, Definition
from velkor.migration.runner.classes.registry import ProjectClasses
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.source.document import MigrationSource

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
        them in one batch; the class names."""
        if definitions is None:
            definitions = Definition.own(source)
        entries = [definition.registration() for definition in definitions]
        started = time.perf_counter()
        try:
            with self._scope(), interrupts_noticed() as interrupted:
                for entry in entries:
                    registry.register_model(*entry)
                registry.compile_buffered_classes()
        except (Exception, SystemExit) as exc:  # whatever the generated module raised: a fault of the schemas
            registry._buffered_classes.clear()
            if interrupted:  # Ctrl-C, which a library turned into an error of its own (pydantic's serializer does)
                raise KeyboardInterrupt from None
            followers = {d.name for d in definitions if d.source is not source}
            with self._scope():
                raise MigrationError(f"{source.where()}: {diagnose(registry, entries, exc, followers)}") from None
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

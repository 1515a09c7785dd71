"""A project folder: its configuration, its migration files, the applied ones,
and the registry of model classes that they compile into."""
from __future__ import annotations

import re
import time
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from pydantic.errors import PydanticUndefinedAnnotation

from velkor.configs.main import settings
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.data_classes import MigrationFile
from velkor_data.connections.manager import UnknownConnectionError
from velkor_data.engines.base import StorageError
from velkor_utils.config.manager import ConfigError, VelkorConfigManager

from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.files import MigrationSource, discover, load_all, look_alikes
from velkor.migration.runner.ledger import Ledger, record_key
from velkor.migration.runner.references import Batch, ClassGraph, Definition

GENERATED_FILE = "classes"  # the file name the class foundry compiles its module text under
_PLACEHOLDERS = re.compile(r"(\{\{imports\}\}|\{\{classes\}\}|\{\{classes_model_rebuild\}\})")
STORAGE_ERRORS = (StorageError, UnknownConnectionError, ConfigError)


def storage_message(exc: BaseException) -> str:
    """The one-line text of a storage or configuration error."""
    if isinstance(exc, ConfigError):
        return str(exc)
    return f"storage: {exc}"


class Project:
    """The project in ``root``. The framework's settings point at it while
    one of its operations runs (``active``), so that two projects can be
    used in one process."""

    def __init__(self, root: str | Path | None = None) -> None:
        root = Path(root if root is not None else ".").expanduser()
        if not root.is_dir():
            raise MigrationError(f"{root}: no such project folder")
        self.root = root.resolve()
        with self.active():
            if not settings.CONFIG_PATH.is_file():
                raise MigrationError(f"{self.root}: no {settings.CONFIG_FILE_NAME} here "
                                     "(run in a project folder, or give --project DIR)")
            try:
                self.config = VelkorConfigManager().get_config()
            except ConfigError as exc:
                raise MigrationError(str(exc)) from None
            resources = self.config.resources_config
            if not resources.repository.default and not resources.lakehouse:
                raise MigrationError(f"{settings.CONFIG_PATH}: resources_config names neither a repository default "
                                     "connection nor a lakehouse: the applied migrations are recorded there")
            self.sources: list[MigrationSource] = discover()
            self.warnings: list[str] = look_alikes()
        self._by_key = {source.key: source for source in self.sources}
        self._ledger: Ledger | None = None
        # Set by the command line: Ctrl-C is ignored once a commit begins.
        self.interrupts_end_at_commit = False
        # Seconds spent in the two modules: "compile" (class foundry), "ledger" (ledger vault and storage).
        self.timings: Counter[str] = Counter()
        self.compiled: list[list[str]] = []  # the class names of every batch compiled, in order

    def close(self) -> None:
        """Close the stores' connections (they open again when used)."""
        if self._ledger is not None:
            self._ledger.connections.close()

    def __enter__(self) -> Project:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    @contextmanager
    def active(self) -> Iterator[None]:
        """The framework's settings point at this project for the block."""
        previous = settings.PROJECT_ROOT
        settings.configure(self.root)
        try:
            yield
        finally:
            settings.configure(previous)

    @contextmanager
    def storage(self, what: str) -> Iterator[None]:
        """A block that uses the stores: their errors become one message saying what failed."""
        started = time.perf_counter()
        try:
            with self.active():
                yield
        except STORAGE_ERRORS as exc:
            raise MigrationError(f"{what}: {storage_message(exc)}") from None
        finally:
            self.timings["ledger"] += time.perf_counter() - started

    # -- the ledger ------------------------------------------------------

    @property
    def ledger(self) -> Ledger:
        if self._ledger is None:
            with self.storage("opening the ledger"):
                self._ledger = Ledger(self.root, self.interrupts_end_at_commit)
        return self._ledger

    def applied_records(self) -> list[MigrationFile]:
        """The applied migrations, in the order they were applied."""
        ledger = self.ledger
        with self.storage("reading the applied migrations"):
            records = ledger.records()
        order = {source.key: index for index, source in enumerate(self.sources)}
        return sorted(records, key=lambda r: (r.applied_at or 0.0, order.get(record_key(r), len(order))))

    def save(self, source: MigrationSource, applied_at: float) -> MigrationFile:
        record = MigrationFile(number=source.number, path=source.path, type=source.module_type,
                               module=source.module, applied_at=applied_at)
        ledger = self.ledger
        with self.storage(f"{source.where()}: recording it as applied"):
            ledger.save(record)
        return record

    def delete(self, record: MigrationFile) -> None:
        ledger = self.ledger
        with self.storage(f"{record_label(record)}: withdrawing it"):
            ledger.withdraw(record)

    # -- the classes -----------------------------------------------------

    def compile(self, registry: DefaultMigrationSchemas, source: MigrationSource,
                definitions: list[Definition] | None = None) -> list[str]:
        """Register the classes of a migration's batch (by default its own schemas) and compile
        them in one batch; the class names."""
        if definitions is None:
            definitions = [Definition(source, index) for index in range(len(source.document.schemas))]
        entries = [definition.registration() for definition in definitions]
        started = time.perf_counter()
        try:
            with self.active():
                for entry in entries:
                    registry.register_model(*entry)
                registry.compile_buffered_classes()
        except (Exception, SystemExit) as exc:  # whatever the generated module raised: a fault of the schemas
            registry._buffered_classes.clear()
            followers = {d.name for d in definitions if d.source is not source}
            with self.active():
                raise MigrationError(f"{source.where()}: {diagnose(registry, entries, exc, followers)}") from None
        finally:
            self.timings["compile"] += time.perf_counter() - started
        names = [name for name, _, _ in entries]
        self.compiled.append(names)
        return names

    def graph(self, sources: list[MigrationSource]) -> ClassGraph:
        """The classes of these migrations (loaded), applied in this order; unknown class names are an error."""
        graph = ClassGraph(sources)
        graph.check()
        return graph

    def replay(self, batches: list[Batch], registry: DefaultMigrationSchemas | None = None) -> DefaultMigrationSchemas:
        """A registry holding the classes of these batches, compiled one after another."""
        registry = registry if registry is not None else ProjectClasses()
        for batch in batches:
            self.compile(registry, batch.source, batch.definitions)
        return registry

    def source_of(self, record: MigrationFile) -> MigrationSource | None:
        return self._by_key.get(record_key(record))

    def applied_sources(self, records: list[MigrationFile], load: bool = True) -> list[MigrationSource]:
        """The files of the applied migrations, in applied order; each must still exist."""
        missing = [record_label(r) for r in records if self.source_of(r) is None]
        if missing:
            raise MigrationError(
                "recorded as applied, but the file is gone: " + ", ".join(missing)
                + " (restore the file, or withdraw the migration with rollback)")
        sources = [self.source_of(r) for r in records]
        if load:
            load_all(self.sources, only=sources)
        return sources  # type: ignore[return-value]


def record_label(record: MigrationFile) -> str:
    return f"{record.module or 'app'}:{Path(record.path.name).stem}"


class ProjectClasses(DefaultMigrationSchemas):
    """A registry of a project's classes; asked for a class it does not hold, it says which it holds."""

    def get_model(self, name: str) -> Any:
        if name not in self._classes:
            known = ", ".join(sorted(self._classes)) or "none"
            raise UnknownClass(f"no class {cut(repr(name))} (the classes: {known})")
        return super().get_model(name)


class UnknownClass(KeyError):
    """A class name that the registry does not hold; a ``KeyError`` with a readable message."""

    def __str__(self) -> str:
        return str(self.args[0])


def load_classes(root: str | Path | None = None) -> DefaultMigrationSchemas:
    """The model classes of the project's applied migrations, compiled in a new registry:
    ``load_classes("shop").get_model("Customer")``."""
    project = Project(root)
    with project.active():
        sources = project.applied_sources(project.applied_records())
        return project.replay(project.graph(sources).plan())


# -- finding what made a compile fail ------------------------------------


@dataclass
class _Line:
    owner: str | None  # the class whose text the line belongs to
    text: str


def _generated_lines(registry: DefaultMigrationSchemas, entries: list[tuple]) -> list[_Line] | None:
    """The module text that the registry compiled for ``entries``, each line with its class.

    Built the way the registry fills its layout template: the import texts, the
    class texts, then one ``model_rebuild()`` line per class.
    """
    try:
        layout = registry.model_class_template_layout.read_text()
        rendered = [(name, *registry._build_class_source(name, schema, kind)) for name, schema, kind in entries]
    except Exception:
        return None
    chunks = {
        "{{imports}}": [(name, imports + "\n") for name, imports, _ in rendered],
        "{{classes}}": [(name, source + "\n") for name, _, source in rendered],
        "{{classes_model_rebuild}}": [(name, f"{name}.model_rebuild()" + ("\n" if i < len(rendered) - 1 else ""))
                                      for i, (name, _, _) in enumerate(rendered)],
    }
    lines: list[_Line] = []
    current = _Line(None, "")
    for part in _PLACEHOLDERS.split(layout):
        for owner, text in chunks.get(part, [(None, part)]):
            pieces = text.split("\n")
            for i, piece in enumerate(pieces):
                if piece and current.owner is None and not current.text:
                    current.owner = owner
                current.text += piece
                if i < len(pieces) - 1:
                    lines.append(current)
                    current = _Line(None, "")
    lines.append(current)
    return lines


def _failing_line(exc: BaseException) -> int | None:
    """The line of the generated module where ``exc`` arose."""
    if isinstance(exc, SyntaxError) and exc.filename == GENERATED_FILE:
        return exc.lineno
    line = None
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == GENERATED_FILE:
            line = tb.tb_lineno
        tb = tb.tb_next
    return line


def _class_body_line(exc: BaseException, schemas: dict[str, Any]) -> tuple[str, int] | None:
    """The class whose body was running when ``exc`` arose, and the line of the body; the frame
    of a class body is named after the class."""
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == GENERATED_FILE and code.co_name in schemas:
            return code.co_name, tb.tb_lineno
        tb = tb.tb_next
    return None


def _type_paths(schema: Any) -> dict[str, list[str]]:
    """Every type name in a schema, with the fields that use it."""
    found: dict[str, list[str]] = {}

    def walk(type_name: str | None, items: Any, path: str) -> None:
        if type_name:
            found.setdefault(type_name, []).append(path)
        if items is None:
            return
        if hasattr(items, "key_type"):
            walk(items.key_type, None, path + ".items.key_type")
            walk(items.value_type, None, path + ".items.value_type")
        elif hasattr(items, "key"):
            walk(items.key.type, items.key.items, path + ".items.key")
            walk(items.value.type, items.value.items, path + ".items.value")
        else:
            walk(items.type, items.items, path + ".items")

    for name, prop in (schema.properties or {}).items():
        walk(prop.type, prop.items, f"properties.{name}")
    return found


def _explain(exc: BaseException, schema: Any) -> str:
    text = "\n".join(line for line in str(exc).splitlines()
                     if line.strip() and not line.startswith("For further information visit"))
    missing = getattr(exc, "name", None)
    if isinstance(exc, (NameError, PydanticUndefinedAnnotation)):
        if missing and missing == schema.type:
            return f"unknown base class {missing!r} (schema.type)"
        paths = _type_paths(schema).get(missing or "")
        if paths:
            return f"unknown type {missing!r} (schema.{', schema.'.join(paths)})"
    if isinstance(exc, SyntaxError) and "custom code" in text:
        return f"schema.custom_code: {text}"
    if isinstance(exc, SyntaxError):
        return f"the generated source does not parse: {exc.msg}"
    return f"{type(exc).__name__}: {text}"


def diagnose(registry: DefaultMigrationSchemas, entries: list[tuple], exc: BaseException,
             followers: set[str] = frozenset()) -> str:
    """Which class of a failed batch is at fault, and why; ``followers`` are the classes compiled
    again because they reference a class that the migration changes."""
    text = _diagnose(registry, entries, exc)
    culprit = next((name for name in followers if text.startswith((f"class {name} ", f"custom code of class {name} "))), None)
    if culprit:
        text += " (compiled again because it references a class that this migration changes)"
    return text


def _diagnose(registry: DefaultMigrationSchemas, entries: list[tuple], exc: BaseException) -> str:
    schemas = {name: schema for name, schema, _ in entries}
    for name, schema, kind in entries:
        try:
            registry._build_class_source(name, schema, kind)
        except Exception as render_error:
            return f"class {name} does not compile: {_explain(render_error, schema)}"
    missing = getattr(exc, "name", None)
    if isinstance(missing, str):  # a name that is not defined: the class whose schema uses it
        for name, schema in schemas.items():
            if missing == schema.type or missing in _type_paths(schema):
                return f"class {name} does not compile: {_explain(exc, schema)}"
    lines = _generated_lines(registry, entries)
    body = _class_body_line(exc, schemas)
    if body is not None:  # raised while the class statement ran its body: the custom code did
        name, number = body
        if isinstance(exc, SystemExit):
            what = "exited" + (f" with {cut(repr(exc.code))}" if exc.code is not None else "")
        else:
            what = f"raised {type(exc).__name__}: {cut(str(exc), 200)}"
        at = f" (at: {cut(lines[number - 1].text.strip(), 80)})" if lines and 0 < number <= len(lines) else ""
        return f"custom code of class {name} {what} while the class was created{at}"
    number = _failing_line(exc)
    if lines and number and 0 < number <= len(lines) and lines[number - 1].owner in schemas:
        owner, text = lines[number - 1].owner, lines[number - 1].text.strip()
        reason = _explain(exc, schemas[owner])
        if "(schema." not in reason:  # no field to point at: show the generated line
            reason += f"\n  generated line: {text}"
        return f"class {owner} does not compile: {reason}"
    names = ", ".join(schemas)
    return f"the classes {names} do not compile: {type(exc).__name__}: {exc}"

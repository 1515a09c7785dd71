"""A project folder: its configuration, its migration files, its record of
applied migrations and the compiler of its classes; and ``load_classes``,
what an application calls."""
from __future__ import annotations

import tomllib
from collections import Counter
import warnings
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any

from velkor.configs.main import settings
from velkor.migration.utils import contrib_to_module_root_path
from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.configuration import config_file, has_storage, read_configuration
from velkor.migration.runner.errors import MigrationError, did_you_mean, shown
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.record.engines import load_engines
from velkor.migration.runner.redaction import holds_password, is_secret_name
from velkor.migration.runner.record.checksums import file_checksum, text_checksum
from velkor.migration.runner.record.recorder import Recorder
from velkor.migration.runner.source.discovery import discover, duplicate_numbers, look_alikes
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.source.loading import load_all, parse_document

if TYPE_CHECKING:  # (the class foundry is imported by the commands that compile, when they do)
    from velkor.migration.class_foundry import DefaultMigrationSchemas
    from velkor.migration.runner.classes.compiler import Compiler


class Project:
    """The project in ``root``. The framework's settings point at it while
    one of its operations runs (``active``), so that two projects can be
    used in one process."""

    def __init__(self, root: str | Path | None = None, config: str | Path | None = None,
                 storage: bool = True) -> None:
        """``config``: the configuration file (else ``VELKOR_CONFIG``, else the project's velkor.toml);
        ``storage=False``: a configuration that names no store is accepted (for writing files only)."""
        root = Path(root if root is not None else ".").expanduser()
        if not root.is_dir():
            raise MigrationError(f"{root}: no such project folder")
        self.root = root.resolve()
        with self.active():
            path, chosen_by = config_file(self.root, config)
            refuse_inline_secrets(path)
            self.configuration = read_configuration(self.root, path, chosen_by)
            self.config = self.configuration.config
            if storage and not has_storage(self.config):
                raise MigrationError(f"{path}: resources_config names neither a repository default "
                                     "connection nor a lakehouse: the applied migrations are recorded there")
            self.sources: list[MigrationSource] = discover()
            self.duplicates: list[str] = duplicate_numbers(self.sources)
            self.warnings: list[str] = look_alikes()
        self._by_key = {source.key: source for source in self.sources}
        # Seconds spent in the two modules: "compile" (class foundry), "ledger" (ledger vault and storage).
        self.timings: Counter[str] = Counter()
        self.recorder = Recorder(self.root, self.active, self.timings, self.config)
        self._compiler: Compiler | None = None
        # Where a file edited since it was applied is said (the command line: a warning), and
        # whether that is an error instead (load_classes(strict=True), --strict).
        self.warn: Callable[[str], None] = _warn
        self.strict = False

    @property
    def compiler(self) -> Compiler:
        """The compiler of the project's classes."""
        if self._compiler is None:
            from velkor.migration.runner.classes.compiler import Compiler
            self._compiler = Compiler(self.active, self.timings)
        return self._compiler

    def load_engines(self) -> None:
        """Import the storage libraries its connections use, which are otherwise
        imported when a connection first opens."""
        load_engines(self.config)

    def close(self) -> None:
        """Close the stores' connections (they open again when used)."""
        self.recorder.close()

    def __enter__(self) -> Project:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    @contextmanager
    def active(self) -> Iterator[None]:
        """The framework's settings point at this project for the block, and
        at what they pointed at before it afterwards."""
        previous = settings.configured_root
        if previous == self.root:  # inside a block of its own already (every storage call is in one)
            yield
            return
        settings.configure(self.root)
        try:
            yield
        finally:
            settings.configure(previous)

    # -- the applied migrations and their files ----------------------------

    def applied_records(self) -> list[MigrationFile]:
        """The applied migrations, in the order they were applied."""
        return self.recorder.records()

    def source_of(self, record: MigrationFile) -> MigrationSource | None:
        return self._by_key.get(MigrationKey.of_record(record))

    def applied_sources(self, records: list[MigrationFile], load: bool = True) -> list[MigrationSource]:
        """The applied migrations in migration order (so that a class several of them define is
        the one of the latest, however the runs were ordered): their files, or, for one recorded
        by another run whose file is not in this folder (a newer deploy), the text the record keeps."""
        elsewhere = self.recorded_elsewhere(records)
        missing = [label_of(r) for r in records if self.source_of(r) is None
                   and MigrationKey.of_record(r) not in elsewhere]
        if missing:
            raise MigrationError(
                "recorded as applied, but the file is gone: " + ", ".join(missing)
                + " (restore the file; the record keeps no text of it to build its classes from)")
        sources = sorted((self.source_of(r) or elsewhere[MigrationKey.of_record(r)] for r in records),
                         key=lambda source: source.order)
        if load:
            load_all(self.sources, only=self.in_folder(sources))
        return sources  # type: ignore[return-value]

    def applied_sources_at(self, at: str | None = None, load: bool = True) -> list[MigrationSource]:
        """The applied migrations as the record holds them now, or as it held them at ``at``
        (``load=False``: the files of those applied now are not read yet)."""
        if at is None:
            records = self.applied_records()
            self.use_applied_documents(records)
            return self.applied_sources(records, load)
        past = self.recorder.as_of(at)
        return self.sources_as_recorded(past.records(), past.checksums(), at)

    def in_folder(self, sources: list[MigrationSource]) -> list[MigrationSource]:
        """Those of the sources whose file is in this folder."""
        return [source for source in sources if source.key in self._by_key]

    def recorded_elsewhere(self, records: list[MigrationFile]) -> dict[MigrationKey, MigrationSource]:
        """The applied migrations whose file is not in this folder but whose text the record keeps,
        as sources read from the record."""
        lacking = [r for r in records if self.source_of(r) is None]
        if not lacking:
            return {}
        stored = self.recorder.checksums()
        found = {}
        for record in lacking:
            key = MigrationKey.of_record(record)
            checksum = stored.get(key)
            if checksum is not None and checksum.document is not None:
                found[key] = self._as_recorded(record, checksum.document, "as recorded; no file here")
        return found

    def sources_as_recorded(self, records: list[MigrationFile], stored: dict[MigrationKey, Any],
                            moment: str) -> list[MigrationSource]:
        """The applied migrations, in migration order, as the record kept their texts (at ``moment``);
        a file stands in for a text the record did not keep only while it is still as applied."""
        sources = []
        for record in records:
            key = MigrationKey.of_record(record)
            checksum = stored.get(key)
            if checksum is not None and checksum.document is not None:
                sources.append(self._as_recorded(record, checksum.document, f"as recorded at {moment}"))
                continue
            source = self.source_of(record)
            try:
                as_applied = source is not None and checksum is not None and file_checksum(source.path) == checksum.checksum
            except OSError:
                as_applied = False
            if not as_applied:
                raise MigrationError(f"{key.label}: the record kept no text of it at {moment}, and its file is "
                                     "not as it was applied then")
            load_all(self.sources, only=[source])
            sources.append(source)
        return sorted(sources, key=lambda source: source.order)

    def _as_recorded(self, record: MigrationFile, text: str, how: str) -> MigrationSource:
        key = MigrationKey.of_record(record)
        folder = contrib_to_module_root_path(key.module) if key.module else settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
        source = MigrationSource(key.module, record.number, folder / key.name)
        source.document = parse_document(text, f"{key.label} ({how})")
        source.checksum = text_checksum(text)
        return source

    def use_applied_documents(self, records: list[MigrationFile]) -> None:
        """Read the applied migrations as the record keeps them: a file edited since it was
        applied does not change the applied classes (it is said, or an error when strict)."""
        stored = self.recorder.checksums()
        for record in records:
            source = self.source_of(record)
            found = stored.get(MigrationKey.of_record(record))
            if source is None or found is None:
                continue
            try:
                now = file_checksum(source.path)
            except OSError:
                now = None
            if now == found.checksum:
                source.checksum = now
                continue
            built = ("its classes are built as it was applied" if found.document is not None else
                     "the record keeps no text of it from before, so its classes are built from the file as it is")
            message = (f"{source.where()} changed since it was applied: {built}; restore the file, or record the "
                       f"change with `velkor-migrate apply --accept-changed {source.label}`")
            if self.strict:
                raise MigrationError(message)
            self.warn(message)
            if found.document is not None:
                source.document = parse_document(found.document, f"{source.where()} (as applied)")
                source.checksum = found.checksum

    def pending(self, records: list[MigrationFile], target: MigrationSource | None = None) -> list[MigrationSource]:
        """The migrations that are not applied, in order; with ``target``, up to it (or, when it is
        applied, those before it)."""
        applied = {MigrationKey.of_record(r) for r in records}
        pending = [s for s in self.sources if s.key not in applied]
        if target is None:
            return pending
        if target in pending:
            return pending[:pending.index(target) + 1]
        return [s for s in pending if self.sources.index(s) < self.sources.index(target)]


PASSWORD_SOURCES = {
    "postgresql": "give it in the environment (PGPASSWORD) or in ~/.pgpass",
    "delta": "give the credentials in the environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, "
             "AWS_SESSION_TOKEN)",
}
LOCATION_KEYS = ("url", "path", "endpoint_url")


def refuse_inline_secrets(path: Path) -> None:
    """Refuse a configuration file that holds a password: a key named like a
    secret, or a connection's location with a password or credentials in it.
    The message names the connection and the key, never the value."""
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return  # the configuration's reader says what is wrong with the file
    connections = data.get("connections")
    for name, section in (connections.items() if isinstance(connections, dict) else ()):
        if not isinstance(section, dict):
            continue
        where = f"{path}: connection {name!r}"
        for key, value in section.items():
            if is_secret_name(key):
                what = f"`{key}` holds a secret"
            elif key in LOCATION_KEYS and isinstance(value, str) and holds_password(value):
                what = f"`{key}` holds a password"
            else:
                continue
            engine = section.get("engine")
            if engine not in PASSWORD_SOURCES:
                engine = "delta" if key.startswith("aws") or str(section.get("path", "")).startswith("s3") \
                    else "postgresql"
            raise MigrationError(f"{where}: {what}: remove it from the file and {PASSWORD_SOURCES[engine]}")
    key = next(_secret_keys(data, skip=("connections",)), None)
    if key is not None:
        raise MigrationError(f"{path}: `{key}` holds a secret: remove it from the file and give it in the environment")


def _secret_keys(table: dict[str, Any], skip: tuple[str, ...] = (), prefix: str = "") -> Iterator[str]:
    """The dotted names of the keys named like a secret in a table and the tables in it."""
    for key, value in table.items():
        if key in skip:
            continue
        if is_secret_name(key):
            yield prefix + key
        elif isinstance(value, dict):
            yield from _secret_keys(value, prefix=f"{prefix}{key}.")


class ChangedSinceApplied(UserWarning):
    """An applied migration's file was edited since: the classes are built as it was applied."""


def _warn(message: str) -> None:
    warnings.warn(message, ChangedSinceApplied, stacklevel=3)


def load_classes(root: str | Path | None = None, strict: bool = False, at: str | None = None,
                 classes: Iterable[str] | None = None) -> DefaultMigrationSchemas:
    """The model classes of the project's applied migrations as the record holds them, compiled
    in a new registry: ``load_classes("shop").get_model("Customer")``. A migration file edited
    since it was applied gives a ``ChangedSinceApplied`` warning (``strict``: an error).
    ``at``: as they were at a past moment (ISO 8601, or a version of the ledger), read from the
    lakehouse's own versions. ``classes``: only these, with the classes they reference (the same
    classes as loading all, in less time). The project's class snapshot, when it stands for the
    applied migrations, spares reading their documents (``classes.class_snapshot``)."""
    from velkor.migration.runner.classes.reference_graph import ClassGraph
    project = Project(root)
    project.strict = strict
    with project.active():
        sources = project.applied_sources_at(at, load=False)
        graph = ClassGraph.loaded(project.sources, sources, root=project.root if at is None else None)
        only = None
        if classes is not None:
            wanted = list(classes)
            unknown = [name for name in wanted if name not in graph.latest]
            if unknown:
                raise MigrationError(f"no class {', '.join(map(shown, unknown))} among the classes of the applied "
                                     f"migrations{did_you_mean(unknown[0], list(graph.latest))}")
            only = graph.needs(wanted)
        registry = project.compiler.replay(graph.plan(only))
        if at is None:
            graph.keep(project.root)
        return registry

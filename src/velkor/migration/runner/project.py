"""A project folder: its configuration, its migration files, its record of
applied migrations and the compiler of its classes; and ``load_classes``,
what an application calls."""
from __future__ import annotations

import tomllib
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from velkor.configs.main import settings
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.classes.compiler import Compiler
from velkor.migration.runner.classes.reference_graph import ClassGraph
from velkor.migration.runner.configuration import config_file, has_storage, read_configuration
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.redaction import holds_password, is_secret_name
from velkor.migration.runner.record.recorder import Recorder
from velkor.migration.runner.source.discovery import discover, duplicate_numbers, look_alikes
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.source.loading import load_all


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
        self.recorder = Recorder(self.root, self.active, self.sources, self.timings, self.config)
        self.compiler = Compiler(self.active, self.timings)

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
        """The files of the applied migrations, in applied order; each must still exist."""
        missing = [label_of(r) for r in records if self.source_of(r) is None]
        if missing:
            raise MigrationError(
                "recorded as applied, but the file is gone: " + ", ".join(missing)
                + " (restore the file, or withdraw the migration with rollback)")
        sources = [self.source_of(r) for r in records]
        if load:
            load_all(self.sources, only=sources)
        return sources  # type: ignore[return-value]

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


def load_classes(root: str | Path | None = None) -> DefaultMigrationSchemas:
    """The model classes of the project's applied migrations, compiled in a new registry:
    ``load_classes("shop").get_model("Customer")``."""
    project = Project(root)
    with project.active():
        sources = project.applied_sources(project.applied_records(), load=False)
        return project.compiler.replay(ClassGraph.loaded(project.sources, sources).plan())

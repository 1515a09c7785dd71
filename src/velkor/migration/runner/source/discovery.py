"""Where migration files are found, in which order they apply, and which
migration a reference such as ``billing:0001`` names."""
from __future__ import annotations

import difflib
import os
from collections import Counter
from pathlib import Path

from velkor.configs.main import settings
from velkor.migration.utils import contrib_to_module_root_path

from velkor.migration.runner.errors import MigrationError, cut, shown
from velkor.migration.runner.key import APP
from velkor.migration.runner.source.document import (
    FILE_NAME, MODULE_NAME, REFERENCE, MigrationSource, display_path)
from velkor.migration.runner.source.reading import checked

# A migration's number is stored as a signed 64-bit integer.
MAX_NUMBER = (1 << 63) - 1


# The paths discovery made, by their text: a record of the same file shares its path.
_MADE: dict[str, Path] = {}


def path_of(text: str) -> Path:
    """The path ``text`` names: the one discovery made of it, else a new one."""
    return _MADE.get(text) or Path(text)


def _scan(folder: Path, module: str | None) -> list[MigrationSource]:
    """A module's migration files by number (two files of one number both, by name: see ``duplicate_numbers``)."""
    found = []
    for entry in sorted((entry for entry in os.scandir(folder) if entry.name.endswith(".json")),
                        key=lambda entry: entry.name):
        name, path = entry.name, folder / entry.name
        match = FILE_NAME.fullmatch(name)
        if not match:
            raise MigrationError(f"{display_path(path)}: a migration file is named NNNN_name.json "
                                 "(a number of four digits or more, then letters, digits or '_')")
        number = int(match.group(1))
        if number > MAX_NUMBER:
            raise MigrationError(f"{display_path(path)}: the number {cut(match.group(1), 30)} is too large: "
                                 f"a migration's number is at most {MAX_NUMBER}")
        try:
            status = entry.stat()
        except OSError:
            status = None  # (``checked`` looks again, and says why)
        checked(path, status)
        _MADE[entry.path] = path
        found.append(MigrationSource(module, number, path))
    return sorted(found, key=lambda source: (source.number, source.path.name))


def duplicate_numbers(sources: list[MigrationSource]) -> list[str]:
    """A line for each number that two files of one module share: apply refuses to run with them."""
    counts = Counter((source.module, source.number) for source in sources)
    by_number: dict[tuple[str | None, int], list[MigrationSource]] = {}
    for source in sources:
        if counts[source.module, source.number] > 1:
            by_number.setdefault((source.module, source.number), []).append(source)
    return [f"{display_path(same[1].path)}: number {number} is also used by "
            + ", ".join(display_path(other.path) for other in same if other is not same[1])
            + " (give each migration of a module a number of its own)"
            for (_, number), same in by_number.items() if len(same) > 1]


def contrib_modules() -> list[str]:
    """The contrib modules that have a migrations folder, by name."""
    root = settings.CONTRIB_PATH
    if not root.is_dir():
        return []
    names = []
    for folder in sorted(root.iterdir()):
        if not folder.is_dir() or folder.name.startswith((".", "_")):
            continue
        if not contrib_to_module_root_path(folder.name).is_dir():
            continue
        if not MODULE_NAME.fullmatch(folder.name) or folder.name == APP:
            raise MigrationError(f"{display_path(folder)}: {folder.name!r} cannot name a contrib module "
                                 f"(a letter, then letters, digits or '_'; not {APP!r})")
        names.append(folder.name)
    return names


def discover() -> list[MigrationSource]:
    """Every migration file of the project, in the order they apply: the contrib
    modules by name, then the app; each module's migrations by number."""
    sources = []
    for module in contrib_modules():
        sources += _scan(contrib_to_module_root_path(module), module)
    app_folder = settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
    if app_folder.is_dir():
        sources += _scan(app_folder, None)
    return sources


def _close_to(name: str, wanted: str) -> bool:
    return name != wanted and (name.lower() == wanted or difflib.SequenceMatcher(None, name.lower(), wanted).ratio() >= 0.8)


def _skipped_files(folder: Path) -> list[str]:
    """Files of a migrations folder that look like migrations but are not read."""
    notes = []
    for name in sorted(entry.name for entry in os.scandir(folder) if not entry.name.endswith(".json")):
        path = folder / name
        if (name.lower().endswith(".json") or (name[:1].isdigit() and ".json" in name.lower())) and path.is_file():
            notes.append(f"{display_path(path)}: skipped: a migration file is named NNNN_name.json")
    return notes


def look_alikes() -> list[str]:
    """Warnings for what looks like migrations but is not read: misspelt folders and file names."""
    migrations = settings.MIGRATIONS_DIRECTORY_NAME
    notes = []
    owners = []  # folders that hold a migrations folder, or should
    root = settings.PROJECT_ROOT
    for kind, path in (("app", settings.APP_PATH), ("contrib", settings.CONTRIB_PATH)):
        for near in sorted(p for p in root.iterdir() if p.is_dir() and _close_to(p.name, kind)):
            notes.append(f"{display_path(near)}: skipped: did you mean {kind}/? "
                         f"Migrations are read from app/{migrations}/ and contrib/<module>/{migrations}/")
        if kind == "app":
            owners.append(path)
        elif path.is_dir():
            owners += sorted(p for p in path.iterdir() if p.is_dir() and not p.name.startswith((".", "_")))
    for owner in owners:
        if not owner.is_dir():
            continue
        for near in sorted(p for p in owner.iterdir() if p.is_dir() and _close_to(p.name, migrations)):
            notes.append(f"{display_path(near)}: skipped: migrations are read from "
                         f"{display_path(owner / migrations)}/")
        if (owner / migrations).is_dir():
            notes += _skipped_files(owner / migrations)
    return notes


def find(sources: list[MigrationSource], reference: str, where: str = "") -> MigrationSource:
    """The migration that ``[module:]NUMBER[_name]`` names; the app when no module is given."""
    prefix = f"{where}: " if where else ""
    match = REFERENCE.fullmatch(reference.strip())
    if not match:
        raise MigrationError(f"{prefix}{shown(reference)} does not name a migration: write [module:]NUMBER, "
                             "for example 3 or billing:0001")
    module = None if match.group(1) in (None, APP) else match.group(1)
    number = int(match.group(2))
    for source in sources:
        if source.module == module and source.number == number:
            if match.group(3) and not source.name.endswith(match.group(3)):
                break  # the number is there, under another name
            return source
    raise MigrationError(f"{prefix}no migration {shown(reference)} in the project")



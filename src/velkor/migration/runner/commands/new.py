"""``new``: the next numbered migration file, valid and empty."""
from __future__ import annotations

import json
import re
from pathlib import Path

from velkor.configs.main import settings
from velkor.migration.utils import contrib_to_module_root_path

from velkor.migration.runner.configuration import has_storage
from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.key import APP
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.discovery import contrib_modules
from velkor.migration.runner.source.document import MODULE_NAME, display_path


def new(project: Project, out: Output, name: str, module: str | None = None) -> int:
    """Write the next numbered migration file of the app (or of a contrib module), valid and empty: numbered
    after every file of the module and every migration of it that the record holds (its file deleted or not)."""
    slug = file_slug(name)
    module = None if module in (None, APP) else module
    if module is None:
        folder = settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
    else:
        if not MODULE_NAME.fullmatch(module) or not (settings.CONTRIB_PATH / module).is_dir():
            known = ", ".join(contrib_modules()) or "none"
            raise MigrationError(f"no contrib module {cut(repr(module))}: there is no folder "
                                 f"contrib/{cut(module, 40)}/ (contrib modules: {known})")
        folder = contrib_to_module_root_path(module)
    numbers = [s.number for s in project.sources if s.module == module] + recorded_numbers(project, module)
    path = write_migration(folder, max(numbers, default=0) + 1, slug, name)
    out.line(f"Created {display_path(path)}: add the classes to its \"schemas\" (see velkor-migrate schema).")
    return 0


def file_slug(name: str) -> str:
    """What a migration's name becomes in its file name: ``add coupons`` -> ``add_coupons``."""
    slug = re.sub(r"[^A-Za-z0-9]+", "_", name).strip("_").lower()
    if not slug:
        raise MigrationError(f"{cut(repr(name))} does not make a file name: use letters and digits")
    return slug


def recorded_numbers(project: Project, module: str | None) -> list[int]:
    """The numbers of the module's migrations that the record holds; none when no store is configured
    or the ledger holds nothing yet (it is not made here)."""
    if not has_storage(project.config):
        return []
    if not project.recorder.holds_records():
        return []
    return [record.number for record in project.applied_records() if (record.module or None) == module]


def write_migration(folder: Path, number: int, slug: str, description: str) -> Path:
    """Write ``folder/NNNN_slug.json``, valid and empty; never over an existing file."""
    path = folder / f"{number:04d}_{slug}.json"
    document = {"description": description.strip(), "depends_on": [], "schemas": []}
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with path.open("x", encoding="utf-8") as file:
            file.write(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
    except OSError as exc:
        raise MigrationError(f"{display_path(path)}: cannot write the file: {exc.strerror or exc}") from None
    return path

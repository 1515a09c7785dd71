"""``new``: the next numbered migration file, valid and empty."""
from __future__ import annotations

import json
import re

from velkor.configs.main import settings
from velkor.migration.utils import contrib_to_module_root_path

from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.key import APP
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.discovery import contrib_modules
from velkor.migration.runner.source.document import MODULE_NAME, display_path


def new(project: Project, out: Output, name: str, module: str | None = None) -> int:
    """Write the next numbered migration file of the app (or of a contrib module), valid and empty."""
    slug = re.sub(r"[^A-Za-z0-9]+", "_", name).strip("_").lower()
    if not slug:
        raise MigrationError(f"{cut(repr(name))} does not make a file name: use letters and digits")
    module = None if module in (None, APP) else module
    if module is None:
        folder = settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
    else:
        if not MODULE_NAME.fullmatch(module) or not (settings.CONTRIB_PATH / module).is_dir():
            known = ", ".join(contrib_modules()) or "none"
            raise MigrationError(f"no contrib module {cut(repr(module))}: there is no folder "
                                 f"contrib/{cut(module, 40)}/ (contrib modules: {known})")
        folder = contrib_to_module_root_path(module)
    number = max((s.number for s in project.sources if s.module == module), default=0) + 1
    path = folder / f"{number:04d}_{slug}.json"
    folder.mkdir(parents=True, exist_ok=True)
    document = {"description": name.strip(), "depends_on": [], "schemas": []}
    try:
        with path.open("x", encoding="utf-8") as file:
            file.write(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
    except OSError as exc:
        raise MigrationError(f"{display_path(path)}: cannot write the file: {exc.strerror or exc}") from None
    out.line(f"Created {display_path(path)}: add the classes to its \"schemas\" (see velkor-migrate schema).")
    return 0

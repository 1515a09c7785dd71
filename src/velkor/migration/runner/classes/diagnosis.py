"""Which class of a batch that failed to compile is at fault, and why: the
class sources are rendered one by one, a name that is not defined is looked
for in the schemas' types, and otherwise the failing line of the generated
module is traced back to the class whose text it is."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

from pydantic.errors import PydanticUndefinedAnnotation

from velkor.migration.class_foundry import DefaultMigrationSchemas

from velkor.migration.runner.errors import cut
from velkor.migration.runner.source.validation import type_names

GENERATED_FILE = "classes"  # the file name the class foundry compiles its module text under
_PLACEHOLDERS = re.compile(r"(\{\{imports\}\}|\{\{classes\}\}|\{\{classes_model_rebuild\}\})")


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
    for name, prop in (schema.properties or {}).items():
        for type_name, loc, _, _ in type_names(prop.type, prop.items, ("properties", name)):
            path = loc[:-1] if loc[-1] == "type" else loc  # the field, or its legacy key_type and value_type
            found.setdefault(type_name, []).append(".".join(map(str, path)))
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

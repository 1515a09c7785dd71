"""The names that a migration file cannot use, read from the templates of the
generated module and from pydantic, so that they follow both as they change.

The generated module is the layout template with the class template and the
validator templates filled in. Its imports, the names its classes define or
use at class level, the names that type annotations are written with, the
attributes of the model base classes and Python's keywords and built-ins are
all taken; each name comes with the reason why.
"""
from __future__ import annotations

import ast
import builtins
import importlib
import keyword
import re
from dataclasses import dataclass
from functools import lru_cache

CLASS_NAME = re.compile(r"[A-Z][A-Za-z0-9_]*")
PLACEHOLDER = re.compile(r"\{\{([A-Za-z_][A-Za-z0-9_]*)\}\}")
# pydantic names its own members model_* and keeps the prefix for new ones.
PYDANTIC_PREFIX = "model_"
_STUB_CLASS = "Stub"
_STUB_PROPERTY = "stub_property"


@dataclass(frozen=True)
class GeneratedModule:
    """What the generated module binds and uses, with the reason for each name."""

    imports: dict[str, tuple[str, str | None]]  # name -> (module, attribute or None for the module)
    property_names: dict[str, str]  # a property cannot be named so: name -> why
    class_names: dict[str, str]  # a class cannot be named so: name -> why
    class_level: frozenset[str]  # names the class body defines or uses: custom code must not rebind them
    framework_bases: frozenset[str]  # the imported model base classes a schema may derive from
    placeholders: frozenset[str]  # "{{name}}" tokens of the templates


def _templates() -> dict[str, str]:
    from velkor.migration.class_foundry import DefaultMigrationSchemas as registry
    return {name: getattr(registry, name).read_text(encoding="utf-8") for name in (
        "model_class_template_layout", "model_class_template", "dict_validator_template",
        "options_validator_template")}


def _module_text(texts: dict[str, str]) -> str:
    """The layout with one stub class holding one property, both validators and custom code."""
    from velkor_models.classes.model import Model
    validators = (texts["dict_validator_template"] + "\n" + texts["options_validator_template"]).replace(
        "{{property_name}}", _STUB_PROPERTY).replace("{{property_options}}", "[]")
    fill = {
        "{{class_name}}": _STUB_CLASS, "{{class_inheritance}}": Model.__name__,
        "{{schema_type}}": "SchemaTypes.APP", "{{class_fingerprint}}": "",
        "{{properties}}": f"{_STUB_PROPERTY}: Optional[str] = None", "{{custom_code}}": "pass",
        "{{validators}}": validators.replace("\n", "\n    "),
    }
    source = texts["model_class_template"]
    for token, value in fill.items():
        source = source.replace(token, value)
    return (texts["model_class_template_layout"].replace("{{imports}}", "")
            .replace("{{classes}}", source).replace("{{classes_model_rebuild}}", ""))


def _loaded(nodes: list[ast.AST]) -> set[str]:
    return {node.id for root in nodes for node in ast.walk(root)
            if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Load)}


def _function_globals(function: ast.FunctionDef) -> set[str]:
    """Names a function body reads that it does not bind itself: globals and built-ins."""
    bound = {arg.arg for arg in ast.walk(function.args) if isinstance(arg, ast.arg)}
    bound |= {node.id for node in ast.walk(function) if isinstance(node, ast.Name) and not isinstance(node.ctx, ast.Load)}
    bound |= {node.name for node in ast.walk(function) if isinstance(node, ast.ExceptHandler) and node.name}
    return _loaded(function.body) - bound


def _annotation_names() -> set[str]:
    """The names that the class foundry writes type annotations with."""
    from velkor.migration.class_foundry import DefaultMigrationSchemas
    from velkor_models.classes.model import Model
    from velkor_models.schemas.data_models.core import DictSchema, TypeData
    from velkor_models.schemas.data_models.schema import PropertyData
    from velkor_models.schemas.enums import CoreTypes
    registry = DefaultMigrationSchemas()
    registry._classes["Known"] = Model  # a class compiled before: rendered as a reference
    scalars = [core.value for core in CoreTypes if core not in (CoreTypes.ARRAY, CoreTypes.DICTIONARY, CoreTypes.OBJECT)]
    text = ", ".join([
        *(registry._render_type_annotation(scalar, None) for scalar in scalars),
        registry._render_type_annotation(CoreTypes.ARRAY.value, TypeData(type="Known")),
        registry._render_type_annotation(CoreTypes.DICTIONARY.value, DictSchema(
            key=TypeData(type="string"), value=TypeData(type="string"))),
        registry._render_property(name="x", property_schema=PropertyData(type="string"), required=[]),
    ]).replace("x: ", "").replace(" = None", "")
    return _loaded([ast.parse(text, mode="eval")]) - {"Known"}


def _is_model_base(module: str, attribute: str | None) -> bool:
    from velkor_models.classes.model import Model
    try:
        value = getattr(importlib.import_module(module), attribute) if attribute else None
    except (ImportError, AttributeError):
        return False
    return isinstance(value, type) and issubclass(value, Model)


@lru_cache(maxsize=1)
def generated_module() -> GeneratedModule:
    """(The class foundry and the model classes are imported here, when a run checks or
    compiles a document, not by every run that imports this module.)"""
    from velkor_models.classes.model import Model, TypeModel
    texts = _templates()
    tree = ast.parse(_module_text(texts))
    imports: dict[str, tuple[str, str | None]] = {}
    module_uses: set[str] = set()
    class_defines: set[str] = set()
    class_uses: set[str] = set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                imports[alias.asname or alias.name.split(".")[0]] = (alias.name, None)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                imports[alias.asname or alias.name] = (node.module or "", alias.name)
        elif isinstance(node, ast.ClassDef) and node.name == _STUB_CLASS:
            class_uses |= _loaded(node.bases)
            for statement in node.body:
                if isinstance(statement, ast.FunctionDef):
                    class_uses |= _loaded(statement.decorator_list + statement.args.defaults)
                    module_uses |= _function_globals(statement)
                elif isinstance(statement, ast.AnnAssign):
                    class_uses |= _loaded([statement.annotation] + ([statement.value] if statement.value else []))
                    if isinstance(statement.target, ast.Name) and statement.target.id != _STUB_PROPERTY:
                        class_defines.add(statement.target.id)
                elif isinstance(statement, ast.Assign):
                    class_uses |= _loaded([statement.value])
                    class_defines |= {t.id for t in statement.targets if isinstance(t, ast.Name)}
        else:
            module_uses |= _loaded([node])
    annotations = _annotation_names()

    properties: dict[str, str] = {}
    for name in sorted(set(dir(Model)) | set(dir(TypeModel))):
        if not name.startswith("_"):
            properties[name] = "pydantic's model classes have an attribute of that name"
    for name in annotations:
        properties[name] = "the generated class writes its type annotations with it"
    for name in class_uses:
        properties[name] = "the generated class uses that name"
    for name in imports:
        properties[name] = "the generated module imports it"
    for name in class_defines:
        properties[name] = "the generated class defines it"
    for name in keyword.kwlist:  # soft keywords (match, case, type) are names like any other
        properties.setdefault(name, "it is a Python keyword")

    classes: dict[str, str] = {}
    for name in dir(builtins):
        if not name.startswith("_"):
            classes[name] = "it is a Python built-in"
    for name in module_uses | class_uses | annotations:
        classes[name] = "the generated module uses that name"
    for name in imports:
        classes[name] = "the generated module imports it"
    for name in keyword.kwlist:
        classes[name] = "it is a Python keyword"
    placeholders = frozenset(match.group(0) for text in texts.values() for match in PLACEHOLDER.finditer(text))
    return GeneratedModule(
        imports=imports, property_names=properties, class_names=classes,
        class_level=frozenset(class_defines | class_uses | annotations),
        framework_bases=frozenset(name for name, (module, attribute) in imports.items()
                                  if _is_model_base(module, attribute)),
        placeholders=placeholders)


def reserved_property(name: str) -> str | None:
    """Why a property cannot be named ``name``, or None when it can."""
    module = generated_module()
    if name in module.property_names:
        return module.property_names[name]
    if name.startswith(PYDANTIC_PREFIX):
        return f"pydantic keeps names that start with {PYDANTIC_PREFIX!r} for itself"
    return None


def reserved_class(name: str) -> str | None:
    """Why a model class cannot be named ``name``, or None when it can."""
    return generated_module().class_names.get(name)

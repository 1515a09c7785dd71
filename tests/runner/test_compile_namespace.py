"""A group without custom code compiles beside only the classes it names, with
its annotations evaluated as the generated module runs: the classes it makes
are the classes a compile beside every class compiled before, with deferred
annotations, makes. Custom code still names any class at run time, and may
annotate with names that exist only later."""
import contextlib

from velkor.migration.runner import load_classes
from velkor.migration.runner.classes import compiler

from .conftest import migrate, write_migration


def classes_of(root):
    """Each class: its bases, and the JSON schema of what it accepts (references included, nested)."""
    registry = load_classes(root)
    return registry, {name: ([base.__name__ for base in registry.get_model(name).__mro__[1:4]],
                             registry.get_model(name).model_json_schema())
                      for name in registry._classes}


def test_classes_compiled_beside_what_they_use_are_those_compiled_beside_everything(shop, monkeypatch):
    write_migration(shop, "0006_loans.json", {
        "Member": {"properties": {"name": {"type": "string"}, "sponsor": {"type": "Member"}}},
        "Loan": {"properties": {"member": {"type": "Member"}, "books": {"type": "array", "items": {"type": "Product"}}}}})
    write_migration(shop, "0007_priority.json", {
        # derives from a class whose own fields refer to further classes
        "PriorityOrder": {"type": "Order", "properties": {"rank": {"type": "integer"}}},
        "Desk": {"properties": {"note": {"type": "string"}},
                 "custom_code": "def loan_class(self) -> LaterType:\n    return Loan\n"}})
    assert migrate(shop, "apply").code == 0
    (shop / ".velkor/class-snapshot.json").unlink()
    registry, narrowed = classes_of(shop)
    assert registry.get_model("Desk")().loan_class() is registry.get_model("Loan")  # named at run time

    monkeypatch.setattr(compiler, "needed_only", lambda registry, group: contextlib.nullcontext())
    # called from the compiler's own module, which defers annotations
    monkeypatch.setattr(compiler, "compile_buffered", compiler.DefaultMigrationSchemas.compile_buffered_classes)
    (shop / ".velkor/class-snapshot.json").unlink()
    assert classes_of(shop)[1] == narrowed

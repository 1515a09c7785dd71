"""Where a batch without custom code is compiled from. The class foundry compiles
the generated module with the interpreter's ``compile``, which takes its future
features from the code that calls the foundry: called from a module that defers
annotations (``from __future__ import annotations``, as the runner's modules do),
every annotation of every generated class is a text, pydantic cannot resolve it
where it makes the class, and the class is made again in full by the module's
``model_rebuild()``. From here, its annotations are evaluated as the module runs
(the names they use are imported by the layout, and a reference to a class is
quoted), and each class is made once.

A group with custom code is compiled as before: its code may annotate with names
that exist only later.

(This module must not defer annotations itself.)
"""


def compile_buffered(registry):
    """``registry.compile_buffered_classes()``, with this module's future features."""
    return registry.compile_buffered_classes()

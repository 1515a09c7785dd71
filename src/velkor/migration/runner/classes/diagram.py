"""The model classes and their references as a picture: Mermaid
text (a class diagram), Graphviz's dot text, or SVG and PNG drawn by
Graphviz's ``dot`` program when it is installed.

A class is drawn with its fields as its latest migration defines them;
classes that a pending migration adds or changes are marked (``<<new>>``,
``<<changed>>``), and so are the references that only a pending definition
makes (dashed). Arrows go from the class holding a reference to the class it
references, with how many it holds (``1``, ``0..1``, ``*`` for an array or a
dictionary); inheritance is drawn the UML way."""
from __future__ import annotations

import html
import shutil
import subprocess
from dataclasses import dataclass

from velkor.migration.runner.classes.class_view import ClassView
from velkor.migration.runner.classes.field_changes import type_text
from velkor.migration.runner.classes.reference_graph import Definition
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.source.validation import class_references

SUFFIXES = {".mmd": "mermaid", ".mermaid": "mermaid", ".dot": "dot", ".gv": "dot", ".svg": "svg", ".png": "png"}
DRAWN = ("svg", "png")  # the formats Graphviz draws
DOT_TIMEOUT = 120  # seconds


@dataclass(frozen=True)
class Node:
    name: str
    state: str  # "applied", or pending: "new" or "changed"
    kind: str   # "class" or "type"
    fields: tuple[tuple[str, str], ...]  # (name, type) in the schema's order

    @property
    def pending(self) -> bool:
        return self.state != "applied"

    @property
    def annotation(self) -> str:
        """``new``, ``changed type``, ``type``, or empty for an applied class."""
        words = [self.state] if self.pending else []
        return " ".join(words + (["type"] if self.kind == "type" else []))


@dataclass(frozen=True)
class Edge:
    holder: str    # the class holding the reference, or the derived class
    target: str    # the class referenced, or the base class
    field: str     # the property; empty for inheritance
    count: str     # "1", "0..1" or "*"; empty for inheritance
    pending: bool  # made only by a pending definition

    @property
    def inheritance(self) -> bool:
        return not self.field


def _edges(definition: Definition, classes: set[str]) -> set[tuple[str, str, str, str]]:
    """(holder, target, field, count) of every reference to one of ``classes``."""
    schema = definition.schema
    found = set()
    for target, loc in class_references(schema):
        if target not in classes:
            continue  # a framework base: Model, TypeModel
        if loc == ("type",):
            found.add((definition.name, target, "", ""))
            continue
        name = loc[1]
        count = "*" if len(loc) > 3 else "1" if name in schema.required else "0..1"
        found.add((definition.name, target, name, count))
    return found


def picture(view: ClassView) -> tuple[list[Node], list[Edge]]:
    """The classes in the order they were first defined, and their references."""
    latest = view.current()
    classes = set(latest)
    nodes, edges = [], []
    for name, (index, definition) in latest.items():
        schema = definition.schema
        applied = None if view.is_applied(index) else view.applied_definition(name)
        state = "applied" if view.is_applied(index) else "changed" if applied else "new"
        fields = tuple((field, type_text(prop.type, prop.items)) for field, prop in (schema.properties or {}).items())
        nodes.append(Node(name, state, schema.meta_class.value, fields))
        before = _edges(applied, classes) if applied is not None else set()
        for edge in sorted(_edges(definition, classes), key=lambda e: (e[2] != "", e[2], e[1])):
            edges.append(Edge(*edge, pending=state != "applied" and edge not in before))
    return nodes, edges


def mermaid(nodes: list[Node], edges: list[Edge], title: str) -> str:
    lines = ["classDiagram", f"    %% {title}"]
    for node in nodes:
        lines.append(f"    class {node.name} {{")
        if node.annotation:
            lines.append(f"        <<{node.annotation}>>")
        lines += [f"        +{kind} {field}" for field, kind in node.fields]
        lines.append("    }")
    for edge in edges:
        if edge.inheritance:
            lines.append(f"    {edge.target} <|{'..' if edge.pending else '--'} {edge.holder}")
        else:
            arrow = "..>" if edge.pending else "-->"
            lines.append(f'    {edge.holder} {arrow} "{edge.count}" {edge.target} : {edge.field}')
    return "\n".join(lines) + "\n"


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def dot(nodes: list[Node], edges: list[Edge], title: str) -> str:
    lines = ["digraph classes {",
             f'    graph [fontname="Helvetica", fontsize=10, labelloc=b, label={_quoted(title)}];',
             '    node [shape=plain, fontname="Helvetica", fontsize=11];',
             '    edge [fontname="Helvetica", fontsize=9, color="#555555", labeldistance=1.8, labelangle=30];']
    for node in nodes:
        colour, fill = ("#b8860b", "#fff3cd") if node.pending else ("#444444", "#dde7f3")
        heading = f"<b>{html.escape(node.name)}</b>"
        if node.annotation:
            heading = f"«{html.escape(node.annotation)}»<br/>" + heading
        rows = "".join(f'<tr><td align="left">{html.escape(field)}: {html.escape(kind)}</td></tr>'
                       for field, kind in node.fields)
        lines.append(f'    {_quoted(node.name)} [label=<<table border="1" cellborder="0" cellspacing="0" '
                     f'cellpadding="3" color="{colour}"><tr><td bgcolor="{fill}">{heading}</td></tr>{rows}</table>>];')
    for edge in edges:
        style = ", style=dashed" if edge.pending else ""
        if edge.inheritance:
            lines.append(f"    {_quoted(edge.holder)} -> {_quoted(edge.target)} [arrowhead=empty{style}];")
        else:
            lines.append(f"    {_quoted(edge.holder)} -> {_quoted(edge.target)} "
                         f"[label={_quoted(edge.field)}, headlabel={_quoted(edge.count)}{style}];")
    return "\n".join(lines + ["}"]) + "\n"


def draw(dot_text: str, fmt: str) -> bytes:
    """SVG or PNG, drawn by Graphviz's ``dot``."""
    program = shutil.which("dot")
    if program is None:
        raise MigrationError(f"drawing {fmt.upper()} needs Graphviz's dot program, which is not installed: install "
                             "the Debian package graphviz (apt-get install graphviz), or write Mermaid "
                             "(--format mermaid, the default) or dot text (--format dot)")
    try:
        result = subprocess.run([program, f"-T{fmt}"], input=dot_text.encode(), capture_output=True,
                                timeout=DOT_TIMEOUT, check=False)
    except (OSError, subprocess.TimeoutExpired) as exc:
        raise MigrationError(f"Graphviz's dot ({program}) did not draw the graph: {exc}") from None
    if result.returncode != 0:
        reason = result.stderr.decode(errors="replace").strip().splitlines()
        raise MigrationError(f"Graphviz's dot ({program}) did not draw the graph: "
                             f"{reason[0] if reason else f'exit status {result.returncode}'}")
    return result.stdout

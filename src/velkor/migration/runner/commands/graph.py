"""``graph``: the model classes and their references as a picture (``classes.diagram``)."""
from __future__ import annotations

from pathlib import Path

from velkor.migration.runner.classes.class_view import class_view
from velkor.migration.runner.classes.diagram import DRAWN, SUFFIXES, dot, draw, mermaid, picture
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output, is_terminal
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def graph(project: Project, out: Output, fmt: str | None = None, output: str | None = None) -> int:
    if fmt is None:
        fmt = SUFFIXES.get(Path(output).suffix.lower(), "mermaid") if output else "mermaid"
    nodes, edges = picture(class_view(project))
    pending = sum(1 for node in nodes if node.pending)
    title = (f"{project.root.name}: {plural(len(nodes), 'model class', 'model classes')}, {pending} pending "
             "(new or changed); dashed: what only pending migrations make")
    text = mermaid(nodes, edges, title) if fmt == "mermaid" else dot(nodes, edges, title)
    data = draw(text, fmt) if fmt in DRAWN else text.encode()
    if output is not None:
        try:
            Path(output).write_bytes(data)
        except OSError as exc:
            raise MigrationError(f"{output}: cannot write the graph: {exc.strerror or exc}") from None
        out.line(f"Wrote the graph of {plural(len(nodes), 'class', 'classes')} to {output} ({fmt}).")
        return 0
    if fmt != "png":
        out.line(data.decode().rstrip("\n"))
        return 0
    binary = getattr(out.out, "buffer", None)
    if binary is None or is_terminal(out.out):
        raise MigrationError("a PNG is binary, not for the terminal: write it to a file with --output FILE")
    try:
        out.out.flush()
        binary.write(data)
        binary.flush()
    except BrokenPipeError:  # the reader stopped early: no fault
        pass
    return 0

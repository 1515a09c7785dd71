"""graph: the model classes and their references as Mermaid, dot, SVG and PNG."""
import io
import re
import shutil
from pathlib import Path

import pytest

from velkor.migration.runner.classes import diagram as graph_module
from .conftest import FakeTerminal, migrate, write_migration

README = Path(__file__).resolve().parents[2] / "README.md"
needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed "
                               "(make test installs the Debian package graphviz where it can)")


def test_the_readme_shows_the_shop_as_graph_draws_it(shop):
    migrate(shop, "apply")
    result = migrate(shop, "graph")
    assert (result.code, result.err) == (0, "")
    blocks = re.findall(r"```mermaid\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks == [result.out]


def test_pending_classes_and_references_are_told_apart(shop):
    migrate(shop, "apply", "--to", "3")
    write_migration(shop, "0006_coupons.json", {"Coupon": {"properties": {
        "code": {"type": "string"}, "products": {"type": "dictionary", "items": {
            "key": {"type": "string"}, "value": {"type": "Product"}}}}}})
    lines = migrate(shop, "graph").out.splitlines()
    assert lines[1] == ("    %% shop: 8 model classes, 3 pending (new or changed); "
                        "dashed: what only pending migrations make")
    body = "\n".join(lines)
    assert "class Customer {\n        <<changed>>\n        +string first_name" in body
    assert "class BusinessCustomer {\n        <<new>>" in body
    assert "class Address {\n        <<type>>" in body  # applied: no state, only its kind
    for line in ['    Customer --> "0..1" Address : address',           # applied before, and still made
                 '    Customer ..> "0..1" LoyaltyAccount : loyalty_account',  # only the pending Customer
                 '    Order --> "1" Customer : customer',
                 '    Order --> "*" OrderLine : lines',
                 '    Customer <|.. BusinessCustomer',
                 '    Coupon ..> "*" Product : products']:
        assert line in lines


def test_dot_text(shop):
    migrate(shop, "apply", "--to", "4")
    result = migrate(shop, "graph", "--format", "dot")
    assert result.code == 0, result.err
    assert result.out.startswith("digraph classes {\n")
    assert '"BusinessCustomer" -> "Customer" [arrowhead=empty, style=dashed];' in result.out
    assert '"Order" -> "OrderLine" [label="lines", headlabel="*"];' in result.out
    assert '<td bgcolor="#fff3cd">«new»<br/><b>BusinessCustomer</b></td>' in result.out
    assert "<td align=\"left\">stock: dict[string, integer[]]</td>" in result.out


@needs_dot
@pytest.mark.parametrize("args, written, check", [
    (["--format", "svg"], None, lambda data: data.startswith(b"<?xml") and b"<svg" in data),
    (["--output", "{dir}/shop.svg"], "svg", lambda data: b"BusinessCustomer" in data and b"</svg>" in data),
    (["--output", "{dir}/shop.png"], "png", lambda data: data.startswith(b"\x89PNG\r\n")),
    (["--format", "png", "--output", "{dir}/shop.picture"], "png", lambda data: data.startswith(b"\x89PNG\r\n")),
    (["--output", "{dir}/shop.mmd"], "mermaid", lambda data: data.startswith(b"classDiagram\n")),
])
def test_drawn_by_graphviz(shop, tmp_path, args, written, check):
    args = [arg.format(dir=tmp_path) for arg in args]
    result = migrate(shop, "graph", *args)
    assert result.code == 0, result.err
    if written is None:
        data = result.out.encode()
    else:
        path = args[args.index("--output") + 1]
        assert result.out == f"Wrote the graph of 7 classes to {path} ({written}).\n"
        data = Path(path).read_bytes()
    assert check(data)


@needs_dot
def test_png_goes_to_a_pipe_but_not_to_a_terminal(shop):
    class Pipe(io.StringIO):
        buffer = io.BytesIO()

    pipe = Pipe()
    assert migrate(shop, "graph", "--format", "png", out=pipe).code == 0
    assert pipe.buffer.getvalue().startswith(b"\x89PNG")
    refused = migrate(shop, "graph", "--format", "png", out=FakeTerminal())
    assert refused.code == 1
    assert "a PNG is binary, not for the terminal: write it to a file with --output FILE" in refused.err


@pytest.mark.parametrize("fmt", ["svg", "png"])
def test_without_graphviz_the_message_names_the_package(shop, monkeypatch, fmt):
    monkeypatch.setattr(graph_module.shutil, "which", lambda name: None)
    result = migrate(shop, "graph", "--format", fmt)
    assert result.code == 1
    assert result.err == (f"error: drawing {fmt.upper()} needs Graphviz's dot program, which is not installed: "
                          "install the Debian package graphviz (apt-get install graphviz), or write Mermaid "
                          "(--format mermaid, the default) or dot text (--format dot)\n")
    assert migrate(shop, "graph", "--format", "dot").code == 0


def test_an_output_that_cannot_be_written(shop, tmp_path):
    result = migrate(shop, "graph", "--output", str(tmp_path / "no" / "such" / "folder.mmd"))
    assert result.code == 1
    assert result.err.startswith(f"error: {tmp_path}/no/such/folder.mmd: cannot write the graph: No such file")

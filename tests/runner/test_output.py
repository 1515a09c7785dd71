"""Colours only on a terminal and without NO_COLOR; a progress bar for long runs on a terminal."""
import io

import pytest

from .conftest import FakeTerminal, migrate, write_migration


@pytest.mark.parametrize("terminal, no_color, coloured", [
    (False, None, False), (True, None, True), (True, "1", False), (True, "", True)])
def test_colours(shop, monkeypatch, terminal, no_color, coloured):
    if no_color is None:
        monkeypatch.delenv("NO_COLOR", raising=False)
    else:
        monkeypatch.setenv("NO_COLOR", no_color)
    monkeypatch.delenv("TERM", raising=False)
    stream = FakeTerminal if terminal else io.StringIO
    result = migrate(shop, "status", out=stream(), err=stream())
    assert ("\033[" in result.out) == coloured
    failed = migrate(shop, "show", "Nobody", out=stream(), err=stream())
    assert failed.err.startswith("\033[1;31merror:\033[0m" if coloured else "error:")


@pytest.mark.parametrize("count, terminal, bar", [(4, True, True), (4, False, False), (3, True, False)])
def test_progress_bar_on_a_terminal_for_many_migrations(shop, count, terminal, bar):
    """The shop has 6 migrations; from 10 pending on, a terminal shows a bar instead of a list."""
    for number in range(6, 6 + count):
        write_migration(shop, f"{number:04d}_step.json", {f"Step{number}": {"properties": {"n": {"type": "integer"}}}})
    err = FakeTerminal() if terminal else io.StringIO()
    result = migrate(shop, "apply", err=err)
    assert result.code == 0, result.err
    assert ("applying [" in result.err) == bar
    assert (f"] {count + 6}/{count + 6}" in result.err) == bar
    listed = [line for line in result.out.splitlines() if line.startswith("  ")]
    assert len(listed) == (0 if bar else count + 6)
    assert result.out.splitlines()[-1] == f"Applied {count + 6} migrations; 0 pending."

"""Terminal output: colours, tables and a progress bar."""
from __future__ import annotations

import io
import os
import shutil
import sys
from typing import TextIO

from velkor.migration.runner.redaction import redact

_CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33", "cyan": "36"}


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Output:
    """Where a command writes: results to ``out``, notes and errors to ``err``.

    Colours only when the stream is a terminal and NO_COLOR is not set.
    Notes, warnings and errors are redacted (``redaction``): no password that a
    configuration or a storage error carries reaches them. Results (a class's
    source, a plan) are printed as the project's files make them.
    """

    def __init__(self, out: TextIO | None = None, err: TextIO | None = None) -> None:
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        no_color = bool(os.environ.get("NO_COLOR")) or os.environ.get("TERM") == "dumb"
        self._colour = {id(s): is_terminal(s) and not no_color for s in (self.out, self.err)}
        self._gone: set[TextIO] = set()
        self.warnings: list[str] = []  # every warning given, for a JSON document to carry

    def paint(self, text: str, style: str | None, stream: TextIO | None = None) -> str:
        if not style or not self._colour[id(stream or self.out)]:
            return text
        codes = ";".join(_CODES[part] for part in style.split())
        return f"\033[{codes}m{text}\033[0m"

    def _write(self, stream: TextIO, text: str) -> None:
        """Write a line; once the reader has gone (``status | head -1``), the rest is dropped quietly."""
        if stream in self._gone:
            return
        try:
            print(text, file=stream, flush=True)
        except BrokenPipeError:
            self._gone.add(stream)
            _silence(stream)

    def line(self, text: str = "", style: str | None = None) -> None:
        self._write(self.out, self.paint(text, style))

    def note(self, text: str) -> None:
        self._write(self.err, self.paint(redact(text), "dim", self.err))

    def warning(self, text: str) -> None:
        text = redact(text)
        self.warnings.append(text)
        self._write(self.err, self.paint("warning:", "bold yellow", self.err) + " " + text)

    def error(self, text: str) -> None:
        first, _, rest = redact(text).partition("\n")
        message = self.paint("error:", "bold red", self.err) + " " + first + ("\n" + rest if rest else "")
        self._write(self.err, message)

    def table(self, headers: list[str], rows: list[list[str | tuple[str, str | None]]],
              right: frozenset[int] = frozenset()) -> None:
        """Columns padded to their widest cell; a cell may be (text, style)."""
        cells = [[cell if isinstance(cell, tuple) else (cell, None) for cell in row] for row in rows]
        widths = [max([len(header)] + [len(row[i][0]) for row in cells]) for i, header in enumerate(headers)]

        def render(row: list[tuple[str, str | None]]) -> str:
            parts = []
            for i, (text, style) in enumerate(row):
                padded = text.rjust(widths[i]) if i in right else text.ljust(widths[i])
                parts.append(self.paint(padded, style))
            return "  ".join(parts).rstrip()

        lines = [render([(h, "bold") for h in headers]), "  ".join("-" * w for w in widths)]
        lines += [render(row) for row in cells]
        self._write(self.out, "\n".join(lines))  # (one write: a table may have thousands of rows)

    def progress(self, total: int, title: str) -> Progress | None:
        """A progress bar on the error stream, when it is a terminal."""
        return Progress(self.err, total, title) if is_terminal(self.err) else None


def _silence(stream: TextIO) -> None:
    """Point a closed pipe's descriptor at /dev/null, so that flushing it at exit says nothing."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


class Progress:
    """One line redrawn in place: a bar, the count and the current item."""

    def __init__(self, stream: TextIO, total: int, title: str) -> None:
        self.stream, self.total, self.title = stream, total, title

    def update(self, done: int, item: str = "") -> None:
        width = shutil.get_terminal_size().columns
        bar_width = 30
        filled = bar_width * done // max(self.total, 1)
        text = f"{self.title} [{'#' * filled}{'.' * (bar_width - filled)}] {done}/{self.total} {item}"
        self.stream.write("\r" + text[: width - 1].ljust(width - 1))
        self.stream.flush()

    def close(self) -> None:
        """Leave the bar as it stands, on a line of its own."""
        self.stream.write("\n")
        self.stream.flush()

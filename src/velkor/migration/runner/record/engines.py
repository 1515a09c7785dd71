"""The storage engines' side of a run: their libraries loaded before a
command begins, and what they write to the process's error stream (a Rust
library's panic and backtrace, when a disk turns read-only or full under it)
kept in a log file instead of reaching the terminal."""
from __future__ import annotations

import os
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from velkor_data.engines import engine_class
from velkor_utils.config.data_models.velkor_config import VelkorConfig

from velkor.migration.runner.errors import MigrationError

ENGINE_LOG = Path(".velkor") / "engine-errors.log"  # in the project folder


def load_engines(config: VelkorConfig) -> None:
    """Import the storage libraries of the configured connections (one that
    cannot be imported is reported when its connection opens)."""
    for connection in config.connections.values():
        try:
            engine_class(connection.engine)
        except ImportError:
            pass


class EngineOutput:
    """What a block wrote to the error stream, and the log it was kept in."""

    def __init__(self, root: Path, what: str) -> None:
        self.root, self.what = root, what
        self.log: str | None = None  # where it was kept, as the message names it
        self._saved: int | None = None
        self._buffer: int | None = None

    def start(self) -> None:
        _flush_stderr()
        try:
            if hasattr(os, "memfd_create"):  # in memory: a full disk does not stop it
                buffer = os.memfd_create("velkor-engine-output")
            else:
                buffer, name = tempfile.mkstemp(prefix="velkor-engine-output-")
                os.unlink(name)
            saved = os.dup(2)
        except OSError:
            return  # no descriptor to spare: the output is not kept apart
        self._saved, self._buffer = saved, buffer  # before the switch: a Ctrl-C between them is undone
        os.dup2(buffer, 2)

    def stop(self) -> None:
        """Give the error stream back (again, harmlessly, when Ctrl-C cut a first call short)."""
        if self._saved is None:
            return
        _flush_stderr()
        os.dup2(self._saved, 2)
        saved, buffer, self._saved = self._saved, self._buffer, None
        os.close(saved)
        os.lseek(buffer, 0, os.SEEK_SET)
        chunks = []
        while chunk := os.read(buffer, 1 << 16):
            chunks.append(chunk)
        os.close(buffer)
        if chunks:
            self.log = self._keep(b"".join(chunks))

    def _keep(self, text: bytes) -> str:
        entry = f"--- {time.strftime('%Y-%m-%d %H:%M:%S')} {self.what}\n".encode() + text.rstrip(b"\n") + b"\n"
        for path, shown in ((self.root / ENGINE_LOG, str(ENGINE_LOG)),
                            (Path(tempfile.gettempdir()) / f"velkor-engine-errors-{os.getpid()}.log", None)):
            try:
                path.parent.mkdir(exist_ok=True)
                with open(path, "ab") as file:
                    file.write(entry)
                return shown or str(path)
            except OSError:
                continue
        return "nowhere: no log file could be written"

    def note(self, exc: MigrationError) -> MigrationError:
        """The error, naming the log when the storage library said more."""
        if self.log:
            exc.args = (f"{exc} (the storage library's own report is in {self.log})", *exc.args[1:])
        return exc


def _flush_stderr() -> None:
    try:
        sys.stderr.flush()
    except (AttributeError, ValueError, OSError):
        pass


@contextmanager
def engine_output_kept(root: Path, what: str) -> Iterator[EngineOutput]:
    """Run the block with the error stream going to a buffer, kept in the log if anything came."""
    output = EngineOutput(root, what)
    output.start()
    try:
        yield output
    except MigrationError as exc:
        output.stop()
        raise output.note(exc)
    finally:
        output.stop()

"""Ctrl-C while a batch compiles is Ctrl-C, even when a library turns it
into an error of its own (pydantic's JSON serializer does): the run says
it was interrupted, not that a class does not compile."""
import os
import signal

import pytest

from velkor.migration.runner.classes.registry import ProjectClasses
from velkor.migration.runner.record.interrupts import raise_counted

from .conftest import applied_count, migrate


@pytest.mark.parametrize("handler", [signal.default_int_handler, raise_counted])  # in Python, on the command line
def test_ctrl_c_turned_into_a_library_error_is_an_interrupt(shop, monkeypatch, handler):
    def compile_buffered_classes(self):
        try:
            os.kill(os.getpid(), signal.SIGINT)
            signal.pthread_sigmask(signal.SIG_BLOCK, [])  # a call: the handler runs by now
        except KeyboardInterrupt:
            raise ValueError("Error serializing to JSON: KeyboardInterrupt: ") from None

    monkeypatch.setattr(ProjectClasses, "compile_buffered_classes", compile_buffered_classes)
    previous = signal.signal(signal.SIGINT, handler)
    try:
        result = migrate(shop, "apply")
    finally:
        signal.signal(signal.SIGINT, previous)
    assert result.code == 130 and result.err.startswith("error: interrupted"), result.err
    monkeypatch.undo()
    assert applied_count(shop) == 0

"""The cyclic garbage collector, paused while a run reads back thousands of
objects that all live on (a snapshot's records, checksums and classes): it
would look at each of them again and again as they are made, and find no
garbage. ``load_classes`` runs in applications: the collector is put back as
it was. The ``velkor-migrate`` program, whose process ends with its command,
also sets what such a read made aside for good (``gc.freeze``): otherwise the
next collection of young objects goes through all of them once more."""
from __future__ import annotations

import gc
from collections.abc import Iterator
from contextlib import contextmanager

_set_aside = False  # whether a read's objects are set aside for good (the velkor-migrate program only)


def set_aside_what_reads_make() -> None:
    """For a process that ends with its command: what a paused read made is never looked at again."""
    global _set_aside
    _set_aside = True


@contextmanager
def paused() -> Iterator[None]:
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        if _set_aside:
            gc.freeze()
        gc.enable()

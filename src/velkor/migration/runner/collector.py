"""The cyclic garbage collector, paused while a run reads back thousands of
objects that all live on (a snapshot's records, checksums and classes): it
would look at each of them again and again as they are made, and find no
garbage. ``load_classes`` runs in applications: the collector is put back as
it was."""
from __future__ import annotations

import gc
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def paused() -> Iterator[None]:
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()

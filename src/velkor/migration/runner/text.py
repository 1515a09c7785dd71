"""Words and times as messages write them."""
from __future__ import annotations

import functools
import time


def when(timestamp: float | None) -> str:
    if timestamp is None:
        return "?"
    return _second(int(timestamp))


@functools.lru_cache(maxsize=1024)  # (the migrations of one run share their seconds: thousands per listing)
def _second(second: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(second))


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else words or word + 's'}"

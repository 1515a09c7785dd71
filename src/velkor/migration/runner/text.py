"""Words and times as messages write them."""
from __future__ import annotations

import time


def when(timestamp: float | None) -> str:
    if timestamp is None:
        return "?"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else words or word + 's'}"

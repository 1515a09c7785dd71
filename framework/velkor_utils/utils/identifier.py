"""Unique, time-ordered identifiers.

26 characters of Crockford base 32: 48 bits of milliseconds since the epoch,
then 80 bits that start random in each new millisecond and count up within it.
Text order is creation order within a process; across processes it follows
the clock to the millisecond.
"""
from __future__ import annotations

import os
import threading
import time

_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
_RANDOM_BITS = 80
_lock = threading.Lock()
_last_ms = -1
_last_random = 0


def _encode(value: int, length: int) -> str:
    chars = []
    for _ in range(length):
        value, digit = divmod(value, 32)
        chars.append(_ALPHABET[digit])
    return "".join(reversed(chars))


def get_identifier() -> str:
    global _last_ms, _last_random
    with _lock:
        now_ms = time.time_ns() // 1_000_000
        if now_ms > _last_ms:
            _last_ms = now_ms
            # Leave headroom so that counting up never overflows the field.
            _last_random = int.from_bytes(os.urandom(10), "big") >> 1
        else:
            # Same millisecond, or the clock went back: keep counting.
            _last_random += 1
            if _last_random >= 1 << _RANDOM_BITS:
                _last_ms += 1
                _last_random = 0
        return _encode(_last_ms, 10) + _encode(_last_random, 16)

"""The errors the runner reports to its user as one message, and how a message shows
what it names."""
import difflib
import json
from collections.abc import Iterable


class MigrationError(Exception):
    """A fault of the project (its files, configuration or storage), reported
    without a traceback; ``exit_code`` is the process's exit status."""

    exit_code = 1


class LockTimeout(MigrationError):
    """Another run held the project's lock for longer than this run would wait."""

    exit_code = 3


class LockLost(MigrationError):
    """The run no longer holds the project's lock when it is about to write."""


class Interrupted(MigrationError):
    """Ctrl-C ended the run; the message says what is recorded."""

    exit_code = 130


def cut(text: str, limit: int = 60) -> str:
    """``text``, or its start when it is longer than ``limit``: a message never echoes a whole file."""
    if len(text) <= limit:
        return text
    return f"{text[:limit]}… ({len(text) - limit} more characters)"


def shown(value: object, limit: int = 60) -> str:
    """A value of a migration file as it is written in JSON (``true``, ``"text"``, ``[1, 2]``), cut to ``limit``."""
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        text = str(value)
    return cut(text, limit)


MAX_PROBLEMS = 50  # lines of one error that lists problems; past it, how many more


def problems_error(problems: list[str]) -> MigrationError:
    """One error listing every problem, a line each, up to MAX_PROBLEMS lines, then how many more."""
    lines = [line for problem in problems for line in problem.splitlines()]
    if len(lines) > MAX_PROBLEMS:
        lines = lines[:MAX_PROBLEMS] + [f"and {len(lines) - MAX_PROBLEMS} more"]
    return MigrationError("\n".join(lines))


def did_you_mean(name: str, known: Iterable[str]) -> str:
    """`` (did you mean "X"?)`` for the closest known name, or nothing."""
    known = [k for k in known if k != name]
    close = difflib.get_close_matches(name, known, n=1)
    if not close:
        lowered = {k.lower(): k for k in known}
        close = difflib.get_close_matches(name.lower(), list(lowered), n=1)
        close = [lowered[c] for c in close]
    return f" (did you mean {shown(close[0])}?)" if close else ""

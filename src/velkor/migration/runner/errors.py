"""The errors the runner reports to its user as one message."""


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

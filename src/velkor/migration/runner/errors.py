"""The errors the runner reports to its user as one message."""


class MigrationError(Exception):
    """A fault of the project (its files, configuration or storage), reported
    without a traceback; ``exit_code`` is the process's exit status."""

    exit_code = 1


class LockTimeout(MigrationError):
    """Another run held the project's lock for longer than this run would wait."""

    exit_code = 3

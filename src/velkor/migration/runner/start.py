"""The ``velkor-migrate`` program: Ctrl-C handled from its first moment.

Until the command begins, Ctrl-C ends the process at once, saying that
nothing was changed: nothing was. A KeyboardInterrupt raised inside the
start-up imports instead (some of them native, such as the storage
libraries) would leave a traceback, or a library's panic, on the terminal.
Once the project is open and its storage libraries loaded, the command
line (``cli``) takes Ctrl-C as a KeyboardInterrupt and says what is
recorded. This module imports nothing heavy before its handler is in place.
"""
import gc
import os
import signal

EXIT_INTERRUPTED = 130
# A run makes tens of thousands of objects that live until it ends (records, checksums, the
# classes' definitions) and little cyclic garbage: the collector looks at new objects after
# every 100,000 of them (instead of 700), and at old ones next to never. Applying 10,000
# migrations uses the same memory either way, in less time.
COLLECTOR_THRESHOLDS = (100_000, 100, 100)
BEFORE_THE_COMMAND = b"error: interrupted; nothing was changed by this command\n"


def _interrupted_before_the_command(number, frame) -> None:
    os.write(2, BEFORE_THE_COMMAND)
    os._exit(EXIT_INTERRUPTED)


def interrupts_end_the_process() -> None:
    """Ctrl-C ends the process at once, saying nothing was changed."""
    signal.signal(signal.SIGINT, _interrupted_before_the_command)


def main() -> None:
    interrupts_end_the_process()
    gc.set_threshold(*COLLECTOR_THRESHOLDS)
    from velkor.migration.runner.collector import set_aside_what_reads_make
    set_aside_what_reads_make()
    from velkor.migration.runner.cli import main as command_line
    command_line()

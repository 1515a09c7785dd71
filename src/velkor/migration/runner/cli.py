"""The ``velkor-migrate`` command line."""
from __future__ import annotations

import argparse
import sys
import traceback

from velkor.migration.runner import commands
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project

EXIT_INTERRUPTED = 130


def _wait(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if seconds < 0:
        raise argparse.ArgumentTypeError(f"expected 0 seconds or more, got {text!r}")
    return seconds


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, got {text!r}")
    return value


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--project", metavar="DIR", default=argparse.SUPPRESS,
                        help="the project folder, holding velkor.toml (default: the current folder)")
    main_parser = argparse.ArgumentParser(
        prog="velkor-migrate", parents=[common],
        description="Apply, inspect and withdraw the migrations of a velkor project. A migration is a "
                    "file NNNN_name.json in app/migrations/ or contrib/<module>/migrations/ listing the "
                    "object schemas it introduces or changes.",
        epilog="Exit status: 0 done, 1 error, 2 bad usage, 3 another run holds the project's lock.")
    sub = main_parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, text: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=text, description=text)

    wait_help = "how long to wait for another run to finish (default: %(default)s)"
    p = command("apply", "Compile and record the pending migrations, in order.")
    p.add_argument("--to", metavar="MIGRATION",
                   help="stop after this migration: NUMBER for the app, MODULE:NUMBER for a contrib module")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    command("status", "List the migrations, applied and pending.")
    p = command("rollback", "Withdraw the latest applied migrations.")
    p.add_argument("--steps", metavar="N", type=_count, default=1,
                   help="how many migrations to withdraw (default: %(default)s)")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    command("history", "List every recorded version of the applied migrations, from the lakehouse.")
    p = command("show", "Print the generated source of a model class.")
    p.add_argument("class_name", metavar="CLASS", help="the class name")
    command("check", "Validate every migration file and compile all schemas, recording nothing.")
    p = command("new", "Write the next numbered migration file, valid and empty, to fill in.")
    p.add_argument("name", metavar="NAME", help="what the migration does, in a few words: its file name")
    p.add_argument("--module", metavar="M", help="a contrib module (default: the app)")
    sub.add_parser("schema", help="Print the JSON Schema of a migration file, for editors.",
                   description="Print the JSON Schema of a migration file, for editors.")
    return main_parser


def run(argv: list[str] | None = None, out: Output | None = None) -> int:
    args = parser().parse_args(argv)
    out = out or Output()
    try:
        if args.command == "schema":
            return commands.schema(None, out)
        project = Project(getattr(args, "project", None))
        for warning in project.warnings:
            out.warning(warning)
        if args.command == "new":
            return commands.new(project, out, args.name, module=args.module)
        if args.command == "apply":
            return commands.apply(project, out, to=args.to, wait=args.wait)
        if args.command == "rollback":
            return commands.rollback(project, out, steps=args.steps, wait=args.wait)
        if args.command == "show":
            return commands.show(project, out, args.class_name)
        return getattr(commands, args.command)(project, out)
    except MigrationError as exc:
        out.error(str(exc))
        return exc.exit_code
    except KeyboardInterrupt:
        out.error("interrupted; the migrations reported as applied are recorded, the others are not")
        return EXIT_INTERRUPTED
    except Exception:  # a fault of the runner itself, not of the project: show where
        out.error("internal error of velkor-migrate, please report it:\n" + traceback.format_exc().rstrip())
        return 1


def main(argv: list[str] | None = None) -> None:
    code = run(argv)
    try:
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped early, as `status | head -1` does: that is no fault
        pass
    sys.exit(code)

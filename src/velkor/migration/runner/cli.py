"""The ``velkor-migrate`` command line."""
from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
import threading
import traceback
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from velkor.migration.runner.errors import Interrupted, MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.record.interrupts import raise_counted
from velkor.migration.runner.start import interrupts_end_the_process

EXIT_INTERRUPTED = Interrupted.exit_code


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


GRAPH_FORMATS = ("mermaid", "dot", "svg", "png")


def _format_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--format", choices=("text", "json"), default="text",
                         help="text for people (the default), or one JSON document for scripts "
                              "(docs/json-output.md)")


def _at_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--at", metavar="WHEN", default=None,
                         help="as the record was at a past moment: a time (ISO 8601, such as 2026-12-08T14:30; "
                              "this host's zone unless given) or a version of the ledger, read from the "
                              "lakehouse's own versions")


def _strict_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--strict", action="store_true",
                         help="fail when an applied migration's file was edited since it was applied (by default "
                              "a warning, and the classes are built as it was applied)")


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--project", metavar="DIR", default=argparse.SUPPRESS,
                        help="the project folder, holding velkor.toml (default: the current folder)")
    common.add_argument("--config", metavar="FILE", default=argparse.SUPPRESS,
                        help="the configuration file (default: $VELKOR_CONFIG, else velkor.toml in the project "
                             "folder); VELKOR_<CONNECTION>_URL, _PATH and _ENDPOINT_URL override its connections")
    main_parser = argparse.ArgumentParser(
        prog="velkor-migrate", parents=[common],
        description="Apply, inspect and withdraw the migrations of a velkor project. A migration is a "
                    "file NNNN_name.json in app/migrations/ or contrib/<module>/migrations/ listing the "
                    "object schemas it introduces or changes.",
        epilog="Exit status: 0 done, 1 error, 2 bad usage, 3 another run holds the project's lock.")
    main_parser.add_argument("--version", action=_Version, help="print the version and exit")
    sub = main_parser.add_subparsers(dest="command", metavar="COMMAND")  # none: the help

    def command(name: str, text: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=text, description=text)

    wait_help = "how long to wait for another run to finish (default: %(default)s)"
    p = command("apply", "Compile and record the pending migrations, in order.")
    p.add_argument("--to", metavar="MIGRATION",
                   help="stop after this migration: NUMBER for the app, MODULE:NUMBER for a contrib module")
    p.add_argument("--out-of-order", action="store_true",
                   help="also apply pending migrations numbered below an applied one of their module")
    p.add_argument("--accept-changed", metavar="MIGRATION", action="append", default=[],
                   help="record the file of this applied migration, changed since it was applied, as its "
                        "applied content (repeat for several)")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    p.add_argument("--dry-run", action="store_true",
                   help="say what the run would apply and change, as plan does, and record nothing")
    p.add_argument("--allow-breaking", action="store_true",
                   help="apply changes that break stored records (a removed field, a new required one, "
                        "a narrowed type...) even when the repository holds records of the class")
    _format_option(p)
    p = command("status", "List the migrations, applied and pending.")
    _format_option(p)
    _at_option(p)
    p = command("rollback", "Withdraw the latest applied migrations.")
    p.add_argument("--force", action="store_true",
                   help="also withdraw migrations that another run recorded and that have no file in this folder")
    back = p.add_mutually_exclusive_group()
    back.add_argument("--steps", metavar="N", type=_count, default=None,
                      help="how many migrations to withdraw (default: 1); refused when fewer are applied")
    back.add_argument("--to", metavar="MIGRATION",
                      help="withdraw every migration applied after this one, which stays applied; "
                           "--to zero withdraws them all")
    p.add_argument("--dry-run", action="store_true",
                   help="say what would be withdrawn, and record nothing")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    _format_option(p)
    p = command("baseline", "Record every migration up to MIGRATION as applied, without compiling them "
                            "(to adopt a project whose classes are in place already).")
    p.add_argument("migration", metavar="MIGRATION",
                   help="the last migration to record: NUMBER for the app, MODULE:NUMBER for a contrib module")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    _format_option(p)
    p = command("repair", "Make the repository's rows agree with the ledger, and accept the stores as they are.")
    p.add_argument("--from-repository", action="store_true",
                   help="rebuild the ledger's current records from the repository's rows instead "
                        "(when the lakehouse was lost; its history is not restored)")
    p.add_argument("--wait", metavar="SECONDS", type=_wait, default=30.0, help=wait_help)
    p = command("history", "List every recorded version of the applied migrations, from the lakehouse.")
    p.add_argument("--limit", metavar="N", type=_count, help="only the N newest versions")
    p.add_argument("--migration", metavar="M", help="only the versions of this migration")
    _format_option(p)
    _at_option(p)
    p = command("show", "Print the generated source of a model class.")
    p.add_argument("class_name", metavar="CLASS", help="the class name")
    _strict_option(p)
    _at_option(p)
    p.add_argument("--diff", action="store_true",
                   help="show how the pending migrations change it: the applied source against the pending "
                        "one, as a unified diff")
    _format_option(p)
    p = command("check", "Validate every migration file and compile all schemas, recording nothing.")
    _format_option(p)
    p = command("plan", "Say what the pending migrations will change, in order, recording nothing.")
    p.add_argument("--to", metavar="MIGRATION", help="up to this migration, as apply --to")
    p.add_argument("--out-of-order", action="store_true", help="as apply --out-of-order")
    p.add_argument("--accept-changed", metavar="MIGRATION", action="append", default=[],
                   help="as apply --accept-changed")
    _format_option(p)
    p = command("graph", "Draw the model classes and their references: Mermaid, dot, SVG or PNG.")
    _strict_option(p)
    p.add_argument("--format", choices=GRAPH_FORMATS, default=None,
                   help="mermaid (a class diagram, the default), dot (Graphviz's text), or svg and png "
                        "(drawn by Graphviz's dot program); by default taken from the --output file's suffix")
    p.add_argument("--output", metavar="FILE", help="write to this file (default: standard output)")
    p = command("new", "Write the next numbered migration file, valid and empty, to fill in.")
    p.add_argument("name", metavar="NAME", help="what the migration does, in a few words: its file name")
    p.add_argument("--module", metavar="M", help="a contrib module (default: the app)")
    p = command("init", "Start a project: a commented velkor.toml, app/migrations/ and a first empty migration.")
    p.add_argument("folder", metavar="FOLDER", nargs="?", default=None,
                   help="the project folder, made if missing (default: --project, else the current folder)")
    p.add_argument("--team", action="store_true",
                   help="a repository on PostgreSQL and a lakehouse on S3, to fill in, instead of the embedded "
                        "default (SQLite and Delta under .velkor/)")
    sub.add_parser("schema", help="Print the JSON Schema of a migration file, for editors.",
                   description="Print the JSON Schema of a migration file, for editors.")
    return main_parser


class _Version(argparse.Action):
    """--version: looked up only when asked for (reading the distribution's metadata takes a while)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args) -> None:
        from importlib.metadata import PackageNotFoundError, version
        try:
            found = version("velkor-migration")
        except PackageNotFoundError:
            found = "(not installed)"
        print(f"velkor-migrate {found}")
        parser.exit()


@contextmanager
def interrupts_restored(restore: bool) -> Iterator[None]:
    """Give back the Ctrl-C handler that a commit may have set aside (not on
    the command line, where the process ends with the command)."""
    main = threading.current_thread() is threading.main_thread()
    previous = signal.getsignal(signal.SIGINT) if main else None
    try:
        yield
    finally:
        if restore and main:
            signal.signal(signal.SIGINT, previous)


def command_begins() -> None:
    """Ctrl-C raises KeyboardInterrupt from now on, for the command to say what is recorded."""
    signal.signal(signal.SIGINT, raise_counted)


class Commands:
    """The commands, each imported when it runs (the others' libraries are not loaded)."""

    def __getattr__(self, name: str) -> Callable[..., int]:
        return getattr(importlib.import_module(f"velkor.migration.runner.commands.{name}"), name)


def dispatch(args: argparse.Namespace, out: Output, begin: Callable[[], None] | None = None) -> int:
    """Run the command; ``begin``: called once the project is open and its storage
    libraries are loaded, as the command begins."""
    # Imported here: `--help` and a bad command line load no storage library.
    from velkor.migration.runner.project import Project

    commands = Commands()

    if args.command == "schema":
        return commands.schema(out)
    if args.command == "init":
        return commands.init(out, args.folder or getattr(args, "project", None) or ".", team=args.team,
                             config=getattr(args, "config", None))
    project = Project(getattr(args, "project", None), config=getattr(args, "config", None),
                      storage=args.command != "new")
    if begin is not None:
        project.load_engines()
        begin()
    project.recorder.interrupts_end_at_commit = True
    project.recorder.on_note = out.warning
    project.warn = out.warning
    project.strict = getattr(args, "strict", False)
    for warning in project.warnings:
        out.warning(warning)
    with project.active(), project:
        if args.command == "new":
            return commands.new(project, out, args.name, module=args.module)
        if args.command == "apply" and args.dry_run:
            return commands.plan(project, out, to=args.to, out_of_order=args.out_of_order,
                                 accept_changed=args.accept_changed, fmt=args.format)
        if args.command == "plan":
            return commands.plan(project, out, to=args.to, out_of_order=args.out_of_order,
                                 accept_changed=args.accept_changed, fmt=args.format)
        if args.command == "graph":
            return commands.graph(project, out, fmt=args.format, output=args.output)
        if args.command == "apply":
            return commands.apply(project, out, to=args.to, wait=args.wait, out_of_order=args.out_of_order,
                                  accept_changed=args.accept_changed, allow_breaking=args.allow_breaking,
                                  fmt=args.format)
        if args.command == "rollback":
            return commands.rollback(project, out, steps=args.steps, wait=args.wait, to=args.to,
                                     dry_run=args.dry_run, fmt=args.format, force=args.force)
        if args.command == "baseline":
            return commands.baseline(project, out, args.migration, wait=args.wait, fmt=args.format)
        if args.command == "history":
            return commands.history(project, out, fmt=args.format, limit=args.limit, migration=args.migration,
                                    at=args.at)
        if args.command == "repair":
            return commands.repair(project, out, from_repository=args.from_repository, wait=args.wait)
        if args.command == "show":
            return commands.show(project, out, args.class_name, diff=args.diff, fmt=args.format, at=args.at)
        if args.command == "status":
            return commands.status(project, out, fmt=args.format, at=args.at)
        return getattr(commands, args.command)(project, out, fmt=args.format)


def run(argv: list[str] | None = None, out: Output | None = None, command_line: bool = False) -> int:
    """Run a command in this process (``command_line``: the process is the
    command's own and ends with it)."""
    main_parser = parser()
    args = main_parser.parse_args(argv)
    out = out or Output()
    if args.command is None:  # no command: what there is to do
        out.line(main_parser.format_help().rstrip("\n"))
        return 0
    try:
        with interrupts_restored(not command_line):
            return dispatch(args, out, command_begins if command_line else None)
    except MigrationError as exc:
        return failed(args, out, str(exc), exc.exit_code)
    except KeyboardInterrupt:
        return failed(args, out, "interrupted; nothing was changed by this command", EXIT_INTERRUPTED)
    except Exception:  # a fault of the runner itself, not of the project: show where
        return failed(args, out, "internal error of velkor-migrate, please report it:\n"
                      + traceback.format_exc().rstrip(), 1)


def failed(args: argparse.Namespace, out: Output, message: str, code: int) -> int:
    """Say why the command failed: on stderr, or as the command's JSON document."""
    if getattr(args, "format", None) == "json":
        from velkor.migration.runner.commands.json_documents import emit
        dry_plan = args.command == "apply" and args.dry_run  # apply --dry-run is plan
        return emit(out, "plan" if dry_plan else args.command, {}, error=message, exit_status=code)
    out.error(message)
    return code


def main(argv: list[str] | None = None) -> None:
    interrupts_end_the_process()  # until the command begins (``start``)
    try:
        code = run(argv, command_line=True)
    except KeyboardInterrupt:  # before the command began: nothing was done
        print("error: interrupted", file=sys.stderr)
        code = EXIT_INTERRUPTED
    # The command's work is done, said and its stores closed. Ctrl-C from
    # now on would only turn its exit status into a signal's; and the
    # storage libraries' own teardown at exit can abort the process when a
    # thread pool is still winding down ("terminate called without an
    # active exception"): leave without it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (BrokenPipeError, ValueError):  # the reader stopped early, as `status | head -1` does: no fault
            pass
    os._exit(code)

"""Hostile migration files and project paths: each refused in one line, or
working, never read without end, waited on, or recorded in part; and what a
storage library writes to the error stream kept in a log, off the terminal."""
import errno
import json
import os
import shutil
from dataclasses import dataclass

import pytest

from velkor_data.engines.base import Connection

from .conftest import EXAMPLE, applied_count, migrate, migrate_process

FOLDER = "app/migrations"
CONTENT = json.dumps({"schemas": [{"class_name": "Fine", "schema": {"properties": {}}}]})
PIPED = CONTENT.encode()  # written into the named pipe: still there afterwards if nothing read it


def schema_file(root, name, properties="{}", class_name="Bad", description="A class"):
    """A migration file written as this text, escapes included."""
    text = (f'{{"description": "{description}", "schemas": [{{"class_name": "{class_name}", '
            f'"schema": {{"properties": {properties}}}}}]}}')
    (root / FOLDER / name).write_text(text)


@dataclass
class Hostile:
    id: str
    make: object  # (root, path) -> the file made
    message: str
    found_at: str = "discovery"  # or "loading": the file is read, and its content refused
    name: str = "0006_hostile.json"


def fifo(root, path):
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR | os.O_NONBLOCK)  # holds the pipe open, with bytes in it
    os.write(writer, PIPED)
    return writer


HOSTILE = [
    Hostile("fifo", fifo, "a named pipe (FIFO), not a file"),
    Hostile("link to /dev/zero", lambda root, path: path.symlink_to("/dev/zero"),
            "a character device (a symbolic link to /dev/zero), not a file"),
    Hostile("directory", lambda root, path: path.mkdir(), "a directory, not a file"),
    Hostile("dangling link", lambda root, path: path.symlink_to(root / "nowhere.json"),
            "a symbolic link to", ),
    Hostile("2 MiB", lambda root, path: path.write_bytes(b" " * (2 << 20)),
            "2.0 MiB (2097152 bytes): a migration file holds at most 1.0 MiB (1048576 bytes)"),
    Hostile("65-bit number", lambda root, path: path.write_text(CONTENT),
            "the number 36893488147419103232 is too large: a migration's number is at most 9223372036854775807",
            name="36893488147419103232_big.json"),
    Hostile("5000-digit default", lambda root, path: schema_file(
        root, path.name, '{"n": {"type": "integer", "default": ' + "9" * 5000 + "}}"),
            "schemas[0].schema.properties.n.default: the integer 99999", "loading"),
    Hostile("64-bit overflow in an option", lambda root, path: schema_file(
        root, path.name, '{"n": {"type": "integer", "options": [{"value": 9223372036854775808}]}}'),
            "properties.n.options[0].value: the integer 9223372036854775808 does not fit in 64 bits", "loading"),
    Hostile("surrogate in a class name", lambda root, path: schema_file(root, path.name, class_name="Bad\\udc80"),
            "schemas[0].class_name: the text Bad\\udc80 holds a lone surrogate", "loading"),
    Hostile("surrogate in a property name", lambda root, path: schema_file(
        root, path.name, '{"a\\udc80": {"type": "string"}}'),
            "schemas[0].schema.properties.a\\udc80: the name a\\udc80 holds a lone surrogate", "loading"),
    Hostile("surrogate in a description", lambda root, path: schema_file(root, path.name, description="x\\ud800"),
            "description: the text x\\ud800 holds a lone surrogate", "loading"),
    Hostile("surrogate in a default", lambda root, path: schema_file(
        root, path.name, '{"s": {"type": "string", "default": "\\udfff"}}'),
            "properties.s.default: the text \\udfff holds a lone surrogate", "loading"),
]


def run(root, *args):
    process = migrate_process(root, *args)
    try:
        out, err = process.communicate(timeout=120)
    except BaseException:
        process.kill()
        process.communicate()
        raise
    return process.returncode, out, err


@pytest.mark.parametrize("command", [["check"], ["check", "--format", "json"], ["status"], ["apply"]],
                         ids=" ".join)
@pytest.mark.parametrize("case", HOSTILE, ids=lambda case: case.id)
def test_a_hostile_file_is_refused_in_one_line(shop, case, command):
    path = shop / FOLDER / case.name
    writer = case.make(shop, path) if case.make is fifo else None
    if writer is None:
        case.make(shop, path)
    try:
        code, out, err = run(shop, *command)
        if writer is not None:
            assert os.read(writer, len(PIPED) + 1) == PIPED, "nothing reads the named pipe"
    finally:
        if writer is not None:
            os.close(writer)
    assert "Traceback" not in err and "internal error" not in err + out
    if command[0] == "status" and case.found_at == "loading":
        assert code == 0 and "0006_hostile" in out, err  # status lists files; it does not read them
    elif "json" in command:
        document = json.loads(out)
        assert code == 1 and not document["ok"] and case.message in document["error"]["message"], out
    else:
        errors = [line for line in err.splitlines() if line.startswith("error: ")]
        assert code == 1 and len(errors) == 1 and errors[0].startswith(f"error: {FOLDER}/{case.name}: "), err
        assert case.message in errors[0] and len(errors[0]) < 400, err
    if path.is_dir() and not path.is_symlink():
        path.rmdir()
    else:
        path.unlink()
    assert applied_count(shop) == 0


# -- project paths -----------------------------------------------------------

# A local lakehouse folder whose path the Delta Lake library cannot take.
REFUSED = {"a%20b": "'%20'", "tab\there": "'\\t'", "[x]": "'['"}


@pytest.mark.parametrize("name", ["a%20b", "tab\there", "[x]", "sp ace", "ünïcødé"])
def test_any_project_path_works_or_is_refused_before_anything_is_written(tmp_path, name):
    root = tmp_path / name
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".velkor"))  # its own velkor.toml: SQLite + Delta
    result = migrate(root, "apply")
    status = migrate(root, "status", "--format", "json")
    document = json.loads(status.out)
    if name not in REFUSED:
        assert result.code == 0, result.err
        assert status.code == 0 and document["summary"]["applied"] == 6, status.out
        return
    assert result.code == 1 and len(result.err.splitlines()) == 1, result.err
    assert (f"connections.lakehouse: the lakehouse folder {str(root / '.velkor/lakehouse')!r} cannot hold Delta "
            f"tables: its path holds {REFUSED[name]}") in result.err
    assert not (root / ".velkor").exists(), "nothing is written"
    assert status.code == 1 and not document["ok"] and "cannot hold Delta tables" in document["error"]["message"]


# -- what the storage libraries say ------------------------------------------

PANIC = b"thread '<unnamed>' panicked at crates/core/src/kernel/transaction/mod.rs:1:1:\nstack backtrace:\n"


def test_a_storage_library_panic_goes_to_the_log_not_the_terminal(embedded_shop, monkeypatch, capfd):
    """A commit fails as a disk turning read-only would make it, the library talking on the way."""
    guarded = Connection._guarded

    def failing(connection, where, step, *args):
        if ": commit of" in where:
            def step(*a):
                os.write(2, PANIC)
                raise OSError(errno.EROFS, "Read-only file system")
        return guarded(connection, where, step, *args)

    monkeypatch.setattr(Connection, "_guarded", failing)
    result = migrate(embedded_shop, "apply")
    assert result.code == 1 and len(result.err.splitlines()) == 2, result.err  # the error, and what is recorded
    assert "read-only file system" in result.err.lower()
    assert "(the storage library's own report is in .velkor/engine-errors.log)" in result.err
    assert "panicked" not in capfd.readouterr().err
    assert PANIC.decode() in (embedded_shop / ".velkor/engine-errors.log").read_text()
    monkeypatch.undo()
    assert applied_count(embedded_shop) == 0

"""velkor-migrate beside Alembic on SQLite, command for command, each run as
a user runs it (a new process, timed from start to exit), in one run.

The same number of trivial migrations on each side: for velkor-migrate, one
class with two properties per migration on the embedded default storage (a
SQLite repository and a Delta lakehouse); for Alembic, one table with two
columns per revision on SQLite. Each figure is the median of --repeat runs.

Reported:
- apply of 10, 100 and 1,000 migrations from nothing, with the time per
  migration (growth should be linear);
- with 1,000 applied: status (Alembic: current), history, rolling one back
  (Alembic: downgrade -1) and applying one new one (Alembic: upgrade head);
- the lakehouse's file count after the run, and whether --help loads a
  storage library.

Alembic is installed only in the benchmark's environment (make bench).
Run: .venv-bench/bin/python -m bench.runner.peer [--repeat N] [--counts 10,100,1000]
"""
from __future__ import annotations

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench.runner.apply import EMBEDDED

BIN = Path(sys.executable).parent
ALEMBIC_INI = """\
[alembic]
script_location = %(here)s/alembic
sqlalchemy.url = sqlite:///%(here)s/app.sqlite3
"""
ALEMBIC_ENV = """\
from alembic import context
from sqlalchemy import engine_from_config, pool

config = context.config
engine = engine_from_config(config.get_section(config.config_ini_section), prefix="sqlalchemy.",
                            poolclass=pool.NullPool)
with engine.connect() as connection:
    context.configure(connection=connection)
    with context.begin_transaction():
        context.run_migrations()
"""
REVISION = """\
import sqlalchemy as sa
from alembic import op

revision = "r{number:04d}"
down_revision = {down}


def upgrade():
    op.create_table("item{number:04d}", sa.Column("id", sa.Integer, primary_key=True),
                    sa.Column("code", sa.String(50)), sa.Column("quantity", sa.Integer))


def downgrade():
    op.drop_table("item{number:04d}")
"""


def ours(root: Path, number: int) -> None:
    folder = root / "app" / "migrations"
    folder.mkdir(parents=True, exist_ok=True)
    schema = {"properties": {"code": {"type": "string"}, "quantity": {"type": "integer"}}}
    document = {"schemas": [{"class_name": f"Item{number:04d}", "schema": schema}]}
    (folder / f"{number:04d}_item.json").write_text(json.dumps(document))


def theirs(root: Path, number: int) -> None:
    folder = root / "alembic" / "versions"
    folder.mkdir(parents=True, exist_ok=True)
    down = "None" if number == 1 else f'"r{number - 1:04d}"'
    (folder / f"r{number:04d}_item.py").write_text(REVISION.format(number=number, down=down))


def make_projects(folder: Path, count: int) -> tuple[Path, Path]:
    mine, peer = folder / f"velkor{count}", folder / f"alembic{count}"
    mine.mkdir()
    (mine / "velkor.toml").write_text(EMBEDDED)
    peer.mkdir()
    (peer / "alembic.ini").write_text(ALEMBIC_INI)
    (peer / "alembic").mkdir()
    (peer / "alembic" / "env.py").write_text(ALEMBIC_ENV)
    for number in range(1, count + 1):
        ours(mine, number)
        theirs(peer, number)
    return mine, peer


def run(command: list[str]) -> float:
    started = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return elapsed


def velkor(root: Path, *arguments: str) -> list[str]:
    return [str(BIN / "velkor-migrate"), "--project", str(root), *arguments]


def alembic(root: Path, *arguments: str) -> list[str]:
    return [str(BIN / "alembic"), "-c", str(root / "alembic.ini"), *arguments]


def median_fresh(template: Path, command, repeat: int, folder: Path) -> float:
    """Median time of a command run on fresh copies of a project."""
    times = []
    for attempt in range(repeat):
        copy = folder / f"{template.name}-{attempt}"
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(template, copy)
        times.append(run(command(copy)))
        if attempt < repeat - 1:
            shutil.rmtree(copy)
    return statistics.median(times)


def line(what: str, mine: float, peer: float) -> None:
    print(f"  {what:<34} {mine:8.3f} s   {peer:8.3f} s   {mine / peer:6.2f}x", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.runner.peer")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--counts", default="10,100,1000")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    if not (BIN / "alembic").exists():
        raise SystemExit("Alembic is not installed in this environment: run `make bench`")
    with tempfile.TemporaryDirectory(prefix="velkor-peer-") as name:
        folder = Path(name)
        print(f"velkor-migrate (embedded default: SQLite + Delta) beside Alembic (SQLite), "
              f"new process per command, median of {args.repeat}")
        print(f"  {'command':<34} {'velkor':>10}   {'alembic':>10}   ratio")
        applied: tuple[Path, Path] | None = None
        for count in counts:
            mine, peer = make_projects(folder, count)
            t_mine = median_fresh(mine, lambda root: velkor(root, "apply"), args.repeat, folder)
            t_peer = median_fresh(peer, lambda root: alembic(root, "upgrade", "head"), args.repeat, folder)
            line(f"apply {count}", t_mine, t_peer)
            print(f"  {'':<34} {1000 * t_mine / count:8.2f} ms/migration   {1000 * t_peer / count:6.2f} ms/revision")
            applied = (folder / f"{mine.name}-{args.repeat - 1}", folder / f"{peer.name}-{args.repeat - 1}")
        mine, peer = applied  # the largest count, applied on both sides
        count = counts[-1]
        print(f"with {count} applied:")
        for what, ours_args, their_args in [("status (alembic current)", ["status"], ["current"]),
                                             ("history", ["history"], ["history"])]:
            line(what, statistics.median(run(velkor(mine, *ours_args)) for _ in range(args.repeat)),
                 statistics.median(run(alembic(peer, *their_args)) for _ in range(args.repeat)))
        rollbacks, applies, peer_rollbacks, peer_applies = [], [], [], []
        ours(mine, count + 1)
        theirs(peer, count + 1)
        assert run(velkor(mine, "apply")) and run(alembic(peer, "upgrade", "head"))
        for _ in range(args.repeat):
            rollbacks.append(run(velkor(mine, "rollback")))
            applies.append(run(velkor(mine, "apply")))
            peer_rollbacks.append(run(alembic(peer, "downgrade", "-1")))
            peer_applies.append(run(alembic(peer, "upgrade", "head")))
        line("rollback 1 (alembic downgrade -1)", statistics.median(rollbacks), statistics.median(peer_rollbacks))
        line("apply 1 new (alembic upgrade head)", statistics.median(applies), statistics.median(peer_applies))
        line("--help", statistics.median(run(velkor(mine, "--help")) for _ in range(args.repeat)),
             statistics.median(run(alembic(peer, "--help")) for _ in range(args.repeat)))
        loaded = subprocess.run(
            [sys.executable, "-c", "import io, sys\nfrom contextlib import redirect_stdout\n"
             "from velkor.migration.runner.cli import run\n"
             "try:\n    with redirect_stdout(io.StringIO()):\n        run(['--help'])\nexcept SystemExit:\n    pass\n"
             "print(sorted({m.split('.')[0] for m in sys.modules} & {'deltalake', 'pyarrow', 'psycopg', 'sqlite3'}))"],
            capture_output=True, text=True).stdout.strip()
        print(f"--help loads these storage libraries: {loaded}")
        lakehouse = mine / ".velkor" / "lakehouse"
        files = [p for p in lakehouse.rglob("*") if p.is_file()]
        tables = sorted(p.name for p in lakehouse.iterdir() if p.is_dir())
        print(f"lakehouse after the run: {len(files)} files in {len(tables)} tables ({', '.join(tables)})")


if __name__ == "__main__":
    main()

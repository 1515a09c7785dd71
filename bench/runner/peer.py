"""velkor-migrate beside Alembic on SQLite, command for command, each run as
a user runs it (a new process, timed from start to exit), in one run.

The same number of trivial migrations on each side: for velkor-migrate, one
class with two properties per migration on the embedded default storage (a
SQLite repository and a Delta lakehouse); for Alembic, one table with two
columns per revision on SQLite. Each figure is the median of --repeat runs
(one run for applying 10,000 from nothing: minutes on each side).

Reported:
- apply of 10 to 10,000 migrations from nothing, with the time per
  migration (growth should be linear);
- with 1,000 and with 10,000 applied: status (Alembic: current), applying
  one new one (Alembic: upgrade head) and loading one class (no peer), and
  how much each grows from 1,000 to 10,000;
- with the largest count applied: history, rolling one back (Alembic:
  downgrade -1), --help; the lakehouse's file count after the run, and
  whether --help loads a storage library.

Alembic is installed only in the benchmark's environment (make bench).
Run: .venv-bench/bin/python -m bench.runner.peer [--repeat N] [--counts 10,100,1000,10000]
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


def line(what: str, mine: float, peer: float | None) -> None:
    if peer is None:
        print(f"  {what:<34} {mine:8.3f} s", flush=True)
        return
    print(f"  {what:<34} {mine:8.3f} s   {peer:8.3f} s   {mine / peer:6.2f}x", flush=True)


def load_classes_command(root: Path) -> list[str]:
    """An application starting: one applied class loaded with the classes it references (no peer has this)."""
    return [sys.executable, "-c", "import sys\nfrom velkor.migration.runner import load_classes\n"
            "load_classes(sys.argv[1], classes=['Item0001']).get_model('Item0001')\n", str(root)]


def at_count(mine: Path, peer: Path, count: int, repeat: int) -> dict[str, tuple[float, float | None]]:
    """With ``count`` applied on both sides: status, one new migration applied (and rolled back between
    the runs), and loading one class. Each figure: ours, the peer's (None: no peer)."""
    figures = {"status (alembic current)": (
        statistics.median(run(velkor(mine, "status")) for _ in range(repeat)),
        statistics.median(run(alembic(peer, "current")) for _ in range(repeat)))}
    ours(mine, count + 1)
    theirs(peer, count + 1)
    applies, peer_applies = [], []
    for _ in range(repeat):
        applies.append(run(velkor(mine, "apply")))
        peer_applies.append(run(alembic(peer, "upgrade", "head")))
        run(velkor(mine, "rollback"))
        run(alembic(peer, "downgrade", "-1"))
    figures["apply 1 new (alembic upgrade head)"] = (statistics.median(applies), statistics.median(peer_applies))
    figures["load_classes() of 1 class (no peer)"] = (
        statistics.median(run(load_classes_command(mine)) for _ in range(repeat)), None)
    for what, (t_mine, t_peer) in figures.items():
        line(what, t_mine, t_peer)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.runner.peer")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--counts", default="10,100,1000,10000")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    if not (BIN / "alembic").exists():
        raise SystemExit("Alembic is not installed in this environment: run `make bench`")
    with tempfile.TemporaryDirectory(prefix="velkor-peer-") as name:
        folder = Path(name)
        print(f"velkor-migrate (embedded default: SQLite + Delta) beside Alembic (SQLite), "
              f"new process per command, median of {args.repeat}")
        print(f"  {'command':<34} {'velkor':>10}   {'alembic':>10}   ratio")
        applied: dict[int, tuple[Path, Path]] = {}
        for count in counts:
            mine, peer = make_projects(folder, count)
            repeat = args.repeat if count < 10000 else 1  # (minutes each, on both sides)
            t_mine = median_fresh(mine, lambda root: velkor(root, "apply"), repeat, folder)
            t_peer = median_fresh(peer, lambda root: alembic(root, "upgrade", "head"), repeat, folder)
            line(f"apply {count}", t_mine, t_peer)
            print(f"  {'':<34} {1000 * t_mine / count:8.2f} ms/migration   {1000 * t_peer / count:6.2f} ms/revision")
            applied[count] = (folder / f"{mine.name}-{repeat - 1}", folder / f"{peer.name}-{repeat - 1}")
        growth = {}
        for count in [c for c in counts if c >= 1000] or counts[-1:]:
            print(f"with {count} applied:")
            growth[count] = at_count(*applied[count], count, args.repeat)
        if len(growth) > 1:
            low, high = min(growth), max(growth)
            print(f"growth from {low} to {high} applied (time at {high} / time at {low}):")
            for what, (t_mine, t_peer) in growth[high].items():
                low_mine, low_peer = growth[low][what]
                theirs_grew = f"alembic {t_peer / low_peer:5.2f}x" if t_peer and low_peer else ""
                print(f"  {what:<34} velkor {t_mine / low_mine:5.2f}x   {theirs_grew}")
        mine, peer = applied[counts[-1]]
        print(f"with {counts[-1]} applied:")
        for what, ours_args, their_args in [("history", ["history"], ["history"]),
                                             ("rollback 1 (alembic downgrade -1)", ["rollback"], ["downgrade", "-1"])]:
            t_mine = statistics.median(run(velkor(mine, *ours_args)) for _ in range(1))
            t_peer = statistics.median(run(alembic(peer, *their_args)) for _ in range(1))
            line(what, t_mine, t_peer)
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

"""The ledger's speed, beside the same framework and storage calls made directly
from Python, on real storage in temporary projects.

1. save_migration and delete_migration on the embedded default (SQLite
   repository + Delta lakehouse under .velkor/): native and Python runs
   alternate in pairs, in random order within each pair, so that the growing
   tables and the lakehouse's periodic compaction weigh on both alike; the
   median of the pair ratios and the ratio of the totals are given.
   The same pair is then run with storage calls that do nothing, to show the
   cost of the steps themselves.
2. fetch_migrations over 1,000 / 5,000 / 10,000 rows of a SQLite repository:
   time per row, and at each size the split between the query, the
   framework's record construction and the module's own work.

Run: PYTHONPATH=build/<name>/site .venv/bin/python -m bench.ledger_vault
"""
from __future__ import annotations

import argparse
import json
import random
import statistics
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from velkor.configs.main import settings
from velkor.migration import ledger_vault
from velkor.migration.data_classes import MigrationFile, ModuleTypes
from velkor.migration.ledger_vault import LedgerVault
from velkor.migration.utils import contrib_to_module_root_path, map_module_type_to_schema_type
from velkor_data.manager import VelkorDataManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.metadata import Metadata
from velkor_utils.models.data_models.reference import Reference, ReferenceData
from velkor_utils.models.enums import Versions
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier

clock = time.perf_counter_ns


# -- the same calls, written in Python --------------------------------------

def _metadata(migration, object_id=None):
    base = LedgerVault.migration_address
    address = base.model_copy(update={"object_id": object_id or get_identifier(),
                                      "object_version": get_identifier()})
    transaction_manager = VelkorDataManager().get_transaction_manager()
    metadata = Metadata(
        address=address,
        class_schema_reference=Reference(ref=ReferenceData(
            **base.model_copy(update={"class_version": Versions.LATEST}).model_dump())),
        class_schema_type=map_module_type_to_schema_type(migration.type),
        transaction=transaction_manager.transaction_object.address,
    )
    return address, json.loads(metadata.model_dump_json())


def _data(migration):
    return {"number": migration.number, "migration_name": migration.path.name,
            "module_type": migration.type.value, "module_name": migration.module,
            "applied_at": migration.applied_at}


def _history(vault, address, data, metadata):
    lakehouse = vault._connections_manager.get_connection(
        vault._velkor_config.resources_config.lakehouse)
    lakehouse.put(address=address, data=data)
    lakehouse.put(address=Address.from_string(f"resource#Metadata::{get_identifier()}"),
                  data=metadata)


def python_save(vault, migration):
    data = _data(migration)
    address, metadata = _metadata(migration)
    _history(vault, address, data, metadata)
    repository = vault._connections_manager.get_connection(
        vault._velkor_config.resources_config.repository.default)
    repository.insert(address=address, data={**data, "_metadata": metadata})


def python_delete(vault, migration):
    stored = migration.stored_address
    data = _data(migration)
    historical = stored.model_copy(update={"object_version": get_identifier()})
    _, metadata = _metadata(migration, object_id=stored.object_id)
    metadata["address"] = json.loads(historical.model_dump_json())
    metadata["prior_version"] = stored.object_version
    metadata["is_deleted"] = True
    _history(vault, historical, data, metadata)
    vault._connections_manager.get_connection(
        vault._velkor_config.resources_config.repository.default).delete(stored)


# -- helpers ----------------------------------------------------------------

def migration(number):
    return MigrationFile(number=number, path=Path(f"{number:05d}_step.py"), type=ModuleTypes.APP,
                         applied_at=1700000000.0 + number)


def project(root, toml=None):
    if toml is not None:
        (root / "velkor.toml").write_text(toml)
    settings.configure(root)
    return LedgerVault()


def alternate(native, python, arguments, seed=4):
    """Times native(a) and python(b) over pairs of arguments, the order within
    each pair drawn at random: the lakehouse compacts a table every 64 writes,
    and a fixed order would put those slow writes on the same side every time."""
    order = random.Random(seed)
    native_ns, python_ns = [], []
    for a, b in arguments:
        steps = [(native, a, native_ns), (python, b, python_ns)]
        order.shuffle(steps)
        for function, argument, times in steps:
            start = clock()
            function(argument)
            times.append(clock() - start)
    return native_ns, python_ns


def report_pair(title, native_ns, python_ns):
    """Medians, and the ratio native/python of each adjacent pair: its median
    with a 95% confidence interval (order statistics), and the ratio of the
    totals, which the slowest runs dominate."""
    ratios = sorted(n / p for n, p in zip(native_ns, python_ns))
    count = len(ratios)
    spread = 0.98 * count ** 0.5
    low = ratios[max(0, int(count / 2 - spread))]
    high = ratios[min(count - 1, int(count / 2 + spread))]
    print(f"  {title:<22} native {statistics.median(native_ns) / 1e6:8.3f} ms  "
          f"python {statistics.median(python_ns) / 1e6:8.3f} ms  "
          f"pair ratio {statistics.median(ratios):.4f} [{low:.4f}-{high:.4f}]  "
          f"total ratio {sum(native_ns) / sum(python_ns):.3f}")


class Idle:
    """A connection that stores nothing."""

    def put(self, **_):
        pass

    insert = put

    def delete(self, _):
        pass


# -- 1. save and delete -----------------------------------------------------

def bench_writes(root, pairs):
    print(f"save_migration / delete_migration, embedded default, {pairs} pairs")
    vault = project(root)
    for number in range(4):  # create the tables and open the connections
        vault.save_migration(migration(number))
    numbers = iter(range(10, 10 + 2 * pairs))
    native, python = alternate(vault.save_migration, lambda m: python_save(vault, m),
                               [(migration(next(numbers)), migration(next(numbers)))
                                for _ in range(pairs)])
    report_pair("save_migration", native, python)

    stored = [m for m in vault.fetch_migrations() if m.number >= 10]
    native, python = alternate(vault.delete_migration, lambda m: python_delete(vault, m),
                               list(zip(stored[0::2], stored[1::2])))
    report_pair("delete_migration", native, python)
    assert [m.number for m in vault.fetch_migrations()] == [0, 1, 2, 3]

    # The same steps with storage that does nothing: what remains is the
    # framework's records and our own steps.
    record = vault.fetch_migrations()[0]
    idle = Idle()
    vault._connections_manager.get_connection = lambda name: idle
    cases = [("save, storage idle", vault.save_migration, lambda m: python_save(vault, m)),
             ("delete, storage idle", vault.delete_migration, lambda m: python_delete(vault, m))]
    for title, native_call, python_call in cases:
        native, python = alternate(native_call, python_call, [(record, record)] * 4000)
        report_pair(title, native, python)


# -- 2. fetch ---------------------------------------------------------------

REPOSITORY_ONLY = """
[connections.repository]
engine = "sqlite"
path = ".velkor/repository.sqlite3"
[resources_config.repository]
default = "repository"
"""


def best_of(function, runs):
    times = []
    for _ in range(runs):
        start = clock()
        function()
        times.append(clock() - start)
    return min(times)


def build_records(rows):
    """The framework calls that turn rows into records, made from Python."""
    records = []
    for row in rows:
        folder = (contrib_to_module_root_path(row["module_name"]) if row["module_name"]
                  else settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME)
        records.append(MigrationFile(
            number=row["number"], path=folder / row["migration_name"],
            type=ModuleTypes(row["module_type"]), module=row["module_name"],
            applied_at=row["applied_at"], stored_address=Address(**row["_metadata"]["address"])))
    return records


LIGHT_NAMES = {"MigrationFile": dict, "Address": dict, "ModuleTypes": str,
               "settings": SimpleNamespace(APP_PATH=1.0, MIGRATIONS_DIRECTORY_NAME=2.0)}


def own_share(vault, rows, runs):
    """fetch_migrations over ready rows, with record constructors that cost
    next to nothing (built-in dict, str and float division): what is left is
    the module's own work.  Beside it, the same steps written in Python."""
    light = [{**row, "migration_name": 3.0} for row in rows]
    stub = SimpleNamespace(query=lambda **_: light)
    saved = {name: getattr(ledger_vault, name) for name in LIGHT_NAMES}
    manager = vault._connections_manager
    real_get = manager.get_connection
    try:
        for name, value in LIGHT_NAMES.items():
            setattr(ledger_vault, name, value)
        manager.get_connection = lambda name: stub
        native = best_of(vault.fetch_migrations, runs)
    finally:
        manager.get_connection = real_get
        for name, value in saved.items():
            setattr(ledger_vault, name, value)

    def python_steps(g=SimpleNamespace(**LIGHT_NAMES)):
        name = vault._velkor_config.resources_config.lakehouse or \
            vault._velkor_config.resources_config.repository.default
        connection = (lambda name: stub)(name)
        result = []
        for row in connection.query(address=LedgerVault.migration_address, conditions=None):
            folder = (g.contrib(row["module_name"]) if row["module_name"]
                      else g.settings.APP_PATH / g.settings.MIGRATIONS_DIRECTORY_NAME)
            result.append(g.MigrationFile(
                number=row["number"], path=folder / row["migration_name"],
                type=g.ModuleTypes(row["module_type"]), module=row["module_name"],
                applied_at=row["applied_at"], stored_address=g.Address(**row["_metadata"]["address"])))
        return result

    return native, best_of(python_steps, runs)


def bench_fetch(root, sizes):
    print("fetch_migrations, SQLite repository (best of runs, us/row; share of the whole)")
    vault = project(root, REPOSITORY_ONLY)
    connection = vault._connections_manager.get_connection("repository")
    conditions = Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)

    def query():
        return connection.query(address=LedgerVault.migration_address, conditions=conditions)

    titles = ["whole fetch", "query", "records", "module's own", "(own steps in Python)"]
    print("  " + f"{'rows':>6}" + "".join(f"{title:>24}" for title in titles))
    saved, first = 0, None
    for size in sizes:
        while saved < size:
            vault.save_migration(migration(saved))
            saved += 1
        rows = query()
        own, python_steps = own_share(vault, rows, 10)
        timings = [best_of(vault.fetch_migrations, 5), best_of(query, 5),
                 best_of(lambda: build_records(rows), 5), own, python_steps]
        per_row = [ns / size / 1e3 for ns in timings]
        first = first or per_row
        print("  " + f"{size:>6}" + "".join(
            f"{value:>14.2f} {value / per_row[0]:>6.1%} " for value in per_row[:4]) +
            f"{per_row[4]:>14.2f}")
    print("  per-row time at the largest size / at the smallest: " + ", ".join(
        f"{title} {last / start:.2f}" for title, last, start in zip(titles, per_row, first)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=150)
    parser.add_argument("--rows", type=int, nargs="+", default=[1000, 5000, 10000])
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as writes, tempfile.TemporaryDirectory() as reads:
        try:
            bench_writes(Path(writes), options.pairs)
            bench_fetch(Path(reads), options.rows)
        finally:
            settings.configure(None)


if __name__ == "__main__":
    main()

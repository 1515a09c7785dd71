"""A process that reads the lakehouse ends with its own exit status.

Reading a Delta table on Arrow's thread pool left threads behind that, on a
busy machine, aborted the process at exit ("terminate called without an
active exception", status 134) after its work was done: every command of the
runner reads the lakehouse on the embedded default. Several processes at once
make the machine busy enough for the fault to show."""
import subprocess
import sys

from .conftest import migrate

READER = """
import sys
from velkor.migration.runner.project import Project
project = Project(sys.argv[1])
for _ in range(3):
    project.applied_records()
"""


def test_processes_reading_the_lakehouse_exit_cleanly(embedded_shop):
    assert migrate(embedded_shop, "apply", "--to", "1").code == 0
    readers = [subprocess.Popen([sys.executable, "-c", READER, str(embedded_shop)], stderr=subprocess.PIPE, text=True)
               for _ in range(6)]
    results = [(reader.wait(timeout=120), reader.stderr.read()) for reader in readers]
    assert all(code == 0 for code, _ in results), results

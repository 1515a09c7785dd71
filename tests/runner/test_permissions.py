"""A store that this user may not read is not a damaged store: it is said as
a permission problem, with whose it is, and repair never moves it aside."""
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from .conftest import ALL, EXAMPLE, applied_count, migrate

OTHER_USER = "daemon"


@pytest.fixture
def as_other_user():
    """Runs velkor-migrate as another user; the folders on the way to this interpreter are
    opened to others for the test (pyenv keeps its interpreters in root's home)."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("needs root and setpriv to run a command as another user")
    opened = []
    for place in {*Path(os.path.realpath(sys.executable)).parents, *Path(sys.prefix).parents, Path(sys.prefix)}:
        mode = place.stat().st_mode
        if not mode & stat.S_IXOTH:
            place.chmod(mode | stat.S_IXOTH)
            opened.append((place, mode))

    def run(root, *arguments):
        return subprocess.run(["setpriv", f"--reuid={OTHER_USER}", f"--regid={OTHER_USER}", "--clear-groups",
                               sys.executable, "-m", "velkor.migration.runner", "--project", str(root), *arguments],
                              capture_output=True, text=True, timeout=300)

    yield run
    for place, mode in opened:
        place.chmod(mode)


@pytest.fixture
def private_shop():
    """The shop applied by root with umask 077: its stores are root's alone."""
    base = Path(tempfile.mkdtemp(prefix="velkor-permissions-"))
    base.chmod(0o755)
    root = base / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".velkor"))
    previous = os.umask(0o077)
    try:
        assert migrate(root, "apply").code == 0
    finally:
        os.umask(previous)
    yield root
    shutil.rmtree(base)


def open_all_but_the_repository(root):
    """The lock and the lakehouse shared with everyone; the repository file still root's alone."""
    for place in [root / ".velkor", *(root / ".velkor").rglob("*")]:
        if place.name != "repository.sqlite3":
            place.chmod(0o777 if place.is_dir() or place.name == "migrate.lock" else 0o644)


@pytest.mark.parametrize("share", [lambda root: None, open_all_but_the_repository])
def test_another_users_stores_are_a_permission_problem(private_shop, as_other_user, share):
    share(private_shop)
    status = as_other_user(private_shop, "status", "--format", "json")
    message = json.loads(status.stdout)["error"]["message"]
    assert status.returncode == 1 and "permission denied" in message and "belongs to user root" in message, message
    assert "damaged" not in message

    repair = as_other_user(private_shop, "repair")
    assert repair.returncode == 1 and "permission denied" in repair.stderr.lower(), repair.stderr
    assert not list((private_shop / ".velkor").glob("*.damaged-*"))
    assert applied_count(private_shop) == len(ALL)

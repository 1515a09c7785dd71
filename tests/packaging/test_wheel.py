"""The product's wheel holds the files of velkor.migration that are ours,
and nothing of the framework it is installed into."""
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

OURS = re.compile(
    r"velkor/migration/("
    r"(_native|class_foundry|ledger_vault)(\.cpython-[^/]+\.so|\.pyi)"
    r"|templates/[a-z_]+\.tmpl"
    r"|runner/.+"
    r")"
)
STAND_IN = ["velkor/__init__.py", "velkor/migration/__init__.py", "velkor/configs/",
            "velkor/migration/data_classes.py", "velkor/migration/utils.py",
            "velkor_models/", "velkor_utils/", "velkor_data/"]


@pytest.mark.skipif(not os.environ.get("VELKOR_TEST_WHEEL"),
                    reason="builds the wheel from scratch: set VELKOR_TEST_WHEEL=1, as `make test` "
                           "does in its normal 3.11 run")
def test_the_wheel_holds_our_files_only(tmp_path):
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps",
                    "--wheel-dir", str(tmp_path), str(ROOT)], check=True, timeout=1200)
    (wheel,) = tmp_path.glob("velkor_migration-*.whl")
    names = [name for name in zipfile.ZipFile(wheel).namelist() if not name.endswith("/")]
    files = [name for name in names if not name.startswith("velkor_migration-")]

    assert [name for name in files if not OURS.fullmatch(name)] == []
    assert [name for name in names for part in STAND_IN if name.startswith(part)] == []
    modules = {name.split("/")[2].split(".")[0] for name in files if name.endswith(".so")}
    stubs = {name.split("/")[2] for name in files if name.endswith(".pyi")}
    templates = {name.split("/")[3] for name in files if "/templates/" in name}
    assert modules == {"_native", "class_foundry", "ledger_vault"}
    assert stubs == {"_native.pyi", "class_foundry.pyi", "ledger_vault.pyi"}
    assert templates == {path.name for path in (ROOT / "templates").glob("*.tmpl")}
    assert "velkor/migration/runner/__init__.py" in files

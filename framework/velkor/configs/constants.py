from pathlib import Path

# Folder of the installed ``velkor`` package; templates live under
# BASE_DIR / "migration" / "templates".
BASE_DIR: Path = Path(__file__).resolve().parent.parent

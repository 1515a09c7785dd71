"""Migration documents already found valid, recognised by the digest of
their bytes, so that a run checks only the files that are new or changed
since: kept beside the ledger's marker (``.velkor/validated-documents.json``).

The digest is of the file's bytes as read in this run: a file edited since is
another digest and is checked whole. The cache holds only digests, for the
checks of this very runner (a digest of its own checking code is kept with
them): a runner that checks otherwise starts afresh. A lost or unreadable
cache is only a slower run, and is written anew.
"""
from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path

FILE = Path(".velkor") / "validated-documents.json"
FORMAT = 1
KEPT = 1000  # digests kept at least, however few files a run reads
# The modules whose rules decide whether a document is valid.
CHECKS = ("document.py", "loading.py", "validation.py", "reserved_names.py", "file_schema.py", "schema.json")

_rules: str | None = None


def rules() -> str:
    """A digest of the checking code of this runner."""
    global _rules
    if _rules is None:
        digest = hashlib.sha256()
        here = Path(__file__).parent
        for name in CHECKS:
            try:
                digest.update((here / name).read_bytes())
            except OSError:
                digest.update(name.encode())
        _rules = digest.hexdigest()
    return _rules


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Validated:
    """The digests of the documents found valid, in a project folder."""

    def __init__(self, root: Path) -> None:
        self.path = root / FILE
        self._known: set[str] | None = None
        self._added: set[str] = set()
        self._seen: set[str] = set()  # looked up or added in this run

    @property
    def known(self) -> set[str]:
        if self._known is None:
            self._known = set()
            try:
                data = json.loads(self.path.read_bytes())
                if data.get("format") == FORMAT and data.get("rules") == rules():
                    self._known = set(data["documents"])
            except (OSError, ValueError, TypeError, KeyError, AttributeError):
                pass
        return self._known

    def __contains__(self, found: str) -> bool:
        self._seen.add(found)
        return found in self.known

    def add(self, found: str) -> None:
        self._seen.add(found)
        if found not in self.known:
            self._added.add(found)

    def save(self) -> None:
        """Keep the digests found valid in this run with the others (when there are new ones)."""
        if not self._added or not self.path.parent.is_dir():
            return
        documents = self.known | self._added
        if len(documents) > max(KEPT, 4 * len(self._seen)):  # mostly files long edited: keep this run's
            documents = self._seen & documents
        documents = sorted(documents)
        temporary = self.path.with_name(f"{self.path.name}.{os.getpid()}.new")
        try:
            temporary.write_text(json.dumps({"format": FORMAT, "rules": rules(), "documents": documents}),
                                 encoding="utf-8")
            os.replace(temporary, self.path)
        except OSError:  # (a read-only project folder: nothing is kept)
            try:
                temporary.unlink(missing_ok=True)
            except OSError:
                pass
            return
        self._known, self._added = set(documents), set()

from __future__ import annotations


class ClassVersionManager:
    """Versions of the model classes, shared by the whole process.

    Every instance reads and writes the same registry.
    """

    _versions: dict[str, list[str]] = {}
    _latest: dict[str, str] = {}

    def register_class_version(
        self,
        class_name: str,
        class_version: str,
        is_latest: bool = True,
        unregister_previous_versions: bool = False,
    ) -> None:
        for label, value in (("class_name", class_name), ("class_version", class_version)):
            if not isinstance(value, str) or not value:
                raise TypeError(f"{label} must be a non-empty str, got {value!r}")
        versions = self._versions.setdefault(class_name, [])
        if unregister_previous_versions:
            versions.clear()
            if self._latest.get(class_name) != class_version:
                self._latest.pop(class_name, None)
        if class_version not in versions:
            versions.append(class_version)
        if is_latest:
            self._latest[class_name] = class_version

    def get_versions(self, class_name: str) -> list[str]:
        """Recorded versions of the class, in order of first registration."""
        return list(self._versions.get(class_name, ()))

    def get_latest(self, class_name: str) -> str | None:
        """The version last marked latest, or None."""
        return self._latest.get(class_name)

    def reset(self) -> None:
        """Forget every version (for tests)."""
        self._versions.clear()
        self._latest.clear()

from pathlib import Path

class Folder:
    @staticmethod
    def exists(path: Path | str) -> bool: ...
    @staticmethod
    def create(path: Path | str, recursive: bool = True) -> None: ...
    # None stands for a flag's or the mask's default here.
    @staticmethod
    def count(
        path: Path | str,
        files: bool | None = True,
        folders: bool | None = False,
        mask: str | None = "*",
        recursive: bool | None = False,
    ) -> int: ...
    @staticmethod
    def remove(path: Path | str, recursive: bool = False) -> None: ...

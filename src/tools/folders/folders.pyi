from pathlib import Path
from typing import Literal

class Folder:
    @staticmethod
    def exists(path: Path | str) -> bool: ...
    @staticmethod
    def create(path: Path | str, recursive: bool = True) -> None: ...
    # None stands for a flag's or the mask's default here. Masks are not
    # implemented: any other mask raises NotImplementedError.
    @staticmethod
    def count(
        path: Path | str,
        files: bool | None = True,
        folders: bool | None = False,
        mask: Literal["*"] | None = "*",
        recursive: bool | None = False,
    ) -> int: ...
    @staticmethod
    def remove(path: Path | str, recursive: bool = False) -> None: ...

from typing import Any

# "columns" holds the column names and "data" the rows. Typed per entry rather
# than as one list of names-or-rows, so that a description built from a
# list[str] and a list[dict[str, Any]] is accepted (lists are invariant).
_Description = dict[str, list[str] | list[dict[str, Any]]]

class Table:
    def __init__(self, table: _Description | None = None) -> None: ...
    @property
    def columns(self) -> list[str]: ...
    @property
    def data(self) -> list[dict[str, Any]]: ...
    def filter(
        self,
        include: list[str] | tuple[str, ...] | None = None,
        exclude: list[str] | tuple[str, ...] | None = None,
    ) -> Table: ...

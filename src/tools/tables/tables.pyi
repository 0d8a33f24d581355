from typing import Any

# "columns" holds the column names and "data" the rows. The entries are not
# typed: a description built in a variable first is a dict[str, object] to a
# type checker, and any narrower value type would refuse it (dicts are
# invariant); the constructor checks the entries at run time.
_Description = dict[str, Any]

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

"""Tables: construction and filtering of large tables.

The baseline is the same class written plainly in Python, decorated by the
same bench logger, so both sides pay the same call overhead.

Narrowing 20 columns to 10 runs at the cost of making the new rows at all:
memory for 100,000 dicts and a reference to every kept value, which lie
wherever they were made. Its floor is `dict.copy` of the rows already
narrowed, the interpreter's own C-level way to make the same dicts with the
same keys and values; the filter must stay within 1.1x of it. Against the
Python steps that case is information only. With 100 columns the reading of
the wider rows weighs more, and the Python steps stay its target.
"""

from logger import logging
from run import Case
from tools.tables.tables import Table

ROWS = 100_000


class PyTable:
    __slots__ = ("__columns", "__data")

    @logging(prefix=__name__)
    def __init__(self, table=None):
        if table is not None and type(table) is not dict:
            raise TypeError("Argument 'table' has incorrect type")
        if table is None:
            table = {"columns": [], "data": []}
        for i in ("columns", "data"):
            if i not in table:
                raise KeyError(f'Parameter "{i}" not found')
            if not isinstance(table[i], list):
                raise TypeError(f'Parameter "{i}" is not a "list"')
        for index, row in enumerate(table["data"]):
            if not isinstance(row, dict):
                raise TypeError(f'Parameter "data"[{index}] is not a "dict"')
            if len(row) != len(table["columns"]):
                raise ValueError(f'Parameter "data"[{index}] length not match with "columns" length')
            for column in table["columns"]:
                if column not in row:
                    raise Exception(f'Parameter "data"[{index}]["{column}"] not found')
        self.__columns = table["columns"]
        self.__data = table["data"]

    data = property(lambda self: self.__data)

    @logging(prefix=__name__)
    def filter(self, include=None, exclude=None):
        if include is None:
            include = tuple(self.__columns)
        if exclude is None:
            exclude = tuple()
        table = PyTable
        columns = [name for name in self.__columns if name in include and name not in exclude]
        data = [{k: v for k, v in row.items() if k in include and k not in exclude} for row in self.__data]
        return table(table={"columns": columns, "data": data}, logger=self.filter.logger)


def _description(width):
    columns = [f"column_{i:03}" for i in range(width)]
    rows = [{name: row * width + i for i, name in enumerate(columns)} for row in range(ROWS)]
    return {"columns": columns, "data": rows}


def _kept(results, func):
    """Calls func and keeps its result until the case is over.

    Dropping a filtered table releases 100,000 new rows, and with them a
    reference to every kept value, which sits wherever it was made: cache
    misses that cost the same on both sides and belong to whoever drops the
    table, not to filter. Keeping the results leaves them out of the timing.
    """
    return lambda: results.append(func())


def cases():
    for width in (20, 100):
        description = _description(width)
        native, baseline = Table(description), PyTable(description)
        include = description["columns"][::-1][:: width // 10]  # 10 names, not in table order
        assert native.filter(include=include).data == baseline.filter(include=include).data
        size = f"{ROWS} rows x {width} columns"
        yield Case(f"Table(...) {size}", lambda d=description: Table(d), lambda d=description: PyTable(d),
                   10 if width == 20 else None)

        results = []
        yield Case(f"Table.filter(include=<10 names>) {size}",
                   _kept(results, lambda t=native, i=include: t.filter(include=i)),
                   _kept(results, lambda t=baseline, i=include: t.filter(include=i)),
                   10 if width > 20 else None, rounds=3)
        results.clear()
        if width > 20:
            continue
        narrowed = native.filter(include=include).data
        yield Case(f"Table.filter(include=<10 names>) {size} vs dict.copy of the narrowed rows",
                   _kept(results, lambda t=native, i=include: t.filter(include=i)),
                   _kept(results, lambda rows=narrowed: list(map(dict.copy, rows))), 1 / 1.1,
                   baseline_name="dict.copy", rounds=9)
        results.clear()
        del narrowed
        yield Case(f"Table.filter(include=<10 names>) {size}, result dropped",
                   lambda t=native, i=include: t.filter(include=i),
                   lambda t=baseline, i=include: t.filter(include=i), rounds=3)
        yield Case(f"Table.filter(exclude=<1 name>) {size}",
                   _kept(results, lambda t=native, e=include[:1]: t.filter(exclude=e)),
                   _kept(results, lambda t=baseline, e=include[:1]: t.filter(exclude=e)), rounds=3)
        results.clear()

"""Straightforward Python renderings of what some operations do, step by
step, to compare the native results with."""

from __future__ import annotations

import inspect
import os
from pathlib import Path


def reference_count(path, files=True, folders=False, mask="*", recursive=False):
    files, folders, recursive = bool(files), bool(folders), bool(recursive)
    if mask != "*":
        raise NotImplementedError("Not yet implemented. Will be in next versions")
    path = Path(path)
    found = 0
    if recursive:
        for _, dir_names, file_names in os.walk(top=path):
            if files:
                found += len(file_names)
            if folders:
                found += len(dir_names)
    else:
        for name in os.listdir(path=path):
            if any((files and os.path.isfile(path / name), folders and os.path.isdir(path / name))):
                found += 1
    return found


def reference_get_name(obj, attr):
    if not attr.startswith("__"):
        return attr
    if attr.startswith("___"):
        return attr
    if attr.endswith("__"):
        return attr
    cls = obj if issubclass(type(obj), type) else obj.__class__
    class_name = cls.__name__.lstrip("_")
    return "_" + class_name + attr


def type_name(obj) -> str:
    """The interpreter's own name of an object's type, as its messages show it."""
    cls = type(obj)
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # a class made at run time, or a built-in
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


# The note an argument check adds when it refuses an instance of a subclass.
SUBCLASS_NOTE = "Subclasses of built-in types are rejected: pass an exact instance of the expected type."


def argument_error(name: str, expected: type, value) -> TypeError:
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type_name(value)})")
    if isinstance(value, expected):
        error.add_note(SUBCLASS_NOTE)
    return error


def exact_result(expected: type, value):
    if type(value) is not expected and value is not None:
        raise TypeError(f"Expected {expected.__name__}, got {type_name(value)}")
    return value


class ReferenceTable:
    def __init__(self, table=None):
        if table is not None and type(table) is not dict:
            raise argument_error("table", dict, table)
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
        self.columns_ = table["columns"]
        self.data_ = table["data"]

    @property
    def columns(self):
        return exact_result(list, self.columns_)

    @property
    def data(self):
        return exact_result(list, self.data_)

    def __repr__(self):
        return f"Table({self.columns_})"

    def __str__(self):
        return str({"columns": self.columns_, "data": self.data_})

    def filter(self, include=None, exclude=None):
        if include is None:
            include = tuple(self.columns_)
        if exclude is None:
            exclude = ()
        columns = [name for name in self.columns_ if name in include and name not in exclude]
        data = [{key: value for key, value in row.items() if key in include and key not in exclude}
                for row in self.data_]
        return ReferenceTable(table={"columns": columns, "data": data})


def binding_error(function, args, kwargs) -> str | None:
    """The TypeError message the argument handling gives for a call of
    `function` (a native operation, every parameter positional-or-keyword,
    every keyword a str), or None when the call binds. The parameters after
    the positional arguments are taken by name in order, a missing required
    one is reported as a count, and only then are keywords left over looked at."""
    params = list(inspect.signature(function).parameters)
    required = sum(p.default is p.empty for p in inspect.signature(function).parameters.values())
    name = function.__name__

    def count_error(given):
        expected = required if given < required else len(params)
        how = "exactly" if required == len(params) else "at least" if given < required else "at most"
        return f"{name}() takes {how} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"

    if len(args) > len(params):
        return count_error(len(args))
    for index in range(len(args), required):
        if params[index] not in kwargs:
            return count_error(index)
    for keyword in kwargs:
        if keyword not in params:
            return f"{name}() got an unexpected keyword argument '{keyword}'"
        if params.index(keyword) < len(args):
            return f"{name}() got multiple values for keyword argument '{keyword}'"
    return None

"""Shared helpers for the value-walker tests.

The reference walkers are the documented steps written plainly in Python;
results of the native functions are compared with them leaf by leaf,
including whether a leaf came back as the very object that went in.
"""

from __future__ import annotations

import gc

import pytest

HEAD = "\n{\n"
TAIL = "\n...big-content hidden...\n}\n                "
NOTICE = "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n                "


def module_global(module, name):
    """`name` read from `module`'s namespace as a global name is read."""
    try:
        return vars(module)[name]
    except KeyError:
        raise NameError(f"name '{name}' is not defined") from None


def reference_bulkshade(module, native=None):
    """bulkshade's steps, reading `_const` through `module` at each use. With
    `native`, nested calls go through the module's global `bulkshade`, and
    this rendering stands in wherever that global is `native` itself."""

    def nested(value):
        function = module_global(module, "bulkshade") if native is not None else native
        return bulkshade(value=value) if function is native else function(value=value)

    def bulkshade(value=None):
        if value is None:
            value = ""
        if isinstance(value, dict):
            return {k: nested(v) for k, v in value.items()}
        if isinstance(value, list):
            return [nested(v) for v in value]
        if isinstance(value, tuple):
            return tuple(nested(v) for v in value)
        try:
            value_str = format(value, "")
        except ValueError:
            return NOTICE
        if len(value_str) > module_global(module, "_const").char_limit:
            return f"{HEAD}{value_str[:module_global(module, '_const').char_limit]}{TAIL}"
        return value

    return bulkshade


def secretshroud_rendering(module=None, native=None):
    """secretshroud's steps; with `module` and `native`, nested calls go as
    in reference_bulkshade."""

    def nested(name, value):
        function = module_global(module, "secretshroud") if native is not None else native
        return secretshroud(name=name, value=value) if function is native else function(name=name, value=value)

    def secretshroud(name=None, value=None):
        if name is not None and type(name) is not str:
            raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")
        name = "" if name is None else name
        value = "" if value is None else value
        if isinstance(value, dict):
            return {k: nested(k, v) for k, v in value.items()}
        if isinstance(value, list):
            return [nested(name, v) for v in value]
        if isinstance(value, tuple):
            return tuple(nested(name, v) for v in value)
        if isinstance(value, str) and ("password" in name.lower() or "pwd" in name.lower()):
            return "*" * len(value)
        return value

    return secretshroud


reference_secretshroud = secretshroud_rendering()


def _ids(value, seen):
    """The ids of `value` and of everything inside it, subclasses of the
    containers included (read through the base types, whatever their own
    methods do)."""
    seen.add(id(value))
    for base, read in ((dict, dict.values), (list, list.copy), (tuple, tuple.__iter__)):
        if issubclass(type(value), base) and len(seen) < 10**6:
            for item in list(read(value)):
                if id(item) not in seen:
                    _ids(item, seen)
    return seen


def assert_same_result(result, expected, given):
    """`result` has the shape, types and values of `expected`, and every leaf
    that `expected` took over from `given` is that same object in `result`."""
    from_input = _ids(given, set())

    def compare(got, want, path):
        assert type(got) is type(want), path
        if type(want) in (dict, list, tuple):
            # A container holding anything the collector tracks is tracked
            # itself, and so is every list (it may come to hold anything), or
            # a cycle through it could never be collected.
            items = got.values() if type(got) is dict else got
            assert gc.is_tracked(got) or (type(got) is not list and not any(map(gc.is_tracked, items))), path
        if type(want) is dict:
            assert list(got) == list(want), path
            for key in want:
                compare(got[key], want[key], path + [key])
        elif type(want) in (list, tuple):
            assert len(got) == len(want), path
            for index, (g, w) in enumerate(zip(got, want)):
                compare(g, w, path + [index])
        elif id(want) in from_input:
            assert got is want, path
        else:
            assert got == want, path

    compare(result, expected, [])


@pytest.fixture
def through_python(monkeypatch):
    """Replaces a module's own global by a thin Python wrapper around it, so
    that every nested call goes the general way; returns the calls' kwargs."""

    def install(module, name):
        original = getattr(module, name)
        calls = []

        def wrapper(*args, **kwargs):
            calls.append(kwargs)
            return original(*args, **kwargs)

        monkeypatch.setattr(module, name, wrapper)
        return calls

    return install

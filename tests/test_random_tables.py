"""Tables built from generated descriptions, then read, shown, changed and
filtered: every step returns or raises what a step-by-step rendering in
Python gives, and hostile input that changes the lists on the way never
crashes."""

from __future__ import annotations

import collections
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import helpers_collector as collector
import helpers_hostile as hostile
from helpers_hostile import SAFE_TEXT, Outcome, build, call_recipes, outcome, raised
from helpers_reference import ReferenceTable
from tools.tables.tables import Table

# Hostile objects answer comparisons with NotImplemented and pass odd file
# objects on by design; the interpreter and the locking package warn about that.
pytestmark = pytest.mark.filterwarnings(
    "ignore:NotImplemented should not be used in a boolean context:DeprecationWarning",
    "ignore:bool is used as a file descriptor:RuntimeWarning")

NAMES = st.sampled_from(["a", "b", "c", "name", "size", "long column name"]).map(lambda n: ("atom", n))


def key_refs(mutate):
    """A column of the table (the same object, or an equal str made anew) or another key."""
    return st.one_of(st.integers(0, 5).map(lambda i: ("column", i)), st.integers(0, 5).map(lambda i: ("copy", i)),
                     hostile.hashables(mutate))


def row_recipes(mutate):
    entry = st.tuples(key_refs(mutate), hostile.leaves(mutate))
    return st.one_of(
        st.tuples(st.just("row"), st.sampled_from(["dict", "dict", "dict", "DictSub", "OrderedDict"]),
                  st.sampled_from(["all", "all", "reversed", "missing", "extra", "swap"]), st.lists(entry, max_size=2),
                  st.integers(0, 9)),
        hostile.leaves(mutate))


def table_recipes(mutate=False):
    columns = st.lists(st.one_of(NAMES, NAMES, SAFE_TEXT.map(lambda t: ("atom", t)), hostile.hashables(mutate)),
                       max_size=5)
    lists = st.sampled_from(["list", "list", "list", "ListSub", "tuple", "missing"])
    return st.tuples(st.sampled_from(["dict", "dict", "dict", "dict", "DictSub", "none"]), lists, columns, lists,
                     st.lists(row_recipes(mutate), max_size=6), st.booleans())


def build_table(recipe):
    """The description a table recipe stands for, and its column objects."""
    kind, columns_kind, column_recipes, data_kind, row_recipes_, extra = recipe
    columns = [build(item) for item in column_recipes]

    def key(ref):
        if ref[0] in ("column", "copy") and columns:
            column = columns[ref[1] % len(columns)]
            return (column + ".")[:-1] if ref[0] == "copy" and type(column) is str else column
        return build(ref) if ref[0] not in ("column", "copy") else ref[1]

    rows = [build_row(row, columns, key) if row[0] == "row" else build(row) for row in row_recipes_]
    if kind == "none":
        return None
    description = {} if kind == "dict" else hostile._PLAIN_SUBCLASSES["dict"]()
    for name, kind_, items in (("columns", columns_kind, columns), ("data", data_kind, rows)):
        if kind_ != "missing":
            made = {"list": list, "ListSub": hostile._PLAIN_SUBCLASSES["list"], "tuple": tuple}[kind_](items)
            hostile.VICTIMS.append(made)
            description[name] = made
    if extra:
        description["note"] = 5
    return description


def build_row(recipe, columns, key):
    _, kind, shape, extra_entries, pick = recipe
    names = list(columns)
    if shape == "reversed":
        names.reverse()
    elif shape == "missing" and names:
        names.pop(pick % len(names))
    elif shape == "swap" and names:
        names[pick % len(names)] = "not a column"
    row = {"dict": dict, "DictSub": hostile._PLAIN_SUBCLASSES["dict"], "OrderedDict": collections.OrderedDict}[kind]()
    for position, name in enumerate(names):
        try:
            dict.__setitem__(row, name, position)
        except (Exception, hostile.Marker):
            pass
    if shape == "extra":
        for ref, value in extra_entries:
            try:
                dict.__setitem__(row, key(ref), build(value))
            except (Exception, hostile.Marker):
                pass
    hostile.VICTIMS.append(row)
    return row


CHOICES = st.one_of(
    st.just(("atom", None)),
    st.tuples(st.just("names"), st.sampled_from(["list", "tuple", "set", "frozenset", "str", "ListSub"]),
              st.lists(st.one_of(st.integers(0, 5).map(lambda i: ("column", i)), NAMES), max_size=4)),
    hostile.atoms())

STEPS = st.one_of(
    st.sampled_from([("columns",), ("data",), ("repr",), ("str",), ("append-column",), ("drop-key",),
                     ("none-row",), ("pop-row",)]),
    st.tuples(st.just("filter"), CHOICES, CHOICES))


def build_choice(recipe, columns):
    if recipe[0] != "names":
        return build(recipe)
    _, kind, refs = recipe
    names = [columns[ref[1] % len(columns)] if ref[0] == "column" and columns else build(ref)
             for ref in refs if ref[0] != "column" or columns]
    if kind == "str":
        return "".join(name for name in names if isinstance(name, str))
    made = {"list": list, "tuple": tuple, "set": set, "frozenset": frozenset,
            "ListSub": hostile._PLAIN_SUBCLASSES["list"]}[kind]
    try:
        return made(names)
    except (Exception, hostile.Marker):  # unhashable names cannot go in a set
        return list(names)


def same_rows(a, b) -> bool:
    """Row lists with the same key and value objects in the same order."""
    return len(a) == len(b) and all(
        type(x) is type(y) and len(x) == len(y)
        and all(k1 is k2 and v1 is v2 for (k1, v1), (k2, v2) in zip(dict.items(x), dict.items(y)))
        for x, y in zip(a, b))


def same_items(a, b) -> bool:
    return len(a) == len(b) and all(x is y for x, y in zip(a, b))


def run_step(step, table, columns_list):
    """The outcome of reading, showing or filtering a table."""
    kind = step[0]
    if kind == "columns":
        return outcome(lambda: table.columns)
    if kind == "data":
        return outcome(lambda: table.data)
    if kind == "repr":
        return outcome(lambda: repr(table))
    if kind == "str":
        return outcome(lambda: str(table))
    include, exclude = step[1], step[2]
    return outcome(lambda: table.filter(build_choice(include, columns_list), build_choice(exclude, columns_list)))


def mutate(step, columns_list, rows_list):
    """Changes the lists a table shares, as its caller may."""
    kind = step[0]
    if kind == "append-column" and isinstance(columns_list, list):
        list.append(columns_list, "added")
    elif kind == "drop-key" and rows_list and isinstance(rows_list[0], dict) and rows_list[0]:
        dict.pop(rows_list[0], next(iter(dict.keys(rows_list[0]))))
    elif kind == "none-row" and isinstance(rows_list, list):
        list.append(rows_list, None)
    elif kind == "pop-row" and isinstance(rows_list, list) and rows_list:
        list.pop(rows_list)


def compare(native: Outcome, expected: Outcome, kind):
    assert raised(native) == raised(expected)
    if native.error is not None:
        return
    if kind in ("columns", "data"):
        assert native.result is expected.result
    elif kind in ("repr", "str"):
        assert native.result == expected.result and type(native.result) is str
    elif kind == "filter":
        result, reference = native.result, expected.result
        assert type(result) is Table
        assert same_items(result.columns, reference.columns)
        assert same_rows(result.data, reference.data)


@given(recipe=table_recipes(), steps=st.lists(STEPS, max_size=5), keyword=st.booleans())
def test_tables_follow_the_steps(recipe, steps, keyword):
    hostile.fresh_input()
    description = build_table(recipe)
    native = outcome(lambda: Table(table=description) if keyword else Table(description))
    expected = outcome(lambda: ReferenceTable(description))
    compare(native, expected, "construct")
    if native.error is not None or description is None:
        return
    columns_list, rows_list = description["columns"], description["data"]
    for step in steps:
        mutate(step, columns_list, rows_list)
        if step[0] in ("columns", "data", "repr", "str", "filter"):
            compare(run_step(step, native.result, columns_list), run_step(step, expected.result, columns_list),
                    step[0])


@given(recipe=table_recipes(mutate=True), steps=st.lists(STEPS, max_size=4))
def test_tables_survive_input_that_changes_under_them(recipe, steps):
    hostile.fresh_input()
    outcome_ = outcome(lambda: build_table(recipe))
    if outcome_.error is not None:
        return
    description = outcome_.result
    made = outcome(lambda: Table(description))
    if made.error is not None or description is None:
        return
    for step in steps:
        mutate(step, description["columns"], description["data"])
        if step[0] in ("columns", "data", "repr", "str", "filter"):
            run_step(step, made.result, description["columns"])


@given(call=call_recipes([("include", CHOICES), ("exclude", CHOICES)]))
def test_filter_calls(call):
    hostile.fresh_input()
    columns = ["a", "b"]
    table = Table({"columns": columns, "data": [{"a": 1, "b": 2}, {"b": 3, "a": 4}]})
    hostile.BUILDERS.update(table=lambda _: table, names=lambda recipe: build_choice(recipe, columns))
    try:
        outcome(hostile.make_call(table.filter, call))
        unbound = hostile.CallRecipe((("table",), *call.positional), call.keywords, call.style)
        outcome(hostile.make_call(Table.filter.__wrapped__, unbound))
    finally:
        del hostile.BUILDERS["table"], hostile.BUILDERS["names"]


@given(call=call_recipes([("table", st.one_of(st.just(("atom", None)), hostile.values(max_leaves=4)))]))
def test_constructor_calls(call):
    hostile.fresh_input()
    outcome(hostile.make_call(Table, call))


COLUMNS = ["user", "note", "password", "blob"]
UNIQUE = st.one_of(collector.LEAVES, st.text(max_size=3).map(lambda text: ("unique", text)))
NAME_CHOICES = st.one_of(st.none(), st.lists(st.sampled_from(COLUMNS + ["x"]), max_size=4).flatmap(
    lambda names: st.sampled_from([names, tuple(names), set(names)])))
# What construction and filtering may raise when the rows changed under them.
ROW_ERRORS = (r'Parameter "data"\[\d+\]', r"'\w+' object has no attribute 'items'")


@settings(max_examples=min(settings.default.max_examples, 300))
@given(rows=st.lists(st.fixed_dictionaries({name: UNIQUE for name in COLUMNS}), min_size=1, max_size=30),
       copies=st.integers(1, 20), include=NAME_CHOICES, exclude=NAME_CHOICES, seed=st.integers(0, 2**32 - 1),
       threshold=collector.THRESHOLDS)
def test_tables_while_finalizers_and_gc_hooks_change_the_rows(rows, copies, include, exclude, seed, threshold):
    """Whenever the collector runs the finalizers and hooks, inside the quick
    paths' allocations (3.11) or between their Python steps: no crash, an
    error a changed row explains, or rows of pairs the source rows held."""
    # ("unique", text): a str made anew for every row, which a finalizer's change frees.
    data = [{key: f"{value[1]}-{i}" if type(value) is tuple else value for key, value in row.items()}
            for i in range(copies) for row in rows]
    # Mostly changes that leave the rows valid, so that the filter gets its turn.
    changes = ("value",) * 6 + ("key", "sweep")
    with collector.busy_collector(data, seed, threshold, changes, victims=list(data)) as ledger:
        try:
            table = Table({"columns": list(COLUMNS), "data": data})
            result = table.filter(include=include, exclude=exclude)
        except (Exception, RuntimeError) as error:
            assert any(re.match(pattern, str(error)) for pattern in ROW_ERRORS), error
            return
    kept = {name for name in COLUMNS if name in (COLUMNS if include is None else include)
            and name not in (exclude or ())}
    assert result.columns == [name for name in COLUMNS if name in kept]
    for row in result.data:
        assert type(row) is dict and set(row) <= kept | {key for key in ledger.keys() if key not in COLUMNS}
        assert all((key, id(value)) in ledger.pairs for key, value in row.items()), row

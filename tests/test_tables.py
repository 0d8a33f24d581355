import gc
import importlib.util
import inspect

import pytest

import logger
import tools.tables.tables as tables
from tools.tables.tables import Table
from conftest import run_python
from helpers_reference import SUBCLASS_NOTE


class Str(str):
    __slots__ = ()


class List(list):
    pass


class Dict(dict):
    pass


def description(columns=("a", "b", "c"), rows=3):
    columns = list(columns)
    return {"columns": columns, "data": [{name: (i, name) for name in columns} for i in range(rows)]}


def rows_of(table):
    """The rows as (key, value) lists, so that key order is compared too."""
    return [list(row.items()) for row in table.data]


class Meddler:
    """A key equal to `name` that runs `effect` each time it is compared."""

    def __init__(self, name, effect):
        self.name, self.effect = name, effect

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.effect()
        return other == self.name


def after_deletion(row):
    """The same row, but with a deleted entry inside its table."""
    row = {"deleted": None, **row}
    del row["deleted"]
    return row


def outcome(func):
    try:
        return func()
    except Exception as error:  # the type and the text are what is compared
        return type(error), str(error)


# --- the module and the class ----------------------------------------------


def test_import_binds_names_and_decorates_each_operation_once():
    found = importlib.util.find_spec("tools.tables.tables")
    module = importlib.util.module_from_spec(found)
    logger.reset()
    found.loader.exec_module(module)
    names = [name for name in vars(module) if not name.startswith("__")]
    assert names == ["logging", "Any", "Table"]
    assert logger.factory_calls == [{"prefix": "tools.tables.tables"}] * 2
    assert [f.__name__ for f in logger.decorated] == ["__init__", "filter"]
    assert not any(isinstance(f, staticmethod) for f in logger.decorated)


def test_class_layout():
    assert Table.__bases__ == (object,)
    assert (Table.__name__, Table.__qualname__, Table.__module__) == ("Table", "Table", "tools.tables.tables")
    assert Table.__doc__ is None
    assert Table.__slots__ == ("__columns", "__data")
    own = [name for name in vars(Table) if name not in ("__module__", "__slots__", "__doc__")]
    assert own == ["__init__", "columns", "data", "__repr__", "__str__", "filter", "_Table__columns", "_Table__data"]
    assert isinstance(vars(Table)["columns"], property) and isinstance(vars(Table)["data"], property)
    table = Table()
    with pytest.raises(AttributeError):
        table.other = 1
    with pytest.raises(AttributeError):
        table.columns = []


INIT_DOC = """
            Create table object from dictionary.

            :param table:
                {
                    'columns': ['column[0].name', 'column[1].name', ...],
                    'data': [
                        {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
                        {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
                        ...
                    ]
                }
            """
ROWS_DOC = """
                [
                    {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
                    {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
                    ...
                ]
            """
FILTER_DOC = """
            Return filtered table.

            :param include: (column[0], column[1], ...) (default=$all)
            :param exclude: (column[0], column[1], ...) (default=$none)
            :return: filtered table
            """


@pytest.mark.parametrize(
    "func, doc, annotations, defaults",
    [
        (Table.__init__.__wrapped__, INIT_DOC, {"table": "dict[str, list[str | dict[str, Any]]]"}, (None,)),
        (Table.columns.fget, "\n                ['column[0].name', 'column[1].name', ...]\n            ",
         {"return": "list[str]"}, None),
        (Table.data.fget, ROWS_DOC, {"return": "list[dict[str, Any]]"}, None),
        (Table.__repr__, None, {"return": "str"}, None),
        (Table.__str__, None, {"return": "str"}, None),
        (Table.filter.__wrapped__, FILTER_DOC,
         {"include": "list[str] | tuple[str, ...]", "exclude": "list[str] | tuple[str, ...]"}, (None, None)),
    ],
)
def test_function_surface(func, doc, annotations, defaults):
    assert func.__doc__ == doc
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == "tools.tables.tables"
    assert func.__qualname__ == "Table." + func.__name__
    assert list(inspect.signature(func).parameters)[0] == "self"


def test_properties_show_their_getters_docs():
    assert Table.columns.__doc__ == Table.columns.fget.__doc__
    assert Table.data.__doc__ == ROWS_DOC


# --- construction ------------------------------------------------------------


@pytest.mark.parametrize(
    "table, error, message",
    [
        ({"data": []}, KeyError, "'Parameter \"columns\" not found'"),
        ({"columns": []}, KeyError, "'Parameter \"data\" not found'"),
        ({"columns": "a", "data": []}, TypeError, 'Parameter "columns" is not a "list"'),
        ({"columns": [], "data": ()}, TypeError, 'Parameter "data" is not a "list"'),
        # "columns" is reported before anything about "data"
        ({"columns": "a"}, TypeError, 'Parameter "columns" is not a "list"'),
        ({"columns": ("a",), "data": 5}, TypeError, 'Parameter "columns" is not a "list"'),
        ({"columns": ["a"], "data": [{"a": 1}, {"a": 2}, ("a",)]}, TypeError, 'Parameter "data"[2] is not a "dict"'),
        ({"columns": ["a"], "data": [None]}, TypeError, 'Parameter "data"[0] is not a "dict"'),
        ({"columns": ["a"], "data": [{"a": 1, "b": 2}]}, ValueError,
         'Parameter "data"[0] length not match with "columns" length'),
        ({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}, {}]}, ValueError,
         'Parameter "data"[1] length not match with "columns" length'),
        ({"columns": ["name", "type"], "data": [{"name": 1, "size": 2}]}, Exception,
         'Parameter "data"[0]["type"] not found'),
        # the first failing row decides, and within it the first failing test
        ({"columns": ["a"], "data": [{"a": 1}, {"b": 1}, ()]}, Exception, 'Parameter "data"[1]["a"] not found'),
        ({"columns": ["a", "b"], "data": [{"b": 1, "c": 2}]}, Exception, 'Parameter "data"[0]["a"] not found'),
        # column names are shown as an f-string field shows them
        ({"columns": [1, None], "data": [{1: 0, 2: 0}]}, Exception, 'Parameter "data"[0]["None"] not found'),
        ({"columns": [3], "data": [{4: 0}]}, Exception, 'Parameter "data"[0]["3"] not found'),
    ],
)
def test_construction_failures(table, error, message):
    with pytest.raises(error) as raised:
        Table(table)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_argument_check():
    with pytest.raises(TypeError) as raised:
        Table(Dict(columns=[], data=[]))
    assert str(raised.value) == "Argument 'table' has incorrect type (expected dict, got Dict)"
    assert raised.value.__notes__ == [SUBCLASS_NOTE]
    with pytest.raises(TypeError) as raised:
        Table([])
    assert not hasattr(raised.value, "__notes__")
    with pytest.raises(TypeError, match=r"__init__\(\) got an unexpected keyword argument 'rows'"):
        Table(rows=[])


def test_failed_construction_writes_nothing_and_changes_nothing():
    table = Table({"columns": ["a"], "data": [{"a": 1}]})
    given = {"columns": ["b"], "data": [{"b": 1}, {"c": 1}]}
    with pytest.raises(Exception):
        table.__init__(given)
    assert table.columns == ["a"]
    assert given == {"columns": ["b"], "data": [{"b": 1}, {"c": 1}]}


@pytest.mark.parametrize("args", [(), (None,)])
def test_empty_table(args):
    table = Table(*args)
    assert table.columns == [] and table.data == []
    assert table.columns is not Table().columns
    assert repr(table) == "Table([])"
    assert str(table) == "{'columns': [], 'data': []}"


def test_valid_shapes():
    assert Table({"columns": [], "data": [{}]}).data == [{}]
    table = Table({"columns": ["a"], "data": [{"a": 1}], "note": 5})
    assert str(table) == "{'columns': ['a'], 'data': [{'a': 1}]}"
    table = Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}, {"b": 3, "a": 4}]})
    assert [list(row) for row in table.data] == [["a", "b"], ["b", "a"]]


def test_lists_are_shared_not_copied():
    given = description()
    table = Table(given)
    assert table.columns is given["columns"] and table.data is given["data"]
    table.columns.append("d")
    given["data"].append(None)  # never validated again
    assert repr(table) == "Table(['a', 'b', 'c', 'd'])"
    assert table.data[-1] is None


def test_list_subclass_is_accepted_then_refused_by_the_property():
    table = Table({"columns": List(["a"]), "data": List([{"a": 1}])})
    for name in ("columns", "data"):
        with pytest.raises(TypeError, match="^Expected list, got List$"):
            getattr(table, name)
    assert repr(table) == "Table(['a'])"


@pytest.mark.parametrize("read", [lambda t: t.columns, lambda t: t.data, repr, str, lambda t: t.filter()])
def test_unwritten_slots(read):
    with pytest.raises(AttributeError, match="_Table__columns|_Table__data"):
        read(object.__new__(Table))


def test_general_path_follows_the_steps():
    class Pretender:  # isinstance(row, dict) honours __class__
        __class__ = dict

        def __len__(self):
            return 2

        def __contains__(self, key):
            return key in ("a", "b")

    class Columns(list):  # len() and iteration are the list's own
        def __len__(self):
            return 1

    table = Table({"columns": ["a", "b"], "data": [Pretender()]})
    assert isinstance(table.data[0], Pretender)
    with pytest.raises(Exception, match=r'^Parameter "data"\[0\]\["b"\] not found$'):
        Table({"columns": Columns(["a", "b"]), "data": [{"a": 1}]})


def test_errors_of_comparisons_pass_through():
    with pytest.raises(TypeError, match="unhashable"):
        Table({"columns": [["a"]], "data": [{"a": 1}]})


# --- quick construction against the step-by-step one --------------------------

MANY = 300

ODD_ROWS = {
    "none": None,
    "other order": lambda n: {n[0]: 1, n[2]: 2, n[1]: 3},
    "too few": lambda n: {n[0]: 1, n[1]: 2},
    "too many": lambda n: {n[0]: 1, n[1]: 2, n[2]: 3, "x": 4},
    "one missing": lambda n: {n[0]: 1, n[1]: 2, "x": 3},
    "first missing": lambda n: {"x": 1, n[1]: 2, n[2]: 3},
    "key not a str": lambda n: {n[0]: 1, n[1]: 2, 7: 3},
    "dict subclass": lambda n: Dict({n[0]: 1, n[1]: 2, n[2]: 3}),
    "short dict subclass": lambda n: Dict({n[0]: 1}),
    "not a dict": lambda n: tuple(n),
    "equal keys, other objects": lambda n: {"".join(list(name)): 1 for name in n},
    "entry deleted": lambda n: after_deletion({n[0]: 1, n[1]: 2, n[2]: 3}),
    "entry deleted, one missing": lambda n: after_deletion({n[0]: 1, n[1]: 2, "x": 3}),
}


@pytest.mark.parametrize("odd_row", ODD_ROWS.values(), ids=ODD_ROWS.keys())
@pytest.mark.parametrize("position", [0, 1, MANY - 1])
def test_quick_construction_matches_general(odd_row, position):
    def build(names):
        rows = [{name: i for name in names} for i in range(MANY)]
        if odd_row is not None:
            rows[position] = odd_row(names)
        return outcome(lambda: rows_of(Table({"columns": names, "data": rows})))

    names = ["name", "size", "type"]
    # column names of a str subclass send every row through the step-by-step checks
    assert build(names) == build([Str(name) for name in names])


def test_construction_rereads_columns_after_code_of_the_callers_ran():
    given = {"columns": ["name", "size"]}
    meddler = Meddler("size", lambda: given.update(columns=["name", "size", "type"]))
    given["data"] = [{"name": 0, "size": 0}, {"name": 1, meddler: 1}, {"name": 2, "size": 2}]
    with pytest.raises(ValueError, match=r'^Parameter "data"\[2\] length not match'):
        Table(given)


# --- text forms --------------------------------------------------------------


def test_text_forms():
    table = Table({"columns": ["name", "size"], "data": [{"size": 1, "name": "x"}]})
    assert repr(table) == "Table(['name', 'size'])"
    assert str(table) == "{'columns': ['name', 'size'], 'data': [{'size': 1, 'name': 'x'}]}"


# --- filtering ---------------------------------------------------------------


@pytest.fixture
def abc():
    return Table({"columns": ["a", "b", "c"], "data": [{"a": 1, "b": 2, "c": 3}, {"c": 6, "a": 4, "b": 5}]})


@pytest.mark.parametrize(
    "kwargs, columns, rows",
    [
        ({}, ["a", "b", "c"], [[("a", 1), ("b", 2), ("c", 3)], [("c", 6), ("a", 4), ("b", 5)]]),
        ({"include": ["c", "a"]}, ["a", "c"], [[("a", 1), ("c", 3)], [("c", 6), ("a", 4)]]),
        ({"include": ("c", "a")}, ["a", "c"], [[("a", 1), ("c", 3)], [("c", 6), ("a", 4)]]),
        ({"include": {"c", "a"}}, ["a", "c"], [[("a", 1), ("c", 3)], [("c", 6), ("a", 4)]]),
        ({"exclude": ["b"]}, ["a", "c"], [[("a", 1), ("c", 3)], [("c", 6), ("a", 4)]]),
        ({"include": ["a", "b"], "exclude": ["b"]}, ["a"], [[("a", 1)], [("a", 4)]]),
        ({"include": ["x"]}, [], [[], []]),
        ({"include": []}, [], [[], []]),
        ({"exclude": ["x", "y"]}, ["a", "b", "c"], [[("a", 1), ("b", 2), ("c", 3)], [("c", 6), ("a", 4), ("b", 5)]]),
        ({"include": "ab"}, ["a", "b"], [[("a", 1), ("b", 2)], [("a", 4), ("b", 5)]]),  # substrings
        ({"include": None, "exclude": None}, ["a", "b", "c"],
         [[("a", 1), ("b", 2), ("c", 3)], [("c", 6), ("a", 4), ("b", 5)]]),
    ],
)
def test_filter_choice_and_order(abc, kwargs, columns, rows):
    result = abc.filter(**kwargs)
    assert type(result) is Table
    assert result.columns == columns
    assert rows_of(result) == rows
    assert abc.columns == ["a", "b", "c"] and rows_of(abc)[1][0] == ("c", 6)


def test_filter_positional_arguments(abc):
    assert abc.filter(["a", "b"], ["b"]).columns == ["a"]
    assert repr(abc.filter(include=["a"])) == "Table(['a'])"


def test_filter_makes_new_lists_and_rows_but_shares_values():
    given = description()
    table = Table(given)
    result = table.filter()
    assert result.columns == table.columns and result.columns is not table.columns
    assert result.data == table.data and result.data is not table.data
    for new, old in zip(result.data, table.data):
        assert new is not old
        assert all(new[key] is old[key] for key in old)


def test_filter_of_a_table_without_rows():
    assert Table({"columns": ["a"], "data": []}).filter().data == []


def test_filter_hands_its_logger_to_the_new_table(abc):
    logger.reset()
    abc.filter(include=["a"])
    init_calls = [call for call in logger.calls if call.operation == "Table.__init__"]
    assert len(init_calls) == 1 and init_calls[0].args[1:] == ()
    assert init_calls[0].logger is Table.filter.logger
    assert init_calls[0].kwargs == {"table": {"columns": ["a"], "data": [{"a": 1}, {"a": 4}]}}


def test_filter_looks_table_up_when_called(abc, monkeypatch):
    made = []
    monkeypatch.setattr(tables, "Table", lambda **kwargs: made.append(kwargs) or "made")
    assert abc.filter(include=["b"]) == "made"
    assert made == [{"table": {"columns": ["b"], "data": [{"b": 2}, {"b": 5}]}, "logger": Table.filter.logger}]
    monkeypatch.delattr(tables, "Table")
    with pytest.raises(NameError, match="name 'Table' is not defined"):
        abc.filter()


def test_filter_of_a_subclass_instance_gives_a_table():
    class Sub(Table):
        pass

    assert type(Sub({"columns": ["a"], "data": []}).filter()) is Table


@pytest.mark.parametrize(
    "kwargs, fails",
    [
        ({"include": 5}, True),
        ({"exclude": 5}, True),
        ({"include": [[]]}, False),  # only compared, never hashed
        ({"include": {frozenset()}, "exclude": 5}, False),  # exclude only asked about included names
    ],
)
def test_filter_errors_of_in_pass_through(abc, kwargs, fails):
    if not fails:
        assert abc.filter(**kwargs).columns == []
        return
    with pytest.raises(TypeError) as expected:
        "a" in 5  # the step's own error, in the running interpreter's words
    with pytest.raises(TypeError) as caught:
        abc.filter(**kwargs)
    assert caught.value.args == expected.value.args


def _move(row, old, new):
    row[new] = row.pop(old)


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda t: t.data.append(None), AttributeError, "^'NoneType' object has no attribute 'items'$"),
        (lambda t: t.data.append(Dict({"a": 1})), None, None),
        (lambda t: _move(t.data[1], "a", "x"), Exception, r'^Parameter "data"\[1\]\["a"\] not found$'),
        (lambda t: t.data[0].update(x=1), ValueError, r'^Parameter "data"\[0\] length not match'),
        (lambda t: t.data[1].pop("a"), ValueError, r'^Parameter "data"\[1\] length not match'),
        (lambda t: t.data[0].pop("b"), None, None),
        (lambda t: t.columns.append("a"), ValueError, r'^Parameter "data"\[0\] length not match'),
    ],
)
def test_filter_of_a_changed_table(abc, change, error, message):
    change(abc)
    before = str(abc)
    if error is None:
        assert abc.filter(include=["a", "x"]).columns == ["a"]
    else:
        with pytest.raises(error, match=message):
            abc.filter(include=["a", "x"])
    assert str(abc) == before


@pytest.mark.parametrize(
    "make_item",
    [lambda: ("a", 1, 2), lambda: ["a", 1, 2], lambda: {"a": 1, "b": 2, "c": 3}, lambda: ["a"], lambda: {},
     lambda: iter("abc"), lambda: iter("a")],
    ids=["tuple", "list", "dict", "short list", "empty dict", "long iterator", "short iterator"],
)
def test_filter_row_items_that_are_not_pairs(abc, make_item):
    class Odd(dict):
        def items(self):
            return [make_item()]

    with pytest.raises(ValueError) as expected:
        key, value = make_item()  # the step's own error, in the running interpreter's words
    abc.data.append(Odd())
    with pytest.raises(ValueError) as caught:
        abc.filter()
    assert caught.value.args == expected.value.args


# --- quick filtering against the step-by-step one ------------------------------


def _filter_rows(odd_row):
    names = ["a", "b", "c", "d"]
    rows = []
    for i in range(MANY):
        order = names[i % 4 :] + names[: i % 4] if i % 50 == 49 else names  # now and then another layout
        rows.append({name: 10 * i + j for j, name in enumerate(order)})
    if odd_row is not None:
        rows[odd_row] = {"a": [1], "d": (2, [3]), "b": 4, "c": 5}  # values the collector tracks
        rows[odd_row - 1] = after_deletion(rows[odd_row - 1])
    return rows


FORCE_GENERAL = {
    "list subclass names": lambda include, exclude, rows: (
        None if include is None else List(include), List(exclude or ()), rows),
    "str subclass keys": lambda include, exclude, rows: (
        include, exclude, [{Str(key): value for key, value in row.items()} for row in rows]),
    "dict subclass row": lambda include, exclude, rows: (include, exclude, [Dict(rows[0])] + rows[1:]),
}


@pytest.mark.parametrize(
    "include, exclude",
    [
        (None, None),
        (["d", "b", "x"], None),
        (("a", "b", "c"), ["b"]),
        ({"a", "c"}, frozenset({"c"})),
        (None, ("a", "b", "c", "d")),
    ],
)
@pytest.mark.parametrize("odd_row", [None, 0, 7, MANY - 1])
@pytest.mark.parametrize("force", FORCE_GENERAL.values(), ids=FORCE_GENERAL.keys())
def test_quick_filter_matches_general(include, exclude, odd_row, force):
    rows = _filter_rows(odd_row)
    expected = Table({"columns": ["a", "b", "c", "d"], "data": rows}).filter(include=include, exclude=exclude)
    general_include, general_exclude, general_rows = force(include, exclude, rows)
    general = Table({"columns": ["a", "b", "c", "d"], "data": general_rows})
    result = general.filter(include=general_include, exclude=general_exclude)
    assert result.columns == expected.columns
    assert rows_of(result) == rows_of(expected)
    for new, quick, old in zip(result.data, expected.data, rows):
        assert all(new[key] is old[key] and quick[key] is old[key] for key in new)
        assert type(new) is dict
        if all(type(key) is str for key in new):  # keys of a str subclass are tracked themselves
            assert gc.is_tracked(new) == gc.is_tracked(quick)


def test_filter_after_code_of_the_callers_ran():
    include = []
    meddler = Meddler("name", lambda: include.append("size"))
    table = Table({"columns": ["name", "size"], "data": [{"name": 0, "size": 0}, {meddler: 1, "size": 1}]})
    include[:] = ["name"]
    # the second row's own `in` test adds "size" to include, which then counts
    with pytest.raises(ValueError, match=r'^Parameter "data"\[1\] length not match'):
        table.filter(include=include)
    assert include == ["name", "size"]

    row = {"name": 1, "size": 1}
    row[Meddler("size", lambda: row.pop("name", None))] = row.pop("size")
    table = Table({"columns": ["name", "size"], "data": [{"name": 0, "size": 0}]})
    table.data.append(row)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        table.filter(include=["size"])


def test_quick_filter_rows_with_other_key_objects():
    # equal keys that are other objects make new layouts; a key that is not a
    # str sends the rest of the rows step by step
    rows = [{"".join(["na", "me"]): i, "".join(["si", "ze"]): -i} for i in range(20)]
    rows += [{"name": 20, 5: "x"}, {"size": 0, "name": 21}]
    table = Table({"columns": ["name", "size"], "data": rows[:20]})
    table.data.extend(rows[20:])
    assert rows_of(table.filter(include=("name",))) == [[("name", i)] for i in range(22)]


# A cache clean-up that refreshes every row, in a finalizer of cyclic garbage
# that leaves more behind: on 3.11 the collector can run it inside any
# allocation of the filter.
REFRESHED_ROWS = """
import gc, sys
from tools.tables.tables import Table
threshold = {threshold}
if threshold:
    gc.set_threshold(threshold, *gc.get_threshold()[1:])
rows = [{{"a": "A%d" % i, "b": i}} for i in range(20000 if threshold is None else 2000)]
t = Table({{"columns": ["a", "b"], "data": rows}})
armed = True
class Refresh:
    def __del__(self):
        for r in rows:
            r["a"] = "fresh-%d" % id(r)
        if armed:
            x = Refresh(); x.cycle = x
x = Refresh(); x.cycle = x; del x
result = t.filter(include=["a"])
armed = False
gc.collect()
assert result.columns == ["a"] and len(result.data) == len(rows)
assert all(list(row) == ["a"] and row["a"].startswith(("A", "fresh-")) for row in result.data)
print("filtered")
"""


@pytest.mark.parametrize("threshold", [None, 1], ids=["default thresholds", "threshold 1"])
def test_filter_while_finalizers_refresh_the_rows(threshold):
    result = run_python(REFRESHED_ROWS.format(threshold=threshold))
    assert (result.returncode, result.stdout, result.stderr) == (0, "filtered\n", "")

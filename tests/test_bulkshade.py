import dataclasses
import gc
from collections import OrderedDict, namedtuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tools.common.bulkshade as module
from helpers_surface import docstring
from helpers_walkers import HEAD, NOTICE, TAIL, assert_same_result, reference_bulkshade, through_python  # noqa: F401
from tools.common.bulkshade import _Const, _const, bulkshade
from tools.common.secretshroud import secretshroud

reference = reference_bulkshade(module)
Point = namedtuple("Point", "x y")


def test_module_surface():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["dataclass", "Any", "_Const", "_const", "bulkshade"]
    assert (_Const.__module__, _Const.__qualname__, _Const.__bases__) == (module.__name__, "_Const", (object,))
    assert _Const.__annotations__ == {"char_limit": "int"}
    assert [f.name for f in dataclasses.fields(_Const)] == ["char_limit"]
    assert _const == _Const() == _Const(char_limit=4000) != _Const(char_limit=5)
    with pytest.raises(dataclasses.FrozenInstanceError):
        _const.char_limit = 1
    assert bulkshade.__annotations__ == {"value": "Any", "return": "Any"}
    assert bulkshade.__defaults__ == (None,)
    assert bulkshade.__doc__ == docstring([
        "Hide oversized content in a value, walking dictionaries, lists and tuples.", "",
        ":param value: 'param-value'", ":return: new object with hidden big-content"], 8)


@pytest.mark.parametrize("size", [0, 1, 3999, 4000])
def test_text_that_fits_is_the_same_object(size):
    text = "é" * size
    assert bulkshade(text) is text


@pytest.mark.parametrize("size", [4001, 10_000])
def test_longer_text_becomes_the_hidden_form(size):
    text = "".join(chr(0x41 + i % 26) for i in range(4000)) + "z" * (size - 4000)
    result = bulkshade(value=text)
    assert len(result) == 4047
    assert result == "\n{\n" + text[:4000] + "\n...big-content hidden...\n}\n" + " " * 16


class FormatRaises:
    def __init__(self, error):
        self.error = error

    def __format__(self, format_spec):
        raise self.error


class Warning_(ValueError):
    pass


@pytest.mark.parametrize("value", [10**5000, FormatRaises(ValueError("x")), FormatRaises(Warning_("y")),
                                   FormatRaises(UnicodeEncodeError("ascii", "é", 0, 1, "r"))],
                         ids=["huge int", "ValueError", "subclass", "UnicodeEncodeError"])
def test_value_error_from_the_text_form_gives_the_notice(value):
    assert bulkshade([value]) == [NOTICE] and len(NOTICE) == 94


def test_other_errors_from_the_text_form_pass():
    with pytest.raises(TypeError, match="boom"):
        bulkshade({"a": [FormatRaises(TypeError("boom"))]})


class Text(str):
    pass


@pytest.mark.parametrize("value", [5, True, 3.5, -2.2250738585072014e-308, 2**70, {1, 2}, b"abc", Text("x" * 4000),
                                   frozenset("ab"), object()])
def test_short_leaves_come_back_as_themselves(value):
    assert bulkshade(value) is value
    assert bulkshade([value])[0] is value


@pytest.mark.parametrize("value", [set(range(1500)), b"\x01" * 5000, Text("y" * 4001)])
def test_long_leaves_are_hidden_by_their_text_form(value):
    assert bulkshade(value) == HEAD + format(value, "")[:4000] + TAIL


def test_none_is_the_empty_string_at_any_depth():
    assert bulkshade() == "" and bulkshade(None) == ""
    assert bulkshade({"a": None, "b": [None, (None,)]}) == {"a": "", "b": ["", ("",)]}


def test_containers_are_rebuilt_and_leaves_kept():
    big = "b" * 5000
    leaves = [f"s{i}" for i in range(10_000)]
    value = {big: "short", "z": [("t", big), {}], "a": [], "m": (), "l": leaves}
    result = bulkshade(value)
    assert list(result) == [big, "z", "a", "m", "l"]
    assert result["z"] == [("t", HEAD + big[:4000] + TAIL), {}]
    assert all(a is b for a, b in zip(result["l"], leaves)) and result["l"] is not leaves
    assert result[big] is value[big] and result["a"] is not value["a"]


class Items(dict):
    def items(self):
        return [("only", None)]


class Listing(list):
    def __iter__(self):
        return iter(["from-iter"])


class Spoof:
    __class__ = list

    def __iter__(self):
        return iter([None])


@pytest.mark.parametrize("value, expected", [
    (OrderedDict(b=1, a=2), {"b": 1, "a": 2}),
    (Items(x=1), {"only": ""}),
    (Listing([1, 2]), ["from-iter"]),
    (Point(1, None), (1, "")),
    (Spoof(), [""]),
])
def test_subclasses_come_back_as_plain_containers(value, expected):
    result = bulkshade(value)
    assert type(result) is type(expected) and result == expected


class ItemsOf(dict):
    def __init__(self, items):
        super().__init__()
        self.listed = items

    def items(self):
        return self.listed


@pytest.mark.parametrize("item", [(1, 2, 3), [1, 2, 3], (1,), 5, "ab", range(2), range(3)])
def test_items_are_unpacked_like_a_for_loop(item):
    outcomes = []
    for walk in (reference, bulkshade):
        try:
            outcomes.append(walk(ItemsOf([item])))
        except (TypeError, ValueError) as error:
            outcomes.append(f"{type(error).__name__}: {error}")
    assert outcomes[0] == outcomes[1]


def test_nested_calls_go_through_the_module_global(through_python):
    calls = through_python(module, "bulkshade")
    leaf = object()
    assert bulkshade({"k": [leaf, None]}) == {"k": [leaf, ""]}
    assert calls == [{"value": [leaf, None]}, {"value": leaf}, {"value": None}]


def test_a_missing_module_global_fails_only_a_nested_call(monkeypatch):
    monkeypatch.delattr(module, "bulkshade")
    assert bulkshade("x") == "x" and bulkshade([]) == []
    with pytest.raises(NameError, match="name 'bulkshade' is not defined"):
        bulkshade(["x"])


class CountingLimit:
    def __init__(self, limit):
        self.limit, self.reads = limit, 0

    @property
    def char_limit(self):
        self.reads += 1
        return self.limit


def test_a_replaced_const_is_read_at_each_use(monkeypatch):
    record = CountingLimit(3)
    monkeypatch.setattr(module, "_const", record)
    assert bulkshade(["ab", "abcdef", None, [1]]) == ["ab", HEAD + "abc" + TAIL, "", [1]]
    assert record.reads == 1 + 2 + 1 + 1


@pytest.mark.parametrize("limit", [0, 2, 23, 24, 4000])
def test_the_import_record_changed_in_place_sets_the_limit(limit):
    value = ["abc", 10**20, -1.5e-300, True, None, Text("abc"), ("x" * 30,)]
    object.__setattr__(_const, "char_limit", limit)
    try:
        assert_same_result(bulkshade(value), reference(value), value)
    finally:
        object.__setattr__(_const, "char_limit", 4000)


@pytest.mark.parametrize("record, error", [(_Const(char_limit=2.5), TypeError), (object(), AttributeError)])
def test_a_const_without_an_int_limit_fails_like_the_steps(monkeypatch, record, error):
    monkeypatch.setattr(module, "_const", record)
    with pytest.raises(error):
        bulkshade(["abcd"])
    with pytest.raises(error):
        reference(["abcd"])


class Mutate:
    """A leaf whose text form changes the container it sits in."""

    def __init__(self, change):
        self.change = change

    def __format__(self, format_spec):
        self.change(self)
        return "m"

    def __repr__(self):
        return "M"


def grown(value):
    value["c"] = 1


def key_swapped(value):
    del value["b"]
    value["c"] = 2


def later_key_swapped(value):
    del value["x"]
    value["c"] = 3


def values_replaced(value):
    value.update(b="new", y=None)


def mutated_dict(change):
    value = {"b": "old", "a": None, "x": [1], "y": "tail"}
    value["a"] = Mutate(lambda _: change(value))
    return value


def mutated_list(change):
    value = [None, "x", "y", [None]]
    value[0] = Mutate(lambda _: change(value))
    return value


@pytest.mark.parametrize("make", [
    lambda: mutated_dict(grown), lambda: mutated_dict(key_swapped), lambda: mutated_dict(later_key_swapped),
    lambda: mutated_dict(values_replaced), lambda: mutated_list(list.pop), lambda: mutated_list(list.clear),
    lambda: mutated_list(lambda v: v.extend([None, "z"])),
])
def test_containers_changed_during_the_walk_behave_like_the_steps(make):
    try:
        expected = repr(reference({"outer": make()}))
    except RuntimeError as error:
        with pytest.raises(RuntimeError, match=str(error)):
            bulkshade({"outer": make()})
    else:
        assert repr(bulkshade({"outer": make()})) == expected


@pytest.mark.parametrize("change, message", [(grown, "dictionary changed size during iteration"),
                                             (key_swapped, "dictionary keys changed during iteration")])
def test_dictionary_changes_raise(change, message):
    with pytest.raises(RuntimeError, match=message):
        bulkshade(mutated_dict(change))


def test_changes_made_during_a_walk_reach_the_later_elements():
    calls, original = [], module.bulkshade

    def wrapper(**kwargs):
        calls.append(kwargs)
        return original(**kwargs)

    def change(_):
        module.bulkshade, module._const = wrapper, _Const(char_limit=1)

    value = ["ab", Mutate(change), "cd", [None]]
    try:
        assert bulkshade(value) == ["ab", value[1], HEAD + "c" + TAIL, [""]]
    finally:
        module.bulkshade, module._const = original, _const
    assert calls == [{"value": "cd"}, {"value": [None]}, {"value": None}]


class Trap:
    """Replaced by the notice, so only the walked container holds it; when
    that is freed, it changes the module global."""

    def __init__(self, action):
        self.action = action

    def __format__(self, format_spec):
        raise ValueError

    def __del__(self):
        self.action()


def test_a_change_made_when_a_walked_container_is_freed_is_seen():
    calls, original = [], module.bulkshade

    def install():
        module.bulkshade = lambda **kwargs: (calls.append(kwargs), original(**kwargs))[1]

    outer = [None, "after"]
    mutate = Mutate(lambda _: outer.__setitem__(0, None))
    outer[0] = [mutate, Trap(install), "x"]
    try:
        result = bulkshade(outer)
    finally:
        module.bulkshade = original
    assert result == [[mutate, NOTICE, "x"], "after"]
    assert calls == [{"value": "after"}]


class Peek:
    """A leaf whose class, asked for during the walk, lists the dicts the
    collector knows that hold it under every key of the dict being walked."""

    def __init__(self, keys):
        self.keys, self.seen = keys, []

    @property
    def __class__(self):
        self.seen += [found for found in gc.get_objects()
                      if type(found) is dict and set(found) == self.keys and self in found.values()]
        return Peek


@pytest.mark.parametrize("walk", [bulkshade, lambda v: secretshroud("user", v)], ids=["bulkshade", "secretshroud"])
def test_python_code_run_during_a_walk_never_sees_the_dict_being_filled(walk):
    peek = Peek({"a", "b", "c"})
    value = {"a": "x", "b": peek, "c": "y"}
    assert walk([value]) == [value]
    assert peek.seen and all(found is value for found in peek.seen)


def json_like():
    leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
                       st.sampled_from([0, 3, 4000, 4001]).map(lambda n: "é" * n), st.binary(max_size=5),
                       st.builds(Text, st.text(max_size=6)),
                       st.sampled_from([3999, 4299, 4300]).map(lambda n: 10**n))
    return st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=5), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.text(max_size=4), inner, max_size=5)), max_leaves=30)


@settings(max_examples=150, deadline=None)
@given(value=json_like())
def test_fast_and_general_paths_agree_with_the_steps(value):
    expected = reference(value)
    assert_same_result(bulkshade(value), expected, value)
    original = module.bulkshade
    module.bulkshade = lambda **kwargs: original(**kwargs)
    try:
        assert_same_result(bulkshade(value), expected, value)
    finally:
        module.bulkshade = original

from collections import OrderedDict, namedtuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tools.common.secretshroud as module
from helpers_surface import docstring
from helpers_walkers import assert_same_result, reference_secretshroud, through_python  # noqa: F401
from tools.common.secretshroud import secretshroud
from helpers_reference import SUBCLASS_NOTE

Pair = namedtuple("Pair", "a b")


class Text(str):
    pass


def test_module_surface():
    assert [n for n in vars(module) if not n.startswith("__")] == ["Any", "secretshroud"]
    assert secretshroud.__annotations__ == {"name": "str", "value": "Any", "return": "Any"}
    assert secretshroud.__defaults__ == (None, None)
    assert secretshroud.__doc__ == docstring([
        "Mask the strings under password-like names in a value, walking dictionaries, lists and tuples.", "",
        ":param name: 'param-name'", ":param value: 'param-value'", ":return: new object with masked password"], 8)


@pytest.mark.parametrize("name, masked", [
    ("DB_Password", True), ("user_pwd", True), ("PWD", True), ("password_hint", True), ("pwdfile", True),
    ("passwd", False), ("pass_word", False), ("p-w-d", False), ("", False), ("pw", False),
    ("PASSWORDİ", True), ("İpwd", True), ("ｐｗｄ", False), ("Kennwort/Password", True), ("пароль", False),
])
def test_password_like_names(name, masked):
    value = "héllo😀"
    result = secretshroud(name, value)
    assert result == ("*" * 6 if masked else value)
    assert masked or result is value
    assert secretshroud(name, [value]) == [result] and secretshroud(name, (value,)) == (result,)


@pytest.mark.parametrize("value", [None, "", 5, 2.5, b"secret", {"a"}, frozenset(), True, 10**30, object()])
def test_non_strings_under_a_password_name_are_kept(value):
    result = secretshroud("password", value)
    if value is None:
        assert result == ""
    else:
        assert result is value


def test_lists_and_tuples_keep_the_name_and_dicts_replace_it():
    assert secretshroud("password", ["a", "bb"]) == ["*", "**"]
    assert secretshroud("password", ("a", "bb")) == ("*", "**")
    value = {"user": "bob", "password": "secret", "host": None, "pwd": ["ab", {"user": "x"}]}
    result = secretshroud("password", value)
    assert list(result) == list(value)
    assert result == {"user": "bob", "password": "******", "host": "", "pwd": ["**", {"user": "x"}]}
    assert result["user"] is value["user"]
    assert secretshroud() == "" and secretshroud("password") == ""


@pytest.mark.parametrize("value, expected", [
    (OrderedDict(pwd="ab", x="y"), {"pwd": "**", "x": "y"}),
    (Pair("ab", None), ("**", "")),
    (type("L", (list,), {})(["ab"]), ["**"]),
    ({Text("k"): 1}, TypeError),
])
def test_subclasses(value, expected):
    if expected is TypeError:
        with pytest.raises(TypeError) as info:
            secretshroud(None, {"outer": value})
        assert info.value.__notes__ == [SUBCLASS_NOTE]
    else:
        result = secretshroud("password", value)
        assert type(result) is type(expected) and result == expected


class Measured(str):
    def __len__(self):
        return 3


def test_a_string_subclass_is_measured_by_its_len():
    assert secretshroud("pwd", Measured("abcdef")) == "***"
    kept = Measured("x")
    assert secretshroud("user", kept) is kept


@pytest.mark.parametrize("name, expected_type", [(Text("pwd"), "Text"), (b"pwd", "bytes"), (1, "int")])
def test_name_must_be_exactly_str(name, expected_type):
    with pytest.raises(TypeError, match=rf"Argument 'name' has incorrect type \(expected str, got {expected_type}\)"):
        secretshroud(name, "x")


@pytest.mark.parametrize("general", [False, True])
def test_a_key_that_is_not_a_string_fails_the_whole_call(general, through_python):
    if general:
        through_python(module, "secretshroud")
    value = [{"a": "x"}, ({None: "kept", 7: "y"},)]
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got int\)") as info:
        secretshroud("pwd", value)
    assert not getattr(info.value, "__notes__", None)
    assert secretshroud("pwd", {None: "v"}) == {None: "v"}


def test_nested_calls_go_through_the_module_global(through_python):
    calls = through_python(module, "secretshroud")
    assert secretshroud(None, {"pwd": ["ab"], "n": None}) == {"pwd": ["**"], "n": ""}
    assert calls == [{"name": "pwd", "value": ["ab"]}, {"name": "pwd", "value": "ab"}, {"name": "n", "value": None}]


class Spoof:
    """Claims to be a str; isinstance() runs Python code to find out."""

    def __init__(self, action):
        self.action = action

    @property
    def __class__(self):
        self.action()
        return str

    def __len__(self):
        return 2


def test_changes_made_during_a_walk_reach_the_later_elements():
    calls, original = [], module.secretshroud

    def install():
        module.secretshroud = lambda **kwargs: (calls.append(kwargs), original(**kwargs))[1]

    try:
        result = secretshroud("pwd", ["ab", Spoof(install), "cd"])
    finally:
        module.secretshroud = original
    assert result == ["**", "**", "**"]
    assert calls == [{"name": "pwd", "value": "cd"}]


@pytest.mark.parametrize("grow, message", [(True, "dictionary changed size"), (False, "dictionary keys changed")])
def test_dictionary_changes_raise(grow, message):
    value = {"a": None, "b": 1}

    def change():
        if not grow:
            value.pop("a", None)
        value["c"] = 1

    value["a"] = Spoof(change)
    with pytest.raises(RuntimeError, match=message):
        secretshroud("pwd", value)


def json_like():
    names = st.sampled_from(["", "user", "Password", "db_pwd", "passwd", "İpwd"])
    # Masks up to 63 characters long are made once and shared: lengths either side.
    leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
                       st.text(min_size=62, max_size=66),
                       st.builds(Text, st.text(max_size=6)), st.binary(max_size=4))
    return st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=5), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(names, st.text(max_size=5)), inner, max_size=5)), max_leaves=30)


@settings(max_examples=150, deadline=None)
@given(name=st.sampled_from([None, "", "pwd", "Password_x", "name"]), value=json_like())
def test_fast_and_general_paths_agree_with_the_steps(name, value):
    expected = reference_secretshroud(name, value)
    assert_same_result(secretshroud(name, value), expected, value)
    original = module.secretshroud
    module.secretshroud = lambda **kwargs: original(**kwargs)
    try:
        assert_same_result(secretshroud(name, value), expected, value)
    finally:
        module.secretshroud = original

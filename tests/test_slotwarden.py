import pytest

import tools.common.slotwarden as module
from helpers_surface import docstring
from tools.common.slotwarden import SlotWarden


class Vault:
    def __init__(self, balance=10):
        self.__balance = balance

    def balance(self):
        return self.__balance


class Safe(Vault):
    pass


class _Vault:
    def __init__(self):
        self.__balance = 7


class Hooked:
    """Answers every read with a default and refuses every write."""

    def __getattribute__(self, name):
        if name == "__class__":
            return object.__getattribute__(self, name)
        return "hooked"

    def __getattr__(self, name):
        return "default"

    def __setattr__(self, name, value):
        raise RuntimeError("read-only")


class Failing:
    @property
    def broken(self):
        raise ValueError("getter failed")

    @property
    def gone(self):
        raise AttributeError("getter says missing")


class Str(str):
    pass


# ---------------------------------------------------------------------------
# The class as Python code sees it.


def test_module_and_class_namespace_order():
    assert [name for name in vars(module) if not name.startswith("__")] == ["Any", "SlotWarden"]
    assert list(vars(SlotWarden))[:10] == [
        "__module__", "__slots__", "__init__", "name", "value", "exists",
        "get_name", "get_attribute", "set_attribute", "has_attribute",
    ]
    assert SlotWarden.__slots__ == ("__obj", "__attr")
    assert SlotWarden.__module__ == "tools.common.slotwarden"
    assert SlotWarden.__bases__ == (object,)
    assert SlotWarden.__doc__ is None
    for name in ("get_name", "get_attribute", "set_attribute", "has_attribute"):
        assert type(vars(SlotWarden)[name]) is staticmethod


@pytest.mark.parametrize(
    "function, annotations, doc",
    [
        (SlotWarden.get_name, {"obj": "Any", "attr": "str", "return": "str"},
         ["Build attribute name.", "", ":param obj: object instance", ":param attr: attribute name",
          ":return: attribute name (mangled, for private attributes)"]),
        (SlotWarden.get_attribute, {"obj": "Any", "attr": "str", "return": "Any"},
         ["Get an attribute.", "", ":param obj: object instance", ":param attr: attribute name",
          ":return: attribute value"]),
        (SlotWarden.set_attribute, {"obj": "Any", "attr": "str", "value": "Any"},
         ["Set an attribute.", "", ":param obj: object instance", ":param attr: attribute name",
          ":param value: attribute value", ":return:"]),
        (SlotWarden.has_attribute, {"obj": "Any", "attr": "str", "return": "bool"}, None),
        (SlotWarden.__init__, {"obj": "Any", "attr": "str"}, None),
        (SlotWarden.name.fget, {"return": "str"}, None),
        (SlotWarden.value.fget, {"return": "Any"}, None),
        (SlotWarden.value.fset, {"value": "Any"}, None),
        (SlotWarden.exists.fget, {"return": "bool"}, None),
    ],
)
def test_annotations_and_docstrings(function, annotations, doc):
    assert function.__annotations__ == annotations
    assert function.__doc__ == (docstring(doc, 12) if doc else None)
    assert function.__defaults__ is None


# ---------------------------------------------------------------------------
# Name mangling.


@pytest.mark.parametrize("attr", ["value", "_value", "__init__", "__", "___x", "___x__", "", "_"])
@pytest.mark.parametrize("obj", [Vault(), Vault, 5, None])
def test_get_name_leaves_non_private_names_alone(obj, attr):
    assert SlotWarden.get_name(obj, attr) == attr


class Meta(type):
    pass


UNDERSCORES = type("___", (), {})


@pytest.mark.parametrize(
    "obj, attr, expected",
    [
        (Vault(), "__balance", "_Vault__balance"),
        (Vault, "__balance", "_Vault__balance"),
        (_Vault(), "__balance", "_Vault__balance"),
        (Safe(), "__balance", "_Safe__balance"),
        (Vault(), "__x_", "_Vault__x_"),
        (Vault(), "__x__", "__x__"),
        (UNDERSCORES(), "__balance", "___balance"),
        (Meta("Klass", (), {}), "__a", "_Klass__a"),
        (type, "__a", "_type__a"),
        (5, "__a", "_int__a"),
        (type("_Ωmega", (), {})(), "__a", "_Ωmega__a"),
        (type("__", (), {})(), "__ü", "___ü"),
        (type("Latin_é", (), {})(), "__\U0001f600", "_Latin_é__\U0001f600"),
    ],
)
def test_get_name_mangles_private_names(obj, attr, expected):
    result = SlotWarden.get_name(obj, attr)
    # Built in place: it must compare and hash like the same text built by Python.
    assert result == expected and hash(result) == hash(expected)
    assert SlotWarden.get_name(obj=obj, attr=attr) == expected


def test_get_name_uses_the_class_an_object_reports():
    class Impostor:
        @property
        def __class__(self):
            return Vault

    assert SlotWarden.get_name(Impostor(), "__balance") == "_Vault__balance"


class _Shadowed:
    __class__ = _Vault  # a class attribute, not object's descriptor


@pytest.mark.parametrize("make", [
    lambda: _Shadowed(),
    lambda: type("Sub", (_Shadowed,), {})(),
], ids=["class attribute", "inherited"])
def test_get_name_takes_a_class_attribute_named_class(make):
    obj = make()
    assert SlotWarden.get_name(obj, "__balance") == "_Vault__balance"
    SlotWarden.set_attribute(obj, "__balance", 3)
    assert (obj._Vault__balance, SlotWarden.get_attribute(obj, "__balance")) == (3, 3)


def test_names_made_earlier_do_not_outlive_what_they_were_made_of():
    # Many classes and names, each asked twice, the class renamed between.
    classes = [type(f"C{i}", (), {}) for i in range(200)]
    attrs = [f"__a{i}" for i in range(3)]
    for rename in ("", "__R"):
        for cls in classes:
            if rename:
                cls.__name__ = rename + cls.__name__
            for attr in attrs:
                expected = "_" + cls.__name__.lstrip("_") + attr
                assert SlotWarden.get_name(cls(), attr) == expected
                # An equal name that is another object.
                assert SlotWarden.get_name(cls, "".join(list(attr))) == expected


def test_get_name_reads_class_attributes_that_are_not_plain_text():
    class Name(str):
        def lstrip(self, chars=None):
            return "Stripped"

    class NamedMeta(type):
        @property
        def __name__(cls):
            return Name("__Odd")

    cls = NamedMeta("Odd", (), {})
    assert SlotWarden.get_name(cls, "__a") == "_Stripped__a"
    assert SlotWarden.get_name(cls(), "__a") == "_Stripped__a"


def test_a_name_that_does_not_come_out_as_str_is_refused_on_every_path():
    class Number:
        def __radd__(self, other):
            return self

        def __add__(self, other):
            return 5

    class Name:
        def lstrip(self, chars):
            return Number()

    class NamedMeta(type):
        __name__ = property(lambda cls: Name())

    obj = NamedMeta("Odd", (), {})()
    for call in (SlotWarden.get_name, SlotWarden.get_attribute, SlotWarden.has_attribute):
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            call(obj, "__a")


def test_get_name_lets_class_lookup_errors_through():
    class Opaque:
        @property
        def __class__(self):
            raise KeyError("no class")

    with pytest.raises(KeyError):
        SlotWarden.get_name(Opaque(), "__a")
    assert SlotWarden.get_name(Opaque(), "plain") == "plain"


# ---------------------------------------------------------------------------
# Reading, writing and testing.


def test_private_attributes_are_read_and_written_under_the_class_name():
    vault = Vault()
    assert SlotWarden.get_attribute(vault, "__balance") == 10
    assert SlotWarden.set_attribute(vault, "__balance", 5) is None
    assert vault.balance() == 5
    # A private attribute set by a base class's methods is stored under the base's name.
    assert SlotWarden.has_attribute(Safe(), "__balance") is False
    assert SlotWarden.get_attribute(Safe(), "_Vault__balance") == 10


def test_own_attribute_hooks_are_bypassed():
    hooked = Hooked()
    with pytest.raises(AttributeError):
        SlotWarden.get_attribute(hooked, "missing")
    assert SlotWarden.has_attribute(hooked, "missing") is False
    SlotWarden.set_attribute(hooked, "color", "red")
    assert SlotWarden.get_attribute(hooked, "color") == "red"
    assert hooked.color == "hooked"


@pytest.mark.parametrize(
    "obj, attr",
    [(Vault(), "__balance"), (Vault(), "balance"), (Vault, "__init__"), (5, "real"), (5, "x"), (pytest, "raises"),
     (type, "__name__"), (Failing(), "broken"), (Hooked(), "color")],
)
def test_reads_are_those_of_object_getattribute(obj, attr):
    name = SlotWarden.get_name(obj, attr)
    assert outcome(lambda: SlotWarden.get_attribute(obj, attr)) == outcome(lambda: object.__getattribute__(obj, name))


@pytest.mark.parametrize(
    "obj, attr, expected",
    [
        (Vault(), "__missing", False),
        (Vault(), "__balance", True),
        (5, "real", True),
        (5, "x", False),
        (Failing(), "gone", False),
        (Vault, "balance", True),
    ],
)
def test_has_attribute(obj, attr, expected):
    assert SlotWarden.has_attribute(obj, attr) is expected
    assert SlotWarden(obj, attr).exists is expected


def test_only_attribute_errors_become_false():
    with pytest.raises(ValueError, match="getter failed"):
        SlotWarden.has_attribute(Failing(), "broken")
    with pytest.raises(ValueError, match="getter failed"):
        SlotWarden(Failing(), "broken").exists


@pytest.mark.parametrize(
    "obj, attr, error",
    [
        (5, "x", AttributeError),
        (object(), "x", AttributeError),
        (Vault, "x", TypeError),  # object.__setattr__ refuses class objects
        (Vault, "__balance", TypeError),
    ],
)
def test_set_attribute_failures_are_the_interpreters(obj, attr, error):
    with pytest.raises(error):
        SlotWarden.set_attribute(obj, attr, 1)


# ---------------------------------------------------------------------------
# The instance form.


def test_instance_reads_and_writes_its_bound_attribute():
    vault = Vault()
    warden = SlotWarden(vault, "__balance")
    assert (warden.name, warden.exists, warden.value) == ("_Vault__balance", True, 10)
    warden.value = 99
    assert vault.balance() == 99
    assert warden._SlotWarden__obj is vault and warden._SlotWarden__attr == "__balance"
    assert not hasattr(warden, "__dict__")


@pytest.mark.parametrize(
    "action",
    [
        lambda w: setattr(w, "name", "x"),
        lambda w: setattr(w, "exists", False),
        lambda w: setattr(w, "other", 1),
        lambda w: delattr(w, "name"),
        lambda w: delattr(w, "value"),
        lambda w: delattr(w, "exists"),
    ],
)
def test_instance_refuses_other_changes(action):
    with pytest.raises(AttributeError):
        action(SlotWarden(Vault(), "__balance"))


def test_missing_attribute_through_the_instance():
    with pytest.raises(AttributeError):
        SlotWarden(Vault(), "__nothing").value


@pytest.mark.parametrize("bad", [None, Str("__balance")])
@pytest.mark.parametrize(
    "call",
    [
        lambda attr: SlotWarden(Vault(), attr),
        lambda attr: SlotWarden.get_name(Vault(), attr),
        lambda attr: SlotWarden.get_attribute(Vault(), attr),
        lambda attr: SlotWarden.set_attribute(Vault(), attr, 1),
        lambda attr: SlotWarden.has_attribute(Vault(), attr),
    ],
)
def test_attr_must_be_exactly_str(call, bad):
    with pytest.raises(TypeError) as raised:
        call(bad)
    assert str(raised.value) == (
        f"Argument 'attr' has incorrect type (expected str, got {type(bad).__name__})"
    )
    assert bool(getattr(raised.value, "__notes__", None)) == isinstance(bad, str)


# ---------------------------------------------------------------------------
# Lookups made when the operations run.


def test_name_goes_through_the_instance_and_must_be_text():
    class Loud(SlotWarden):
        __slots__ = ()
        get_name = staticmethod(lambda obj, attr: attr.upper())

    class Numeric(SlotWarden):
        __slots__ = ()
        get_name = staticmethod(lambda obj, attr: 5)

    class Silent(SlotWarden):
        __slots__ = ()
        get_name = staticmethod(lambda obj, attr: None)

    assert Loud(Vault(), "__balance").name == "__BALANCE"
    assert Silent(Vault(), "__balance").name is None
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Numeric(Vault(), "__balance").name


def test_value_and_exists_ignore_a_subclass_and_follow_the_module_global(monkeypatch):
    class Custom(SlotWarden):
        __slots__ = ()
        get_attribute = staticmethod(lambda obj, attr: "custom")
        has_attribute = staticmethod(lambda obj, attr: "custom")

    warden = Custom(Vault(), "__balance")
    assert (warden.value, warden.exists) == (10, True)

    seen = []

    class Replacement:
        @staticmethod
        def get_attribute(**kwargs):
            seen.append(("get", kwargs))
            return "replaced"

        @staticmethod
        def set_attribute(**kwargs):
            seen.append(("set", kwargs))
            return "ignored"

        @staticmethod
        def has_attribute(**kwargs):
            seen.append(("has", kwargs))
            return "maybe"

    vault = Vault()
    monkeypatch.setattr(module, "SlotWarden", Replacement)
    warden = SlotWarden(vault, "__balance")
    assert warden.value == "replaced"
    warden.value = 4
    assert warden.exists == "maybe"
    assert seen == [
        ("get", {"obj": vault, "attr": "__balance"}),
        ("set", {"obj": vault, "attr": "__balance", "value": 4}),
        ("has", {"obj": vault, "attr": "__balance"}),
    ]


def test_static_methods_reach_get_name_through_the_module_global(monkeypatch):
    class Replacement:
        get_name = staticmethod(lambda obj, attr: "_Vault__balance")

    monkeypatch.setattr(module, "SlotWarden", Replacement)
    vault = Vault()
    assert SlotWarden.get_attribute(vault, "anything") == 10
    SlotWarden.set_attribute(vault, "anything", 1)
    assert vault.balance() == 1


def _rebinding_class(monkeypatch, get_name):
    # Reading get_attribute off this class binds the module's SlotWarden anew.
    replacement = type("Other", (), {"get_name": staticmethod(get_name)})

    class Rebinding(type):
        def __getattribute__(cls, name):
            if name == "get_attribute":
                monkeypatch.setattr(module, "SlotWarden", replacement)
            return super().__getattribute__(name)

    monkeypatch.setattr(module, "SlotWarden", Rebinding("Rebinder", (SlotWarden,), {"__slots__": ()}))
    return lambda: None


def _function_swapped_in_place(monkeypatch, get_name):
    # The class stays as it was; its staticmethod is given another function.
    entry = SlotWarden.__dict__["get_name"]
    original = entry.__func__
    entry.__init__(get_name)
    return lambda: entry.__init__(original)


@pytest.mark.parametrize("change", [_rebinding_class, _function_swapped_in_place])
def test_get_name_is_read_as_it_is_once_get_attribute_has_been_read(monkeypatch, change):
    undo = change(monkeypatch, lambda obj, attr: "_Vault__balance")
    try:
        assert SlotWarden.has_attribute(Vault(), "__nothing") is True
        assert SlotWarden.get_attribute(Vault(), "__nothing") == 10
    finally:
        undo()
    assert SlotWarden.get_name(Vault(), "__nothing") == "_Vault__nothing"


def test_has_attribute_guards_the_lookup_of_get_attribute(monkeypatch):
    class Missing(AttributeError):
        pass

    class Raising:
        @staticmethod
        def get_attribute(obj, attr):
            raise Missing

    monkeypatch.setattr(module, "SlotWarden", object())  # no get_attribute at all
    assert SlotWarden.has_attribute(Vault(), "__balance") is False
    monkeypatch.setattr(module, "SlotWarden", Raising)
    assert SlotWarden.has_attribute(Vault(), "__balance") is False
    monkeypatch.delattr(module, "SlotWarden")
    with pytest.raises(NameError, match="SlotWarden"):
        SlotWarden.has_attribute(Vault(), "__balance")


CASES = [
    (Vault, "__balance"),
    (Vault, "__missing"),
    (lambda: Vault, "__balance"),
    (Hooked, "color"),
    (Failing, "broken"),
    (Failing, "gone"),
    (lambda: 5, "real"),
    (lambda: 5, "__x"),
]


def outcome(action):
    try:
        return ("value", action())
    except Exception as error:  # compared, not swallowed
        return (type(error), str(error))


def outcomes(make, attr):
    obj = make()
    warden = SlotWarden(obj, attr)
    return [
        outcome(lambda: SlotWarden.get_attribute(obj, attr)),
        outcome(lambda: SlotWarden.has_attribute(obj, attr)),
        outcome(lambda: warden.value),
        outcome(lambda: warden.exists),
        outcome(lambda: SlotWarden.set_attribute(obj, attr, 1)),
        outcome(lambda: setattr(warden, "value", 2)),
    ]


@pytest.mark.parametrize("make, attr", CASES)
def test_in_place_calls_match_keyword_calls(monkeypatch, make, attr):
    # Wrapping the static methods forces every internal call through the
    # class attribute; the answers must not change.
    direct = outcomes(make, attr)
    for name in ("get_name", "get_attribute", "set_attribute", "has_attribute"):
        original = getattr(SlotWarden, name)
        wrapper = lambda *args, original=original, **kwargs: original(*args, **kwargs)  # noqa: E731
        monkeypatch.setattr(SlotWarden, name, staticmethod(wrapper))
    assert outcomes(make, attr) == direct


def test_a_stored_name_that_is_not_text_is_refused_when_used():
    warden = SlotWarden(Vault(), "__balance")
    SlotWarden._SlotWarden__attr.__set__(warden, 5)
    for action in (lambda: warden.value, lambda: warden.exists, lambda: setattr(warden, "value", 1)):
        with pytest.raises(TypeError, match="Argument 'attr' has incorrect type"):
            action()


def test_deep_self_reference_ends_in_recursion_error(monkeypatch):
    class Looping:
        @staticmethod
        def get_name(obj, attr):
            return SlotWarden.get_attribute(obj=obj, attr=attr)

    monkeypatch.setattr(module, "SlotWarden", Looping)
    with pytest.raises(RecursionError):
        SlotWarden.get_attribute(Vault(), "__balance")

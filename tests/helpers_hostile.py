"""Generated input that misbehaves, for driving the native operations.

Strategies here produce *recipes*: plain tuples that print well in a failure
report and say how to make an argument. `build` turns a recipe into the
object, so an object whose `__repr__` raises never reaches the test
framework, and the same recipe can be built afresh.

Hostile objects are instances of classes made on the fly from a base type and
a few overridden slots, each slot doing one bad thing: raising (an ordinary
exception or `Marker`, which is not an `Exception`), returning a value of the
wrong type or size, or emptying every container of the current input behind
the caller's back (`mutate`).
"""

from __future__ import annotations

import collections
import functools
import os
import sys
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from random import Random

from hypothesis import strategies as st


class Marker(BaseException):
    """Raised by hostile objects; passes every `except Exception`."""


# ---------------------------------------------------------------------------
# Containers of the input being processed, emptied by the `mutate` behaviour.

VICTIMS: list = []


def mutate_victims() -> None:
    for victim in VICTIMS:
        for base in (list, dict, set, collections.deque):
            if isinstance(victim, base):
                base.clear(victim)
                break


# ---------------------------------------------------------------------------
# Slots and what a hostile class may do in each.


class Unbooled:
    """A comparison result whose truth cannot be told."""

    def __bool__(self):
        raise ValueError("no truth value")


class LongName(str):
    pass


def _raiser(error):
    def behave(self, *args, **kwargs):
        raise error("hostile")

    return behave


def _returner(value):
    def behave(self, *args, **kwargs):
        return value() if callable(value) and not isinstance(value, type) else value

    return behave


def _mutator(neutral):
    def behave(self, *args, **kwargs):
        mutate_victims()
        return neutral(self, *args)

    return behave


def _no_attribute(self, *args):
    raise AttributeError("gone")


RAISES = {
    "raise-ValueError": _raiser(ValueError),
    "raise-TypeError": _raiser(TypeError),
    "raise-AttributeError": _raiser(AttributeError),
    "raise-KeyError": _raiser(KeyError),
    "raise-Marker": _raiser(Marker),
    # a generator turns this one into RuntimeError wherever it comes from
    "raise-StopIteration": _raiser(StopIteration),
}

_V = type("_V", (), {})
_Underscores = type("__", (), {})


class _NamedOddly(type):
    @property
    def __name__(cls):
        return 5


Nameless = _NamedOddly("Nameless", (), {})

# slot -> (neutral behaviour used by `mutate`, {choice: behaviour})
SLOTS = {
    "__eq__": (lambda self, other: NotImplemented, {
        "true": _returner(True), "false": _returner(False), "unbooled": _returner(lambda: Unbooled()),
        "text": _returner("yes")}),
    "__hash__": (lambda self: 0, {
        "zero": _returner(0), "minus-one": _returner(-1), "huge": _returner(2**80), "text": _returner("h")}),
    "__bool__": (lambda self: True, {"two": _returner(2), "none": _returner(None)}),
    "__len__": (lambda self: 0, {
        "minus-one": _returner(-1), "huge": _returner(2**80), "text": _returner("3"), "three": _returner(3)}),
    "__format__": (lambda self, format_spec="": "mutated", {
        "int": _returner(5), "subclass": _returner(lambda: LongName("x")), "long": _returner("x" * 5000),
        "empty": _returner("")}),
    "__str__": (lambda self: "mutated", {"int": _returner(5), "long": _returner("y" * 4500)}),
    "__repr__": (lambda self: "mutated", {"int": _returner(5), "long": _returner("z" * 4500)}),
    "__fspath__": (lambda self: "mutated", {
        "int": _returner(5), "bytes": _returner(b"raw"), "name": _returner("odd-name"), "empty": _returner(""),
        "nul": _returner("a\0b")}),
    "__iter__": (lambda self: iter(()), {
        "int": _returner(5), "pairs": _returner(lambda: iter([("k", "v")])), "triples": _returner(
            lambda: iter([(1, 2, 3)])), "ints": _returner(lambda: iter([1, 2]))}),
    "items": (lambda self: iter(()), {
        "int": _returner(5), "empty": _returner(lambda: []), "pair": _returner(lambda: [("a", 1)]),
        "triple": _returner(lambda: [(1, 2, 3)]), "scalar": _returner(lambda: [5]),
        "none-key": _returner(lambda: [(None, "v")])}),
    "__getattr__": (_no_attribute, {"int": _returner(7), "none": _returner(None)}),
    "__contains__": (lambda self, item: False, {"true": _returner(True), "unbooled": _returner(lambda: Unbooled())}),
    "__getitem__": (lambda self, key: None, {"one": _returner(1)}),
    "__index__": (lambda self: 0, {"huge": _returner(2**80), "text": _returner("x")}),
    "close": (lambda self: None, {"int": _returner(5)}),
}
# Slots that are properties rather than methods.
PROPERTIES = {
    "__class__": (lambda self: type(self), {
        "int": _returner(int), "underscored": _returner(_V), "underscores-only": _returner(_Underscores),
        "not-a-class": _returner(5), "nameless": _returner(Nameless), "dict": _returner(dict),
        "list": _returner(list), "tuple": _returner(tuple), "str": _returner(str)}),
    "name": (lambda self: "mutated", {"int": _returner(5), "bytes": _returner(b"n"), "none": _returner(None)}),
}
for _table in (SLOTS, PROPERTIES):
    for _slot, (_neutral, _choices) in _table.items():
        _choices.update(RAISES)
        _choices["mutate"] = _mutator(_neutral)

# base name -> (base type, arguments of a new instance)
BASES = {
    "object": (object, lambda: ()), "str": (str, lambda: ("hostile",)), "bytes": (bytes, lambda: (b"hostile",)),
    "int": (int, lambda: (7,)), "float": (float, lambda: (1.5,)), "list": (list, lambda: ([1, "a"],)),
    "tuple": (tuple, lambda: ((1, "a"),)), "dict": (dict, lambda: ({"a": 1},)), "set": (set, lambda: ({1},)),
    "frozenset": (frozenset, lambda: (frozenset({1}),)),
}


@functools.lru_cache(maxsize=None)
def hostile_class(base: str, behaviours: tuple) -> type:
    namespace = {}
    for slot, choice in behaviours:
        if slot in PROPERTIES:
            namespace[slot] = property(PROPERTIES[slot][1][choice])
        else:
            namespace[slot] = SLOTS[slot][1][choice]
    return type(f"Hostile_{base}", (BASES[base][0],), namespace)


def behaviours(max_size=3, mutate=True):
    """Recipes of (slot, choice) pairs; without `mutate`, every choice gives
    the same outcome each time, so two runs over one input can be compared."""
    return st.lists(st.sampled_from(_slot_choices(mutate)), max_size=max_size,
                    unique_by=lambda pair: pair[0]).map(tuple)


# ---------------------------------------------------------------------------
# Recipes.

# No "/" anywhere, and names made of dots only are replaced: a generated name
# can never leave the folder it is joined to.
SAFE_TEXT = st.text(st.sampled_from("ab_-.*xyzé€\U0001f600 \0\udcff\ud800P"), max_size=8).map(
    lambda text: text if text.strip(".") else text + "n")


def atoms():
    """Recipes of plain values: every type the argument checks may refuse."""
    return st.one_of(st.sampled_from(ATOM_POOL), SAFE_TEXT.map(lambda t: ("atom", t)),
                     st.integers(-2**70, 2**70).map(lambda i: ("atom", i)))


ODDITIES = {
    "object": object, "type": lambda: int, "function": lambda: (lambda _: 0), "builtin": lambda: len,
    "bytearray": lambda: bytearray(b"ba"), "memoryview": lambda: memoryview(b"mv"), "range": lambda: range(3),
    "complex": lambda: 1 + 2j, "ellipsis": lambda: ..., "notimplemented": lambda: NotImplemented,
    "exception": lambda: ValueError("v"), "deque": lambda: collections.deque([1, 2]),
    "mappingproxy": lambda: type.__dict__["__dict__"].__get__(int), "pure-path": lambda: PurePosixPath("pp"),
    "str-subclass": lambda: LongName("sub"), "generator": lambda: (i for i in range(2)),
    "set": lambda: {1, 2}, "frozenset": lambda: frozenset({"f"}), "module-function": lambda: os.getcwd,
}


ATOM_POOL = [
    *[("atom", value) for value in (None, True, False, 0, 1, -1, 2**63, 0.0, -1.5, float("nan"), float("inf"),
                                     "", "*", "x", "\0", "\udcff", b"", b"x", b"\0")],
    *[("long", kind, length) for kind in ("str", "bytes", "bytearray") for length in (3999, 4000, 4001, 10000)],
    *[("bigint", digits, negative) for digits in (3999, 4301, 5000) for negative in (False, True)],
    *[("odd", name) for name in sorted(ODDITIES)],
]


def _slot_choices(mutate):
    return [(slot, choice) for slot, (_, choices) in sorted({**SLOTS, **PROPERTIES}.items())
            for choice in sorted(choices) if mutate or choice != "mutate"]


@functools.lru_cache(maxsize=None)
def _hostile_singles(mutate):
    return [("hostile", base, (pair,)) for base in sorted(BASES) for pair in _slot_choices(mutate)]


def hostile(mutate=True):
    """Recipes of hostile objects: mostly one bad slot (one draw), sometimes
    two or none."""
    return st.one_of(st.sampled_from(_hostile_singles(mutate)),
                     st.tuples(st.just("hostile"), st.sampled_from(sorted(BASES)), behaviours(mutate=mutate)))


def hashables(mutate=True):
    """Recipes of dictionary keys: mostly text, sometimes anything hashable-looking."""
    return st.one_of(SAFE_TEXT.map(lambda t: ("atom", t)), atoms(), hostile(mutate))


CONTAINER_KINDS = {
    "list": ["list", "list-subclass"], "tuple": ["tuple", "tuple-subclass", "namedtuple"],
    "dict": ["dict", "dict-subclass", "OrderedDict", "defaultdict", "Counter"],
}


CONTAINER_SHAPES = [(tag, kind) for tag, kinds in CONTAINER_KINDS.items() for kind in kinds]


def leaves(mutate=True, extra=()):
    """Recipes of single values, cheap to draw: plain ones (and `extra`
    ones), and hostile ones with one bad slot."""
    plain = ATOM_POOL + [("atom", text) for text in ("a", "password", "x" * 40, "é", "\U0001f600")] + list(extra)
    return st.one_of(st.sampled_from(plain), st.sampled_from(_hostile_singles(mutate)))


def values(max_leaves=8, mutate=True, extra_leaves=()):
    """Recipes of nested values: every container kind, and subclasses with
    hostile slots.

    Drawn flat (the leaves, the containers, their keys) and nested by
    `assemble`, which is several times cheaper to generate than a recursive
    strategy and shrinks as well. (Values that contain themselves end in the
    recursion limit, which takes long to reach; they have tests of their own.)"""
    leaf = leaves(mutate, extra_leaves)
    plain_shapes = [(shape, ()) for shape in CONTAINER_SHAPES]
    hostile_shapes = [(shape, (pair,)) for shape in CONTAINER_SHAPES if shape[1].endswith("subclass")
                      for pair in _slot_choices(mutate)]
    container = st.one_of(st.sampled_from(plain_shapes), st.sampled_from(hostile_shapes))
    keys = st.one_of(st.sampled_from([("atom", key) for key in ("password", "user", "", None, 1, 2.5, (1,))]),
                     st.sampled_from(_hostile_singles(mutate)))
    return st.builds(assemble, st.lists(leaf, max_size=max_leaves), st.lists(container, max_size=max_leaves),
                     st.lists(keys, max_size=4), st.integers(0, 2**32))


def assemble(leaf_recipes, containers, keys, seed):
    """Nests the leaves: each container in turn takes a run of up to four of
    the items so far (leaves and containers made before it) as its children."""
    items = list(leaf_recipes)
    random = Random(seed)
    for index, ((tag, kind), slots) in enumerate(containers):
        take = random.randint(0, min(len(items), 4))
        start = random.randint(0, len(items) - take)
        children = items[start:start + take]
        if tag == "dict":
            children = [(keys[i] if i < len(keys) else ("atom", f"k{index}.{i}"), child)
                        for i, child in enumerate(children)]
        items[start:start + take] = [(tag, kind, slots, children)]
    if len(items) == 1:
        return items[0]
    return ("list", "list", (), items)


# ---------------------------------------------------------------------------
# Building.


_PLAIN_SUBCLASSES = {"list": type("ListSub", (list,), {}), "tuple": type("TupleSub", (tuple,), {}),
                     "dict": type("DictSub", (dict,), {})}


def _subclass(base: str, slots: tuple) -> type:
    return hostile_class(base, slots) if slots else _PLAIN_SUBCLASSES[base]


@functools.lru_cache(maxsize=None)
def _named_tuple(size: int) -> type:
    return collections.namedtuple(f"Named{size}", [f"f{i}" for i in range(size)])


# Builders of recipes that only some tests use (tag -> builder of the recipe).
BUILDERS: dict = {}


def build(recipe):
    """The object a recipe describes. Containers made here are registered as
    victims of the `mutate` behaviour."""
    tag = recipe[0]
    if tag in BUILDERS:
        return BUILDERS[tag](recipe)
    if tag == "atom":
        return recipe[1]
    if tag == "long":
        _, kind, length = recipe
        return {"str": "s" * length, "bytes": b"b" * length, "bytearray": bytearray(length)}[kind]
    if tag == "bigint":
        _, digits, negative = recipe
        return (-1 if negative else 1) * 10 ** digits
    if tag == "odd":
        return ODDITIES[recipe[1]]()
    if tag == "hostile":
        _, base, slots = recipe
        return hostile_class(base, slots)(*BASES[base][1]())
    if tag == "path":
        return build_path(recipe)
    if tag == "list":
        _, kind, slots, children = recipe
        cls = list if kind == "list" else _subclass("list", slots)
        result = cls()
        VICTIMS.append(result)
        list.extend(result, [build(child) for child in children])
        return result
    if tag == "tuple":
        _, kind, slots, children = recipe
        items = [build(child) for child in children]
        if kind == "namedtuple":
            return _named_tuple(len(items))(*items)
        return tuple(items) if kind == "tuple" else _subclass("tuple", slots)(items)
    if tag == "dict":
        _, kind, slots, pairs = recipe
        cls = {"dict": dict, "OrderedDict": collections.OrderedDict, "Counter": collections.Counter,
               "defaultdict": functools.partial(collections.defaultdict, list)}.get(kind)
        result = cls() if cls is not None else _subclass("dict", slots)()
        VICTIMS.append(result)
        for key, value in pairs:
            try:
                dict.__setitem__(result, build(key), build(value))
            except (Exception, Marker):  # a key that cannot be hashed stays out
                pass
        return result
    raise ValueError(f"unknown recipe {recipe!r}")


# ---------------------------------------------------------------------------
# Calls.


@dataclass(frozen=True)
class CallRecipe:
    """Positional argument recipes, keyword (name, recipe) pairs, and how the
    call is made: directly, through `__call__`, or with the keywords in a dict
    that may hold names that are not str."""

    positional: tuple
    keywords: tuple
    style: str


KEYWORD_NAMES = {"unknown": "bogus", "logger": "logger", "int": 1, "bytes": b"path", "none": None}
STYLES = ("direct", "dunder-call", "dict")


class KeywordName(str):
    """A keyword name of a str subclass that compares and hashes like its text."""


def call_recipes(params, any_value=None):
    """Calls of an operation whose parameters are `params`, a list of (name,
    strategy of value recipes): usually well formed, often not (too few or too
    many arguments, unknown, repeated or non-str keywords)."""
    if any_value is None:
        any_value = st.one_of(atoms(), hostile())
    names = [name for name, _ in params]

    extras = [None, None, None, "repeat", "subclass", *KEYWORD_NAMES]
    shape = st.tuples(st.integers(0, len(params) + 1), st.integers(0, 2 ** len(params) - 1),
                      st.sampled_from([(extra, style) for extra in extras for style in STYLES]))

    @st.composite
    def recipe(draw):
        # how many positional arguments, which parameters also come by
        # keyword, and what else is wrong with the call: one draw each
        count, by_keyword, (extra, style) = draw(shape)
        positional = tuple(draw(params[i][1] if i < len(params) else any_value) for i in range(count))
        keywords = [(names[index], draw(params[index][1])) for index in range(count, len(params))
                    if by_keyword >> index & 1]
        if extra == "repeat" and names:
            keywords.append((names[by_keyword % len(names)], draw(any_value)))
        elif extra == "subclass" and names:
            keywords.append((("subclass", names[by_keyword % len(names)]), draw(any_value)))
        elif extra in KEYWORD_NAMES:
            keywords.append((("extra", extra), draw(any_value)))
        return CallRecipe(positional, tuple(keywords), style)

    return recipe()


def _keyword_name(name):
    if isinstance(name, tuple):
        kind, value = name
        return KeywordName(value) if kind == "subclass" else KEYWORD_NAMES[value]
    return name


def make_call(function, recipe: CallRecipe):
    """A callable that makes the call the recipe describes."""
    args = [build(item) for item in recipe.positional]
    keywords = [(_keyword_name(name), build(value)) for name, value in recipe.keywords]
    plain = all(isinstance(name, str) for name, _ in keywords)
    names = [name for name, _ in keywords]
    if recipe.style == "dict" or not plain or len(set(names)) != len(names):
        # repeated or non-str names can only arrive through a dict (a repeated
        # name then meets its positional twin)
        mapping = {}
        for name, value in keywords:
            mapping[name] = value
        return lambda: function(*args, **mapping)
    if recipe.style == "dunder-call":
        return lambda: function.__call__(*args, **dict(keywords))
    return lambda: function(*args, **dict(keywords))


# ---------------------------------------------------------------------------
# The property every call must have.


@dataclass
class Outcome:
    result: object = None
    error: BaseException | None = None


def _chain(error):
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        yield error
        error = error.__cause__ or error.__context__


def outcome(call) -> Outcome:
    """Runs `call` while another exception is being handled. It must return or
    raise an ordinary exception (one derived from Exception but not
    SystemError, or the hostile objects' own Marker), with no SystemError
    anywhere in its chain, and leave the handled exception as it was."""
    outer = LookupError("being handled around the call")
    try:
        raise outer
    except LookupError:
        result = error = None
        try:
            result = call()
        except BaseException as caught:  # judged below
            error = caught
        handled = sys.exception()
    assert handled is outer, f"the handled exception changed to {handled!r}"
    if error is not None:
        if not isinstance(error, (Exception, Marker)):
            raise error
        for link in _chain(error):
            assert not isinstance(link, SystemError), f"SystemError in the chain: {link!r}"
    return Outcome(result, error)


def raised(outcome_: Outcome) -> tuple | None:
    """(type, message) of a raised exception and of its cause, for comparing
    two outcomes."""
    if outcome_.error is None:
        return None
    cause = outcome_.error.__cause__
    return type(outcome_.error), str(outcome_.error), type(cause), cause is not None and str(cause)


def fresh_input():
    """Forget the containers of the previous input."""
    VICTIMS.clear()


def path_recipes(names=("a", "b", "f.txt", "d", "link", "loop", "dangling")):
    """Recipes of paths below the working folder (the tests run inside a
    temporary one), in every form a path argument may take, and odd objects."""
    parts = st.lists(st.sampled_from(names), min_size=0, max_size=3)
    return st.one_of(
        st.tuples(st.just("path"), st.sampled_from(["str", "Path", "pathlike", "PurePath", "bytes"]), parts),
        atoms(), hostile())


def build_path(recipe):
    _, form, parts = recipe
    text = os.path.join(".", *parts)
    if form == "Path":
        return Path(text)
    if form == "PurePath":
        return PurePosixPath(text)
    if form == "bytes":
        return os.fsencode(text)
    if form == "pathlike":
        return _PathLike(text)
    return text


class _PathLike:
    def __init__(self, text):
        self.text = text

    def __fspath__(self):
        return self.text

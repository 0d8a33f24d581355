"""The value walkers over generated values (every container kind and
subclass, hostile leaves and keys, other limits, leaves that replace or
remove the module globals the walk goes through): the result, or the
exception, is exactly what the described steps written plainly in Python
give."""

from __future__ import annotations

import contextlib
import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import helpers_collector as collector
import helpers_hostile as hostile
import tools.common.bulkshade as shade_module
import tools.common.secretshroud as shroud_module
from helpers_hostile import SAFE_TEXT, build, call_recipes, outcome
from helpers_walkers import assert_same_result, reference_bulkshade, secretshroud_rendering

# Hostile objects answer comparisons with NotImplemented and pass odd file
# objects on by design; the interpreter and the locking package warn about that.
pytestmark = pytest.mark.filterwarnings(
    "ignore:NotImplemented should not be used in a boolean context:DeprecationWarning",
    "ignore:bool is used as a file descriptor:RuntimeWarning")

BULKSHADE = shade_module.bulkshade
SECRETSHROUD = shroud_module.secretshroud
IMPORT_RECORD = shade_module._const
MISSING = object()


class Record:
    def __init__(self, limit):
        self.char_limit = limit


def relay(function, *names):
    """A Python function in place of a walker's module global: nested calls
    then go through it, the general way."""

    def call(**kwargs):
        assert set(kwargs) == set(names)
        return function(**kwargs)

    return call


RELAYS = {"bulkshade": relay(BULKSHADE, "value"), "secretshroud": relay(SECRETSHROUD, "name", "value")}
NATIVE = {"bulkshade": BULKSHADE, "secretshroud": SECRETSHROUD}
MODULES = {"bulkshade": shade_module, "secretshroud": shroud_module}


def set_global(module, name, value):
    if value is MISSING:
        vars(module).pop(name, None)
    else:
        setattr(module, name, value)


# What a meddling leaf does to the walkers' modules when its text form or
# its class is asked for.
EFFECTS = {
    "limit 2": lambda: set_global(shade_module, "_const", Record(2)),
    "limit 5 in place": lambda: object.__setattr__(IMPORT_RECORD, "char_limit", 5),
    "import record": lambda: set_global(shade_module, "_const", IMPORT_RECORD),
    "no record": lambda: set_global(shade_module, "_const", MISSING),
    **{f"{walker} {how}": (lambda walker=walker, how=how: set_global(
        MODULES[walker], walker, {"relay": RELAYS, "native": NATIVE}.get(how, {}).get(walker, MISSING)))
       for walker in MODULES for how in ("relay", "native", "gone")},
}


class Meddler:
    def __init__(self, effect):
        self.effect = effect

    def __format__(self, format_spec):
        EFFECTS[self.effect]()
        return f"meddled: {self.effect}"

    @property
    def __class__(self):
        EFFECTS[self.effect]()
        return Meddler


hostile.BUILDERS["meddler"] = lambda recipe: Meddler(recipe[1])
VALUES = hostile.values(max_leaves=16, mutate=False, extra_leaves=[("meddler", effect) for effect in EFFECTS])
NAMES = st.one_of(st.sampled_from(["password", "DB_Password", "pwd", "passwd", "user", "PÄSSWORD", "İpwd"]),
                  SAFE_TEXT, st.none())
# What `_const` may be replaced by: a record with another limit, or an object whose limit misbehaves.
LIMITS = st.one_of(st.none(), st.sampled_from([0, 1, 3, 23, 24, 25, 4000, -1, 2**70, 2.5, "10", True]),
                   hostile.hostile(mutate=False))


@contextlib.contextmanager
def walker_modules(limit=None, in_place=False, through_python=False):
    """The walkers' modules set up for one run (another limit, in another
    record or in the one made at import; nested calls through Python), and
    put back as they were afterwards, whatever the run changed."""
    saved = [(vars(module), dict(vars(module))) for module in MODULES.values()]
    saved_limit = IMPORT_RECORD.char_limit
    try:
        if limit is not None:
            limit = build(limit) if isinstance(limit, tuple) else limit
            if in_place:
                object.__setattr__(IMPORT_RECORD, "char_limit", limit)
            else:
                shade_module._const = Record(limit)
        if through_python:
            for name, module in MODULES.items():
                setattr(module, name, RELAYS[name])
        yield
    finally:
        # The namespaces as they were, in their order too: a name that was
        # removed and put back would otherwise come last.
        for namespace, before in saved:
            namespace.clear()
            namespace.update(before)
        object.__setattr__(IMPORT_RECORD, "char_limit", saved_limit)


def compared(native, expected, given_value):
    if isinstance(expected.error, RecursionError):
        assert isinstance(native.error, RecursionError)  # the depth at which it happens differs
        return
    assert hostile.raised(native) == hostile.raised(expected)
    if native.error is None:
        assert_same_result(native.result, expected.result, given_value)


@given(value=VALUES, limit=LIMITS, in_place=st.booleans(), through_python=st.booleans())
def test_bulkshade_follows_the_steps(value, limit, in_place, through_python):
    hostile.fresh_input()
    given_value = build(value)
    with walker_modules(limit, in_place, through_python):
        native = outcome(lambda: BULKSHADE(given_value))
    with walker_modules(limit, in_place, through_python):
        expected = outcome(lambda: reference_bulkshade(shade_module, BULKSHADE)(given_value))
    compared(native, expected, given_value)


@given(name=NAMES, value=VALUES, through_python=st.booleans())
def test_secretshroud_follows_the_steps(name, value, through_python):
    hostile.fresh_input()
    given_value = build(value)
    with walker_modules(through_python=through_python):
        native = outcome(lambda: SECRETSHROUD(name, given_value))
    with walker_modules(through_python=through_python):
        expected = outcome(lambda: secretshroud_rendering(shroud_module, SECRETSHROUD)(name, given_value))
    compared(native, expected, given_value)


@pytest.mark.parametrize("walk", [lambda v: BULKSHADE(v), lambda v: SECRETSHROUD("pwd", v)],
                         ids=["bulkshade", "secretshroud"])
@given(value=hostile.values(max_leaves=16, mutate=True, extra_leaves=[("meddler", effect) for effect in EFFECTS]))
def test_walkers_survive_values_that_change_under_them(walk, value):
    hostile.fresh_input()
    with walker_modules():
        outcome(lambda: walk(build(value)))


@given(call=call_recipes([("value", VALUES)]))
def test_bulkshade_calls(call):
    hostile.fresh_input()
    with walker_modules():
        outcome(hostile.make_call(BULKSHADE, call))


@given(call=call_recipes([("name", NAMES.map(lambda n: ("atom", n))), ("value", VALUES)]))
def test_secretshroud_calls(call):
    hostile.fresh_input()
    with walker_modules():
        outcome(hostile.make_call(SECRETSHROUD, call))


@pytest.mark.parametrize("walker", ["bulkshade", "secretshroud"])
@settings(max_examples=min(settings.default.max_examples, 300))
@given(value=collector.VALUES, copies=st.integers(1, 25), name=st.sampled_from(["password", "user", None]),
       seed=st.integers(0, 2**32 - 1), threshold=collector.THRESHOLDS)
def test_walkers_while_finalizers_and_gc_hooks_change_the_input(walker, value, copies, name, seed, threshold):
    """Whenever the collector runs the finalizers and hooks, inside the walk's
    allocations (3.11) or between its Python steps: no crash, and a result
    made of pairs the input held, masked and hidden as due."""
    given_value = [copy.deepcopy(value) for _ in range(copies)]
    with collector.busy_collector(given_value, seed, threshold) as ledger:
        try:
            result = BULKSHADE(given_value) if walker == "bulkshade" else SECRETSHROUD(name, given_value)
        except RuntimeError as error:
            assert collector.changed_during_iteration(error), error
            return
    if walker == "bulkshade":
        collector.check_shaded(result, ledger)
    else:
        collector.check_shrouded(result, ledger, name)

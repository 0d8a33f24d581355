"""The value walkers over generated values (every container kind and
subclass, hostile leaves and keys, other limits and other module globals): the result, or the exception, is exactly what the
described steps written plainly in Python give."""

from __future__ import annotations

import contextlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import helpers_hostile as hostile
import tools.common.bulkshade as shade_module
import tools.common.secretshroud as shroud_module
from helpers_hostile import SAFE_TEXT, build, call_recipes, outcome
from helpers_walkers import assert_same_result, reference_bulkshade, reference_secretshroud

VALUES = hostile.values(max_leaves=16, mutate=False)
NAMES = st.one_of(st.sampled_from(["password", "DB_Password", "pwd", "passwd", "user", "PÄSSWORD", "İpwd"]),
                  SAFE_TEXT, st.none())
# What `_const` may be replaced by: a record with another limit, or an object whose limit misbehaves.
LIMITS = st.one_of(st.none(), st.sampled_from([0, 1, 3, 23, 24, 25, 4000, -1, 2**70, 2.5, "10", True]),
                   hostile.hostile(mutate=False))


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


def compared(native, expected, given_value):
    if isinstance(expected.error, RecursionError):
        assert isinstance(native.error, RecursionError)  # the depth at which it happens differs
        return
    assert hostile.raised(native) == hostile.raised(expected)
    if native.error is None:
        assert_same_result(native.result, expected.result, given_value)


@contextlib.contextmanager
def frozen_field(record, name, value):
    """The field of a frozen record rewritten in place, then restored."""
    before = getattr(record, name)
    object.__setattr__(record, name, value)
    try:
        yield
    finally:
        object.__setattr__(record, name, before)


BULKSHADE = shade_module.bulkshade
SECRETSHROUD = shroud_module.secretshroud


@given(value=VALUES, limit=LIMITS, in_place=st.booleans(), through_python=st.booleans())
def test_bulkshade_follows_the_steps(value, limit, in_place, through_python):
    hostile.fresh_input()
    given_value = build(value)
    with pytest.MonkeyPatch.context() as patch, contextlib.ExitStack() as stack:
        if limit is not None:
            limit = build(limit) if isinstance(limit, tuple) else limit
            if in_place:  # the record made at import keeps its identity
                stack.enter_context(frozen_field(shade_module._const, "char_limit", limit))
            else:
                patch.setattr(shade_module, "_const", Record(limit))
        if through_python:
            patch.setattr(shade_module, "bulkshade", relay(BULKSHADE, "value"))
        native = outcome(lambda: BULKSHADE(given_value))
        expected = outcome(lambda: reference_bulkshade(shade_module)(given_value))
    compared(native, expected, given_value)


@given(name=NAMES, value=VALUES, through_python=st.booleans())
def test_secretshroud_follows_the_steps(name, value, through_python):
    hostile.fresh_input()
    given_value = build(value)
    with pytest.MonkeyPatch.context() as patch:
        if through_python:
            patch.setattr(shroud_module, "secretshroud", relay(SECRETSHROUD, "name", "value"))
        native = outcome(lambda: SECRETSHROUD(name, given_value))
    expected = outcome(lambda: reference_secretshroud(name, given_value))
    compared(native, expected, given_value)


@pytest.mark.parametrize("walk", [lambda v: shade_module.bulkshade(v), lambda v: shroud_module.secretshroud("pwd", v)],
                         ids=["bulkshade", "secretshroud"])
@given(value=hostile.values(max_leaves=16, mutate=True))
def test_walkers_survive_values_that_change_under_them(walk, value):
    hostile.fresh_input()
    outcome(lambda: walk(build(value)))


@given(call=call_recipes([("value", VALUES)]))
def test_bulkshade_calls(call):
    hostile.fresh_input()
    outcome(hostile.make_call(shade_module.bulkshade, call))


@given(call=call_recipes([("name", NAMES.map(lambda n: ("atom", n))), ("value", VALUES)]))
def test_secretshroud_calls(call):
    hostile.fresh_input()
    outcome(hostile.make_call(shroud_module.secretshroud, call))

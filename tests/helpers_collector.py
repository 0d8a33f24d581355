"""A busy cyclic garbage collector for the randomised tests of the quick paths.

While `busy_collector` is active, cyclic garbage whose finalizers change the
input (a value replaced, a key swapped for another, same size or not) is
collected as often as the interpreter collects, `gc.set_threshold(1)` where
asked, and a `gc.callbacks` hook grows the dicts it finds under
construction through `gc.get_objects()`. On 3.11 that runs inside any
allocation of the native code; from 3.12 on between Python steps.

What such code does cannot be foreseen, so the tests check what any run of
the described steps gives whenever that code runs: every dict pair of a
result is one a container held at some point (the `Ledger` records them all),
every leaf is an object the input held, masked and hidden as due.
"""

from __future__ import annotations

import contextlib
import gc
import random

from hypothesis import strategies as st

PASSWORD_KEYS = ("password", "DB_Password", "pwd")
KEYS = ("user", "host", "note", "blob") + PASSWORD_KEYS
HEAD, TAIL = "\n{\n", "\n...big-content hidden...\n}\n" + " " * 16
LIMIT = 4000

LEAVES = st.one_of(st.sampled_from(["", "x", "s3cret", "é-ü", "L" * 4001, "M" * 5000]), st.integers(-5, 2**70),
                   st.none(), st.floats(allow_nan=False))
VALUES = st.recursive(
    LEAVES,
    lambda inner: st.one_of(st.dictionaries(st.sampled_from(KEYS), inner, max_size=5),
                            st.lists(inner, max_size=6), st.lists(inner, max_size=4).map(tuple)),
    max_leaves=40)
THRESHOLDS = st.sampled_from([1, 1, 7, 100, None])  # None: the interpreter's own


def is_password_like(name) -> bool:
    return isinstance(name, str) and ("password" in name.lower() or "pwd" in name.lower())


class Ledger:
    """Every value and every (key, value) pair that a container of the input held."""

    def __init__(self):
        self.values: dict[int, object] = {}  # kept alive, so that ids stay unique
        self.pairs: set[tuple[object, int]] = set()

    def record(self, value):
        self.values[id(value)] = value
        if type(value) is dict:
            for key, item in value.items():
                self.pairs.add((key, id(item)))
                self.record(item)
        elif type(value) in (list, tuple):
            for item in value:
                self.record(item)

    def held(self, value) -> bool:
        return self.values.get(id(value)) is value

    def keys(self) -> set:
        return {key for key, _ in self.pairs}


def containers(value) -> list:
    """The dicts and lists in `value`: what the finalizers change."""
    found = []
    if type(value) in (dict, list):
        found.append(value)
    for item in (value.values() if type(value) is dict else value if type(value) in (list, tuple) else ()):
        found += containers(item)
    return found


class Meddling:
    """One piece of cyclic garbage: its finalizer changes a victim and leaves
    another piece behind, until the budget runs out."""

    def __init__(self, busy: "BusyCollector"):
        self.busy = busy
        self.cycle = self

    def __del__(self):
        self.busy.meddle()


class BusyCollector:
    def __init__(self, victims, ledger: Ledger, seed: int, changes, budget: int = 400):
        self.victims, self.ledger, self.changes, self.budget = victims, ledger, changes, budget
        self.victim_ids = {id(victim) for victim in victims}
        self.keys = set(KEYS) | ledger.keys()
        self.random = random.Random(seed)
        self.made = 0
        self.sweeps = 2

    def fresh_value(self):
        self.made += 1
        value = self.random.choice([lambda: f"s3cret-{self.made}", lambda: "F" * 4500, lambda: self.made,
                                    lambda: {"password": f"hidden-{self.made}", "user": "u"}, lambda: None])()
        self.ledger.record(value)
        return value

    def put(self, victim, key, value):
        victim[key] = value
        if type(victim) is dict:
            self.ledger.pairs.add((key, id(value)))
            self.keys.add(key)

    def meddle(self):
        """One change of one victim, of the kinds asked for: a new value in
        place of one (same size), a key swapped for another (same size), one
        more item, or a new value under one key of every dict."""
        if self.budget <= 0 or not self.victims:
            return
        self.budget -= 1
        change = self.random.choice(self.changes)
        if change == "sweep" and self.sweeps:
            self.sweep()
        victim = self.random.choice(self.victims)
        if type(victim) is dict and victim:
            key = self.random.choice(list(victim))
            if change == "key":
                del victim[key]
                key = self.random.choice(KEYS + (f"new-{self.made}",))
            elif change == "grow":
                key = f"more-{self.made}"
            self.put(victim, key, self.fresh_value())
        elif type(victim) is list:
            if change == "grow" or not victim:
                victim.append(self.fresh_value())
            else:
                self.put(victim, self.random.randrange(len(victim)), self.fresh_value())
        self.arm()

    def sweep(self):
        """A cache refresh, say: whatever the native code holds borrowed from
        the dicts under that key is freed."""
        self.sweeps -= 1
        key = self.random.choice(KEYS)
        for victim in self.victims:
            if type(victim) is dict and key in victim:
                self.made += 1
                value = f"swept-{self.made}"
                self.ledger.record(value)
                self.put(victim, key, value)

    def arm(self):
        Meddling(self)

    def hook(self, phase, info):
        """gc.callbacks: grows one of the youngest dicts made of the input's
        keys that is not the input's own: a dict under construction."""
        if phase != "start" or self.budget <= 0:
            return
        self.budget -= 1
        for found in gc.get_objects(generation=0):
            if (type(found) is dict and found and id(found) not in self.victim_ids
                    and all(type(key) is str for key in found) and set(found) <= self.keys):
                self.made += 1
                self.put(found, f"grown-{self.made}", "g")
                self.ledger.record("g")
                return


ALL_CHANGES = ("value", "key", "grow", "sweep")


@contextlib.contextmanager
def busy_collector(value, seed: int, threshold: int | None, changes=ALL_CHANGES, victims=None):
    """Runs the block with the collector busy changing the `victims` (every
    dict and list of `value` by default; see BusyCollector.meddle for
    `changes`); yields the ledger of what the containers of `value` held."""
    ledger = Ledger()
    ledger.record(value)
    busy = BusyCollector(containers(value) if victims is None else victims, ledger, seed, changes)
    saved_threshold, was_enabled = gc.get_threshold(), gc.isenabled()
    # What was alive before (garbage included) stays out of the collections
    # in the block: they meet only what the block makes, and take no time
    # over the rest of the process, which after a few hundred tests is most
    # of each collection's work. The collection after the freeze finds
    # nothing, but starts every generation's count afresh.
    gc.freeze()
    gc.collect()
    gc.callbacks.append(busy.hook)
    try:
        gc.enable()
        if threshold is not None:
            # The older generations stay as they were: a full collection at
            # every allocation would take the test far too long.
            gc.set_threshold(threshold, *saved_threshold[1:])
        for _ in range(3):
            busy.arm()
        yield ledger
    finally:
        gc.set_threshold(*saved_threshold)
        gc.callbacks.remove(busy.hook)
        busy.budget = 0
        gc.collect()
        gc.unfreeze()
        (gc.enable if was_enabled else gc.disable)()


def check_shrouded(result, ledger: Ledger, name):
    """secretshroud's result: strings under a password-like name are masks,
    every other leaf one the input held (or "" for None)."""
    if type(result) is dict:
        for key, item in result.items():
            assert key in ledger.keys(), key
            check_shrouded(item, ledger, key)
    elif type(result) in (list, tuple):
        for item in result:
            check_shrouded(item, ledger, name)
    elif type(result) is str and is_password_like(name):
        assert set(result) <= {"*"}, (name, result[:40])
    else:
        assert result == "" or ledger.held(result), (name, repr(result)[:80])


def check_shaded(result, ledger: Ledger):
    """bulkshade's result: no text over the limit but the hidden form of a
    leaf the input held; every other leaf one the input held (or "")."""
    if type(result) is dict:
        for key, item in result.items():
            assert key in ledger.keys(), key
            check_shaded(item, ledger)
    elif type(result) in (list, tuple):
        for item in result:
            check_shaded(item, ledger)
    elif type(result) is str and len(result) > LIMIT:
        assert result.startswith(HEAD) and result.endswith(TAIL) and len(result) == LIMIT + len(HEAD + TAIL)
        excerpt = result[len(HEAD):-len(TAIL)]
        assert any(format(leaf, "").startswith(excerpt) for leaf in ledger.values.values()
                   if type(leaf) not in (dict, list, tuple)), excerpt[:40]
    else:
        assert result == "" or ledger.held(result), repr(result)[:80]


def changed_during_iteration(error: BaseException) -> bool:
    return type(error) is RuntimeError and str(error) in ("dictionary changed size during iteration",
                                                          "dictionary keys changed during iteration")


"""Every operation called many times, on its way to a result and on each way
to an error: the interpreter's allocated blocks (and, on a debug interpreter,
its total of references) and the process's open file descriptors stay flat."""

from __future__ import annotations

import contextlib
import gc
import inspect
import os
import sys
import types

import portalocker
import pytest

import logger
import tools.common.bulkshade as shade_module
import tools.common.secretshroud as shroud_module
import tools.common.slotwarden as slotwarden_module
import tools.folders.folders as folders_module
import tools.launchbrief.launchbrief as launchbrief_module
from tools.common.bulkshade import bulkshade
from tools.common.secretshroud import secretshroud
from tools.common.slotwarden import SlotWarden
from tools.common.whereabouts import whereabouts
from tools.files.files import File
from tools.folders.folders import Folder
from tools.launchbrief.launchbrief import launchbrief
from tools.tables.tables import Table

# With PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no
# blocks; then only descriptors are counted, for which a few calls will do.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0
LOOPS = 100 if COUNTS_BLOCKS else 10
ROUNDS = 3
# Blocks that the interpreter's and the standard library's caches take as
# they warm up: a few dozen over thousands of calls that open and lock files,
# for the same steps written in Python too. A reference leaked per call
# grows the count by at least LOOPS.
TOLERANCE = LOOPS // 2
# A debug interpreter also counts every reference it holds: a reference
# leaked to an object that already exists allocates no block, but shows here.
# (So do extensions built against the release headers instead of its own,
# whose reference counting it does not see: every call then grows the total.)
COUNTS_REFERENCES = hasattr(sys, "gettotalrefcount")


def total_references() -> int:
    return sys.gettotalrefcount() if COUNTS_REFERENCES else 0


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def growth(call, loops=LOOPS) -> tuple[int, int, int]:
    """Growth of (allocated blocks, references, open descriptors) over `loops`
    calls: the smallest of a few rounds, after a warm-up."""
    for _ in range(2 * loops):
        call()
    blocks, references, descriptors = [], [], []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.getallocatedblocks(), total_references(), open_descriptors()
        for _ in range(loops):
            call()
        gc.collect()
        blocks.append(sys.getallocatedblocks() - before[0])
        references.append(total_references() - before[1])
        descriptors.append(open_descriptors() - before[2])
    return min(blocks), min(references), min(descriptors)


class Failing:
    def debug(self, message, **flags):
        raise RuntimeError("debug failed")


class BadTruth:
    def __bool__(self):
        raise ValueError("no truth")


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Str(str):
    pass


class Vault:
    def __init__(self):
        self.__balance = 10

    @property
    def broken(self):
        raise ValueError("getter failed")


class BadFormat:
    def __format__(self, format_spec):
        return 5


class List(list):
    pass


class Tuple(tuple):
    pass


class Dict(dict):
    pass


def shrinking_dict():
    class Shrinking:
        def __format__(self, format_spec):
            del changed["b"]
            return "x"

    changed = {"a": Shrinking(), "b": 1}
    return changed


NESTED = [{"k": ("v" * 10, None, 3.5, [1, 2, {"p": "q"}])}, (), {}, []] * 3
SELF_CONTAINING: list = []
SELF_CONTAINING.append({"again": SELF_CONTAINING})
BULKSHADE = shade_module.bulkshade
SECRETSHROUD = shroud_module.secretshroud


class OsProxy:
    """The standard `os`, but not the object the native counting recognises."""

    def __getattr__(self, name):
        return getattr(os, name)


class Setup:
    """What a case may use to prepare its call: the folder it works in,
    attribute patches and clean-ups, all undone after the case."""

    def __init__(self, root, monkeypatch, stack):
        self.root = root
        self.patch = monkeypatch.setattr
        self.later = stack.callback


def holding_lock(s):
    s.later(File.unlock, File.lock(s.root, "held.lock"))
    return lambda: File.lock(s.root, "held.lock")


# case -> (set-up(Setup) returning the call, the exception the call raises or
# None[, how many calls a round makes: fewer for the slow ones, whose leaks
# would be per level of a deep walk])
CASES = {
    # argument binding and checks, shared by every operation
    "too many arguments": (lambda s: lambda: Folder.exists.__wrapped__(s.root, s.root), TypeError),
    "unknown keyword": (lambda s: lambda: Folder.exists.__wrapped__(path=s.root, bogus=1), TypeError),
    "repeated keyword": (lambda s: lambda: Folder.exists.__wrapped__(s.root, path=s.root), TypeError),
    "non-str keyword": (lambda s: lambda: Folder.exists.__wrapped__(**{1: s.root}), TypeError),
    "keyword of a str subclass": (lambda s: lambda: Folder.exists.__wrapped__(**{Str("path"): s.root}), None),
    "missing argument": (lambda s: lambda: File.exists.__wrapped__(s.root), TypeError),
    "subclass refused with a note": (lambda s: lambda: File.exists(s.root, Str("f")), TypeError),
    "failing truth test": (lambda s: lambda: Folder.count(s.root, files=BadTruth()), ValueError),
    "through __call__": (lambda s: lambda: Folder.count.__wrapped__.__call__(s.root, folders=True), None),
    "signature": (lambda s: lambda: inspect.signature(Folder.count.__wrapped__), None),
    # folders
    "Folder.exists": (lambda s: lambda: Folder.exists(s.root / "a"), None),
    "Folder.exists refused path": (lambda s: lambda: Folder.exists(5), TypeError),
    "Folder.create existing": (lambda s: lambda: Folder.create(s.root / "a"), None),
    "Folder.create missing parent": (lambda s: lambda: Folder.create(s.root / "x" / "y", False),
                                     FileNotFoundError),
    "Folder.create over a file": (lambda s: lambda: Folder.create(s.root / "f.txt"), FileExistsError),
    "Folder.count listing": (lambda s: lambda: Folder.count(s.root, folders=True), None),
    "Folder.count walk": (lambda s: lambda: Folder.count(s.root, folders=True, recursive=True), None),
    "Folder.count step by step": (lambda s: s.patch(folders_module, "os", OsProxy())
                                  or (lambda: Folder.count(s.root, folders=True) + Folder.count(s.root, recursive=True)),
                                  None),
    "Folder.count mask": (lambda s: lambda: Folder.count(s.root, mask="*.txt"), NotImplementedError),
    "Folder.count missing": (lambda s: lambda: Folder.count(s.root / "missing"), FileNotFoundError),
    "Folder.count file": (lambda s: lambda: Folder.count(s.root / "f.txt"), NotADirectoryError),
    "Folder.remove": (lambda s: lambda: (Folder.create(s.root / "gone"), Folder.remove(s.root / "gone")), None),
    "Folder.remove tree": (lambda s: lambda: (Folder.create(s.root / "tree" / "b"),
                                                     Folder.remove(s.root / "tree", True)), None),
    "Folder.remove not empty": (lambda s: lambda: Folder.remove(s.root / "a"), OSError),
    "Folder.remove missing": (lambda s: lambda: Folder.remove(s.root / "missing"), FileNotFoundError),
    # files
    "File.exists": (lambda s: lambda: File.exists(s.root, "f.txt"), None),
    "File.read": (lambda s: lambda: File.read(s.root, "f.txt"), None),
    "File.read missing": (lambda s: lambda: File.read(s.root, "missing"), FileNotFoundError),
    "File.read failing logger": (lambda s: s.patch(File.read, "logger", Failing())
                                 or (lambda: File.read(s.root, "f.txt")), RuntimeError),
    "File.write": (lambda s: lambda: File.write(s.root / "w", "w.bin", b"data"), None),
    "File.write failing logger": (lambda s: s.patch(File.write, "logger", Failing())
                                  or (lambda: File.write(s.root, "w.bin", b"data")), RuntimeError),
    "File.write into a file": (lambda s: lambda: File.write(s.root / "f.txt", "w.bin"), FileExistsError),
    "File.rename": (lambda s: lambda: (File.rename(s.root, "r1", "r2"), File.rename(s.root, "r2", "r1")), None),
    "File.rename missing": (lambda s: lambda: File.rename(s.root, "missing", "r3"), FileNotFoundError),
    "File.copy": (lambda s: lambda: File.copy(s.root, "f.txt", s.root / "a", "copy.txt"), None),
    "File.copy missing": (lambda s: lambda: File.copy(s.root, "missing", s.root / "a"), FileNotFoundError),
    "File.lock and unlock": (lambda s: lambda: File.unlock(File.lock(s.root, "l.lock")), None),
    "File.lock held": (holding_lock, portalocker.LockException),
    "File.lock missing folder": (lambda s: lambda: File.lock(s.root / "missing", "l.lock"), FileNotFoundError),
    "File.lock failing logger": (lambda s: s.patch(File.lock, "logger", Failing())
                                 or (lambda: File.lock(s.root, "l.lock")), RuntimeError),
    "File.unlock not a file": (lambda s: lambda: File.unlock(5), Exception),
    "File.unlock failing logger": (lambda s: s.patch(File.unlock, "logger", Failing())
                                   or (lambda: File.unlock(open(s.root / "f.txt", "a+"))), RuntimeError),
    "File.remove": (lambda s: lambda: (File.write(s.root, "rm.bin"), File.remove(s.root, "rm.bin")), None),
    "File.remove missing": (lambda s: lambda: File.remove(s.root, "missing"), FileNotFoundError),
    # tables
    "Table": (lambda s: lambda: Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}] * 50}), None),
    "Table step by step": (lambda s: lambda: Table({"columns": [Str("a")], "data": [{"a": 1}] * 5}), None),
    "Table missing key": (lambda s: lambda: Table({"columns": []}), KeyError),
    "Table not a list": (lambda s: lambda: Table({"columns": (), "data": []}), TypeError),
    "Table row not a dict": (lambda s: lambda: Table({"columns": [], "data": [()]}), TypeError),
    "Table row length": (lambda s: lambda: Table({"columns": ["a"], "data": [{}]}), ValueError),
    "Table missing column": (lambda s: lambda: Table({"columns": ["a"], "data": [{"b": 1}]}), Exception),
    "Table refused description": (lambda s: lambda: Table([]), TypeError),
    "Table.filter": (lambda s: (lambda t: lambda: t.filter(include=["a"]))(
        Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}] * 50})), None),
    "Table.filter step by step": (lambda s: (lambda t: lambda: t.filter(include=[Str("a")]))(
        Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}] * 5})), None),
    "Table.filter failing in": (lambda s: (lambda t: lambda: t.filter(include=5))(
        Table({"columns": ["a"], "data": [{"a": 1}]})), TypeError),
    "Table text forms": (lambda s: (lambda t: lambda: (t.columns, t.data, repr(t), str(t)))(
        Table({"columns": ["a"], "data": [{"a": 1}]})), None),
    "Table property of a list subclass": (lambda s: (lambda t: lambda: t.columns)(
        Table({"columns": type("L", (list,), {})(), "data": []})), TypeError),
    "Table unwritten slots": (lambda s: lambda: repr(Table.__new__(Table)), AttributeError),
    # attribute access
    "SlotWarden.get_name": (lambda s: lambda: SlotWarden.get_name(Vault(), "__balance"), None),
    "SlotWarden.get_name failing class": (lambda s: lambda: SlotWarden.get_name(
        type("C", (), {"__class__": property(lambda self: 5)})(), "__x"), AttributeError),
    "SlotWarden.get_attribute": (lambda s: lambda: SlotWarden.get_attribute(Vault(), "__balance"), None),
    "SlotWarden.get_attribute missing": (lambda s: lambda: SlotWarden.get_attribute(Vault(), "__x"),
                                         AttributeError),
    "SlotWarden.set_attribute": (lambda s: lambda: SlotWarden.set_attribute(Vault(), "__balance", 5), None),
    "SlotWarden.set_attribute refused": (lambda s: lambda: SlotWarden.set_attribute(5, "x", 5),
                                         AttributeError),
    "SlotWarden.has_attribute": (lambda s: lambda: (SlotWarden.has_attribute(Vault(), "__balance"),
                                                           SlotWarden.has_attribute(Vault(), "__x")), None),
    "SlotWarden.has_attribute failing getter": (lambda s: lambda: SlotWarden.has_attribute(Vault(), "broken"),
                                                ValueError),
    "SlotWarden instance": (lambda s: lambda: (lambda w: (w.name, w.value, w.exists, setattr(w, "value", 3)))(
        SlotWarden(Vault(), "__balance")), None),
    "SlotWarden replaced methods": (lambda s: s.patch(
        slotwarden_module, "SlotWarden", type("Sub", (SlotWarden,), {
            "get_attribute": staticmethod(lambda obj, attr: 1), "has_attribute": staticmethod(lambda obj, attr: 2),
            "set_attribute": staticmethod(lambda obj, attr, value: None)}))
        or (lambda w: lambda: (w.value, w.exists, setattr(w, "value", 3)))(SlotWarden(Vault(), "__balance")), None),
    # A class made on every call moves a debug interpreter's total of
    # references by a few hundred either way; a leak per call outgrows that.
    "SlotWarden name of another type": (lambda s: lambda: type("Sub", (SlotWarden,), {
        "get_name": staticmethod(lambda obj, attr: 5)})(Vault(), "x").name, TypeError, 4 * LOOPS),
    # value walkers
    "bulkshade": (lambda s: lambda: bulkshade({"a": ["x" * 5000, (1, None)], "b": NESTED}), None),
    "bulkshade step by step": (lambda s: lambda: bulkshade(Dict(a=List([Tuple(["x" * 5000])]))), None),
    "bulkshade other limit": (lambda s: s.patch(shade_module, "_const", types.SimpleNamespace(char_limit=2))
                              or (lambda: bulkshade(NESTED)), None),
    "bulkshade through a Python global": (lambda s: s.patch(shade_module, "bulkshade",
                                                            lambda value=None: BULKSHADE(value=value))
                                          or (lambda: BULKSHADE(NESTED)), None),
    "bulkshade notice": (lambda s: lambda: bulkshade([10**5000]), None),
    "bulkshade failing text form": (lambda s: lambda: bulkshade([1, BadFormat()]), TypeError),
    "bulkshade changed dict": (lambda s: lambda: bulkshade(shrinking_dict()), RuntimeError),
    "bulkshade self-containing": (lambda s: lambda: bulkshade(SELF_CONTAINING), RecursionError, LOOPS // 10),
    "secretshroud": (lambda s: lambda: secretshroud("x", {"password": "secret", "b": NESTED, "pwd": ("a", None)}),
                     None),
    "secretshroud step by step": (lambda s: lambda: secretshroud("pwd", Dict(a=List([Str("x")]))), None),
    "secretshroud through a Python global": (lambda s: s.patch(shroud_module, "secretshroud",
                                                               lambda name=None, value=None: SECRETSHROUD(
                                                                   name=name, value=value))
                                             or (lambda: SECRETSHROUD("pwd", NESTED)), None),
    "secretshroud refused key": (lambda s: lambda: secretshroud("x", {"a": [1], 5: "b"}), TypeError),
    "secretshroud self-containing": (lambda s: lambda: secretshroud("x", SELF_CONTAINING), RecursionError,
                                     LOOPS // 10),
    # location lookup and start-up report
    "whereabouts file": (lambda s: lambda: whereabouts(__file__), None),
    "whereabouts func": (lambda s: lambda: whereabouts(func=growth), None),
    "whereabouts nothing": (lambda s: lambda: whereabouts(), None),
    "whereabouts refused path": (lambda s: lambda: whereabouts(5), TypeError),
    "whereabouts built-in": (lambda s: lambda: whereabouts(func=len), TypeError),
    "launchbrief printing": (lambda s: s.patch(sys, "stdout", Discard())
                             or (lambda: (os.environ.pop("leak:check", None), launchbrief("leak", "check"))), None),
    "launchbrief failing facts": (lambda s: s.patch(sys, "stdout", Discard())
                                  or s.patch(launchbrief_module, "getuser", lambda: 1 / 0)
                                  or (lambda: (os.environ.pop("leak:check", None), launchbrief("leak", "check"))),
                                  None),
    "launchbrief guard set": (lambda s: lambda: launchbrief("leak", "check"), None),
    "launchbrief refused": (lambda s: lambda: launchbrief(5), TypeError),
    "launchbrief refused guard name": (lambda s: lambda: launchbrief("a=b"), ValueError),
}


@pytest.fixture
def root(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "g.bin").write_bytes(b"g")
    (tmp_path / "f.txt").write_bytes(b"content")
    (tmp_path / "r1").write_bytes(b"r")
    os.symlink("a", tmp_path / "link")
    yield tmp_path
    os.environ.pop("leak:check", None)


@pytest.mark.parametrize("case", CASES)
def test_no_growth(case, root, monkeypatch):
    setup, error, *loops = CASES[case]
    with contextlib.ExitStack() as stack:
        check_no_growth(setup(Setup(root, monkeypatch, stack)), error, *loops)


def check_no_growth(function, error, loops=LOOPS):

    def call():
        logger.reset()
        try:
            function()
        except error or ():
            pass
        else:
            assert error is None, f"expected {error.__name__}"

    blocks, references, descriptors = growth(call, loops)
    if blocks > TOLERANCE * loops // LOOPS:
        # A bounded cache that earlier tests in this process left half full
        # goes on filling for a few hundred calls: measure again once it is
        # full. A leak grows the count just as much the second time.
        for _ in range(10 * loops):
            call()
        blocks, references, descriptors = growth(call, loops)
    assert descriptors == 0
    if COUNTS_BLOCKS:
        assert blocks <= TOLERANCE * loops // LOOPS
    assert references <= TOLERANCE * loops // LOOPS


# The check itself: a call that keeps one reference too many, or one open
# descriptor, per call must fail it.


EXISTING = [1, 2]


@pytest.mark.parametrize("target, counted", [
    pytest.param(list, COUNTS_BLOCKS, id="to a new object"),
    pytest.param(lambda: EXISTING, COUNTS_REFERENCES, id="to an existing object"),
])
def test_check_fails_on_a_leaked_reference(target, counted):
    if not counted:
        pytest.skip("this interpreter counts neither such blocks nor references")
    import ctypes

    def leak():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(target()))

    with pytest.raises(AssertionError):
        check_no_growth(leak, None)


def test_check_fails_on_a_leaked_descriptor():
    opened = []
    try:
        with pytest.raises(AssertionError):
            check_no_growth(lambda: opened.append(os.open(os.devnull, os.O_RDONLY)), None)
    finally:
        for descriptor in opened:
            os.close(descriptor)

"""Every public operation called with generated arguments, well formed or
not: it returns or raises an ordinary exception, never crashes, and never
reports an internal error. Where a result can be worked out independently, it
is compared with that."""

from __future__ import annotations

import contextlib
import io
import itertools
import os
import shutil
import socket
import stat
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import helpers_hostile as hostile
import logger
from helpers_hostile import SAFE_TEXT, atoms, call_recipes, outcome, path_recipes
from helpers_reference import binding_error, reference_count, reference_get_name
from tools.common.slotwarden import SlotWarden
from tools.common.whereabouts import whereabouts
import tools.files.files as files_module
from tools.files.files import File
from tools.folders.folders import Folder
from tools.launchbrief.launchbrief import launchbrief

# Hostile objects answer comparisons with NotImplemented and pass odd file
# objects on by design; the interpreter and the locking package warn about that.
pytestmark = pytest.mark.filterwarnings(
    "ignore:NotImplemented should not be used in a boolean context:DeprecationWarning",
    "ignore:bool is used as a file descriptor:RuntimeWarning")

ANY = st.one_of(atoms(), hostile.hostile())
NAMES = st.one_of(st.sampled_from(["f.txt", "g.bin", "a", "link", "loop", "new"]).map(lambda n: ("atom", n)),
                  SAFE_TEXT.map(lambda t: ("atom", t)), ANY)
PATHS = path_recipes()
FLAGS = st.one_of(st.sampled_from([True, False, None, 0, 1, "", "x"]).map(lambda v: ("atom", v)), ANY)
MASKS = st.one_of(st.sampled_from(["*", "*.txt", ""]).map(lambda v: ("atom", v)), ANY)
CONTENT = st.one_of(st.binary(max_size=20).map(lambda b: ("atom", b)), ANY)
HANDLES = st.one_of(st.sampled_from(["open", "closed", "read-only", "locked"]).map(lambda k: ("handle", k)), ANY)
FUNCS = st.one_of(st.sampled_from(["function", "builtin", "module-function", "type"]).map(lambda k: ("odd", k)),
                  ANY)

# operation -> (callable, [(parameter, value recipes)])
OPERATIONS = {
    "Folder.exists": (Folder.exists, [("path", PATHS)]),
    "Folder.create": (Folder.create, [("path", PATHS), ("recursive", FLAGS)]),
    "Folder.count": (Folder.count, [("path", PATHS), ("files", FLAGS), ("folders", FLAGS), ("mask", MASKS),
                                    ("recursive", FLAGS)]),
    "Folder.remove": (Folder.remove, [("path", PATHS), ("recursive", FLAGS)]),
    "File.exists": (File.exists, [("path", PATHS), ("name", NAMES)]),
    "File.read": (File.read, [("path", PATHS), ("name", NAMES)]),
    "File.write": (File.write, [("path", PATHS), ("name", NAMES), ("content", CONTENT)]),
    "File.rename": (File.rename, [("path", PATHS), ("name", NAMES), ("new_name", NAMES)]),
    "File.copy": (File.copy, [("path", PATHS), ("name", NAMES), ("new_path", PATHS), ("new_name", NAMES)]),
    "File.lock": (File.lock, [("path", PATHS), ("name", NAMES)]),
    "File.unlock": (File.unlock, [("file", HANDLES)]),
    "File.remove": (File.remove, [("path", PATHS), ("name", NAMES)]),
    "whereabouts": (whereabouts, [("file", st.one_of(PATHS, st.just(("atom", None)))), ("func", FUNCS)]),
    "launchbrief": (launchbrief, [(name, st.one_of(SAFE_TEXT.map(lambda t: ("atom", t)), ANY))
                                  for name in ("prefix", "name", "separator")]),
    "SlotWarden.get_name": (SlotWarden.get_name, [("obj", ANY), ("attr", NAMES)]),
    "SlotWarden.get_attribute": (SlotWarden.get_attribute, [("obj", ANY), ("attr", NAMES)]),
    "SlotWarden.set_attribute": (SlotWarden.set_attribute, [("obj", ANY), ("attr", NAMES), ("value", ANY)]),
    "SlotWarden.has_attribute": (SlotWarden.has_attribute, [("obj", ANY), ("attr", NAMES)]),
    "SlotWarden": (SlotWarden, [("obj", ANY), ("attr", NAMES)]),
}
PRIVATE = st.sampled_from(["__x", "__x_", "__x__", "___x", "__", "_x", "x", "__é", "__\U0001f600"])


def raw(function):
    """The native function behind a decorated operation."""
    return getattr(function, "__wrapped__", function)


# operation -> strategy of (the decorated or the raw function, a call recipe)
CALLS = {name: st.tuples(st.sampled_from([function, raw(function)]), call_recipes(params, ANY))
         for name, (function, params) in OPERATIONS.items()}


@contextlib.contextmanager
def workspace(root: Path, name: str):
    """What an operation needs to run without leaving traces: file tools run
    in a new folder below `root` holding a few folders, files and links; the
    start-up report gets its environment restored and its output caught."""
    hostile.fresh_input()
    opened = []
    with contextlib.ExitStack() as stack:
        stack.callback(logger.reset)
        if name.startswith(("Folder.", "File.")):
            stack.enter_context(contextlib.chdir(files_folder(root)))
            stack.callback(shutil.rmtree, os.getcwd())
            hostile.BUILDERS["handle"] = lambda recipe: opened.append(open_handle(recipe[1])) or opened[-1]
            stack.callback(hostile.BUILDERS.pop, "handle")
            stack.callback(lambda: [handle.close() for handle in opened])
        if name == "launchbrief":
            environment = dict(os.environ)
            stack.callback(lambda: (os.environ.clear(), os.environ.update(environment)))
            stack.enter_context(contextlib.redirect_stdout(io.StringIO()))
        yield opened


def files_folder(root: Path) -> str:
    folder = tempfile.mkdtemp(dir=root)
    for made in ("a", "a/b", "d"):
        os.mkdir(os.path.join(folder, made))
    for name in ("f.txt", "a/g.bin", "handle.txt"):
        Path(folder, name).write_bytes(b"content")
    for link, target in (("link", "a"), ("loop", "loop"), ("dangling", "missing")):
        os.symlink(target, os.path.join(folder, link))
    return folder


def open_handle(kind):
    if kind == "locked":
        return File.lock(".", "handle.txt")
    handle = open("handle.txt", "rb" if kind == "read-only" else "a+")
    if kind == "closed":
        handle.close()
    return handle


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    """A folder for the file tools to work in; in memory where the system
    offers that, since every example makes and removes a few entries."""
    memory = Path("/dev/shm")
    if not (memory.is_dir() and os.access(memory, os.W_OK)):
        yield tmp_path_factory.mktemp("random")
        return
    folder = Path(tempfile.mkdtemp(dir=memory, prefix="tools-random-"))
    yield folder
    shutil.rmtree(folder)


@pytest.mark.parametrize("name", OPERATIONS)
@given(data=st.data())
def test_operations_return_or_raise_ordinary_exceptions(root, name, data):
    target, recipe = data.draw(CALLS[name], label="function and call")
    with workspace(root, name) as opened:
        result = outcome(hostile.make_call(target, recipe))
        if hasattr(result.result, "close"):
            opened.append(result.result)
    if result.error is None:
        check_result(name, result.result)


# The native operations themselves: their argument handling, not the facility's.
NATIVE_CALLS = {name: call_recipes(params, ANY) for name, (function, params) in OPERATIONS.items()
                if type(raw(function)).__name__ == "native_function"}


@pytest.mark.parametrize("name", NATIVE_CALLS)
@given(data=st.data())
def test_argument_errors_follow_the_binding_order(root, name, data):
    """Calls with one or more faults in their arguments (a missing one beside
    an unknown or repeated keyword, say) give the one error the binding order
    reports first."""
    recipe = data.draw(NATIVE_CALLS[name], label="call")
    function = raw(OPERATIONS[name][0])
    keywords = {hostile._keyword_name(keyword): value for keyword, value in recipe.keywords}
    if not all(isinstance(keyword, str) for keyword in keywords):
        return
    expected = binding_error(function, recipe.positional, keywords)
    if expected is None:
        return
    with workspace(root, name):
        result = outcome(hostile.make_call(function, recipe))
    assert (type(result.error), str(result.error)) == (TypeError, expected)


def check_result(name, result):
    expected = {"Folder.exists": bool, "File.exists": bool, "Folder.count": int, "File.read": bytes,
                "SlotWarden.get_name": str, "SlotWarden.has_attribute": bool, "SlotWarden": SlotWarden}
    if name in expected:
        assert type(result) is expected[name]
    elif name == "whereabouts":
        assert result is None or isinstance(result, Path)
    elif name in ("Folder.create", "Folder.remove", "File.write", "File.rename", "File.copy", "File.unlock",
                  "File.remove", "launchbrief", "SlotWarden.set_attribute"):
        assert result is None
    if name == "Folder.count":
        assert result >= 0


# ---------------------------------------------------------------------------
# Results worked out independently.


@given(obj=st.one_of(ANY, st.sampled_from([int, type, hostile._V, hostile._Underscores]).map(lambda c: ("class", c))),
       attr=st.one_of(PRIVATE, SAFE_TEXT))
def test_get_name_matches_the_steps(obj, attr):
    hostile.fresh_input()
    target = obj[1] if obj[0] == "class" else hostile.build(obj)
    native = outcome(lambda: SlotWarden.get_name(target, attr))
    expected = outcome(lambda: reference_get_name(target, attr))
    assert hostile.raised(native) == hostile.raised(expected)
    if native.error is None:
        assert native.result == expected.result and type(native.result) is str


TREE_ENTRY = st.tuples(
    st.lists(st.sampled_from(["a", "b", ".h", "é"]), min_size=1, max_size=4),
    st.sampled_from(["folder", "file", "link-up", "link-self", "link-file", "dangling", "fifo", "socket"]))


def make_tree(root: Path, entries) -> list[Path]:
    """Builds the entries below `root` (links may lead up to the folder that
    holds it, never further); the paths worth counting from."""
    root.mkdir()
    made = [root]
    for parts, kind in entries:
        path = root.joinpath(*parts)
        if os.path.lexists(path) or not path.parent.is_dir() or not path.parent.resolve().is_relative_to(root):
            continue
        if kind == "folder":
            path.mkdir()
        elif kind == "file":
            path.write_bytes(b"")
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "socket" and len(bytes(path)) < 100:
            with socket.socket(socket.AF_UNIX) as server:
                server.bind(str(path))
        else:
            target = {"link-up": "..", "link-self": path.name, "link-file": "/dev/null", "dangling": "nowhere"}
            os.symlink(target.get(kind, ".."), path)
        made.append(path)
    return made + [root / "missing"]


@given(entries=st.lists(TREE_ENTRY, max_size=14), as_text=st.booleans())
def test_count_matches_the_standard_library_on_generated_trees(root, entries, as_text):
    holder = Path(tempfile.mkdtemp(dir=root)).resolve()  # links may lead up to it, not further
    try:
        for path in make_tree(holder / "top", entries):
            argument = str(path) if as_text else path
            for files, folders, recursive in itertools.product((True, False), repeat=3):
                native = outcome(lambda: Folder.count(argument, files, folders, "*", recursive))
                expected = outcome(lambda: reference_count(argument, files, folders, "*", recursive))
                assert hostile.raised(native) == hostile.raised(expected)
                assert native.result == expected.result, (path, files, folders, recursive)
    finally:
        shutil.rmtree(holder)


# How a path is written: each spelling names the same entry for pathlib (or,
# for the last three, none it can stat).
SPELLINGS = ("plain", "trailing", "dots", "doubled", "double root", "relative", "nul", "surrogate", "unencodable")


def spelled(path: Path, how: str) -> str:
    text = str(path)
    return {"plain": text, "trailing": text + "/", "dots": text.replace("/", "/./"),
            "doubled": text.replace("/", "//"), "double root": "//" + text.lstrip("/"),
            "relative": os.path.relpath(text), "nul": text + "\0", "surrogate": text + "\udcff",
            "unencodable": text + "\ud800"}[how]


def observed(call) -> tuple:
    """Everything a caller sees of a call: the result itself, or the error's
    type, text, errno and filename."""
    result = outcome(call)
    if result.error is None:
        return ("returned", result.result)
    error = result.error
    return (type(error), str(error), getattr(error, "errno", None), repr(getattr(error, "filename", None)))


@contextlib.contextmanager
def standard_steps():
    """os.stat, and the files module's open(), replaced by functions that
    do the same: the operations take their Python steps."""
    real_stat, real_rename = os.stat, os.rename
    os.stat = lambda *args, **kwargs: real_stat(*args, **kwargs)
    os.rename = lambda *args, **kwargs: real_rename(*args, **kwargs)
    files_module.open = lambda *args, **kwargs: io.open(*args, **kwargs)
    try:
        yield
    finally:
        os.stat, os.rename = real_stat, real_rename
        del files_module.open


# The audit events of the calls being watched that name files.
_opened: list | None = None


def _audit(event, args):
    if _opened is not None and event in ("open", "os.rename"):
        _opened.append((event, args))


sys.addaudithook(_audit)


def watched(call) -> tuple:
    """What a caller sees of a call, the log lines it writes and the files
    it opens, as audit hooks see them."""
    global _opened
    logger.reset()
    _opened = opened = []
    try:
        result = observed(call)
    finally:
        _opened = None
    return result, logger.messages(), opened


def existence_calls(path: Path, how: str, as_path: bool):
    """Folder.exists and File.exists on `path` spelled `how`: the folder
    alone, and as a folder and a name in the ways a name can be written."""
    text = spelled(path, how)
    folder = Path(text) if as_path and how not in ("nul",) else text
    yield raw(Folder.exists), (folder,)
    parent, _, name = text.rstrip("/").rpartition("/")
    for where, what in ((parent, name), (parent, name + "/"), (str(path.parent.parent), f"{path.parent.name}/{name}"),
                        (parent, "/" + text.lstrip("/")), (text, ""), (text, "."), ("", text)):
        yield raw(File.exists), (Path(where) if as_path and "\0" not in where else where, what)


def renamable(top: Path, folder, name, new_name) -> bool:
    """Whether `Path(folder) / name` and `/ new_name` are entries below `top`
    reached without links (a rename there can be undone), or texts no rename
    can take."""
    try:
        os.fsencode(str(folder)), os.fsencode(name)
    except UnicodeError:
        return True
    for entry in (name, new_name):
        where = Path(os.path.abspath(Path(folder) / entry))
        if "\0" in str(where) or not where.is_relative_to(top) or where == top:
            return False
        if os.path.realpath(where.parent) != str(where.parent):
            return False
    return True


def put_back(folder, name, new_name) -> None:
    """Undoes a rename that took place."""
    source, target = Path(folder) / name, Path(folder) / new_name
    if os.path.lexists(target) and not os.path.lexists(source):
        os.rename(target, source)


def opening_blocks(folder, name) -> bool:
    """Whether opening the entry would wait for a writer (a pipe)."""
    try:
        return stat.S_ISFIFO(os.stat(Path(folder) / name).st_mode)
    except (OSError, ValueError):
        return False


@given(entries=st.lists(TREE_ENTRY, max_size=10), hows=st.lists(st.sampled_from(SPELLINGS), min_size=1, max_size=3),
       as_path=st.booleans())
def test_existence_and_reads_match_the_standard_steps_on_generated_trees(root, entries, hows, as_path):
    holder = Path(tempfile.mkdtemp(dir=root)).resolve()
    open_before = len(os.listdir("/proc/self/fd"))
    try:
        with contextlib.chdir(holder):
            for path in make_tree(holder / "top", entries) + [Path("/"), Path(".")]:
                for how in hows:
                    for function, args in existence_calls(path, how, as_path):
                        native = observed(lambda: function(*args))
                        with standard_steps():
                            expected = observed(lambda: function(*args))
                        assert native == expected, (function, args)
                        if native[0] == "returned":
                            assert native[1] is True or native[1] is False
                        if function is raw(File.exists) and not opening_blocks(*args):
                            native = watched(lambda: raw(File.read)(*args))
                            with standard_steps():
                                assert native == watched(lambda: raw(File.read)(*args)), args
                        renaming = (*args, "renamed")
                        if function is raw(File.exists) and renamable(holder / "top", *renaming):
                            native = watched(lambda: raw(File.rename)(*renaming))
                            put_back(*renaming)
                            with standard_steps():
                                assert native == watched(lambda: raw(File.rename)(*renaming)), renaming
                            put_back(*renaming)
        # Every file the calls opened, whatever they raised, is closed.
        assert len(os.listdir("/proc/self/fd")) == open_before
    finally:
        shutil.rmtree(holder)


FIXED = st.one_of(atoms(), hostile.hostile(mutate=False))
WARDEN_STEPS = st.lists(st.sampled_from(["name", "value", "exists", "set value", "set name", "delete value",
                                         "set other"]), max_size=6)


def reference_has_attribute(obj, attr):
    try:
        object.__getattribute__(obj, reference_get_name(obj, attr))
    except AttributeError:
        return False
    return True


@given(obj=FIXED, attr=st.one_of(PRIVATE, SAFE_TEXT), steps=WARDEN_STEPS, value=FIXED, unset=st.booleans())
def test_slotwarden_instances_follow_the_steps(obj, attr, steps, value, unset):
    """An instance's properties read, write and test as the static steps do;
    one made without its constructor fails in an orderly way."""
    hostile.fresh_input()
    target, new_value = hostile.build(obj), hostile.build(value)
    warden = SlotWarden.__new__(SlotWarden) if unset else SlotWarden(target, attr)
    # each step, and what the steps written in Python give for it (a write
    # twice with the same value ends as the write once)
    steps_as_described = {
        "name": (lambda: warden.name, lambda: reference_get_name(target, attr)),
        "value": (lambda: warden.value, lambda: object.__getattribute__(target, reference_get_name(target, attr))),
        "exists": (lambda: warden.exists, lambda: reference_has_attribute(target, attr)),
        "set value": (lambda: setattr(warden, "value", new_value),
                      lambda: object.__setattr__(target, reference_get_name(target, attr), new_value)),
    }
    for step in steps:
        if step in steps_as_described:
            native_step, described_step = steps_as_described[step]
            native = outcome(native_step)
            if unset:
                assert isinstance(native.error, AttributeError)
                continue
            expected = outcome(described_step)
            assert hostile.raised(native) == hostile.raised(expected)
            assert type(native.result) is type(expected.result)
        else:
            change = {"set name": lambda: setattr(warden, "name", "x"), "delete value": lambda: delattr(warden, "value"),
                      "set other": lambda: setattr(warden, "other", 1)}[step]
            assert isinstance(outcome(change).error, AttributeError)

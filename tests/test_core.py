"""The native function type and argument handling, seen through Folder."""

import gc
import importlib.metadata
import inspect
import pydoc
import subprocess
import sys
import types
import weakref
from pathlib import Path

import pytest

import tools
from conftest import child_env, run_python
from helpers_package import ROOT
from tools.folders import Folder
from tools.folders import folders as folders_module
from helpers_reference import SUBCLASS_NOTE
from helpers_surface import rendered


def raw(name):
    """The undecorated function object of a Folder operation."""
    return Folder.__dict__[name].__func__.__wrapped__


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Folder.exists(), "exists() takes exactly 1 positional argument (0 given)"),
        (lambda: Folder.exists("/", "x"), "exists() takes exactly 1 positional argument (2 given)"),
        (lambda: Folder.create(), "create() takes at least 1 positional argument (0 given)"),
        (lambda: Folder.create("/", True, 3), "create() takes at most 2 positional arguments (3 given)"),
        (lambda: Folder.count("/", 1, 2, 3, 4, 5), "count() takes at most 5 positional arguments (6 given)"),
        (lambda: Folder.count(files=True, mask="*"), "count() takes at least 1 positional argument (0 given)"),
        (lambda: Folder.exists("/", bogus=1), "exists() got an unexpected keyword argument 'bogus'"),
        (lambda: Folder.remove("/", recursive=False, force=True), "remove() got an unexpected keyword argument 'force'"),
        (lambda: Folder.create("/", path="/"), "create() got multiple values for keyword argument 'path'"),
        (lambda: Folder.count("/", True, files=False), "count() got multiple values for keyword argument 'files'"),
        (lambda: raw("exists").__call__(**{1: "/"}), "exists() keywords must be strings"),
        (lambda: Folder.count("/", mask=5), "Argument 'mask' has incorrect type (expected str, got int)"),
        (lambda: Folder.count("/", mask=b"*"), "Argument 'mask' has incorrect type (expected str, got bytes)"),
    ],
)
def test_convention_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_subclass_of_expected_type_is_refused_with_note():
    with pytest.raises(TypeError) as caught:
        Folder.count("/", mask=StrSubclass("*"))
    assert str(caught.value) == "Argument 'mask' has incorrect type (expected str, got StrSubclass)"
    assert caught.value.__notes__ == [SUBCLASS_NOTE]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Folder.exists(paht="/"), "exists() takes exactly 1 positional argument (0 given)"),
        (lambda: Folder.create(recursive=True, path2="/"), "create() takes at least 1 positional argument (0 given)"),
        (lambda: Folder.create("/", path="/", bogus=1), "create() got multiple values for keyword argument 'path'"),
        (lambda: Folder.create("/", bogus=1, path="/"), "create() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_a_missing_argument_is_reported_before_keywords_left_over(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_keyword_given_as_str_subclass_binds():
    assert raw("exists")(**{StrSubclass("path"): "/"}) is True


def test_mask_none_and_bool_none_stand_for_defaults(tmp_path):
    (tmp_path / "f").touch()
    (tmp_path / "d").mkdir()
    assert Folder.count(tmp_path, None, None, None, None) == Folder.count(tmp_path) == 1


@pytest.mark.parametrize(
    "files, folders, expected",
    [(1, 0, 1), ("yes", [], 1), ([], "x", 1), (0.0, (), 0), ([0], {"k": 1}, 2)],
)
def test_bool_parameters_take_any_value_by_truth(tmp_path, files, folders, expected):
    (tmp_path / "f").touch()
    (tmp_path / "d").mkdir()
    assert Folder.count(tmp_path, files, folders) == expected


def test_truth_test_errors_propagate(tmp_path):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError, match="no truth"):
        Folder.create(tmp_path / "x", Undecided())
    assert not (tmp_path / "x").exists()


def test_truth_reduction_comes_before_type_checks():
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        Folder.count("/", files=Undecided(), mask=5)


def test_none_for_create_recursive_means_false(tmp_path):
    with pytest.raises(FileNotFoundError):
        Folder.create(tmp_path / "a" / "b", None)


DOCS = {
    "exists": "\n            Check if folder exists.\n\n            :param path: 'path/to/folder'\n"
              "            :return: True / False\n            ",
    "create": "\n            Create folder.\n\n            :param path: 'path/to/folder'\n"
              "            :param recursive: True / False\n            ",
    "count": "\n            Count files and/or folders.\n\n            :param path: 'path/to/folder'\n"
             "            :param files: True / False\n            :param folders: True / False\n"
             "            :param mask: '*' / 'file-name-mask'\n            :param recursive: True / False\n"
             "            :return: number of found files and/or folders\n            ",
    "remove": "\n            Remove folder.\n\n            :param path: 'path/to/folder'\n"
              "            :param recursive: True / False\n            :return:\n            ",
}
ANNOTATIONS = {
    "exists": {"path": "Path | str", "return": "bool"},
    "create": {"path": "Path | str", "recursive": "bool"},
    "count": {"path": "Path | str", "files": "bool", "folders": "bool", "mask": "str", "recursive": "bool",
              "return": "int"},
    "remove": {"path": "Path | str", "recursive": "bool"},
}
DEFAULTS = {"exists": None, "create": (True,), "count": (True, False, "*", False), "remove": (False,)}
SIGNATURES = {
    "exists": "(path: 'Path | str') -> 'bool'",
    "create": "(path: 'Path | str', recursive: 'bool' = True)",
    "count": "(path: 'Path | str', files: 'bool' = True, folders: 'bool' = False, mask: 'str' = '*', "
             "recursive: 'bool' = False) -> 'int'",
    "remove": "(path: 'Path | str', recursive: 'bool' = False)",
}


@pytest.mark.parametrize("name", ["exists", "create", "count", "remove"])
def test_function_surface(name):
    function = raw(name)
    assert function.__name__ == name
    assert function.__qualname__ == f"Folder.{name}"
    assert function.__module__ == "tools.folders.folders"
    assert function.__doc__ == DOCS[name]
    assert function.__annotations__ == ANNOTATIONS[name]
    assert list(function.__annotations__) == list(ANNOTATIONS[name])
    assert all(type(text) is str for text in function.__annotations__.values())
    assert function.__defaults__ == DEFAULTS[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert str(inspect.signature(getattr(Folder, name))) == SIGNATURES[name]
    assert repr(function).startswith(f"<function Folder.{name} at 0x")


def test_help_shows_signatures_and_docs():
    text = pydoc.render_doc(Folder, renderer=pydoc.plaintext)
    assert rendered("create", "(path: 'Path | str', recursive: 'bool' = True)") in text
    assert rendered("count", "(path: 'Path | str', files: 'bool' = True, folders: 'bool' = False, mask: 'str' = '*', "
                             "recursive: 'bool' = False) -> 'int'") in text
    assert "Count files and/or folders." in text


def test_import_decorates_each_operation_in_order():
    result = run_python(
        "import logger\n"
        "from tools.folders import Folder\n"
        "print(logger.factory_calls)\n"
        "print([(type(d).__name__, d.__name__, d.__qualname__, d.__func__.__name__) for d in logger.decorated])\n"
        "print(list(Folder.__dict__)[:6], Folder.__slots__, Folder.__bases__, Folder.__doc__)\n"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == str([{"prefix": "tools.folders.folders"}] * 4)
    assert lines[1] == str([("staticmethod", name, f"Folder.{name}", name)
                            for name in ("exists", "create", "count", "remove")])
    assert lines[2] == ("['__module__', '__slots__', 'exists', 'create', 'count', 'remove'] () "
                        "(<class 'object'>,) None")


@pytest.mark.parametrize(
    "logger_source, error",
    [
        (None, "ModuleNotFoundError: No module named 'logger'"),
        ("something = 1\n", "ImportError: cannot import name 'logging' from 'logger'"),
        ("def logging(prefix):\n    raise RuntimeError('factory failed: ' + prefix)\n",
         "RuntimeError: factory failed: tools.folders.folders"),
    ],
)
def test_import_fails_without_a_working_logger(tmp_path, logger_source, error):
    if logger_source is not None:
        (tmp_path / "logger.py").write_text(logger_source)
    result = run_python(f"import sys; sys.path.insert(0, {str(tmp_path)!r}); sys.path.remove({str(Path(__file__).parent)!r})\n"
                        "import tools.folders.folders")
    assert result.returncode != 0
    assert error in result.stderr


@pytest.mark.parametrize("module", ["tools.folders.folders", "tools.files.files", "tools.tables.tables"])
@pytest.mark.parametrize(
    "logger_source, error, noted",
    [
        (None, "ModuleNotFoundError: No module named 'logger'", True),
        ("", "ImportError: cannot import name 'logging' from 'logger' ({folder}/logger.py)", True),
        # The application's own logger fails to import something else: no hint.
        ("import no_such_module_here\n", "ModuleNotFoundError: No module named 'no_such_module_here'", False),
    ],
    ids=["no-logger", "no-logging", "logger-fails"],
)
def test_missing_logging_facility_error_points_to_the_readme(tmp_path, module, logger_source, error, noted):
    if logger_source is not None:
        (tmp_path / "logger.py").write_text(logger_source)
    # Only the working folder (first on the path of `python -c`) may hold a logger.
    result = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True, text=True, cwd=tmp_path,
                            env=child_env(drop=["PYTHONPATH"], tests_on_path=False), timeout=120)
    lines = result.stderr.splitlines()
    assert result.returncode == 1 and lines[0] == "Traceback (most recent call last):", result.stderr
    section = "The logging facility your application provides"
    note = (f"{module} imports 'logging' from 'logger': the application must provide a top-level module 'logger' "
            "with 'logging': a logger.py on the module path (the one line 'from tools.facility import logging' makes "
            "one of the facility that ships with tools), or, for an installed application, the call "
            "'tools.facility.register()' in its package's __init__.py, which registers that facility as 'logger' "
            f"(see \"{section}\" in the tools README)")
    expected = [error.format(folder=tmp_path)] + ([note] if noted else [])
    assert lines[-len(expected):] == expected
    assert f"\n## {section}\n" in (ROOT / "README.md").read_text()


# A facility written the way the README shows, with one of the mistakes an
# application makes switched on.
FACILITY = """
import functools
HANDS_ON, DEBUG_FAILS = {hands_on}, {debug_fails}
class Log:
    def debug(self, message, date_=False, indent=False):
        if DEBUG_FAILS:
            raise RuntimeError("log down")
def logging(prefix):
    def decorate(operation):
        function = operation.__func__ if isinstance(operation, staticmethod) else operation
        @functools.wraps(function)
        def call(*args, logger=None, **kwargs):
            return function(*args, **kwargs, **({{"logger": logger}} if HANDS_ON and logger else {{}}))
        call.logger = Log()
        return staticmethod(call) if isinstance(operation, staticmethod) else call
    return decorate
"""
README_SECTION = 'in the tools README)'
WRITE = "from tools.files.files import File\nFile.write('.', 'keep.txt', b'new')"

# (facility, call, the error it gives, its note)
FACILITY_MISTAKES = {
    "logging is the standard library's module": (
        "import logging\n", "import tools.folders.folders",
        "TypeError: 'module' object is not callable",
        "tools.folders.folders calls logging(prefix=...) from the application's module 'logger', but "
        "'logger.logging' is <module 'logging' from"),
    "the decorator returns what it gets": (
        "def logging(prefix):\n    return lambda operation: operation\n", WRITE,
        "AttributeError: 'tools.native_function' object has no attribute 'logger'",
        "File.write has no attribute 'logger': the application's logging decorator must return an object that "
        "carries the operation's logger as its attribute 'logger' (see \"The logging facility your application "
        "provides\" " + README_SECTION),
    "the decorator hands the logger on": (
        FACILITY.format(hands_on=True, debug_fails=False), WRITE,
        "TypeError: exists() got an unexpected keyword argument 'logger'",
        "the application's logging decorator handed the keyword 'logger' on to exists() instead of dropping it"),
    "debug fails": (
        FACILITY.format(hands_on=False, debug_fails=True), WRITE, "RuntimeError: log down",
        "File.write wrote its first log line after opening the file for writing, and that line failed: the file "
        "was emptied when it was opened and nothing was written (see \"When a log line fails\" " + README_SECTION),
}


@pytest.mark.parametrize("mistake", FACILITY_MISTAKES)
def test_a_facility_mistake_gains_a_note_where_it_surfaces(tmp_path, mistake):
    """The exception a facility's mistake causes keeps its type and message and
    gains one note saying what the facility did wrong; the same call with a
    correct facility succeeds and the file keeps what was written."""
    source, call, error, note = FACILITY_MISTAKES[mistake]
    for facility, fails in ((source, True), (FACILITY.format(hands_on=False, debug_fails=False), False)):
        (tmp_path / "logger.py").write_text(facility)
        (tmp_path / "keep.txt").write_bytes(b"old")
        result = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, '.')\n{call}"],
                                capture_output=True, text=True, cwd=tmp_path,
                                env=child_env(drop=["PYTHONPATH"], tests_on_path=False), timeout=120)
        kept = (tmp_path / "keep.txt").read_bytes()
        if not fails:
            assert (result.returncode, result.stderr, kept) == (0, "", b"new" if call == WRITE else b"old")
            continue
        # the message, then exactly one note, after the traceback
        lines = result.stderr.splitlines()
        assert lines[0] == "Traceback (most recent call last):", result.stderr
        assert lines[-2] == error and lines[-1].startswith(note), result.stderr
        assert kept == (b"" if mistake == "debug fails" else b"old")


REFUSALS = ["add_note raises", "__notes__ is not a list"]


def refusing(base, refusal, *args, **kwargs):
    """An exception of a subclass of `base` that cannot take a note."""

    class Refusing(base):
        if refusal == "add_note raises":
            def add_note(self, note):
                raise RuntimeError("no notes here")

    error = Refusing(*args, **kwargs)
    if refusal == "__notes__ is not a list":
        error.__notes__ = ("kept",)
    return error


def notes_of(error):
    return getattr(error, "__notes__", None)


@pytest.mark.parametrize("refusal", REFUSALS)
@pytest.mark.parametrize("place", ["first log line of File.write", "File.write.logger missing", "File.lock refused"])
def test_an_exception_that_refuses_the_note_passes_as_it_was(monkeypatch, tmp_path, place, refusal):
    from tools.files import files as files_module

    File = files_module.File
    call = lambda: File.write(tmp_path, "keep.txt", b"new")  # noqa: E731
    if place == "File.lock refused":
        error = refusing(OSError, refusal, "held")

        class Locking:
            LOCK_EX, LOCK_NB, AlreadyLocked = 2, 4, type(error)

            @staticmethod
            def lock(file, flags):
                raise error

        monkeypatch.setattr(files_module, "portalocker", Locking)
        call = lambda: File.lock(tmp_path, "held.lock")  # noqa: E731
    elif place == "first log line of File.write":
        error = refusing(RuntimeError, refusal, "log down")

        class Log:
            def debug(self, message, date_=False, indent=False):
                raise error

        monkeypatch.setattr(File.write, "logger", Log())
    else:
        error = refusing(AttributeError, refusal, "no logger")

        class Operation:
            @property
            def logger(self):
                raise error

        monkeypatch.setattr(files_module, "File", type("File", (), {"write": Operation()}))
    notes = notes_of(error)
    with pytest.raises(BaseException) as caught:
        call()
    assert caught.value is error
    assert (notes_of(error), error.__context__, error.__cause__) == (notes, None, None)


@pytest.mark.parametrize("refusal", REFUSALS)
def test_an_import_error_that_refuses_the_note_passes_as_it_was(tmp_path, refusal):
    # The application's `logger` raises it as an import of `logger` that failed.
    (tmp_path / "logger.py").write_text(inspect.getsource(refusing) + (
        f"raise refusing(ImportError, {refusal!r}, 'no facility', name='logger')\n"))
    probe = ("import sys; sys.path.insert(0, '.')\n"
             "try:\n    import tools.files.files\n"
             "except ImportError as error:\n"
             "    print(type(error).__name__, error.args, getattr(error, '__notes__', None), error.__context__)\n")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, cwd=tmp_path,
                            env=child_env(drop=["PYTHONPATH"], tests_on_path=False), timeout=120)
    notes = ("kept",) if refusal == "__notes__ is not a list" else None
    assert (result.stdout, result.stderr) == (f"Refusing ('no facility',) {notes} None\n", "")


def test_only_the_modules_that_log_need_the_application_logger(tmp_path):
    # No `logger` anywhere on the path: the package, its version and the
    # modules that do not log import without one; the three that log do not.
    code = (
        "import importlib, sys\n"
        "import tools, tools.common, tools.launchbrief\n"
        "for name in ['bulkshade', 'secretshroud', 'slotwarden', 'whereabouts']:\n"
        "    importlib.import_module('tools.common.' + name)\n"
        "import tools.launchbrief.launchbrief\n"
        "print(tools.__version__, 'logger' in sys.modules)\n"
        "for name in ['tools.folders', 'tools.files', 'tools.tables']:\n"
        "    try:\n"
        "        importlib.import_module(name)\n"
        "    except ModuleNotFoundError as error:\n"
        "        print(name, error.name)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                            env=child_env(drop=["PYTHONPATH"], tests_on_path=False), timeout=120)
    assert result.returncode == 0, result.stderr
    assert tools.__version__ == importlib.metadata.version("choretools")
    assert result.stdout.splitlines() == [f"{tools.__version__} False", "tools.folders logger", "tools.files logger",
                                          "tools.tables logger"]


@pytest.mark.parametrize("package, name", [("tools.folders", "Folder"), ("tools.files", "File"),
                                           ("tools.tables", "Table")])
def test_each_package_re_exports_its_class(package, name):
    exported = __import__(package, fromlist=[name])
    module = __import__(f"{package}.{package.rpartition('.')[2]}", fromlist=[name])
    assert getattr(exported, name) is getattr(module, name)
    # tools.files also offers what File.lock raises when the lock is taken.
    assert exported.__all__ == (["AlreadyLocked", name] if name == "File" else [name])


def test_function_dict_is_writable_and_binds_as_a_method():
    function = raw("exists")
    function.note = "attached"
    assert function.__dict__ == {"note": "attached"}

    class Holder:
        check = function

    assert Holder.check is function
    bound = Holder().check
    assert isinstance(bound, types.MethodType) and bound.__func__ is function
    assert str(inspect.signature(bound)) == "() -> 'bool'"
    with pytest.raises(TypeError):  # the instance is handed to Path()
        bound()


def test_function_is_weakly_referencable_and_collectable():
    function = raw("exists")
    assert weakref.ref(function)() is function
    gc.collect()


def test_call_paths_agree(tmp_path):
    function = raw("count")
    (tmp_path / "f").touch()
    assert function(tmp_path) == function.__call__(tmp_path) == function(**{"path": tmp_path}) == 1
    assert function.__call__(path=tmp_path, folders=True) == 1


def test_deep_recursion_through_an_operation_ends_in_recursion_error():
    result = run_python(
        "from tools.folders import Folder\n"
        "class Loop:\n"
        "    def __fspath__(self):\n"
        "        return Folder.exists(self)\n"
        "try:\n"
        "    Folder.exists(Loop())\n"
        "except RecursionError:\n"
        "    print('RecursionError')\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RecursionError"


def test_module_has_no_docstring_and_binds_names_in_order():
    assert folders_module.__doc__ is None
    names = [name for name in vars(folders_module) if not name.startswith("__")]
    assert names == ["logging", "Path", "shutil", "os", "Folder"]


# module, the namespace a colliding key is planted in (an expression in the
# module's names), the name it collides with, `target` (which the key's
# __eq__ empties), the call, and what the call gives by its steps.
PLANTED = [
    ("tools.common.bulkshade", "m", "bulkshade", "[Obj(), Obj()]", "bulkshade(target)", "[Obj]"),
    ("tools.common.bulkshade", "m._const", "char_limit", "[Obj()]", "bulkshade(target)", "[Obj]"),
    ("tools.common.bulkshade", "m", "bulkshade", "[(Obj(), Obj())]", "bulkshade(target)", "[(Obj, Obj)]"),
    ("tools.common.bulkshade", "m", "bulkshade", "{'k': Obj()}", "bulkshade(target)",
     "RuntimeError('dictionary changed size during iteration')"),
    ("tools.common.secretshroud", "m", "secretshroud", "[Obj(), Obj()]", "secretshroud('pwd', target)", "[Obj]"),
    ("tools.common.secretshroud", "m", "secretshroud", "{'pwd': Obj()}", "secretshroud('x', target)",
     "RuntimeError('dictionary changed size during iteration')"),
    ("tools.common.slotwarden", "m", "SlotWarden", "[Obj()]", "SlotWarden.get_attribute(target[0], 'size')", "3"),
    ("tools.common.whereabouts", "m", "Path", "[Obj()]", "whereabouts(target[0].path)", "PosixPath('/x')"),
    ("tools.tables.tables", "m", "Table", "['a']",
     "Table({'columns': ['a'], 'data': [{'a': 1}]}).filter(include=target).data", "[{}]"),
    ("tools.folders.folders", "m", "os", "[Obj()]", "Folder.exists(target[0].path)", "False"),
    ("tools.files.files", "m", "File", "[Obj()]", "File.exists(target[0].path, 'missing')", "False"),
]


@pytest.mark.parametrize("module, namespace, name, target, call, expected", PLANTED,
                         ids=[f"{case[0].rsplit('.', 1)[1]}-{case[2]}-{i}" for i, case in enumerate(PLANTED)])
def test_a_colliding_key_that_runs_code_in_a_looked_up_namespace(module, namespace, name, target, call, expected):
    """A call-time lookup compares the name with a planted key of the same
    hash, whose __eq__ empties the container the call walks and reuses the
    memory that frees: the call still ends as its steps would."""
    code = f"""
import {module} as m
from {module} import *
class Obj:
    size = 3
    path = "/x/y"
    def __format__(self, format_spec):
        return "ok"
    def __repr__(self):
        return "Obj"
class Planted:
    def __hash__(self):
        return hash({name!r})
    def __eq__(self, other):
        target.clear()
        junk = [bytearray(48) for _ in range(5000)]
        return False
target = []
namespace = vars({namespace})
value = namespace.pop({name!r})
namespace[Planted()] = None
namespace[{name!r}] = value
target = {target}
try:
    result = {call}
except Exception as error:
    result = error
print(repr(result))
"""
    result = run_python(code)
    assert (result.returncode, result.stdout.strip()) == (0, expected), result.stderr

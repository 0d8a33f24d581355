"""The native function type and argument handling, seen through Folder."""

import gc
import inspect
import pydoc
import subprocess
import sys
import types
import weakref
from pathlib import Path

import pytest

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


def test_keyword_errors_come_before_missing_arguments():
    with pytest.raises(TypeError, match="unexpected keyword argument 'paht'"):
        Folder.exists(paht="/")


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
            f"with 'logging' (see \"{section}\" in the tools README)")
    expected = [error.format(folder=tmp_path)] + ([note] if noted else [])
    assert lines[-len(expected):] == expected
    assert f"\n## {section}\n" in (ROOT / "README.md").read_text()


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

"""Folder operations on real folders, files and symbolic links."""

import io
import os
import socket
from pathlib import Path

import pytest

from tools.folders import Folder


@pytest.fixture
def tree(tmp_path):
    """a/ holds one file and b/, which holds two files."""
    (tmp_path / "a" / "b").mkdir(parents=True)
    (tmp_path / "a" / "one.txt").write_text("1")
    (tmp_path / "a" / "b" / "two.txt").write_text("2")
    (tmp_path / "a" / "b" / "three.txt").write_text("3")
    return tmp_path / "a"


@pytest.mark.parametrize("as_text", [False, True])
def test_exists(tmp_path, as_text):
    convert = str if as_text else Path
    (tmp_path / "file").touch()
    (tmp_path / "folder").mkdir()
    (tmp_path / "to-folder").symlink_to(tmp_path / "folder")
    (tmp_path / "to-nowhere").symlink_to(tmp_path / "missing")
    assert Folder.exists(convert(tmp_path / "folder")) is True
    assert Folder.exists(convert(tmp_path / "to-folder")) is True
    assert Folder.exists(convert(tmp_path / "file")) is False
    assert Folder.exists(convert(tmp_path / "missing")) is False
    assert Folder.exists(convert(tmp_path / "to-nowhere")) is False


@pytest.mark.parametrize("as_text", [False, True])
def test_create(tmp_path, as_text):
    convert = str if as_text else Path
    deep = tmp_path / "x" / "y" / "z"
    assert Folder.create(convert(deep)) is None
    assert deep.is_dir()
    (deep / "keep").touch()
    assert Folder.create(convert(deep)) is None  # an existing folder is no error
    assert (deep / "keep").exists()
    with pytest.raises(FileNotFoundError):
        Folder.create(convert(tmp_path / "p" / "q"), False)
    assert not (tmp_path / "p").exists()
    assert Folder.create(convert(tmp_path / "single"), False) is None
    assert (tmp_path / "single").is_dir()


def test_create_over_a_file_raises(tmp_path):
    (tmp_path / "file").touch()
    with pytest.raises(FileExistsError):
        Folder.create(tmp_path / "file")


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, 2),
        ({"folders": True}, 3),
        ({"files": False, "folders": True}, 1),
        ({"files": False, "folders": False}, 0),
        ({"files": None}, 2),
    ],
)
def test_count_direct(tmp_path, kwargs, expected):
    (tmp_path / "one").touch()
    (tmp_path / ".hidden").touch()
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "inner").touch()
    assert Folder.count(str(tmp_path), **kwargs) == expected


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"recursive": True}, 3),
        ({"recursive": True, "folders": True}, 4),
        ({"recursive": True, "files": False, "folders": True}, 1),
        ({"recursive": True, "files": False}, 0),
    ],
)
def test_count_recursive(tree, kwargs, expected):
    assert Folder.count(tree, **kwargs) == expected


def test_count_missing_path(tmp_path):
    assert Folder.count(tmp_path / "missing", recursive=True) == 0
    with pytest.raises(FileNotFoundError):
        Folder.count(tmp_path / "missing")


def test_count_of_a_file(tmp_path):
    (tmp_path / "file").touch()
    with pytest.raises(NotADirectoryError):
        Folder.count(tmp_path / "file")
    assert Folder.count(tmp_path / "file", recursive=True) == 0


def test_count_lists_the_folder_even_with_both_flags_off(tmp_path):
    with pytest.raises(FileNotFoundError):
        Folder.count(tmp_path / "missing", files=False, folders=False)


@pytest.mark.parametrize("mask", ["*.txt", "", "**", "?"])
@pytest.mark.parametrize("recursive", [False, True])
def test_count_with_a_mask_is_not_implemented(tmp_path, mask, recursive):
    with pytest.raises(NotImplementedError) as caught:
        Folder.count(tmp_path / "does-not-exist", mask=mask, recursive=recursive)
    assert str(caught.value) == "Not yet implemented. Will be in next versions"


def test_count_classifies_links_and_special_entries(tmp_path):
    top = tmp_path / "top"
    (top / "dir").mkdir(parents=True)
    (top / "dir" / "deep").touch()
    (top / "file").touch()
    (top / "link-to-file").symlink_to(top / "file")
    (top / "link-to-dir").symlink_to(top / "dir")
    (top / "broken").symlink_to(tmp_path / "missing")
    os.mkfifo(top / "fifo")
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(top / "sock"))
        # Direct listing: files are what isfile accepts, folders what isdir accepts.
        assert Folder.count(top) == 2
        assert Folder.count(top, files=False, folders=True) == 2
        assert Folder.count(top, folders=True) == 4
        # The walk: every entry that is not a folder is a file; links to folders
        # are folders but are not entered.
        assert Folder.count(top, recursive=True) == 6
        assert Folder.count(top, recursive=True, files=False, folders=True) == 2
        assert Folder.count(top, recursive=True, folders=True) == 8


def test_remove(tmp_path):
    (tmp_path / "full" / "sub").mkdir(parents=True)
    (tmp_path / "full" / "sub" / "f").touch()
    with pytest.raises(OSError) as caught:
        Folder.remove(tmp_path / "full")
    assert caught.value.errno == 39  # not empty
    assert (tmp_path / "full" / "sub" / "f").exists()
    assert Folder.remove(str(tmp_path / "full"), True) is None
    assert not (tmp_path / "full").exists()
    (tmp_path / "empty").mkdir()
    assert Folder.remove(tmp_path / "empty") is None
    assert not (tmp_path / "empty").exists()
    with pytest.raises(FileNotFoundError):
        Folder.remove(tmp_path / "empty")
    with pytest.raises(FileNotFoundError):
        Folder.remove(tmp_path / "empty", recursive=True)


@pytest.mark.parametrize("path", [None, 5, 3.5, object(), b"/tmp", ["/tmp"], {"/tmp": 1}])
@pytest.mark.parametrize("operation", ["exists", "create", "count", "remove"])
def test_odd_paths_are_refused_by_path(operation, path):
    with pytest.raises(TypeError):
        getattr(Folder, operation)(path)


def test_operations_look_up_module_globals_at_call_time(tmp_path, monkeypatch):
    from tools.folders import folders as module

    seen = []

    class RecordingPath(type(Path())):
        def __new__(cls, *args):
            seen.append(args)
            return super().__new__(cls, *args)

    monkeypatch.setattr(module, "Path", RecordingPath)
    removed = []
    monkeypatch.setattr(module, "shutil", type("FakeShutil", (), {"rmtree": staticmethod(removed.append)}))
    assert Folder.exists(tmp_path) is True
    Folder.remove(tmp_path / "anything", recursive=True)
    assert seen == [(tmp_path,), (tmp_path / "anything",)]
    assert removed == [tmp_path / "anything"]


def test_handed_on_logger_is_accepted(tmp_path, recording):
    marker = object()
    assert Folder.exists(path=tmp_path, logger=marker) is True
    assert recording.calls[-1].logger is marker
    assert recording.calls[-1].kwargs == {"path": tmp_path}


# ---------------------------------------------------------------------------
# Folder.exists and File.exists answer with one stat while the standard
# library they would go through is unchanged; anything replaced there, or an
# argument of another type, sends them through their Python steps.

import pathlib
import sys

from tools.files import File
from tools.files import files as files_module
from tools.folders import folders as folders_module


def called_names(call) -> set[str]:
    """Names of the Python functions of pathlib and os.path that run in `call`."""
    names = set()

    def profile(frame, event, arg):
        if event == "call" and any(part in frame.f_code.co_filename for part in ("pathlib", "genericpath", "posixpath")):
            names.add(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return names


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


def wrapped(function):
    return lambda *args, **kwargs: function(*args, **kwargs)


# guard -> the operations whose steps reach it, and how it is replaced (given the monkeypatch)
REPLACED = {
    "the module's Path": ({"exists", "read", "rename"}, lambda m: [m.setattr(module, "Path", wrapped(pathlib.Path))
                                                         for module in (folders_module, files_module)]),
    **{f"Path.{method}": ({"exists"} if method in ("exists", "is_dir", "is_file", "stat") else {"exists", "read", "rename"},
                          lambda m, method=method: m.setattr(pathlib.Path, method, wrapped(getattr(pathlib.Path, method))))
       for method in ("exists", "is_dir", "is_file", "stat", "__truediv__")},
    **{f"Path.{method}": ({"exists", "read", "rename"},
                          lambda m, method=method: m.setattr(pathlib.Path, method, wrapped(getattr(pathlib.Path, method))))
       for method in ("__fspath__", "__str__")},
    "os.stat": ({"exists"}, lambda m: m.setattr(os, "stat", wrapped(os.stat))),
    "os.rename": ({"rename"}, lambda m: m.setattr(os, "rename", wrapped(os.rename))),
    **{f"os.path.{function}": ({"exists"}, lambda m, function=function: m.setattr(os.path, function,
                                                                                 wrapped(getattr(os.path, function))))
       for function in ("exists", "isdir", "isfile")},
    "the files module's open": ({"read"}, lambda m: m.setattr(files_module, "open", wrapped(io.open), raising=False)),
}
# how the arguments are given
ARGUMENTS = {
    "a Path subclass": lambda path: type("Sub", (type(path),), {})(path),
    "a str subclass": lambda path: type("Text", (str,), {})(path),
    "an __fspath__ object": FsPath,
}


def quick_calls(tmp_path, convert):
    """(operation, call, its result, the pathlib function that only its
    steps run)."""
    (tmp_path / "folder").mkdir()
    (tmp_path / "file").write_bytes(b"content")
    return [("exists", lambda: Folder.exists.__wrapped__(convert(tmp_path / "folder")), True, "exists"),
            ("exists", lambda: File.exists.__wrapped__(convert(tmp_path), "file"), True, "exists"),
            ("exists", lambda: Folder.exists.__wrapped__(convert(tmp_path / "file")), False, "exists"),
            ("read", lambda: File.read.__wrapped__(convert(tmp_path), "file"), b"content", "__truediv__"),
            ("rename", lambda: [File.rename.__wrapped__(convert(tmp_path), *names) for names in (("file", "moved"),
                                                                                             ("moved", "file"))],
             [None, None], "__truediv__")]


@pytest.mark.parametrize("convert", [str, Path])
def test_the_unchanged_library_is_not_called(tmp_path, convert):
    for _, call, expected, marker in quick_calls(tmp_path, convert):
        assert call() == expected
        assert marker not in called_names(call)


@pytest.mark.parametrize("guard", REPLACED)
def test_a_replaced_function_takes_the_steps(tmp_path, monkeypatch, guard):
    operations, replace = REPLACED[guard]
    replace(monkeypatch)
    for operation, call, expected, marker in quick_calls(tmp_path, Path):
        assert call() == expected
        if operation in operations:
            assert marker in called_names(call), guard


@pytest.mark.parametrize("argument", ARGUMENTS)
def test_other_arguments_take_the_steps(tmp_path, argument):
    for _, call, expected, marker in quick_calls(tmp_path, lambda path: ARGUMENTS[argument](path)):
        assert call() == expected
        assert marker in called_names(call), argument


def test_a_replacement_made_while_the_path_text_is_made_is_honoured(tmp_path, monkeypatch):
    """Python code that pathlib runs may replace what the steps call next:
    the answer is the steps' own (where they make the text, newer
    interpreters do not)."""
    (tmp_path / "folder").mkdir()
    path = Path(tmp_path / "folder")
    real_str = pathlib.PurePath.__str__

    def replacing(call):
        with monkeypatch.context() as patch:
            def text_and_replace(self):
                patch.setattr(pathlib.Path, "is_dir", lambda self: False)
                return real_str(self)

            patch.setattr(pathlib.PurePath, "__str__", text_and_replace)
            return call()

    def steps():
        folder = Path(path)
        return folder.exists() and folder.is_dir()

    assert replacing(lambda: Folder.exists.__wrapped__(path)) is replacing(steps)


def test_a_folder_that_cannot_be_searched_gives_what_the_steps_give(tmp_path):
    """The steps raise the PermissionError of their stat (3.14 and later
    answer False): the same from the quick path."""
    import subprocess
    import tempfile

    from conftest import child_env
    from test_folder_count import _without_permission_override

    base = Path(tempfile.mkdtemp(prefix="tools-exists-"))
    try:
        base.chmod(0o755)
        (base / "closed" / "d").mkdir(parents=True)
        (base / "closed" / "f").touch()
        (base / "closed").chmod(0o644)
        code = (
            "import os, sys\n"
            "from pathlib import Path\n"
            "from tools.folders import Folder\n"
            "from tools.files import File\n"
            "def seen(call):\n"
            "    try: return repr(call())\n"
            "    except OSError as error: return repr((type(error), str(error), error.errno, error.filename))\n"
            "closed = Path(sys.argv[1], 'closed')\n"
            "calls = [lambda: Folder.exists(closed / 'd'), lambda: Folder.exists(str(closed / 'd')),\n"
            "         lambda: File.exists(closed, 'f'), lambda: File.exists(str(closed), 'f')]\n"
            "for call in calls:\n"
            "    native = seen(call)\n"
            "    real = os.stat\n"
            "    os.stat = lambda *a, **k: real(*a, **k)\n"
            "    steps = seen(call)\n"
            "    os.stat = real\n"
            "    print(native == steps, native, steps)\n"
        )
        result = subprocess.run([sys.executable, "-c", code, str(base)], capture_output=True, text=True,
                                env=child_env(),
                                preexec_fn=_without_permission_override if os.geteuid() == 0 else None)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert len(lines) == 4 and all(line.startswith("True ") for line in lines), result.stdout
        expected = "False" if sys.version_info >= (3, 14) else "PermissionError"
        assert all(expected in line for line in lines), result.stdout
    finally:
        (base / "closed").chmod(0o755)
        import shutil

        shutil.rmtree(base)

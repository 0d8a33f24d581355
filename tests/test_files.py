"""File operations on real files, their debug lines, clean-up and locks."""

import inspect
import os
import shutil
import subprocess
import sys
import time
import types
import warnings
from pathlib import Path

import portalocker
import pytest

import logger
from conftest import child_env, run_python
from tools.files import AlreadyLocked
from tools.files import files as files_module
from tools.files.files import File

OPERATIONS = ["exists", "read", "write", "rename", "copy", "lock", "unlock", "remove"]
FLAGS = {"date_": True, "indent": True}


def line(step, path):
    return f'{step} file: "{path}" - Done'


def logged():
    """(operation, message) of every debug line, each written with both flags."""
    assert all(entry.kwargs == FLAGS for entry in logger.lines)
    return [(entry.logger.operation, entry.message) for entry in logger.lines]


class Failing:
    def debug(self, message, **flags):
        raise RuntimeError("debug failed")


@pytest.fixture
def opened(monkeypatch):
    """Every file the operations open through the built-in `open`, as opened."""
    files = []

    def recording_open(*args, **kwargs):
        files.append(open(*args, **kwargs))
        return files[-1]

    monkeypatch.setattr(files_module, "open", recording_open, raising=False)
    return files


# --- surface -------------------------------------------------------------------

PATH_NAME = [":param path: 'path/to/file'", ":param name: 'file-name.ext'"]
SURFACE = {
    "exists": ("(path: 'Path | str', name: 'str') -> 'bool'", ["Check if file exists.", "", *PATH_NAME,
                                                                ":return: True / False"]),
    "read": ("(path: 'Path | str', name: 'str') -> 'bytes'", ["Read content from file.", "", *PATH_NAME,
                                                               ":return: b'content'"]),
    "write": ("(path: 'Path | str', name: 'str', content: 'bytes' = None)",
              ["Write content to file.", "", *PATH_NAME, ":param content: 'bin:content'", ":return:"]),
    "rename": ("(path: 'Path | str', name: 'str', new_name: 'str')",
               ["Rename file.", "", *PATH_NAME, ":param new_name: 'new-file-name.ext'", ":return:"]),
    "copy": ("(path: 'Path | str', name: 'str', new_path: 'Path | str', new_name: 'str' = None)",
             ["Copy file to new location (optionally, with new name).", "", *PATH_NAME,
              ":param new_path: 'new/file/path'", ":param new_name: 'new-file-name.ext'", ":return:"]),
    "lock": ("(path: 'Path | str', name: 'str') -> 'IO[Any]'", ["Lock file.", "", *PATH_NAME,
                                                                 ":return: file handler"]),
    "unlock": ("(file: 'IO[Any]')", ["Unlock file.", "", ":param file: file handler", ":return:"]),
    "remove": ("(path: 'Path | str', name: 'str')", ["Remove file.", "", *PATH_NAME, ":return:"]),
}


@pytest.mark.parametrize("name", OPERATIONS)
def test_function_surface(name):
    signature, doc_lines = SURFACE[name]
    function = File.__dict__[name].__func__.__wrapped__
    assert (function.__qualname__, function.__module__) == (f"File.{name}", "tools.files.files")
    assert str(inspect.signature(function)) == signature
    assert function.__defaults__ == ((None,) if name in ("write", "copy") else None)
    indented = "".join(f"            {text}\n" if text else "\n" for text in doc_lines)
    assert function.__doc__ == "\n" + indented + "            "


def test_import_binds_names_and_decorates_each_operation_in_order():
    result = run_python(
        "import logger, typing, tools.folders\n"
        "from tools.files import files\n"
        "print([name for name in vars(files) if not name.startswith('__')], files.__doc__)\n"
        "print([call for call in logger.factory_calls if call['prefix'] == 'tools.files.files'])\n"
        "print([(type(d).__name__, d.__func__.__qualname__) for d in logger.decorated\n"
        "       if d.__func__.__module__ == 'tools.files.files'])\n"
        "print(list(files.File.__dict__)[:10], files.File.__slots__, files.File.__bases__, files.File.__doc__)\n"
        "print(files.Folder is tools.folders.Folder, files.IO is typing.IO, files.Any is typing.Any)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        str(["logging", "Folder", "Path", "os", "shutil", "portalocker", "IO", "Any", "File"]) + " None",
        str([{"prefix": "tools.files.files"}] * 8),
        str([("staticmethod", f"File.{name}") for name in OPERATIONS]),
        str(["__module__", "__slots__", *OPERATIONS]) + " () (<class 'object'>,) None",
        "True True True",
    ]


@pytest.mark.parametrize("function", [portalocker.lock, portalocker.unlock])
def test_installed_portalocker_takes_the_file_keyword(function):
    assert "file" in inspect.signature(function).parameters


# --- argument checks -------------------------------------------------------------


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: File.read(p), "read() takes exactly 2 positional arguments (1 given)"),
        (lambda p: File.copy(p, "a", p, "b", "c"), "copy() takes at most 4 positional arguments (5 given)"),
        (lambda p: File.write(p, "a", b"", mode="x"), "write() got an unexpected keyword argument 'mode'"),
        (lambda p: File.lock(p, "a", name="b"), "lock() got multiple values for keyword argument 'name'"),
        (lambda p: File.exists(p, None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (lambda p: File.write(p / "new", 1), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda p: File.write(p, "a", "text"), "Argument 'content' has incorrect type (expected bytes, got str)"),
        (lambda p: File.write(p, "a", bytearray(b"x")),
         "Argument 'content' has incorrect type (expected bytes, got bytearray)"),
        (lambda p: File.write(p, "a", BytesSubclass(b"x")),
         "Argument 'content' has incorrect type (expected bytes, got BytesSubclass)"),
        (lambda p: File.rename(p, "a", None), "Argument 'new_name' has incorrect type (expected str, got NoneType)"),
        (lambda p: File.copy(p, None, p / "new"), "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (lambda p: File.lock(p, None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_bad_arguments_fail_before_any_file_system_access(tmp_path, call, message):
    (tmp_path / "a").write_bytes(b"kept")
    with pytest.raises(TypeError) as caught:
        call(tmp_path)
    assert str(caught.value) == message
    assert len(getattr(caught.value, "__notes__", [])) == ("Subclass" in message)
    assert list(tmp_path.iterdir()) == [tmp_path / "a"] and (tmp_path / "a").read_bytes() == b"kept"
    assert logger.lines == []


@pytest.mark.parametrize("operation, args", [("exists", ()), ("read", ()), ("write", (b"x",)), ("remove", ()),
                                             ("rename", ("b",)), ("copy", (".",)), ("lock", ())])
@pytest.mark.parametrize("path", [None, 3])
def test_a_path_that_path_refuses_is_its_type_error(operation, args, path):
    with pytest.raises(TypeError) as expected:
        Path(path)
    with pytest.raises(TypeError) as caught:
        getattr(File, operation)(path, "a", *args)
    assert type(caught.value) is type(expected.value) and caught.value.args == expected.value.args
    assert logger.lines == []


# --- exists, read, write, remove ---------------------------------------------------


@pytest.mark.parametrize("convert", [str, Path])
def test_exists(tmp_path, convert):
    (tmp_path / "file").touch()
    (tmp_path / "folder").mkdir()
    (tmp_path / "to-file").symlink_to(tmp_path / "file")
    (tmp_path / "to-nowhere").symlink_to(tmp_path / "missing")
    names = ["file", "to-file", str(tmp_path / "file"), "folder", "to-nowhere", "missing"]
    assert [File.exists(convert(tmp_path), name) for name in names] == [True] * 3 + [False] * 3
    assert logger.lines == []


@pytest.mark.parametrize("content", [b"", b"\x00binary\xff" * 1000])
@pytest.mark.parametrize("convert", [str, Path])
def test_read_returns_the_content_and_logs_two_lines(tmp_path, content, convert):
    (tmp_path / "data.bin").write_bytes(content)
    assert File.read(convert(tmp_path), "data.bin") == content
    path = tmp_path / "data.bin"
    assert logged() == [("File.read", line("Opening", path)), ("File.read", line("Reading", path))]
    assert logger.lines[0].logger is File.read.logger


@pytest.mark.parametrize("name, error", [("missing", FileNotFoundError), ("folder", IsADirectoryError)])
def test_read_that_cannot_open_logs_nothing(tmp_path, name, error):
    (tmp_path / "folder").mkdir()
    with pytest.raises(error):
        File.read(tmp_path, name)
    assert logger.lines == []


@pytest.mark.parametrize("args, content", [((), b""), ((None,), b""), ((b"new",), b"new")])
def test_write_replaces_the_content_and_logs_two_lines(tmp_path, args, content):
    (tmp_path / "out.bin").write_bytes(b"old content that is longer")
    assert File.write(str(tmp_path), "out.bin", *args) is None
    assert (tmp_path / "out.bin").read_bytes() == content
    path = tmp_path / "out.bin"
    assert logged() == [("File.write", line("Opening", path)), ("File.write", line("Writing", path))]


def test_write_creates_missing_folders_through_folder_with_its_logger(tmp_path):
    deep = tmp_path / "a" / "b" / "c"
    File.write(str(deep), "x.bin", b"data")
    assert (deep / "x.bin").read_bytes() == b"data"
    assert [(call.operation, call.args, call.kwargs, call.logger) for call in logger.calls[1:]] == [
        ("Folder.exists", (), {"path": deep}, File.write.logger),
        ("Folder.create", (), {"path": deep}, File.write.logger)]
    logger.reset()
    File.write(deep, "y.bin")
    assert [call.operation for call in logger.calls] == ["File.write", "Folder.exists"]


def test_write_where_the_folder_is_a_file_touches_nothing(tmp_path):
    (tmp_path / "plain").write_bytes(b"kept")
    with pytest.raises(FileExistsError):
        File.write(tmp_path / "plain", "x.bin", b"data")
    assert (tmp_path / "plain").read_bytes() == b"kept"
    assert logger.lines == []


def test_names_are_joined_with_the_path_operator(tmp_path):
    absolute = tmp_path / "elsewhere" / "abs.bin"
    relative = tmp_path / "folder" / "sub" / "rel.bin"
    absolute.parent.mkdir()
    relative.parent.mkdir(parents=True)
    File.write(tmp_path / "folder", str(absolute), b"absolute")
    File.write(str(tmp_path / "folder"), "sub/rel.bin", b"relative")
    assert absolute.read_bytes() == b"absolute" and relative.read_bytes() == b"relative"
    assert File.read("/unrelated", str(absolute)) == b"absolute"
    assert [message for _, message in logged()][1::2] == [line("Writing", absolute), line("Writing", relative),
                                                         line("Reading", absolute)]


def test_remove(tmp_path):
    (tmp_path / "file").touch()
    assert File.remove(str(tmp_path), "file") is None
    assert not (tmp_path / "file").exists()
    with pytest.raises(FileNotFoundError):  # a missing file is an error, not ignored
        File.remove(tmp_path, "file")
    assert logger.lines == []


# --- rename and copy -----------------------------------------------------------------


def test_rename_stays_in_the_folder_unless_the_name_leaves_it(tmp_path):
    (tmp_path / "a").write_bytes(b"A")
    (tmp_path / "b").write_bytes(b"B")
    (tmp_path / "sub").mkdir()
    File.rename(str(tmp_path), "a", "a")
    assert (tmp_path / "a").read_bytes() == b"A"
    File.rename(tmp_path, "a", "b")  # an existing destination is replaced
    assert not (tmp_path / "a").exists() and (tmp_path / "b").read_bytes() == b"A"
    File.rename(tmp_path, "b", "sub/c")
    File.rename(tmp_path / "sub", "c", str(tmp_path / "d"))
    assert (tmp_path / "d").read_bytes() == b"A"
    assert logger.lines == []


@pytest.mark.parametrize("new_name, copied", [((), "src.bin"), ((None,), "src.bin"), (("new.bin",), "new.bin")])
def test_copy_keeps_content_and_metadata(tmp_path, new_name, copied):
    source = tmp_path / "src.bin"
    source.write_bytes(b"payload")
    source.chmod(0o640)
    os.utime(source, ns=(1_000_000_000_123_456_789, 1_100_000_000_987_654_321))
    (tmp_path / "target").mkdir()
    File.copy(str(tmp_path), "src.bin", tmp_path / "target", *new_name)
    copy = tmp_path / "target" / copied
    assert copy.read_bytes() == b"payload"
    assert (copy.stat().st_mode, copy.stat().st_mtime_ns) == (source.stat().st_mode, source.stat().st_mtime_ns)
    assert logger.lines == []


# --- call-time lookups -----------------------------------------------------------------


def recorder(calls, result=None):
    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return result
    return record


def stand_in(**members):
    return types.SimpleNamespace(**members)


@pytest.mark.parametrize(
    "name, make, call, expected",
    [
        ("os", lambda calls: stand_in(rename=recorder(calls)), lambda p: File.rename(str(p), "a", "b"),
         lambda p: [((), {"src": p / "a", "dst": p / "b"})]),
        ("shutil", lambda calls: stand_in(copy2=recorder(calls)), lambda p: File.copy(p, "a", str(p / "to")),
         lambda p: [((), {"src": p / "a", "dst": p / "to" / "a"})]),
        ("Folder", lambda calls: stand_in(exists=recorder(calls, 0), create=recorder(calls)),
         lambda p: File.write(p, "a"), lambda p: [((), {"path": p, "logger": File.write.logger})] * 2),
        ("File", lambda calls: stand_in(read=stand_in(logger=stand_in(debug=recorder(calls)))),
         lambda p: File.read(p, "a"), lambda p: [((line("Opening", p / "a"),), FLAGS),
                                                 ((line("Reading", p / "a"),), FLAGS)]),
    ],
)
def test_module_globals_are_looked_up_at_call_time(monkeypatch, tmp_path, name, make, call, expected):
    (tmp_path / "a").write_bytes(b"x")
    calls = []
    monkeypatch.setattr(files_module, name, make(calls))
    call(tmp_path)
    assert calls == expected(tmp_path)


# --- clean-up on failures --------------------------------------------------------------


@pytest.mark.parametrize("operation", ["read", "write"])
def test_a_failing_log_line_closes_the_file_first(monkeypatch, tmp_path, opened, operation):
    (tmp_path / "a").write_bytes(b"x")
    monkeypatch.setattr(getattr(File, operation), "logger", Failing())
    with pytest.raises(RuntimeError, match="debug failed"):
        getattr(File, operation)(tmp_path, "a")
    assert len(opened) == 1 and opened[0].closed


class Manager:
    """Wraps a real file; records how the `with` block was left and answers as told."""

    def __init__(self, file, answer):
        self.file, self.answer, self.details = file, answer, None

    def __enter__(self):
        return self.file

    def __exit__(self, *details):
        self.details = details
        self.file.close()
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer", [None, OSError("exit failed")])
def test_with_block_hands_the_failure_to_exit(monkeypatch, tmp_path, answer):
    managers = []
    monkeypatch.setattr(files_module, "open", lambda *a, **k: managers.append(Manager(open(*a, **k), answer))
                        or managers[-1], raising=False)
    (tmp_path / "a").write_bytes(b"x")
    monkeypatch.setattr(File.read, "logger", Failing())
    with pytest.raises(Exception) as caught:
        File.read(tmp_path, "a")
    kind, failure, traceback = managers[0].details
    assert kind is RuntimeError and traceback is not None
    entry = failure.__traceback__  # grows at its head while the failure travels on
    while entry is not traceback:
        entry = entry.tb_next
    if answer is None:
        assert caught.value is failure  # re-raised as the same object
    else:
        assert caught.value is answer and answer.__context__ is failure


@pytest.mark.parametrize("failing_line, result", [(1, UnboundLocalError), (2, b"x")])
def test_with_block_suppressed_by_exit_continues_after_it(monkeypatch, tmp_path, failing_line, result):
    monkeypatch.setattr(files_module, "open", lambda *a, **k: Manager(open(*a, **k), True), raising=False)
    (tmp_path / "a").write_bytes(b"x")
    written = []

    def debug(message, **flags):
        written.append(message)
        if len(written) == failing_line:
            raise RuntimeError("debug failed")

    monkeypatch.setattr(File.read, "logger", stand_in(debug=debug))
    if result is UnboundLocalError:
        with pytest.raises(UnboundLocalError, match="cannot access local variable 'content'"):
            File.read(tmp_path, "a")
    else:
        assert File.read(tmp_path, "a") == result


class Bound:
    """A manager's method on its class that records when it is bound."""

    def __init__(self, log, name, result=None):
        self.log, self.name, self.result = log, name, result

    def __get__(self, instance, owner):
        self.log.append(self.name)
        return lambda *args: self.result


async def _coroutine(*args):
    pass


@pytest.mark.parametrize("methods", [("__enter__", "__exit__"), ("__enter__",), ("__exit__",), (),
                                     ("__aenter__", "__aexit__"), ("__enter__", "__aenter__", "__aexit__")])
def test_with_block_finds_the_manager_methods_as_the_interpreter_does(monkeypatch, tmp_path, methods):
    log = []
    handle = stand_in(name="a", read=lambda: b"x")
    found = {name: Bound(log, name, handle) if name in ("__enter__", "__exit__") else _coroutine for name in methods}
    manager = type("Manager", (), found)()
    try:  # the step itself on the running interpreter: the lookups in its order, its error
        with manager as file:
            file.read()
        expected = None
    except TypeError as error:
        expected = error.args
    expected_log = log[:]
    log.clear()
    monkeypatch.setattr(files_module, "open", lambda *a, **k: manager, raising=False)
    try:
        File.read(tmp_path, "a")
        error = None
    except TypeError as caught:
        error = caught.args
    assert (error, log) == (expected, expected_log)
    assert expected is not None or methods == ("__enter__", "__exit__")


class FakeLocker:
    LOCK_EX, LOCK_NB = 2, 4

    def __init__(self, lock_error=None, unlock_error=None):
        self.errors, self.calls = {"lock": lock_error, "unlock": unlock_error}, []

    def __getattr__(self, operation):
        def call(**kwargs):
            self.calls.append((operation, kwargs))
            if self.errors[operation]:
                raise self.errors[operation]
        return call


class Handle:
    """A file handle whose close may fail; records the exception being handled then."""

    name = "handle-name"

    def __init__(self, close_error=None):
        self.close_error, self.closed, self.handling = close_error, False, None

    def close(self):
        self.closed, self.handling = True, sys.exception()
        if self.close_error:
            raise self.close_error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), ValueError("refused")])
def test_lock_closes_its_file_on_any_failure_and_reraises_it(monkeypatch, tmp_path, opened, error):
    locker = FakeLocker(lock_error=error)
    monkeypatch.setattr(files_module, "portalocker", locker)
    with pytest.raises(type(error)) as caught:
        File.lock(tmp_path, "a")
    assert caught.value is error
    assert locker.calls == [("lock", {"file": opened[0], "flags": 6})]
    assert opened[0].closed
    assert logged() == [("File.lock", line("Opening", tmp_path / "a"))]


def test_lock_close_failure_replaces_the_failure_and_chains_it(monkeypatch, tmp_path):
    handle = Handle(close_error=OSError("close failed"))
    monkeypatch.setattr(files_module, "open", lambda *args, **kwargs: handle, raising=False)
    monkeypatch.setattr(files_module, "portalocker", FakeLocker(lock_error=ValueError("refused")))
    with pytest.raises(OSError, match="close failed") as caught:
        File.lock(tmp_path, "a")
    assert isinstance(caught.value.__context__, ValueError) and handle.handling is caught.value.__context__
    assert sys.exception() is None


@pytest.mark.parametrize(
    "unlock_error, close_error, raised, context",
    [
        (None, None, None, None),
        (ValueError("unlock failed"), None, ValueError, None),
        (None, OSError("close failed"), OSError, None),
        (ValueError("unlock failed"), OSError("close failed"), OSError, ValueError),
    ],
)
def test_unlock_always_closes(monkeypatch, unlock_error, close_error, raised, context):
    locker = FakeLocker(unlock_error=unlock_error)
    monkeypatch.setattr(files_module, "portalocker", locker)
    handle = Handle(close_error)
    if raised is None:
        assert File.unlock(handle) is None
    else:
        with pytest.raises(raised) as caught:
            File.unlock(handle)
        assert type(caught.value.__context__) is (context or type(None))
    assert handle.closed and locker.calls == [("unlock", {"file": handle})]
    assert logged() == ([] if unlock_error else [("File.unlock", line("Unlocking", "handle-name"))])


def test_unlock_none_fails_and_logs_nothing():
    with pytest.raises(Exception):
        File.unlock(None)
    assert logger.lines == []


# --- locks on real files and between processes ---------------------------------------


def test_lock_creates_or_keeps_the_file_and_unlock_closes_it(tmp_path):
    new, kept = tmp_path / "new.lock", tmp_path / "kept.lock"
    File.unlock(File.lock(str(tmp_path), "new.lock"))
    assert new.read_bytes() == b""
    kept.write_text("head\n")
    handle = File.lock(tmp_path, "kept.lock")
    assert (handle.name, handle.mode) == (str(kept), "a+")
    handle.write("tail\n")
    File.unlock(handle)
    assert handle.closed and kept.read_text() == "head\ntail\n"
    assert [message for _, message in logged()] == [line(step, path) for path in (new, kept)
                                                    for step in ("Opening", "Locking", "Unlocking")]
    with pytest.raises(FileNotFoundError):
        File.lock(tmp_path / "missing", "a")
    assert len(logger.lines) == 6


HOLDER = """
import sys
from tools.files.files import File
handle = File.lock(sys.argv[1], sys.argv[2])
print("locked", flush=True)
sys.stdin.readline()
File.unlock(handle)
print("unlocked", flush=True)
sys.stdin.readline()
"""


def test_a_lock_held_by_another_process_fails_at_once(tmp_path, opened):
    with subprocess.Popen([sys.executable, "-c", HOLDER, str(tmp_path), "shared.lock"], env=child_env(),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as holder:
        assert holder.stdout.readline() == "locked\n"
        started = time.monotonic()
        with pytest.raises(AlreadyLocked) as refused:
            File.lock(tmp_path, "shared.lock")
        assert time.monotonic() - started < 5
        assert opened[-1].closed
        # The locking package's own exception, which says which file and why.
        assert AlreadyLocked is portalocker.AlreadyLocked and type(refused.value) is portalocker.AlreadyLocked
        assert refused.value.__notes__ == [
            f'File.lock: "{tmp_path / "shared.lock"}" is locked by another holder (the lock is exclusive, and '
            "File.lock does not wait for it)"]
        assert refused.traceback[-1].path.parent.name == "portalocker"  # raised there, traceback kept
        assert logged() == [("File.lock", line("Opening", tmp_path / "shared.lock"))]
        with open(tmp_path / "shared.lock", "a+") as plain:
            with pytest.raises(portalocker.LockException):
                portalocker.lock(plain, portalocker.LOCK_EX | portalocker.LOCK_NB)

        holder.stdin.write("\n")
        holder.stdin.flush()
        assert holder.stdout.readline() == "unlocked\n"
        File.unlock(File.lock(tmp_path, "shared.lock"))
        assert opened[-1].closed
    assert holder.returncode == 0


# --- no descriptor leaks -------------------------------------------------------------


def test_failing_calls_leak_no_descriptors(monkeypatch, tmp_path):
    (tmp_path / "a").write_bytes(b"x")
    held = File.lock(tmp_path, "held.lock")
    for operation in ("read", "write", "unlock"):
        monkeypatch.setattr(getattr(File, operation), "logger", Failing())
    failing = [
        (lambda: File.read(tmp_path, "a"), RuntimeError),
        (lambda: File.read(tmp_path, "missing"), FileNotFoundError),
        (lambda: File.write(tmp_path, "a", b"y"), RuntimeError),
        (lambda: File.lock(tmp_path, "held.lock"), portalocker.LockException),
        (lambda: File.unlock(open(tmp_path / "a", "a+")), RuntimeError),
    ]
    before = len(os.listdir("/proc/self/fd"))
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always", ResourceWarning)  # a file left to the collector says so
        for call, error in failing:
            for _ in range(1000):
                with pytest.raises(error):
                    call()
    assert len(os.listdir("/proc/self/fd")) == before
    assert [warning for warning in warned if warning.category is ResourceWarning] == []
    monkeypatch.undo()
    File.unlock(held)

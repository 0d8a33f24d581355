"""Folder.count's native directory walk against the same steps run through Python.

Replacing the module global `os` with a proxy forces the counting steps
through Python (os.listdir / os.path.isfile / os.path.isdir, or os.walk); with
the real module the native walk runs. Both must give the same counts and the
same errors on every tree.
"""

import errno
import itertools
import os
import socket
import sysconfig
from pathlib import Path

import pytest

from conftest import run_python
from tools.folders import Folder
from tools.folders import folders as folders_module

FLAGS = list(itertools.product([False, True], repeat=3))  # files, folders, recursive


class OsProxy:
    """Everything of `os`, but not the module itself: the steps run through Python."""

    def __getattr__(self, name):
        return getattr(os, name)


def described(path, **kwargs):
    saved = folders_module.os
    folders_module.os = OsProxy()
    try:
        return Folder.count(path, **kwargs)
    finally:
        folders_module.os = saved


def assert_same_counts(path):
    for files, folders, recursive in FLAGS:
        kwargs = {"files": files, "folders": folders, "recursive": recursive}
        assert Folder.count(path, **kwargs) == described(path, **kwargs), kwargs


@pytest.fixture
def every_kind(tmp_path):
    top = tmp_path / "top"
    (top / "dir" / "sub").mkdir(parents=True)
    (top / "dir" / "sub" / "leaf").touch()
    (top / "dir" / "file").write_text("x")
    (top / ".hidden").touch()
    (top / ".hidden-dir").mkdir()
    (top / "regular").touch()
    (top / "link-to-file").symlink_to(top / "regular")
    (top / "link-to-dir").symlink_to(top / "dir")
    (top / "relative-link-to-dir").symlink_to("dir")
    (top / "broken").symlink_to(tmp_path / "missing")
    (top / "loop").symlink_to(top / "loop")
    (top / "dir" / "up").symlink_to(top)  # a cycle through a link: never entered
    os.mkfifo(top / "fifo")
    os.mkdir(os.fsencode(top) + b"/not-utf8-\xff\xfe")
    (Path(os.fsdecode(os.fsencode(top) + b"/not-utf8-\xff\xfe")) / "inside").touch()
    (top / ("long" * 63)).touch()  # 252 characters
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(top / "sock"))
    yield top
    server.close()


def test_every_kind_of_entry(every_kind):
    assert_same_counts(every_kind)
    assert_same_counts(str(every_kind))


def test_every_kind_of_entry_exact_numbers(every_kind):
    # direct: files regular, .hidden, link-to-file, long; folders dir, .hidden-dir, link-to-dir,
    # relative-link-to-dir, not-utf8
    assert Folder.count(every_kind) == 4
    assert Folder.count(every_kind, files=False, folders=True) == 5
    # walk: 8 non-folders at the top (the link loop and the broken link among
    # them), plus dir/file, dir/sub/leaf and not-utf8/inside; folders: 5 at
    # the top, then dir/sub and dir/up (a link to a folder, not entered)
    assert Folder.count(every_kind, recursive=True) == 8 + 3
    assert Folder.count(every_kind, recursive=True, files=False, folders=True) == 5 + 2


def test_relative_paths_and_the_current_folder(every_kind, monkeypatch):
    monkeypatch.chdir(every_kind)
    for path in (".", "", "dir", "./dir/../dir", Path("dir") / "sub"):
        assert_same_counts(path)


def test_empty_folder(tmp_path):
    assert_same_counts(tmp_path)
    assert Folder.count(tmp_path, folders=True, recursive=True) == 0


def test_standard_library_tree():
    stdlib = sysconfig.get_paths()["stdlib"]
    assert_same_counts(stdlib)
    assert Folder.count(stdlib, recursive=True) > 1000


def test_paths_longer_than_the_kernel_resolves(tmp_path):
    # A chain of folders whose full path passes PATH_MAX: the steps through
    # Python can neither stat nor list below that depth, so neither may we.
    top = tmp_path / "deep"
    top.mkdir()
    fd = os.open(top, os.O_RDONLY)
    try:
        for level in range(20):
            name = f"{level:02d}" + "d" * 250
            os.mkdir(name, dir_fd=fd)
            for kind in ("f", "g"):
                os.close(os.open(kind * 200, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
            os.symlink("f" * 200, "l" * 200, dir_fd=fd)
            next_fd = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = next_fd
    finally:
        os.close(fd)
    assert_same_counts(top)
    assert Folder.count(top, recursive=True) < 3 * 20


@pytest.mark.parametrize("recursive", [False, True])
def test_missing_path_and_file_as_path(tmp_path, recursive):
    (tmp_path / "file").touch()
    for target in (tmp_path / "missing", tmp_path / "file"):
        native_error = described_error = None
        try:
            native = Folder.count(target, recursive=recursive)
        except OSError as error:
            native_error = error
        try:
            expected = described(target, recursive=recursive)
        except OSError as error:
            described_error = error
        if recursive:
            assert native == expected == 0
            continue
        assert type(native_error) is type(described_error)
        assert native_error.args == described_error.args
        assert native_error.filename == described_error.filename == str(target)
    with pytest.raises(FileNotFoundError):
        Folder.count(tmp_path / "missing")


@pytest.mark.parametrize("recursive", [False, True])
def test_path_with_a_null_character_fails_like_the_standard_steps(tmp_path, recursive):
    with pytest.raises(ValueError) as native:
        Folder.count(str(tmp_path) + "\0x", recursive=recursive)
    with pytest.raises(ValueError) as expected:
        described(str(tmp_path) + "\0x", recursive=recursive)
    assert type(native.value) is type(expected.value)
    assert native.value.args == expected.value.args and "embedded null" in str(expected.value)


def _without_permission_override():
    """Drops the capabilities that let root read and search any folder, for the child."""
    import ctypes

    prctl = ctypes.CDLL(None, use_errno=True).prctl
    for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl")


def test_unreadable_and_unsearchable_folders(tmp_path):
    import tempfile

    base = Path(tempfile.mkdtemp(prefix="tools-count-"))
    try:
        base.chmod(0o755)
        (base / "open").mkdir()
        (base / "open" / "f").touch()
        (base / "unreadable").mkdir()
        (base / "unreadable" / "f").touch()
        (base / "unreadable").chmod(0o311)  # search but no listing
        (base / "unsearchable").mkdir()
        (base / "unsearchable" / "f").touch()
        (base / "unsearchable" / "d").mkdir()
        (base / "unsearchable").chmod(0o644)  # listing but no search
        code = (
            "import itertools, os, sys\n"
            "from tools.folders import Folder\n"
            "from tools.folders import folders as module\n"
            "class P:\n"
            "    def __getattr__(self, name): return getattr(os, name)\n"
            "def run(path, **kw):\n"
            "    try: return Folder.count(path, **kw)\n"
            "    except OSError as error: return type(error).__name__\n"
            "for path in sys.argv[1:]:\n"
            "    for f, d, r in itertools.product([False, True], repeat=3):\n"
            "        kw = dict(files=f, folders=d, recursive=r)\n"
            "        native = run(path, **kw)\n"
            "        saved, module.os = module.os, P()\n"
            "        expected = run(path, **kw)\n"
            "        module.os = saved\n"
            "        print(path, kw, native, expected, native == expected)\n"
        )
        import subprocess
        import sys

        from conftest import child_env

        result = subprocess.run(
            [sys.executable, "-c", code, str(base), str(base / "unsearchable"), str(base / "unreadable")],
            capture_output=True, text=True, env=child_env(),
            preexec_fn=_without_permission_override if os.geteuid() == 0 else None,
        )
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert len(lines) == 24
        assert all(line.endswith("True") for line in lines), "\n".join(lines)
        assert any("PermissionError PermissionError" in line for line in lines)
    finally:
        for folder in ("unreadable", "unsearchable"):
            (base / folder).chmod(0o755)
        import shutil

        shutil.rmtree(base)


def test_replaced_os_functions_are_honoured(tmp_path, monkeypatch):
    (tmp_path / "a").touch()
    monkeypatch.setattr(os, "listdir", lambda path: ["a", "b", "c"])
    monkeypatch.setattr(os.path, "isfile", lambda path: True)
    assert Folder.count(tmp_path) == 3
    monkeypatch.undo()
    monkeypatch.setattr(os, "walk", lambda top: iter([(top, ["x"], ["1", "2"])]))
    assert Folder.count(tmp_path, recursive=True, folders=True) == 3


@pytest.mark.parametrize("recursive", [False, True])
def test_functions_replaced_while_the_path_text_is_made_are_honoured(tmp_path, monkeypatch, recursive):
    """The path's text is Python code of pathlib's (a finalizer can run
    there too): what it replaces is what the steps then call."""
    (tmp_path / "a").touch()
    fspath = Path.__fspath__

    def replacing(path):
        monkeypatch.setattr(os, "listdir", lambda path: ["a", "b", "c"])
        monkeypatch.setattr(os.path, "isfile", lambda path: True)
        monkeypatch.setattr(os, "walk", lambda top: iter([(top, ["x"], ["1", "2"])]))
        return fspath(path)

    monkeypatch.setattr(Path, "__fspath__", replacing)
    assert Folder.count(Path(tmp_path), recursive=recursive) == (2 if recursive else 3)


def test_audit_events_match_the_standard_steps(every_kind):
    code = (
        "import sys, os\n"
        "from tools.folders import Folder\n"
        "from tools.folders import folders as module\n"
        "events = []\n"
        "sys.addaudithook(lambda name, args: name in ('os.listdir', 'os.walk', 'os.scandir') and events.append((name, args)))\n"
        "class P:\n"
        "    def __getattr__(self, name): return getattr(os, name)\n"
        f"top = {str(every_kind)!r}\n"
        "for recursive in (False, True):\n"
        "    events.clear(); Folder.count(top, recursive=recursive); native = list(events)\n"
        "    module.os = P()\n"
        "    events.clear(); Folder.count(top, recursive=recursive); expected = list(events)\n"
        "    module.os = os\n"
        "    print(recursive, len(native), native == expected)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["False 1 True", "True 6 True"]


def test_an_audit_hook_can_stop_the_walk(every_kind):
    code = (
        "import sys\n"
        "from tools.folders import Folder\n"
        "def hook(name, args):\n"
        "    if name == 'os.scandir' and args[0].endswith('sub'):\n"
        "        raise PermissionError('audited')\n"
        "sys.addaudithook(hook)\n"
        "try:\n"
        f"    Folder.count({str(every_kind)!r}, recursive=True)\n"
        "except PermissionError as error:\n"
        "    print(error)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "audited"

"""Folder operations on real folders, files and symbolic links."""

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

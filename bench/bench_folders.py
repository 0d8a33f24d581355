"""Folder operations: the cost of one call, and counting large folders."""

import atexit
import os
import shutil
import tempfile
from pathlib import Path

from run import Case
from tools.folders import Folder


def _python_exists(path):
    path = Path(path)
    found = path.exists()
    if not found:
        return found
    return path.is_dir()


def _python_count_direct(path, files=True, folders=False):
    path = Path(path)
    found = 0
    for name in os.listdir(path=path):
        if any((files and os.path.isfile(path / name), folders and os.path.isdir(path / name))):
            found += 1
    return found


def _python_count_walk(path, files=True, folders=False):
    path = Path(path)
    found = 0
    for _, dir_names, file_names in os.walk(top=path):
        if files:
            found += len(file_names)
        if folders:
            found += len(dir_names)
    return found


def _touch(folder_fd, name):
    os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=folder_fd))


def _flat_folder(root):
    """100,000 entries: regular files, a tenth of them folders, some links."""
    folder = root / "flat"
    folder.mkdir()
    fd = os.open(folder, os.O_RDONLY)
    try:
        for index in range(100_000):
            name = f"entry-{index:06d}"
            if index % 10 == 0:
                os.mkdir(name, dir_fd=fd)
            elif index % 100 == 1:
                os.symlink(f"entry-{index - 1:06d}", name, dir_fd=fd)
            else:
                _touch(fd, name)
    finally:
        os.close(fd)
    return folder


def _tree(root):
    """About 100,000 entries in 1,200 folders, three levels deep."""
    top = root / "tree"
    for a in range(12):
        for b in range(10):
            for c in range(10):
                folder = top / f"a{a}" / f"b{b}" / f"c{c}"
                folder.mkdir(parents=True)
                fd = os.open(folder, os.O_RDONLY)
                try:
                    for index in range(82):
                        _touch(fd, f"file-{index:03d}.dat")
                finally:
                    os.close(fd)
    return top


def cases():
    root = Path(tempfile.mkdtemp(prefix="bench-folders-"))
    atexit.register(shutil.rmtree, root, ignore_errors=True)
    native_exists = Folder.__dict__["exists"].__func__.__wrapped__
    yield Case("Folder.exists call (undecorated), existing folder",
               lambda: native_exists(root), lambda: _python_exists(root))
    flat = _flat_folder(root)
    assert Folder.count(flat) == _python_count_direct(flat)
    yield Case("Folder.count(100,000 entries) vs listdir steps", lambda: Folder.count(flat),
               lambda: _python_count_direct(flat), target=20, rounds=7)
    tree = _tree(root)
    assert Folder.count(tree, recursive=True, folders=True) == _python_count_walk(tree, folders=True)
    yield Case("Folder.count(tree of ~100,000, recursive) vs os.walk steps",
               lambda: Folder.count(tree, recursive=True), lambda: _python_count_walk(tree), target=1.5,
               rounds=9)

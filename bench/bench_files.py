"""File operations: the cost of one call on a small real file.

The baseline is the same algorithm written in Python, decorated by the same
pass-through facility; both sides are called undecorated, so each case
measures the operation itself (lookups, argument checks, the with block and
the log lines) around the same system calls.
"""

import os
import tempfile
from pathlib import Path

import portalocker

from logger import logging
from run import Case
from tools.files.files import File
from tools.folders import Folder


def _check_name(name):
    if type(name) is not str:
        raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")


def _exists(path, name):
    _check_name(name)
    file_path = Path(path) / name
    found = file_path.exists()
    if not found:
        return found
    return file_path.is_file()


def _read(path, name):
    _check_name(name)
    with open(Path(path) / name, mode="rb") as file:
        PyFile.read.logger.debug(f'Opening file: "{file.name}" - Done', date_=True, indent=True)
        content = file.read()
        PyFile.read.logger.debug(f'Reading file: "{file.name}" - Done', date_=True, indent=True)
    return content


def _write(path, name, content=None):
    _check_name(name)
    if content is None:
        content = b""
    path = Path(path)
    if not Folder.exists(path=path, logger=PyFile.write.logger):
        Folder.create(path=path, logger=PyFile.write.logger)
    with open(file=path / name, mode="wb") as file:
        PyFile.write.logger.debug(f'Opening file: "{file.name}" - Done', date_=True, indent=True)
        file.write(content)
        PyFile.write.logger.debug(f'Writing file: "{file.name}" - Done', date_=True, indent=True)


def _lock(path, name):
    _check_name(name)
    path = Path(path)
    file = None
    try:
        file = open(path / name, mode="a+")
        PyFile.lock.logger.debug(f'Opening file: "{file.name}" - Done', date_=True, indent=True)
        portalocker.lock(file=file, flags=portalocker.LOCK_EX | portalocker.LOCK_NB)
        PyFile.lock.logger.debug(f'Locking file: "{file.name}" - Done', date_=True, indent=True)
    except:  # noqa: E722 - every failure closes the file
        if file:
            file.close()
        raise
    return file


def _unlock(file):
    try:
        portalocker.unlock(file=file)
        PyFile.unlock.logger.debug(f'Unlocking file: "{file.name}" - Done', date_=True, indent=True)
    finally:
        if file:
            file.close()


PyFile = type("PyFile", (), {name: logging(prefix=__name__)(staticmethod(function)) for name, function in
                             [("exists", _exists), ("read", _read), ("write", _write), ("lock", _lock),
                              ("unlock", _unlock)]})


def _native(name):
    return File.__dict__[name].__func__.__wrapped__


def cases():
    folder = tempfile.mkdtemp(prefix="bench-files-")
    content = os.urandom(1024)
    Path(folder, "data.bin").write_bytes(content)
    exists, read, write, lock, unlock = map(_native, ["exists", "read", "write", "lock", "unlock"])

    yield Case("File.exists call (undecorated), existing file",
               lambda: exists(folder, "data.bin"), lambda: _exists(folder, "data.bin"))
    yield Case("File.read call (undecorated), 1 KiB",
               lambda: read(folder, "data.bin"), lambda: _read(folder, "data.bin"))
    yield Case("File.write call (undecorated), 1 KiB",
               lambda: write(folder, "out.bin", content), lambda: _write(folder, "out.bin", content))
    yield Case("File.lock + File.unlock calls (undecorated)",
               lambda: unlock(lock(folder, "job.lock")), lambda: _unlock(_lock(folder, "job.lock")))

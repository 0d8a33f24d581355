"""Folder operations: the cost of one call."""

import os
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


def cases():
    folder = tempfile.mkdtemp(prefix="bench-folders-")
    native_exists = Folder.__dict__["exists"].__func__.__wrapped__
    yield Case("Folder.exists call (undecorated), existing folder",
               lambda: native_exists(folder), lambda: _python_exists(folder))
    missing = os.path.join(folder, "missing")
    yield Case("Folder.exists call (undecorated), missing path",
               lambda: native_exists(missing), lambda: _python_exists(missing))

import os
import pathlib
import subprocess
import sys

import pytest

import logger

TESTS = pathlib.Path(__file__).resolve().parent


@pytest.fixture(autouse=True)
def recording():
    """The recording logging facility, emptied before each test."""
    logger.reset()
    yield logger


def run_python(code: str, *, env: dict | None = None, cwd=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that sees the tests' `logger`."""
    environment = dict(os.environ if env is None else env)
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), environment.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                          cwd=cwd, timeout=timeout)

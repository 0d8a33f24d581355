import os
import pathlib
import subprocess
import sys
from collections.abc import Iterable, Mapping

import pytest
from hypothesis import HealthCheck, settings

import logger

TESTS = pathlib.Path(__file__).resolve().parent

# How hard the randomised tests try: a short run by default, a long one in CI
# (`--hypothesis-profile=ci`), a shorter one under the sanitizer build,
# where every call takes several times longer, a short one for the passes
# on the other interpreters, and the shortest for a wheel under emulation,
# which is there for the machine code of another architecture, not for
# more inputs (every call takes 5-20 times longer there). CI runs the same
# examples each time (a failure there can be rerun as it was); the short
# run explores.
_RANDOMISED = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
_REPEATABLE = dict(derandomize=True, database=None, print_blob=True)
settings.register_profile("dev", max_examples=200, **_RANDOMISED)
settings.register_profile("ci", max_examples=1000, **_RANDOMISED, **_REPEATABLE)
settings.register_profile("ci-sanitizer", max_examples=300, **_RANDOMISED, **_REPEATABLE)
# The passes on the other interpreters: as short as the default, repeatable.
settings.register_profile("ci-short", max_examples=200, **_RANDOMISED, **_REPEATABLE)
settings.register_profile("ci-emulated", max_examples=50, **_RANDOMISED, **_REPEATABLE)
settings.load_profile("dev")

# What a child interpreter needs to load extensions built with the
# sanitizers: the runtimes are preloaded into an uninstrumented interpreter.
SANITIZER_SETTINGS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def child_env(base: Mapping[str, str] | None = None, *, changes: Mapping[str, str] | None = None,
              drop: Iterable[str] = (), tests_on_path: bool = True) -> dict[str, str]:
    """The environment for a child interpreter: `base` (this process's own by
    default) without the names in `drop` and with `changes`, the tests' folder
    first on PYTHONPATH (unless `tests_on_path` is false) so that `import
    logger` finds the recording facility, and this process's sanitizer
    settings whatever `base` holds."""
    dropped = set(drop)
    environment = {name: value for name, value in (os.environ if base is None else base).items()
                   if name not in dropped}
    environment.update(changes or {})
    if tests_on_path:
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), environment.get("PYTHONPATH")]))
    for name in SANITIZER_SETTINGS:
        if name in os.environ:
            environment[name] = os.environ[name]
    return environment


@pytest.fixture(autouse=True)
def recording():
    """The recording logging facility, emptied before each test."""
    logger.reset()
    yield logger


def run_python(code: str, *, env: dict | None = None, cwd=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that sees the tests' `logger`."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(env),
                          cwd=cwd, timeout=timeout)


_DEEP_IN_A_THREAD = """
import threading
class Again:
    def __repr__(self):
        return repr([self])
def attempt():
    try:
        repr(Again())
    except RecursionError:
        print("RecursionError")
thread = threading.Thread(target=attempt)
thread.start()
thread.join()
"""
# Why the cases that recurse through Python code in a second thread skip
# where threads_recurse_to_the_limit() is false.
SMALL_THREAD_STACKS = ("this interpreter crashes, without the package, when Python code recurses to its limit in a "
                       "thread of the default stack size (musl gives threads 128 KiB)")


def threads_recurse_to_the_limit() -> bool:
    """Whether this interpreter, without the package, survives Python code
    that recurses through C to its recursion limit in a thread of the
    default stack size. Asked of a child interpreter once per process."""
    if not hasattr(threads_recurse_to_the_limit, "answer"):
        done = run_python(_DEEP_IN_A_THREAD)
        threads_recurse_to_the_limit.answer = done.returncode == 0 and done.stdout.strip() == "RecursionError"
    return threads_recurse_to_the_limit.answer

"""The C boundary: a C++ exception that is not a Python error never reaches
the interpreter as such. A probe module built from the core's sources (it is
not part of the package) throws them from its operations."""

import os
import shutil
import subprocess
import sysconfig

import pytest

from conftest import SANITIZER_SETTINGS, run_python
from helpers_package import ROOT


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("probe")
    target = out / ("boundary_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-I", ROOT / "src",
               "-I", sysconfig.get_paths()["include"], ROOT / "tests" / "native" / "boundary_probe.cpp",
               *sorted((ROOT / "src" / "core").glob("*.cpp")), "-o", target]
    # The compiler runs without the sanitizer runtimes that a sanitizer run preloads.
    environment = {name: value for name, value in os.environ.items() if name not in SANITIZER_SETTINGS}
    built = subprocess.run([str(part) for part in command], capture_output=True, text=True, env=environment,
                           timeout=600)
    assert built.returncode == 0, built.stderr
    return out


@pytest.mark.slow
@pytest.mark.parametrize(
    "call, error",
    [
        ("throws_unknown()", "SystemError: throws_unknown() failed with an unexpected C++ exception"),
        ("throws_standard()",
         "SystemError: throws_standard() failed with an unexpected C++ exception: a length out of range"),
        ("throws_through_cleanup(lambda: print('cleaned up'))",
         "cleaned up\nSystemError: throws_through_cleanup() failed with an unexpected C++ exception"),
        ("reports_without_error()",
         "SystemError: reports_without_error() reported an error without setting an exception"),
    ],
)
def test_unexpected_cpp_exceptions_become_system_errors(probe, call, error):
    code = (f"import sys; sys.path.insert(0, {str(probe)!r}); from boundary_probe import *\n"
            f"try:\n    {call}\nexcept BaseException as caught:\n    print(f'{{type(caught).__name__}}: {{caught}}')\n"
            "print('still running')")
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{error}\nstill running\n"

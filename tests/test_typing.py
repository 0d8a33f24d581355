"""The installed type stubs: they type-check the sample client under --strict,
catch misuse, and agree with the modules they describe."""

from __future__ import annotations

import ast
import dataclasses
import importlib
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest
from conftest import child_env
from helpers_package import EXAMPLES, MODULES

INSTALLED = pathlib.Path(importlib.util.find_spec("tools").submodule_search_locations[0])

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy(*args: str, cwd: pathlib.Path, pythonpath: pathlib.Path | None = None) -> subprocess.CompletedProcess:
    """mypy in a fresh process, seeing the installed package (not the sources)."""
    env = child_env(drop=("MYPYPATH", "PYTHONPATH"), tests_on_path=False,
                    changes={"PYTHONPATH": str(pythonpath)} if pythonpath is not None else None)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def stub_path(module: str) -> pathlib.Path:
    return INSTALLED.joinpath(*module.split(".")[1:]).with_suffix(".pyi")


@needs_mypy
def test_sample_client_type_checks_strictly(tmp_path):
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLES / "client.py"),
                  cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 source file" in result.stdout


@needs_mypy
def test_the_readme_facility_files_type_check_strictly(tmp_path):
    """The one line of a script's logger.py and the installed application
    that registers the shipped facility, as the README shows them."""
    from test_readme import README, python_blocks

    files = {saved_as: code for blocks in python_blocks(README.read_text(encoding="utf-8")).values()
             for _, code, saved_as in blocks if saved_as is not None}
    assert files["logger.py"] == "from tools.facility import logging\n"
    for name in ("logger.py", "myapp/__init__.py", "myapp/reports.py", "myapp/cli.py"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(files[name])
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "logger.py", "myapp", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 4 source files" in result.stdout


# Each line misuses the package in a way the stubs must catch.
MISUSES = [
    "File.read('.', b'name')",
    "File.write('.', 'name', 'text, not bytes')",
    "File.lock('.', 'x').write(b'x')",
    "Folder.count('.', mask='*.txt')",
    "Folder.count('.') + ''",
    "File.lock('.', 'x').nope",
    "Table().columns.append(1)",
    "Table(['name', 'size'])",
    "Table().filter(include='name')",
    "SlotWarden(1, 'x').name = 'y'",
    "SlotWarden.get_name(1, None)",
    "launchbrief(5)",
    "whereabouts(__file__).nope",
    "secretshroud(5)",
    "_const.char_limit = 10",
]

# Each line uses the package as it works at run time; the stubs must accept it.
PROPER_USES = [
    "from tools.files import File as PackageFile",
    "from tools.tables import Table as PackageTable",
    "assert PackageFile is File and PackageTable is Table",
    "description = {'columns': ['name'], 'data': [{'name': 'a.txt'}]}",
    "Table(description).filter(exclude=['name'])",
    "File.lock('.', 'x').write('pid')",
    "Folder.count('.', mask='*') + Folder.count('.', mask=None)",
]


@needs_mypy
def test_stubs_catch_misuse(tmp_path):
    header = [
        "from tools.common.bulkshade import _const",
        "from tools.common.secretshroud import secretshroud",
        "from tools.common.slotwarden import SlotWarden",
        "from tools.common.whereabouts import whereabouts",
        "from tools.files.files import File",
        "from tools.folders import Folder",
        "from tools.launchbrief.launchbrief import launchbrief",
        "from tools.tables.tables import Table",
    ]
    accepted = header + PROPER_USES
    (tmp_path / "misuse.py").write_text("\n".join(accepted + MISUSES) + "\n")
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "misuse.py", cwd=tmp_path)
    flagged = {int(number) for number in re.findall(r"^misuse\.py:(\d+): error", result.stdout, re.MULTILINE)}
    missed = [line for number, line in enumerate(MISUSES, len(accepted) + 1) if number not in flagged]
    assert missed == [], result.stdout
    assert not any(number <= len(accepted) for number in flagged), result.stdout


@needs_mypy
def test_stubs_match_the_runtime_modules(tmp_path):
    # The start-up report keeps the interpreter's version string as a module
    # global so that it is looked up at call time; it is not an interface.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("tools.launchbrief.launchbrief.version\n")
    result = mypy("mypy.stubtest", "tools", "--allowlist", str(allowlist), "--mypy-config-file", os.devnull,
                  cwd=tmp_path, pythonpath=EXAMPLES)
    assert result.returncode == 0, result.stdout + result.stderr


def stub_functions(module: str):
    """(owner, name, decorators, node) for every function of a stub."""
    tree = ast.parse(stub_path(module).read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield None, node
        elif isinstance(node, ast.ClassDef):
            yield from ((node.name, item) for item in node.body if isinstance(item, ast.FunctionDef))


def runtime_return(module: str, owner: str | None, node: ast.FunctionDef) -> str | None:
    namespace = importlib.import_module(module)
    found = getattr(namespace, node.name) if owner is None else getattr(namespace, owner).__dict__[node.name]
    if isinstance(found, property):
        found = found.fget
    if isinstance(found, staticmethod):
        found = found.__func__
    return inspect.unwrap(found).__annotations__.get("return")


# The declaration carries no return annotation here; the stub names what comes back.
UNANNOTATED_RESULTS = {("tools.tables.tables", "Table", "filter"): "Table"}
# The stub names a narrower result than the annotation text at run time:
# (the run-time text, the stub's). The locked file is a text file.
NARROWED_RESULTS = {("tools.files.files", "File", "lock"): ("IO[Any]", "TextIO"),
                    # the decorator gives back what it is given
                    ("tools.facility.facility", None, "logging"): ("Callable[[Any], Any]", "Callable[[_T], _T]")}


@pytest.mark.parametrize("module", MODULES)
def test_stub_results_agree_with_the_return_annotations(module):
    checked = 0
    for owner, node in stub_functions(module):
        decorators = {ast.unparse(decorator) for decorator in node.decorator_list}
        if "overload" in decorators or any(d.endswith(".setter") for d in decorators):
            continue
        declared = runtime_return(module, owner, node)
        expected = UNANNOTATED_RESULTS.get((module, owner, node.name), declared or "None")
        if (module, owner, node.name) in NARROWED_RESULTS:
            runtime_text, expected = NARROWED_RESULTS[module, owner, node.name]
            assert declared == runtime_text, (owner, node.name)
        assert ast.unparse(node.returns) == expected, (owner, node.name)
        checked += 1
    assert checked or module == "tools.common.whereabouts"


def test_stub_records_agree_with_the_runtime_fields():
    records = 0
    for module in MODULES:
        namespace = importlib.import_module(module)
        for node in ast.parse(stub_path(module).read_text()).body:
            if isinstance(node, ast.ClassDef) and any("dataclass" in ast.unparse(d) for d in node.decorator_list):
                runtime = getattr(namespace, node.name)
                fields = {field.name: field for field in dataclasses.fields(runtime)}
                stubbed = {item.target.id: item for item in node.body if isinstance(item, ast.AnnAssign)}
                assert list(stubbed) == list(fields)
                for name, item in stubbed.items():
                    assert ast.unparse(item.annotation) == runtime.__annotations__[name]
                    assert ast.literal_eval(item.value) == fields[name].default
                assert runtime.__dataclass_params__.frozen == ("frozen=True" in ast.unparse(node.decorator_list[0]))
                records += 1
    assert records == 1  # bulkshade's limit record

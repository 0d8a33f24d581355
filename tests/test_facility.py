"""The logging facility that ships with the package: opt-in, where its lines
go, and decorated calls that behave as the operations themselves."""

from __future__ import annotations

import inspect
import logging as std_logging
import traceback

import pytest

import tools.facility
from conftest import run_python
from tools.folders import Folder
from tools.tables import Table

# The undecorated operations, each decorated anew by the shipped facility.
EXISTS = Folder.__dict__["exists"].__func__.__wrapped__
COUNT = Folder.__dict__["count"].__func__.__wrapped__
INIT = Table.__dict__["__init__"].__wrapped__
FILTER = Table.__dict__["filter"].__wrapped__


@pytest.fixture
def facility_class():
    """A Folder-like class and a Table-like one whose operations the shipped
    facility decorated."""
    decorate = tools.facility.logging(prefix="tools.tests")
    folder = type("Folder", (), {"exists": decorate(staticmethod(EXISTS)), "count": decorate(staticmethod(COUNT))})
    table = type("Table", (Table,), {"__init__": decorate(INIT), "filter": decorate(FILTER), "__slots__": ()})
    return folder, table


def test_a_decorated_call_is_the_operation_without_the_handed_on_logger(facility_class, tmp_path):
    folder, table = facility_class
    assert folder.exists(tmp_path) is True and folder.exists(path=tmp_path, logger=object()) is True
    assert folder.count(tmp_path, None, True, logger=None, recursive=False) == 0
    made = table({"columns": ["a"], "data": [{"a": 1}]}, logger="handed on")
    assert made.filter(include=["a"], logger=None).data == [{"a": 1}]
    with pytest.raises(TypeError, match=r"exists\(\) got an unexpected keyword argument 'loggers'"):
        folder.exists(tmp_path, loggers=None)


def test_a_decorated_call_adds_no_frame_to_a_traceback(facility_class):
    folder, _ = facility_class
    with pytest.raises(NotImplementedError) as raised:
        folder.count(".", mask="*.txt")
    frames = traceback.extract_tb(raised.value.__traceback__)
    assert [frame.name for frame in frames] == ["test_a_decorated_call_adds_no_frame_to_a_traceback"]


def test_a_decorated_operation_looks_like_the_operation(facility_class):
    folder, table = facility_class
    for decorated, operation in ((folder.exists, EXISTS), (table.__dict__["filter"], FILTER)):
        assert decorated.__wrapped__ is operation
        assert [getattr(decorated, name) for name in ("__name__", "__qualname__", "__module__", "__doc__")] == [
            getattr(operation, name) for name in ("__name__", "__qualname__", "__module__", "__doc__")]
        assert decorated.__annotations__ == operation.__annotations__
        assert inspect.signature(decorated) == inspect.signature(operation)
        assert repr(decorated).startswith(f"<function {operation.__qualname__} at ")
    made = table()
    assert inspect.signature(made.filter) == inspect.signature(FILTER.__get__(made))
    assert made.filter.logger is table.filter.logger is table.__dict__["filter"].logger
    assert isinstance(folder.exists.logger, tools.facility.OperationLogger)
    assert folder.exists.logger.name == "tools.tests"


LINES = """
import logging, sys
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelname, record.getMessage(), record.indent, record.date_))
{setup}
from tools.files import File
keeper = Keep()
logging.getLogger({listen!r}).addHandler(keeper)
logging.getLogger({listen!r}).setLevel({level})
File.write({folder!r}, "a.txt", b"x")
print(records)
print(sorted(name for name in sys.modules if name == "logger" or name.startswith("tools.facility")))
"""


@pytest.mark.parametrize("setup, listen, name", [
    ("import tools.facility; tools.facility.register()", "tools", "tools.files.files"),
    ("import tools.facility; tools.facility.register(parent='myapp')", "myapp", "myapp.tools.files.files"),
], ids=["module names", "below a parent"])
@pytest.mark.parametrize("level", ["logging.DEBUG", "logging.INFO"])
def test_lines_go_to_the_standard_loggers(tmp_path, setup, listen, name, level):
    result = run_python(LINES.format(setup=setup, listen=listen, level=level, folder=str(tmp_path)),
                        env={"PYTHONPATH": ""})
    assert result.returncode == 0, result.stderr
    records, modules = result.stdout.splitlines()
    lines = [(name, "DEBUG", f'{step} file: "{tmp_path / "a.txt"}" - Done', "    ", True)
             for step in ("Opening", "Writing")]
    assert records == str(lines if level == "logging.DEBUG" else [])
    assert modules == str(["logger", "tools.facility", "tools.facility.facility"])


@pytest.mark.parametrize("code, registered", [
    ("import tools, tools.facility", "no logger"),
    ("import tools.facility; tools.facility.register()", "tools.facility"),
    ("import logger, tools.facility; tools.facility.register(parent='myapp')", "the application's"),
], ids=["importing registers nothing", "register", "the application's own logger stays"])
def test_the_facility_is_registered_only_when_asked_and_never_over_another(code, registered):
    probe = code + "\nimport sys\nm = sys.modules.get('logger')\n" + (
        "print('no logger' if m is None else 'tools.facility' if m is sys.modules['tools.facility'] "
        "else \"the application's\")")
    result = run_python(probe)  # the tests' recording logger is the application's own here
    assert (result.returncode, result.stdout.strip()) == (0, registered), result.stderr


def test_debug_below_debug_level_formats_nothing():
    logger = tools.facility.OperationLogger("tools.tests.quiet")
    std_logging.getLogger("tools.tests.quiet").setLevel(std_logging.INFO)

    class Unprintable:
        def __str__(self):
            raise AssertionError("formatted")

    assert logger.debug(Unprintable(), date_=True, indent=True) is None

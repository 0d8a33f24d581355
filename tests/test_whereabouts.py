import inspect
import os
from pathlib import Path

import pytest

import tools.common.whereabouts as module
from helpers_surface import docstring
from tools.common.whereabouts import whereabouts


def load_lambda(source_path: Path, recorded_as: str):
    """A lambda compiled from `source_path` whose code records `recorded_as` as its file."""
    namespace = {}
    exec(compile(source_path.read_text(), recorded_as, "exec"), namespace)
    return namespace["func"]


@pytest.fixture
def foreign_lambda(tmp_path):
    source = tmp_path / "srv" / "app" / "pkg" / "mod.py"
    source.parent.mkdir(parents=True)
    source.write_text("func = lambda _: 0\n")
    return source


def test_surface():
    assert [name for name in vars(module) if not name.startswith("__")] == [
        "Path", "getfile", "Callable", "Type", "whereabouts",
    ]
    assert whereabouts.__annotations__ == {"file": "Path | str", "func": "Callable | Type", "return": "Path | None"}
    assert whereabouts.__defaults__ == (None, None)
    assert whereabouts.__doc__.startswith("\n        ") and whereabouts.__doc__.endswith("\n        ")
    summary = whereabouts.__doc__.splitlines()[1].strip()
    assert whereabouts.__doc__ == docstring(
        [summary, "", ":param file: file object (__file__)", ":param func: function object (lambda _: 0)",
         ":return: 'location/if-can-be-found'"], 8)
    assert str(inspect.signature(whereabouts)) == "(file: 'Path | str' = None, func: 'Callable | Type' = None) -> 'Path | None'"


@pytest.mark.parametrize("call", [lambda: whereabouts(), lambda: whereabouts(None, None),
                                  lambda: whereabouts(file=None, func=None)])
def test_nothing_given_gives_none(call):
    assert call() is None


@pytest.mark.parametrize(
    "file, expected",
    [
        ("/srv/app/pkg/mod.py", "/srv/app/pkg"),
        (Path("/srv/app/pkg/mod.py"), "/srv/app/pkg"),
        ("pkg/mod.py", "pkg"),
        ("mod.py", "."),
        ("", "."),
        ("pkg/../mod.py", "pkg/.."),  # neither resolved nor normalised
        ("/", "/"),
    ],
)
def test_folder_of_a_file_is_taken_as_given(file, expected):
    result = whereabouts(file)
    assert isinstance(result, Path) and result == Path(expected) and str(result) == expected


def test_folder_of_a_function_from_another_file(foreign_lambda):
    func = load_lambda(foreign_lambda, str(foreign_lambda))
    assert whereabouts(func=func) == foreign_lambda.parent
    assert whereabouts(None, func) == foreign_lambda.parent


def test_relative_source_file_is_anchored_at_the_working_directory(foreign_lambda, tmp_path, monkeypatch):
    func = load_lambda(foreign_lambda, "srv/app/pkg/mod.py")
    monkeypatch.chdir(tmp_path)
    assert whereabouts(func=func) == tmp_path / "srv" / "app" / "pkg"
    monkeypatch.chdir(tmp_path / "srv")
    assert whereabouts(func=func) == tmp_path / "srv" / "srv" / "app" / "pkg"
    # Anchored only: parent components stay.
    func = load_lambda(foreign_lambda, "../srv/app/pkg/mod.py")
    assert str(whereabouts(func=func)) == os.path.join(str(tmp_path), "srv/../srv/app/pkg")


def test_file_takes_precedence_over_func():
    assert whereabouts("a/b.py", lambda _: 0) == Path("a")
    # `func` is not even looked at: a built-in would fail in getfile.
    assert whereabouts("a/b.py", len) == Path("a")
    assert whereabouts(file="", func=len) == Path(".")


def test_classes_and_this_module():
    assert whereabouts(func=test_surface) == Path(__file__).parent
    assert whereabouts(func=Path) == Path(inspect.getfile(Path)).parent


@pytest.mark.parametrize("func", [len, int, 5])
def test_getfile_errors_reach_the_caller(func):
    with pytest.raises(TypeError) as expected:
        inspect.getfile(func)
    with pytest.raises(TypeError) as raised:
        whereabouts(func=func)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("file", [5, 1.5, object()])
def test_path_errors_reach_the_caller(file):
    with pytest.raises(TypeError):
        whereabouts(file)


def test_names_are_looked_up_when_called(monkeypatch):
    calls = []

    class FakePath:
        def __init__(self, value):
            calls.append(value)
            self.parent = "parent of " + str(value)

        def absolute(self):
            return self

    monkeypatch.setattr(module, "Path", FakePath)
    monkeypatch.setattr(module, "getfile", lambda func: "/from/getfile.py")
    assert whereabouts("x.py") == "parent of x.py"
    assert whereabouts(func=len) == "parent of /from/getfile.py"
    assert calls == ["x.py", "/from/getfile.py"]

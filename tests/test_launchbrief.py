import os
import re
import subprocess
import sys
import textwrap

import pytest

import tools.launchbrief.launchbrief as module
from helpers_surface import docstring
from tools.launchbrief.launchbrief import launchbrief

STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}$")
LABELS = ["User: ", "Host: ", "OS Platform: ", "Python Version: ", "Implementation: "]


def check_block(lines: list[str]) -> None:
    """Eight lines: rule, time stamp, the five facts, rule."""
    assert len(lines) == 8
    assert STAMP.match(lines[1])
    assert lines[0] == "-" * len(lines[1]) == "-" * 26
    for line, label in zip(lines[2:7], LABELS):
        assert line.startswith(label)
    assert lines[7] == "-" * len(lines[6])


def run(code: str, env_changes: dict | None = None, drop=("app:main",)) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with a controlled environment."""
    env = {key: value for key, value in os.environ.items() if key not in drop}
    env.update(env_changes or {})
    prelude = "import os, sys\nfrom tools.launchbrief.launchbrief import launchbrief\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=60)


@pytest.fixture
def clean_env(monkeypatch):
    """No guard variables of the tests in this process's environment; restored afterwards."""
    for name in ("app:main", "svc-worker", "app::main", "x:y"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


# ---------------------------------------------------------------------------
# Surface.


def test_surface():
    assert [name for name in vars(module) if not name.startswith("__")] == [
        "os", "datetime", "getuser", "getfqdn", "platform", "python_implementation", "version", "launchbrief",
    ]
    assert launchbrief.__annotations__ == {"prefix": "str", "name": "str", "separator": "str"}
    assert launchbrief.__defaults__ == ("app", "main", ":")
    summary = launchbrief.__doc__.splitlines()[1].strip()
    assert summary
    assert launchbrief.__doc__ == docstring(
        [summary, "", ":param prefix: 'app-name'", ":param name: 'var-name'", ":param separator: 'separator'",
         ":return:"], 8)


# ---------------------------------------------------------------------------
# Real processes.


def test_printed_once_per_process():
    result = run("""
        assert launchbrief() is None
        print("guard:", os.environ["app:main"])
        assert launchbrief() is None
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    check_block(lines[:8])
    assert lines[8:] == ["guard: true"]
    assert result.stdout.endswith("\nguard: true\n")


def test_guard_is_inherited_by_child_processes():
    result = run("""
        import subprocess
        launchbrief()
        child = "from tools.launchbrief.launchbrief import launchbrief; launchbrief(); print('child done')"
        subprocess.run([sys.executable, "-c", child], check=True)
        launchbrief("other")
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    check_block(lines[:8])
    assert lines[8] == "child done"
    check_block(lines[9:])  # another guard name prints again


def test_set_guard_keeps_the_process_silent():
    result = run("print(launchbrief())", {"app:main": "true"})
    assert (result.returncode, result.stdout) == (0, "None\n"), result.stderr


@pytest.mark.parametrize("value", ["TRUE", "True", "1", "", " true"])
def test_other_guard_values_do_not_count(value):
    result = run("launchbrief(); print(repr(os.environ['app:main']))", {"app:main": value})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    check_block(lines[:8])
    assert lines[8] == "'true'"


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0, reason="needs to switch to an unknown user")
def test_failing_user_lookup_is_shown_in_its_line():
    drop = ("app:main", "LOGNAME", "USER", "LNAME", "USERNAME")
    # An unknown uid and no user variables: getpass cannot name the user.
    result = run("""
        import getpass
        os.setuid(54321)
        try:
            getpass.getuser()
        except Exception as exc:
            print("expected:", exc)
        launchbrief()
    """, drop=drop)
    assert result.returncode == 0, result.stderr
    first, *lines = result.stdout.splitlines()
    assert first.startswith("expected: ")
    check_block(lines)
    assert lines[2] == "User: " + first.removeprefix("expected: ")


@pytest.mark.parametrize("args", ["5", "prefix=b'app'", "'app', 'main', 1.5", "type('S', (str,), {})('app')"])
def test_refused_argument_leaves_the_environment_alone(args):
    result = run(f"""
        before = dict(os.environ)
        try:
            launchbrief({args})
        except TypeError as error:
            print("refused:", error, bool(getattr(error, "__notes__", None)))
        print("unchanged:", dict(os.environ) == before)
        launchbrief()
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("refused: Argument '")
    assert lines[0].endswith(str(args.startswith("type(")))  # subclasses of str carry the note
    assert lines[1] == "unchanged: True"
    check_block(lines[2:])


# ---------------------------------------------------------------------------
# In this process, with the environment restored by the fixture.


def printed(capsys) -> list[str]:
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("args", [(), (None,), (None, None, None), ("app", "main", ":"), (None, "main")])
def test_defaults_and_none_name_the_same_guard(clean_env, capsys, args):
    launchbrief(*args)
    check_block(printed(capsys))
    assert os.environ["app:main"] == "true"
    launchbrief()
    assert printed(capsys) == []


def test_each_guard_name_prints_once(clean_env, capsys):
    launchbrief("svc", "worker", "-")
    assert os.environ["svc-worker"] == "true" and "app:main" not in os.environ
    check_block(printed(capsys))
    launchbrief(prefix="svc", name="worker", separator="-")
    assert printed(capsys) == []
    launchbrief()
    check_block(printed(capsys))
    launchbrief("app", ":main", "")  # the same name, put together differently
    assert printed(capsys) == []
    launchbrief("x", "y")
    check_block(printed(capsys))
    assert os.environ["x:y"] == "true"


def test_block_content(clean_env, capsys, monkeypatch):
    monkeypatch.setattr(module, "getuser", lambda: "ann")
    monkeypatch.setattr(module, "getfqdn", lambda: "host.example")
    monkeypatch.setattr(module, "platform", lambda aliased: f"Plat(aliased={aliased})")
    monkeypatch.setattr(module, "version", "9.9.9 (custom)")
    monkeypatch.setattr(module, "python_implementation", lambda: "PyPyPyPy")
    launchbrief()
    lines = printed(capsys)
    check_block(lines)
    assert lines[2:7] == ["User: ann", "Host: host.example", "OS Platform: Plat(aliased=True)",
                          "Python Version: 9.9.9 (custom)", "Implementation: PyPyPyPy"]
    assert lines[7] == "-" * len("Implementation: PyPyPyPy")


def test_real_facts(clean_env, capsys):
    import getpass
    import platform
    import socket

    launchbrief()
    lines = printed(capsys)
    assert lines[2:7] == [f"User: {getpass.getuser()}", f"Host: {socket.getfqdn()}",
                          f"OS Platform: {platform.platform(aliased=True)}", f"Python Version: {sys.version}",
                          f"Implementation: {platform.python_implementation()}"]


def fail(error):
    def raising(*args, **kwargs):
        raise error
    return raising


@pytest.mark.parametrize("name, index", [("getuser", 2), ("getfqdn", 3), ("platform", 4),
                                         ("python_implementation", 6)])
def test_each_failing_fact_is_shown_and_the_rest_printed(clean_env, capsys, monkeypatch, name, index):
    monkeypatch.setattr(module, name, fail(OSError("no answer")))
    launchbrief()
    lines = printed(capsys)
    check_block(lines)
    assert lines[index] == LABELS[index - 2] + "no answer"


def test_missing_globals_are_failures_of_their_fact(clean_env, capsys, monkeypatch):
    monkeypatch.delattr(module, "version")
    monkeypatch.delattr(module, "python_implementation")
    launchbrief()
    lines = printed(capsys)
    check_block(lines)
    assert lines[5] == "Python Version: name 'version' is not defined"
    assert lines[6] == "Implementation: name 'python_implementation' is not defined"
    assert lines[7] == "-" * len(lines[6])


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_not_facts(clean_env, capsys, monkeypatch, error):
    monkeypatch.setattr(module, "getfqdn", fail(error()))
    with pytest.raises(error):
        launchbrief()
    assert printed(capsys) == []
    assert os.environ["app:main"] == "true"


def test_guard_is_set_before_the_block_is_built(clean_env, capsys, monkeypatch):
    class BrokenClock:
        @staticmethod
        def now():
            raise RuntimeError("no clock")

    monkeypatch.setattr(module, "datetime", BrokenClock)
    with pytest.raises(RuntimeError, match="no clock"):
        launchbrief()
    assert os.environ["app:main"] == "true"
    monkeypatch.undo()
    launchbrief()
    assert printed(capsys) == []


def test_block_is_printed_with_one_call(clean_env, monkeypatch):
    calls = []
    monkeypatch.setattr(module, "print", lambda *args, **kwargs: calls.append((args, kwargs)), raising=False)
    launchbrief()
    assert len(calls) == 1
    (text,), kwargs = calls[0]
    assert kwargs == {}
    check_block(text.split("\n"))


def test_environment_is_reached_through_the_module_global(monkeypatch, capsys):
    class FakeOs:
        environ = {"app:main": "true"}

    monkeypatch.setattr(module, "os", FakeOs)
    launchbrief()
    assert printed(capsys) == []
    FakeOs.environ = {}
    launchbrief()
    assert FakeOs.environ == {"app:main": "true"}
    check_block(printed(capsys))


def test_refused_guard_name_propagates(clean_env, capsys):
    with pytest.raises(ValueError):
        launchbrief("a=b")
    assert "a=b:main" not in os.environ
    assert printed(capsys) == []

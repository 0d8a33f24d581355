"""Self-containing and very deep values end in RecursionError, never in a
crashed interpreter: each case runs in its own process, so a crash shows up
as a failed exit instead of taking the test run down."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import sys, threading
    from tools.common.bulkshade import bulkshade
    from tools.common.secretshroud import secretshroud
    import tools.common.bulkshade as shade_module

    walk = {"bulkshade": bulkshade, "secretshroud": lambda v: secretshroud("pwd", v)}[sys.argv[1]]
    if sys.argv[4] == "general":
        original = shade_module.bulkshade
        shade_module.bulkshade = lambda **kwargs: original(**kwargs)

    def make():
        if sys.argv[2] == "self-list":
            value = []
            value.append(value)
        elif sys.argv[2] == "self-dict":
            value = {}
            value["k"] = (value,)
        else:
            value = "leaf"
            for _ in range(1_000_000):
                value = [value]
        return value

    outcome = []

    def run():
        value = make()
        try:
            walk(value)
        except RecursionError:
            outcome.append("RecursionError")
        else:
            outcome.append("returned")

    if sys.argv[3] == "thread":
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    else:
        run()
    print(outcome[0])
""")


@pytest.mark.parametrize("function", ["bulkshade", "secretshroud"])
@pytest.mark.parametrize("shape", ["self-list", "self-dict", "deep"])
@pytest.mark.parametrize("where", ["main", "thread"])
def test_ends_in_recursion_error(function, shape, where):
    done = subprocess.run([sys.executable, "-c", SCRIPT, function, shape, where, "fast"],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "RecursionError"), done.stderr[-2000:]


@pytest.mark.parametrize("where", ["main", "thread"])
def test_ends_in_recursion_error_through_a_python_global(where):
    done = subprocess.run([sys.executable, "-c", SCRIPT, "bulkshade", "deep", where, "general"],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "RecursionError"), done.stderr[-2000:]

"""Self-containing and very deep values end in RecursionError, never in a
crashed interpreter: each case runs in its own process, so a crash shows up
as a failed exit instead of taking the test run down."""

import textwrap

import pytest

from conftest import SMALL_THREAD_STACKS, run_python, threads_recurse_to_the_limit

SCRIPT = textwrap.dedent("""
    import threading
    from tools.common.bulkshade import bulkshade
    from tools.common.secretshroud import secretshroud
    import tools.common.bulkshade as shade_module

    walk = {{"bulkshade": bulkshade, "secretshroud": lambda v: secretshroud("pwd", v)}}["{function}"]
    if "{path}" == "general":
        original = shade_module.bulkshade
        shade_module.bulkshade = lambda **kwargs: original(**kwargs)

    def make():
        if "{shape}" == "self-list":
            value = []
            value.append(value)
        elif "{shape}" == "self-dict":
            value = {{}}
            value["k"] = (value,)
        else:
            value = "leaf"
            for _ in range(1_000_000):
                value = [value]
        return value

    # Made and released in the main thread: on 3.13 freeing a very deep list
    # takes more native stack than musl gives a thread, package or not.
    value = make()
    outcome = []

    def run():
        try:
            walk(value)
        except RecursionError:
            outcome.append("RecursionError")
        else:
            outcome.append("returned")

    if "{where}" != "main":
        if "{where}" == "small-stack thread":
            threading.stack_size(512 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    else:
        run()
    print(outcome[0])
""")


@pytest.mark.parametrize("function", ["bulkshade", "secretshroud"])
@pytest.mark.parametrize("shape", ["self-list", "self-dict", "deep"])
@pytest.mark.parametrize("where", ["main", "thread", "small-stack thread"])
def test_ends_in_recursion_error(function, shape, where):
    done = run_python(SCRIPT.format(function=function, shape=shape, where=where, path="fast"))
    assert (done.returncode, done.stdout.strip()) == (0, "RecursionError"), done.stderr[-2000:]


@pytest.mark.parametrize("where", ["main", "thread"])
def test_ends_in_recursion_error_through_a_python_global(where):
    if where == "thread" and not threads_recurse_to_the_limit():
        pytest.skip(SMALL_THREAD_STACKS)
    done = run_python(SCRIPT.format(function="bulkshade", shape="deep", where=where, path="general"))
    assert (done.returncode, done.stdout.strip()) == (0, "RecursionError"), done.stderr[-2000:]

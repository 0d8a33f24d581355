"""Deep and self-containing input for everything that recurses, in a child
interpreter (so that a crash shows as a failed test), in its main thread and
in a second thread, whose stack may be smaller."""

from __future__ import annotations

import os
import shutil
import textwrap

import pytest

from conftest import SMALL_THREAD_STACKS, run_python, threads_recurse_to_the_limit

RUNNER = """
import sys, threading
{setup}

def attempt():
    try:
        return repr({expression})
    except RecursionError:
        return "RecursionError"

print(attempt(), file=sys.__stdout__)
seen = []
thread = threading.Thread(target=lambda: seen.append(attempt()))
thread.start()
thread.join()
print(seen[0] if seen else "thread failed", file=sys.__stdout__)
"""


def run_in_both_threads(setup: str, expression: str) -> list[str]:
    if not threads_recurse_to_the_limit():
        pytest.skip(SMALL_THREAD_STACKS)
    result = run_python(RUNNER.format(setup=textwrap.dedent(setup), expression=expression), timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert len(lines) == 2, result.stdout[-3000:]
    return lines


CASES = {
    "walkers over values that contain themselves through subclasses": ("""
        import collections
        import tools.common.bulkshade as shade_module
        from tools.common.bulkshade import bulkshade
        from tools.common.secretshroud import secretshroud
        class List(list): pass
        class Dict(dict): pass
        class Tuple(tuple): pass
        class Items(dict):
            def items(self):
                return [("again", self)]
        Pair = collections.namedtuple("Pair", "first second")
        def values():
            a = List(); a.append(a)
            b = Dict(); b["k"] = [b]
            c = []; c.append(Tuple([c]))
            d = collections.OrderedDict(); d["k"] = Pair(d, 1)
            e = Items(x=1)
            f = []; f.append({"password": (f,)})
            return [a, b, c, d, e, f]
        def outcomes():
            seen = set()
            for general in (False, True):
                if general:  # nested calls through a Python function
                    shade_module.bulkshade = lambda value=None: bulkshade(value=value)
                for value in values():
                    for walk in (bulkshade, lambda v: secretshroud("pwd", v)):
                        try:
                            walk(value)
                            seen.add("returned")
                        except RecursionError:
                            seen.add("RecursionError")
            shade_module.bulkshade = bulkshade
            return sorted(seen)
        """, "outcomes()", "['RecursionError']"),
    "table text of self-containing lists": ("""
        from tools.tables.tables import Table
        table = Table({"columns": ["a"], "data": [{"a": 1}]})
        table.columns.append(table.columns)
        table.data.append(table.data)
        """, "(repr(table), str(table))",
        '''("Table(['a', [...]])", "{'columns': ['a', [...]], 'data': [{'a': 1}, [...]]}")'''),
    "table text of deep lists": ("""
        from tools.tables.tables import Table
        deep = []
        for _ in range(100000):
            deep = [deep]
        table = Table({"columns": ["a"], "data": [{"a": deep}]})
        """, "str(table)", "RecursionError"),
    "table construction that recurses": ("""
        from tools.tables.tables import Table
        class Row(dict):
            def __len__(self):
                Table({"columns": ["a"], "data": [Row(a=1)]})
                return 1
        """, "Table({'columns': ['a'], 'data': [Row(a=1)]})", "RecursionError"),
    "table filter that recurses": ("""
        from tools.tables.tables import Table
        class Names(list):
            def __contains__(self, name):
                return table.filter(include=Names())
        table = Table({"columns": ["a"], "data": [{"a": 1}]})
        """, "table.filter(include=Names())", "RecursionError"),
    "attribute name through a class that asks again": ("""
        from tools.common.slotwarden import SlotWarden
        class Loop:
            @property
            def __class__(self):
                return SlotWarden.get_name(self, "__x")
        """, "SlotWarden.get_name(Loop(), '__x')", "RecursionError"),
    "attribute test through a getter that tests again": ("""
        from tools.common.slotwarden import SlotWarden
        class Loop:
            @property
            def value(self):
                return SlotWarden(self, "value").exists
        """, "SlotWarden.has_attribute(Loop(), 'value')", "RecursionError"),
    "location of a path that asks again": ("""
        from tools.common.whereabouts import whereabouts
        class Loop:
            def __fspath__(self):
                return whereabouts(self)
        """, "whereabouts(Loop())", "RecursionError"),
    "file name joined through a path that asks again": ("""
        from tools.files.files import File
        class Loop:
            def __fspath__(self):
                return File.exists(self, "a")
        """, "File.exists(Loop(), 'a')", "RecursionError"),
    "start-up report whose facts report again": ("""
        import os
        import tools.launchbrief.launchbrief as module
        runs, depth = [0], [0]
        def getuser():
            depth[0] += 1
            return module.launchbrief(f"{runs[0]}-{depth[0]}")
        def report():
            runs[0] += 1
            depth[0] = 0
            return module.launchbrief(str(runs[0])), depth[0] > 100
        module.getuser = getuser
        sys.stdout = open(os.devnull, "w")
        """, "report()", "(None, True)"),
}


@pytest.mark.parametrize("case", CASES)
def test_deep_input_ends_in_an_orderly_way(case):
    setup, expression, expected = CASES[case]
    assert run_in_both_threads(setup, expression) == [expected, expected]


def test_count_over_a_folder_chain_longer_than_a_path_may_be(tmp_path):
    # os.walk gives up where the joined path gets too long, or, where it
    # descends by recursion, ends in RecursionError at the interpreter's
    # limit; so must the count, after listing as many folders.
    setup = f"""
        import os
        import tools.folders.folders as module
        from tools.folders.folders import Folder
        root = {str(tmp_path)!r}
        descriptor = os.open(root, os.O_RDONLY)
        for _ in range(2100):
            os.mkdir("d", dir_fd=descriptor)
            inner = os.open("d", os.O_RDONLY, dir_fd=descriptor)
            os.close(descriptor)
            descriptor = inner
        os.close(descriptor)
        listed = []
        sys.addaudithook(lambda event, args: listed.append(args) if event == "os.scandir" else None)
        class OsProxy:  # the counting steps through Python
            def __getattr__(self, name):
                return getattr(os, name)
        def count(through):
            module.os = through
            listed.clear()
            try:
                return Folder.count(root, True, True, recursive=True), len(listed)
            except RecursionError:
                return "RecursionError", len(listed)
            finally:
                module.os = os
        def compare():
            native, described = count(os), count(OsProxy())
            return native == described, described[1] > 900
        """
    assert run_in_both_threads(setup, "compare()") == ["(True, True)"] * 2
    remove_folder_chain(tmp_path, "d")


def remove_folder_chain(root, name):
    """Removes a chain of folders `name` inside `name` ... below `root` one
    level at a time: shutil.rmtree goes a recursion level deeper per folder on
    some interpreters, and a plain path to the bottom is too long to use."""
    inner, spare = os.path.join(root, name, name), os.path.join(root, name + "-next")
    while os.path.isdir(inner):
        os.rename(inner, spare)
        os.rmdir(os.path.join(root, name))
        os.rename(spare, os.path.join(root, name))
    shutil.rmtree(root)

"""The example programs run end to end against the installed package, with the
reference logging facility in examples/."""

from __future__ import annotations

import pathlib
import subprocess
import sys

from conftest import child_env
from helpers_package import EXAMPLES



def run_example(name: str, *args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess:
    # A fresh environment as far as the start-up report is concerned, and no
    # `logger` from the tests: the example's own folder provides it.
    env = child_env(drop=("PYTHONPATH", "app:main", "client:main"), tests_on_path=False)
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


def test_client_runs_every_module(tmp_path):
    result = run_example("client.py", str(tmp_path), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "-" * 26 and lines[7].startswith("-") and lines[6].startswith("Implementation: ")
    assert lines[8:] == [
        "client lives in examples/",
        "3 files, settings.json exists: True",
        "Table(['name', 'size', 'kind']) with 3 rows",
        "names only: [{'name': 'notes-old.txt'}, {'name': 'notes.txt'}, {'name': 'settings.json'}]",
        "without sizes: ['name', 'kind']",
        "settings as logged: password *******, banner 4047 chars",
        "_Inventory__writes = 2",
        "reset through SlotWarden; exists: True, direct: 0",
    ]
    assert list(tmp_path.iterdir()) == []  # its work folder is removed again


def test_demo_shows_every_section_and_cleans_up(tmp_path):
    result = run_example("demo.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    titles = [line for line in result.stdout.splitlines() if line.startswith("== ")]
    assert titles == ["== launchbrief ==", "== Folder ==", "== File ==", "== Table ==", "== SlotWarden ==",
                      "== whereabouts ==", "== bulkshade / secretshroud =="]
    assert result.stdout.count("Implementation: ") == 1  # the second launchbrief() stays silent
    assert "[log tools.files.files]" in result.stdout  # the reference facility writes through `logging`
    assert "\nDone." in result.stdout

"""The README's examples run as a user would paste them.

Every ```python block of README.md runs in a fresh interpreter, in an empty
temporary folder, with the reference `logger` of examples/ (not the tests'
recording one) on the path; the blocks of one `## ` section run in order in
one interpreter and share their names. A block whose line just before the
fence is an HTML comment starting `<!-- not run` is skipped; ```sh blocks
never run. A block that starts with `>>>` is checked with doctest.

A block right after `<!-- file: NAME -->` is a file the reader saves: it is
written to NAME in the folder, not run. A section that saves files brings its
own logging facility and runs without the reference one. The folder comes
first on the module path, as a script's own folder does.

A comment shows a value when it starts with a Python literal, written as
`repr()` prints it, alone or followed by a colon and an explanation:
`# True`, `# b'total: 42\\n'`, `# 4047: "\\n{\\n", 4000 characters, ...`.
It must end a line that holds one whole expression, and the expression's
`repr()` must equal the literal. Any other comment (`# missing parents too`)
is prose and is not checked.

This file is also the runner in the child interpreter: `python -P
test_readme.py <section>`. The blocks are compiled from a script in the
temporary folder that holds each block at its README line numbers, so
`__file__` exists and a traceback's line numbers are README.md's."""

from __future__ import annotations

import ast
import doctest
import io
import pathlib
import re
import subprocess
import sys
import tokenize

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"


SAVED_AS = re.compile(r"<!-- file: (\S+) -->")


def python_blocks(text: str) -> dict[str, list[tuple[int, str, str | None]]]:
    """The blocks to run or save, per `## ` section in order: (README line of
    the block's first code line, code, the file name it is saved as or None)."""
    sections: dict[str, list[tuple[int, str, str | None]]] = {}
    lines = text.splitlines()
    heading, code, start = "", None, 0
    for number, line in enumerate(lines, 1):
        if code is not None:  # inside a block
            if not line.startswith("```"):
                code.append(line + "\n")
                continue
            if runs:
                sections.setdefault(heading, []).append((start, "".join(code), saved_as))
            code = None
        elif line.startswith("```"):
            before = lines[number - 2] if number > 1 else ""
            runs = line.strip() == "```python" and not before.startswith("<!-- not run")
            saved_as = found.group(1) if (found := SAVED_AS.fullmatch(before.strip())) else None
            code, start = [], number + 1
        elif line.startswith("## "):
            heading = line[3:].strip()
    return sections


def shown_value(comment: str) -> str | None:
    """The literal a comment starts with, if it is followed by nothing or by a
    colon; None for a comment in words."""
    text = comment.removeprefix("#").strip()
    for end in [index for index, char in enumerate(text) if char == ":"] + [len(text)]:
        try:
            ast.literal_eval(text[:end])
        except Exception:  # the text up to here is no whole literal
            continue
        return text[:end].strip()
    return None


def with_checks(code: str, first: int) -> ast.Module:
    """A block parsed at its README line numbers, each expression that shows
    its value wrapped in a call of `_readme_shows`."""
    source = "\n" * (first - 1) + code
    shown = {token.start[0]: value for token in tokenize.generate_tokens(io.StringIO(source).readline)
             if token.type == tokenize.COMMENT and (value := shown_value(token.string)) is not None}
    tree = ast.parse(source)
    for node in ast.walk(tree):
        if isinstance(node, ast.Expr) and node.lineno == node.end_lineno and node.lineno in shown:
            where = f"README.md line {node.lineno}: {ast.get_source_segment(source, node.value)}"
            node.value = ast.copy_location(ast.Call(ast.Name("_readme_shows", ast.Load()), [
                node.value, ast.Constant(shown.pop(node.lineno)), ast.Constant(where)], []), node.value)
    if shown:
        raise AssertionError(f"README.md line {min(shown)}: a value is shown on a line that is not one expression")
    return ast.fix_missing_locations(tree)


def readme_shows(value: object, shown: str, where: str) -> object:
    if repr(value) != shown:
        raise AssertionError(f"{where} gives {value!r}, the README shows {shown}")
    return value


def run_section(heading: str) -> None:
    """Runs one section's blocks in the current folder (the child's side)."""
    blocks = python_blocks(README.read_text(encoding="utf-8"))[heading]
    script = pathlib.Path("readme_example.py").absolute()
    sys.path.insert(0, str(script.parent))
    lines = [""] * (blocks[-1][0] + blocks[-1][1].count("\n"))
    for first, code, saved_as in blocks:
        if saved_as is None and not code.lstrip().startswith(">>>"):
            lines[first - 1:first - 1 + code.count("\n")] = code.splitlines()
    script.write_text("\n".join(lines) + "\n", encoding="utf-8")
    namespace = {"__name__": "__main__", "__file__": str(script), "_readme_shows": readme_shows}
    for first, code, saved_as in blocks:
        if saved_as is not None:
            pathlib.Path(saved_as).parent.mkdir(parents=True, exist_ok=True)
            pathlib.Path(saved_as).write_text(code, encoding="utf-8")
        elif code.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(code, namespace, heading, str(README), first - 1)
            if doctest.DocTestRunner().run(test).failed:
                raise SystemExit(f"README.md line {first}: the interactive example does not show what it gives")
        else:
            exec(compile(with_checks(code, first), str(script), "exec"), namespace)


SECTIONS = python_blocks(README.read_text(encoding="utf-8"))


@pytest.mark.parametrize("heading", list(SECTIONS))
def test_readme_section_runs_as_written(heading, tmp_path):
    from conftest import child_env  # here: the child runs this file without the tests' folder on its path

    # The reference facility as the application's `logger`, unless the
    # section saves its own; no start-up report guard left from elsewhere, so
    # `launchbrief()` prints.
    own_facility = any(saved_as is not None for _, _, saved_as in SECTIONS[heading])
    env = child_env(changes=None if own_facility else {"PYTHONPATH": str(ROOT / "examples")},
                    drop=("app:main", "svc-worker", "PYTHONPATH"), tests_on_path=False)
    result = subprocess.run([sys.executable, "-P", __file__, heading], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


if __name__ == "__main__":
    run_section(sys.argv[1])

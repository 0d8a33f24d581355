"""Shared checks of what a native operation shows to Python code."""

from __future__ import annotations

import pydoc


def docstring(lines: list[str], indent: int) -> str:
    """The stored form of a field-style docstring: a leading line end, every
    non-empty line indented, and a trailing line end followed by the indent."""
    pad = " " * indent
    return "\n" + "".join(f"{pad}{line}\n" if line else "\n" for line in lines) + pad


def rendered(name: str, signature: str) -> str:
    """The line help() shows, on the running interpreter, for a Python
    function `name` defined with this signature (annotation texts included)."""
    namespace: dict = {}
    # Compiled without this file's `from __future__ import annotations`.
    exec(compile(f"def {name}{signature}: pass", "<reference>", "exec", dont_inherit=True), namespace)
    return pydoc.plaintext.document(namespace[name]).splitlines()[0]

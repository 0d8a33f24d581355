"""Shared checks of what a native operation shows to Python code."""

from __future__ import annotations


def docstring(lines: list[str], indent: int) -> str:
    """The stored form of a field-style docstring: a leading line end, every
    non-empty line indented, and a trailing line end followed by the indent."""
    pad = " " * indent
    return "\n" + "".join(f"{pad}{line}\n" if line else "\n" for line in lines) + pad

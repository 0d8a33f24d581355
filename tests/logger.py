"""Recording logging facility for the tests.

Stands in for the application's ``logger`` module. ``logging(prefix=...)``
returns a decorator; every decorated operation keeps a ``Logger`` in its
attribute ``logger`` and records its calls, and every ``debug`` line is
recorded too, so tests can inspect what the modules asked of the facility.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, field
from typing import Any

factory_calls: list[dict[str, Any]] = []
decorated: list[Any] = []
calls: list["Record"] = []
lines: list["Line"] = []


@dataclass
class Record:
    operation: str
    args: tuple
    kwargs: dict
    logger: Any = None


@dataclass
class Line:
    logger: "Logger"
    message: str
    kwargs: dict = field(default_factory=dict)


class Logger:
    def __init__(self, prefix: str, operation: str) -> None:
        self.prefix = prefix
        self.operation = operation

    def debug(self, message, *args, **kwargs):
        lines.append(Line(self, message, dict(kwargs, **({"args": args} if args else {}))))

    def __repr__(self) -> str:
        return f"<Logger {self.prefix}:{self.operation}>"


def reset() -> None:
    del factory_calls[:], decorated[:], calls[:], lines[:]


def messages() -> list[str]:
    return [line.message for line in lines]


def logging(**kwargs):
    factory_calls.append(kwargs)
    prefix = kwargs["prefix"]

    def decorator(target):
        decorated.append(target)
        static = isinstance(target, staticmethod)
        func = target.__func__ if static else target

        @functools.wraps(func)
        def wrapper(*args, logger=None, **kw):
            calls.append(Record(func.__qualname__, args, kw, logger))
            return func(*args, **kw)

        wrapper.logger = Logger(prefix, func.__qualname__)
        return staticmethod(wrapper) if static else wrapper

    return decorator

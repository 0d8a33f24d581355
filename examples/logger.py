"""Reference logging facility for applications that use ``tools``.

``folders``, ``files`` and ``tables`` import ``logging`` from a top-level
module named ``logger`` that the application provides. This one is small and
real; copy it and adapt it.

- ``logging(prefix=...)`` returns a decorator. The decorated operation logs
  each call (at DEBUG level, through the standard ``logging`` package under
  the logger named by ``prefix``) and carries an attribute ``logger``.
- ``logger.debug(message, date_=False, indent=False)`` writes a line;
  ``date_`` puts a time stamp in front, ``indent`` indents it under the call
  that is running.
- A decorated operation accepts the keyword ``logger`` (an operation hands
  its own logger to the operations it calls) and drops it before the call.
"""

from __future__ import annotations

import datetime
import functools
import logging as _std_logging
import threading

_depth = threading.local()


class OperationLogger:
    """The ``logger`` attribute of one decorated operation."""

    def __init__(self, prefix: str, operation: str) -> None:
        self.operation = operation
        self._log = _std_logging.getLogger(prefix)

    def debug(self, message: str, date_: bool = False, indent: bool = False) -> None:
        text = str(message)
        if indent:
            text = "    " * max(getattr(_depth, "value", 0), 1) + text
        if date_:
            text = f"{datetime.datetime.now():%Y-%m-%d %H:%M:%S} {text}"
        self._log.debug(text)


def logging(prefix: str):
    """Returns the decorator for one operation of the module ``prefix``."""

    def decorator(target):
        static = isinstance(target, staticmethod)
        func = target.__func__ if static else target
        own = OperationLogger(prefix, func.__qualname__)

        @functools.wraps(func)
        def wrapper(*args, logger: OperationLogger | None = None, **kwargs):
            caller = f" (from {logger.operation})" if logger is not None else ""
            depth = getattr(_depth, "value", 0)
            own._log.debug("%s%s%s", "    " * depth, func.__qualname__, caller)
            _depth.value = depth + 1
            try:
                return func(*args, **kwargs)
            finally:
                _depth.value = depth

        wrapper.logger = own
        return staticmethod(wrapper) if static else wrapper

    return decorator

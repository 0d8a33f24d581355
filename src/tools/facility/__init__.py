"""The logging facility that ships with tools, on the standard ``logging``
package: what ``tools.folders``, ``tools.files`` and ``tools.tables`` need of
the application's module ``logger``.

A script takes it with a ``logger.py`` of one line::

    from tools.facility import logging

An installed application registers it in its package's ``__init__.py``::

    import tools.facility
    tools.facility.register(parent="myapp")

Importing ``tools`` or ``tools.facility`` registers nothing.
"""

from tools.facility.facility import OperationLogger, logging, register

__all__ = ["OperationLogger", "logging", "register"]

"""Location lookup: the cost of one call, against the same steps in Python."""

from inspect import getfile
from pathlib import Path

from run import Case
from tools.common.whereabouts import whereabouts


def python_whereabouts(file=None, func=None):
    path = None
    if file is not None:
        path = Path(file).parent
    elif func is not None:
        path = Path(getfile(func)).absolute().parent
    return path


def cases():
    def func(_):
        return 0

    yield Case("whereabouts(file), absolute path",
               lambda: whereabouts("/srv/app/pkg/mod.py"), lambda: python_whereabouts("/srv/app/pkg/mod.py"))
    yield Case("whereabouts(func=...)", lambda: whereabouts(func=func), lambda: python_whereabouts(func=func))
    yield Case("whereabouts(), nothing given", lambda: whereabouts(), lambda: python_whereabouts())

from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any, overload

# Whatever inspect.getfile can name a source file for.
_Source = Callable[..., Any] | type[Any] | ModuleType

# A file wins over a function; only with neither is the result None.
@overload
def whereabouts(file: Path | str, func: _Source | None = None) -> Path: ...
@overload
def whereabouts(file: None = None, *, func: _Source) -> Path: ...
@overload
def whereabouts(file: None, func: _Source) -> Path: ...
@overload
def whereabouts(file: None = None, func: None = None) -> None: ...

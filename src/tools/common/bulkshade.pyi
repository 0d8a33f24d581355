from dataclasses import dataclass
from typing import Any

@dataclass(frozen=True)
class _Const:
    char_limit: int = 4000

_const: _Const

def bulkshade(value: object = None) -> Any: ...

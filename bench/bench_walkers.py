"""The value walkers on a JSON-like payload and on a long flat list.

Baselines:
- "described steps": the walk written in Python step by step, every nested
  call made through the module global by keyword and with the entry checks
  any call of the operation gets (what a faithful Python version pays);
- "plain walk": the walk a user would write by hand, without those checks;
- pickle: a C-level rebuild of the same payload (which copies the leaves too);
- list(x): copying a flat list, the floor for walking one.
"""

import pickle

from run import Case
from tools.common.bulkshade import bulkshade
from tools.common.secretshroud import secretshroud

HEAD = "\n{\n"
TAIL = "\n...big-content hidden...\n}\n                "
NOTICE = "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n                "


class _Limit:
    char_limit = 4000


_const = _Limit()


def bulkshade_steps(value=None):
    if value is None:
        value = ""
    if isinstance(value, dict):
        new = {}
        for k, v in value.items():
            new[k] = bulkshade_steps(value=v)
        return new
    if isinstance(value, list):
        new = []
        for v in value:
            new.append(bulkshade_steps(value=v))
        return new
    if isinstance(value, tuple):
        return tuple(bulkshade_steps(value=v) for v in value)
    try:
        value_str = format(value, "")
    except ValueError:
        return NOTICE
    if len(value_str) > _const.char_limit:
        return f"\n{{\n{value_str[:_const.char_limit]}\n...big-content hidden...\n}}\n                "
    return value


def secretshroud_steps(name=None, value=None):
    if name is not None and type(name) is not str:
        raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")
    if name is None:
        name = ""
    if value is None:
        value = ""
    if isinstance(value, dict):
        new = {}
        for k, v in value.items():
            new[k] = secretshroud_steps(name=k, value=v)
        return new
    if isinstance(value, list):
        new = []
        for v in value:
            new.append(secretshroud_steps(name=name, value=v))
        return new
    if isinstance(value, tuple):
        return tuple(secretshroud_steps(name=name, value=v) for v in value)
    if isinstance(value, str) and ("password" in name.lower() or "pwd" in name.lower()):
        return "*" * len(value)
    return value


def bulkshade_plain(value):
    if isinstance(value, dict):
        return {k: bulkshade_plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [bulkshade_plain(v) for v in value]
    if isinstance(value, tuple):
        return tuple(bulkshade_plain(v) for v in value)
    if value is None:
        return ""
    try:
        text = value if type(value) is str else format(value, "")
    except ValueError:
        return NOTICE
    return HEAD + text[:4000] + TAIL if len(text) > 4000 else value


def secretshroud_plain(name, value):
    if isinstance(value, dict):
        return {k: secretshroud_plain(k, v) for k, v in value.items()}
    if isinstance(value, list):
        return [secretshroud_plain(name, v) for v in value]
    if isinstance(value, tuple):
        return tuple(secretshroud_plain(name, v) for v in value)
    if value is None:
        return ""
    if isinstance(value, str):
        lowered = name.lower()
        if "password" in lowered or "pwd" in lowered:
            return "*" * len(value)
    return value


def payload(records=10_500):
    """About 200,000 leaves: 19 per record, and a few oversized strings."""
    big = "z" * 6000
    items = []
    for i in range(records):
        record = {
            "id": i,
            "name": f"user{i}",
            "email": f"user{i}@example.com",
            "active": i % 2 == 0,
            "score": i * 0.5,
            "password": "s3cr3t!",
            "tags": ["a", "bb", "ccc"],
            "address": {"city": "Springfield", "zip": "12345", "note": None, "geo": [1.5, -2.25]},
            "login": {"user": f"u{i}", "db_pwd": "hunter2"},
            "history": [i, i + 1, None],
        }
        if i % 1000 == 0:
            record["blob"] = big
        items.append(record)
    return {"count": records, "items": items}


def cases():
    data = payload()
    yield Case("bulkshade, 200k-leaf payload vs described steps",
               lambda: bulkshade(data), lambda: bulkshade_steps(data), target=25,
               baseline_name="described steps")
    yield Case("secretshroud, 200k-leaf payload vs described steps",
               lambda: secretshroud("payload", data), lambda: secretshroud_steps("payload", data), target=25,
               baseline_name="described steps")
    yield Case("bulkshade, 200k-leaf payload vs pickle round trip",
               lambda: bulkshade(data), lambda: pickle.loads(pickle.dumps(data, 5)), target=1,
               baseline_name="pickle")
    yield Case("secretshroud, 200k-leaf payload vs pickle round trip",
               lambda: secretshroud("payload", data), lambda: pickle.loads(pickle.dumps(data, 5)), target=1,
               baseline_name="pickle")
    yield Case("bulkshade, 200k-leaf payload vs plain Python walk",
               lambda: bulkshade(data), lambda: bulkshade_plain(data), baseline_name="plain walk")
    yield Case("secretshroud, 200k-leaf payload vs plain Python walk",
               lambda: secretshroud("payload", data), lambda: secretshroud_plain("payload", data),
               baseline_name="plain walk")
    flat = [f"s{i % 1000}" for i in range(1_000_000)]
    yield Case("bulkshade, 1,000,000 short strings vs list(x)",
               lambda: bulkshade(flat), lambda: list(flat), target=1 / 3, baseline_name="list(x)")

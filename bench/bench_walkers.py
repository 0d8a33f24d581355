"""The value walkers on a JSON-like payload, a real document and a long flat list.

A walk rebuilds every container of its value, so its floor is the cost of
building those containers at all. Baselines:
- marshal: `marshal.loads` of the value's dump (made once, at set-up), the
  interpreter's own C-level rebuild of the same value (which makes new
  leaves too); the walkers must stay within 1.1x of it;
- pickle: a C-level round trip of the same value;
- "described steps": the walk written in Python step by step, every nested
  call made through the module global by keyword and with the entry checks
  any call of the operation gets (what a faithful Python version pays);
- "plain walk": the walk a user would write by hand, without those checks;
- list(x): copying a flat list, the floor for walking one.
The cases against marshal and pickle run with the garbage collector on, as
in an application: it then visits every container either side builds.
"""

import json
import marshal
import pathlib
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


def document():
    """A real nested document that every environment of the Makefile has: each
    JSON file that the cmake package ships (the MSBuild flag tables and the
    schemas of its manual) and scikit-build-core's settings schema, by path."""
    import cmake
    import scikit_build_core

    roots = {"cmake": pathlib.Path(cmake.CMAKE_DATA),
             "scikit_build_core": pathlib.Path(scikit_build_core.__file__).parent / "resources"}
    return {f"{package}/{path.relative_to(root)}": json.loads(path.read_text(encoding="utf-8"))
            for package, root in roots.items() for path in sorted(root.rglob("*.json"))}


def leaves(value):
    if isinstance(value, dict):
        return sum(map(leaves, value.values()))
    if isinstance(value, (list, tuple)):
        return sum(map(leaves, value))
    return 1


# Within 1.1x of the floor: floor time / native time >= 1 / 1.1.
FLOOR_TARGET = 1 / 1.1


def floor_cases(label, value):
    dump = marshal.dumps(value)
    assert marshal.loads(dump) == value
    for name, walk in (("bulkshade", lambda: bulkshade(value)), ("secretshroud", lambda: secretshroud("value", value))):
        yield Case(f"{name}, {label} vs marshal.loads", walk, lambda: marshal.loads(dump),
                   target=FLOOR_TARGET, baseline_name="marshal", rounds=9, gc=True)


def cases():
    data = payload()
    yield from floor_cases("200k-leaf payload", data)
    doc = document()
    yield from floor_cases(f"cmake/scikit-build JSON ({leaves(doc):,} leaves)", doc)
    yield Case("bulkshade, 200k-leaf payload vs pickle round trip",
               lambda: bulkshade(data), lambda: pickle.loads(pickle.dumps(data, 5)), target=1,
               baseline_name="pickle", gc=True)
    yield Case("secretshroud, 200k-leaf payload vs pickle round trip",
               lambda: secretshroud("payload", data), lambda: pickle.loads(pickle.dumps(data, 5)), target=1,
               baseline_name="pickle", gc=True)
    yield Case("bulkshade, 200k-leaf payload vs described steps",
               lambda: bulkshade(data), lambda: bulkshade_steps(data), baseline_name="described steps")
    yield Case("secretshroud, 200k-leaf payload vs described steps",
               lambda: secretshroud("payload", data), lambda: secretshroud_steps("payload", data),
               baseline_name="described steps")
    yield Case("bulkshade, 200k-leaf payload vs plain Python walk",
               lambda: bulkshade(data), lambda: bulkshade_plain(data), baseline_name="plain walk")
    yield Case("secretshroud, 200k-leaf payload vs plain Python walk",
               lambda: secretshroud("payload", data), lambda: secretshroud_plain("payload", data),
               baseline_name="plain walk")
    flat = [f"s{i % 1000}" for i in range(1_000_000)]
    yield Case("bulkshade, 1,000,000 short strings vs list(x)",
               lambda: bulkshade(flat), lambda: list(flat), target=1 / 3, baseline_name="list(x)")

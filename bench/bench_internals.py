"""What each use of the interpreter's private API buys (src/core/cpython_internals.hpp).

Each case times one operation of this build against the same operation of
the build with every private use switched off (TOOLS_PUBLIC_API_ONLY, which
`make public` installs into .venv-public), on the case that the private use
is there for. The ratio is the public build's time over this build's: 1.25x
means the private use buys 25%.
"""

import importlib.util
import sys
from pathlib import Path

import portalocker

import run
from bench_slotwarden import Vault
from bench_tables import _description
from run import Case
from tools.common.bulkshade import bulkshade
from tools.common.slotwarden import SlotWarden
from tools.files.files import File
from tools.tables.tables import Table


def _public_module(name: str):
    """The module `tools.<package>.<name>` of the public-API-only build, loaded
    beside this build's under another name; None when that build is missing."""
    if run.PUBLIC_BUILD is None:
        return None
    found = sorted(Path(run.PUBLIC_BUILD).glob(f"lib/python3.*/site-packages/tools/*/{name}.cpython-*.so"))
    if not found:
        return None
    location = importlib.util.spec_from_file_location(f"public_api_only.{name}", found[0])
    module = importlib.util.module_from_spec(location)
    sys.modules[location.name] = module
    location.loader.exec_module(module)
    return module


def _refused(lock):
    """`lock` of a file another handle holds: refused, its file closed while
    the refusal is the exception being handled."""

    def call():
        try:
            lock(LOCKS, "held.lock")
        except portalocker.AlreadyLocked:
            pass

    return call


LOCKS = Path(__file__).resolve().parents[1] / "build" / "bench-locks"


def cases():
    tables, bulk, wardens, files = (_public_module(name) for name in ("tables", "bulkshade", "slotwarden", "files"))
    if None in (tables, bulk, wardens, files):
        print(f"(no public-API-only build at {run.PUBLIC_BUILD}: `make public` makes one; its cases are skipped)")
        return
    description = _description(20)
    yield Case("dict key tables: Table(...) 100000 rows x 20 columns",
               lambda: Table(description), lambda: tables.Table(description), baseline_name="public API", rounds=9,
               private_path="dict key tables")
    native, public = Table(description), tables.Table(description)
    include = description["columns"][::2]
    yield Case("dict key tables: Table.filter(include=<10 names>), 20 columns",
               lambda: native.filter(include=include), lambda: public.filter(include=include),
               baseline_name="public API", private_path="dict key tables")
    flat = [f"s{i % 1000}" for i in range(1_000_000)]
    yield Case("lists filled in place: bulkshade, 1,000,000 short strings",
               lambda: bulkshade(flat), lambda: bulk.bulkshade(flat), baseline_name="public API", rounds=9,
               private_path="lists filled in place")
    vault = Vault()
    yield Case("quiet attribute reads: SlotWarden.has_attribute, missing name",
               lambda: SlotWarden.has_attribute(vault, "__missing"),
               lambda: wardens.SlotWarden.has_attribute(vault, "__missing"), baseline_name="public API", rounds=9,
               private_path="quiet attribute reads")
    yield Case("the class of an object without running code: SlotWarden.get_name, private name",
               lambda: SlotWarden.get_name(vault, "__balance"),
               lambda: wardens.SlotWarden.get_name(vault, "__balance"), baseline_name="public API", rounds=9,
               private_path="the class of an object")
    # A public name that is there: neither the mangling nor the quiet read takes part.
    yield Case("functions read off a plain class: SlotWarden.has_attribute, public name",
               lambda: SlotWarden.has_attribute(vault, "owner"),
               lambda: wardens.SlotWarden.has_attribute(vault, "owner"), baseline_name="public API", rounds=9,
               private_path="functions read off a plain class")
    LOCKS.mkdir(parents=True, exist_ok=True)
    (LOCKS / "large.bin").write_bytes(b"x" * (8 << 20))
    read, public_read = File.read.__wrapped__, files.File.read.__wrapped__
    yield Case("bytes made shorter in place: File.read of 8 MiB",
               lambda: read(LOCKS, "large.bin"), lambda: public_read(LOCKS, "large.bin"), baseline_name="public API",
               rounds=9, private_path="bytes made shorter in place")
    holder = open(LOCKS / "held.lock", "a+")
    portalocker.lock(holder, portalocker.LOCK_EX | portalocker.LOCK_NB)
    yield Case("the exception being handled: File.lock refused, its file closed",
               _refused(File.lock), _refused(files.File.lock), baseline_name="public API", rounds=9,
               private_path="the exception being handled (exactness, not speed)")

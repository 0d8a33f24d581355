"""A small application that uses the tools package end to end.

Run it with ``make demo``. It works in a temporary folder and prints what
each module does; the debug lines of the logging facility (examples/logger.py)
are shown on standard output as well.
"""

from __future__ import annotations

import logging
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # the reference `logger`


def title(text: str) -> None:
    print(f"\n== {text} ==")


def show_folders(root: pathlib.Path) -> None:
    from tools.folders import Folder

    title("Folder")
    tree = root / "spool" / "incoming"
    print(f"exists({tree.relative_to(root)}) ->", Folder.exists(tree))
    Folder.create(tree)
    print(f"create({tree.relative_to(root)}); exists ->", Folder.exists(tree))
    for name in ("a.txt", "b.txt"):
        (tree / name).write_text(name)
    (tree / "done").mkdir()
    print("count(files)            ->", Folder.count(tree))
    print("count(files + folders)  ->", Folder.count(tree, folders=True))
    print("count(recursive) of spool ->", Folder.count(root / "spool", recursive=True))
    try:
        Folder.count(tree, mask="*.txt")
    except NotImplementedError as error:
        print("count(mask='*.txt')     -> NotImplementedError:", error)
    try:
        Folder.remove(tree)
    except OSError as error:
        print("remove(non-empty)       ->", type(error).__name__)
    Folder.remove(root / "spool", recursive=True)
    print("remove(recursive); exists ->", Folder.exists(root / "spool"))


def show_walkers(root: pathlib.Path) -> None:
    from tools.common.bulkshade import bulkshade
    from tools.common.secretshroud import secretshroud

    title("bulkshade / secretshroud")
    payload = {
        "user": "alice",
        "db": {"host": "db.local", "DB_Password": "s3cr3t", "passwd_hint": "first pet", "note": None},
        "tokens": ("abc", {"api_pwd": "xyz"}),
        "attachment": "A" * 5000,
        "retries": 3,
    }

    def brief(value):
        """The value with long strings summarised, so that it fits a line."""
        if isinstance(value, dict):
            return {key: brief(item) for key, item in value.items()}
        if isinstance(value, (list, tuple)):
            return type(value)(brief(item) for item in value)
        if isinstance(value, str) and len(value) > 40:
            return f"<{len(value)} chars: {value[:8]!r} ... {value[-30:]!r}>"
        return value

    for label, value in [
        ("payload", payload),
        ("bulkshade(payload)", bulkshade(payload)),
        ("secretshroud('payload', payload)", secretshroud("payload", payload)),
        ("both", secretshroud("payload", bulkshade(payload))),
    ]:
        print(f"{label:33} {brief(value)}")


def show_launchbrief(root: pathlib.Path) -> None:
    from tools.launchbrief.launchbrief import launchbrief

    # The very first thing an application does: the block appears once per
    # process environment, so this second call stays silent.
    launchbrief()
    launchbrief()
    title("launchbrief")
    print("printed the block above once; guard app:main =", os.environ.get("app:main"))


def show_slotwarden(root: pathlib.Path) -> None:
    from tools.common.slotwarden import SlotWarden

    class Account:
        def __init__(self, balance: int) -> None:
            self.__balance = balance

        def __getattr__(self, name):  # answers every missing name; SlotWarden is not fooled
            return "?"

        def balance(self) -> int:
            return self.__balance

    title("SlotWarden")
    account = Account(100)
    print("get_name(account, '__balance')    ->", SlotWarden.get_name(account, "__balance"))
    print("get_attribute(account, '__balance') ->", SlotWarden.get_attribute(account, "__balance"))
    print("has_attribute(account, '__missing') ->", SlotWarden.has_attribute(account, "__missing"),
          "(plain getattr says", repr(getattr(account, "missing")) + ")")
    warden = SlotWarden(account, "__balance")
    warden.value = 250
    print(f"SlotWarden(account, '__balance'): name={warden.name} exists={warden.exists} value={warden.value}")
    print("account.balance() after writing value ->", account.balance())


def show_whereabouts(root: pathlib.Path) -> None:
    from tools.common.whereabouts import whereabouts

    title("whereabouts")
    print("whereabouts(__file__)          ->", whereabouts(__file__))
    print("whereabouts(func=lambda _: 0)  ->", whereabouts(func=lambda _: 0))
    print("whereabouts('data/report.csv') ->", repr(whereabouts("data/report.csv")))
    print("whereabouts()                  ->", whereabouts())


def show_files(root: pathlib.Path) -> None:
    import portalocker

    from tools.files.files import File

    title("File")
    inbox = root / "inbox" / "2024" / "05"
    print("write(inbox/2024/05, report.bin)  (missing folders are created)")
    File.write(inbox, "report.bin", b"total: 42\n")
    print("read ->", File.read(inbox, "report.bin"))
    print("exists ->", File.exists(inbox, "report.bin"), "| exists(missing.bin) ->", File.exists(inbox, "missing.bin"))
    File.copy(inbox, "report.bin", root, "report-copy.bin")
    print("copy to the demo folder as report-copy.bin; exists ->", File.exists(root, "report-copy.bin"))
    File.rename(root, "report-copy.bin", "archived.bin")
    print("rename to archived.bin; exists ->", File.exists(root, "archived.bin"))

    handle = File.lock(root, "job.lock")
    print("lock(job.lock) ->", handle)
    try:
        File.lock(root, "job.lock")
    except portalocker.LockException as error:
        print("second lock(job.lock) ->", type(error).__name__, "(does not wait)")
    File.unlock(handle)
    print("unlock; handle closed ->", handle.closed)

    for folder, name in ((inbox, "report.bin"), (root, "archived.bin"), (root, "job.lock")):
        File.remove(folder, name)
    try:
        File.remove(root, "archived.bin")
    except FileNotFoundError as error:
        print("remove(archived.bin) again ->", type(error).__name__)


def show_tables(root: pathlib.Path) -> None:
    from tools.tables.tables import Table

    title("Table")
    table = Table(
        {
            "columns": ["name", "size", "type"],
            "data": [
                {"name": "a.txt", "size": 120, "type": "text"},
                {"type": "image", "name": "b.png", "size": 5400},  # any key order
            ],
        }
    )
    print("repr                          ->", repr(table))
    print("str                           ->", table)
    print("filter(include=[type, name])  ->", table.filter(include=["type", "name"]))
    print("filter(exclude=[size]).data   ->", table.filter(exclude=["size"]).data)
    try:
        Table({"columns": ["name", "size"], "data": [{"name": "c.txt", "kind": "text"}]})
    except Exception as error:
        print("a row without 'size'          ->", type(error).__name__, error)


SECTIONS = [show_launchbrief, show_folders, show_files, show_tables, show_slotwarden, show_whereabouts,
            show_walkers]


def main() -> None:
    logging.basicConfig(level=logging.DEBUG, format="    [log %(name)s] %(message)s", stream=sys.stdout)
    with tempfile.TemporaryDirectory(prefix="tools-demo-") as folder:
        print(f"Every module of tools, end to end, in {folder} (removed afterwards).")
        print("Lines in [log ...] come from the reference logging facility, examples/logger.py.\n")
        for section in SECTIONS:
            section(pathlib.Path(folder))
    print("\nDone. `make bench` times each module against a pure-Python version of it.")


if __name__ == "__main__":
    main()

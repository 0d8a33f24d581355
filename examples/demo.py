"""A small application that uses the tools package end to end.

Run it with ``make demo``. It works in a temporary folder and prints what
each module does; the debug lines of the logging facility (examples/logger.py)
are shown on standard output as well.
"""

from __future__ import annotations

import logging
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


SECTIONS = [show_folders, show_tables]


def main() -> None:
    logging.basicConfig(level=logging.DEBUG, format="    [log %(name)s] %(message)s", stream=sys.stdout)
    with tempfile.TemporaryDirectory(prefix="tools-demo-") as folder:
        for section in SECTIONS:
            section(pathlib.Path(folder))
    print("\nDone.")


if __name__ == "__main__":
    main()

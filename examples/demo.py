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


SECTIONS = [show_folders, show_walkers]


def main() -> None:
    logging.basicConfig(level=logging.DEBUG, format="    [log %(name)s] %(message)s", stream=sys.stdout)
    with tempfile.TemporaryDirectory(prefix="tools-demo-") as folder:
        for section in SECTIONS:
            section(pathlib.Path(folder))
    print("\nDone.")


if __name__ == "__main__":
    main()

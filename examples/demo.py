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


SECTIONS = [show_folders, show_files]


def main() -> None:
    logging.basicConfig(level=logging.DEBUG, format="    [log %(name)s] %(message)s", stream=sys.stdout)
    with tempfile.TemporaryDirectory(prefix="tools-demo-") as folder:
        for section in SECTIONS:
            section(pathlib.Path(folder))
    print("\nDone.")


if __name__ == "__main__":
    main()

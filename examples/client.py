"""A small, fully typed application that uses every module of ``tools``.

It keeps an inventory of the files it writes to a work folder: it prints its
start-up block, stores a settings file, counts and tabulates what is there,
and logs the settings with secrets masked and oversized values cut down.
``mypy --strict examples/client.py`` checks it against the package's stubs;
``python examples/client.py [folder]`` runs it (the reference ``logger`` next
to it is the logging facility).
"""

from __future__ import annotations

import json
import sys
import tempfile
from pathlib import Path
from typing import Any

from tools.common.bulkshade import bulkshade
from tools.common.secretshroud import secretshroud
from tools.common.slotwarden import SlotWarden
from tools.common.whereabouts import whereabouts
from tools.files.files import File
from tools.folders import Folder
from tools.launchbrief.launchbrief import launchbrief
from tools.tables.tables import Table


class Inventory:
    """The files of one work folder, with a private count of writes."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.__writes = 0

    def store(self, name: str, content: bytes) -> None:
        File.write(self.root, name, content)
        self.__writes += 1

    def table(self) -> Table:
        rows: list[dict[str, Any]] = [
            {"name": path.name, "size": path.stat().st_size, "kind": path.suffix.lstrip(".")}
            for path in sorted(self.root.iterdir())
            if path.is_file()
        ]
        return Table({"columns": ["name", "size", "kind"], "data": rows})


def settings() -> dict[str, Any]:
    return {
        "user": "reporter",
        "db_password": "s3cret!",
        "hosts": ("alpha", "beta"),
        "banner": "=" * 5000,
    }


def safe_to_log(values: dict[str, Any]) -> dict[str, Any]:
    logged: dict[str, Any] = bulkshade(secretshroud("settings", values))
    return logged


def run(root: Path) -> list[str]:
    report: list[str] = []
    launchbrief("client")  # guard variable client:main

    here: Path = whereabouts(__file__)
    report.append(f"client lives in {here.name}/")

    work = root / "inventory"
    if not Folder.exists(work):
        Folder.create(work)
    inventory = Inventory(work)
    inventory.store("settings.json", json.dumps(settings()).encode())
    inventory.store("notes.txt", b"first line\n")
    File.copy(work, "notes.txt", work, "notes-copy.txt")
    File.rename(work, "notes-copy.txt", "notes-old.txt")
    report.append(f"{Folder.count(work)} files, settings.json exists: {File.exists(work, 'settings.json')}")

    handle = File.lock(work, "inventory.lock")
    try:
        handle.write("busy\n")
    finally:
        File.unlock(handle)
    File.remove(work, "inventory.lock")

    table = inventory.table()
    report.append(f"{table!r} with {len(table.data)} rows")
    report.append(f"names only: {table.filter(include=['name']).data}")
    report.append(f"without sizes: {table.filter(exclude=('size',)).columns}")

    stored: dict[str, Any] = json.loads(File.read(work, "settings.json"))
    logged = safe_to_log(stored)
    report.append(f"settings as logged: password {logged['db_password']}, banner {len(logged['banner'])} chars")

    writes = SlotWarden(inventory, "__writes")
    report.append(f"{writes.name} = {writes.value}")
    writes.value = 0
    report.append(f"reset through SlotWarden; exists: {writes.exists}, "
                  f"direct: {SlotWarden.get_attribute(inventory, '__writes')}")

    Folder.remove(work, recursive=True)
    return report


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        lines = run(Path(argv[1]))
    else:
        with tempfile.TemporaryDirectory(prefix="tools-client-") as folder:
            lines = run(Path(folder))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

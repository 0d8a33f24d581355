"""Where the package's parts are, for the tests of what it ships."""

from __future__ import annotations

import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"  # the reference `logger` and the example programs

# Every extension module of the package.
MODULES = [
    "tools.folders.folders",
    "tools.files.files",
    "tools.tables.tables",
    "tools.common.bulkshade",
    "tools.common.secretshroud",
    "tools.common.slotwarden",
    "tools.common.whereabouts",
    "tools.launchbrief.launchbrief",
    "tools.facility.facility",
]

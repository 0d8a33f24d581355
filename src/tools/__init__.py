"""Native utility modules: folders, files with locks, tables, safe-to-log
values, attribute access, locations and a start-up report.

Importing the package (or ``tools.common``, ``tools.launchbrief``) needs
nothing of the application; ``tools.folders``, ``tools.files`` and
``tools.tables`` import its logging facility, the top-level module ``logger``.
"""

# The one place the release number is written: the build reads it from here.
__version__ = "0.1.0"

from tools.tables.tables import Table

__all__ = ["Table"]

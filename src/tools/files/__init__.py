from tools.files.files import File

__all__ = ["File"]

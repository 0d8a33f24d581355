from tools.folders.folders import Folder

__all__ = ["Folder"]

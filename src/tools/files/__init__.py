from tools.files.files import File

# What File.lock raises when another holder has the lock, so that an
# application can catch it without importing the locking package.
from portalocker import AlreadyLocked

__all__ = ["AlreadyLocked", "File"]

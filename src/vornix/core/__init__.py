"""A small local trading core: answers the framework's commands over loopback TCP."""

from vornix.core.server import CORE_VERSION, CoreServer

__all__ = ["CORE_VERSION", "CoreServer"]

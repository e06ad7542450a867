"""The disk-cache library's store and lock, as the package uses them."""

from diskcache import Cache, Lock

__all__ = ["Cache", "Lock"]

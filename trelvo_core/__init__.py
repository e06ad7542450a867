"""trelvo_core: the compiled core of the Trelvo notebook pipeline tool."""

__version__ = "0.1.0"

"""trelvo_core.common: package information, helpers, logging and pickling support."""

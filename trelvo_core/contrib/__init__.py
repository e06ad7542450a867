"""trelvo_core.contrib: third-party libraries as the package uses them."""

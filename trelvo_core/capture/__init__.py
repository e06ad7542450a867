"""trelvo_core.capture."""

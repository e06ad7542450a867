"""trelvo_core.callbacks."""

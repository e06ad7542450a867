"""trelvo_core.components."""

"""trelvo_core.misc.templates."""

"""trelvo_core.executors.component_executor."""

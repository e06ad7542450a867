"""trelvo_core.executors.remote_executor."""

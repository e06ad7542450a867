"""trelvo_core.executors: the cell execution engine and remote execution."""

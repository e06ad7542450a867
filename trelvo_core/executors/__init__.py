"""trelvo_core.executors: the cell execution engine and remote execution."""

from trelvo_core.executors.remote_executor.executor import TrelvoRemoteComponentExecutor

__all__ = ["TrelvoRemoteComponentExecutor"]

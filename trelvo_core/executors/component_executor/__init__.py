"""trelvo_core.executors.component_executor: the cell execution engine."""

from trelvo_core.executors.component_executor.dastrin import execute_in_process, execute_in_shell

__all__ = ["execute_in_process", "execute_in_shell"]

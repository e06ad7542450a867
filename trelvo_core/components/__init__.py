"""trelvo_core.components: the code-cell component."""

from trelvo_core.components.norvel import TrelvoComponentNorvel

__all__ = ["TrelvoComponentNorvel"]

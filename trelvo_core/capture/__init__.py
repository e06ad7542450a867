"""trelvo_core.capture: the capture manager and the replay of captured output."""

from trelvo_core.capture.pellory import TrelvoPellory
from trelvo_core.capture.selkin import TrelvoSelkin

__all__ = ["TrelvoPellory", "TrelvoSelkin"]

"""trelvo_core.callbacks: the connector that posts progress reports to the API server."""

from trelvo_core.callbacks.ostrel import TrelvoPipelineCallback

__all__ = ["TrelvoPipelineCallback"]

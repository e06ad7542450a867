"""trelvo_core.parameters_optimizer.callbacks: the callbacks optuna calls after every trial."""

from trelvo_core.parameters_optimizer.callbacks.prisket import TrelvoHPOPrisketCallback
from trelvo_core.parameters_optimizer.callbacks.windrel import TrelvoHPOWindrelCallback

__all__ = ["TrelvoHPOPrisketCallback", "TrelvoHPOWindrelCallback"]

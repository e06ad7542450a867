"""trelvo_core.parameters_optimizer.optimizers: the optimiser over an optuna study."""

from trelvo_core.parameters_optimizer.optimizers.quenmar import TrelvoHPOptimizer, get_search_space

__all__ = ["TrelvoHPOptimizer", "get_search_space"]

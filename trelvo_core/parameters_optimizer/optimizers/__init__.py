"""trelvo_core.parameters_optimizer.optimizers."""

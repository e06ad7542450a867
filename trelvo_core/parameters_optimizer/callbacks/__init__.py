"""trelvo_core.parameters_optimizer.callbacks."""

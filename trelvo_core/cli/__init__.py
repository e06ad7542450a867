"""The trelvo command: notebooks run as pipelines of components."""

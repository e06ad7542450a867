"""Package information."""

APP_NAME = "trelvo"

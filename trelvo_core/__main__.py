"""python -m trelvo_core: the trelvo command."""

from trelvo_core.cli.main import main

if __name__ == "__main__":
    raise SystemExit(main())

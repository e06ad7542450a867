"""python -m trelvo_core: the trelvo command."""

from trelvo_core.cli.main import console_main

if __name__ == "__main__":
    console_main()

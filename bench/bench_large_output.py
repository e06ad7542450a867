"""Large outputs: a cell printing many lines, run by the engine (every line captured as
records) against a bare run_cell of the same cell; both write into a StringIO. The cost per
line must stay flat as the output grows. Target: at most 3x at 100,000 and 300,000 lines."""

import io
import statistics
import sys
import time

from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.executors.component_executor import execute_in_shell
from trelvo_core.misc.models import TrelvoExecutionRequestModel

SIZES = (1_000, 100_000, 300_000)


def timed(function, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    shell = InteractiveShell.instance()
    real_stdout = sys.stdout
    for lines in SIZES:
        code = f"for i in range({lines}):\n    print(i)"
        request = TrelvoExecutionRequestModel(cell_code=code)
        rounds = 5 if lines < 100_000 else 3

        def engine():
            sys.stdout = io.StringIO()
            try:
                execute_in_shell(shell, request, send_to_front=False)
            finally:
                sys.stdout = real_stdout

        def bare():
            sys.stdout = io.StringIO()
            try:
                shell.run_cell(code, store_history=False)
            finally:
                sys.stdout = real_stdout

        ours, theirs = timed(engine, rounds), timed(bare, rounds)
        print(f"{lines:>7} lines: engine {ours / lines * 1e6:5.2f} us/line, "
              f"bare run_cell {theirs / lines * 1e6:5.2f} us/line")
        target = "report only" if lines < 100_000 else "target <= 3x"
        print(f"{lines} printed lines ratio: {ours / theirs:.2f}x ({target})")


if __name__ == "__main__":
    main()

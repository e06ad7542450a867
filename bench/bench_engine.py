"""Engine overhead: execute_in_shell of a trivial cell against the two bare run_cell calls it
makes (the empty import run and the cell). Prints the ratio; the target is at most 1.25x."""

import statistics
import time

from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.executors.component_executor import execute_in_shell
from trelvo_core.misc.models import TrelvoExecutionRequestModel

ROUNDS, CALLS = 15, 100


def per_call(function):
    start = time.perf_counter()
    for _ in range(CALLS):
        function()
    return (time.perf_counter() - start) / CALLS


def main():
    shell = InteractiveShell.instance()
    request = TrelvoExecutionRequestModel(cell_code="x = 1")

    def engine():
        execute_in_shell(shell, request, send_to_front=False)

    def baseline():
        shell.run_cell("", store_history=False)
        shell.run_cell("x = 1", store_history=False)

    engine(), baseline()
    ratios, engine_times, baseline_times = [], [], []
    for _ in range(ROUNDS):
        engine_time, baseline_time = per_call(engine), per_call(baseline)
        engine_times.append(engine_time)
        baseline_times.append(baseline_time)
        ratios.append(engine_time / baseline_time)
    print(f"execute_in_shell('x = 1'): {statistics.median(engine_times) * 1e6:.1f} us")
    print(f"two bare run_cell calls:   {statistics.median(baseline_times) * 1e6:.1f} us")
    print(f"engine ratio: {statistics.median(ratios):.2f}x (target <= 1.25x)")


if __name__ == "__main__":
    main()

"""Asynchronous runs: wall time of execute_async of a trivial cell, from submission to the
completion callback, on a pool whose worker has already served a run, against a synchronous
execute() of the same cell (target: at most 2x); and the time of a first run on a fresh worker.
Both run in kernel shells with the kernel's streams in place, as from a notebook: the bench
embeds the package's kernel application for its synchronous runs, and every worker has its own."""

import multiprocessing
import statistics
import sys
import time

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.ipython import TrelvoIPKernelApp
from trelvo_core.ipython.brascom import TrelvoBrascom


def async_run(component, pool, port):
    start = time.perf_counter()
    pending = component.execute_async(pool, iopub_port=port, send_to_front=False)
    pending.wait(120)
    elapsed = time.perf_counter() - start
    assert component.last_output == 1, component.status
    return elapsed


def main():
    # The kernel's own streams stay in place, as in a notebook and as in the workers: both sides
    # pay the same stream flushes. The bench's lines go to the real stdout.
    app = TrelvoIPKernelApp.instance()
    app.initialize()
    shell = app.shell
    router = TrelvoBrascom()
    router.start()
    component = TrelvoComponentNorvel("a1", "bench", "x = 1\nx", ipython_shell=shell)
    try:
        for method in ("fork", "spawn"):
            with multiprocessing.get_context(method).Pool(1) as pool:
                pool.apply(time.sleep, (0,))  # the worker process exists
                first = async_run(component, pool, router.iosub_port)
                # Alternated, as runs come in a notebook: neither side runs straight after
                # twenty-nine runs of its own, with every cache warm for it.
                warm_runs, sync_runs = [], []
                for _ in range(30):
                    warm_runs.append(async_run(component, pool, router.iosub_port))
                    sync_runs.append(_timed(lambda: component.execute(send_to_front=False)))
            warm, sync = statistics.median(warm_runs), statistics.median(sync_runs)
            report(f"{method:>6}: first run {first * 1e3:7.1f} ms; warm {warm * 1e3:6.2f} ms vs "
                   f"execute() {sync * 1e3:5.2f} ms")
            report(f"warm async run ({method}) ratio: {warm / sync:.2f}x (target <= 2x)")
    finally:
        router.close()


def report(line):
    sys.__stdout__.write(line + "\n")
    sys.__stdout__.flush()


def _timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()

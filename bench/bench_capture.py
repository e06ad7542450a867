"""Capture overhead: one captured sys.stdout.write (send_to_front False) against creating the
one TrelvoCapturedModel record it must make and keep, the floor of the design. Both keep their
records in a list, so both pay the same garbage-collector cost. Target: at most 1.5x."""

import statistics
import sys
import time

import pydantic

from trelvo_core.capture import TrelvoPellory
from trelvo_core.misc.models import TrelvoCapturedModel

ROUNDS, CALLS = 15, 20000


def per_call(function):
    start = time.perf_counter()
    for _ in range(CALLS):
        function()
    return (time.perf_counter() - start) / CALLS


def main():
    captured = []
    pellory = TrelvoPellory(metadata={"component_name": "bench"})

    kept = []

    def record():
        kept.append(TrelvoCapturedModel(type="stream", name="stdout", text="line"))

    ratios, write_times, record_times = [], [], []
    pellory.wrap_methods(captured, send_to_front=False, verbose=False)
    write = sys.stdout.write
    try:
        for _ in range(ROUNDS):
            write_time = per_call(lambda: write("line"))
            captured.clear()
            record_time = per_call(record)
            kept.clear()
            write_times.append(write_time)
            record_times.append(record_time)
            ratios.append(write_time / record_time)
    finally:
        pellory.unwrap_methods()
    print(f"pydantic {pydantic.__version__}")
    print(f"captured write:  {statistics.median(write_times) * 1e9:.0f} ns")
    print(f"record creation: {statistics.median(record_times) * 1e9:.0f} ns")
    print(f"capture ratio: {statistics.median(ratios):.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()

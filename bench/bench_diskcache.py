"""Disk-cache overhead: a synchronous write_diskcache of a component whose one output is 1 KiB,
1 MiB or 100 MiB of bytes, against writing the same values (the main cache's entries and the
variable in the sub cache) with diskcache directly; and reading `outputs` back from the disk
cache against reading the same entries with diskcache directly. Both sides open the same two
caches, so the ratio is the component's own work: its lock, status entries and checks.
Targets: writes at most 1.15x; reads at most 1.2x for 1 MiB and larger."""

import os
import shutil
import statistics
import tempfile
import time

from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.contrib import diskcache
from trelvo_core.misc.models import TrelvoCacheModel, TrelvoComponentMetadataModel

SIZES = {"1 KiB": 1024, "1 MiB": 1024**2, "100 MiB": 100 * 1024**2}


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def alternated(ours, direct, rounds):
    """Median times of the two, run in turn: the disk's and the machine's drifts hit both."""
    ours_times, direct_times = [], []
    for _ in range(rounds):
        ours_times.append(timed(ours))
        direct_times.append(timed(direct))
    return statistics.median(ours_times), statistics.median(direct_times)


def component_with(value):
    component = TrelvoComponentNorvel(
        "bench", "bench", "value = ...", ipython_shell=InteractiveShell.instance(),
        metadata=TrelvoComponentMetadataModel(componentType="Norvel", diskcache=True))
    component.load_memory_cache(TrelvoCacheModel(
        module_statements={}, non_module_outputs={"value": value}, last_output=None, captured=[]))
    return component


def main():
    root = tempfile.mkdtemp(prefix="trelvo-bench-")
    try:
        for label, size in SIZES.items():
            value = os.urandom(size)
            rounds = 5 if size > 10 * 1024**2 else 30
            ours_dir, direct_dir = os.path.join(root, "ours"), os.path.join(root, "direct")
            component = component_with(value)

            def direct_write():
                with diskcache.Cache(directory=direct_dir) as cache:
                    for key, attribute in (("identifier", "_id"), ("code", "_cell_code"),
                                           ("module_statements", "_module_statements"),
                                           ("last_output", "_last_output"),
                                           ("captured", "_captured"),
                                           ("outputs_summary", "_outputs_summary")):
                        cache.set(key=key, value=getattr(component, attribute))
                    with diskcache.Cache(directory=os.path.join(direct_dir, "non_module_outputs")) as sub:
                        sub.set(key="value", value=value)

            def direct_read():
                with diskcache.Cache(directory=direct_dir) as cache:
                    statements = cache.get("module_statements")
                with diskcache.Cache(directory=os.path.join(direct_dir, "non_module_outputs")) as sub:
                    return statements, {key: sub.get(key=key) for key in sub.iterkeys()}

            write_ours, write_direct = alternated(lambda: component.write_diskcache(ours_dir),
                                                  direct_write, rounds)
            component.clear_memory_cache()
            assert component.outputs["value"] == value
            read_ours, read_direct = alternated(lambda: component.outputs, direct_read, rounds)
            print(f"{label:>8}: write {write_ours * 1e3:8.2f} ms vs {write_direct * 1e3:8.2f} ms; "
                  f"read {read_ours * 1e3:8.2f} ms vs {read_direct * 1e3:8.2f} ms")
            read_target = "report only" if label == "1 KiB" else "target <= 1.2x"
            print(f"write {label} ratio: {write_ours / write_direct:.2f}x (target <= 1.15x)")
            print(f"read {label} ratio: {read_ours / read_direct:.2f}x ({read_target})")
            component._diskcache_dir = None  # the bench removes its own directory
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()

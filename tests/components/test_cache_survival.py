"""Disk caches that outlive their writer: process exit, restored components, cell-defined
objects, unreadable caches, cancelled writers."""

import glob
import os
import shutil
import time

import diskcache
import pytest

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc import TrelvoDiskcacheStatus as DiskStatus
from trelvo_core.misc.models import TrelvoComponentMetadataModel, TrelvoComponentModel

WRITE_AND_EXIT = """
    from IPython.core.interactiveshell import InteractiveShell
    from trelvo_core.components.norvel import TrelvoComponentNorvel
    from trelvo_core.misc.models import TrelvoComponentMetadataModel

    shell = InteractiveShell.instance()
    component = TrelvoComponentNorvel(
        "c1", "defs", {code!r}, ipython_shell=shell,
        metadata=TrelvoComponentMetadataModel(componentType="Norvel", diskcache=True))
    component.execute(send_to_front=False)
    component.write_diskcache({directory!r})
    shell.user_ns["component"] = component   # dropped by IPython's exit hook
    print(component.to_model().{dump}())
"""

CELL = """
class Point:
    def __init__(self, x):
        self.x = x
def double(v):
    return 2 * v
halve = lambda v: v / 2
origin = Point(double(3))
"""


def dump_method():
    import pydantic
    return "json" if pydantic.VERSION < "2" else "model_dump_json"


def model_from(text):
    import pydantic
    return (TrelvoComponentModel.parse_raw(text) if pydantic.VERSION < "2"
            else TrelvoComponentModel.model_validate_json(text))


def test_a_cache_outlives_its_process_and_brings_back_cell_defined_objects(tmp_path, python, shell):
    directory = str(tmp_path / "cache")
    model_json = python(WRITE_AND_EXIT.format(code=CELL, directory=directory, dump=dump_method()))
    assert os.path.isdir(directory)  # the writer's exit took nothing with it

    restored_here = python(f"""
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        from trelvo_core.misc.models import TrelvoComponentModel
        import pydantic
        text = {model_json.strip()!r}
        model = (TrelvoComponentModel.parse_raw(text) if pydantic.VERSION < "2"
                 else TrelvoComponentModel.model_validate_json(text))
        restored = TrelvoComponentNorvel.from_model(model)
        outputs = restored.outputs
        print(restored.status.name, restored.diskcache_status.name)
        print(outputs["double"](4), outputs["halve"](3), outputs["Point"](5).x, outputs["origin"].x)
        del restored, outputs   # a restored component leaves the cache it did not write
        """)
    assert restored_here.splitlines() == ["SUCCESSFUL CACHED", "8 1.5 5 6"]
    assert os.path.isdir(directory)
    again = TrelvoComponentNorvel.from_model(model_from(model_json.strip()))
    assert again.status is Status.SUCCESSFUL and again.outputs["double"](5) == 10
    del again
    assert os.path.isdir(directory)


def test_plain_pickles_are_still_read(make_component, tmp_path):
    directory = tmp_path / "cache"
    component = make_component("x = 1", diskcache=True)
    with diskcache.Cache(directory=str(directory)) as cache:  # written by plain pickling
        for key, value in {"identifier": "c1", "code": "x = 1", "module_statements": {},
                           "captured": [], "outputs_summary": None, "last_output": None}.items():
            cache.set(key, value)
        cache.set("status", DiskStatus.CACHED)
    with diskcache.Cache(directory=str(directory / "non_module_outputs")) as outputs:
        outputs.set("x", {"a": (1, 2)})
    assert component.load_diskcache(str(directory)) is True
    assert component.outputs == {"x": {"a": (1, 2)}}


@pytest.mark.parametrize("damage", ["missing", "corrupt"])
def test_a_model_whose_cache_cannot_be_loaded_is_invalid(cached_model, tmp_path, damage):
    model, directory = cached_model
    if damage == "missing":
        directory = str(tmp_path / "gone")
    else:
        with open(os.path.join(directory, "cache.db"), "wb") as broken:
            broken.write(b"not a database" * 100)
    model.diskcache_dir = directory
    restored = TrelvoComponentNorvel.from_model(model)
    assert restored.status is Status.INVALID
    assert restored.diskcache_status is DiskStatus.UNCACHED
    assert restored.outputs is None and restored._non_module_outputs_names is None


@pytest.fixture
def cached_model(make_component, run, tmp_path):
    component = make_component("x = [1, 2]", diskcache=True)
    run(component)
    directory = str(tmp_path / "cache")
    component.write_diskcache(directory)
    model = component.to_model()
    yield model, directory
    component._diskcache_dir = None  # the test may have broken the cache; the directory goes
    shutil.rmtree(directory, ignore_errors=True)


def values_files(directory):
    return glob.glob(os.path.join(directory, "**", "*.val"), recursive=True)


def test_a_writer_cancelled_while_waiting_for_the_lock_touches_nothing(make_component, run, tmp_path):
    directory = str(tmp_path / "cache")
    first = make_component("x = 'first'", diskcache=True)
    run(first)
    first.write_diskcache(directory)
    second = make_component("x = 'second'", diskcache=True)
    run(second)
    with diskcache.Cache(directory=directory) as cache:
        with diskcache.Lock(cache=cache, key="c1"):  # another writer holds the lock
            second.write_diskcache(directory, async_true=True)
            time.sleep(0.5)
            second.cancel_diskcache_task()
            assert cache.get("c1", default="gone") is None  # the lock entry is still held
            assert cache.get("status") is DiskStatus.CACHED
    assert first.non_module_outputs == {"x": "first"}


def test_cancelled_writers_leave_no_orphaned_files(make_component, run, tmp_path):
    directory = str(tmp_path / "cache")
    component = make_component("big = b'x' * 300_000_000", diskcache=True)
    run(component)
    for delay in (0.05, 0.15, 0.3):
        component.write_diskcache(directory, async_true=True)
        time.sleep(delay)
        component.cancel_diskcache_task()
        assert component.diskcache_status in (DiskStatus.FAILED, DiskStatus.CACHED)
    component.clear_diskcache()
    assert values_files(directory) == []

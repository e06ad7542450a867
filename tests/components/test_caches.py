"""Memory and disk caches of a component, on real diskcache directories, with a real forked
writer, and taken over by a component of a fresh interpreter."""

import os
import pickle
import textwrap
import threading
import time

import pytest

from trelvo_core.components.norvel import TrelvoComponentNorvel

from trelvo_core.contrib import diskcache
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc import TrelvoDiskcacheStatus as DiskStatus
from trelvo_core.misc.models import TrelvoComponentMetadataModel

MESSAGE = ("Error: The cache can't be written to disk because there are non-serializable objects "
           "in the component 'comp'. Remove those objects from the component and try again.")


def stored(directory, key, default=None):
    with diskcache.Cache(directory=str(directory)) as cache:
        return cache.get(key, default=default)


def stored_variables(directory):
    with diskcache.Cache(directory=str(directory / "non_module_outputs")) as cache:
        return {key: cache.get(key) for key in cache.iterkeys()}


@pytest.fixture
def cached(make_component, run, tmp_path):
    component = make_component("import json\nx = [1, 2]\nprint('hi')\nlen(x)", diskcache=True)
    run(component)
    return component


def test_write_only_successful_runs_of_components_using_the_cache(make_component, run, tmp_path):
    unused = make_component("x = 1", diskcache=False)
    run(unused)
    assert unused.write_diskcache(str(tmp_path)) is None and unused._diskcache_dir is None
    never_run = make_component("x = 1", diskcache=True)
    assert never_run.write_diskcache(str(tmp_path)) is None and never_run._diskcache_dir is None


def test_a_synchronous_write_serves_the_results_from_disk(cached, tmp_path):
    directory = tmp_path / "cache"
    assert cached.write_diskcache(str(directory)) is None
    assert cached.diskcache_status is DiskStatus.CACHED
    assert stored(directory, "status") is DiskStatus.CACHED
    assert (stored(directory, "identifier"), stored(directory, "code")) == ("c1", cached.cell_code)
    assert stored_variables(directory) == {"x": [1, 2]}
    cached.clear_memory_cache()
    assert cached.non_module_outputs == {"x": [1, 2]} and cached.last_output == 2
    assert cached.module_statements == {"json": "__import__('importlib').import_module('json')"}
    assert [r.text for r in cached.captured][:1] == ["hi"]


def test_a_later_write_never_brings_back_variables_of_an_earlier_one(make_component, run, tmp_path):
    first = make_component("old = 1\nkept = 2", diskcache=True)
    run(first)
    first.write_diskcache(str(tmp_path))
    second = make_component("kept = 3", diskcache=True)
    run(second)
    second.write_diskcache(str(tmp_path))
    second.clear_memory_cache()
    assert second.non_module_outputs == {"kept": 3}


@pytest.mark.parametrize("value", ["threading.Lock()", "(i for i in range(3))"])
def test_unpicklable_variables_fail_the_whole_write(make_component, run, tmp_path, value, capsys):
    component = make_component(f"import threading\nbad = {value}\nfine = 1", diskcache=True)
    run(component)
    with pytest.raises((TypeError, pickle.PicklingError)):
        component.write_diskcache(str(tmp_path))
    assert component._diskcache_status is DiskStatus.FAILED
    assert stored(tmp_path, "status") is DiskStatus.FAILED
    assert stored(tmp_path, "_error_msg") == MESSAGE


def test_an_unpicklable_last_output_is_stored_as_none(make_component, run, tmp_path):
    component = make_component("import threading\nthreading.Lock()", diskcache=True)
    run(component)
    component.write_diskcache(str(tmp_path))
    assert component.diskcache_status is DiskStatus.CACHED
    assert stored(tmp_path, "last_output", default="missing") is None


def test_a_forked_writer_is_joined(cached, tmp_path):
    process = cached.write_diskcache(str(tmp_path), async_true=True)
    assert process.name == "TrelvoComponentNorvel-c1-diskcache"
    assert cached._diskcache_status is DiskStatus.UPDATING
    cached.join_diskcache_task()
    assert cached._diskcache_task is None and cached.diskcache_status is DiskStatus.CACHED
    assert stored_variables(tmp_path) == {"x": [1, 2]}


def test_a_failed_forked_write_shows_its_message_at_join(make_component, run, tmp_path, capsys):
    component = make_component("import threading\nbad = threading.Lock()", diskcache=True)
    run(component)
    component.write_diskcache(str(tmp_path), async_true=True)
    component.join_diskcache_task()
    assert component._diskcache_status is DiskStatus.FAILED
    assert capsys.readouterr().err.endswith(MESSAGE)


def test_cancel_interrupts_a_writer_that_is_still_writing(make_component, run, tmp_path):
    component = make_component("big = b'x' * (600 * 1024 * 1024)", diskcache=True)
    run(component)
    process = component.write_diskcache(str(tmp_path), async_true=True)
    deadline = time.monotonic() + 30
    while stored(tmp_path, "status") is not DiskStatus.UPDATING and time.monotonic() < deadline:
        time.sleep(0.01)
    assert process.is_alive()
    component.cancel_diskcache_task()
    assert component._diskcache_task is None
    assert component._diskcache_status is DiskStatus.FAILED
    assert stored(tmp_path, "status") is DiskStatus.FAILED


def test_join_and_cancel_without_a_task_do_nothing(cached):
    cached.join_diskcache_task()
    cached.cancel_diskcache_task()
    assert cached._diskcache_status is DiskStatus.UNCACHED


def test_cancel_of_a_finished_writer_reads_the_status(cached, tmp_path):
    process = cached.write_diskcache(str(tmp_path), async_true=True)
    process.join()
    cached.cancel_diskcache_task()
    assert cached._diskcache_status is DiskStatus.CACHED


def test_load_diskcache_takes_over_a_matching_cache(cached, make_component, shell, tmp_path):
    cached.write_diskcache(str(tmp_path))
    other_code = make_component("x = 2", diskcache=True)
    assert other_code.load_diskcache(str(tmp_path)) is False
    assert other_code.status is Status.INVALID
    other_id = make_component(cached.cell_code, diskcache=True, identifier="other")
    assert other_id.load_diskcache(str(tmp_path)) is False
    assert make_component(cached.cell_code).load_diskcache(str(tmp_path)) is False
    (tmp_path / "file").write_text("x")
    assert make_component(cached.cell_code, diskcache=True).load_diskcache(str(tmp_path / "file")) is False

    taker = make_component(cached.cell_code, diskcache=True)
    shell.user_ns.pop("x", None)
    assert taker.load_diskcache(str(tmp_path)) is True
    assert taker.status is Status.SUCCESSFUL and taker.diskcache_status is DiskStatus.CACHED
    assert shell.user_ns.pop("x") == [1, 2] and shell.user_ns.pop("json").__name__ == "json"
    assert taker._non_module_outputs is None and taker.non_module_outputs == {"x": [1, 2]}
    assert taker._non_module_outputs_names == ["x"]


def test_clearing(cached, tmp_path):
    directory = tmp_path / "cache"
    cached.write_diskcache(str(directory))
    cached.clear_diskcache()
    assert cached._diskcache_status is DiskStatus.UNCACHED and directory.exists()
    assert stored(directory, "status") is None and stored_variables(directory) == {}
    cached.write_diskcache(str(directory))
    cached.clear_diskcache(rmtree=True)
    assert not directory.exists() and cached._diskcache_dir == str(directory)
    cached.clear_cache()
    assert cached._non_module_outputs is None and cached.status is Status.SUCCESSFUL


def test_turning_the_cache_off_clears_it_first(cached, tmp_path):
    cached.write_diskcache(str(tmp_path))
    cached.use_diskcache = False
    assert stored(tmp_path, "status") is None and cached.use_diskcache is False
    assert cached.diskcache_dir is None


def test_invalidation_clears_memory_and_disk(cached, tmp_path):
    cached.write_diskcache(str(tmp_path))
    cached.cell_code = "y = 2"
    assert stored(tmp_path, "status") is None and cached._last_output is None


def written(make_component, run, directory):
    component = make_component("x = [1, 2]", diskcache=True)
    run(component)
    component.write_diskcache(str(directory))
    return component


def test_the_finaliser_removes_the_directory_of_a_dropped_component(make_component, run, tmp_path):
    directory = tmp_path / "cache"
    component = written(make_component, run, directory)
    del component
    assert not directory.exists()


def test_the_finaliser_spares_a_cache_another_component_took_over(make_component, run, tmp_path):
    from trelvo_core.components.norvel import TrelvoComponentNorvel

    directory = tmp_path / "cache"
    original = written(make_component, run, directory)
    successor = TrelvoComponentNorvel.from_model(original.to_model())
    del original
    assert directory.exists() and successor.non_module_outputs == {"x": [1, 2]}
    del successor  # it did not write the cache: the cache stays
    assert directory.exists()


def test_a_fresh_interpreter_takes_over_the_cache(cached, tmp_path, python):
    directory = tmp_path / "cache"
    cached.write_diskcache(str(directory))
    model = cached.to_model()
    dumped = model.json() if hasattr(model, "json") and not hasattr(model, "model_dump_json") \
        else model.model_dump_json()
    (tmp_path / "model.json").write_text(dumped)
    output = python(
        f"""
        import json
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        from trelvo_core.misc.models import TrelvoComponentModel
        data = json.loads(open({str(tmp_path / "model.json")!r}).read())
        restored = TrelvoComponentNorvel.from_model(TrelvoComponentModel(**data))
        print(restored.status.name, restored.diskcache_status.name)
        print(restored.outputs["x"], sorted(restored.module_statements), restored.last_output)
        print([r.text for r in restored.captured][:1])
        restored._diskcache_dir = None  # leave the cache to the test
        """,
    )
    assert output.split("\n")[-4:-1] == ["SUCCESSFUL CACHED", "[1, 2] ['json'] 2", "['hi']"]


class TrelvoComponentRefusing(TrelvoComponentNorvel):
    """A component whose writer records a refusal instead of writing."""

    def _write_diskcache(self, cache_dir):
        with diskcache.Cache(directory=cache_dir) as cache:
            cache.set("status", DiskStatus.FAILED)
            cache.set("_error_msg", "refused by policy")


def test_an_overriding_writer_has_its_outcome_read_from_the_disk(shell, tmp_path, capsys):
    from trelvo_core.misc.models import TrelvoCacheModel, TrelvoComponentMetadataModel

    component = TrelvoComponentRefusing(
        "c9", "refusing", "x = 1", ipython_shell=shell,
        metadata=TrelvoComponentMetadataModel(componentType="Norvel", diskcache=True))
    component.load_memory_cache(TrelvoCacheModel(non_module_outputs={"x": 1}))
    component.write_diskcache(str(tmp_path))
    assert component.diskcache_status is DiskStatus.FAILED
    assert "refused by policy" in capsys.readouterr().err

"""to_model and from_model: never-run, successful and failed components."""

import pytest

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc import TrelvoDiskcacheStatus as DiskStatus
from trelvo_core.misc.models import (
    TrelvoCacheModel,
    TrelvoComponentModel,
    TrelvoComponentOutputsSummaryModel,
)


def test_a_never_run_component(make_component):
    component = make_component()
    component.add_parent("p", "parent")
    model = component.to_model()
    assert isinstance(model, TrelvoComponentModel)
    assert (model.identifier, model.name, model.code) == ("c1", "comp", "x = 1")
    assert model.execution_status == "INVALID" and model.diskcache_status == "UNCACHED"
    assert (model.imports, model.inputs, model.outputs, model.captured) == ([], [], [], [])
    assert model.summary == TrelvoComponentOutputsSummaryModel() and model.last_execution == ""
    assert model.parents == [{"id": "p", "name": "parent"}]
    restored = TrelvoComponentNorvel.from_model(model)
    assert restored.status is Status.INVALID and restored.parents == component.parents
    assert restored.metadata == component.metadata


def test_a_successful_component_keeps_its_output_and_names(make_component, run):
    component = make_component("print('out')\ny = 2")
    run(component, non_module_inputs={"i": 1})
    model = component.to_model()
    assert model.execution_status == "SUCCESSFUL" and model.outputs == ["i", "y"]
    assert [r.text for r in model.captured] == ["out", "\n"]
    restored = TrelvoComponentNorvel.from_model(model)
    assert restored.status is Status.SUCCESSFUL
    assert [r.text for r in restored.captured] == ["out", "\n"]
    assert restored._non_module_outputs_names == ["i", "y"]
    assert restored.non_module_outputs is None  # variables come back only through a disk cache


def test_a_failed_component_round_trips_its_message_without_colour(make_component):
    component = make_component("1/0")
    component.load_memory_cache(
        TrelvoCacheModel(exception_msg=["\x1b[0;31mZeroDivisionError\x1b[0m", "line two"]))
    model = component.to_model()
    (record,) = model.captured
    assert (record.type, record.name, record.text) == ("stream", "stderr",
                                                       "ZeroDivisionError\nline two")
    restored = TrelvoComponentNorvel.from_model(model)
    assert restored.status is Status.FAILED
    assert restored.exception_msg == ["ZeroDivisionError", "line two"]


@pytest.mark.parametrize("status, expected", [("successful", Status.SUCCESSFUL),
                                              ("Failed", Status.FAILED)])
def test_status_text_in_any_case(status, expected):
    model = TrelvoComponentModel(identifier="i", name="n", code="c", execution_status=status,
                                 diskcache_status="uncached", parents=[], captured=[])
    assert TrelvoComponentNorvel.from_model(model).status is expected


def test_a_status_that_names_no_member():
    model = TrelvoComponentModel(identifier="i", name="n", code="c", execution_status="done",
                                 diskcache_status="UNCACHED", parents=[], captured=[])
    with pytest.raises(KeyError):
        TrelvoComponentNorvel.from_model(model)


def test_a_restored_disk_cache_is_taken_over(make_component, run, tmp_path):
    component = make_component("z = 3", diskcache=True)
    run(component)
    component.write_diskcache(str(tmp_path))
    restored = TrelvoComponentNorvel.from_model(component.to_model())
    assert restored.diskcache_status is DiskStatus.CACHED and restored.outputs == {"z": 3}

"""The Kubeflow Pipelines templates: the YAML the real SDK compiles, run by its local runner."""

import os
import re
import sys
import tempfile

import pytest
import yaml

from trelvo_core.misc.templates.morvish import MorvishBase, MorvishComponent, MorvishPipeline

from .conftest import PARAMETERS

GENERATED = re.compile(r"kfp_[0-9a-f]{8}")

kfp = pytest.importorskip("kfp")
import kfp.components  # noqa: E402


@pytest.fixture
def own_tempdir(tmp_path, monkeypatch):
    """The temporary directories of this test, to see what is left behind."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def generated(code):
    """A template class whose generated module is the given code."""

    class Generated(MorvishBase):
        def __init__(self):
            super().__init__()
            self._template = self._template_env.from_string(code)

    return Generated()


def test_classes():
    assert issubclass(MorvishPipeline, MorvishBase) and issubclass(MorvishComponent, MorvishBase)
    assert MorvishPipeline() is MorvishPipeline() is not MorvishComponent()
    assert MorvishPipeline()._template.name == "morvish_pipeline.jinja2"
    assert MorvishComponent()._template.name == "morvish_component.jinja2"


PROBE = """
import os
import sys

sys.trelvo_probe_runs = getattr(sys, "trelvo_probe_runs", 0) + 1


def compile_to_yaml(save_path):
    directory = os.path.dirname(__file__)
    with open(save_path, "w", encoding="utf-8") as sink:
        sink.write(f"{__name__} {os.path.basename(directory)[:11]} {sys.trelvo_probe_runs} "
                   f"{__name__ in sys.modules} {directory in sys.path} é")
"""


def test_the_generated_module_is_imported_from_a_temporary_directory_and_dropped(own_tempdir):
    probe = generated(PROBE)
    try:
        first, second = probe.compile_to_yaml(), probe.compile_to_yaml(unused=1)
    finally:
        del sys.trelvo_probe_runs
    # Imported, then reloaded; out of sys.modules and sys.path before compile_to_yaml runs.
    assert re.fullmatch(r"kfp_[0-9a-f]{8} trelvo-kfp- 2 False False é", first)
    assert second.split()[2] == "4" and first.split()[0] != second.split()[0]
    assert not [m for m in sys.modules if GENERATED.fullmatch(m)]
    assert not [p for p in sys.path if "trelvo-kfp-" in p]
    assert os.listdir(own_tempdir) == []


@pytest.mark.parametrize("code, error", [
    ("x = 1\n", AttributeError),                        # no compile_to_yaml
    ("raise LookupError('at import')\n", LookupError),  # the import itself fails
    ("def compile_to_yaml(save_path):\n    pass\n", FileNotFoundError),
])
def test_failures_leave_nothing_behind(own_tempdir, code, error):
    with pytest.raises(error):
        generated(code).compile_to_yaml()
    assert os.listdir(own_tempdir) == []
    assert not [p for p in sys.path if "trelvo-kfp-" in p]
    assert not [m for m in sys.modules if GENERATED.fullmatch(m)]


def test_an_invalid_pipeline_is_refused_before_any_file_is_written(own_tempdir):
    with pytest.raises(ValueError, match=r"^Component 'b' \(id 'b'\) has a parent 'x'"):
        MorvishPipeline().compile_to_yaml(pipeline_name="p", components=[
            {"identifier": "b", "name": "b", "parents": [{"id": "x", "name": "x"}]}])
    for name in ("Output", "_hidden", "größe"):  # what KFP itself refuses
        with pytest.raises(ValueError, match=f"^Parameter '{name}' cannot be a Kubeflow Pipelines parameter"):
            MorvishPipeline().compile_to_yaml(pipeline_name="p", components=[], parameters=[
                {"name": name, "type": "int", "value": "1"}])
    assert os.listdir(own_tempdir) == []


def test_parameter_types_and_defaults():
    values = {"flag": ("bool", "True"), "count": ("int", "3"), "rate": ("float", "1"),
              "label": ("str", "'x'"), "tags": ("list", "['a']"), "config": ("dict", "{'k': 1}"),
              "shape": ("tuple", "(2, 3)"), "guess": (None, "0.5")}
    parameters = [{"name": n, "type": t, "value": v} for n, (t, v) in values.items()]
    text = MorvishPipeline().compile_to_yaml(
        pipeline_name="Typed Pipeline!", parameters=parameters, components=[
            {"identifier": "a", "name": "use all", "code": " + ".join(values), "outputs": []}])
    document = yaml.safe_load(text)
    assert document["schemaVersion"] == "2.1.0"
    assert document["pipelineInfo"]["name"] == "typed-pipeline"
    assert {n: (p["parameterType"], p["defaultValue"])
            for n, p in document["root"]["inputDefinitions"]["parameters"].items()} == {
        "flag": ("BOOLEAN", True), "count": ("NUMBER_INTEGER", 3), "rate": ("NUMBER_DOUBLE", 1.0),
        "label": ("STRING", "x"), "guess": ("NUMBER_DOUBLE", 0.5),
        # KFP would carry the numbers inside as doubles: these travel as their Python literal.
        "tags": ("STRING", "['a']"), "config": ("STRING", "{'k': 1}"), "shape": ("STRING", "(2, 3)")}


# Display names give readable task names on a cluster; the local runner says it ignores them.
@pytest.mark.filterwarnings("ignore:Task .* have no effect in the current local runner")
def test_the_pipeline_yaml_runs_under_the_local_runner(tmp_path, pipeline_run, run_kfp_locally):
    models, printed = pipeline_run
    text = MorvishPipeline().compile_to_yaml(pipeline_name="demo", components=models,
                                            parameters=PARAMETERS)
    document = yaml.safe_load(text)
    tasks = document["root"]["dag"]["tasks"]
    assert {key: (task["taskInfo"]["name"], sorted(task.get("dependentTasks", [])))
            for key, task in tasks.items()} == {
        "make-data": ("Make data", []), "left": ("left", ["make-data"]),
        "right": ("right", ["make-data"]), "report": ("Report", ["left", "right"])}

    outputs = run_kfp_locally(text, tmp_path / "default")
    assert outputs["total"] == 65.25 and outputs["scaled"](2) == 3.0  # a cell-defined function
    outputs = run_kfp_locally(text, tmp_path / "override", scale=2.0, label="again")
    assert outputs["total"] == 122.0


def test_one_component_compiles_with_artifact_and_parameter_inputs(pipeline_run):
    models, _ = pipeline_run
    report = next(m for m in models if m.name == "Report")
    text = MorvishComponent().compile_to_yaml(component=report, parameters=PARAMETERS,
                                             base_image="python:3.12-slim",
                                             packages_to_install=["numpy"])
    component = kfp.components.load_component_from_text(text)
    inputs = component.component_spec.inputs
    assert sorted(inputs) == ["from_left", "from_right", "label"]
    assert list(component.component_spec.outputs) == ["results"]
    executor = next(iter(yaml.safe_load(text)["deploymentSpec"]["executors"].values()))
    assert executor["container"]["image"] == "python:3.12-slim"
    assert "'numpy' 'cloudpickle'" in " ".join(executor["container"]["command"])

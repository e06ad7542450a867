"""Genmora: the exported script runs stand-alone and prints what the components printed."""

import subprocess
import sys

import pytest

from trelvo_core.misc.templates import draffen
from trelvo_core.misc.templates.genmora import Genmora

from .conftest import CELLS, PARAMETERS, run_as_components


def run_script(tmp_path, script, *args):
    path = tmp_path / "pipeline.py"
    path.write_text(script)
    # -I: a fresh interpreter that sees neither trelvo_core's sources nor the user site.
    return subprocess.run([sys.executable, "-I", str(path), *args], capture_output=True,
                          text=True, cwd=tmp_path, timeout=60)


def test_genmora_is_a_singleton_template():
    assert Genmora() is Genmora() and type(Genmora) is draffen.SingletonInstance
    assert Genmora()._template.name == "genmora_pipeline.jinja2"
    assert draffen.SingletonInstance._instances[Genmora] is Genmora()


def test_the_script_prints_what_the_components_printed(tmp_path, pipeline_run):
    models, printed = pipeline_run
    script = Genmora().render(pipeline_name="demo", components=models, parameters=PARAMETERS)
    assert "import numpy as np" in script and "import trelvo" not in script
    assert "pass  # IPython syntax left out of the export: %precision 3" in script
    assert "def make_data(scale):" in script and "def report(" in script

    result = run_script(tmp_path, script)
    assert result.returncode == 0, result.stderr
    assert result.stdout == printed == "base 15\nb 30\ntotal 65.25 (first)\n"

    overridden = run_script(tmp_path, script, "--scale", "2", "--label", "again")
    _, expected = run_as_components(CELLS, [{"name": "scale", "type": "float", "value": "2"},
                                            {"name": "label", "type": "str", "value": "again"}])
    assert overridden.stdout == expected == "base 20\nb 40\ntotal 122.00 (again)\n"


def test_a_failing_component_ends_the_script_with_its_name(tmp_path):
    models, _ = run_as_components([
        ("a", "numbers", "values = [1, 2]", []),
        ("b", "divide", "ratio = len(values) / values[0]", ["a"])], [])
    models[0].code = "values = [0]"
    script = Genmora().render(pipeline_name="broken", components=models)
    result = run_script(tmp_path, script)
    assert result.returncode == 1
    assert result.stderr.endswith("component 'divide' failed\n")
    assert "ZeroDivisionError" in result.stderr


def test_cells_that_cannot_be_a_function_body_run_through_exec(tmp_path):
    models, printed = run_as_components([
        ("a", "star", "from math import *\nroot = sqrt(16)\nprint(root)", []),
        ("b", "after", "print(root + 1)", ["a"])], [])
    script = Genmora().render(pipeline_name="star", components=models)
    # The star import makes every name of math an output; the child's body stays a function.
    assert script.count("    exec(") == 1 and "    print(root + 1)\n" in script
    result = run_script(tmp_path, script)
    assert result.stdout == printed == "4.0\n5.0\n"


@pytest.mark.parametrize("components, message", [
    ([{"identifier": "a", "name": "one", "code": "x = 1", "parents": [{"id": "z", "name": "?"}]}],
     "Component 'one' (id 'a') has a parent 'z' that is not in the pipeline."),
    ([{"identifier": "a", "name": "one", "parents": [{"id": "b", "name": "two"}]},
      {"identifier": "b", "name": "two", "parents": [{"id": "a", "name": "one"}]}],
     "depends on itself through its parents."),
    ([{"identifier": "a", "name": "one", "outputs": ["x"]},
      {"identifier": "b", "name": "two", "inputs": ["y"], "parents": [{"id": "a", "name": "one"}]}],
     "Component 'two' (id 'b') reads 'y', which none of its parents provides."),
    ([{"identifier": "a", "name": "one"}], None),
])
def test_pipelines_that_cannot_run_are_refused(components, message):
    parameters = [{"name": "n", "type": "int", "value": "1.5"}] if message is None else None
    with pytest.raises(ValueError) as raised:
        Genmora().render(pipeline_name="p", components=components, parameters=parameters)
    assert str(raised.value).endswith(
        message or "Parameter 'n' of type int has the value 1.5, which is not a int.")

"""The examples: the notebook the README's first command runs, and the library walk-through."""

import json
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def test_the_example_notebook_runs_then_reuses_what_a_new_parameter_does_not_touch(tmp_path):
    def run(*options):
        out = tmp_path / "out.ipynb"
        done = subprocess.run([sys.executable, "-P", "-m", "trelvo_core", "run",
                               str(EXAMPLES / "regression.ipynb"), "-o", str(out), "--cache-dir",
                               str(tmp_path / "cache"), *options], capture_output=True, text=True,
                              timeout=300, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        cells = [c for c in json.loads(out.read_text())["cells"] if c["cell_type"] == "code"]
        return [c["metadata"]["trelvo"]["status"] for c in cells], cells

    statuses, cells = run()
    assert statuses == ["successful"] * 6
    assert "text/markdown" in cells[2]["outputs"][0]["data"]
    statuses, cells = run("-p", "degree", "2")
    # The override is a cell of its own after the parameters cell, as papermill injects it.
    assert statuses == ["cached", "successful", "cached", "cached"] + ["successful"] * 3
    assert cells[1]["source"] == ["# Parameters\n", "degree = 2\n"]
    assert cells[5]["outputs"][0]["data"]["text/markdown"][-1].startswith("| 1 |")


def test_the_library_walk_through_runs_end_to_end(tmp_path):
    done = subprocess.run([sys.executable, "-P", str(EXAMPLES / "pipeline_demo.py"), str(tmp_path)],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert sum(" successful " in line for line in lines) == 4
    assert "  status SUCCESSFUL, cache CACHED," in done.stdout
    assert "  best: {'noise': 1.5} (largest noise with a loss below 3)" in lines
    assert (tmp_path / "pipeline.py").exists() and (tmp_path / "pipeline.yaml").exists()
    assert done.stderr == ""

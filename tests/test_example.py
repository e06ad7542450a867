"""The built-in example that the README's first command runs."""

import pathlib
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "pipeline_demo.py"


def test_the_example_runs_end_to_end(tmp_path):
    done = subprocess.run([sys.executable, "-P", str(EXAMPLE), str(tmp_path)], capture_output=True,
                          text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert sum(" successful " in line for line in lines) == 4
    assert "  status SUCCESSFUL, cache CACHED," in done.stdout
    assert "  best: {'noise': 1.5} (largest noise with a loss below 3)" in lines
    assert (tmp_path / "pipeline.py").exists() and (tmp_path / "pipeline.yaml").exists()
    assert done.stderr == ""

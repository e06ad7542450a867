"""`trelvo export`: the notebook's pipeline as a script and as Kubeflow Pipelines YAML that run
and give what the notebook gives, from the run cache; and the errors a user can act on."""

import subprocess
import sys

import pytest

NOTEBOOK = [
    ("scale = 2.0\nlabel = 'run'", ["parameters"]),
    "# name: make data\nimport numpy as np\ndata = np.arange(5) * scale",
    "# name: report\ntotal = float(data.sum())\nprint(label, total)",
]


@pytest.mark.timeout(300)
@pytest.mark.filterwarnings("ignore:Task .* have no effect in the current local runner")
def test_exports_run_and_give_what_the_notebook_gives(tmp_path, cli, run_kfp_locally):
    path = cli.write(tmp_path / "calc.ipynb", NOTEBOOK)
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert cli.executed(tmp_path / "calc.out.ipynb").cells[2].outputs[0]["text"] == "run 20.0\n"

    done = cli.trelvo("export", path, "--to", "python", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "0 ran, 3 cached" in done.stderr  # from the run's cache
    script = tmp_path / "calc.py"
    for options, printed in (([], "run 20.0"), (["--scale", "3", "--label", "again"], "again 30.0")):
        ran = subprocess.run([sys.executable, str(script), *options], capture_output=True,
                             text=True, timeout=120, check=True)
        assert ran.stdout.splitlines()[-1] == printed

    done = cli.trelvo("export", path, "--to", "kfp", "-o", "-", "-p", "label", "kfp", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "2 ran, 2 cached" in done.stderr  # the injected overrides and the cell that reads label
    assert run_kfp_locally(done.stdout, tmp_path / "default")["total"] == 20.0
    assert run_kfp_locally(done.stdout, tmp_path / "override", scale=3.0)["total"] == 30.0

    done = cli.trelvo("export", path, "--to", "kfp-component", "--cell", "report", cwd=tmp_path)
    assert done.returncode == 0 and "from_make_data" in (tmp_path / "calc.yaml").read_text()


def test_export_errors_say_what_to_do(tmp_path, cli):
    path = cli.write(tmp_path / "bad.ipynb", NOTEBOOK[:2] + ["# name: broken\n1 / 0"])
    done = cli.trelvo("export", path, "--to", "python", cwd=tmp_path)
    assert done.returncode == 1 and "cannot export: cell 'broken' failed" in done.stderr
    assert not (tmp_path / "bad.py").exists()

    no_kfp = tmp_path / "no_kfp"
    (no_kfp / "kfp").mkdir(parents=True)
    (no_kfp / "kfp" / "__init__.py").write_text("raise ImportError('no kfp here')\n")
    done = cli.trelvo("export", path, "--to", "kfp", cwd=tmp_path, env={"PYTHONPATH": str(no_kfp)})
    assert done.returncode == 2
    assert done.stderr == ("trelvo: error: exporting to Kubeflow Pipelines needs the kfp extra: "
                           "pip install 'trelvo_core[kfp]'\n")
    done = cli.trelvo("export", path, "--to", "kfp-component", cwd=tmp_path)
    assert done.returncode == 2 and "--cell" in done.stderr

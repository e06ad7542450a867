"""`trelvo export`: the notebook's pipeline as a script and as Kubeflow Pipelines YAML that run
and give what the notebook gives, from the run cache; and the errors a user can act on."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

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


# ---- round trips: every notebook of the project, any parameter name, exact values ----------------

ROOT = Path(__file__).resolve().parents[2]
NOTEBOOKS = sorted((ROOT / "tests" / "cli" / "notebooks").glob("*.ipynb")) + sorted((ROOT / "examples").glob("*.ipynb"))
OVERRIDES = {"report": ("sizes", "[4, 5]"), "regression": ("degree", "2"),
             "sklearn_regression": ("alpha", "2.0"), "pandas_sales": ("rows", "9")}


def printed(cli, out):
    """What the cells printed on stdout, in notebook order."""
    return "".join(output["text"] for cell in cli.executed(out).cells if cell.cell_type == "code"
                   for output in cell.get("outputs", []) if output.get("name") == "stdout")


def script_prints(script, *options):
    """What the script printed, less what `display` prints outside IPython in place of a rich output."""
    done = subprocess.run([sys.executable, "-I", str(script), *options], capture_output=True, text=True,
                          timeout=300, cwd=script.parent)
    assert done.returncode == 0, done.stderr
    return re.sub(r"(?m)^<IPython\.core\.display\.\w+ object>\n", "", done.stdout)


@pytest.mark.timeout(600)
@pytest.mark.parametrize("notebook", NOTEBOOKS, ids=[path.stem for path in NOTEBOOKS])
def test_an_exported_script_prints_what_the_notebook_printed(tmp_path, cli, notebook):
    path = tmp_path / notebook.name
    shutil.copy(notebook, path)
    out = tmp_path / "run.ipynb"
    cli.trelvo("run", path, "-o", out, cwd=tmp_path)
    statuses = cli.statuses(out)
    done = cli.trelvo("export", path, "--to", "python", "-o", tmp_path / "script.py", cwd=tmp_path)
    if "failed" in statuses:  # a notebook with a failing cell is not exported, with the cell named
        failed = {cell.source for cell in cli.executed(out).cells
                  if cell.metadata.get("trelvo", {}).get("status") == "failed"}
        names = {name for i, cell in enumerate(cli.executed(path).cells, 1) if cell.source in failed
                 for name in (f"cell-{i}", cell.source.partition("\n")[0].partition("name:")[2].strip())}
        assert done.returncode == 1 and not (tmp_path / "script.py").exists()
        assert re.search(r"cannot export: cell '(.*)' failed", done.stderr).group(1) in names
        return
    assert done.returncode == 0, done.stderr
    assert script_prints(tmp_path / "script.py") == printed(cli, out)
    if notebook.stem in OVERRIDES:
        name, value = OVERRIDES[notebook.stem]
        assert cli.trelvo("run", path, "-p", name, value, "-o", out, cwd=tmp_path).returncode == 0
        assert script_prints(tmp_path / "script.py", f"--{name}", value) == printed(cli, out)


def kfp_prints(yaml_path, root, **arguments):
    """Each task's printed lines, by task name, from a run under the KFP SDK's local runner."""
    code = ("import sys, kfp.components, kfp.local\n"
            "kfp.local.init(runner=kfp.local.SubprocessRunner(use_venv=False), pipeline_root=sys.argv[2])\n"
            "kfp.components.load_component_from_text(open(sys.argv[1]).read())(**eval(sys.argv[3]))\n")
    done = subprocess.run([sys.executable, "-c", code, str(yaml_path), str(root), repr(arguments)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    tasks, lines = {}, []
    for line in done.stdout.splitlines():
        written = re.search(r"Wrote executor output file to .*/([^/]+)/executor_output\.json", line)
        if written:
            tasks[written.group(1)] = lines
            lines = []
        elif line.startswith("    ") and not line.strip().startswith(("[KFP", "{", "}", '"', "]")):
            lines.append(line[4:])
        elif not line.startswith("    "):
            lines = []
    return tasks


@pytest.mark.timeout(900)
@pytest.mark.filterwarnings("ignore:Task .* have no effect in the current local runner")
def test_kfp_steps_print_what_the_notebook_printed(tmp_path, cli):
    path = tmp_path / "report.ipynb"
    shutil.copy(ROOT / "tests" / "cli" / "notebooks" / "report.ipynb", path)
    out = tmp_path / "run.ipynb"
    yaml_path = tmp_path / "report.yaml"
    assert cli.trelvo("export", path, "--to", "kfp", "-o", yaml_path, cwd=tmp_path).returncode == 0
    for arguments, options in (({}, []), ({"sizes": "[4, 5]"}, ["-p", "sizes", "[4, 5]"])):
        assert cli.trelvo("run", path, "-o", out, *options, cwd=tmp_path).returncode == 0
        tasks = kfp_prints(yaml_path, tmp_path / f"root{len(options)}", **arguments)
        # A list parameter is given as its literal; its ints reach the step as ints. Steps run
        # in the graph's order, so lines are compared as a set of lines per run.
        assert sorted(line for lines in tasks.values() for line in lines) == \
            sorted(printed(cli, out).splitlines())


ODD_NAMES = [
    ("name = 'world'\ncomponent = 1\nargv = [1, 2]\nmain = (1, 'a')\nresults = {'k': [1, (2, 3)]}\n"
     "PARAMETERS = 2.5\nopen = True\nfrom_use = 'x'\ndsl = 'd'\nsys = 3", ["parameters"]),
    "# name: use\nvalues = [name, component, argv, main, results, PARAMETERS, open, from_use, dsl, sys]\n"
    "print(repr(values))\nprint([type(v).__name__ for v in values])\nprint(list(range(argv[1])))",
    "# name: later\nprint(repr(values[4]['k'][1]))",
]


@pytest.mark.timeout(600)
@pytest.mark.filterwarnings("ignore:Task .* have no effect in the current local runner")
def test_any_parameter_name_and_exact_values_cross_both_exports(tmp_path, cli):
    path = cli.write(tmp_path / "odd.ipynb", ODD_NAMES)
    out = tmp_path / "run.ipynb"
    assert cli.trelvo("run", path, "-o", out, cwd=tmp_path).returncode == 0
    expected = printed(cli, out)
    assert "[1, 2]" in expected and "'tuple'" in expected  # ints stay ints, tuples stay tuples
    assert cli.trelvo("export", path, "--to", "python", "-o", tmp_path / "odd.py", cwd=tmp_path).returncode == 0
    assert script_prints(tmp_path / "odd.py") == expected
    assert cli.trelvo("run", path, "-p", "argv", "[3, 4]", "-o", out, cwd=tmp_path).returncode == 0
    assert script_prints(tmp_path / "odd.py", "--argv", "[3, 4]") == printed(cli, out)

    assert cli.trelvo("export", path, "--to", "kfp", "-o", tmp_path / "odd.yaml", cwd=tmp_path).returncode == 0
    tasks = kfp_prints(tmp_path / "odd.yaml", tmp_path / "root", argv="[3, 4]")
    assert tasks["use"] + tasks["later"] == printed(cli, out).splitlines()

    # What KFP itself refuses is said in one line, before anything is written.
    refused = cli.write(tmp_path / "refused.ipynb", [("_hidden = 1", ["parameters"]), "print(_hidden)"])
    done = cli.trelvo("export", refused, "--to", "kfp", cwd=tmp_path)
    assert done.returncode == 1 and not (tmp_path / "refused.yaml").exists()
    assert done.stderr.splitlines()[-1].startswith(
        "trelvo: error: cannot export: Parameter '_hidden' cannot be a Kubeflow Pipelines parameter")


def test_ipython_syntax_that_binds_names_is_refused_naming_the_cell(tmp_path, cli):
    path = cli.write(tmp_path / "magic.ipynb", ["%%capture captured\nprint('quiet')",
                                                "# name: reader\nprint(captured.stdout)"])
    done = cli.trelvo("export", path, "--to", "python", cwd=tmp_path)
    assert done.returncode == 1 and not (tmp_path / "magic.py").exists()
    assert done.stderr.splitlines()[-1] == (
        "trelvo: error: cannot export: cell 'cell-1' uses %%capture captured, which binds names or writes "
        "files through IPython syntax an export leaves out")

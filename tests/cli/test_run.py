"""`trelvo run` on real notebooks: outputs as the standard executor writes them, failures,
incremental runs, parameters, workers, remote runs, deadlines, a killed run, usage errors."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import nbformat
import pytest

pytestmark = pytest.mark.timeout(300)

ANSI = re.compile(r"\x1b\[[0-9;]*m")

# Every kind of output, with the updates and clears that a notebook client applies.
KINDS_OF_OUTPUT = [
    "import numpy as np\nx = np.arange(5) * 2.0\nprint('made', x.size)\nx",
    "from IPython.display import HTML, Markdown, display, clear_output\n"
    "h = display(HTML('<b>hi</b>'), display_id=True)\nprint('a'); print('b')\n"
    "import sys; print('err', file=sys.stderr)\n1 + 1;",
    "print('before')\ntotal = x.sum()\n1/0",
    "for i in range(3):\n    clear_output(wait=True)\n    print('step', i)\n"
    "display(Markdown('**done**'))",
    "h.update(HTML('<i>updated</i>'))\nclass Shown:\n    def _ipython_display_(self):\n"
    "        display(HTML('<p>shown</p>'))\nShown()",
    "raise ValueError('bad\\nthing')",
    "def f():\n    raise KeyError('k')\nprint('x', end='')\nf()",
    "import warnings\nwarnings.warn('careful')\n'text'",
    "print('no newline', end='')\n'\\n'.join(['l1', 'l2'])",
]


def comparable(outputs):
    """Outputs with consecutive chunks of one stream merged (the kernel's flush timing decides
    how a client receives them), tracebacks reduced to their last line and process ids out."""
    result = []
    for output in outputs:
        output = dict(output)
        if output["output_type"] == "error":
            output["traceback"] = ANSI.sub("", output["traceback"][-1])
        if output.get("name") == "stderr":
            output["text"] = re.sub(r"ipykernel_\d+", "ipykernel", output["text"])
        if (result and output["output_type"] == "stream" and result[-1]["output_type"] == "stream"
                and result[-1]["name"] == output["name"]):
            result[-1] = {**result[-1], "text": result[-1]["text"] + output["text"]}
            continue
        result.append(output)
    return result


def test_outputs_are_what_the_standard_executor_writes(tmp_path, cli):
    from nbclient import NotebookClient

    path = cli.write(tmp_path / "kinds.ipynb", KINDS_OF_OUTPUT)
    done = cli.trelvo("run", path, "--no-cache", cwd=tmp_path)
    assert done.returncode == 1, done.stderr  # three cells raise
    ours = cli.executed(tmp_path / "kinds.out.ipynb")
    reference = nbformat.read(str(path), as_version=4)
    NotebookClient(reference, allow_errors=True, timeout=120).execute()
    for mine, theirs in zip(ours.cells, reference.cells):
        assert comparable(mine.outputs) == comparable(theirs.outputs), mine.source
        assert mine.execution_count == theirs.execution_count
    # Stream text exactly as printed: no newline added to the last chunk.
    assert ours.cells[-1].outputs[0]["text"] == "no newline"
    assert [c.metadata["trelvo"]["status"] for c in ours.cells] == [
        "successful", "successful", "failed", "successful", "successful", "failed", "failed",
        "successful", "successful"]
    assert ours.cells[2].metadata["trelvo"]["parents"] == [ours.cells[0].id]


def test_a_failure_skips_its_descendants_and_nothing_else(tmp_path, cli):
    path = cli.write(tmp_path / "fail.ipynb", [
        ("markdown", "# failing"),
        "# name: load\nrows = [1, 2, 3]\nsize = len(rows)",
        "# name: broken\nprint('half way')\ntotal = sum(rows) / 0",
        "# name: report\nprint(total)",
        "# name: count\nprint(size)",
        ("print('tagged')", ["skip-execution"]),
        "   \n",
    ])
    before = cli.executed(path)
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert done.returncode == 1
    notebook = cli.executed(tmp_path / "fail.out.ipynb")
    assert cli.statuses(tmp_path / "fail.out.ipynb") == [
        "successful", "failed", "skipped", "successful", "skipped"]
    broken, report, count = notebook.cells[2], notebook.cells[3], notebook.cells[4]
    assert broken.outputs[0]["text"] == "half way\n"
    assert broken.outputs[1]["ename"] == "ZeroDivisionError"
    assert "'broken'" in report.outputs[0]["text"] and report.execution_count is None
    assert count.outputs[0]["text"] == "3\n"
    assert notebook.cells[0] == before.cells[0]
    assert notebook.cells[5].outputs == [] and notebook.cells[6].outputs == []
    # One line per cell on a non-terminal, then the summary.
    lines = done.stderr.splitlines()
    assert [line.split()[:2] for line in lines[:4]] == [
        ["load", "ran"], ["broken", "failed"], ["report", "skipped"], ["count", "ran"]]
    assert re.fullmatch(r"4 cells: 2 ran, 0 cached, 1 failed, 1 skipped in [\d.]+ s", lines[-1])
    quiet = cli.trelvo("run", path, "--quiet", cwd=tmp_path)
    assert len(quiet.stderr.splitlines()) == 1


INCREMENTAL = [
    ("alpha = 1\nbeta = 2", ["parameters"]),
    "# name: first\nimport numpy as np\nbase = np.arange(3) * alpha",
    "# name: second\nscaled = [beta * i for i in range(3)]\nprint(scaled)",
    "# name: third\ndef grow(k):\n    return base + k\nprint(grow(1))",
    "# name: fourth\nprint('alone')",
    "# name: fifth\nprint(grow(10), scaled)",
]


def ran(cli, path):
    return [name for name, status in zip(["parameters", "first", "second", "third", "fourth",
                                          "fifth"], cli.statuses(path)) if status == "successful"]


def test_incremental_runs_rerun_exactly_what_changed(tmp_path, cli):
    path = cli.write(tmp_path / "inc.ipynb", INCREMENTAL)
    out = tmp_path / "inc.out.ipynb"
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert len(ran(cli, out)) == 6
    first_outputs = cli.outputs_of(out)
    assert cli.executed(out).cells[5].metadata["trelvo"]["parents"] == [
        cli.executed(out).cells[2].id, cli.executed(out).cells[3].id]

    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert ran(cli, out) == [] and cli.outputs_of(out) == first_outputs

    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells[3].source = notebook.cells[3].source.replace("base + k", "base + 2 * k")
    nbformat.write(notebook, str(path))
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert ran(cli, out) == ["third", "fifth"]

    assert cli.trelvo("run", path, "-p", "beta", "5", cwd=tmp_path).returncode == 0
    assert ran(cli, out) == ["second", "fifth"]
    assert "[0, 5, 10]" in cli.executed(out).cells[2].outputs[0]["text"]

    assert cli.trelvo("run", path, "--force", cwd=tmp_path).returncode == 0
    assert len(ran(cli, out)) == 6

    fresh = tmp_path / "fresh-cache"
    assert cli.trelvo("run", path, "--no-cache", "--cache-dir", fresh, cwd=tmp_path).returncode == 0
    assert len(ran(cli, out)) == 6 and not fresh.exists()


def test_workers_and_remote_runs_write_the_same_notebook(tmp_path, cli, trelvo_worker):
    # A celery worker sends warnings to its log, not to the cell's standard error.
    kinds = [code for code in KINDS_OF_OUTPUT if "warnings" not in code]
    path = cli.write(tmp_path / "par.ipynb", INCREMENTAL + kinds)
    runs = {"sequential": [], "jobs": ["--jobs", "2"], "remote": ["--remote", trelvo_worker]}
    written = {}
    for name, options in runs.items():
        out = tmp_path / f"{name}.ipynb"
        done = cli.trelvo("run", path, "--no-cache", "-o", out, *options, cwd=tmp_path)
        assert done.returncode == 1, done.stderr
        notebook = cli.executed(out)
        for cell in notebook.cells:
            cell.metadata.get("trelvo", {}).pop("duration", None)
            for output in cell.get("outputs", []):
                if output.get("name") == "stderr":
                    output["text"] = re.sub(r"ipykernel_\d+", "ipykernel", output["text"])
        written[name] = nbformat.writes(notebook)
    assert written["jobs"] == written["sequential"]
    assert written["remote"] == written["sequential"]


def test_a_cell_past_its_deadline_is_stopped(tmp_path, cli):
    path = cli.write(tmp_path / "slow.ipynb", [
        "import time\nstart = 1",
        "# name: stuck\ntry:\n    time.sleep(60)\nexcept Exception:\n    time.sleep(60)\nlate = start",
        "# name: after\nprint(late)",
        "# name: free\nprint('free')",
    ])
    for options in ([], ["--jobs", "2"]):
        began = time.monotonic()
        done = cli.trelvo("run", path, "--timeout", "1", "--no-cache", *options, cwd=tmp_path)
        assert done.returncode == 1 and time.monotonic() - began < 30
        notebook = cli.executed(tmp_path / "slow.out.ipynb")
        assert cli.statuses(tmp_path / "slow.out.ipynb") == [
            "successful", "failed", "skipped", "successful"]
        error = notebook.cells[1].outputs[-1]
        assert error["ename"] == "TimeoutError" and "1 s timeout" in error["evalue"]


def test_a_killed_run_leaves_nothing_that_is_read_as_valid(tmp_path, cli):
    path = cli.write(tmp_path / "kill.ipynb", [
        ("pause = 60", ["parameters"]),
        "# name: quick\nvalues = list(range(5))",
        "# name: slow\nimport time\nprint('waiting')\ntime.sleep(pause)\ntotal = sum(values)",
    ])
    cache = tmp_path / ".trelvo-cache"

    def stopped_in_slow(how):
        run = subprocess.Popen([sys.executable, "-P", "-m", "trelvo_core", "run", str(path)],
                               cwd=tmp_path, stderr=subprocess.PIPE, text=True)
        while "quick" not in run.stderr.readline():  # the quick cell is done and cached
            pass
        time.sleep(0.5)
        os.kill(run.pid, how)
        status = run.wait()
        run.stderr.close()
        return status

    assert stopped_in_slow(signal.SIGINT) == 130  # Ctrl-C stops the run, not just the cell
    assert stopped_in_slow(signal.SIGKILL) == -signal.SIGKILL
    assert not (tmp_path / "kill.out.ipynb").exists()
    # As if the kill had come while quick's entry was written, and the other entry were damaged.
    entries = {("quick" if '"quick"' in (p / "record.json").read_text() else "parameters"): p
               for p in cache.iterdir()}
    (entries["quick"] / "record.json").unlink()
    (entries["parameters"] / "record.json").write_text("{not json")
    done = cli.trelvo("run", path, "-p", "pause", "0", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "ignoring the unfinished cache of quick" in done.stderr
    assert "ignoring the cache of cell-1" in done.stderr
    assert cli.statuses(tmp_path / "kill.out.ipynb") == ["successful"] * 3
    again = cli.trelvo("run", path, "-p", "pause", "0", cwd=tmp_path)
    assert cli.statuses(tmp_path / "kill.out.ipynb") == ["cached"] * 3 and "warning" not in again.stderr


@pytest.mark.parametrize("arguments, content, names", [
    (["run", "missing.ipynb"], None, "missing.ipynb"),
    (["run", "bad.ipynb"], "{", "bad.ipynb"),
    (["run", "bad.ipynb"], '{"cells": 3}', "bad.ipynb"),
    (["run", "good.ipynb", "--jobz", "2"], None, "--jobz"),
    (["run", "good.ipynb", "-p", "gamma", "1"], None, "gamma"),
    (["run", "good.ipynb", "-o", "no/such/dir/out.ipynb"], None, "no/such/dir"),
    (["run", "good.ipynb", "--timeout", "soon"], None, "--timeout"),
])
def test_usage_errors_are_one_line_and_write_nothing(tmp_path, cli, arguments, content, names):
    cli.write(tmp_path / "good.ipynb", INCREMENTAL)
    if content is not None:
        (tmp_path / "bad.ipynb").write_text(content)
    before = sorted(os.listdir(tmp_path))
    done = cli.trelvo(*arguments, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("trelvo: error: ")
    assert names in done.stderr
    assert sorted(os.listdir(tmp_path)) == before


def test_help_comes_without_loading_what_a_run_needs(tmp_path):
    code = ("import sys\nfrom trelvo_core.cli.main import main\ntry:\n    main(['run', '--help'])\n"
            "except SystemExit as done:\n"
            "    print(done.code, sorted({'IPython', 'celery', 'trelvo_core.cli.runner'} & set(sys.modules)))")
    done = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert done.stdout.startswith("usage: trelvo run") and done.stdout.endswith("\n0 []\n")


def test_cell_defined_classes_work_from_the_cache_and_in_workers(tmp_path, cli):
    path = cli.write(tmp_path / "cls.ipynb", [
        "import math\nSCALE = 2\nclass Model:\n    def predict(self, v):\n"
        "        return math.sqrt(v) * SCALE\nmodel = Model()",
        "print(model.predict(16))"])
    out = tmp_path / "cls.out.ipynb"
    assert cli.trelvo("run", path, "--jobs", "2", cwd=tmp_path).returncode == 0
    assert cli.executed(out).cells[1].outputs[0]["text"] == "8.0\n"
    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells[1].source = "print(model.predict(25))"
    nbformat.write(notebook, str(path))
    done = cli.trelvo("run", path, cwd=tmp_path)  # the class comes from the cache
    assert done.returncode == 0, done.stderr
    assert cli.statuses(out) == ["cached", "successful"]
    assert cli.executed(out).cells[1].outputs[0]["text"] == "10.0\n"

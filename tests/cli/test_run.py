"""`trelvo run` writes what Jupyter writes: notebooks run by the real command and by nbclient
(nbconvert's executor) in the same test and compared cell by cell; then what Jupyter has no word
for: failures that skip only what they reach, the cache, parameters, the working directory,
workers, remote runs, deadlines, a killed run and usage errors."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import nbformat
import pytest

pytestmark = pytest.mark.timeout(300)

CORPUS = sorted(Path(__file__).parent.glob("notebooks/*.ipynb"))


def jupyter(path):
    """The notebook as nbconvert --execute --allow-errors writes it, run in its own directory."""
    from nbclient import NotebookClient

    notebook = nbformat.read(str(path), as_version=4)
    NotebookClient(notebook, allow_errors=True, timeout=120,
                   resources={"metadata": {"path": str(path.parent)}}).execute()
    return notebook


@pytest.mark.parametrize("notebook", CORPUS, ids=[path.stem for path in CORPUS])
def test_notebooks_write_what_jupyter_writes(tmp_path, cli, notebook):
    ours, theirs = tmp_path / "ours", tmp_path / "jupyter"
    for directory in (ours, theirs):  # cells write files beside the notebook
        directory.mkdir()
        shutil.copy(notebook, directory)
    reference = jupyter(theirs / notebook.name)
    ipython_dir = tmp_path / "ipython"
    # Run from elsewhere: the cells still run in the notebook's directory.
    done = cli.trelvo("run", ours / notebook.name, "--no-cache", cwd=tmp_path,
                      env={**os.environ, "IPYTHONDIR": str(ipython_dir)})
    written = cli.executed(ours / (notebook.stem + ".out.ipynb"))
    failing = "failed" in cli.statuses(ours / (notebook.stem + ".out.ipynb"))
    assert done.returncode == (1 if failing else 0), done.stderr
    for mine, expected in zip(written.cells, reference.cells):
        if mine.cell_type == "code":
            assert cli.masked(mine.outputs) == cli.masked(expected.outputs), mine.source
            assert mine.execution_count == expected.execution_count, mine.source
            assert mine.metadata["execution"].keys() == expected.metadata["execution"].keys()
    assert written.metadata["language_info"]["name"] == "python"
    assert not list(ipython_dir.rglob("history.sqlite"))  # the kernel's history stays in memory
    # With the cache: the first run fills it, the second runs the failing cells (and what they need
    # that cannot be stored); both write what the full run wrote.
    full = [cli.masked(cell.get("outputs", [])) for cell in written.cells]
    for _ in range(2):
        assert cli.trelvo("run", ours / notebook.name, cwd=tmp_path).returncode == (1 if failing else 0)
        cached = cli.executed(ours / (notebook.stem + ".out.ipynb"))
        assert [cli.masked(cell.get("outputs", [])) for cell in cached.cells] == full
    assert "cached" in cli.statuses(ours / (notebook.stem + ".out.ipynb"))


FAILING = [
    "# name: load\nrows = [1, 2, 3]\nsize = len(rows)",
    "# name: broken\nrows.append(4)\ntotal = sum(rows) / 0",  # changes rows, then fails
    "# name: report\nprint(total)",          # reads what broken would have bound
    "# name: count\nprint(len(rows), size)",  # reads only what broken was given
    "# name: later\nline = f'{total:.1f}'",
    "# name: uses line\nprint(line)",         # later would have bound line
    ("# name: expected\nraise KeyError('b')", ["raises-exception"]),
    ("print('tagged')", ["skip-execution"]),
    "   \n",
]


def test_a_failure_skips_only_the_readers_of_what_it_would_have_bound(tmp_path, cli):
    path = cli.write(tmp_path / "fail.ipynb", FAILING)
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert done.returncode == 1
    notebook = cli.executed(tmp_path / "fail.out.ipynb")
    assert cli.statuses(tmp_path / "fail.out.ipynb") == [
        "successful", "failed", "skipped", "successful", "skipped", "skipped", "failed", "skipped"]
    broken, report, count, uses_line = notebook.cells[1], notebook.cells[2], notebook.cells[3], notebook.cells[5]
    assert broken.outputs[-1]["ename"] == "ZeroDivisionError"
    assert count.outputs[0]["text"] == "4 3\n"  # the in-place change before the failure is seen
    for skipped in (report, uses_line):
        assert skipped.outputs[0]["text"] == "Not run: this cell depends on cell 'broken', which failed.\n"
        assert skipped.execution_count is None
    assert count.execution_count == 4  # counted as Jupyter counts, skipped cells included
    assert notebook.cells[8].outputs == [] and notebook.cells[7].outputs == []
    lines = done.stderr.splitlines()
    assert [line.split()[:2] for line in lines[:4]] == [
        ["load", "ran"], ["broken", "failed"], ["report", "skipped"], ["count", "ran"]]
    assert lines[1].endswith("ZeroDivisionError: division by zero")
    assert re.fullmatch(r"7 cells: 2 ran, 0 cached, 2 failed \(1 as expected\), 3 skipped in [\d.]+ s", lines[-1])
    quiet = cli.trelvo("run", path, "--quiet", "--no-cache", cwd=tmp_path)
    assert quiet.stderr.splitlines()[:2] == ["broken failed: ZeroDivisionError: division by zero",
                                             "expected failed as expected: KeyError: 'b'"]
    # An error a cell is tagged to expect is no failure of the run.
    expected_only = cli.write(tmp_path / "expected.ipynb", [FAILING[0], FAILING[6]])
    assert cli.trelvo("run", expected_only, cwd=tmp_path).returncode == 0


INCREMENTAL = [
    ("alpha = 1\nbeta = 2", ["parameters"]),
    "# name: first\nimport numpy as np\nbase = np.arange(3) * alpha",
    "# name: second\nscaled = [beta * i for i in range(3)]\nprint(scaled)",
    "# name: third\ndef grow(k):\n    return base + k\nprint(grow(1))",
    "# name: fourth\nprint('alone')",
    "# name: fifth\nprint(grow(10), scaled)",
    "# name: shared\na = [0]\nb = a",
    "# name: append\nb.append(1)",
    "# name: sees\nprint(a)",
    "# name: model\nimport math\nSCALE = 2\nclass Model:\n    def predict(self, v):\n"
    "        return math.sqrt(v) * SCALE\nmodel = Model()",
    "# name: predicts\nprint(model.predict(16))",
]


def test_cached_runs_write_what_a_full_run_writes(tmp_path, cli):
    path = cli.write(tmp_path / "inc.ipynb", INCREMENTAL)
    out = tmp_path / "inc.out.ipynb"

    def ran(*options):
        done = cli.trelvo("run", path, *options, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        return [re.sub(r"# name: |\n.*", "", cell.source, flags=re.S) for cell in cli.executed(out).cells
                if cell.metadata["trelvo"]["status"] == "successful"]

    def same_as_a_full_run():
        return cli.same_as_a_full_run(path, out, tmp_path)

    assert len(ran()) == 11
    notebook = cli.executed(out)
    assert notebook.cells[8].outputs[0]["text"] == "[0, 1]\n"  # the very list b was bound to
    assert notebook.cells[5].metadata["trelvo"]["parents"] == [notebook.cells[2].id, notebook.cells[3].id]
    first_outputs = cli.outputs_of(out)
    assert ran() == [] and cli.outputs_of(out) == first_outputs and same_as_a_full_run()

    source = nbformat.read(str(path), as_version=4)
    source.cells[3].source = source.cells[3].source.replace("base + k", "base + 2 * k")
    source.cells[7].source = "# name: append\nb.append(2)"
    source.cells[10].source = "# name: predicts\nprint(model.predict(25))"  # the class and SCALE come from the cache
    nbformat.write(source, str(path))
    assert ran() == ["third", "fifth", "append", "sees", "predicts"] and same_as_a_full_run()
    assert cli.executed(out).cells[10].outputs[0]["text"] == "10.0\n"

    assert ran("-p", "beta", "5") == ["# Parameters", "second", "fifth"]
    notebook = cli.executed(out)
    injected = notebook.cells[1]
    assert injected.metadata["tags"] == ["injected-parameters"] and injected.source == "# Parameters\nbeta = 5\n"
    assert notebook.metadata["trelvo"]["parameters"] == {"beta": 5}
    assert "[0, 5, 10]" in notebook.cells[3].outputs[0]["text"]

    assert len(ran("--force")) == 11
    fresh = tmp_path / "fresh-cache"
    assert len(ran("--no-cache", "--cache-dir", fresh)) == 11 and not fresh.exists()


def test_cells_run_in_the_notebooks_directory_wherever_the_command_starts(tmp_path, cli):
    folder = tmp_path / "project"
    folder.mkdir()
    (folder / "data.txt").write_text("beside the notebook\n")
    (tmp_path / "data.txt").write_text("in the caller's directory\n")
    path = cli.write(folder / "paths.ipynb", ["print(open('data.txt').read().strip())",
                                             "import os\nos.chdir('/')",
                                             "print(os.getcwd())"])
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    out = folder / "paths.out.ipynb"  # -o and the cache are fixed before a cell moves the directory
    assert cli.executed(out).cells[0].outputs[0]["text"] == "beside the notebook\n"
    assert (folder / ".trelvo-cache").is_dir()
    assert cli.trelvo("run", path, "--cwd", tmp_path, "--no-cache", cwd=folder).returncode == 0
    assert cli.executed(out).cells[0].outputs[0]["text"] == "in the caller's directory\n"


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
    "import warnings\nwarnings.warn('careful')\n'text'",
    "print('no newline', end='')\n'\\n'.join(['l1', 'l2'])",
]


def test_workers_and_remote_runs_write_the_same_notebook(tmp_path, cli, trelvo_worker):
    path = cli.write(tmp_path / "par.ipynb", INCREMENTAL + KINDS_OF_OUTPUT)
    runs = {"sequential": [], "jobs": ["--jobs", "2"], "remote": ["--remote", trelvo_worker]}
    written = {}
    for name, options in runs.items():
        out = tmp_path / f"{name}.ipynb"
        done = cli.trelvo("run", path, "--no-cache", "-o", out, *options, cwd=tmp_path)
        assert done.returncode == 1, done.stderr  # one cell divides by zero
        written[name] = [(cell.source, cli.masked(cell.get("outputs", [])), cell.get("execution_count"),
                          cell.metadata.get("trelvo", {}).get("status")) for cell in cli.executed(out).cells]
    assert written["jobs"] == written["sequential"]
    assert written["remote"] == written["sequential"]


def test_a_cell_past_its_deadline_is_stopped(tmp_path, cli):
    path = cli.write(tmp_path / "slow.ipynb", [
        "import time\nstart = 1",
        "# name: stuck\ntry:\n    time.sleep(60)\nexcept Exception:\n    time.sleep(60)\nlate = start",
        "# name: after\nprint(late)",
        "# name: free\nprint('free', start)",
    ])
    for options in ([], ["--jobs", "2"]):
        began = time.monotonic()
        done = cli.trelvo("run", path, "--timeout", "1", "--no-cache", *options, cwd=tmp_path)
        assert done.returncode == 1 and time.monotonic() - began < 30
        notebook = cli.executed(tmp_path / "slow.out.ipynb")
        assert cli.statuses(tmp_path / "slow.out.ipynb") == ["successful", "failed", "skipped", "successful"]
        error = notebook.cells[1].outputs[-1]
        assert error["ename"] == "TimeoutError" and "1 s timeout" in error["evalue"]


def test_a_killed_run_leaves_nothing_that_is_read_as_valid(tmp_path, cli):
    path = cli.write(tmp_path / "kill.ipynb", [
        ("pause = 60", ["parameters"]),
        "# name: quick\nvalues = list(range(5))",
        "# name: slow\nimport time\nprint('waiting')\ntime.sleep(pause)\ntotal = sum(values)",
    ])

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
    entries = list((tmp_path / ".trelvo-cache" / "entries").rglob("*.json"))
    assert len(entries) == 2 and not list((tmp_path / ".trelvo-cache").rglob("*.tmp*"))
    damaged = next(entry for entry in entries if '"quick"' in entry.read_text())
    damaged.write_text("{not json")
    done = cli.trelvo("run", path, "-p", "pause", "0", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "ignoring the cache entry of quick" in done.stderr
    assert cli.statuses(tmp_path / "kill.out.ipynb") == ["cached", "successful", "successful", "successful"]
    again = cli.trelvo("run", path, "-p", "pause", "0", cwd=tmp_path)
    assert cli.statuses(tmp_path / "kill.out.ipynb") == ["cached"] * 4 and "warning" not in again.stderr


@pytest.mark.parametrize("arguments, content, names", [
    (["run", "missing.ipynb"], None, "missing.ipynb"),
    (["run", "bad.ipynb"], "{", "bad.ipynb"),
    (["run", "bad.ipynb"], '{"cells": 3}', "bad.ipynb"),
    (["run", "bad.ipynb"], json.dumps({"nbformat": 4, "nbformat_minor": 5, "cells": [],
                                       "metadata": {"kernelspec": {"name": "ir", "display_name": "R",
                                                                   "language": "R"}}}), "a r notebook"),
    (["run", "good.ipynb", "--jobz", "2"], None, "--jobz"),
    (["run", "good.ipynb", "-p", "gamma", "1"], None, "gamma"),
    (["run", "good.ipynb", "-o", "no/such/dir/out.ipynb"], None, "no/such/dir"),
    (["run", "good.ipynb", "--cwd", "no/such/dir"], None, "no/such/dir"),
    (["run", "good.ipynb", "--timeout", "soon"], None, "--timeout"),
    (["run", "unparsed.ipynb", "-p", "alpha", "2"], None, "line 2"),
])
def test_usage_errors_are_one_line_and_write_nothing(tmp_path, cli, arguments, content, names):
    cli.write(tmp_path / "good.ipynb", INCREMENTAL)
    cli.write(tmp_path / "unparsed.ipynb", [("alpha = 1\nbeta = (", ["parameters"]), "print(alpha)"])
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

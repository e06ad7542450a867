"""The run cache as users meet it: edits that do not touch the code (data files, local modules,
seeds, options, files one cell writes and another reads), the ways out and the explanations,
values that cannot be stored, what it keeps and where, tampering, and two runs at once. Every
cached run is compared with a --no-cache run of the same notebook."""

import os
import re
import stat
import subprocess
import sys
import time

import nbformat
import pytest

pytestmark = pytest.mark.timeout(300)


def ran(cli, out):
    """The names of the cells that ran in the run that wrote out."""
    return [re.sub(r"# name: |\n.*", "", cell.source, flags=re.S) for cell in cli.executed(out).cells
            if cell.metadata.get("trelvo", {}).get("status") == "successful"]


def edit(path, index, old, new):
    notebook = nbformat.read(str(path), as_version=4)
    assert old in notebook.cells[index].source
    notebook.cells[index].source = notebook.cells[index].source.replace(old, new)
    nbformat.write(notebook, str(path))


STATEFUL = [
    "# name: setup\nimport numpy as np\nimport pandas as pd",
    "# name: local\nimport mylib",
    "# name: seed\nnp.random.seed(1)",
    "# name: options\npd.set_option('display.max_rows', 4)\nnp.set_printoptions(precision=2)",
    "# name: draw\nx = np.random.rand(3)\nprint(x)",
    "# name: frame\npd.DataFrame({'a': range(10)})",
    "# name: writer\nnp.save('arr.npy', x * 2)",
    "# name: reader\nprint(np.load('arr.npy').sum().round(3))",
    "# name: data\nprint(open('data.csv').read().strip())",
    "# name: helper\nprint(mylib.shout('hi'))",
    "# name: later draw\nprint(np.random.rand(2))",
]


def test_edits_outside_the_code_rerun_what_they_reach(tmp_path, cli):
    path = cli.write(tmp_path / "state.ipynb", STATEFUL)
    out = tmp_path / "state.out.ipynb"
    (tmp_path / "data.csv").write_text("a,b\n1,2\n")
    (tmp_path / "mylib.py").write_text("from mytext import SUFFIX\ndef shout(text):\n    return text.upper() + SUFFIX\n")
    (tmp_path / "mytext.py").write_text("SUFFIX = '!'\n")

    def run():
        done = cli.trelvo("run", path, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert cli.same_as_a_full_run(path, out, tmp_path)
        return ran(cli, out)

    assert len(run()) == 11 and run() == []
    (tmp_path / "data.csv").write_text("a,b\n3,4\n")
    assert run() == ["data"]
    (tmp_path / "mytext.py").write_text("SUFFIX = '?'\n")  # imported by the local module
    assert run() == ["local", "helper"]
    # A drawing cell run after the seed came from the cache draws from the seeded generator.
    edit(path, 10, "print(np.random.rand(2))", "print(np.random.rand(2).round(3))")
    assert run() == ["later draw"]
    edit(path, 6, "x * 2", "x * 3")  # the writer of a file another cell reads
    assert run() == ["writer", "reader"]
    edit(path, 2, "seed(1)", "seed(2)")  # every later cell reads the generator's state
    assert run() == ["seed", "options", "draw", "frame", "writer", "reader", "data", "helper", "later draw"]
    edit(path, 3, "'display.max_rows', 4", "'display.max_rows', 6")
    assert run() == ["options", "draw", "frame", "writer", "reader", "data", "helper", "later draw"]


EXPLAINED = [
    ("degree = 2", ["parameters"]),
    "# name: load\nimport mylib\nrows = open('data.csv').read().split()",
    "# name: fit\nmodel = [row * degree for row in rows]",
    "# name: report\nprint(len(model), mylib.VALUE)",
    ("# name: clock\nimport time\nstamp = time.time()", ["no-cache"]),
    "# name: after clock\nprint(stamp > 0)",
]


def test_ways_out_and_why_a_cell_runs(tmp_path, cli):
    path = cli.write(tmp_path / "why.ipynb", EXPLAINED)
    out = tmp_path / "why.out.ipynb"
    (tmp_path / "data.csv").write_text("a b c\n")
    (tmp_path / "mylib.py").write_text("VALUE = 1\n")
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    # A cell tagged no-cache runs every time, and so do its descendants.
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert ran(cli, out) == ["clock", "after clock"]
    assert cli.trelvo("run", path, "--rerun", "fit", cwd=tmp_path).returncode == 0
    assert ran(cli, out) == ["fit", "report", "clock", "after clock"]

    def reasons(*options):
        before = out.stat().st_mtime_ns
        done = cli.trelvo("run", path, "--explain", *options, cwd=tmp_path)
        assert done.returncode == 0 and out.stat().st_mtime_ns == before  # nothing ran
        return dict(re.fullmatch(r"  (.*?) +(cached|runs: (.*))", line).group(1, 2)
                    for line in done.stdout.splitlines()[:-1])

    assert reasons() == {"cell-1": "cached", "load": "cached", "fit": "cached", "report": "cached",
                         "clock": "runs: tagged no-cache", "after clock": "runs: parent clock changed"}
    assert reasons("-p", "degree", "3")["fit"] == "runs: parameter degree changed"
    (tmp_path / "data.csv").write_text("a b\n")
    (tmp_path / "mylib.py").write_text("VALUE = 2\n")
    edit(path, 3, "print(len(model)", "print('rows', len(model)")
    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells.append(nbformat.v4.new_code_cell("# name: new\nprint(degree)"))
    nbformat.write(notebook, str(path))
    explained = reasons()
    assert explained["load"] == "runs: file data.csv changed, module mylib changed"
    assert explained["fit"] == "runs: parent load changed"
    assert explained["report"] == "runs: code changed, parent fit changed, parent load changed"
    assert explained["new"] == "runs: no entry"


def test_values_that_cannot_be_stored_make_their_readers_run_with_them(tmp_path, cli):
    path = cli.write(tmp_path / "odd.ipynb", [
        "# name: opener\nfh = open('log.txt', 'w')\nsquares = (i * i for i in range(3))\ncount = 1",
        "# name: writes\nfh.write('x')\nprint(count, list(squares))",
        "# name: deep\nnested = []\nfor _ in range(100000):\n    nested = [nested]",
        "# name: uses deep\nprint(len(nested))",
        "# name: unrelated\nprint('alone')",
    ])
    out = tmp_path / "odd.out.ipynb"
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "a value of opener is not cached: 'fh' is an open file (TextIOWrapper) and cannot be pickled" in done.stderr
    assert "'squares' (generator) cannot be pickled: TypeError" in done.stderr
    assert "'nested' (list) cannot be pickled: PicklingError: Could not pickle object as excessively deep" in done.stderr
    edit(path, 1, "print(count,", "print('count', count,")
    edit(path, 3, "print(len(nested))", "print('length', len(nested))")
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert ran(cli, out) == ["opener", "writes", "deep", "uses deep"]
    assert done.stderr.splitlines()[-1].startswith("5 cells: 4 ran, 1 cached,")
    assert "stopped" not in done.stderr and cli.same_as_a_full_run(path, out, tmp_path)


def test_what_the_cache_keeps_and_who_may_read_it(tmp_path, cli):
    cells = ["# name: make\nimport numpy as np\nbig = np.ones(2_500_000)",  # 20 MB
             "# name: first reader\nprint(big.sum())",
             "# name: second reader\nprint(big.mean())",
             "# name: other\nsmall = [1, 2]"]
    path = cli.write(tmp_path / "big.ipynb", cells)
    out = tmp_path / "big.out.ipynb"
    cache = tmp_path / ".trelvo-cache"
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    values = sum(f.stat().st_size for f in (cache / "values").rglob("*") if f.is_file())
    assert 20e6 <= values <= 1.2 * 20e6  # the array is stored once, whoever reads it
    for root, directories, files in os.walk(cache):
        assert stat.S_IMODE(os.stat(root).st_mode) == 0o700
        for name in files:
            assert stat.S_IMODE(os.stat(os.path.join(root, name)).st_mode) == 0o600
    # Entries are found by what they depend on, not by where the cell stands: a reader handed the
    # same array by another cell, and a cell moved, are still cached.
    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells = [notebook.cells[0], notebook.cells[3], notebook.cells[2]]
    nbformat.write(notebook, str(path))
    assert cli.trelvo("run", path, cwd=tmp_path).returncode == 0
    assert ran(cli, out) == [] and cli.same_as_a_full_run(path, out, tmp_path)
    info = cli.trelvo("cache", "info", path, cwd=tmp_path).stdout
    assert re.search(r"size: [\d.]+ MiB in 4 entries", info) and str(path) in info
    assert cli.trelvo("cache", "prune", path, cwd=tmp_path).stdout.startswith("pruned 1 entries;")

    # Changed by someone else: the entry is ignored, the value refused; the results stay right.
    entry = next(e for e in (cache / "entries").rglob("*.json") if '"cell": "make"' in e.read_text())
    entry.chmod(0o666)
    edit(path, 2, "big.mean()", "big.mean().round(1)")
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert "it was changed by another user" in done.stderr
    for value in (cache / "values").rglob("*"):
        if value.is_file() and value.stat().st_size > 1e6:
            data = bytearray(value.read_bytes())
            data[-8] ^= 0xFF
            value.write_bytes(data)
    edit(path, 2, "round(1)", "round(2)")
    done = cli.trelvo("run", path, cwd=tmp_path)
    assert done.returncode == 0 and "was changed since it was written" in done.stderr
    assert cli.same_as_a_full_run(path, out, tmp_path)

    # Bounded: another notebook's run keeps the cache within its size, dropping the least used.
    small = cli.write(tmp_path / "small.ipynb", ["print('small')"])
    assert cli.trelvo("run", small, "--cache-size", "100K", cwd=tmp_path).returncode == 0
    assert sum(f.stat().st_size for f in cache.rglob("*") if f.is_file()) < 100_000


def test_two_runs_at_once_on_one_cache(tmp_path, cli):
    path = cli.write(tmp_path / "both.ipynb", [
        "import time\nimport numpy as np\ntime.sleep(0.3)\nvalues = np.arange(1000)",
        "time.sleep(0.3)\ntotal = int(values.sum())\nprint(total)",
        "print(total * 2)"])
    runs = [subprocess.Popen([sys.executable, "-P", "-m", "trelvo_core", "run", str(path), "-o",
                              str(tmp_path / f"out{i}.ipynb")], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
            for i in range(2)]
    for run in runs:
        assert run.wait(120) == 0
        assert run.stderr.read().count("\n") == 4  # three cells and the summary: no warning, no error
        run.stderr.close()
    for i in range(2):
        assert cli.executed(tmp_path / f"out{i}.ipynb").cells[2].outputs[0]["text"] == "999000\n"
    done = subprocess.run([sys.executable, "-P", "-X", "importtime", "-m", "trelvo_core", "run", str(path)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.stderr.splitlines()[-1].startswith("3 cells: 0 ran, 3 cached")
    # Nothing to run: no kernel, and neither IPython nor ZeroMQ is imported.
    assert not re.search(r"\| +(IPython|zmq|jupyter_client)\b", done.stderr)

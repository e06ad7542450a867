"""Cells that crash their kernel, hang in C code, or run in side kernels and on workers that go
away: the run goes on with a fresh kernel, the notebook is written, and --jobs writes what the
sequential run writes."""

import os
import signal
import subprocess
import sys
import time

import psutil
import pytest

pytestmark = pytest.mark.timeout(300)

CRASHING = [
    "values = [1, 2, 3]",
    "# name: exits\nimport os\nos._exit(3)",
    "# name: independent\nprint(sum(values))",
    "# name: segfault\nimport ctypes\nctypes.string_at(0)",
    "# name: stuck in C\nsum(range(10**11))",  # no signal reaches it: its kernel is ended
    "# name: after\nprint('after', len(values))",
]


@pytest.mark.parametrize("options", [[], ["--jobs", "2"]], ids=["sequential", "jobs"])
def test_a_cell_that_kills_or_hangs_its_kernel_fails_alone(tmp_path, cli, options):
    path = cli.write(tmp_path / "crash.ipynb", CRASHING)
    began = time.monotonic()
    done = cli.trelvo("run", path, "--no-cache", "--timeout", "1", *options, cwd=tmp_path)
    assert done.returncode == 1 and time.monotonic() - began < 60
    notebook = cli.executed(tmp_path / "crash.out.ipynb")
    assert cli.statuses(tmp_path / "crash.out.ipynb") == [
        "successful", "failed", "successful", "failed", "failed", "successful"]
    errors = [cell.outputs[-1] for cell in notebook.cells if cell.metadata["trelvo"]["status"] == "failed"]
    assert [(e["ename"], e["evalue"]) for e in errors] == [
        ("DeadKernelError", "the process running it died: exited with status 3"),
        ("DeadKernelError", "the process running it died: signal 11 (SIGSEGV)"),
        ("TimeoutError", "the cell was stopped: it ran longer than the 1 s timeout")]
    assert notebook.cells[2].outputs[0]["text"] == "6\n"  # a fresh kernel, given what the cell reads
    assert notebook.cells[5].outputs[0]["text"] == "after 3\n"
    lines = done.stderr.splitlines()
    assert lines[1].endswith("the process running it died: exited with status 3")
    assert lines[-1].startswith("6 cells: 3 ran, 0 cached, 3 failed, 0 skipped")


def test_a_side_kernel_killed_from_outside(tmp_path, cli):
    path = cli.write(tmp_path / "killed.ipynb", [
        "import time",
        "# name: left\ntime.sleep(4)\nleft = 1",
        "# name: right\ntime.sleep(4)\nright = 2",
        "# name: after\nprint('after', left)"])
    run = subprocess.Popen([sys.executable, "-P", "-m", "trelvo_core", "run", str(path), "--no-cache", "--jobs", "2"],
                           cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    kernels = []
    while len(kernels) < 2 and time.monotonic() < deadline:  # the main kernel, then the side one
        kernels = [p for p in psutil.Process(run.pid).children(recursive=True)
                   if "ipykernel_launcher" in " ".join(p.cmdline())]
        time.sleep(0.1)
    time.sleep(1.5)  # right is running in the side kernel
    os.kill(max(kernels, key=lambda p: p.create_time()).pid, signal.SIGKILL)
    assert run.wait(60) == 1
    run.stderr.close()
    notebook = cli.executed(tmp_path / "killed.out.ipynb")
    assert cli.statuses(tmp_path / "killed.out.ipynb") == ["successful", "successful", "failed", "successful"]
    assert notebook.cells[2].outputs[-1]["evalue"] == "the process running it died: signal 9 (SIGKILL)"
    assert notebook.cells[3].outputs[0]["text"] == "after 1\n"


STATEFUL = [
    "import numpy as np\nimport random\nimport pandas as pd\nimport warnings\nnp.random.seed(0)\nrandom.seed(0)",
    "pd.set_option('display.max_columns', 3)\nnp.set_printoptions(precision=3)\nwarnings.simplefilter('ignore')",
    "a = np.random.rand(3)\nprint(a)",
    "b = [random.random() for _ in range(2)]\nprint(b)",
    "fh = open('log.txt', 'w')\nfh.write('x')\nfh.flush()",
    "np.save('data.npy', a)",
    "import time\ntime.sleep(0.5)\nindependent = 1\nprint(np.load('data.npy'))",
    "pd.DataFrame(np.arange(20).reshape(4, 5))",
    "fh.write('y')\nfh.close()\nprint(open('log.txt').read())",
    "warnings.warn('hidden')\nprint(1 / 3 * np.ones(2), independent)",
    "view = a[1:]\nview[0] = 7\nprint(a)",
]


@pytest.mark.parametrize("cached", [False, True], ids=["no-cache", "cache"])
def test_jobs_write_what_the_sequential_run_writes(tmp_path, cli, cached):
    path = cli.write(tmp_path / "state.ipynb", STATEFUL)
    cache = [] if cached else ["--no-cache"]
    written = {}
    for name, options in (("sequential", []), ("jobs", ["--jobs", "2"])):
        for _ in range(2 if cached else 1):  # with the cache: filled, then read
            done = cli.trelvo("run", path, "-o", tmp_path / f"{name}.ipynb", *cache, *options, cwd=tmp_path)
            assert done.returncode == 0, done.stderr
        written[name] = [cli.masked(cell.outputs) for cell in cli.executed(tmp_path / f"{name}.ipynb").cells]
    assert written["jobs"] == written["sequential"]
    assert "trelvo:" not in str(written["jobs"])  # the tool's own messages go to its stderr, never into a cell


def test_a_broker_that_cannot_be_reached_fails_at_once(tmp_path, cli):
    path = cli.write(tmp_path / "remote.ipynb", ["print(1)"])
    before = sorted(os.listdir(tmp_path))
    began = time.monotonic()
    done = cli.trelvo("run", path, "--remote", "redis://:secret@127.0.0.1:1/0", cwd=tmp_path)
    assert done.returncode == 2 and time.monotonic() - began < 10
    assert done.stderr.startswith("trelvo: error: cannot reach the broker redis://:***@127.0.0.1:1/0")
    assert done.stderr.count("\n") == 1 and "secret" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == before

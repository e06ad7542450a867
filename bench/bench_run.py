"""`trelvo run` as a user meets it, each figure a ratio of wall times in this run:
- against `jupyter nbconvert --to notebook --execute` on the example notebook and on a notebook
  of 50 small cells (target: at most 0.5x), and the per-cell overhead against a bare run_cell of
  the same cells (report only);
- a second run after editing only the last cell of a notebook whose first cell takes 3 s, against
  the first full run (target: at most 0.25x);
- --jobs 2 on a notebook of two independent 2-second branches, against the sequential run
  (target: at most 0.65x);
- `trelvo optimize` of 30 trials over a notebook whose first cell takes 1 s and does not read the
  searched parameter, against 30 runs of `trelvo run --no-cache` with the same values (target:
  at most 0.15x);
- a cell printing 1,000,000 lines, against nbconvert: wall time (target: at most 1.5x) and peak
  memory of all the processes of each, kernel and client (target: at most 2x)."""

import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import nbformat
import psutil
from nbformat.v4 import new_code_cell, new_notebook

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "regression.ipynb"
SMALL_CELLS = [f"value_{i} = {i} * 2\nprint(value_{i})" for i in range(50)]


def write(directory, name, cells):
    path = directory / name
    notebook = new_notebook(cells=[new_code_cell(code) for code in cells])
    notebook.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3",
                                       "language": "python"}
    nbformat.write(notebook, str(path))
    return path


def wall(command, cwd):
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, check=True, capture_output=True)
    return time.perf_counter() - start


def trelvo(path, *options):
    return [sys.executable, "-P", "-m", "trelvo_core", "run", str(path), "--quiet", *options]


def nbconvert(path):
    return [sys.executable, "-P", "-m", "nbconvert", "--to", "notebook", "--execute",
            "--output", path.stem + ".nbconvert.ipynb", str(path)]


def median_wall(command, cwd, repeat=3):
    return statistics.median(wall(command, cwd) for _ in range(repeat))


def bare_run_cell_seconds(cells, cwd):
    """Per-cell time of InteractiveShell.run_cell on the same cells, in a fresh process."""
    code = ("import sys, time\nfrom IPython.core.interactiveshell import InteractiveShell\n"
            "shell = InteractiveShell.instance()\ncells = eval(sys.stdin.read())\n"
            "start = time.perf_counter()\n"
            "for cell in cells: shell.run_cell(cell, store_history=False)\n"
            "sys.__stderr__.write(repr((time.perf_counter() - start) / len(cells)))\n")
    done = subprocess.run([sys.executable, "-P", "-c", code], input=repr(cells), text=True,
                          capture_output=True, cwd=cwd, check=True)
    return float(done.stderr.strip().splitlines()[-1])


def against_nbconvert(directory):
    for label, path in (("example", EXAMPLE), ("50 small cells", write(directory, "small.ipynb",
                                                                       SMALL_CELLS))):
        ours = median_wall(trelvo(path, "--no-cache", "-o", directory / "out.ipynb"), directory)
        theirs = median_wall(nbconvert(path) + ["--output-dir", str(directory)], directory)
        print(f"{label}: trelvo run {ours:.2f} s, nbconvert --execute {theirs:.2f} s")
        print(f"run vs nbconvert ({label}) ratio: {ours / theirs:.2f}x (target <= 0.5x)")
    # Per cell: the difference between 400 cells and one, so the start-up cancels out.
    cells = [f"value_{i} = {i} * 2\nprint(value_{i})" for i in range(400)]
    out = ["--no-cache", "-o", directory / "out.ipynb"]
    many = min(wall(trelvo(write(directory, "many.ipynb", cells), *out), directory)
               for _ in range(3))
    single = min(wall(trelvo(write(directory, "one.ipynb", cells[:1]), *out), directory)
                 for _ in range(3))
    per_cell = (many - single) / (len(cells) - 1)
    bare = bare_run_cell_seconds(cells, directory)
    print(f"per cell: trelvo run {per_cell * 1e6:.0f} us, bare run_cell {bare * 1e6:.0f} us")
    print(f"per-cell time vs bare run_cell ratio: {per_cell / bare:.2f}x (report only)")


def after_editing_the_last_cell(directory):
    cells = ["import time\ntime.sleep(3)\nstart = 1"] + [f"step_{i} = start + {i}" for i in
                                                         range(5)] + ["print(step_4)"]
    path = write(directory, "edit.ipynb", cells)
    cache = ["--cache-dir", str(directory / "edit-cache"), "-o", str(directory / "out.ipynb")]
    first = wall(trelvo(path, *cache), directory)
    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells[-1].source = "print(step_4 * 2)"
    nbformat.write(notebook, str(path))
    second = wall(trelvo(path, *cache), directory)
    print(f"first run {first:.2f} s, after editing the last cell {second:.2f} s")
    print(f"rerun after editing the last cell ratio: {second / first:.2f}x (target <= 0.25x)")


def two_branches(directory):
    busy = "start = time.perf_counter()\nwhile time.perf_counter() - start < 2:\n    pass\n"
    path = write(directory, "branches.ipynb", [
        "import time", busy + "left = 1", busy + "right = 2", "print(left + right)"])
    common = ["--no-cache", "-o", str(directory / "out.ipynb")]
    sequential = wall(trelvo(path, *common), directory)
    parallel = wall(trelvo(path, *common, "--jobs", "2"), directory)
    print(f"two 2-second branches: sequential {sequential:.2f} s, --jobs 2 {parallel:.2f} s")
    print(f"--jobs 2 vs sequential ratio: {parallel / sequential:.2f}x (target <= 0.65x)")


def optimize_against_runs(directory):
    path = write(directory, "search.ipynb", [
        "rate = 0.0", "import time\ntime.sleep(1)\nbase = 5.0", "loss = (rate - 0.3) ** 2 + base"])
    notebook = nbformat.read(str(path), as_version=4)
    notebook.cells[0].metadata["tags"] = ["parameters"]
    nbformat.write(notebook, str(path))
    values = [round(0.1 * i, 10) for i in range(30)]
    search = wall([sys.executable, "-P", "-m", "trelvo_core", "optimize", str(path), "--quiet",
                   "--search", "rate=0:3:0.1", "--method", "GridSearch", "--objective", "loss",
                   "--cache-dir", str(directory / "search-cache")], directory)
    loop = sum(wall(trelvo(path, "--no-cache", "-p", "rate", str(value), "-o",
                           str(directory / "out.ipynb")), directory) for value in values)
    print(f"30 trials: trelvo optimize {search:.2f} s, 30 x trelvo run --no-cache {loop:.2f} s")
    print(f"optimize vs a loop of runs ratio: {search / loop:.2f}x (target <= 0.15x)")


def wall_and_peak(command, cwd):
    """Wall time and the peak of the summed resident memory of the command's processes."""
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tree, peak = psutil.Process(process.pid), 0
    while process.poll() is None:
        try:
            peak = max(peak, sum(p.memory_info().rss for p in [tree, *tree.children(recursive=True)]))
        except psutil.Error:
            pass
        time.sleep(0.02)
    return time.perf_counter() - start, peak


def huge_output(directory):
    path = write(directory, "huge.ipynb", ["for i in range(1_000_000):\n    print(i)"])
    ours = wall_and_peak(trelvo(path, "--no-cache", "-o", directory / "huge.out.ipynb"), directory)
    theirs = wall_and_peak(nbconvert(path) + ["--output-dir", str(directory)], directory)
    print(f"1,000,000 printed lines: trelvo run {ours[0]:.1f} s and {ours[1] / 1e6:.0f} MB, "
          f"nbconvert --execute {theirs[0]:.1f} s and {theirs[1] / 1e6:.0f} MB")
    print(f"huge output time vs nbconvert ratio: {ours[0] / theirs[0]:.2f}x (target <= 1.5x)")
    print(f"huge output memory vs nbconvert ratio: {ours[1] / theirs[1]:.2f}x (target <= 2x)")


def main():
    with tempfile.TemporaryDirectory() as directory:
        directory = pathlib.Path(directory)
        huge_output(directory)
        against_nbconvert(directory)
        after_editing_the_last_cell(directory)
        two_branches(directory)
        optimize_against_runs(directory)


if __name__ == "__main__":
    main()

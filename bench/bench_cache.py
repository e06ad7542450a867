"""What the run cache costs, each figure a ratio against `trelvo run --no-cache` (or np.save) in
this run:
- 200 one-line cells, a first run that fills the cache (target: at most 1.5x --no-cache);
- the same notebook fully cached: no kernel starts, nothing is imported that a run needs
  (target: at most 0.5x --no-cache);
- a 200 MB numpy array made by one cell and read by two: the cache holds it once (target: at most
  1.2x its size), and storing it costs at most 1.3x np.save of it (alternated, median of 5)."""

import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import nbformat
from nbformat.v4 import new_code_cell, new_notebook


def write(directory, name, cells):
    path = directory / name
    notebook = new_notebook(cells=[new_code_cell(code) for code in cells])
    notebook.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    nbformat.write(notebook, str(path))
    return path


def wall(path, *options):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-P", "-m", "trelvo_core", "run", str(path), "--quiet", *options],
                   check=True, capture_output=True)
    return time.perf_counter() - start


def one_line_cells(directory):
    path = write(directory, "small.ipynb", [f"value_{i} = {i} * 2" for i in range(200)])
    cache = directory / "cache"
    out = ["-o", str(directory / "out.ipynb")]
    plain, first = [], []
    for _ in range(3):  # alternated: drifts of the machine hit both
        plain.append(wall(path, "--no-cache", *out))
        shutil.rmtree(cache, ignore_errors=True)
        first.append(wall(path, "--cache-dir", str(cache), *out))
    cached = statistics.median(wall(path, "--cache-dir", str(cache), *out) for _ in range(5))
    plain, first = statistics.median(plain), statistics.median(first)
    print(f"200 one-line cells: --no-cache {plain:.2f} s, first run with the cache {first:.2f} s, "
          f"fully cached {cached:.3f} s")
    print(f"first run with the cache vs --no-cache ratio: {first / plain:.2f}x (target <= 1.5x)")
    print(f"fully cached run vs --no-cache ratio: {cached / plain:.2f}x (target <= 0.5x)")


def big_array(directory):
    import numpy as np

    from trelvo_core.cli.engine import write_value

    path = write(directory, "big.ipynb", ["import numpy as np\nbig = np.ones(25_000_000)",
                                          "print(big.sum())", "print(big.mean())"])
    cache = directory / "big-cache"
    wall(path, "--cache-dir", str(cache), "-o", str(directory / "out.ipynb"))
    stored = sum(f.stat().st_size for f in (cache / "values").rglob("*") if f.is_file())
    print(f"200 MB array read by two cells: the cache holds {stored / 1e6:.0f} MB of values")
    print(f"cache size vs the array ratio: {stored / 200e6:.2f}x (target <= 1.2x)")

    array = np.random.default_rng(0).random(25_000_000)
    saving, storing = [], []
    for round_ in range(5):
        target = directory / f"saved{round_}.npy"
        start = time.perf_counter()
        np.save(target, array)
        saving.append(time.perf_counter() - start)
        store = directory / f"store{round_}"
        store.mkdir()
        start = time.perf_counter()
        write_value(str(store), array)
        storing.append(time.perf_counter() - start)
        target.unlink()
        shutil.rmtree(store)
    save, store = statistics.median(saving), statistics.median(storing)
    print(f"200 MB array: np.save {save * 1e3:.0f} ms, stored in the cache {store * 1e3:.0f} ms")
    print(f"storing vs np.save ratio: {store / save:.2f}x (target <= 1.3x)")


def main():
    with tempfile.TemporaryDirectory() as directory:
        directory = pathlib.Path(directory)
        one_line_cells(directory)
        big_array(directory)


if __name__ == "__main__":
    main()

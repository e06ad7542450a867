"""Notebooks written with nbformat and the real `trelvo` command run in a subprocess."""

import json
import subprocess
import sys

import nbformat
import pytest
from nbformat.v4 import new_code_cell, new_markdown_cell, new_notebook


def write_notebook(path, cells):
    """cells: code strings, ("markdown", text), or (code, [tags])."""
    made = []
    for cell in cells:
        if isinstance(cell, str):
            made.append(new_code_cell(cell))
        elif cell[0] == "markdown":
            made.append(new_markdown_cell(cell[1]))
        else:
            made.append(new_code_cell(cell[0], metadata={"tags": cell[1]}))
    notebook = new_notebook(cells=made)
    notebook.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3",
                                       "language": "python"}
    nbformat.write(notebook, str(path))
    return path


def trelvo(*args, cwd, timeout=120, **popen):
    return subprocess.run([sys.executable, "-P", "-m", "trelvo_core", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, **popen)


def executed(path):
    """The executed notebook, checked against the notebook schema."""
    notebook = nbformat.read(str(path), as_version=4)
    nbformat.validate(notebook)
    return notebook


def statuses(path):
    return [cell.metadata["trelvo"]["status"] for cell in executed(path).cells
            if "trelvo" in cell.metadata]


def outputs_of(path):
    return json.dumps([cell.get("outputs") for cell in executed(path).cells], sort_keys=True)


@pytest.fixture(scope="session")
def trelvo_worker(redis_url, tmp_path_factory, worker_starter):
    """A celery worker started with `trelvo worker` on the test redis-server."""
    # A database of its own: celery workers of one host sharing a broker share a node name.
    redis_url = redis_url.rsplit("/", 1)[0] + "/1"
    worker = worker_starter(
        [sys.executable, "-P", "-m", "trelvo_core", "worker", "--broker", redis_url,
         "--loglevel", "WARNING"], redis_url, tmp_path_factory.mktemp("worker"))
    yield redis_url
    worker.terminate()
    worker.wait(30)


@pytest.fixture
def cli():
    """The helpers above, for the tests (conftest modules are not importable)."""
    from types import SimpleNamespace

    return SimpleNamespace(write=write_notebook, trelvo=trelvo, executed=executed,
                           statuses=statuses, outputs_of=outputs_of)

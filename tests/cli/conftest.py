"""Notebooks written with nbformat and the real `trelvo` command run in a subprocess."""

import json
import re
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


def masked(outputs):
    """Outputs as compared: consecutive chunks of one stream merged (the kernel's flush timing
    decides how they arrive), addresses, process ids and pandas' random table ids masked."""
    merged = []
    for output in outputs:
        output = dict(output)
        if merged and output["output_type"] == "stream" == merged[-1]["output_type"] \
                and output["name"] == merged[-1]["name"]:
            merged[-1] = {**merged[-1], "text": merged[-1]["text"] + output["text"]}
            continue
        merged.append(output)
    text = json.dumps(merged, sort_keys=True)
    for pattern, mask in ((r"0x[0-9a-fA-F]+", "0x?"), (r"ipykernel_\d+", "ipykernel_?"), (r"T_[0-9a-f]{5}", "T_?"),
                          (r"Overwriting (\S+)\\n", r"Writing \1\\n")):  # %%writefile, when run again
        text = re.sub(pattern, mask, text)
    return text


def same_as_a_full_run(path, out, cwd):
    """Whether the executed notebook out holds what a --no-cache run of the notebook writes."""
    reference = out.parent / (out.stem + ".full.ipynb")
    done = trelvo("run", path, "--no-cache", "-o", reference, cwd=cwd)
    assert done.returncode in (0, 1), done.stderr
    return [masked(c.get("outputs", [])) for c in executed(out).cells] == \
        [masked(c.get("outputs", [])) for c in executed(reference).cells]


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
                           statuses=statuses, outputs_of=outputs_of, masked=masked,
                           same_as_a_full_run=same_as_a_full_run)

"""`trelvo optimize` of a small notebook: the known best of a grid, live reports to a real HTTP
server, a failing trial, early stopping, and an upstream cell that runs once per study."""

import json

import pytest

pytestmark = pytest.mark.timeout(300)

NOTEBOOK = [
    ("x = 0\ntrap = 99", ["parameters"]),
    # The count's path is built, not written out: the run cache does not follow the file.
    "# name: upstream\nimport pathlib\nruns = pathlib.Path('runs' + '.log')\n"
    "runs.write_text((runs.read_text() if runs.exists() else '') + 'ran\\n')\nbase = 10",
    "# name: score\nif x == trap:\n    raise ValueError('trapped')\nloss = (x - 3) ** 2 + base",
]


def test_grid_search_finds_the_best_and_reports_every_trial(tmp_path, cli, http_server):
    path = cli.write(tmp_path / "search.ipynb", NOTEBOOK)
    done = cli.trelvo("optimize", path, "--search", "x=0:6:1", "--objective", "loss",
                      "--method", "GridSearch", "-p", "trap", "5", "--report-url", http_server.url,
                      "--header", "Authorization=Bearer t", "-o", "results.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[:2] == ["best trial:", "trial  x  loss"]
    assert done.stdout.splitlines()[2].split()[1:] == ["3", "10"]
    lines = [line for line in done.stderr.splitlines() if line.startswith("trial ")]
    assert len(lines) == 6 and sum("failed (cell 'score' failed)" in line for line in lines) == 1
    assert (tmp_path / "runs.log").read_text() == "ran\n"  # once for the whole study

    results = json.loads((tmp_path / "results.json").read_text())
    assert [t["values"] for t in results["best_trials"].values()] == [[10.0]]
    assert len(results["optimization_log"]) == 6
    assert list(results["parameter_importance"][0]) == ["x"]
    procedures = http_server.procedures()
    assert procedures[-1] == "HPO_COMPLETED" and len(procedures) == 6  # the failed trial is not logged
    assert all(r["headers"]["Authorization"] == "Bearer t" for r in http_server.requests)


def test_early_stopping_and_usage_errors(tmp_path, cli):
    path = cli.write(tmp_path / "search.ipynb", NOTEBOOK)
    # x only grows away from the best after the first trials: no improvement for 2 rounds.
    done = cli.trelvo("optimize", path, "--search", "x=3:20:1", "--objective", "loss",
                      "--method", "GridSearch", "--early-stop", "2", "-o", "r.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert len(json.loads((tmp_path / "r.json").read_text())["optimization_log"]) < 17

    for arguments, message in (
            (["--search", "y=0:1", "--objective", "loss"], "'y' is not a parameter"),
            (["--search", "x=0:1", "--objective", "gain"], "no cell sets 'gain'"),
            (["--search", "x=0:1", "--objective", "loss", "--method", "GridSearch"], "STEP"),
            (["--search", "x=a:1", "--objective", "loss"], "'a' is not a number"),
            (["--search", "x=0:1", "--objective", "loss", "--report-url", "http://127.0.0.1:9",
              "--header", "no pairs"], "NAME=VALUE")):
        done = cli.trelvo("optimize", path, *arguments, cwd=tmp_path)
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and message in done.stderr


def test_a_diverging_trial_stops_the_search_and_the_results_stay_strict_json(tmp_path, cli):
    path = cli.write(tmp_path / "diverge.ipynb", [("x = 0", ["parameters"]),
                                                  "# name: score\nloss = float('inf') if x == 2 else (x - 3) ** 2"])
    done = cli.trelvo("optimize", path, "--search", "x=0:6:1", "--objective", "loss", "--method", "GridSearch",
                      "--trials", "20", "-o", "r.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")
    log = json.loads((tmp_path / "r.json").read_text(), parse_constant=refuse)["optimization_log"]
    diverged = [trial for trial in log if trial["parameters"]["x"] == 2]
    assert diverged == [{"parameters": {"x": 2}, "values": [None], "state": "diverged: loss is inf",
                         "number": diverged[0]["number"]}]
    assert log[-1] == diverged[0]  # nothing runs after it
    assert f"trelvo: the search stopped at trial {log[-1]['number']}: loss diverged to inf" in done.stderr

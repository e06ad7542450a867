"""The trial callbacks in real optuna studies: early stopping, live logging, divergence, and
the reports they post to a real HTTP server."""

import math
import operator

import optuna
import pytest

from trelvo_core.callbacks import TrelvoPipelineCallback
from trelvo_core.parameters_optimizer.callbacks import (
    TrelvoHPOPrisketCallback,
    TrelvoHPOWindrelCallback,
)
from trelvo_core.parameters_optimizer.callbacks.tovmar import ITrelvoHPOCallback

EARLY_STOPPED = {"procedure": "HPO_EARLY_STOPPED", "status": "SUCCESSFUL",
                 "msg": "The optimizing iteration was early stopped", "successful": None}
DIVERGED = {"procedure": "HPO_ERROR", "status": "SUCCESSFUL",
            "msg": "Optimization failed because the target value diverged", "successful": None}


def run(values, callbacks, directions=("minimize",), n_trials=20):
    """A study whose k-th trial returns values[k] (a value or a tuple), with one suggested
    parameter; it runs until the values or the trials run out, or a callback stops it."""
    study = optuna.create_study(directions=list(directions))

    def objective(trial):
        trial.suggest_int("k", 0, 100)
        return values[trial.number]

    study.optimize(objective, n_trials=min(n_trials, len(values)), callbacks=callbacks)
    return study


def test_classes():
    assert type(ITrelvoHPOCallback) is type(TrelvoHPOWindrelCallback) is type(
        TrelvoHPOPrisketCallback)
    assert type(ITrelvoHPOCallback).__name__ == "ABCMeta"
    assert ITrelvoHPOCallback.__abstractmethods__ == frozenset({"__call__"})
    with pytest.raises(TypeError, match="abstract"):
        ITrelvoHPOCallback()
    assert ITrelvoHPOCallback.__doc__ == "Callback interface."
    assert TrelvoHPOWindrelCallback.__doc__ == "Early stopping callback for optimizer."
    assert TrelvoHPOPrisketCallback.__doc__ == "Live logger callback for optimizer."
    assert vars(TrelvoHPOPrisketCallback(None)) == {"_pipeline_callback": None, "_live_log": {}}

    class Own(ITrelvoHPOCallback):
        def __call__(self, study, trial):
            return super().__call__(study, trial)

    assert Own()._pipeline_callback is None and Own()(None, None) is None


@pytest.mark.parametrize("direction, op, score", [
    ("minimize", operator.lt, math.inf), ("MINIMIZE", operator.lt, math.inf),
    ("maximize", operator.gt, -math.inf), ("anything", operator.gt, -math.inf)])
def test_windrel_direction(direction, op, score):
    callback = TrelvoHPOWindrelCallback(None, 3.9, direction)
    assert vars(callback) == {"_pipeline_callback": None, "_windrel_rounds": 3, "_iter": 0,
                              "_operator": op, "_score": score}


@pytest.mark.parametrize("args, message", [
    ((None, "3", "minimize"),
     "Argument 'windrel_rounds' has incorrect type (expected int, got str)"),
    ((None, 3, b"minimize"), "Argument 'direction' has incorrect type (expected str, got bytes)"),
])
def test_windrel_argument_checks(args, message):
    with pytest.raises(TypeError) as raised:
        TrelvoHPOWindrelCallback(*args)
    assert str(raised.value) == message


def test_windrel_stops_after_rounds_without_a_new_best(http_server):
    callback = TrelvoHPOWindrelCallback(
        pipeline_callback=TrelvoPipelineCallback(http_server.url), windrel_rounds=3,
        direction="minimize")
    counters = []
    study = run([5, 4, 4, 4, 4, 1, 0], [callback, lambda s, t: counters.append(callback._iter)])
    assert len(study.trials) == 5
    assert counters == [0, 0, 1, 2, 3] and callback._score == 4
    assert http_server.reports() == [EARLY_STOPPED]


def test_windrel_with_zero_rounds_and_before_any_completed_trial():
    zero = TrelvoHPOWindrelCallback(None, 0, "maximize")
    assert len(run([1, 2, 3], [zero]).trials) == 1
    # A failed first trial leaves the study without a best value: no improvement, no error.
    waiting = TrelvoHPOWindrelCallback(None, 2, "minimize")
    study = run([float("nan"), float("nan"), 1.0], [waiting])
    assert [t.state.name for t in study.trials] == ["FAIL", "FAIL"] and waiting._iter == 2


def test_prisket_reports_every_trial_and_stops_on_divergence(http_server):
    callback = TrelvoHPOPrisketCallback(TrelvoPipelineCallback(http_server.url))
    logs = []
    study = run([(1.0, 2.0), (0.5, 3.0), (1.0, -math.inf), (0.0, 0.0)],
                [callback, lambda s, t: logs.append(dict(callback._live_log))],
                directions=("minimize", "maximize"))
    assert len(study.trials) == 3
    trials = study.trials
    expected = [{"trials": t.number, "parameters": t.params, "values": t.values}
                for t in trials[:2]]
    assert logs == expected + [expected[1]]  # the divergent trial leaves the log as it was
    assert callback._live_log == expected[1]
    reports = http_server.reports()
    assert reports[:2] == [{"procedure": "HPO_TRIAL_EXECUTED", "status": "SUCCESSFUL",
                            "msg": "", "successful": record} for record in expected]
    assert reports[2:] == [DIVERGED]


def test_prisket_skips_failed_trials_and_reports_only_to_a_pipeline_callback(http_server):
    callback = TrelvoHPOPrisketCallback(TrelvoPipelineCallback(http_server.url))
    study = run([1.0, float("nan"), 2.0], [callback])
    assert [t.state.name for t in study.trials] == ["COMPLETE", "FAIL", "COMPLETE"]
    assert [r["successful"]["trials"] for r in http_server.reports()] == [0, 2]

    received = []
    for pipeline_callback in (None, received.append):
        quiet = TrelvoHPOPrisketCallback(pipeline_callback=pipeline_callback)
        study = run([3.0, math.inf, 1.0], [quiet])
        assert len(study.trials) == 2 and quiet._live_log["trials"] == 0
    assert received == [] and len(http_server.requests) == 2

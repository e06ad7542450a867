"""TrelvoHPOptimizer and get_search_space: real optuna studies reporting to a real HTTP server."""

import math
import random

import numpy as np
import optuna
import pytest
from optuna.importance import get_param_importances

from trelvo_core.callbacks import TrelvoPipelineCallback
from trelvo_core.parameters_optimizer.optimizers import TrelvoHPOptimizer, get_search_space
from trelvo_core.parameters_optimizer.optimizers import quenmar

GRID = {"x": {"low": 0, "high": 1, "interval": 0.25}, "y": {"low": 0, "high": 2, "interval": 1}}


def grid_objective(trial):
    return (trial.suggest_float("x", 0, 1) - 0.5) ** 2 + trial.suggest_int("y", 0, 1)


def optimizer(*args, **kwargs):
    made = TrelvoHPOptimizer(*args, **kwargs)
    made.create_study()
    return made


def test_search_space_is_numpys_arange_rounded_to_15_places():
    assert get_search_space({"a": {"low": 0, "high": 1, "interval": 0.25, "unit": "s"}}) == {
        "a": [0.0, 0.25, 0.5, 0.75]}
    assert get_search_space({"a": {"low": 0, "high": 1, "interval": 0.1}})["a"][3] == 0.3
    rng = random.Random(7)
    for _ in range(300):
        low, span = rng.uniform(-50, 50), rng.uniform(-5, 60)
        interval = rng.choice([0.1, 0.3, 0.7, 1, 2.5, 1e-3, -0.2, -1.5]) * rng.uniform(0.5, 3)
        expected = [round(x, 15) for x in np.arange(low, low + span, interval)]
        assert get_search_space({"p": {"low": low, "high": low + span, "interval": interval}}) == {
            "p": expected}


@pytest.mark.parametrize("parameters, error, message", [
    ({"lr": {"low": 0, "high": 1}}, ValueError,
     "The information of parameter 'lr' to get search space for grid search is not proper."),
    ({"lr": {"low": "0", "high": 1, "interval": 1}}, TypeError, "must be real number, not str"),
    ({"lr": {"low": 0, "high": 1, "interval": 0}}, ZeroDivisionError, "float division by zero"),
    ([("lr", {})], TypeError,
     "Argument 'parameters' has incorrect type (expected dict, got list)"),
])
def test_search_space_errors(parameters, error, message):
    with pytest.raises(error) as raised:
        get_search_space(parameters)
    assert str(raised.value) == message
    if error is ValueError:
        assert isinstance(raised.value.__cause__, KeyError)


@pytest.mark.parametrize("args, kwargs, message", [
    (("Bayes", [0]), {}, "Invalid input: optimization method 'Bayes'"),
    (("GridSearch", [0]), {}, "In GridSearch , 'parameters' must not be NoneType."),
    (("RandomSearch", []), {}, "Invalid input: no optimization directions"),
])
def test_construction_errors(args, kwargs, message):
    with pytest.raises(ValueError) as raised:
        TrelvoHPOptimizer(*args, **kwargs)
    assert str(raised.value) == message


def test_construction():
    made = TrelvoHPOptimizer("TPESearch", [0, 1], windrel_rounds=3.7)
    assert made._directions == ["minimize", "maximize"]
    assert isinstance(made._sampler, optuna.samplers.TPESampler)
    assert made._windrel_callback is None and made._pipeline_callback is None
    assert made._prisket_callback._pipeline_callback is None and made._study is None
    single = TrelvoHPOptimizer("GridSearch", [1], GRID, windrel_rounds=3.7)
    assert single._directions == ["maximize"] and single._windrel_callback._windrel_rounds == 3
    assert isinstance(single._sampler, optuna.samplers.GridSampler)
    with pytest.raises(TypeError, match=r"^Argument 'windrel_rounds' has incorrect type"):
        TrelvoHPOptimizer("RandomSearch", [0], windrel_rounds="3")
    with pytest.raises(AttributeError):  # optimize before create_study
        single.optimize(grid_objective, 1, ["loss"])


def test_grid_search_finds_the_known_best_and_reports_it(http_server):
    made = optimizer("GridSearch", [0], GRID,
                     pipeline_callback=TrelvoPipelineCallback(http_server.url))
    made.optimize(grid_objective, n_trials=20.0, target_names=["loss"])
    assert made.best_params == [{"x": 0.5, "y": 0}] and made.best_values == [[0.0]]
    (number, best), = made.best_trials.items()
    assert best == {"parameters": {"x": 0.5, "y": 0}, "values": [0.0]}
    log = made.optimization_log
    assert len(log) == 8 and log is made.optimization_log
    assert sorted((r["parameters"]["x"], r["parameters"]["y"]) for r in log) == [
        (x, y) for x in (0.0, 0.25, 0.5, 0.75) for y in (0, 1)]
    made.best_params.append(None)
    made.best_trials.clear()
    assert len(made.best_params) == 1 and len(made.best_trials) == 1

    *trials, completed = http_server.reports()
    assert [r["procedure"] for r in trials] == ["HPO_TRIAL_EXECUTED"] * 8
    assert completed["procedure"] == "HPO_COMPLETED" and completed["msg"] == ""
    data = completed["successful"]
    assert data["best_trials"] == {str(number): best} and data["pareto_front_plot"] is None
    assert data["parameter_importance"] == [dict(get_param_importances(made._study))]


def test_two_objectives_give_a_pareto_figure_and_importances_for_each_goal(http_server):
    made = optimizer("RandomSearch", [0, 1],
                     pipeline_callback=TrelvoPipelineCallback(http_server.url))
    made.optimize(lambda t: (t.suggest_float("a", 0, 1), t.suggest_float("b", 0, 1)), 12,
                  ["cost", "gain"])
    data = http_server.reports()[-1]["successful"]
    assert data["pareto_front_plot"]["layout"]["xaxis"]["title"]["text"] == "cost"
    assert [set(i) for i in data["parameter_importance"]] == [{"a", "b"}, {"a", "b"}]
    assert {int(n) for n in data["best_trials"]} == {t.number for t in made._study.best_trials}


def test_a_maximised_objective_ranks_importances_for_high_values():
    made = optimizer("RandomSearch", [1])
    sent = []
    made._pipeline_callback = sent.append  # any callable receives the completion report
    made.optimize(lambda t: 3 * t.suggest_float("a", 0, 1) + t.suggest_float("b", 0, 1), 30,
                  ["score"])
    expected = get_param_importances(made._study)  # honours the study's direction
    assert made._study.direction.name == "MAXIMIZE"
    assert sent[0].successful["parameter_importance"] == [dict(expected)]


def test_divergence_ends_optimize_without_log_or_completion(http_server):
    made = optimizer("RandomSearch", [0],
                     pipeline_callback=TrelvoPipelineCallback(http_server.url))
    made.optimize(lambda t: [1.0, 2.0, math.inf, 0.0][t.number] + 0 * t.suggest_float("a", 0, 1),
                  4, ["loss"])
    assert len(made._study.trials) == 3 and made.optimization_log == []
    assert made.best_values == [[1.0]]
    assert http_server.procedures() == ["HPO_TRIAL_EXECUTED"] * 2 + ["HPO_ERROR"]


def test_failed_trials_and_a_single_trial_still_complete(http_server):
    made = optimizer("RandomSearch", [0],
                     pipeline_callback=TrelvoPipelineCallback(http_server.url))
    made.optimize(lambda t: float("nan") if t.suggest_float("a", 0, 1) < 2 else 0.0, 1, ["loss"])
    assert made.optimization_log == [{"parameters": made._study.trials[0].params, "values": None}]
    assert made.best_trials == {}
    made.optimize(lambda t: t.suggest_float("a", 0, 1), 1, ["loss"])
    assert len(made.optimization_log) == 2
    completions = [r["successful"] for r in http_server.reports()
                   if r["procedure"] == "HPO_COMPLETED"]
    assert [c["parameter_importance"] for c in completions] == [[{}], [{}]]


def test_early_stopping_through_the_optimizer(http_server):
    made = optimizer("RandomSearch", [0], windrel_rounds=2,
                     pipeline_callback=TrelvoPipelineCallback(http_server.url))
    made.optimize(lambda t: t.number + t.suggest_float("a", 0, 0.5), 10, ["loss"])
    assert len(made._study.trials) == 3
    assert http_server.procedures() == ["HPO_TRIAL_EXECUTED", "HPO_TRIAL_EXECUTED",
                                        "HPO_TRIAL_EXECUTED", "HPO_EARLY_STOPPED",
                                        "HPO_COMPLETED"]


def test_module_names():
    assert quenmar.np is np and quenmar.optuna is optuna
    assert quenmar.TrelvoHPOptimizer.__doc__ == "Parameter optimizing manager."
    assert type(quenmar.TrelvoHPOptimizer) is type

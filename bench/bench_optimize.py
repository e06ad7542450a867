"""Optimiser overhead. `optimize` of 200 trials of a trivial two-parameter objective, reporting
every trial to a local HTTP server, against the same work written directly on optuna (a
callback that posts the same JSON with requests, then the best trials, the log, the
importances and the completion report); and `TrelvoPipelineCallback.post` against a bare
`requests.post` of the same body. Targets: at most 1.05x for both."""

import http.server
import statistics
import threading
import time
import warnings

import optuna
import pydantic
import requests
from optuna.importance import get_param_importances
from optuna.samplers import RandomSampler

from trelvo_core.callbacks import TrelvoPipelineCallback
from trelvo_core.misc import TrelvoPipelineCallbackProcedure, TrelvoPipelineCallbackStatus
from trelvo_core.misc.models import TrelvoPipelineCallbackDataModel
from trelvo_core.parameters_optimizer.optimizers import TrelvoHPOptimizer

TRIALS, ROUNDS, POSTS = 200, 7, 300


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def serve():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/hpo"


def to_json(model):
    return model.json() if pydantic.VERSION < "2" else model.model_dump_json()


def report(procedure, msg="", successful=None):
    return TrelvoPipelineCallbackDataModel(
        procedure=procedure, status=TrelvoPipelineCallbackStatus.SUCCESSFUL, msg=msg,
        successful=successful)


def objective(trial):
    return trial.suggest_float("x", -1, 1) ** 2 + trial.suggest_float("y", -1, 1) ** 2


def with_trelvo(url):
    optimizer = TrelvoHPOptimizer("RandomSearch", [0],
                                  pipeline_callback=TrelvoPipelineCallback(url))
    optimizer.create_study()
    optimizer.optimize(objective, TRIALS, ["loss"])


def with_optuna(url):
    def post(model):
        requests.post(url=url, data=to_json(model).encode("utf-8"), headers={}, cookies={},
                      timeout=30)

    def live_log(study, trial):
        post(report(TrelvoPipelineCallbackProcedure.HPO_TRIAL_EXECUTED, successful={
            "trials": trial.number, "parameters": trial.params, "values": trial.values}))

    study = optuna.create_study(sampler=RandomSampler(), directions=["minimize"])
    study.optimize(objective, n_trials=TRIALS, callbacks=[live_log])
    best = {t.number: {"parameters": t.params, "values": t.values} for t in study.best_trials}
    [{"parameters": t.params, "values": t.values} for t in study.trials]
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="PedAnovaImportanceEvaluator computes")
        importances = [dict(get_param_importances(study, target=lambda t: t.values[0]))]
    post(report(TrelvoPipelineCallbackProcedure.HPO_COMPLETED, successful={
        "best_trials": best, "pareto_front_plot": None, "parameter_importance": importances}))


def timed(function, *args):
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def main():
    optuna.logging.disable_default_handler()
    server, url = serve()
    ours, theirs = [], []
    with_trelvo(url), with_optuna(url)
    for _ in range(ROUNDS):
        ours.append(timed(with_trelvo, url))
        theirs.append(timed(with_optuna, url))
    ratio = statistics.median(o / t for o, t in zip(ours, theirs))
    overhead = statistics.median(o - t for o, t in zip(ours, theirs)) / TRIALS
    print(f"optimize, {TRIALS} trials:     {statistics.median(ours) * 1e3:.1f} ms")
    print(f"the same on optuna directly: {statistics.median(theirs) * 1e3:.1f} ms")
    print(f"optimize ratio: {ratio:.3f}x (target <= 1.05x), "
          f"overhead per trial: {overhead * 1e6:.0f} us")

    callback = TrelvoPipelineCallback(url)
    model = report(TrelvoPipelineCallbackProcedure.HPO_TRIAL_EXECUTED, successful={
        "trials": 3, "parameters": {"x": 0.5, "y": -0.25}, "values": [0.3125]})
    body = to_json(model).encode("utf-8")
    post_ratios = []
    for _ in range(ROUNDS):
        ours = timed(lambda: [callback.post(data=model) for _ in range(POSTS)])
        theirs = timed(lambda: [requests.post(url=url, data=body, timeout=30)
                                for _ in range(POSTS)])
        post_ratios.append(ours / theirs)
    print(f"post ratio: {statistics.median(post_ratios):.3f}x (target <= 1.05x)")
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()

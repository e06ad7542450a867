"""A notebook's cells run as a pipeline by the package's modules, end to end.

Each cell becomes a component that runs in a clean namespace with exactly what its parents left;
the results go to disk caches that another process can take over; the pipeline is exported as a
stand-alone script (which is then run) and as Kubeflow Pipelines YAML; and a parameter is
optimised over the same cells. Run it with scripts/example.sh. Everything it writes goes under
the directory given as its argument (a temporary one by default)."""

import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

# optuna's progress-bar module takes an IPython in the process for a notebook and asks for its
# widgets; there is no notebook here.
warnings.filterwarnings("ignore", message="IProgress not found")

from IPython.core.interactiveshell import InteractiveShell  # noqa: E402

from trelvo_core.components.norvel import TrelvoComponentNorvel  # noqa: E402
from trelvo_core.misc.models import TrelvoComponentMetadataModel  # noqa: E402
from trelvo_core.misc.templates.genmora import Genmora  # noqa: E402
from trelvo_core.parameters_optimizer.optimizers import TrelvoHPOptimizer  # noqa: E402

# (id, name, code, parents): a small regression, with a slow step and a branch.
CELLS = [
    ("c1", "generate data", """
import numpy as np
rng = np.random.default_rng(7)
x = rng.uniform(0, 10, size=2000)
y = slope * x + 3.0 + rng.normal(0, noise, size=x.size)
print(f"generated {x.size} points")
""", []),
    ("c2", "fit", """
import time
import numpy as np
def fit_line(xs, ys, rounds=400):
    estimates = []
    for _ in range(rounds):  # a bootstrap: a second or so of real work
        pick = np.random.default_rng(len(estimates)).integers(0, xs.size, xs.size)
        estimates.append(np.polyfit(xs[pick], ys[pick], 1))
    return np.mean(estimates, axis=0), np.std(estimates, axis=0)
(fitted_slope, intercept), (slope_error, _) = fit_line(x, y)
print(f"slope {fitted_slope:.3f} +/- {slope_error:.3f}, intercept {intercept:.3f}")
""", ["c1"]),
    ("c3", "residuals", """
residuals = y - (fitted_slope * x + intercept)
loss = float(np.mean(residuals ** 2))
print(f"mean squared residual {loss:.3f}")
""", ["c1", "c2"]),
    ("c4", "summary table", """
rows = [("slope", fitted_slope), ("intercept", intercept), ("loss", loss)]
table = "\\n".join(f"| {name} | {value:.3f} |" for name, value in rows)
print("| quantity | value |\\n|---|---|\\n" + table)
""", ["c2", "c3"]),
]
PARAMETERS = {"slope": 2.5, "noise": 1.0}


def run_pipeline(shell, parameters, cache_dir=None, quiet=False):
    """Runs the cells in order; each gets its parents' module statements and outputs (the later
    parent wins). Returns the components."""
    components = {}
    for identifier, name, code, parent_ids in CELLS:
        metadata = TrelvoComponentMetadataModel(componentType="Norvel", diskcache=bool(cache_dir))
        component = TrelvoComponentNorvel(identifier, name, code.strip(), metadata=metadata,
                                          ipython_shell=shell)
        statements, inputs = {}, {}
        for parent_id in parent_ids:
            parent = components[parent_id]
            component.add_parent(parent_id, parent.name)
            statements.update(parent.module_statements or {})
            inputs.update(parent.non_module_outputs or {})
        start = time.perf_counter()
        component.execute(module_statements=statements, non_module_inputs=inputs,
                          parameters=parameters, send_to_front=False)
        if cache_dir:
            component.write_diskcache(str(Path(cache_dir) / identifier))
        if not quiet:
            printed = "".join(r.text for r in component.captured or [] if r.name == "stdout")
            print(f"  {name:<14} {component.status.name.lower():<10} "
                  f"{time.perf_counter() - start:5.2f} s   {printed.strip().splitlines()[0]}")
        if component.status.name != "SUCCESSFUL":
            sys.exit(f"cell {name!r} failed:\n" + "\n".join(component.exception_msg or []))
        components[identifier] = component
    for component in components.values():  # execute() pushed the outputs; the shell stays clean
        for variable in component.outputs or {}:
            shell.user_ns.pop(variable, None)
    return components


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="trelvo-example-"))
    out.mkdir(parents=True, exist_ok=True)
    shell = InteractiveShell.instance()

    print(f"1. Running {len(CELLS)} cells as a pipeline, parameters {PARAMETERS}:")
    components = run_pipeline(shell, PARAMETERS, cache_dir=out / "cache")
    models = [component.to_model() for component in components.values()]

    print("2. Restoring the last component from its model and its disk cache:")
    restored = TrelvoComponentNorvel.from_model(models[-1])
    print(f"  status {restored.status.name}, cache {restored.diskcache_status.name}, "
          f"outputs {sorted(restored.outputs)}")

    print("3. Exporting the pipeline as a script, and running it with its own python:")
    parameters = [{"name": name, "type": "float", "value": repr(value)}
                  for name, value in PARAMETERS.items()]
    script = out / "pipeline.py"
    script.write_text(Genmora().render(pipeline_name="regression", components=models,
                                       parameters=parameters))
    ran = subprocess.run([sys.executable, str(script), "--noise", "2.0"], capture_output=True,
                         text=True, check=True)
    print("  " + "\n  ".join(ran.stdout.strip().splitlines()[:2]) + "\n  ...")

    try:
        from trelvo_core.misc.templates.morvish import MorvishPipeline

        yaml_text = MorvishPipeline().compile_to_yaml(pipeline_name="regression",
                                                      components=models, parameters=parameters,
                                                      packages_to_install=["numpy"])
        (out / "pipeline.yaml").write_text(yaml_text)
        print(f"4. Kubeflow Pipelines YAML: {out / 'pipeline.yaml'} ({len(yaml_text)} bytes)")
    except ImportError:
        print("4. Kubeflow Pipelines YAML skipped: install the kfp extra")

    print("5. Searching the noise level that keeps the loss below 3, on a grid:")
    optimizer = TrelvoHPOptimizer("GridSearch", [1],
                                  parameters={"noise": {"low": 0.5, "high": 2.5, "interval": 0.5}})
    optimizer.create_study()

    def objective(trial):
        noise = trial.suggest_float("noise", 0.5, 2.0)
        loss = run_pipeline(shell, {**PARAMETERS, "noise": noise}, quiet=True)["c3"]
        value = loss.outputs["loss"]
        print(f"  trial {trial.number}: noise {noise:.1f} -> loss {value:.3f}")
        return noise if value < 3 else 0.0

    optimizer.optimize(objective, n_trials=4, target_names=["noise"])
    print(f"  best: {optimizer.best_params[0]} (largest noise with a loss below 3)")
    print(f"Everything written is under {out}")


if __name__ == "__main__":
    main()

"""Export cost. `MorvishPipeline().compile_to_yaml` of a 20-component pipeline against the same
pipeline module, as one would write it by hand, imported and compiled with the KFP SDK in the
same process (target: at most 1.3x), with the formatters' share of the difference; and
`Genmora().render` of the same components, per component."""

import importlib.util
import os
import statistics
import tempfile
import time

from kfp import compiler

from trelvo_core.common.utils import format_with_black, format_with_isort
from trelvo_core.misc.templates.genmora import Genmora
from trelvo_core.misc.templates.morvish import MorvishPipeline

COMPONENTS, ROUNDS = 20, 7
PARAMETERS = [{"name": "scale", "type": "float", "value": "2.0"}]


def components():
    """A chain with a side branch every third step; each step reads its parent's value."""
    made = [{"identifier": "c0", "name": "step 0", "code": "value = scale\nprint(value)",
             "parents": [], "inputs": [], "outputs": ["value"],
             "imports": ["math = __import__('importlib').import_module('math')"]}]
    for i in range(1, COMPONENTS):
        parent = made[i - 3 if i % 3 == 0 and i >= 3 else i - 1]
        made.append({"identifier": f"c{i}", "name": f"step {i}",
                     "code": f"value = math.sqrt(value + {i}) * scale\nprint(value)",
                     "parents": [{"id": parent["identifier"], "name": parent["name"]}],
                     "inputs": ["value"], "outputs": ["value"],
                     "imports": ["math = __import__('importlib').import_module('math')"]})
    return made


def by_hand(path, yaml_path):
    """Imports the pipeline module from its file and compiles it, as a hand-written one."""
    found = importlib.util.spec_from_file_location("handwritten_pipeline", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    compiler.Compiler().compile(pipeline_func=module.pipeline, package_path=yaml_path)
    with open(yaml_path, encoding="utf-8") as source:
        return source.read()


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    function(*args, **kwargs)
    return time.perf_counter() - start


def main():
    pipeline = components()
    template = MorvishPipeline()
    arguments = {"pipeline_name": "bench", "components": pipeline, "parameters": PARAMETERS}
    unformatted = template._template.render(**arguments)
    with tempfile.TemporaryDirectory() as directory:
        module_path = os.path.join(directory, "handwritten_pipeline.py")
        with open(module_path, "w", encoding="utf-8") as sink:
            sink.write(format_with_isort(code=format_with_black(code=unformatted)))
        yaml_path = os.path.join(directory, "pipeline.yaml")
        template.compile_to_yaml(**arguments), by_hand(module_path, yaml_path)
        ours, theirs, formatting = [], [], []
        for _ in range(ROUNDS):
            ours.append(timed(template.compile_to_yaml, **arguments))
            theirs.append(timed(by_hand, module_path, yaml_path))
            formatting.append(timed(lambda: format_with_isort(code=format_with_black(code=unformatted))))
    ratio = statistics.median(o / t for o, t in zip(ours, theirs))
    difference = statistics.median(o - t for o, t in zip(ours, theirs))
    print(f"compile_to_yaml, {COMPONENTS} components: {statistics.median(ours) * 1e3:.1f} ms")
    print(f"the same module compiled by hand:   {statistics.median(theirs) * 1e3:.1f} ms")
    without_formatters = statistics.median(
        (o - f) / t for o, f, t in zip(ours, formatting, theirs))
    print(f"export ratio: {ratio:.2f}x (target <= 1.3x); black and isort take "
          f"{statistics.median(formatting) * 1e3:.1f} ms of the {difference * 1e3:.1f} ms difference")
    print(f"export ratio without the formatters: {without_formatters:.2f}x")

    renders = [timed(Genmora().render, **arguments) for _ in range(ROUNDS)]
    print(f"Genmora().render: {statistics.median(renders) * 1e3:.1f} ms, "
          f"{statistics.median(renders) / COMPONENTS * 1e3:.2f} ms per component")


if __name__ == "__main__":
    main()

"""A small pipeline run for real as components, whose saved models the export tests render."""

import pytest
from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.components.norvel import TrelvoComponentNorvel

# A diamond: "Make data" defines a function that "Report" calls, two branches in between.
CELLS = [
    ("c1", "Make data", "import math\ndef scaled(v):\n    return v * scale\n"
                        "base = math.floor(scale * 10)\nprint('base', base)", []),
    ("c2", "left", "%precision 3\na = scaled(base) + 1", ["c1"]),
    ("c3", "right", "import numpy as np\nb = int(np.sum([base, base]))\nprint('b', b)", ["c1"]),
    ("c4", "Report", "total = scaled(a) + b + np.pi * 0\nprint(f'total {total:.2f} ({label})')",
     ["c2", "c3"]),
]
PARAMETERS = [{"name": "scale", "type": "float", "value": "1.5"},
              {"name": "label", "type": "str", "value": "first"}]


def run_as_components(cells, parameters):
    """Runs the cells the way the tool does and returns the saved models and what they printed.
    Each child gets its parents' module statements and outputs, the later parent winning."""
    shell = InteractiveShell.instance()
    values = {p["name"]: eval(p["value"]) if p["type"] != "str" else p["value"]
              for p in parameters}
    components, printed = {}, ""
    for identifier, name, code, parent_ids in cells:
        component = TrelvoComponentNorvel(identifier, name, code, ipython_shell=shell)
        statements, inputs = {}, {}
        for parent_id in parent_ids:
            parent = components[parent_id]
            component.add_parent(parent_id, parent.name)
            statements.update(parent.module_statements or {})
            inputs.update(parent.non_module_outputs)
        component.execute(module_statements=statements, non_module_inputs=inputs,
                          parameters=values, send_to_front=False)
        assert component.status.name == "SUCCESSFUL", component._exception_msg
        printed += "".join(r.text for r in component.captured
                           if r.type == "stream" and r.name == "stdout")
        components[identifier] = component
    for component in components.values():
        for name in component.outputs:
            shell.user_ns.pop(name, None)
    return [c.to_model() for c in components.values()], printed


@pytest.fixture(scope="module")
def pipeline_run():
    models, printed = run_as_components(CELLS, PARAMETERS)
    return list(reversed(models)), printed  # any order will do

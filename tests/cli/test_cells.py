"""Which names a cell reads and binds, and so which earlier cell it depends on."""

from trelvo_core.cli.cells import analyse_cell, cell_dependencies


def test_names_read_before_bound_in_evaluation_order():
    cell = analyse_cell(
        "%matplotlib inline\n"
        "!echo {path} $mode\n"
        "%time timed = slow(1)\n"
        "import os.path, numpy as np\n"
        "from math import *\n"
        "total = total + offset\n"         # read before it is bound here
        "count += 1\n"                     # an augmented target is read too
        "for i in range(n):\n    acc = [j * i for j in items]\n"
        "with open(name) as handle:\n    text = handle.read()\n"
        "def scale(v, factor=default):\n    local = v * factor * gain\n    return local\n"
        "class Model(Base):\n    size = width\n"
        "if (found := lookup(key)):\n    print(found, i)\n"
        "try:\n    pass\nexcept Missing as error:\n    print(error)\n")
    assert cell["reads"] == ["get_ipython", "path", "mode", "slow", "total", "offset", "count", "range", "n",
                             "items", "open", "name", "default", "gain", "Base", "width",
                             "lookup", "key", "print", "Missing"]
    assert set(cell["binds"]) == {"timed", "os", "np", "total", "count", "i", "acc", "handle", "text",
                                  "scale", "Model", "found", "error"}
    assert cell["globals_of"]["scale"] == ["default", "gain"]
    assert analyse_cell("def broken(:\n") == {"reads": [], "binds": [], "globals_of": {}}


def test_parents_are_the_nearest_holders_and_parameters_are_apart():
    codes = [
        "rate = 0.1",                               # 0 parameters
        "import numpy as np\ndata = np.ones(3)",    # 1
        "data = data * rate\nprint(len(data))",     # 2 hands data on, reads rate
        "def total():\n    return data.sum()",      # 3 reads data through its function
        "print(total(), np.pi)",                    # 4 needs data for total(), from 3
        "print('alone')",                           # 5
    ]
    deps = cell_dependencies(codes, ["rate"])
    assert [d["parents"] for d in deps] == [[], [], [1], [2], [1, 3], []]
    assert deps[4]["inputs"] == {"data": 3, "np": 1, "total": 3}  # 3 was given data
    assert deps[2]["parameters"] == ["rate"] and deps[4]["parameters"] == []

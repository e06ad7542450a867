"""What a cell does with names: what it reads before binding it, what it binds surely or maybe,
and when it binds or reads names its code does not spell out."""

from trelvo_core.cli.cells import analyse_cell


def test_names_read_before_bound_in_evaluation_order():
    cell = analyse_cell(
        "%matplotlib inline\n"
        "!echo {path} $mode\n"
        "%time timed = slow(1)\n"
        "import os.path, numpy as np\n"
        "total = total + offset\n"         # read before it is bound here
        "count += 1\n"                     # an augmented target is read too
        "for i in range(n):\n    acc = [j * i for j in items]\n"
        "with open(name) as handle:\n    text = handle.read()\n"
        "def scale(v, factor=default):\n    local = v * factor * gain\n    return local\n"
        "class Model(Base):\n    size = width\n"
        "if (found := lookup(key)):\n    print(found, i)\n"
        "try:\n    pass\nexcept Missing as error:\n    print(error)\n")
    # A loop, a branch or a handler may not bind: the value the name had goes on, so it is read.
    assert cell["reads"] == ["get_ipython", "path", "mode", "slow", "total", "offset", "count", "range", "n",
                             "i", "items", "acc", "open", "name", "default", "gain", "Base", "width",
                             "lookup", "key", "print", "Missing", "error"]
    assert set(cell["binds"]) == {"timed", "os", "np", "total", "count", "i", "acc", "handle", "text",
                                  "scale", "Model", "found", "error", "<ipython>"}  # %matplotlib sets the shell
    assert cell["maybe_binds"] == ["acc", "error", "i"] and cell["imports"] == ["np", "os"]
    assert cell["globals_of"]["scale"] == ["default", "gain"]
    assert not cell["binds_unseen"] and not cell["reads_unseen"]
    assert analyse_cell("def broken(:\n")["reads"] == []


def test_names_the_code_does_not_spell_out():
    star = analyse_cell("from math import *\n%pylab inline\nx = linspace(0, 1)")
    assert star["binds_unseen"] and not star["reads_unseen"] and star["binds"] == ["<ipython>", "x"]
    dynamic = analyse_cell("print('{a}'.format(**locals()), eval('b'))")
    assert dynamic["reads_unseen"] and dynamic["binds_unseen"]  # locals() can be written through
    assert analyse_cell("print(Out[3], _)")["reads_unseen"]  # the history of earlier cells
    assert analyse_cell("%run helper.py")["binds_unseen"]
    # Magics that bind a name they are given.
    assert analyse_cell("%%capture out\nprint(1)")["binds"] == ["out"]
    assert analyse_cell("%%bash --out listing --err problems\nls")["binds"] == ["listing", "problems"]
    # A function that assigns globals when called; "*" when it cannot be seen which.
    defines = analyse_cell("def reset():\n    global counter, cache\n    counter = 0\n    cache = {}\n"
                           "def load(name):\n    exec(open(name).read(), globals())")
    assert defines["sets_of"] == {"reset": ["cache", "counter"], "load": ["*"]}
    assert not defines["binds_unseen"]  # defining them binds nothing unseen; calling them does

"""Source helpers: cell normalisation, module statements, black and isort."""

import collections.abc
import importlib
import os
import os.path
import sys
import types
import xml.etree.ElementTree

import pytest
from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.common.utils import (
    convert_modules_to_statements,
    format_code,
    format_with_black,
    format_with_isort,
)


@pytest.mark.parametrize(
    "modules",
    [
        {"os": os},
        {"path": os.path, "ET": xml.etree.ElementTree, "abc": collections.abc},
        {"np": importlib.import_module("numpy")},
    ],
)
def test_each_statement_evaluates_to_the_same_module(modules):
    statements = convert_modules_to_statements(modules)
    assert list(statements) == list(modules)
    for name, statement in statements.items():
        assert eval(statement, {}) is modules[name]


def test_statements_run_as_the_engine_runs_them():
    statements = convert_modules_to_statements({"ET": xml.etree.ElementTree, "p": os.path})
    namespace = {}
    exec("\n".join(f"{name} = {statement}" for name, statement in statements.items()), namespace)
    assert namespace["ET"] is xml.etree.ElementTree and namespace["p"] is os.path


def test_a_module_registered_under_its_spec_name():
    module = types.ModuleType("alias_name")
    module.__spec__ = importlib.util.spec_from_loader("trelvo_registered_test", loader=None)
    sys.modules["trelvo_registered_test"] = module
    try:
        assert eval(convert_modules_to_statements({"m": module})["m"]) is module
    finally:
        del sys.modules["trelvo_registered_test"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: convert_modules_to_statements([os]),
         "Argument 'modules' has incorrect type (expected dict, got list)"),
        (lambda: convert_modules_to_statements({"x": 1}), "Expected module, got int"),
        (lambda: format_code(None), "Argument 'code' has incorrect type (expected str, got NoneType)"),
        (lambda: format_with_black(code=1), "Argument 'code' has incorrect type (expected str, got int)"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_format_code_keeps_ipython_syntax_runnable():
    shell = InteractiveShell.instance()
    code = format_code("\n    x = 6 * 7\n    %alias_magic tmp_time time\n    !true\n    y = x?\n\n")
    assert code == "x = 6 * 7\n%alias_magic tmp_time time\n!true\ny = x?"
    namespace_before = dict(shell.user_ns)
    try:
        assert shell.run_cell(code, store_history=False).success
        assert shell.user_ns["x"] == 42
    finally:
        shell.user_ns.clear()
        shell.user_ns.update(namespace_before)


def test_black_and_isort_take_code_by_keyword():
    assert format_with_black(code="x=[1,2]\n") == "x = [1, 2]\n"
    assert format_with_isort(code="import sys\nimport os\n") == "import os\nimport sys\n"
    with pytest.raises(Exception, match="(?i)cannot parse"):
        format_with_black(code="def (:\n")

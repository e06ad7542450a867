"""The execution engine on a plain IPython shell: clean namespaces, outputs, summaries,
failures, and the namespace and streams given back on every return path."""

import re
import sys
from http import HTTPStatus

import numpy as np
import pytest
from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.executors.component_executor import dastrin, execute_in_shell
from trelvo_core.misc.models import TrelvoExecutionRequestModel

ANSI = re.compile(r"\x1B(?:[@-Z\\-_]|\[[0-?]*[ -/]*[@-~])")


@pytest.fixture
def shell():
    shell = InteractiveShell.instance()
    shell.user_ns["caller_variable"] = caller = object()
    yield shell
    assert shell.user_ns.pop("caller_variable") is caller


def run(shell, cell_code, **fields):
    return execute_in_shell(shell, TrelvoExecutionRequestModel(cell_code=cell_code, **fields),
                            send_to_front=False)


def unvalidated_request(**fields):
    model = TrelvoExecutionRequestModel
    return (getattr(model, "model_construct", None) or model.construct)(**fields)


def snapshot(shell):
    return {name: id(value) for name, value in shell.user_ns.items()}


def test_shell_init_locals():
    assert dastrin.SHELL_INIT_LOCALS == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__builtin__",
        "__builtins__", "__annotations__", "_ih", "_oh", "_dh", "In", "Out", "get_ipython",
        "exit", "quit", "open"]


def test_a_run_sees_only_its_inputs_and_leaves_the_namespace_as_it_was(shell):
    before = snapshot(shell)
    response = run(shell, "seen = sorted(k for k in globals() if not k.startswith('_'))\nseen",
                   non_module_inputs={"a": 1}, parameters={"p": 2}, credentials={"c": 3})
    assert response.status is HTTPStatus.OK and response.message is None
    assert response.result.last_output == ["In", "Out", "a", "c", "exit", "get_ipython", "open",
                                           "p", "quit"]
    assert list(snapshot(shell).items()) == list(before.items())  # in its order too


def test_what_the_run_leaves_behind_is_finalised_in_the_callers_namespace(shell):
    # _1 is a history name, not an output: the restore is where it dies.
    run(shell, "class Probe:\n"
               "    def __del__(self):\n"
               "        import builtins\n"
               "        builtins.trelvo_probe = 'caller_variable' in globals()\n"
               "_1 = Probe()")
    import builtins
    assert builtins.__dict__.pop("trelvo_probe") is True


def test_outputs_and_summary(shell):
    code = "\n".join([
        "import json",
        "import xml.etree.ElementTree as ET",
        "class Model: pass",
        "def train(): return 1",
        "_private = 1",
        "_ = __ = 2",
        "_i3 = _12 = 3",
        "p = 'changed'",
        "same = same",
        "grown = grown + [1]",
        "arr = arr",
        "print('done')",
    ])
    response = run(shell, code, module_statements={"json": "__import__('json')"},
                   non_module_inputs={"same": 5, "grown": [0], "arr": np.arange(3)},
                   parameters={"p": "given"}, credentials={"token": "t"})
    result = response.result
    assert set(result.non_module_outputs) == {"Model", "train", "_private", "same", "grown", "arr"}
    assert result.module_statements == {
        "json": "__import__('importlib').import_module('json')",
        "ET": "__import__('importlib').import_module('xml.etree.ElementTree')"}
    summary = result.outputs_summary
    assert (summary.classes, summary.functions, summary.modules) == (["Model"], ["train"], ["ET"])
    assert summary.objects == ["grown", "_private"]  # in namespace order
    assert [(r.name, r.text) for r in result.captured] == [("stdout", "done"), ("stdout", "\n")]


def test_module_statements_of_dotted_and_plain_symbols(shell):
    response = run(shell, "(json.dumps(1), os.path.sep)",
                   module_statements={"json": "__import__('json')", "os.path": "import os.path"})
    assert response.result.last_output == ("1", "/")


@pytest.mark.parametrize(
    "fields, code",
    [
        ({"module_statements": {"x": "undefined_name"}}, "1"),
        ({}, "raise ValueError('boom')"),
        ({}, "def broken(:"),
    ],
)
def test_failures_are_responses_with_the_traceback(shell, fields, code):
    before = snapshot(shell)
    response = run(shell, code, **fields)
    assert response.status is HTTPStatus.INTERNAL_SERVER_ERROR
    stb = response.result.exception_msg
    assert isinstance(stb, list) and all(isinstance(line, str) for line in stb)
    assert any("\x1b[" in line for line in stb)
    assert response.message == shell.InteractiveTB.stb2text(stb)
    assert response.result.non_module_outputs is None
    assert snapshot(shell) == before


def test_syntax_errors_use_the_syntax_traceback(shell):
    stb = run(shell, "def broken(:").result.exception_msg
    assert "SyntaxError" in ANSI.sub("", "".join(stb))
    assert "Traceback (most recent call last)" not in ANSI.sub("", "".join(stb))


def test_verbose_failures_are_logged_as_plain_text(shell, capfd):
    execute_in_shell(shell, TrelvoExecutionRequestModel(cell_code="1/0"), send_to_front=False,
                     verbose=True, metadata={"component_name": "divider"})
    err = capfd.readouterr().err
    assert "[TrelvoComponentName=divider] ZeroDivisionError: division by zero" in err
    assert "\x1b[" not in err


def test_machinery_failures_propagate_after_restoring_the_shell(shell, monkeypatch):
    original_write = sys.stdout.write
    before = snapshot(shell)

    def failing_format(code):
        raise RuntimeError("formatter broke")

    monkeypatch.setattr(dastrin, "format_code", failing_format)
    with pytest.raises(RuntimeError, match="formatter broke"):
        run(shell, "x = 1", non_module_inputs={"i": 1})
    assert snapshot(shell) == before
    assert sys.stdout.write == original_write and "write" not in vars(sys.stdout)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: execute_in_shell(s, TrelvoExecutionRequestModel(cell_code="1"), metadata=[]),
         TypeError, "Argument 'metadata' has incorrect type (expected dict, got list)"),
        (lambda s: execute_in_shell(s, unvalidated_request(cell_code="1", module_statements=["x"])),
         TypeError, "Expected dict, got list"),
        (lambda s: dastrin._run_cell(s, None), TypeError,
         "Argument 'cell_code' has incorrect type (expected str, got NoneType)"),
        (lambda s: execute_in_shell(s), TypeError,
         "execute_in_shell() takes at least 2 positional arguments (1 given)"),
    ],
)
def test_bad_arguments(shell, call, error, message):
    before = snapshot(shell)
    with pytest.raises(error) as raised:
        call(shell)
    assert str(raised.value) == message
    assert snapshot(shell) == before


def test_run_cell_reports_and_clears_on_failure(shell):
    saved = dict(shell.user_ns)
    shell.user_ns["leftover"] = 1
    ok, result, traceback = dastrin._run_cell(ipython_shell=shell, cell_code="leftover + 1")
    assert (ok, result, traceback) == (True, 2, None)
    ok, result, traceback = dastrin._run_cell(ipython_shell=shell, cell_code="missing")
    assert (ok, result) == (False, None) and "NameError" in ANSI.sub("", "".join(traceback))
    assert "leftover" not in shell.user_ns and "caller_variable" not in shell.user_ns
    shell.user_ns.update(saved)


def test_responses_are_the_models_own_in_every_part_of_their_state(shell):
    """The run's models are made without validating the engine's values again: they must be
    what validation would have made."""
    from trelvo_core.misc.models import (TrelvoCacheModel, TrelvoComponentOutputsSummaryModel,
                                         TrelvoExecutionResponseModel)

    def state(model):
        fields_set = (model.model_fields_set if hasattr(model, "model_fields_set")
                      else model.__fields_set__)
        return type(model), dict(model.__dict__), set(fields_set)

    ok = run(shell, "print('hi')\nx = 1\nx")
    result = ok.result
    assert state(ok) == state(TrelvoExecutionResponseModel(
        status=HTTPStatus.OK, result=result, message=None))
    assert state(result) == state(TrelvoCacheModel(
        module_statements={}, non_module_outputs={"x": 1}, last_output=1,
        captured=result.captured, outputs_summary=TrelvoComponentOutputsSummaryModel(objects=["x"])))
    failed = run(shell, "print('half')\n1 / 0")
    assert state(failed)[2] == {"status", "result", "message"}
    assert state(failed.result) == state(TrelvoCacheModel(
        exception_msg=failed.result.exception_msg, captured=failed.result.captured))
    summary = TrelvoComponentOutputsSummaryModel()  # made empty and filled, as the run does
    summary.objects.append("x")
    assert state(result.outputs_summary) == state(summary)
    # Each response owns its state, down to the summary's lists.
    later = run(shell, "y = 2").result
    assert later.non_module_outputs == {"y": 2} and later.outputs_summary.objects == ["y"]
    assert result.non_module_outputs == {"x": 1} and result.outputs_summary.objects == ["x"]


def test_each_run_captures_with_what_is_in_place_when_it_starts(shell, capfd):
    import io

    def failing(name):
        return execute_in_shell(shell, TrelvoExecutionRequestModel(cell_code="1 / 0"),
                                send_to_front=False, verbose=True, metadata={"component_name": name})

    failing("first"), failing("second")
    err = capfd.readouterr().err
    assert "[TrelvoComponentName=first] ZeroDivisionError" in err
    assert "[TrelvoComponentName=second] ZeroDivisionError" in err

    written = []
    sys.stderr.write = written.append  # patched between two runs: the next run leaves it
    try:
        response = run(shell, "import sys\nprint('to err', file=sys.stderr)")
        assert sys.stderr.write == written.append and written == []
        assert [r.text for r in response.result.captured] == ["to err", "\n"]
    finally:
        del sys.stderr.write

    original, sys.stdout = sys.stdout, io.StringIO()  # replaced between two runs
    try:
        replaced = sys.stdout
        response = run(shell, "print('out')")
        assert sys.stdout is replaced and "write" not in vars(replaced) and replaced.getvalue() == ""
        assert [r.text for r in response.result.captured] == ["out", "\n"]
    finally:
        sys.stdout = original

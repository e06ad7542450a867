"""Running a component: locally on a plain shell, in a real kernel, and on a real celery
worker; error formatting and display."""

import sys
import textwrap

import pytest

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.executors.remote_executor import executor as executor_module
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc.models import TrelvoComponentMetadataModel, TrelvoComponentRemoteConfigModel

RED, RESET = "\x1b[0;31m", "\x1b[0m"


def test_execute_without_arguments(make_component, shell):
    component = make_component("y = 5\ny")
    assert component.execute(send_to_front=False) == 5
    assert component.status is Status.SUCCESSFUL
    assert component._import_statements == [] and component._non_module_inputs_names == []
    assert shell.user_ns.pop("y") == 5  # outputs are pushed into the shell


class TrelvoComponentQuoted(TrelvoComponentNorvel):
    @property
    def last_output(self):
        return f"quoted {super().last_output}"


def test_a_run_reads_the_properties_in_place(shell, monkeypatch):
    # A subclass's property, and one replaced on the class, are what the run reads.
    component = TrelvoComponentQuoted("q1", "quoted", "y = 5\ny", ipython_shell=shell)
    assert component.execute(send_to_front=False) == "quoted 5"
    assert shell.user_ns.pop("y") == 5
    monkeypatch.setattr(TrelvoComponentNorvel, "outputs", property(lambda self: {"w": 7}))
    assert component.execute(send_to_front=False) == "quoted 5"
    assert shell.user_ns.pop("w") == 7 and "y" not in shell.user_ns


def test_execute_with_inputs_and_statements(make_component, shell):
    component = make_component("z = np.sqrt(v) + len(os.path.sep)")
    value = component.execute(
        module_statements={"np": "__import__('numpy')", "os.path": "import os.path"},
        non_module_inputs={"v": 16.0}, parameters={"p": 1}, send_to_front=False)
    assert value is None and component.outputs["z"] == 5.0
    assert component._import_statements == ["np = __import__('numpy')", "import os.path"]
    assert component._non_module_inputs_names == ["v"]
    assert "p" not in component.outputs
    for name in ("z", "v", "np", "os"):
        shell.user_ns.pop(name, None)


def test_a_failing_cell_shows_its_error_once_and_pushes_nothing(make_component, shell, capsys):
    component = make_component("not_defined_anywhere + 1")
    assert component.execute() is None
    assert component.status is Status.FAILED
    err = capsys.readouterr().err
    assert err.count("is not defined") == 1
    assert "not_defined_anywhere" not in shell.user_ns


def test_outside_a_kernel_the_last_output_is_not_shown(make_component, capsys, shell):
    component = make_component("w = 3\nw * 2")
    assert component.execute(send_to_front=True) == 6
    shell.user_ns.pop("w")
    component.show_last_output()
    assert capsys.readouterr().out.endswith("6")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"module_statements": []}, "Argument 'module_statements' has incorrect type (expected dict, got list)"),
        ({"parameters": "p"}, "Argument 'parameters' has incorrect type (expected dict, got str)"),
    ],
)
def test_execute_arguments(make_component, kwargs, message):
    with pytest.raises(TypeError) as raised:
        make_component().execute(**kwargs)
    assert str(raised.value) == message


def test_handle_error_builds_the_four_lines(make_component):
    component = make_component()
    try:
        raise ValueError("bad")
    except ValueError as error:
        component.handle_error(error)
    assert component.status is Status.FAILED
    first, second, third, fourth = component.exception_msg
    assert first == RED + "-" * 75 + RESET
    assert second == RED + "ValueError" + RESET + " " * 32 + "Traceback (most recent call last)"
    assert third.startswith(RESET + '  File "') and third.endswith(RESET)
    assert 'raise ValueError("bad")' in third
    assert fourth == RED + "TrelvoPipelineError" + RESET + ": bad"


def test_handle_error_names_the_interrupted_component(make_component):
    component = make_component(name="load")
    try:
        raise KeyboardInterrupt
    except KeyboardInterrupt as interrupt:
        component.handle_error(interrupt)
    assert component.exception_msg[3].endswith(": Interrupted at component 'load'")
    assert component.exception_msg[1].startswith(RED + "KeyboardInterrupt" + RESET)


def test_handle_error_outside_an_except_block_records_the_given_error(make_component):
    component = make_component()
    component.handle_error(RuntimeError("x"))
    assert component.status is Status.FAILED
    assert component.exception_msg[-1] == f"{RED}TrelvoPipelineError{RESET}: x"


def test_show_methods_with_nothing_to_show(make_component, capsys):
    component = make_component()
    component.show_last_output()
    component.show_captured()
    component.show_exception_msg()
    assert capsys.readouterr() == ("", "")


KERNEL_CELL = textwrap.dedent('''
    from trelvo_core.components.norvel import TrelvoComponentNorvel
    component = TrelvoComponentNorvel("k1", "in kernel", "print('working')\\nresult = 6 * 7\\nresult")
    value = component.execute()
''')


def test_execute_in_a_real_kernel(kernel, run_in_kernel):
    run = run_in_kernel(kernel, KERNEL_CELL)
    assert run.reply["status"] == "ok", run.reply
    inputs = run.of_type("execute_input")
    assert any(c.get("metadata") == {"component_id": "k1"} and "result = 6 * 7" in c["code"]
               for c in inputs)
    displays = [c for c in run.of_type("display_data")
                if c["data"].get("application/vnd.jupyter.stdout") == "working\n"]
    assert displays and displays[0]["metadata"]["component_id"] == "k1"
    results = [c for c in run.of_type("execute_result") if c["metadata"] == {"component_id": "k1"}]
    assert results[0]["data"] == {"text/plain": "42"}
    check = run_in_kernel(kernel, "print(result, value, component.status.name)")
    assert check.stdout == "42 42 SUCCESSFUL\n"


EDGE_CELL = textwrap.dedent('''
    import time
    from trelvo_core.components.norvel import TrelvoComponentNorvel
    class Shown:
        def _ipython_display_(self):
            from IPython.display import HTML, display
            display(HTML("<b>shown</b>"))
    shown = TrelvoComponentNorvel("k2", "shows itself", "Shown()")
    shown.execute(non_module_inputs={"Shown": Shown})
    odd = TrelvoComponentNorvel("k3", "odd file name", "print('a \\\\ud800 b')")
    odd.execute()
    time.sleep(0.3)  # past the forwarding delay: the timer's thread has sent what it holds
    print(odd.status.name, [record.text for record in odd.captured])
''')


def test_a_self_displaying_result_and_an_unsendable_text_in_a_real_kernel(kernel, run_in_kernel):
    run = run_in_kernel(kernel, EDGE_CELL)
    assert run.reply["status"] == "ok", run.reply
    shown = [c for c in run.of_type("display_data") if c["data"].get("text/html") == "<b>shown</b>"]
    assert [c["metadata"] for c in shown] == [{"component_id": "k2", "component_name": "shows itself"}]
    # The record keeps what was printed; nothing else (a thread's traceback) got into it.
    assert run.stdout.endswith("SUCCESSFUL ['a \\ud800 b', '\\n']\n")
    forwarded = [c["data"].get("application/vnd.jupyter.stdout") for c in run.of_type("display_data")]
    assert "a \ufffd b\n" in forwarded


def remote_component(shell, url, code):
    metadata = TrelvoComponentMetadataModel(
        componentType="Norvel",
        remoteExecution=TrelvoComponentRemoteConfigModel(backend=url, broker=url))
    return TrelvoComponentNorvel("r1", "remote", code, metadata=metadata, ipython_shell=shell)


def test_a_remote_run_on_the_worker(celery_worker, shell, capsys):
    component = remote_component(shell, celery_worker, "import json\nprint('remote hello')\nn = 7\nn")
    assert component.execute() == 7
    assert component.status is Status.SUCCESSFUL
    assert capsys.readouterr().out.startswith("remote hello")
    assert shell.user_ns.pop("n") == 7 and shell.user_ns.pop("json").__name__ == "json"


def test_a_remote_failure_shows_the_workers_traceback_once(celery_worker, shell, capsys):
    component = remote_component(shell, celery_worker, "raise LookupError('far away')")
    assert component.execute() is None
    assert component.status is Status.FAILED
    err = capsys.readouterr().err
    assert err.count(": far away") == 1 and "LookupError" in err


def test_an_unreachable_worker_fails_the_component_with_the_reason(redis_url, shell, monkeypatch):
    monkeypatch.setattr(executor_module, "PING_TIMEOUT", 1)
    silent = redis_url.rsplit("/", 1)[0] + "/7"  # a database no worker listens on
    component = remote_component(shell, silent, "x = 1")
    assert component.execute() is None
    assert component.status is Status.FAILED
    assert component.exception_msg[1].startswith(RED + "RuntimeError" + RESET)
    assert component.exception_msg[3] == (
        RED + "TrelvoPipelineError" + RESET + ": An error occurred creating "
        "TrelvoRemoteComponentExecutor: No worker answered within 1 seconds on the broker "
        + silent + ".")

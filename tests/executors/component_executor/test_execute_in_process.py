"""execute_in_process in real worker processes: IOPub reaches the parent's SUB socket, the
response comes back pickled without what cannot be pickled."""

import multiprocessing
import pickle
from http import HTTPStatus

import cloudpickle
import pytest

from trelvo_core.executors.component_executor import execute_in_process
from trelvo_core.misc.models import TrelvoExecutionRequestModel

WARNING = (
    "Warning: Trelvo pipeline does not support non-serializable objects by policy in order to "
    "pass objects from a parent component to a child component. Objects {names} in component "
    '"{component}" cannot be serialized. so these are only available in the component in which '
    "they have been declared. If necessary, please redefine the objects in the child components\n")


@pytest.fixture(scope="module")
def pool():
    # spawn: the worker starts clean and receives the function by reference.
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        yield pool


def request(code, **fields):
    return cloudpickle.dumps(TrelvoExecutionRequestModel(cell_code=code, **fields))


def test_the_function_pickles_by_reference():
    assert pickle.loads(pickle.dumps(execute_in_process)) is execute_in_process


def test_display_output_reaches_the_parent_and_results_come_back(pool, iopub_subscriber):
    metadata = {"component_id": "c1", "component_name": "producer"}
    pending = pool.apply_async(execute_in_process, (
        iopub_subscriber.port, request("import time; time.sleep(1)\nprint('from the worker')\nvalue = 6 * 7\nvalue"),
        True, False, metadata))
    messages = iopub_subscriber.messages(
        lambda got: any(c.get("data", {}).get("application/vnd.jupyter.stdout") == "from the worker\n"
                        for t, c in got if t == "display_data"), timeout_ms=60000)
    displayed = [c for t, c in messages if t == "display_data"]
    assert displayed[-1]["metadata"] == metadata
    response = cloudpickle.loads(pending.get(timeout=120))
    assert response.status is HTTPStatus.OK
    assert response.result.non_module_outputs == {"value": 42}
    assert response.result.last_output == 42


def test_unpicklable_results_are_dropped_with_the_warning(pool, iopub_subscriber):
    code = "import threading\nlock = threading.Lock()\nkept = 'yes'\nlock"
    response = cloudpickle.loads(pool.apply(execute_in_process, (
        iopub_subscriber.port, request(code), False, False, {"component_name": "locker"})))
    assert response.status is HTTPStatus.PARTIAL_CONTENT
    assert response.message == WARNING.format(names="['lock']", component="locker")
    assert response.result.last_output is None
    assert response.result.non_module_outputs == {"kept": "yes"}
    assert response.result.module_statements == {
        "threading": "__import__('importlib').import_module('threading')"}
    last = response.result.captured[-1]
    assert (last.type, last.name, last.text) == ("stream", "stderr", response.message)


def test_an_unpicklable_last_output_alone_gives_the_short_warning(pool, iopub_subscriber):
    response = cloudpickle.loads(pool.apply(execute_in_process, (
        iopub_subscriber.port, request("(i for i in range(3))"))))
    assert (response.status, response.message) == (HTTPStatus.PARTIAL_CONTENT, "Warning")
    assert response.result.last_output is None


def test_without_a_component_name_the_quotes_stand_together(pool, iopub_subscriber):
    response = cloudpickle.loads(pool.apply(execute_in_process, (
        float(iopub_subscriber.port), request("import threading\nlock = threading.Lock()"))))
    assert ' in component "" cannot' in response.message


def test_failed_runs_come_back_unchanged(pool, iopub_subscriber):
    response = cloudpickle.loads(pool.apply(execute_in_process, (
        iopub_subscriber.port, request("raise KeyError('k')"))))
    assert response.status is HTTPStatus.INTERNAL_SERVER_ERROR
    assert "KeyError" in response.message


def test_port_zero_binds_its_own_iopub(python):
    output = python(
        """
        import sys, cloudpickle
        from trelvo_core.executors.component_executor import execute_in_process
        from trelvo_core.ipython import TrelvoIPKernelApp
        from trelvo_core.misc.models import TrelvoExecutionRequestModel
        data = cloudpickle.dumps(TrelvoExecutionRequestModel(cell_code="1 + 1"))
        response = cloudpickle.loads(execute_in_process(-5, data, False))
        app = TrelvoIPKernelApp.instance()
        sys.__stdout__.write(f"{response.result.last_output} {app.iopub_port > 0}")
        """
    )
    assert output.endswith("2 True")


@pytest.mark.parametrize(
    "args, message",
    [
        (("port", b""), "Argument 'iopub_port' has incorrect type (expected int, got str)"),
        ((1, "text"), "Argument 'request' has incorrect type (expected bytes, got str)"),
    ],
)
def test_bad_arguments(args, message):
    with pytest.raises(TypeError) as raised:
        execute_in_process(*args)
    assert str(raised.value) == message

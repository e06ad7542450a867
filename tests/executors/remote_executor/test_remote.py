"""Remote execution on a real redis-server and a real celery worker started by the tests."""

import inspect
from http import HTTPStatus

import cloudpickle
import pytest

from trelvo_core.executors import TrelvoRemoteComponentExecutor
from trelvo_core.executors.remote_executor import executor as executor_module
from trelvo_core.executors.remote_executor.tasks import (
    TrelvoRemoteComponentExecuteTask,
    TrelvoRemotePingTask,
)
from trelvo_core.misc.models import TrelvoExecutionRequestModel


def test_task_classes():
    import celery

    assert issubclass(TrelvoRemotePingTask, celery.Task)
    assert TrelvoRemotePingTask.__doc__ == "Remote ping task."
    assert TrelvoRemoteComponentExecuteTask.__doc__ == "Remote execution task."
    ping = TrelvoRemotePingTask()
    assert ping.run() == (True, "Connection succesful.") and ping.run() is ping.run()
    assert str(inspect.signature(TrelvoRemoteComponentExecuteTask.run)) == (
        "(self, request: 'bytes', send_to_front: 'bool' = True, verbose: 'bool' = False, "
        "metadata: 'Optional[Dict[str, str]]' = None) -> 'bytes'")


def test_the_execute_task_turns_machinery_errors_into_responses(python):
    # In a process of its own: the task starts a kernel application, as in a worker.
    output = python(
        """
        import sys, cloudpickle
        from trelvo_core.executors.remote_executor.tasks import TrelvoRemoteComponentExecuteTask
        response = cloudpickle.loads(TrelvoRemoteComponentExecuteTask().run(b"not a pickle"))
        ok = response.result.exception_msg == response.message.split("\\n")
        sys.__stdout__.write(repr((response.status.value, ok, response.message)))
        """
    )
    status, consistent, message = eval(output)
    assert (status, consistent) == (HTTPStatus.INTERNAL_SERVER_ERROR, True)
    assert message.startswith("Traceback (most recent call last):")
    assert "in execute_in_process" in message and "UnpicklingError" in message


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "n"), "Argument 'identifier' has incorrect type (expected str, got int)"),
        (("i", "n", None), "Argument 'backend' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_executor_arguments(args, message):
    with pytest.raises(TypeError) as raised:
        TrelvoRemoteComponentExecutor(*args)
    assert str(raised.value) == message


def test_defaults_are_a_local_redis():
    executor = TrelvoRemoteComponentExecutor("i", "n")
    assert executor._backend == executor._broker == "redis://localhost:6379"
    assert list(vars(executor)) == ["_id", "_name", "_backend", "_broker"]


def test_ping_and_execute_on_the_worker(celery_worker):
    executor = TrelvoRemoteComponentExecutor("c1", "remote", backend=celery_worker,
                                             broker=celery_worker)
    assert executor.ping() == (True, "Connection succesful.")
    request = cloudpickle.dumps(TrelvoExecutionRequestModel(
        cell_code="print('on the worker')\nanswer = base * 2\nanswer",
        non_module_inputs={"base": 21}))
    response = cloudpickle.loads(executor.execute(request=request, metadata={"component_name": "r"}))
    assert response.status is HTTPStatus.OK
    assert response.result.non_module_outputs == {"base": 21, "answer": 42}
    assert [r.text for r in response.result.captured][:1] == ["on the worker"]


def test_a_request_the_worker_cannot_unpickle(celery_worker):
    executor = TrelvoRemoteComponentExecutor("c1", "remote", backend=celery_worker,
                                             broker=celery_worker)
    response = cloudpickle.loads(executor.execute(b"garbage"))
    assert response.status is HTTPStatus.INTERNAL_SERVER_ERROR
    assert response.message.startswith("Traceback (most recent call last):")


def test_a_ping_nobody_answers_is_bounded(redis_url, monkeypatch):
    monkeypatch.setattr(executor_module, "PING_TIMEOUT", 1)
    silent = redis_url.rsplit("/", 1)[0] + "/5"  # a database no worker listens on
    executor = TrelvoRemoteComponentExecutor("c1", "n", backend=silent, broker=silent)
    assert executor.ping() == (
        False, f"No worker answered within 1 seconds on the broker {silent}.")


def test_an_unreachable_broker_raises():
    import redis

    closed = "redis://127.0.0.1:1/0"
    executor = TrelvoRemoteComponentExecutor("c1", "n", backend=closed, broker=closed)
    with pytest.raises(Exception) as raised:
        executor.ping()
    causes, error = [], raised.value
    while error is not None:
        causes.append(error)
        error = error.__cause__ or error.__context__
    assert any(isinstance(cause, (redis.ConnectionError, ConnectionError)) for cause in causes)


def start_worker(url):
    """A celery worker of this test, in a session of its own so that it can be killed whole."""
    import subprocess
    import sys
    import tempfile
    import time

    code = (
        "from trelvo_core.executors import TrelvoRemoteComponentExecutor\n"
        f"TrelvoRemoteComponentExecutor('w', 'w', backend={url!r}, broker={url!r})"
        ".run_executor(loglevel='WARNING')\n")
    worker = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tempfile.gettempdir(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    client = TrelvoRemoteComponentExecutor("t", "t", backend=url, broker=url)
    deadline = time.monotonic() + 60
    while not client.ping()[0]:
        assert time.monotonic() < deadline and worker.poll() is None, "no worker"
    return worker


@pytest.mark.timeout(180)
def test_a_run_on_a_worker_that_dies_fails_instead_of_hanging(redis_url, make_remote, monkeypatch):
    import os
    import signal
    import threading
    import time

    url = redis_url.rsplit("/", 1)[0] + "/5"  # a database of its own: no other worker there
    monkeypatch.setattr(executor_module, "WORKER_CHECK_INTERVAL", 1)
    worker = start_worker(url)
    component = make_remote("import time\ntime.sleep(120)", url)
    threading.Timer(3, lambda: os.killpg(worker.pid, signal.SIGKILL)).start()
    start = time.monotonic()
    try:
        assert component.execute(send_to_front=False) is None
    finally:
        worker.wait(30)
    assert time.monotonic() - start < 60
    assert component.status.name == "FAILED"
    assert f"on the broker {url}" in component.exception_msg[-1]


@pytest.mark.timeout(120)
def test_a_long_run_on_a_live_worker_is_waited_for(celery_worker, make_remote, monkeypatch,
                                                   tmp_path):
    monkeypatch.setattr(executor_module, "WORKER_CHECK_INTERVAL", 1)
    component = make_remote("import time\ntime.sleep(5)\nslept = True", celery_worker)
    component.execute(send_to_front=False)
    assert component.status.name == "SUCCESSFUL", component.exception_msg
    assert component.outputs["slept"] is True
    # Asking whether the workers live leaves no read pending on a connection that forked
    # disk-cache writers inherit and wait on when they close it: the first takes the answer,
    # the next would wait for ever.
    for _ in range(2):
        writer = component.write_diskcache(str(tmp_path), async_true=True)
        writer.join(30)
        hung = writer.is_alive()
        if hung:
            writer.kill()
        assert not hung and writer.exitcode == 0


@pytest.fixture
def make_remote():
    from IPython.core.interactiveshell import InteractiveShell

    from trelvo_core.components.norvel import TrelvoComponentNorvel
    from trelvo_core.misc.models import (
        TrelvoComponentMetadataModel,
        TrelvoComponentRemoteConfigModel,
    )

    def make(code, url):
        remote = TrelvoComponentRemoteConfigModel(backend=url, broker=url)
        metadata = TrelvoComponentMetadataModel(componentType="Norvel", remoteExecution=remote,
                                                diskcache=True)
        return TrelvoComponentNorvel("r1", "remote", code, metadata=metadata,
                                     ipython_shell=InteractiveShell.instance())

    return make

"""Asynchronous runs through real multiprocessing pools, with the display router forwarding
the workers' output, in a plain process, in a real kernel and on a celery worker."""

import multiprocessing
import textwrap
import time

import pytest

from trelvo_core.ipython.brascom import TrelvoBrascom
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc.models import TrelvoComponentMetadataModel, TrelvoComponentRemoteConfigModel


@pytest.fixture
def router():
    made = TrelvoBrascom()
    made.start()
    yield made
    made.close()


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_runs_in_pool_workers_with_their_output_forwarded(method, make_component, router, capsys):
    first = make_component("import time\ntime.sleep(0.5)\nprint('from the first')\nv = 6 * 7\nv",
                           identifier="a1")
    failing = make_component("print('from the second')\nraise ValueError('bad')", identifier="b1")
    with multiprocessing.get_context(method).Pool(1) as pool:
        pending = first.execute_async(pool, iopub_port=router.iosub_port)
        assert first.status is Status.RUNNING
        seen = []
        deadline = time.monotonic() + 60
        while "from the first" not in "".join(seen):  # forwarded while the run is in flight
            assert time.monotonic() < deadline, seen
            seen.append(capsys.readouterr().out)
            time.sleep(0.02)
        pending.wait(60)
        failing.execute_async(pool, iopub_port=float(router.iosub_port)).wait(60)  # same worker
    assert first.status is Status.SUCCESSFUL and first.last_output == 42
    assert first.non_module_outputs == {"v": 42}
    assert failing.status is Status.FAILED and "bad" in failing.exception_msg[-1]


def test_nothing_is_shown_or_pushed_by_the_callback(make_component, shell, router, capsys):
    component = make_component("quiet = 1\nquiet")
    with multiprocessing.get_context("fork").Pool(1) as pool:
        component.execute_async(pool, iopub_port=router.iosub_port, send_to_front=False).wait(60)
    assert component.last_output == 1 and "quiet" not in shell.user_ns
    assert capsys.readouterr().out == ""


def test_a_worker_exception_fails_the_component_with_its_message(make_component):
    def explode():
        raise RuntimeError("cannot be loaded here")

    class Bomb:
        def __reduce__(self):
            return (explode, ())

    component = make_component()
    with multiprocessing.get_context("fork").Pool(1) as pool:
        pending = component.execute_async(pool, parameters={"bomb": Bomb()})
        pending.wait(60)
    assert not pending.successful()
    assert component.status is Status.FAILED
    assert component.exception_msg[-1].endswith("cannot be loaded here")


def test_a_failed_rerun_shows_its_own_error(make_component):
    def explode():
        raise RuntimeError("the second failure")

    class Bomb:
        def __reduce__(self):
            return (explode, ())

    component = make_component("raise ValueError('the first failure')")
    with multiprocessing.get_context("fork").Pool(1) as pool:
        component.execute_async(pool, send_to_front=False).wait(60)
        assert "the first failure" in component.exception_msg[-1]
        component.execute_async(pool, parameters={"bomb": Bomb()}, send_to_front=False).wait(60)
    assert component.status is Status.FAILED
    assert "the second failure" in component.exception_msg[-1]
    assert "the first failure" not in "".join(component.exception_msg)


def test_a_result_this_process_cannot_load_fails_only_its_component(make_component, tmp_path):
    (tmp_path / "workeronly.py").write_text("class Thing:\n    pass\n")
    strange = make_component(f"import sys\nsys.path.insert(0, {str(tmp_path)!r})\n"
                             "import workeronly\nthing = workeronly.Thing()", identifier="s1")
    after = make_component("z = 1", identifier="s2")
    with multiprocessing.get_context("fork").Pool(1) as pool:
        strange.execute_async(pool, send_to_front=False).wait(60)
        after.execute_async(pool, send_to_front=False).wait(60)  # the pool still delivers
    assert strange.status is Status.FAILED and "workeronly" in strange.exception_msg[-1]
    assert after.status is Status.SUCCESSFUL and after.non_module_outputs == {"z": 1}


def test_an_input_that_cannot_be_sent_fails_the_run_before_anything_is_sent(make_component):
    component = make_component("total = sum(numbers)")
    pool = RecordingPool()
    with pytest.raises(TypeError, match="'numbers' \\(generator\\)"):
        component.execute_async(pool, non_module_inputs={"numbers": (i for i in range(3))})
    assert pool.calls == [] and component.status is Status.FAILED
    assert "'numbers' (generator)" in component.exception_msg[-1]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"iopub_port": "5555"}, "Argument 'iopub_port' has incorrect type (expected int, got str)"),
        ({"non_module_inputs": []},
         "Argument 'non_module_inputs' has incorrect type (expected dict, got list)"),
    ],
)
def test_arguments(make_component, kwargs, message):
    component = make_component()
    with pytest.raises(TypeError) as raised:
        component.execute_async(None, **kwargs)
    assert str(raised.value) == message
    assert component.status is Status.INVALID


def test_the_callback_needs_bytes(make_component):
    with pytest.raises(TypeError, match=r"Argument 'response' has incorrect type"):
        make_component()._execute_async_result("text")


class RecordingPool:
    def __init__(self):
        self.calls = []

    def apply_async(self, **kwargs):
        self.calls.append(kwargs)
        return "handle"


def test_what_is_submitted_for_a_local_run(make_component):
    from trelvo_core.executors.component_executor import execute_in_process

    import cloudpickle

    component = make_component()
    pool = RecordingPool()
    assert component.execute_async(pool) == "handle"
    (call,) = pool.calls
    assert call["func"] is execute_in_process
    port, request, send_to_front, verbose, metadata = call["args"]
    assert (port, send_to_front, verbose) == (0, True, False)
    assert metadata == {"component_id": "c1", "component_name": "comp"}
    request = cloudpickle.loads(request)
    assert (request.module_statements, request.non_module_inputs, request.parameters) == ({}, {}, None)
    assert call["callback"] == component._execute_async_result
    assert call["error_callback"] == component.handle_error


KERNEL_CELL = textwrap.dedent('''
    import multiprocessing
    from trelvo_core.components.norvel import TrelvoComponentNorvel
    from trelvo_core.ipython.brascom import TrelvoBrascom
    router = TrelvoBrascom(ipython_shell=get_ipython())
    router.start()
    component = TrelvoComponentNorvel("k2", "async", "print('forwarded from the worker')\\nw = 5")
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        component.execute_async(pool, iopub_port=router.iosub_port).wait(120)
    import time; time.sleep(0.5)
    router.close()
    print(component.status.name)
''')


@pytest.mark.timeout(240)
def test_in_a_real_kernel_the_front_end_sees_the_workers_output(kernel, run_in_kernel):
    run = run_in_kernel(kernel, KERNEL_CELL, timeout=200)
    assert run.reply["status"] == "ok", run.reply
    forwarded = [c for c in run.of_type("display_data")
                 if c["data"].get("application/vnd.jupyter.stdout") == "forwarded from the worker\n"]
    assert forwarded and forwarded[0]["metadata"]["component_id"] == "k2"
    assert run.stdout.strip().endswith("SUCCESSFUL")


def remote_component(make_component, url, code):
    component = make_component(code)
    component.remote_config = TrelvoComponentRemoteConfigModel(backend=url, broker=url)
    return component


def test_a_remote_component_runs_through_the_pool(celery_worker, make_component):
    component = remote_component(make_component, celery_worker, "r = 'remote'\nr")
    with multiprocessing.get_context("fork").Pool(1) as pool:
        component.execute_async(pool).wait(120)
    assert component.status is Status.SUCCESSFUL and component.last_output == "remote"


def test_an_unreachable_worker_fails_before_the_pool(redis_url, make_component, monkeypatch):
    from trelvo_core.executors.remote_executor import executor as executor_module

    monkeypatch.setattr(executor_module, "PING_TIMEOUT", 1)
    component = remote_component(make_component, redis_url.rsplit("/", 1)[0] + "/9", "x = 1")
    pool = RecordingPool()
    with pytest.raises(RuntimeError, match="^An error occurred creating "
                                           "TrelvoRemoteComponentExecutor: No worker answered"):
        component.execute_async(pool)
    assert component.status is Status.FAILED and pool.calls == []

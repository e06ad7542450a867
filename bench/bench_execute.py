"""Running a component. Local: execute() of a trivial cell against execute_in_shell of the
same request (target: at most 1.2x). Remote: execute() of a trivial cell on a local celery worker
against a trivial celery task round trip (the ping task) on the same broker and worker. Starts
its own redis-server and worker on loopback and stops them."""

import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.executors import TrelvoRemoteComponentExecutor
from trelvo_core.executors.component_executor import execute_in_shell
from trelvo_core.executors.remote_executor.tasks import TrelvoRemotePingTask
from trelvo_core.misc.models import (
    TrelvoComponentMetadataModel,
    TrelvoComponentRemoteConfigModel,
    TrelvoExecutionRequestModel,
)


def median_time(function, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def local(shell):
    component = TrelvoComponentNorvel("b1", "bench", "x = 1", ipython_shell=shell)
    request = TrelvoExecutionRequestModel(cell_code="x = 1", module_statements={},
                                          non_module_inputs={})
    metadata = {"component_id": "b1", "component_name": "bench"}

    def ours():
        component.execute(send_to_front=False)

    def engine():
        execute_in_shell(shell, request, send_to_front=False, metadata=metadata)

    ours(), engine()
    ratios = [median_time(ours, 100) / median_time(engine, 100) for _ in range(7)]
    print(f"local execute ratio: {statistics.median(ratios):.2f}x (target <= 1.2x)")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def remote(shell):
    port = free_port()
    directory = tempfile.mkdtemp(prefix="trelvo-bench-redis-")
    redis = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                              "--save", "", "--appendonly", "no", "--dir", directory],
                             stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    code = ("from trelvo_core.executors import TrelvoRemoteComponentExecutor as E\n"
            f"raise SystemExit(E('w', 'w', backend={url!r}, broker={url!r})"
            ".run_executor(loglevel='WARNING'))")
    time.sleep(0.3)
    worker = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tempfile.gettempdir(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client = TrelvoRemoteComponentExecutor("b2", "bench", backend=url, broker=url)
        while not client.ping()[0]:
            time.sleep(0.2)
        metadata = TrelvoComponentMetadataModel(
            componentType="Norvel",
            remoteExecution=TrelvoComponentRemoteConfigModel(backend=url, broker=url))
        component = TrelvoComponentNorvel("b2", "bench", "x = 1", metadata=metadata,
                                          ipython_shell=shell)
        app = client_app(url)
        ping_task = app.register_task(TrelvoRemotePingTask)

        def ours():
            component.execute(send_to_front=False)

        def round_trip():
            ping_task.delay().get(timeout=30)

        ours(), round_trip()
        ours_time, trip_time = median_time(ours, 30), median_time(round_trip, 30)
        print(f"remote execute(): {ours_time * 1e3:.1f} ms, celery round trip: "
              f"{trip_time * 1e3:.1f} ms")
        print(f"remote execute ratio: {ours_time / trip_time:.1f}x (report only)")
        ping_time = median_time(client.ping, 10)
        print(f"  of which the ping (a fresh application each time): {ping_time * 1e3:.1f} ms")
    finally:
        worker.terminate()
        worker.wait(30)
        redis.terminate()
        redis.wait()
        shutil.rmtree(directory, ignore_errors=True)


def client_app(url):
    from celery import Celery

    app = Celery(main="bench", backend=url, broker=url)
    app.conf.result_serializer = app.conf.task_serializer = "pickle"
    app.conf.accept_content = ["application/json", "application/x-python-serialize"]
    return app


def main():
    shell = InteractiveShell.instance()
    local(shell)
    remote(shell)


if __name__ == "__main__":
    main()

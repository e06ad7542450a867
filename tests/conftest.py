"""Fixtures shared by the test suite: subprocess runs, IOPub subscribers and real kernels."""

import json
import subprocess
import sys
import tempfile
import textwrap

import pytest
import zmq


def run_python(code, cwd=None, timeout=60, while_running=None):
    """Runs code in a fresh interpreter of this environment and returns its stdout, or fails
    the test with its stderr. while_running() is called while the interpreter runs (a SUB
    socket only subscribes to a new publisher while its own thread uses it)."""
    # -P and a neutral directory: the installed package is imported, never the source tree.
    process = subprocess.Popen(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        cwd=cwd or tempfile.gettempdir(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        result = while_running() if while_running else None
        stdout, stderr = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    if process.returncode != 0:
        pytest.fail(f"subprocess failed ({process.returncode}):\n{stderr}")
    return (stdout, result) if while_running else stdout


@pytest.fixture
def python():
    return run_python


class IOPubSubscriber:
    """A SUB socket bound on loopback, as the display router binds one."""

    def __init__(self):
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.SUB)
        self.socket.setsockopt(zmq.SUBSCRIBE, b"")
        self.socket.linger = 0
        self.port = self.socket.bind_to_random_port("tcp://127.0.0.1")

    def messages(self, until, timeout_ms=20000):
        """Collects (msg_type, content) pairs until `until(collected)` is true."""
        collected = []
        poller = zmq.Poller()
        poller.register(self.socket, zmq.POLLIN)
        while not until(collected):
            if not poller.poll(timeout_ms):
                raise AssertionError(f"no IOPub message in time; got {collected}")
            frames = self.socket.recv_multipart()
            delimiter = frames.index(b"<IDS|MSG>")
            header = json.loads(frames[delimiter + 2])
            content = json.loads(frames[delimiter + 5])
            collected.append((header["msg_type"], content))
        return collected

    def stream_text(self, until_text, name="stdout"):
        """The text of the stream messages received until until_text is among it."""

        def text(collected):
            return "".join(c["text"] for t, c in collected if t == "stream" and c["name"] == name)

        return text(self.messages(lambda collected: until_text in text(collected)))

    def close(self):
        self.socket.close()
        self.context.term()


@pytest.fixture
def iopub_subscribers():
    """Makes subscribers; all are closed at the end of the test."""
    made = []

    def make():
        made.append(IOPubSubscriber())
        return made[-1]

    yield make
    for subscriber in made:
        subscriber.close()


@pytest.fixture
def iopub_subscriber(iopub_subscribers):
    return iopub_subscribers()


class KernelRun:
    """What one executed cell produced: its reply and its IOPub messages, in order."""

    def __init__(self, reply, messages, result):
        self.reply = reply
        self.messages = messages  # (msg_type, content) pairs
        self.result = result

    @property
    def stdout(self):
        return "".join(c["text"] for t, c in self.messages if t == "stream" and c["name"] == "stdout")

    def of_type(self, msg_type):
        return [c for t, c in self.messages if t == msg_type]


def run_in_kernel(client, code, while_running=None, timeout=120):
    """Executes code in a kernel; while_running() is called while the cell runs."""
    msg_id = client.execute(code)
    result = while_running() if while_running else None
    reply = client.get_shell_msg(timeout=timeout)
    assert reply["parent_header"]["msg_id"] == msg_id
    messages = []
    while True:
        message = client.get_iopub_msg(timeout=timeout)
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        if message["msg_type"] == "status":
            if message["content"]["execution_state"] == "idle":
                break
            continue
        messages.append((message["msg_type"], message["content"]))
    return KernelRun(reply["content"], messages, result)


@pytest.fixture(name="run_in_kernel")
def run_in_kernel_fixture():
    return run_in_kernel


@pytest.fixture(name="run_in_kernel_module", scope="module")
def run_in_kernel_module_fixture():
    return run_in_kernel


def started_kernel():
    """A real IPython kernel started through jupyter_client, with a blocking client."""
    from jupyter_client.manager import start_new_kernel

    manager, client = start_new_kernel(startup_timeout=60, cwd=tempfile.gettempdir())
    yield client
    client.stop_channels()
    manager.shutdown_kernel(now=True)


@pytest.fixture
def kernel():
    yield from started_kernel()


@pytest.fixture(scope="module")
def kernel_module():
    """One kernel shared by the tests of a module."""
    yield from started_kernel()


def free_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="session")
def redis_url():
    """A redis-server of this test run on a free loopback port, without persistence files."""
    import shutil
    import time

    import redis

    port = free_port()
    directory = tempfile.mkdtemp(prefix="trelvo-redis-")
    server = subprocess.Popen(
        [shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1", "--save", "",
         "--appendonly", "no", "--dir", directory],
        stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    client = redis.Redis.from_url(url)
    deadline = time.monotonic() + 20
    while True:
        try:
            client.ping()
            break
        except redis.ConnectionError:
            if time.monotonic() > deadline:
                server.kill()
                raise
            time.sleep(0.05)
    client.close()
    yield url
    # Celery's results live in reference cycles; they unsubscribe when collected, so collect
    # them while the server still answers.
    import gc

    gc.collect()
    server.terminate()
    server.wait(20)
    shutil.rmtree(directory, ignore_errors=True)


def start_worker(command, url, cwd):
    """A celery worker process started with command, once a worker answers a ping on url."""
    import time

    from trelvo_core.executors import TrelvoRemoteComponentExecutor

    worker = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = TrelvoRemoteComponentExecutor("test", "test", backend=url, broker=url)
    deadline = time.monotonic() + 60
    while not client.ping()[0]:
        if time.monotonic() > deadline or worker.poll() is not None:
            worker.kill()
            raise RuntimeError(f"the celery worker of {command[3:5]} did not answer")
    return worker


@pytest.fixture(scope="session")
def worker_starter():
    """start_worker, for the conftest modules of sub-directories."""
    return start_worker


@pytest.fixture(scope="session")
def celery_worker(redis_url):
    """A real celery worker serving the two remote tasks, started with run_executor."""
    code = (
        "from trelvo_core.executors import TrelvoRemoteComponentExecutor\n"
        f"executor = TrelvoRemoteComponentExecutor('worker', 'worker', backend={redis_url!r}, "
        f"broker={redis_url!r})\n"
        "raise SystemExit(executor.run_executor(loglevel='WARNING'))\n")
    worker = start_worker([sys.executable, "-P", "-c", code], redis_url, tempfile.gettempdir())
    yield redis_url
    worker.terminate()
    worker.wait(30)


@pytest.fixture
def run_kfp_locally():
    """run(text, root, **arguments): the report step's outputs of compiled YAML under the KFP
    SDK's local runner."""
    import glob

    import cloudpickle

    def run(text, root, **arguments):
        import kfp.components
        import kfp.local

        kfp.local.init(runner=kfp.local.SubprocessRunner(use_venv=False), pipeline_root=str(root))
        kfp.components.load_component_from_text(text)(**arguments)
        (results,) = glob.glob(str(root / "*" / "report" / "results"))
        with open(results, "rb") as source:
            return cloudpickle.load(source)

    return run


class RecordingServer:
    """A threading HTTP server on a free loopback port that records every request (method,
    path, headers, cookies, body bytes). It answers `status`, after `delay` seconds."""

    def __init__(self):
        import http.server
        import threading

        self.requests = []
        self.status = 200
        self.delay = 0.0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                import time

                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                cookies = dict(piece.split("=", 1) for piece in
                               self.headers.get("Cookie", "").split("; ") if piece)
                server.requests.append({"method": "POST", "path": self.path,
                                        "headers": dict(self.headers), "cookies": cookies,
                                        "body": body})
                time.sleep(server.delay)
                self.send_response(server.status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def reports(self):
        """The JSON bodies of the requests, in order."""
        return [json.loads(request["body"]) for request in self.requests]

    def procedures(self):
        return [report["procedure"] for report in self.reports()]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def http_server():
    server = RecordingServer()
    yield server
    server.close()

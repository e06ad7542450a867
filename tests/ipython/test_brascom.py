"""TrelvoBrascom: receiving display messages on its loopback port and replaying them."""

import json
import threading
import time

import pytest
import zmq

from trelvo_core.ipython.brascom import TrelvoBrascom

STDOUT, STDERR = "application/vnd.jupyter.stdout", "application/vnd.jupyter.stderr"


class Publisher:
    """A PUB socket connected to the router, sending kernel-shaped multipart messages."""

    def __init__(self, port):
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.PUB)
        self.socket.linger = 0
        self.socket.connect(f"tcp://127.0.0.1:{port}")
        time.sleep(0.3)  # let the router's subscription arrive

    def send(self, topic, content_text):
        frames = [topic, b"<IDS|MSG>", b"sig", b"{}", b"{}", b"{}", content_text]
        self.socket.send_multipart([f if isinstance(f, bytes) else f.encode() for f in frames])

    def close(self):
        self.socket.close()
        self.context.term()


@pytest.fixture
def router():
    made = TrelvoBrascom()
    made.start()
    publisher = Publisher(made.iosub_port)
    yield made, publisher
    publisher.close()
    made.close()


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time")
        time.sleep(0.02)


def test_interface():
    assert issubclass(TrelvoBrascom, threading.Thread)
    assert TrelvoBrascom.__doc__ == ("A router that forwards display_data passed to the IOSub "
                                     "socket to the display_pub in InteractiveShell.")
    made = TrelvoBrascom()
    try:
        assert isinstance(made.iosub_port, int) and made.iosub_port > 0
        assert made.stopped() is False
        made.stop()
        assert made.stopped() is True
    finally:
        made.close()


def test_text_goes_to_the_standard_streams_and_the_rest_is_dropped(router, capsys):
    made, publisher = router
    publisher.send("stream", json.dumps({"name": "stdout", "text": "dropped"}))
    publisher.send("display_data", json.dumps({"data": {"text/html": "<b>no</b>"}}))
    publisher.send("display_data", json.dumps({"data": {STDOUT: "to out"}, "metadata": {"ok": True},
                                               "transient": {}}))
    publisher.send("display_data", repr({"data": {STDERR: "to err"}, "metadata": None}))
    out, err = [], []

    def both_arrived():
        captured = capsys.readouterr()
        out.append(captured.out)
        err.append(captured.err)
        return "to err" in "".join(err)

    wait_for(both_arrived)
    assert "".join(out) == "to out" and "".join(err) == "to err"


def test_boolean_json_content_is_understood(router, capsys):
    made, publisher = router
    collected = []
    publisher.send("display_data", json.dumps({"data": {STDOUT: "json ok"},
                                               "metadata": {"flag": False, "none": None}}))
    wait_for(lambda: collected.append(capsys.readouterr().out) or "json ok" in "".join(collected))
    assert made.is_alive()


def test_text_that_is_no_literal_ends_the_thread(router, monkeypatch):
    made, publisher = router
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_type))
    publisher.socket.send_multipart([b"display_data"])
    wait_for(lambda: not made.is_alive())
    assert errors == [ValueError]


def test_close_ends_a_blocked_router_promptly_and_twice_is_harmless():
    made = TrelvoBrascom()
    made.start()
    time.sleep(0.1)
    start = time.monotonic()
    made.close()
    made.join(5)
    assert not made.is_alive() and time.monotonic() - start < 2
    made.close()
    assert made.stopped()


def test_a_running_router_does_not_keep_the_interpreter_alive(python):
    output = python(
        """
        from trelvo_core.ipython.brascom import TrelvoBrascom
        router = TrelvoBrascom()
        router.start()
        print("started")
        """,
        timeout=30,
    )
    assert output == "started\n"

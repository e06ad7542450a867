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

    def send(self, topic, content_text, msg_type=None):
        header = json.dumps({"msg_type": msg_type}) if msg_type else "{}"
        frames = [topic, b"<IDS|MSG>", b"sig", header, b"{}", b"{}", content_text]
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


def test_unreadable_messages_are_dropped_with_one_log_line_each(router, capsys, caplog,
                                                                monkeypatch):
    import logging

    from trelvo_core.ipython import brascom

    # Libraries configured earlier in the run may have disabled or silenced existing loggers.
    monkeypatch.setattr(brascom.logger, "disabled", False)
    caplog.set_level(logging.WARNING, logger=brascom.logger.name)
    made, publisher = router
    publisher.socket.send_multipart([b"display_data"])             # one frame
    publisher.socket.send_multipart([b"\xff\xfe", b"{}"])           # a topic that is not UTF-8
    publisher.send("display_data", "[1, 2]")                        # content that is no object
    publisher.send("display_data", json.dumps({"metadata": {}}))    # a display without data
    publisher.send("display_data", json.dumps({"wait": False}), msg_type="clear_output")
    publisher.send("display_data", json.dumps({"data": {STDOUT: "still here"}}))
    collected = []
    wait_for(lambda: collected.append(capsys.readouterr().out) or "still here" in "".join(collected))
    assert made.is_alive() and "".join(collected) == "still here"
    drops = [r.getMessage() for r in caplog.records if "dropped" in r.getMessage()]
    assert len(drops) == 4, drops


def test_dropped_and_closed_routers_are_freed(python):
    output = python(
        """
        import gc, os, weakref
        from trelvo_core.ipython.brascom import TrelvoBrascom

        def descriptors():
            return len(os.listdir("/proc/self/fd"))

        before, refs = descriptors(), []
        for i in range(300):
            router = TrelvoBrascom()
            if i % 2:
                router.start()
                router.close()
                router.join(5)
            refs.append(weakref.ref(router))
            del router
        gc.collect()
        print(sum(ref() is not None for ref in refs), descriptors() - before)
        """,
        timeout=120,
    )
    alive, descriptors = map(int, output.split())
    assert alive == 0 and descriptors <= 2


KERNEL_CELL = """
import time, zmq
from jupyter_client.session import Session
from trelvo_core.ipython.brascom import TrelvoBrascom

router = TrelvoBrascom(ipython_shell=get_ipython())
router.start()
context = zmq.Context()
worker = context.socket(zmq.PUB)
worker.connect(f"tcp://127.0.0.1:{router.iosub_port}")
time.sleep(0.3)
session = Session()  # what a worker kernel's display publisher sends, framed the same way
for msg_type, content in [
    ("display_data", {"data": {"text/plain": "first"}, "metadata": {}, "transient": {"display_id": "d1"}}),
    ("update_display_data", {"data": {"text/plain": "second"}, "metadata": {}, "transient": {"display_id": "d1"}}),
    ("clear_output", {"wait": False}),
    ("display_data", {"data": {"text/plain": "after"}, "metadata": {}, "transient": {}}),
]:
    session.send(worker, msg_type, content, ident=b"display_data")
time.sleep(1)
router.close()
worker.close()
context.term()
"""


@pytest.mark.timeout(120)
def test_in_a_kernel_updates_and_clear_requests_are_applied(kernel, run_in_kernel):
    run = run_in_kernel(kernel, KERNEL_CELL)
    assert run.reply["status"] == "ok", run.reply
    shown = [(t, c.get("data", {}).get("text/plain"), c.get("transient", {}).get("display_id"))
             for t, c in run.messages if t in ("display_data", "update_display_data", "clear_output")]
    assert shown == [("display_data", "first", "d1"), ("update_display_data", "second", "d1"),
                     ("clear_output", None, None), ("display_data", "after", None)]


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

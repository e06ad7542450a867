"""What the front end receives, in a real kernel: a component printing 2,000 lines with
send_to_front on, against the same cell run plainly, both timed as a client sees them (from the
request to the kernel's idle status; target: at most 5x). Also counts the IOPub messages each
sends (report only)."""

import statistics
import tempfile
import time

from jupyter_client.manager import start_new_kernel

CELL = "for i in range(2000):\n    print('line', i)"
SETUP = ("from trelvo_core.components.norvel import TrelvoComponentNorvel\n"
         f"component = TrelvoComponentNorvel('c', 'printer', {CELL!r})")


def timed(client, code):
    """Seconds from the request to idle, and the number of IOPub messages of the request."""
    start = time.perf_counter()
    msg_id = client.execute(code)
    count = 0
    while True:
        message = client.get_iopub_msg(timeout=120)
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        if message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
            return time.perf_counter() - start, count
        count += message["msg_type"] != "status"


def main():
    manager, client = start_new_kernel(startup_timeout=60, cwd=tempfile.gettempdir())
    try:
        client.wait_for_ready(timeout=60)
        timed(client, SETUP)
        plain, component = [], []
        for _ in range(5):
            plain.append(timed(client, CELL))
            component.append(timed(client, "component.execute()"))
        plain_s = statistics.median(t for t, _ in plain)
        component_s = statistics.median(t for t, _ in component)
        print(f"2,000 printed lines: component {component_s * 1e3:.0f} ms "
              f"({component[-1][1]} messages), plain cell {plain_s * 1e3:.0f} ms "
              f"({plain[-1][1]} messages)")
        print(f"component with the front end on vs plain cell ratio: {component_s / plain_s:.2f}x "
              "(target <= 5x)")
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


if __name__ == "__main__":
    main()

"""Capture and replay in a real kernel: what the front end receives on IOPub."""

import textwrap

import pytest

STDOUT, STDERR = "application/vnd.jupyter.stdout", "application/vnd.jupyter.stderr"
METADATA = {"component_id": "c1", "component_name": "n1"}

CELL = '''
import sys
from IPython.display import clear_output, display
from IPython.core.display_functions import publish_display_data
print("before clear")
clear_output(wait=True)
print("to stdout")
sys.stderr.write("to stderr\\n")
display({"text/plain": "rich"}, raw=True, metadata={"own": True})
publish_display_data({"text/plain": "no metadata"})
'''

DRIVER = textwrap.dedent('''
    def drive():
        from trelvo_core.capture import TrelvoSelkin
        from trelvo_core.executors.component_executor import execute_in_shell
        from trelvo_core.misc.models import TrelvoExecutionRequestModel
        shell = get_ipython()
        publisher_before = set(vars(shell.display_pub))
        names_before = {{name: id(value) for name, value in shell.user_ns.items()}}
        response = execute_in_shell(shell, TrelvoExecutionRequestModel(cell_code=CELL),
                                    send_to_front=True, metadata={metadata!r})
        restored = (set(vars(shell.display_pub)) == publisher_before and
                    {{name: id(value) for name, value in shell.user_ns.items()}} == names_before)
        print("--- replay", response.status.value, restored)
        TrelvoSelkin(captured=response.result.captured, ipython_shell=shell).show(component_id="c1")
    drive()
''')


def display_texts(contents, mime):
    return [c["data"][mime] for c in contents if mime in c["data"]]


@pytest.fixture(scope="module")
def run(kernel_module, run_in_kernel_module):
    return run_in_kernel_module(kernel_module, f"CELL = {CELL!r}\n" + DRIVER.format(metadata=METADATA))


def split_at_replay(run):
    for index, (msg_type, content) in enumerate(run.messages):
        if msg_type == "stream" and "--- replay" in content["text"]:
            return run.messages[:index], run.messages[index + 1:]
    raise AssertionError(f"no replay marker in {run.messages}")


def test_the_run_succeeds_and_restores_the_shell(run):
    assert run.reply["status"] == "ok", run.reply
    assert "--- replay 200 True" in run.stdout


def test_writes_are_forwarded_as_display_data_in_order_with_the_metadata(run):
    # Consecutive writes to one stream go out as one display, before the next other output.
    during, _ = split_at_replay(run)
    displays = [c for t, c in during if t == "display_data"]
    assert display_texts(displays, STDOUT) == ["before clear\n", "to stdout\n"]
    kinds = [(t, list(c.get("data", {"": 0}))[0]) for t, c in during
             if t in ("display_data", "clear_output")]
    assert kinds == [("display_data", STDOUT), ("clear_output", ""), ("display_data", STDOUT),
                     ("display_data", STDERR), ("display_data", "text/plain"),
                     ("display_data", "text/plain")]
    assert display_texts(displays, STDERR) == ["to stderr\n"]
    for content in displays:
        assert METADATA.items() <= content["metadata"].items()
    streams = "".join(c["text"] for t, c in during if t == "stream")
    assert "before clear\n" in streams and "to stdout\n" in streams and "to stderr\n" in streams


def test_displays_and_clears_are_forwarded(run):
    during, _ = split_at_replay(run)
    assert [c for t, c in during if t == "clear_output"] == [{"wait": True}]
    rich = [c for t, c in during if t == "display_data" and "text/plain" in c["data"]]
    assert [c["data"]["text/plain"] for c in rich] == ["rich", "no metadata"]
    assert rich[0]["metadata"] == {"own": True, **METADATA}
    assert rich[1]["metadata"] == METADATA  # published with metadata None


def test_replay_republishes_what_follows_the_clear_tagged_with_the_component(run):
    _, replay = split_at_replay(run)
    displays = [c for t, c in replay if t == "display_data"]
    assert [list(c["data"].items())[0][1] for c in displays] == [
        "to stdout", "\n", "to stderr\n", "rich", "no metadata"]
    assert displays[0]["metadata"] == {"component_id": "c1"}
    assert displays[2]["data"] == {STDERR: "to stderr\n"}
    assert displays[3]["metadata"] == {"own": True, **METADATA, "component_id": "c1"}
    assert not [t for t, c in replay if t == "stream"]


def test_without_send_to_front_nothing_reaches_the_front_end(kernel_module, run_in_kernel_module):
    code = textwrap.dedent('''
        from trelvo_core.capture import TrelvoPellory
        captured = []
        pellory = TrelvoPellory(metadata={"component_name": "quiet"}, ipython_shell=get_ipython())
        pellory.wrap_methods(captured, send_to_front=False, verbose=False)
        print("hidden")
        display("hidden display")
        pellory.unwrap_methods()
        print([record.type for record in captured])
    ''')
    run = run_in_kernel_module(kernel_module, code)
    assert run.reply["status"] == "ok", run.reply
    assert run.stdout == "['stream', 'stream', 'display_data']\n"
    assert not run.of_type("display_data")

"""What the front end receives from a component run in a real kernel: each result once, with its
metadata as metadata; nothing but the announcement when send_to_front is off; a failure's output
kept and its error shown once; a trailing semicolon read from the component's own code."""

import pytest

SETUP = """
from trelvo_core.components.norvel import TrelvoComponentNorvel
def run(code, front=True, name="c"):
    component = TrelvoComponentNorvel(name, name, code)
    component.execute(send_to_front=front)
    return component
"""


@pytest.fixture(scope="module")
def in_kernel(kernel_module, run_in_kernel_module):
    run_in_kernel_module(kernel_module, SETUP)
    return lambda code: run_in_kernel_module(kernel_module, code)


def kinds(run):
    return [t for t, _ in run.messages if t not in ("execute_input",)]


def test_the_last_output_is_shown_once_with_its_metadata_and_not_kept(in_kernel):
    run = in_kernel("c = run('from IPython.display import Image\\n"
                    "Image(data=b\"abc\", format=\"png\", width=50)')")
    (result,) = run.of_type("execute_result")
    assert set(result["data"]) == {"image/png", "text/plain"}
    assert result["metadata"]["image/png"] == {"width": 50} and result["metadata"]["component_id"] == "c"
    check = in_kernel("print(len([v for v in Out.values() if type(v).__name__ == 'Image']))")
    assert check.stdout == "0\n"


def test_off_means_off_and_a_failure_keeps_its_output_and_shows_its_error_once(in_kernel):
    quiet = in_kernel("c = run('print(1)\\n41 + 1', front=False)\nc = run('1/0', front=False)")
    assert kinds(quiet) == []
    failed = in_kernel("c = run('print(\"before\")\\n1/0')")
    assert [m for m in kinds(failed) if m in ("error", "execute_result")] == []
    errors = [c for t, c in failed.messages if t == "display_data"
              and "ZeroDivisionError" in c["data"].get("application/vnd.jupyter.stderr", "")]
    assert len(errors) == 1
    kept = in_kernel("print([r.text for r in c.captured], c.to_model().captured[0].name)")
    assert kept.stdout == "['before', '\\n'] stderr\n"


def test_a_semicolon_is_read_from_the_component_and_a_self_display_shows_once(in_kernel):
    own = in_kernel("c = run('x = 41\\nx + 1;')\nprint(c.last_output)")
    assert own.of_type("execute_result") == [] and own.stdout == "None\n"
    caller = in_kernel("c = run('6 * 7');")
    assert [r["data"]["text/plain"] for r in caller.of_type("execute_result")] == ["42"]
    shown = in_kernel("c = run('from IPython.display import HTML, display\\n"
                      "class Shown:\\n    def _ipython_display_(self):\\n"
                      "        display(HTML(\"<p>shown</p>\"))\\nShown()')")
    htmls = [c for t, c in shown.messages if t == "display_data" and "text/html" in c["data"]]
    assert len(htmls) == 1 and shown.of_type("execute_result") == []


def test_printed_text_reaches_the_front_end_once_in_order_with_the_metadata(in_kernel):
    run = in_kernel("c = run('import sys\\nfor i in range(500):\\n    print(i)\\n"
                    "print(\"oops\", file=sys.stderr)\\nprint(\"last\")')")
    copies = [(list(c["data"])[0][-6:], list(c["data"].values())[0], c["metadata"])
              for t, c in run.messages if t == "display_data"]
    assert [(stream, text) for stream, text, _ in copies] == [
        ("stdout", "".join(f"{i}\n" for i in range(500))), ("stderr", "oops\n"),
        ("stdout", "last\n")]
    assert all(m == {"component_id": "c", "component_name": "c"} for _, _, m in copies)

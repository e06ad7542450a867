"""TrelvoIPKernelApp: an embedded kernel whose IOPub binds or connects, also after a fork and
when initialised again. Each case runs in a fresh interpreter, as the singletons are global."""

import textwrap

import pytest

ARGV = '["--shell=0", "--iopub={port}", "--control=0", "--stdin=0"]'


def test_initialize_ignores_the_process_command_line_and_reset_io_restores(python):
    output = python(
        """
        import sys
        sys.argv = ["notebook", "--no-such-option", "-f", "/nonexistent.json"]
        original = (sys.stdout, sys.stderr, sys.displayhook)
        from IPython.core.interactiveshell import InteractiveShell
        from trelvo_core.ipython import TrelvoIPKernelApp, is_io_redirected, is_zmq_ipython_shell
        app = TrelvoIPKernelApp.instance()
        app.initialize()
        redirected = is_io_redirected()
        app.reset_io()
        print(redirected, is_io_redirected(), (sys.stdout, sys.stderr, sys.displayhook) == original,
              isinstance(app.shell, InteractiveShell), is_zmq_ipython_shell(ipython_shell=app.shell),
              TrelvoIPKernelApp.instance() is app)
        """
    )
    assert output.strip().split("\n")[-1] == "True False True True True True"


def test_connect_mode_publishes_to_the_given_port(python, iopub_subscriber):
    _, text = python(
        f"""
        import sys
        from trelvo_core.ipython import TrelvoIPKernelApp
        app = TrelvoIPKernelApp.instance()
        app.initialize(argv={ARGV.format(port=iopub_subscriber.port)}, iopub_mode="connect")
        assert app.iopub_port == {iopub_subscriber.port}
        import time; time.sleep(0.5)  # let the subscription reach the publisher
        app.shell.run_cell("print('hello from the worker')")
        sys.stdout.flush()
        import time; time.sleep(0.5)
        """,
        while_running=lambda: iopub_subscriber.stream_text("hello"),
    )
    assert text == "hello from the worker\n"


def test_bind_mode_binds_its_own_port(python):
    output = python(
        """
        import sys
        from trelvo_core.ipython import TrelvoIPKernelApp
        app = TrelvoIPKernelApp.instance()
        app.initialize(argv=["--shell=0", "--iopub=0", "--control=0", "--stdin=0"], iopub_mode="bind")
        print(app.iopub_port, file=sys.__stdout__)
        """
    )
    assert int(output.strip().split("\n")[-1]) > 0


def test_bad_iopub_mode(python):
    output = python(
        """
        from trelvo_core.ipython import TrelvoIPKernelApp
        try:
            TrelvoIPKernelApp.instance().initialize(iopub_mode="listen")
        except ValueError as error:
            print(error)
        """
    )
    assert output.strip() == "iopub_mode must be one of ('bind', 'connect'), got 'listen'"


def test_initialize_again_moves_iopub_and_reuses_the_kernel(python, iopub_subscribers):
    first, second = iopub_subscribers(), iopub_subscribers()

    def both():
        return first.stream_text("first"), second.stream_text("second")

    output, texts = python(
        f"""
        import sys, time
        from trelvo_core.ipython import TrelvoIPKernelApp
        app = TrelvoIPKernelApp.instance()
        app.initialize(argv={ARGV.format(port=first.port)}, iopub_mode="connect")
        shell = app.shell
        app.initialize(argv={ARGV.format(port=first.port)}, iopub_mode="connect")
        time.sleep(0.5)
        shell.run_cell("print('first port')"); sys.stdout.flush()
        app.initialize(argv={ARGV.format(port=second.port)}, iopub_mode="connect")
        time.sleep(0.5)
        shell.run_cell("print('second port')"); sys.stdout.flush()
        time.sleep(0.5)
        sys.__stdout__.write(str(app.shell is shell))
        """,
        while_running=both,
    )
    assert output.strip().endswith("True")
    assert texts == ("first port\n", "second port\n")


FORKED_WORKER = textwrap.dedent("""
import multiprocessing, sys, time
from trelvo_core.ipython import TrelvoIPKernelApp

def worker(port):
    app = TrelvoIPKernelApp.instance()
    app.initialize(argv=["--shell=0", f"--iopub={{port}}", "--control=0", "--stdin=0"],
                   iopub_mode="connect")
    time.sleep(0.5)
    app.shell.run_cell("print('from the forked worker', flush=True)")
    time.sleep(0.5)
    sys.__stdout__.write("fresh" if app is not PARENT_APP else "inherited")
    sys.__stdout__.flush()

process = multiprocessing.get_context("fork").Process(target=worker, args=({port},))
process.start()
process.join(60)
print("exit", process.exitcode)
""")


def test_a_forked_worker_of_an_embedded_kernel_gets_a_fresh_one(python, iopub_subscriber):
    parent = textwrap.dedent(
        """
        from trelvo_core.ipython import TrelvoIPKernelApp
        PARENT_APP = TrelvoIPKernelApp.instance()
        PARENT_APP.initialize()
        PARENT_APP.reset_io()
        """
    )
    output, text = python(
        parent + FORKED_WORKER.format(port=iopub_subscriber.port),
        while_running=lambda: iopub_subscriber.stream_text("forked"),
    )
    assert "fresh" in output and "exit 0" in output
    assert text == "from the forked worker\n"


@pytest.mark.timeout(180)
def test_a_forked_worker_of_a_notebook_kernel_gets_a_fresh_one(kernel, iopub_subscriber, run_in_kernel):
    code = "PARENT_APP = get_ipython().kernel.parent\n" + FORKED_WORKER.format(
        port=iopub_subscriber.port)
    run = run_in_kernel(kernel, code, while_running=lambda: iopub_subscriber.stream_text("forked"))
    assert run.reply["status"] == "ok", run.reply
    assert run.result == "from the forked worker\n"
    assert "exit 0" in run.stdout

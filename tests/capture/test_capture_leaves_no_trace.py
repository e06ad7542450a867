"""A component's run leaves the process as it found it: the streams, IPython's output history
and hidden names, the kernel application's sockets and files, __main__ and the excepthook."""

import textwrap

import pytest

KERNEL_CELL = textwrap.dedent('''
    import sys
    from trelvo_core.components.norvel import TrelvoComponentNorvel
    original_stdout = sys.stdout
    write_before = original_stdout.write
    hidden_before = sorted(get_ipython().user_ns_hidden)
    history = get_ipython().history_manager.outputs
    history_before = sum(len(v) for v in history.values())
    component = TrelvoComponentNorvel("k1", "odd writes",
        "import io, sys\\n"
        "class Text(str):\\n    pass\\n"
        "sys.stdout.write(Text('subclass\\\\n'))\\n"
        "print('lone \\\\udc80 surrogate')\\n"
        "print('x' * 100000)\\n"
        "sys.stdout = io.StringIO()\\n")
    component.execute()
    replaced = sys.stdout
    sys.stdout = original_stdout
    history_kept = sum(len(v) for v in history.values()) == history_before
    hidden_kept = sorted(get_ipython().user_ns_hidden) == hidden_before
    print("status", component.status.name)
    print("texts", [r.text[:12] for r in component.captured if r.text and r.text != "\\n"])
    print("write restored", original_stdout.write == write_before, "write" not in vars(replaced))
    print("hidden kept", hidden_kept)
    print("history kept", history_kept)
''')


@pytest.mark.timeout(120)
def test_odd_writes_are_recorded_and_the_kernel_is_left_as_it_was(kernel, run_in_kernel):
    run = run_in_kernel(kernel, KERNEL_CELL)
    assert run.reply["status"] == "ok", run.reply
    lines = [line for line in run.stdout.splitlines()
             if line.split(" ", 1)[0] in ("status", "texts", "write", "hidden", "history")]
    assert lines == ["status SUCCESSFUL",
                     "texts ['subclass\\n', 'lone \\udc80 surro', 'xxxxxxxxxxxx']",
                     "write restored True True", "hidden kept True", "history kept True"]


def test_hidden_names_stay_hidden_in_a_plain_shell(make_component_outside):
    shell, component = make_component_outside("y = 1")
    hidden = set(shell.user_ns_hidden)
    component.execute(send_to_front=False)
    assert set(shell.user_ns_hidden) == hidden and "In" in hidden


@pytest.fixture
def make_component_outside():
    from IPython.core.interactiveshell import InteractiveShell

    from trelvo_core.components.norvel import TrelvoComponentNorvel

    def make(code):
        shell = InteractiveShell.instance()
        return shell, TrelvoComponentNorvel("p1", "plain", code, ipython_shell=shell)

    return make


def test_a_component_outside_a_kernel_leaves_main_and_the_excepthook(python):
    output = python("""
        import pickle, sys

        class Mine:
            pass

        main, hook = sys.modules["__main__"], sys.excepthook
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        component = TrelvoComponentNorvel("m1", "main", "z = 2")
        component.execute(send_to_front=False)
        print(sys.modules["__main__"] is main, sys.excepthook is hook,
              pickle.loads(pickle.dumps(Mine())).__class__ is Mine, component.outputs["z"])
        """)
    assert output.split() == ["True", "True", "True", "2"]


def test_a_worker_kernel_binds_nothing_and_writes_no_connection_file(python, tmp_path):
    output = python(f"""
        import os, psutil
        os.environ["JUPYTER_RUNTIME_DIR"] = {str(tmp_path)!r}
        from trelvo_core.ipython import TrelvoIPKernelApp
        app = TrelvoIPKernelApp.instance()
        app.initialize(argv=["--shell=0", "--iopub=5999", "--control=0", "--stdin=0"],
                       iopub_mode="connect")
        app.reset_io()
        app.shell.run_cell("print('still runs')")
        pipe = app.iopub_thread._pipe_port  # forwards output from processes a cell forks
        listening = [c for c in psutil.Process().net_connections(kind="tcp")
                     if c.status == "LISTEN" and c.laddr.port != pipe]
        print(len(listening), sorted(os.listdir({str(tmp_path)!r})))
        """)
    assert output.splitlines()[-1] == "0 []" and "still runs" in output

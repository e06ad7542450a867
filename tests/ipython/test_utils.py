"""Questions about the running shell: in a plain process and in a real kernel."""

from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.ipython import get_ipython_shell, is_io_redirected, is_zmq_ipython_shell


def test_in_a_plain_process(python):
    output = python(
        """
        from IPython.core.interactiveshell import InteractiveShell
        from trelvo_core.ipython import get_ipython_shell, is_io_redirected, is_zmq_ipython_shell
        print(get_ipython_shell())
        shell = InteractiveShell.instance()
        print(get_ipython_shell() is shell, is_zmq_ipython_shell(ipython_shell=shell),
              is_zmq_ipython_shell(ipython_shell=None), is_io_redirected())
        """
    )
    assert output.split("\n")[:2] == ["None", "True False False False"]


def test_in_a_real_kernel(kernel, run_in_kernel):
    code = (
        "from trelvo_core.ipython import get_ipython_shell, is_io_redirected, is_zmq_ipython_shell\n"
        "print(get_ipython_shell() is get_ipython(), "
        "is_zmq_ipython_shell(ipython_shell=get_ipython()), is_io_redirected())"
    )
    run = run_in_kernel(kernel, code)
    assert run.reply["status"] == "ok"
    assert run.stdout == "True True True\n"


def test_a_shell_without_a_zmq_display_publisher_is_not_a_kernel_shell():
    assert is_zmq_ipython_shell(ipython_shell=InteractiveShell.instance()) is False
    assert is_zmq_ipython_shell() is False
    assert get_ipython_shell() is InteractiveShell.instance()
    assert is_io_redirected() is False

"""trelvo_core.ipython: the kernel application and questions about the running shell."""

from trelvo_core.ipython.kernelapp import TrelvoIPKernelApp
from trelvo_core.ipython.utils import get_ipython_shell, is_io_redirected, is_zmq_ipython_shell

__all__ = ["TrelvoIPKernelApp", "get_ipython_shell", "is_io_redirected", "is_zmq_ipython_shell"]

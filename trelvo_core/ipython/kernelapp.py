"""The package's IPython kernel application, embedded in the process that uses it."""

import os
import sys

import zmq
from ipykernel.kernelapp import IPKernelApp
from ipykernel.kernelbase import Kernel
from IPython.core.interactiveshell import InteractiveShell
from traitlets import Bool
from zmq.utils.monitor import recv_monitor_message

IOPUB_MODES = ("bind", "connect")

# Set in a forked child: the kernel singletons it inherited belong to its parent.
_inherited_from_parent = False


def _mark_inherited():
    global _inherited_from_parent
    _inherited_from_parent = True


os.register_at_fork(after_in_child=_mark_inherited)


def _connect_after_handshake(socket, address, timeout_ms=1000):
    """Connects, and waits (a bounded time) until the connection has been made: a publisher drops
    what it sends before the subscriber at the other end has said what it takes, and a worker's
    first output comes soon after it connects."""
    monitor = socket.get_monitor_socket(zmq.EVENT_HANDSHAKE_SUCCEEDED)
    try:
        socket.connect(address)
        if monitor.poll(timeout_ms):
            recv_monitor_message(monitor)
    finally:
        socket.disable_monitor()
        monitor.close()


def _not_the_plain_tcp_warning(record):
    return not str(record.msg).startswith("Kernel is running over TCP without encryption")


class TrelvoIPKernelApp(IPKernelApp):
    """An ipykernel application whose IOPub socket binds or connects to a given port."""

    # The process keeps its own file descriptors 1 and 2: reset_io must give them back whole.
    capture_fd_output = Bool(False).tag(config=True)

    @classmethod
    def instance(cls, *args, **kwargs):
        global _inherited_from_parent
        if _inherited_from_parent:
            _inherited_from_parent = False
            cls._forget_parent_kernel()
        return super().instance(*args, **kwargs)

    @classmethod
    def _forget_parent_kernel(cls):
        """Drops singletons whose threads and sockets stayed in the parent process."""
        for base in (IPKernelApp, Kernel, InteractiveShell):
            inherited = base._instance
            if inherited is not None:
                # Clears the singleton on every class of the instance's own MRO.
                type(inherited).clear_instance()
        sys.stdout, sys.stderr = sys.__stdout__, sys.__stderr__
        sys.displayhook = sys.__displayhook__

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self._iopub_mode = "bind"
        self._initialized_with = None
        self._original_io = None

    def initialize(self, argv=None, iopub_mode="bind"):
        """Starts the kernel in this process; with no argv the process's own is not read."""
        if iopub_mode not in IOPUB_MODES:
            raise ValueError(f"iopub_mode must be one of {IOPUB_MODES}, got {iopub_mode!r}")
        argv = [] if argv is None else [str(item) for item in argv]
        if self._initialized_with == (argv, iopub_mode):
            return
        self._iopub_mode = iopub_mode
        if self._initialized_with is None:
            self._initialize_leaving_the_process_as_it_was(argv)
        else:
            self._renew_iopub(argv)
        self._initialized_with = (argv, iopub_mode)

    def _initialize_leaving_the_process_as_it_was(self, argv):
        # IPython makes its user module sys.modules["__main__"] and ipykernel installs its crash
        # handler as sys.excepthook; the embedding process keeps its own of both, so that its
        # classes still pickle and its errors are still reported its way.
        main_module, excepthook = sys.modules.get("__main__"), sys.excepthook
        try:
            super().initialize(argv)
        finally:
            if main_module is not None:
                sys.modules["__main__"] = main_module
            sys.excepthook = excepthook
            if self._original_io is not None:
                self._original_io = self._original_io[:3] + (excepthook,)

    def _bind_socket(self, s, port):
        # Embedded, the kernel serves no client: only IOPub, which carries the displays, is bound
        # or connected; the shell, control and stdin sockets stay unbound.
        if s is not self.iopub_socket:
            return port
        return self._bind_iopub(s, port)

    def init_sockets(self):
        # ipykernel 7 warns that a TCP kernel without CurveZMQ keys talks in plain text; that is
        # for kernels that clients connect to, and nobody connects to this one.
        self.log.addFilter(_not_the_plain_tcp_warning)
        try:
            super().init_sockets()
        finally:
            self.log.removeFilter(_not_the_plain_tcp_warning)

    def init_heartbeat(self):
        # Nobody connects to an embedded kernel: no heartbeat port.
        self.hb_port = 0

    def write_connection_file(self):
        # No connection file (it would hold the key) for a kernel that nobody connects to.
        pass

    def _bind_iopub(self, s, port):
        if self._iopub_mode == "connect":
            if port <= 0:
                raise ValueError(f"connecting IOPub needs a port, got {port}")
            _connect_after_handshake(s, "tcp://127.0.0.1:%i" % port)
            return port
        return super()._bind_socket(s, port)

    def _renew_iopub(self, argv):
        """Points the running kernel at a new IOPub port."""
        self.parse_command_line(argv)
        was_redirected = sys.stdout is not self._original_io[0]
        sys.stdout.flush()
        sys.stderr.flush()
        self.reset_io()
        self.iopub_thread.stop()
        self.iopub_thread.close()
        self.init_iopub(self.context)
        kernel, shell = self.kernel, self.shell
        kernel.iopub_thread = self.iopub_thread
        kernel.iopub_socket = self.iopub_socket
        shell.display_pub.pub_socket = self.iopub_socket
        shell.displayhook.pub_socket = self.iopub_socket
        self.init_io()
        self.displayhook.get_execution_count = lambda: kernel.execution_count
        if not was_redirected:
            self.reset_io()

    def log_connection_info(self):
        # Embedded in another process: the connection info goes to the log, not its terminal.
        self.log.debug("kernel connection file: %s", self.connection_file)
        self._ports = dict(
            shell=self.shell_port,
            iopub=self.iopub_port,
            stdin=self.stdin_port,
            hb=self.hb_port,
            control=self.control_port,
        )

    def init_io(self):
        if self._original_io is None:
            self._original_io = (sys.stdout, sys.stderr, sys.displayhook, sys.excepthook)
        super().init_io()

    def init_signal(self):
        # The embedding process keeps its own SIGINT handling (and so do its forked children).
        pass

    def reset_io(self):
        """Gives the process back the standard streams it had before the kernel started."""
        if self._original_io is None:
            return super().reset_io()
        sys.stdout, sys.stderr, sys.displayhook, sys.excepthook = self._original_io

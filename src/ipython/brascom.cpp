// TrelvoBrascom: a thread that receives the display messages a worker's kernel publishes to a
// loopback port and replays them in this process's kernel, or on its standard streams.
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::ipython::brascom {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle router_class;  // for super() in __init__

constexpr const char* kStdoutMime = "application/vnd.jupyter.stdout";
constexpr const char* kStderrMime = "application/vnd.jupyter.stderr";

nb::object init(const Args& a) {
    nb::handle self = a[0];
    super_of(router_class, self).attr("__init__")();
    nb::object zmq = scope->get("zmq");
    nb::setattr(self, "_ipython_shell", a[1]);
    nb::setattr(self, "_stop_event", scope->get("threading").attr("Event")());
    nb::object context = zmq.attr("Context")();
    nb::setattr(self, "_zmq_ctx", context);
    nb::object socket = context.attr("socket")(zmq.attr("SUB"));
    nb::setattr(self, "_iosub_socket", socket);
    nb::setattr(self, "_iosub_port", socket.attr("bind_to_random_port")("tcp://127.0.0.1"));
    socket.attr("setsockopt_string")(zmq.attr("SUBSCRIBE"), "");
    nb::object close = self.attr("close");
    scope->get("atexit").attr("register")(close);
    // A router still running when the interpreter exits would keep it waiting for the thread:
    // close it before the threading module joins its threads.
    nb::object threading = scope->get("threading");
    if (nb::hasattr(threading, "_register_atexit")) threading.attr("_register_atexit")(close);
    return nb::none();
}

nb::object iosub_port(const Args& a) {
    nb::object port = a[0].attr("_iosub_port");
    if (PyLong_CheckExact(port.ptr()) || port.is_none()) return port;
    if (!PyNumber_Check(port.ptr()))
        raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(port.ptr())->tp_name);
    return nb::steal(PyNumber_Long(port.ptr()));
}

nb::object stop(const Args& a) {
    a[0].attr("_stop_event").attr("set")();
    return nb::none();
}

nb::object stopped(const Args& a) {
    if (arg_bool(a[0].attr("_stop_event").attr("is_set")())) return nb::bool_(true);
    return nb::bool_(a[0].attr("_iosub_port").is_none());
}

// Kernel messages carry JSON; Python literals are accepted as well.
nb::object parse_content(nb::handle frame) {
    nb::object text = frame.attr("decode")();
    nb::object content;
    try {
        content = nb::module_::import_("json").attr("loads")(text);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        content = scope->get("ast").attr("literal_eval")(text);
    }
    check_result(content, &PyDict_Type, false);
    return content;
}

void replay(nb::handle self, nb::handle content) {
    nb::object shell = self.attr("_ipython_shell");
    if (arg_bool(scope->get("is_zmq_ipython_shell")(nb::arg("ipython_shell") = shell))) {
        nb::object copy = nb::steal(PyDict_Copy(content.ptr()));
        PyObject* result = PyObject_Call(shell.attr("display_pub").attr("publish").ptr(),
                                         nb::tuple().ptr(), copy.ptr());
        if (!result) throw nb::python_error();
        Py_DECREF(result);
        return;
    }
    nb::object data = content[nb::str("data")];
    for (auto [mime, stream_name] : {std::pair{kStdoutMime, "stdout"}, std::pair{kStderrMime, "stderr"}}) {
        int found = PySequence_Contains(data.ptr(), nb::str(mime).ptr());
        if (found < 0) throw nb::python_error();
        if (!found) continue;
        nb::object stream = scope->get("sys").attr(stream_name);
        stream.attr("write")(data[nb::str(mime)]);
        stream.attr("flush")();
        return;
    }
}

nb::object run(const Args& a) {
    nb::handle self = a[0];
    nb::object zmq = scope->get("zmq");
    self.attr("_stop_event").attr("clear")();
    nb::object socket = self.attr("_iosub_socket");
    while (!arg_bool(self.attr("stopped")())) {
        nb::object messages;
        try {
            messages = socket.attr("recv_multipart")();
        } catch (nb::python_error& error) {
            if (!error.matches(zmq.attr("ZMQError"))) throw;
            if (nb::cast<int>(error.value().attr("errno")) == nb::cast<int>(zmq.attr("ETERM"))) break;
            continue;
        }
        check_result(messages, &PyList_Type, false);
        if (!nb::str(messages[0].attr("decode")()).equal(nb::str("display_data"))) continue;
        replay(self, parse_content(messages[nb::len(messages) - 1]));
    }
    // The thread that used the socket closes it; a close() waiting in term() then returns.
    socket.attr("close")(nb::arg("linger") = 0);
    return nb::none();
}

nb::object close(const Args& a) {
    nb::handle self = a[0];
    self.attr("_stop_event").attr("set")();
    nb::object context = self.attr("_zmq_ctx");
    if (arg_bool(context.attr("closed"))) return nb::none();
    nb::object threading = scope->get("threading");
    bool running = arg_bool(self.attr("is_alive")()) &&
                   !nb::handle(threading.attr("current_thread")()).is(self);
    if (!running) self.attr("_iosub_socket").attr("close")(nb::arg("linger") = 0);
    // term() wakes the blocked receive with ETERM and returns once the router closed its socket
    // (pyzmq releases the GIL while it waits).
    context.attr("term")();
    if (running) self.attr("join")(5);
    return nb::none();
}

nb::object finalize(const Args& a) {
    try {
        a[0].attr("close")();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return nb::none();
}

void bind_imports(const Scope& s) {
    for (const char* module : {"ast", "atexit", "sys", "threading", "zmq"}) s.import(module);
    s.import_from("typing", {"Any", "Dict", "List", "Optional"});
    s.import_from("IPython.core.interactiveshell", {"InteractiveShell"});
    s.import_from("trelvo_core.ipython.utils", {"is_zmq_ipython_shell"});
}

void register_router(const Scope& s) {
    ClassBuilder builder(s, "TrelvoBrascom",
                         "A router that forwards display_data passed to the IOSub socket to the "
                         "display_pub in InteractiveShell.");
    builder
        .method("__init__",
                {arg("self"), opt("ipython_shell", nb::none(), "Optional[InteractiveShell]")}, "",
                init)
        .property("iosub_port", "Optional[int]", iosub_port)
        .method("stop", {arg("self")}, "None", stop)
        .method("stopped", {arg("self")}, "bool", stopped)
        .method("run", {arg("self")}, "None", run)
        .method("close", {arg("self")}, "None", close)
        .method("__del__", {arg("self")}, "None", finalize);
    router_class = builder.build(nb::make_tuple(s.get("threading").attr("Thread"))).release();
}

}  // namespace
}  // namespace trelvo::ipython::brascom

NB_MODULE(brascom, m) {
    using namespace trelvo::ipython::brascom;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_router(*scope);
}

// TrelvoBrascom: a thread that receives the display messages a worker's kernel publishes to a
// loopback port and replays them in this process's kernel, or on its standard streams.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

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
    // The exit hooks hold routers weakly, so that a dropped router is freed with its sockets.
    scope->get("_ROUTERS").attr("add")(self);
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

// A message the router cannot use; the loop drops it and goes on.
struct Unreadable {
    std::string reason;
};

nb::object decoded(nb::handle frame, const char* what) {
    try {
        return frame.attr("decode")("utf-8");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) throw;
        throw Unreadable{std::string(what) + " is not UTF-8"};
    }
}

// Kernel messages carry JSON; Python literals are accepted as well.
nb::object parse_json_or_literal(nb::handle frame, const char* what) {
    nb::object text = decoded(frame, what);
    nb::object parsed;
    try {
        parsed = nb::module_::import_("json").attr("loads")(text);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        try {
            parsed = scope->get("ast").attr("literal_eval")(text);
        } catch (nb::python_error& literal_error) {
            if (!literal_error.matches(nb::make_tuple(nb::handle(PyExc_ValueError), nb::handle(PyExc_SyntaxError),
                                                      nb::handle(PyExc_TypeError), nb::handle(PyExc_MemoryError),
                                                      nb::handle(PyExc_RecursionError))))
                throw;
            throw Unreadable{std::string(what) + " is neither JSON nor a Python literal"};
        }
    }
    if (!PyDict_Check(parsed.ptr())) throw Unreadable{std::string(what) + " is not an object"};
    return parsed;
}

struct Message {
    std::string type;  // display_data, update_display_data or clear_output
    nb::dict content;
};

// frames: topic, identities, "<IDS|MSG>", signature, header, parent header, metadata, content,
// buffers. Without the delimiter the content is the last frame and the type display_data.
Message read_message(nb::handle frames) {
    std::size_t count = nb::len(frames);
    std::size_t delimiter = count;
    for (std::size_t i = 1; i < count; ++i)
        if (nb::handle(frames[i]).equal(nb::bytes("<IDS|MSG>", 9))) delimiter = i;
    Message message{"display_data", nb::dict()};
    nb::handle content_frame = frames[count - 1];
    if (delimiter + 5 < count) {
        nb::object header = parse_json_or_literal(frames[delimiter + 2], "the header");
        nb::object type = header.attr("get")("msg_type", "display_data");
        message.type = PyUnicode_Check(type.ptr()) ? utf8(type) : "";
        content_frame = frames[delimiter + 5];
    } else if (count < 2) {
        throw Unreadable{"a message of one frame has no content"};
    }
    message.content = nb::borrow<nb::dict>(parse_json_or_literal(content_frame, "the content"));
    bool display = message.type == "display_data" || message.type == "update_display_data";
    if (!display && message.type != "clear_output")
        throw Unreadable{"a message of type '" + message.type + "' is not a display"};
    if (display && !PyDict_Check(nb::object(message.content.attr("get")("data")).ptr()))
        throw Unreadable{"a display without data"};
    return message;
}

nb::object keyword(nb::dict content, const char* key) {
    return content.attr("get")(key);
}

void write_text(nb::dict content) {
    nb::object data = content["data"];
    for (auto [mime, stream_name] : {std::pair{kStdoutMime, "stdout"}, std::pair{kStderrMime, "stderr"}}) {
        if (!contains(data, nb::str(mime))) continue;
        nb::object stream = scope->get("sys").attr(stream_name);
        stream.attr("write")(data[nb::str(mime)]);
        stream.attr("flush")();
        return;
    }
}

// Replays a message as the kernel's own display publisher would show it; outside a kernel the
// stream text goes to the standard streams and a clear request has nothing to clear.
void replay(nb::handle self, const Message& message) {
    nb::object shell = self.attr("_ipython_shell");
    bool in_kernel = arg_bool(scope->get("is_zmq_ipython_shell")(nb::arg("ipython_shell") = shell));
    if (message.type == "clear_output") {
        if (in_kernel)
            shell.attr("display_pub").attr("clear_output")(
                nb::arg("wait") = arg_bool(keyword(message.content, "wait")));
        return;
    }
    if (!in_kernel) {
        write_text(message.content);
        return;
    }
    nb::object metadata = keyword(message.content, "metadata");
    nb::object transient = keyword(message.content, "transient");
    shell.attr("display_pub").attr("publish")(
        nb::arg("data") = message.content["data"],
        nb::arg("metadata") = metadata.is_none() ? nb::object(nb::dict()) : metadata,
        nb::arg("transient") = transient, nb::arg("update") = message.type == "update_display_data");
}

void drop(const std::string& reason) {
    scope->get("logger").attr("warning")("The display router dropped a message: %s", from_utf8(reason));
}

// One received message: replayed, or dropped with one log line. Nothing a worker sends ends
// the router.
void forward(nb::handle self, nb::handle frames) {
    try {
        if (!PyList_Check(frames.ptr()) || nb::len(frames) == 0) throw Unreadable{"no frames"};
        if (!decoded(frames[0], "the topic").equal(nb::str("display_data"))) return;
        replay(self, read_message(frames));
    } catch (const Unreadable& unreadable) {
        drop(unreadable.reason);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        drop(utf8(nb::str(error.value())));
    } catch (const std::exception& error) {
        drop(error.what());
    }
}

nb::object run(const Args& a) {
    nb::handle self = a[0];
    nb::object zmq = scope->get("zmq");
    self.attr("_stop_event").attr("clear")();
    nb::object socket = self.attr("_iosub_socket");
    while (!arg_bool(self.attr("stopped")())) {
        nb::object frames;
        try {
            frames = socket.attr("recv_multipart")();
        } catch (nb::python_error& error) {
            if (!error.matches(zmq.attr("ZMQError"))) throw;
            if (nb::cast<int>(error.value().attr("errno")) == nb::cast<int>(zmq.attr("ETERM"))) break;
            continue;
        }
        forward(self, frames);
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

// Closes the routers still alive: at exit, and before the threading module joins its threads
// (a running router would keep the interpreter waiting).
nb::object close_routers(const Args&) {
    for (nb::handle router : nb::list(scope->get("_ROUTERS"))) router.attr("close")();
    return nb::none();
}

void register_exit_hooks(const Scope& s) {
    s.set("_ROUTERS", nb::module_::import_("weakref").attr("WeakSet")());
    define_function(s, "_close_routers", {}, "None", close_routers);
    nb::object hook = s.get("_close_routers");
    s.get("atexit").attr("register")(hook);
    s.get("threading").attr("_register_atexit")(hook);
}

void bind_imports(const Scope& s) {
    for (const char* module : {"ast", "atexit", "logging", "sys", "threading", "zmq"}) s.import(module);
    s.set("logger", s.get("logging").attr("getLogger")(s.name()));
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
    register_exit_hooks(*scope);
    register_router(*scope);
}

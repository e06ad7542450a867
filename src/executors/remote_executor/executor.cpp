// TrelvoRemoteComponentExecutor: the client and the worker side of remote runs over celery.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"
#include "text.hpp"

namespace trelvo::executors::remote_executor::executor {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

constexpr const char* kLocalRedis = "redis://localhost:6379";

nb::object init(const Args& a) {
    nb::handle self = a[0];
    nb::setattr(self, "_id", arg_str(a[1], "identifier"));
    nb::setattr(self, "_name", arg_str(a[2], "name"));
    nb::setattr(self, "_backend", arg_str(a[3], "backend"));
    nb::setattr(self, "_broker", arg_str(a[4], "broker"));
    return nb::none();
}

// A fresh application for every operation: nothing is held between calls.
nb::object celery_app(nb::handle self) {
    nb::object app = scope->get("Celery")(
        nb::arg("main") = nb::str("{}-remote-executor").format(nb::str(scope->get("APP_NAME"))),
        nb::arg("backend") = self.attr("_backend"), nb::arg("broker") = self.attr("_broker"));
    nb::object conf = app.attr("conf");
    conf.attr("enable_utc") = true;
    conf.attr("result_serializer") = "pickle";
    conf.attr("task_serializer") = "pickle";
    nb::list accepted;
    accepted.append("application/json");
    accepted.append("application/x-python-serialize");
    conf.attr("accept_content") = accepted;
    conf.attr("worker_redirect_stdouts") = false;
    return app;
}

// Lets an application go: its broker connections and its result backend's client, so that an
// operation leaves no connection behind.
void release(nb::handle app) {
    bool released = translate_exceptions([&] {
        nb::object backend = app.attr("backend");
        nb::object client = nb::getattr(backend, "client", nb::none());
        if (nb::hasattr(client, "close")) client.attr("close")();
        app.attr("close")();
    });
    if (!released) PyErr_Clear();  // a failed clean-up must not hide the answer
}

// Runs body with a fresh application, released afterwards whatever happens.
nb::object with_app(nb::handle self, const std::function<nb::object(nb::handle)>& body) {
    nb::object app = celery_app(self);
    try {
        nb::object result = body(app);
        release(app);
        return result;
    } catch (nb::python_error&) {
        release(app);
        throw;
    }
}

nb::object ping_with(nb::handle self, nb::handle app) {
    nb::object task = app.attr("register_task")(scope->get("TrelvoRemotePingTask"));
    nb::object pending = task.attr("delay")();
    nb::object timeout = scope->get("PING_TIMEOUT");
    nb::object answer;
    try {
        answer = pending.attr("get")(nb::arg("timeout") = timeout);
    } catch (nb::python_error& error) {
        // A ping nobody answers must not hang the run that asked.
        if (!error.matches(scope->get("CeleryTimeoutError"))) throw;
        nb::object broker = from_utf8(core::url_without_password(utf8(self.attr("_broker"))));
        return nb::make_tuple(false, nb::str("No worker answered within {} seconds on the broker {}.")
                                         .format(timeout, broker));
    }
    check_result(answer, &PyTuple_Type);
    return answer;
}

nb::object ping(const Args& a) {
    return with_app(a[0], [&](nb::handle app) { return ping_with(a[0], app); });
}

// Whether any worker answers on the broker's control channel. A worker's main process answers
// while its pool runs cells, so a busy worker counts as alive. The question goes over a
// connection of its own, closed here: collecting the answers leaves a read pending on it, and a
// pooled connection would keep it, so that a process forked later (a disk-cache writer) would
// wait for that answer for ever when it closes the connections it inherited.
bool a_worker_answers(nb::handle app) {
    nb::object connection = app.attr("connection_for_write")();
    try {
        nb::object inspect = app.attr("control").attr("inspect")(
            nb::arg("timeout") = 1.0, nb::arg("connection") = connection);
        bool answered = arg_bool(inspect.attr("ping")());
        connection.attr("close")();
        return answered;
    } catch (nb::python_error&) {
        if (!translate_exceptions([&] { connection.attr("close")(); })) PyErr_Clear();
        throw;
    }
}

// The task's result, however long the run takes on a live worker. Between waits the workers are
// asked whether they are still there; a run whose workers are all gone is lost: waiting for it
// would hang the caller for ever.
nb::object wait_for_result(nb::handle self, nb::handle app, nb::handle pending) {
    int unanswered = 0;
    while (true) {
        try {
            return pending.attr("get")(nb::arg("timeout") = scope->get("WORKER_CHECK_INTERVAL"));
        } catch (nb::python_error& error) {
            if (!error.matches(scope->get("CeleryTimeoutError"))) throw;
        }
        unanswered = a_worker_answers(app) ? 0 : unanswered + 1;
        if (unanswered < 2) continue;
        nb::object broker = from_utf8(core::url_without_password(utf8(self.attr("_broker"))));
        nb::object message = nb::str("No worker is left to finish the run of component '{}' on "
                                     "the broker {}: the worker stopped.")
                                 .format(self.attr("_name"), broker);
        PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        throw nb::python_error();
    }
}

nb::object execute(const Args& a) {
    nb::bytes request = arg_bytes(a[1], "request");
    check_arg(a[4], "metadata", &PyDict_Type, true);
    bool send_to_front = arg_bool(a[2]), verbose = arg_bool(a[3]);
    return with_app(a[0], [&](nb::handle app) {
        nb::object task = app.attr("register_task")(scope->get("TrelvoRemoteComponentExecuteTask"));
        nb::object pending = task.attr("delay")(nb::arg("request") = request,
                                                nb::arg("send_to_front") = nb::bool_(send_to_front),
                                                nb::arg("verbose") = nb::bool_(verbose),
                                                nb::arg("metadata") = a[4]);
        nb::object response = wait_for_result(a[0], app, pending);
        check_result(response, &PyBytes_Type);
        return response;
    });
}

nb::object run_executor(const Args& a) {
    nb::str loglevel = arg_str(a[1], "loglevel");
    nb::object app = celery_app(a[0]);
    app.attr("register_task")(scope->get("TrelvoRemotePingTask"));
    app.attr("register_task")(scope->get("TrelvoRemoteComponentExecuteTask"));
    try {
        nb::list argv;
        argv.append("worker");
        argv.append(nb::str("--loglevel={}").format(loglevel));
        app.attr("worker_main")(nb::arg("argv") = argv);
        return nb::int_(0);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception) && !error.matches(PyExc_KeyboardInterrupt)) throw;
        return nb::int_(1);
    }
}

void bind_imports(const Scope& s) {
    s.import_from("typing", {"Dict", "List", "Optional", "Tuple"});
    s.import_from("celery", {"Celery", "Task"});
    s.import_from("trelvo_core.common.info", {"APP_NAME"});
    s.import_from("trelvo_core.executors.remote_executor.tasks",
                  {"TrelvoRemoteComponentExecuteTask", "TrelvoRemotePingTask"});
    s.set("CeleryTimeoutError", nb::module_::import_("celery.exceptions").attr("TimeoutError"));
    s.set("PING_TIMEOUT", nb::int_(10));
    // Seconds between the checks that a remote run's workers are still there.
    s.set("WORKER_CHECK_INTERVAL", nb::int_(10));
}

void register_executor(const Scope& s) {
    nb::object none = nb::none(), yes = nb::bool_(true), no = nb::bool_(false);
    nb::object local = nb::str(kLocalRedis);
    ClassBuilder builder(s, "TrelvoRemoteComponentExecutor", "Remote executor for TrelvoComponent.");
    builder
        .method("__init__",
                {arg("self"), arg("identifier", "str"), arg("name", "str"),
                 opt("backend", local, "str"), opt("broker", local, "str")},
                "", init)
        .method("ping", {arg("self")}, "Tuple[bool, str]", ping)
        .method("execute",
                {arg("self"), arg("request", "bytes"), opt("send_to_front", yes, "bool"),
                 opt("verbose", no, "bool"), opt("metadata", none, "Optional[Dict[str, str]]")},
                "Optional[bytes]", execute)
        .method("run_executor", {arg("self"), opt("loglevel", nb::str("INFO"), "str")}, "int",
                run_executor);
    builder.build(object_base());
}

}  // namespace
}  // namespace trelvo::executors::remote_executor::executor

NB_MODULE(executor, m) {
    using namespace trelvo::executors::remote_executor::executor;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_executor(*scope);
}

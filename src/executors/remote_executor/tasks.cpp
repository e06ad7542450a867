// The two celery tasks a remote worker serves: a ping, and the run of a pickled request in the
// worker's own kernel application, failures included, always answered with a pickled response.
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::executors::remote_executor::tasks {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

nb::object ping(const Args&) { return scope->get("_PING_ANSWER"); }

nb::object failure_response(nb::handle text) {
    nb::object cache = scope->get("TrelvoCacheModel")(nb::arg("exception_msg") = text.attr("split")("\n"));
    nb::object response = scope->get("TrelvoExecutionResponseModel")(
        nb::arg("status") = scope->get("HTTPStatus").attr("INTERNAL_SERVER_ERROR"),
        nb::arg("result") = cache, nb::arg("message") = text);
    nb::object dumped = scope->get("cloudpickle").attr("dumps")(response);
    check_result(dumped, &PyBytes_Type);
    return dumped;
}

nb::object execute(const Args& a) {
    try {
        nb::bytes request = arg_bytes(a[1], "request");
        check_arg(a[4], "metadata", &PyDict_Type, true);
        nb::object response = scope->get("execute_in_process")(
            nb::arg("iopub_port") = 0, nb::arg("request") = request,
            nb::arg("send_to_front") = nb::bool_(arg_bool(a[2])),
            nb::arg("verbose") = nb::bool_(arg_bool(a[3])), nb::arg("metadata") = a[4]);
        check_result(response, &PyBytes_Type);
        return response;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // format_exc() reads the exception being handled: make it this one.
        PyObject* previous = PyErr_GetHandledException();
        PyErr_SetHandledException(error.value().ptr());
        nb::object text;
        bool formatted = translate_exceptions([&] { text = scope->get("traceback").attr("format_exc")(); });
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
        if (!formatted) throw nb::python_error();
        check_result(text, &PyUnicode_Type, false);
        return failure_response(text);
    }
}

void bind_imports(const Scope& s) {
    s.import("traceback");
    s.import_from("http", {"HTTPStatus"});
    s.import_from("typing", {"Dict", "Optional", "Tuple"});
    s.import("cloudpickle");
    s.import_from("celery", {"Task"});
    s.import_from("trelvo_core.executors.component_executor", {"execute_in_process"});
    s.import_from("trelvo_core.misc.models", {"TrelvoCacheModel", "TrelvoExecutionResponseModel"});
    s.set("_PING_ANSWER", nb::make_tuple(true, "Connection succesful."));
}

void register_tasks(const Scope& s) {
    nb::object none = nb::none(), yes = nb::bool_(true), no = nb::bool_(false);
    ClassBuilder ping_task(s, "TrelvoRemotePingTask", "Remote ping task.");
    ping_task.method("run", {arg("self")}, "Tuple[bool, str]", ping);
    ping_task.build(nb::make_tuple(s.get("Task")));

    ClassBuilder execute_task(s, "TrelvoRemoteComponentExecuteTask", "Remote execution task.");
    execute_task.method("run",
                        {arg("self"), arg("request", "bytes"), opt("send_to_front", yes, "bool"),
                         opt("verbose", no, "bool"),
                         opt("metadata", none, "Optional[Dict[str, str]]")},
                        "bytes", execute);
    execute_task.build(nb::make_tuple(s.get("Task")));
}

}  // namespace
}  // namespace trelvo::executors::remote_executor::tasks

NB_MODULE(tasks, m) {
    using namespace trelvo::executors::remote_executor::tasks;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_tasks(*scope);
}

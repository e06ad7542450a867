// TrelvoComponentNorvel's runs: synchronous, in a worker process through a pool, or on a
// celery worker, with the error formatting and what a run shows.
#include "norvel_internal.hpp"
#include "output_history.hpp"

namespace trelvo::components::norvel {

// ---- running ----

constexpr const char* kRed = "\x1b[0;31m";
constexpr const char* kReset = "\x1b[0m";

nb::dict component_metadata(nb::handle self) {
    nb::dict metadata;
    metadata["component_id"] = self.attr("id");
    metadata["component_name"] = self.attr("name");
    return metadata;
}

nb::list import_statements(nb::dict module_statements) {
    nb::list statements;
    for (auto [symbol, statement] : module_statements) {
        nb::str text = nb::str(statement);
        bool dotted = PyUnicode_Contains(symbol.ptr(), nb::str(".").ptr()) == 1;
        statements.append(dotted ? nb::object(text) : nb::object(nb::str("{} = {}").format(symbol, text)));
    }
    return statements;
}

bool publishes_on_iopub(nb::handle self) {
    return truth(scope->get("is_zmq_ipython_shell")(nb::arg("ipython_shell") = self.attr("_ipython_shell"))) &&
           truth(scope->get("is_io_redirected")());
}

void publish(nb::handle self, const char* msg_type, nb::dict content) {
    nb::object hook = self.attr("_ipython_shell").attr("displayhook");
    hook.attr("session").attr("send")(hook.attr("pub_socket"), msg_type, content,
                                      nb::arg("parent") = hook.attr("parent_header"),
                                      nb::arg("ident") = nb::bytes(msg_type));
}

nb::dict tagged(nb::handle self) {
    nb::dict metadata;
    metadata["component_id"] = self.attr("id");
    return metadata;
}

// The arguments of a run, checked before anything changes.
void check_run_arguments(nb::handle module_statements, nb::handle inputs, nb::handle parameters) {
    check_arg(module_statements, "module_statements", &PyDict_Type, true);
    check_arg(inputs, "non_module_inputs", &PyDict_Type, true);
    check_arg(parameters, "parameters", &PyDict_Type, true);
}

// Marks the component RUNNING, records what the run is given and returns its request.
nb::object start_run(nb::handle self, nb::handle statements_arg, nb::handle inputs_arg,
                     nb::handle parameters) {
    nb::dict module_statements = statements_arg.is_none() ? nb::dict() : nb::borrow<nb::dict>(statements_arg);
    nb::dict inputs = inputs_arg.is_none() ? nb::dict() : nb::borrow<nb::dict>(inputs_arg);
    nb::setattr(self, "status", component_status("RUNNING"));
    nb::setattr(self, "_import_statements", import_statements(module_statements));
    nb::setattr(self, "_non_module_inputs_names", nb::list(inputs.keys()));
    return scope->get("TrelvoExecutionRequestModel")(
        nb::arg("cell_code") = self.attr("cell_code"), nb::arg("module_statements") = module_statements,
        nb::arg("non_module_inputs") = inputs, nb::arg("parameters") = parameters);
}

nb::object new_remote_executor(nb::handle self) {
    nb::object config = own(self, Property::remote_config);
    return scope->get("TrelvoRemoteComponentExecutor")(
        nb::arg("identifier") = self.attr("id"), nb::arg("name") = self.attr("name"),
        nb::arg("backend") = config.attr("backend"), nb::arg("broker") = config.attr("broker"));
}

// None when a worker answers the executor's ping, else the message of the failure.
nb::object unreachable_message(nb::handle executor) {
    nb::tuple ping = nb::tuple(executor.attr("ping")());
    if (nb::len(ping) != 2)
        raise(PyExc_ValueError, "expected 2 values to unpack (got %zd)", nb::len(ping));
    if (truth(ping[0])) return nb::none();
    return nb::str("An error occurred creating TrelvoRemoteComponentExecutor: {}").format(nb::str(ping[1]));
}

// The execute_input message that tells the front end which component ran.
void announce_run(nb::handle self) {
    if (!publishes_on_iopub(self)) return;
    nb::dict content;
    content["code"] = self.attr("cell_code");
    content["execution_count"] = self.attr("_ipython_shell").attr("execution_count");
    content["metadata"] = tagged(self);
    publish(self, "execute_input", content);
}

// handle_error(error) with error as the exception being handled, as in an except block.
void fail_with(nb::handle self, nb::handle error) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(error.ptr());
    bool handled = translate_exceptions([&] { self.attr("handle_error")(error); });
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (!handled) throw nb::python_error();
}

nb::object serialized_request(nb::handle self, nb::handle request);

nb::object run_remote(nb::handle self, nb::handle request) {
    nb::object executor = new_remote_executor(self);
    nb::object message = unreachable_message(executor);
    if (!message.is_none()) {
        fail_with(self, nb::borrow(PyExc_RuntimeError)(message));
        return nb::object();
    }
    nb::object cloudpickle = scope->get("cloudpickle");
    nb::object serialized = serialized_request(self, request);
    try {
        nb::object answer = executor.attr("execute")(
            nb::arg("request") = serialized, nb::arg("send_to_front") = false,
            nb::arg("verbose") = false, nb::arg("metadata") = component_metadata(self));
        check_result(answer, &PyBytes_Type);
        return cloudpickle.attr("loads")(answer);
    } catch (nb::python_error& error) {
        // A lost worker, a failed task or an answer that cannot be read: the component fails
        // with the reason, it does not stay RUNNING.
        if (!error.matches(PyExc_Exception)) throw;
        fail_with(self, error.value());
        return nb::object();
    }
}

nb::object run_and_show(const Args& a);

nb::object execute(const Args& a) {
    // What the run prints and shows is the component's; IPython's output history keeps none
    // of it (200 runs printing 1 MB would keep 200 MB there).
    nb::object shell = a[0].attr("_ipython_shell");
    if (shell.is_none()) return run_and_show(a);
    OutputHistoryMark history(shell);
    try {
        nb::object result = run_and_show(a);
        history.restore();
        return result;
    } catch (nb::python_error&) {
        history.restore();
        throw;
    }
}

nb::object run_and_show(const Args& a) {
    nb::handle self = a[0];
    check_run_arguments(a[1], a[2], a[3]);
    bool send_to_front = truth(a[4]), verbose = truth(a[5]);
    nb::object request = start_run(self, a[1], a[2], a[3]);

    bool remote = !own(self, Property::remote_config).is_none();
    nb::object response;
    if (remote) {
        response = run_remote(self, request);
        if (!response.is_valid()) return nb::none();
    } else {
        response = scope->get("execute_in_shell")(
            nb::arg("ipython_shell") = self.attr("_ipython_shell"), nb::arg("request") = request,
            nb::arg("send_to_front") = nb::bool_(send_to_front), nb::arg("verbose") = nb::bool_(verbose),
            nb::arg("metadata") = component_metadata(self));
    }
    self.attr("load_memory_cache")(nb::arg("cache") = response.attr("result"));
    self.attr("clear_diskcache")();

    announce_run(self);
    if (has_status(self, "FAILED")) {
        if (send_to_front) self.attr("show_exception_msg")();
        return nb::none();
    }
    // The outputs go into the shell before the last output is shown: an object that displays
    // itself may use the names its cell made.
    nb::object shell = self.attr("_ipython_shell");
    if (!shell.is_none()) {
        nb::object outputs = typed(own(self, Property::outputs), &PyDict_Type);
        if (!outputs.is_none()) shell.attr("push")(outputs);
    }
    if (send_to_front) {
        if (remote) self.attr("show_captured")();
        if (truth(scope->get("is_io_redirected")())) self.attr("show_last_output")();
    }
    return own(self, Property::last_output);
}

nb::object handle_error(const Args& a) {
    nb::handle self = a[0], exc = a[1];
    nb::setattr(self, "status", component_status("FAILED"));
    nb::tuple info = nb::tuple(scope->get("sys").attr("exc_info")());
    // Called by a pool's error callback, nothing is being handled: the message is still this
    // failure's, never an earlier run's.
    if (!info[1].is(exc)) info = nb::make_tuple(exc.type(), exc, nb::getattr(exc, "__traceback__", nb::none()));
    nb::object name = typed(exc.type().attr("__name__"), &PyUnicode_Type);
    nb::object text = nb::str(info[1]);
    if (PyObject_IsInstance(exc.ptr(), PyExc_KeyboardInterrupt) == 1)
        text = nb::str("Interrupted at component '{}'").format(self.attr("_name"));
    nb::object lines = scope->get("traceback").attr("format_exception")(
        exc, nb::arg("value") = info[1], nb::arg("tb") = info[2], nb::arg("chain") = true);
    nb::object blocks = typed(lines[nb::slice(1, -1)], &PyList_Type);

    long width = nb::cast<long>(scope->get("EXC_LINE_LENGTH"));
    long padding = width - static_cast<long>(nb::len(name));
    nb::list message;
    message.append(nb::str("{}{}{}").format(kRed, nb::str("-") * nb::int_(width), kReset));
    message.append(nb::str("{}{}{}{}").format(
        kRed, name, kReset, scope->get("EXC_TRACEBACK").attr("rjust")(padding > 0 ? padding : 0)));
    message.append(nb::str("{}{}{}").format(kReset, nb::str("").attr("join")(blocks), kReset));
    message.append(nb::str("{}TrelvoPipelineError{}: {}").format(kRed, kReset, text));
    nb::setattr(self, "_exception_msg", message);
    return nb::none();
}

// A display made while the component's result is formatted (an object that displays itself)
// carries the component's metadata, as every other display of the component does.
nb::object tagged_publish(const Args& a) {
    nb::handle closure = a.closure();  // (original publish, component metadata)
    nb::tuple args = nb::borrow<nb::tuple>(a[0]);
    nb::dict kwargs = nb::borrow<nb::dict>(a[1]);
    nb::dict metadata;
    if (kwargs.contains("metadata") && !nb::object(kwargs["metadata"]).is_none())
        metadata.update(nb::borrow<nb::dict>(kwargs["metadata"]));
    else if (nb::len(args) > 1 && !args[1].is_none())
        metadata.update(nb::borrow<nb::dict>(args[1]));
    metadata.update(nb::borrow<nb::dict>(closure[1]));
    if (nb::len(args) > 1) {
        nb::list rest = nb::list(args);
        rest[1] = metadata;
        args = nb::tuple(rest);
    } else {
        kwargs["metadata"] = metadata;
    }
    return closure[0](*args, **kwargs);
}

nb::handle tagged_publish_function;

nb::object formatted_with_metadata(nb::handle self, nb::handle value) {
    nb::object shell = self.attr("_ipython_shell");
    nb::object publisher = shell.attr("display_pub");
    nb::dict metadata;
    metadata["component_id"] = self.attr("id");
    metadata["component_name"] = self.attr("name");
    if (!tagged_publish_function.is_valid())
        tagged_publish_function = make_function({"publish", "publish", scope->name(), "",
                                                 {star_args("args"), star_kwargs("kwargs")}, "Any", tagged_publish})
                                      .release();
    bool own_attribute = nb::borrow<nb::dict>(publisher.attr("__dict__")).contains("publish");
    nb::object original = publisher.attr("publish");
    publisher.attr("publish") = make_closure(tagged_publish_function, nb::make_tuple(original, metadata));
    auto restore = [&] {
        if (own_attribute) publisher.attr("publish") = original;
        else nb::delattr(publisher, "publish");
    };
    try {
        nb::object formatted = shell.attr("display_formatter").attr("format")(value);
        restore();
        return formatted;
    } catch (...) {
        restore();
        throw;
    }
}

nb::object show_last_output(const Args& a) {
    nb::handle self = a[0];
    nb::object value = own(self, Property::last_output);
    if (value.is_none()) return nb::none();
    if (publishes_on_iopub(self)) {
        // One result: the format data as data and its metadata as metadata. An object that
        // displayed itself while being formatted has no data left to show.
        nb::tuple formatted = nb::tuple(formatted_with_metadata(self, value));
        nb::object data = formatted[0];
        if (!nb::len(data)) return nb::none();
        nb::dict metadata = nb::steal<nb::dict>(PyDict_Copy(nb::object(formatted[1]).ptr()));
        metadata.update(tagged(self));
        nb::dict content;
        content["execution_count"] = self.attr("_ipython_shell").attr("execution_count");
        content["data"] = data;
        content["metadata"] = metadata;
        publish(self, "execute_result", content);
        return nb::none();
    }
    nb::object out = scope->get("sys").attr("stdout");
    out.attr("write")(nb::repr(value));
    out.attr("flush")();
    return nb::none();
}

void show_records(nb::handle self, nb::handle records, nb::handle component_id) {
    scope->get("TrelvoSelkin")(nb::arg("captured") = records,
                               nb::arg("ipython_shell") = self.attr("_ipython_shell"))
        .attr("show")(nb::arg("component_id") = component_id);
}

nb::object show_captured(const Args& a) {
    nb::object captured = own(a[0], Property::captured);
    if (truth(captured)) show_records(a[0], captured, a[0].attr("_id"));
    return nb::none();
}

nb::object show_exception_msg(const Args& a) {
    nb::object message = own(a[0], Property::exception_msg);
    if (!truth(message)) return nb::none();
    nb::list records;
    records.append(scope->get("TrelvoCapturedModel")(
        nb::arg("type") = "stream", nb::arg("name") = "stderr",
        nb::arg("text") = nb::str("\n").attr("join")(message)));
    show_records(a[0], records, a[0].attr("id"));
    return nb::none();
}

// ---- asynchronous runs ----

// The request as bytes for a worker. An input or parameter that cannot be pickled fails the
// run here, named with its type, before anything is sent.
nb::object serialized_request(nb::handle self, nb::handle request) {
    nb::object dumps = scope->get("cloudpickle").attr("dumps");
    try {
        return typed(dumps(request), &PyBytes_Type);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        for (const char* field : {"non_module_inputs", "parameters", "credentials"}) {
            nb::object values = request.attr(field);
            if (values.is_none()) continue;
            for (auto [name, value] : dict_state(values)) {
                try {
                    dumps(value);
                } catch (nb::python_error& culprit) {
                    if (!culprit.matches(PyExc_Exception)) throw;
                    nb::object message = nb::str(
                        "The input '{}' ({}) of component '{}' cannot be sent to a worker "
                        "process: {}").format(name, value.type().attr("__name__"),
                                              self.attr("_name"), culprit.value());
                    nb::object failure = nb::borrow(PyExc_TypeError)(message);
                    fail_with(self, failure);
                    PyErr_SetObject(PyExc_TypeError, message.ptr());
                    throw nb::python_error();
                }
            }
        }
        fail_with(self, error.value());
        throw;
    }
}

nb::object execute_async(const Args& a) {
    nb::handle self = a[0], pool = a[1];
    nb::int_ iopub_port = arg_int(a[2], "iopub_port");
    check_run_arguments(a[3], a[4], a[5]);
    bool send_to_front = truth(a[6]);
    nb::object request = start_run(self, a[3], a[4], a[5]);
    nb::object serialized = serialized_request(self, request);

    nb::object callback = self.attr("_execute_async_result");
    nb::object error_callback = self.attr("handle_error");
    nb::object config = own(self, Property::remote_config);
    if (config.is_none()) {
        return pool.attr("apply_async")(
            nb::arg("func") = scope->get("execute_in_process"),
            nb::arg("args") = nb::make_tuple(iopub_port, serialized, nb::bool_(send_to_front), false,
                                             component_metadata(self)),
            nb::arg("callback") = callback, nb::arg("error_callback") = error_callback);
    }
    nb::object executor = new_remote_executor(self);
    nb::object message = unreachable_message(executor);
    if (!message.is_none()) {
        nb::setattr(self, "status", component_status("FAILED"));
        PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        throw nb::python_error();
    }
    return pool.attr("apply_async")(
        nb::arg("func") = executor.attr("execute"),
        nb::arg("args") = nb::make_tuple(serialized, false, false, component_metadata(self)),
        nb::arg("callback") = callback, nb::arg("error_callback") = error_callback);
}

nb::object execute_async_result(const Args& a) {
    nb::handle self = a[0];
    nb::bytes answer = arg_bytes(a[1], "response");
    // Runs on the pool's result thread: an exception here would end that thread and leave this
    // and every later component RUNNING. The component fails with the reason instead.
    try {
        nb::object response = scope->get("cloudpickle").attr("loads")(answer);
        self.attr("load_memory_cache")(nb::arg("cache") = response.attr("result"));
        self.attr("clear_diskcache")();
        announce_run(self);
        return own(self, Property::last_output);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        nb::object message = nb::str("The result of component '{}' cannot be loaded in this "
                                     "process: {}").format(self.attr("_name"), error.value());
        nb::object failure = nb::borrow(PyExc_RuntimeError)(message);
        PyException_SetCause(failure.ptr(), error.value().inc_ref().ptr());
        fail_with(self, failure);
        return nb::none();
    }
}

}  // namespace trelvo::components::norvel

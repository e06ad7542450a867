// The execution engine: runs a component's cell in a clean namespace of an IPython shell and
// turns the run into a response model; also the body of a worker process.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "model_template.hpp"
#include "output_history.hpp"
#include "strings.hpp"
#include "text.hpp"
#include "traits.hpp"

#include <array>
#include <utility>

namespace trelvo::executors::component_executor::dastrin {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

constexpr std::array<const char*, 17> kShellInitLocals = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__builtin__",
    "__builtins__", "__annotations__", "_ih", "_oh", "_dh", "In", "Out", "get_ipython",
    "exit", "quit", "open"};

constexpr const char* kHistoryNamePattern = R"([_]+[i\d]*$)";

constexpr const char* kNonSerializableWarning =
    "Warning: Trelvo pipeline does not support non-serializable objects by policy in order to "
    "pass objects from a parent component to a child component. Objects ";
constexpr const char* kNonSerializableAdvice =
    "\" cannot be serialized. so these are only available in the component in which they have "
    "been declared. If necessary, please redefine the objects in the child components\n";

// Names looked up on every run, interned once.
struct Names {
    nb::str init_locals = intern("SHELL_INIT_LOCALS"), quiet = intern("quiet"),
            update_user_ns = intern("update_user_ns"), start = intern("start_displayhook"),
            write_prompt = intern("write_output_prompt"), finish = intern("finish_displayhook"),
            compute_format_data = intern("compute_format_data"), displayhook = intern("displayhook"),
            module_statements = intern("module_statements"),
            non_module_inputs = intern("non_module_inputs"), parameters = intern("parameters"),
            credentials = intern("credentials"), show_traceback = intern("_showtraceback"),
            run_cell = intern("run_cell"), success = intern("success"),
            manager_class = intern("TrelvoPellory"), own_metadata = intern("_metadata");
    nb::tuple run_cell_keywords = keyword_names({"raw_cell", "store_history"});
};
const Names* names = nullptr;

// SHELL_INIT_LOCALS as a frozenset for the membership tests of every run, rebuilt when the
// module constant is replaced.
nb::object init_names() {
    static auto* cached = new std::pair<nb::object, nb::object>();  // (the list, its set)
    nb::object current = scope->get(names->init_locals);
    if (!current.is(cached->first)) {
        PyObject* names = PyFrozenSet_New(current.ptr());
        if (!names) throw nb::python_error();
        *cached = {current, nb::steal(names)};
    }
    return cached->second;
}

nb::dict user_ns(nb::handle shell) {
    nb::object ns = shell.attr("user_ns");
    check_result(ns, &PyDict_Type, false);
    return nb::borrow<nb::dict>(ns);
}

// Removes every name but the ones a fresh IPython namespace holds.
void clear_namespace(nb::dict ns) {
    PyObject* keep = init_names().ptr();
    std::vector<nb::object> doomed;  // named first: a dict must not change while it is walked
    doomed.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(ns.ptr())));
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(ns.ptr(), &position, &name, &value)) {
        int kept = PySet_Contains(keep, name);
        if (kept < 0) throw nb::python_error();
        if (!kept) doomed.push_back(nb::borrow(name));
    }
    for (const nb::object& name : doomed)
        if (PyDict_DelItem(ns.ptr(), name.ptr()) < 0) throw nb::python_error();
}

// The saved names go straight back into the namespace: shell.push would also unhide IPython's
// own names (In, Out, exit, get_ipython, ...) and they would show as user variables. What the
// run left is let go only once the namespace is whole again, so no finaliser sees it half made.
void restore_namespace(nb::dict ns, nb::handle saved) {
    nb::object left = nb::steal(PyDict_Copy(ns.ptr()));
    if (!left.is_valid()) throw nb::python_error();
    PyDict_Clear(ns.ptr());
    if (PyDict_Update(ns.ptr(), saved.ptr()) < 0) throw nb::python_error();
}

bool is_history_name(nb::handle name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    std::string_view view = text ? std::string_view(text, static_cast<std::size_t>(size)) : "";
    bool plain_ascii = text && PyUnicode_IS_ASCII(name.ptr()) && view.find('\n') == view.npos;
    if (!text) PyErr_Clear();
    if (plain_ascii) return core::is_history_name(view);
    // Unicode digits and a final newline: let the regular expression decide.
    return !scope->get("re").attr("match")(kHistoryNamePattern, name).is_none();
}

nb::object get_last_traceback(const Args& a) {
    nb::handle shell = a[0];
    nb::tuple info = nb::tuple(shell.attr("_get_exc_info")());
    if (nb::len(info) != 3)
        raise(PyExc_ValueError, "expected 3 values to unpack (got %zd)", nb::len(info));
    nb::object etype = info[0], evalue = info[1], tb = info[2];
    nb::object version = scope->get("sys").attr("version_info");
    bool syntax_path = nb::cast<int>(version.attr("major")) >= 3 &&
                       nb::cast<int>(version.attr("minor")) >= 11 && PyType_Check(etype.ptr()) &&
                       PyObject_IsSubclass(etype.ptr(), PyExc_SyntaxError) == 1;
    nb::object traceback =
        syntax_path
            ? shell.attr("SyntaxTB").attr("structured_traceback")(nb::arg("etype") = etype,
                                                                  nb::arg("evalue") = evalue)
            : shell.attr("InteractiveTB").attr("structured_traceback")(
                  nb::arg("etype") = etype, nb::arg("evalue") = evalue, nb::arg("etb") = tb);
    check_result(traceback, &PyList_Type);
    return traceback;
}

nb::object run_cell(const Args& a) {
    nb::handle shell = a[0];
    nb::str code = arg_str(a[1], "cell_code");
    nb::object result = call_with_keywords(shell.attr(names->run_cell), {code, Py_False},
                                           names->run_cell_keywords);
    if (!arg_bool(result.attr(names->success))) {
        nb::object traceback = scope->get("_get_last_traceback")(nb::arg("ipython_shell") = shell);
        clear_namespace(user_ns(shell));
        return nb::make_tuple(false, nb::none(), traceback);
    }
    return nb::make_tuple(true, result.attr("result"), nb::none());
}

// The module's own _run_cell and format_code, called directly on every run while the module
// still holds them (a replacement is called as any Python function).
nb::handle own_run_cell, own_format_code;

nb::tuple call_run_cell(nb::handle shell, nb::handle code) {
    nb::object function = scope->get("_run_cell");
    if (!function.is(own_run_cell)) return nb::tuple(function(shell, code));
    PyObject* args[] = {shell.ptr(), code.ptr()};
    return nb::borrow<nb::tuple>(run_cell(Args(args, 2, nullptr)));
}

// A component's every run formats its same cell: the last answer is kept.
nb::object formatted_code(nb::handle code) {
    nb::object function = scope->get("format_code");
    if (!function.is(own_format_code)) return function(code);
    static auto* last = new std::pair<nb::object, nb::object>();  // (code, formatted)
    nb::str text = arg_str(code, "code");
    bool exact = PyUnicode_CheckExact(text.ptr());
    if (exact && last->first.is_valid() &&
        (text.is(last->first) || PyUnicode_Compare(text.ptr(), last->first.ptr()) == 0))
        return last->second;
    nb::object formatted = from_utf8(core::normalize_cell_code(utf8(text)));
    if (exact) *last = {text, formatted};
    return formatted;
}

nb::dict request_dict(nb::handle request, nb::handle field) {
    nb::object value = request.attr(field);
    if (value.is_none()) return nb::dict();
    check_result(value, &PyDict_Type, false);
    return nb::borrow<nb::dict>(value);
}

nb::dict merged(std::initializer_list<nb::dict> dicts) {
    nb::dict result;
    for (const nb::dict& d : dicts) result.update(d);
    return result;
}

std::string import_code(nb::dict module_statements) {
    std::vector<std::pair<std::string, std::string>> statements;
    for (auto [symbol, statement] : module_statements)
        statements.emplace_back(utf8(nb::str(symbol)), utf8(nb::str(statement)));
    return core::build_import_code(statements);
}

// The run's models: the engine's values are of the declared types and its own, so validating
// them again (which copies every dict and list of the run) changes nothing.
struct RunModels {
    ModelTemplate summary{*scope, "TrelvoComponentOutputsSummaryModel", {}, {}};
    ModelTemplate cache{*scope, "TrelvoCacheModel",
                        {nb::dict(), nb::dict(), nb::none(), nb::list(),
                         scope->get("TrelvoComponentOutputsSummaryModel")()},
                        {"module_statements", "non_module_outputs", "last_output", "captured",
                         "outputs_summary"}};
    ModelTemplate failure_cache{*scope, "TrelvoCacheModel", {nb::list(), nb::list()},
                                {"exception_msg", "captured"}};
    ModelTemplate response{*scope, "TrelvoExecutionResponseModel",
                           {scope->get("HTTPStatus").attr("OK"), scope->get("TrelvoCacheModel")(),
                            nb::none()},
                           {"status", "result", "message"}};
    // The statuses, looked up once: an enum member is a descriptor call each time.
    nb::object ok = scope->get("HTTPStatus").attr("OK"),
               server_error = scope->get("HTTPStatus").attr("INTERNAL_SERVER_ERROR");
};
const RunModels* models = nullptr;

// A failed run keeps what the cell wrote before it raised (None when the imports failed).
nb::object failure_response(nb::handle shell, nb::handle traceback,
                            nb::handle captured = nb::none()) {
    nb::object cache = models->failure_cache.make({traceback, captured});
    return models->response.make({models->server_error, cache,
                                  shell.attr("InteractiveTB").attr("stb2text")(traceback)});
}

// An input the run left equal to its given value: not listed in the summary. A comparison that
// fails counts as equal.
bool unchanged_input(nb::dict given, nb::handle name, nb::handle value) {
    PyObject* original = PyDict_GetItemWithError(given.ptr(), name.ptr());
    if (!original) {
        if (!PyErr_Occurred()) return false;
        PyErr_Clear();
        return true;
    }
    PyObject* comparison = PyObject_RichCompare(value.ptr(), original, Py_EQ);
    int truth = comparison ? PyObject_IsTrue(comparison) : -1;
    Py_XDECREF(comparison);
    if (truth < 0) {
        PyErr_Clear();
        return true;
    }
    return truth == 1;
}

void append_name(nb::handle summary, const char* kind, nb::handle name) {
    nb::object names = summary.attr(kind);
    if (!PyList_CheckExact(names.ptr())) {
        names.attr("append")(name);
    } else if (PyList_Append(names.ptr(), name.ptr()) < 0) {
        throw nb::python_error();
    }
}

nb::object summarise(nb::dict non_module_outputs, nb::dict non_module_locals,
                     nb::handle converted_statements, nb::dict requested_statements) {
    nb::object summary = models->summary.make({});
    for (auto [name, value] : non_module_outputs) {
        if (unchanged_input(non_module_locals, name, value)) continue;
        const char* kind = PyType_Check(value.ptr())       ? "classes"
                           : PyFunction_Check(value.ptr()) ? "functions"
                                                           : "objects";
        append_name(summary, kind, name);
    }
    if (converted_statements.is_none())
        raise(PyExc_TypeError, "'NoneType' object is not iterable");
    for (nb::handle name : converted_statements)
        if (!requested_statements.contains(name)) append_name(summary, "modules", name);
    return summary;
}

// A function that came through pickling (from a worker, a celery worker or a disk cache) has
// globals of its own holding only what they held when it was pickled, after its cell's namespace
// was gone. For the run it is rebound to the shell's namespace, which holds the names the cell
// reads, as it would in the notebook; the outputs give back the function that was passed.
bool has_detached_globals(nb::handle value, nb::handle namespace_) {
    if (!PyFunction_Check(value.ptr())) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(value.ptr());
    if (globals == namespace_.ptr()) return false;
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");
    PyObject* module = module_name ? PyImport_GetModule(module_name) : nullptr;
    if (!module) {
        PyErr_Clear();
        return true;
    }
    bool own = PyModule_Check(module) && PyModule_GetDict(module) == globals;
    Py_DECREF(module);
    return !own;
}

nb::object rebound(nb::handle function, nb::handle namespace_) {
    PyObject* f = function.ptr();
    PyObject* copy = PyFunction_New(PyFunction_GET_CODE(f), namespace_.ptr());
    if (!copy) throw nb::python_error();
    nb::object result = nb::steal(copy);
    for (const char* name : {"__defaults__", "__kwdefaults__", "__closure__", "__name__",
                             "__qualname__", "__module__", "__doc__", "__annotations__", "__dict__"}) {
        if (std::string_view(name) == "__closure__") {
            if (PyFunction_GET_CLOSURE(f) && PyFunction_SetClosure(copy, PyFunction_GET_CLOSURE(f)) < 0)
                throw nb::python_error();
            continue;
        }
        nb::setattr(result, name, nb::getattr(function, name));
    }
    return result;
}

// Set while execute_in_process runs a request: the worker's own kernel is the only way its
// results reach the front end, so IPython shows them there itself.
bool in_worker = false;

struct InWorker {
    InWorker() { in_worker = true; }
    ~InWorker() { in_worker = false; }
};

nb::object ignore_traceback(const Args&) { return nb::none(); }
nb::object do_nothing(const Args&) { return nb::none(); }
nb::object no_format_data(const Args&) { return nb::make_tuple(nb::dict(), nb::dict()); }
nb::object quiet_from_closure(const Args& a) { return nb::borrow(a.closure()); }

// The display hook's quiet during a run: one function for each answer, made once.
nb::handle quiet_function(bool quiet) {
    static PyObject* functions[2] = {};
    PyObject*& function = functions[quiet];
    if (!function)
        function = make_closure(scope->get("_quiet_from_closure"), nb::bool_(quiet)).release().ptr();
    return function;
}

// Attributes set on one object for the span of a scope; then its own values again, or none.
class InstancePatches {
public:
    explicit InstancePatches(nb::handle target) : target_(nb::borrow(target)) {
        patched_.reserve(6);
        PyObject** dict = _PyObject_GetDictPtr(target_.ptr());
        if (dict && *dict) own_ = nb::borrow<nb::dict>(*dict);
    }
    InstancePatches(const InstancePatches&) = delete;
    InstancePatches& operator=(const InstancePatches&) = delete;
    ~InstancePatches() {
        for (auto& [name, own] : patched_) {
            int done = own.is_valid() ? PyObject_SetAttr(target_.ptr(), name.ptr(), own.ptr())
                                      : PyObject_DelAttr(target_.ptr(), name.ptr());
            if (done < 0) PyErr_Clear();
        }
    }
    void set(nb::handle name, nb::handle value) {
        PyObject* own = own_.is_valid() ? PyDict_GetItemWithError(own_.ptr(), name.ptr()) : nullptr;
        if (!own && PyErr_Occurred()) throw nb::python_error();
        patched_.emplace_back(name, own ? nb::borrow(own) : nb::object());
        if (PyObject_SetAttr(target_.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
    }

private:
    nb::object target_;
    nb::object own_;  // the target's instance dict, where values of its own live
    std::vector<std::pair<nb::handle, nb::object>> patched_;
};

// Whether the cell's own code ends an expression with ";". IPython reads the last cell of the
// history, which the run does not enter.
bool ends_quietly(nb::handle shell, nb::handle code) {
    // Most cells hold no semicolon at all: no need to transform and tokenize them.
    if (PyUnicode_FindChar(code.ptr(), ';', 0, PY_SSIZE_T_MAX, 1) < 0) return false;
    try {
        nb::object python = shell.attr("transform_cell")(code);
        return arg_bool(scope->get("DisplayHook").attr("semicolon_at_end_of_expression")(python));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;  // unreadable code shows nothing
        return false;
    }
}

// The shell during a cell's run, patched on its instances: the display hook's quiet reads the
// cell's own code, and the value does not go into Out and _ (nothing would ever free it). Unless
// IPython shows the run's results itself (in a worker with the front end on), the value is only
// stored, not displayed, and a failure's traceback is not shown: the component shows both, once.
class QuietShell {
public:
    QuietShell(nb::handle shell, nb::handle code, bool ipython_shows)
        : hook_(trait_value(shell, names->displayhook)), shell_(shell) {
        hook_.set(names->quiet, quiet_function(ends_quietly(shell, code)));
        nb::object do_nothing = scope->get("_do_nothing");
        hook_.set(names->update_user_ns, do_nothing);
        if (ipython_shows) return;
        for (const nb::str* name : {&names->start, &names->write_prompt, &names->finish})
            hook_.set(*name, do_nothing);
        hook_.set(names->compute_format_data, scope->get("_no_format_data"));
        shell_.set(names->show_traceback, scope->get("_ignore_traceback"));
    }

private:
    InstancePatches hook_, shell_;
};

// ---- the capture manager ----

// The manager that captures a run. The last one is kept and serves the next run while it is
// still current, so that a run does not save and bind a dozen callables anew. A run inside a
// run gets a new one. The kept manager holds on to the shell of the last run.
nb::object capture_manager(nb::handle shell, nb::handle metadata) {
    static auto* kept = new nb::object();
    bool current = false;
    try {
        current = kept->is_valid() &&
                  Py_TYPE(kept->ptr()) ==
                      reinterpret_cast<PyTypeObject*>(scope->get(names->manager_class).ptr()) &&
                  arg_bool(scope->get("_still_current")(*kept, shell));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;  // a new manager meets it, if it is real
    }
    if (current) {
        nb::setattr(*kept, names->own_metadata, metadata);
        return *kept;
    }
    *kept = scope->get(names->manager_class)(metadata, shell);
    return *kept;
}

// The value itself, or the function given as input when value is its rebound copy.
nb::object passed_function(nb::dict originals, nb::handle value) {
    if (PyDict_GET_SIZE(originals.ptr()) == 0) return nb::borrow(value);
    nb::object given = originals.attr("get")(nb::int_(reinterpret_cast<std::uintptr_t>(value.ptr())));
    return given.is_none() ? nb::borrow(value) : given;
}

struct Run {
    nb::handle shell;
    nb::dict ns;  // the shell's namespace, which the run clears and restores
    nb::object request;
    nb::dict module_statements, non_module_inputs, parameters, credentials, non_module_locals;
};

// The run proper, from the import statements to the response; the namespace is the clean one.
nb::object run_in_clean_namespace(const Run& run, nb::handle send_to_front, nb::handle verbose,
                                  nb::handle metadata, nb::object& pellory, bool& wrapped,
                                  nb::handle saved_locals) {
    nb::handle shell = run.shell;
    nb::tuple imported = call_run_cell(shell, from_utf8(import_code(run.module_statements)));
    if (!arg_bool(imported[0])) {
        restore_namespace(run.ns, saved_locals);
        return failure_response(shell, imported[2]);
    }
    nb::dict pushed = run.non_module_locals, originals;
    nb::dict namespace_ = run.ns;
    for (auto [name, value] : run.non_module_inputs) {
        if (!has_detached_globals(value, namespace_) || run.parameters.contains(name) ||
            run.credentials.contains(name))
            continue;
        if (pushed.is(run.non_module_locals)) pushed = nb::borrow<nb::dict>(pushed.attr("copy")());
        nb::object copy = rebound(value, namespace_);
        pushed[name] = copy;
        originals[nb::int_(reinterpret_cast<std::uintptr_t>(copy.ptr()))] = value;
    }
    if (PyDict_GET_SIZE(pushed.ptr()) > 0) shell.attr("push")(pushed);

    nb::list captured;
    pellory = capture_manager(shell, metadata);
    pellory.attr("wrap_methods")(captured, send_to_front, verbose);
    wrapped = true;
    nb::object formatted = formatted_code(run.request.attr("cell_code"));
    check_result(formatted, &PyUnicode_Type);
    nb::tuple ran;
    {
        // IPython's own display of results and failures (on IOPub, or printed into the captured
        // output) only where it is the way to the front end: in a worker with the front end on.
        QuietShell quiet(shell, formatted, arg_bool(send_to_front) && in_worker);
        ran = call_run_cell(shell, formatted);
    }
    if (!arg_bool(ran[0])) {
        if (arg_bool(verbose)) {
            nb::object text = shell.attr("InteractiveTB").attr("stb2text")(ran[2]);
            nb::str plain = from_utf8(core::strip_ansi(utf8(text)));
            pellory.attr("logger").attr("error")(plain);
        }
        wrapped = false;
        pellory.attr("unwrap_methods")();
        restore_namespace(run.ns, saved_locals);
        return failure_response(shell, ran[2], captured);
    }
    wrapped = false;
    pellory.attr("unwrap_methods")();

    nb::dict secrets = merged({run.parameters, run.credentials});
    nb::object init_locals = init_names();
    nb::dict non_module_outputs, module_outputs;
    for (auto [name, value] : run.ns) {
        // Only str keys name variables.
        if (!PyUnicode_Check(name.ptr()) || contains(init_locals, name) || is_history_name(name) ||
            secrets.contains(name))
            continue;
        (PyModule_Check(value.ptr()) ? module_outputs : non_module_outputs)[name] =
            passed_function(originals, value);
    }
    // Most cells import nothing: then there is nothing to convert.
    nb::object converted = PyDict_GET_SIZE(module_outputs.ptr()) == 0
                               ? nb::object(nb::dict())
                               : scope->get("convert_modules_to_statements")(module_outputs);
    nb::object summary =
        summarise(non_module_outputs, run.non_module_locals, converted, run.module_statements);
    nb::object cache =
        models->cache.make({converted, non_module_outputs, ran[1], captured, summary});
    restore_namespace(run.ns, saved_locals);
    return models->response.make({models->ok, cache, nb::none()});
}

nb::object execute_in_shell(const Args& a) {
    nb::handle shell = a[0];
    check_arg(a[4], "metadata", &PyDict_Type, true);
    bool send_to_front = arg_bool(a[2]), verbose = arg_bool(a[3]);
    Run run{shell, user_ns(shell), nb::borrow(a[1])};
    run.module_statements = request_dict(a[1], names->module_statements);
    run.non_module_inputs = request_dict(a[1], names->non_module_inputs);
    run.parameters = request_dict(a[1], names->parameters);
    run.credentials = request_dict(a[1], names->credentials);
    run.non_module_locals = merged({run.non_module_inputs, run.parameters, run.credentials});

    nb::object saved_locals = nb::steal(PyDict_Copy(run.ns.ptr()));
    if (!saved_locals.is_valid()) throw nb::python_error();
    OutputHistoryMark history(shell);
    nb::object pellory;
    bool wrapped = false;
    try {
        clear_namespace(run.ns);
        nb::object response = run_in_clean_namespace(run, nb::bool_(send_to_front),
                                                     nb::bool_(verbose), a[4], pellory, wrapped,
                                                     saved_locals);
        history.restore();
        return response;
    } catch (nb::python_error& error) {
        // A failure of the machinery (not of the cell): the caller's kernel gets its output
        // and its variables back before the error goes on.
        try {
            if (wrapped) pellory.attr("unwrap_methods")();
            restore_namespace(run.ns, saved_locals);
            history.restore();
        } catch (nb::python_error& cleanup_error) {
            cleanup_error.discard_as_unraisable("restoring the shell after a failed run");
        }
        throw;
    }
}

// The shell's namespace holding a run's results again (its imports and variables), for the
// span of the scope; then as it was.
class RunNamesBack {
public:
    RunNamesBack(nb::handle shell, nb::handle result) : shell_(shell) {
        nb::dict ns = user_ns(shell);
        saved_ = ns.attr("copy")();
        nb::object statements = result.attr("module_statements");
        if (!statements.is_none() && PyObject_IsTrue(statements.ptr()) == 1) {
            try {
                scope->get("exec")(from_utf8(import_code(nb::borrow<nb::dict>(statements))), ns);
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_Exception)) throw;  // the modules are pickled by name anyway
            }
        }
        nb::object outputs = result.attr("non_module_outputs");
        if (!outputs.is_none()) ns.update(nb::borrow<nb::dict>(outputs));
    }
    ~RunNamesBack() {
        translate_exceptions([&] { restore_namespace(user_ns(shell_), saved_); });
        PyErr_Clear();
    }

private:
    nb::handle shell_;
    nb::object saved_;
};

nb::object execute_in_process(const Args& a) {
    nb::int_ port = arg_int(a[0], "iopub_port");
    nb::bytes request = arg_bytes(a[1], "request");
    check_arg(a[4], "metadata", &PyDict_Type, true);
    nb::object metadata = a[4].is_none() ? nb::object(nb::dict()) : nb::borrow(a[4]);

    long iopub_port = nb::cast<long>(port);
    const char* iopub_mode = "connect";
    if (iopub_port <= 0) {
        iopub_port = 0;
        iopub_mode = "bind";
    }
    nb::object app = scope->get("TrelvoIPKernelApp").attr("instance")();
    nb::list argv;
    argv.append("--shell=0");
    argv.append(nb::str("--iopub={}").format(iopub_port));
    argv.append("--control=0");
    argv.append("--stdin=0");
    app.attr("initialize")(nb::arg("argv") = argv, nb::arg("iopub_mode") = iopub_mode);
    nb::object shell = app.attr("shell");

    nb::object cloudpickle = scope->get("cloudpickle");
    nb::object response;
    {
        InWorker worker;
        response = scope->get("execute_in_shell")(
            nb::arg("ipython_shell") = shell, nb::arg("request") = cloudpickle.attr("loads")(request),
            nb::arg("send_to_front") = nb::bool_(arg_bool(a[2])),
            nb::arg("verbose") = nb::bool_(arg_bool(a[3])), nb::arg("metadata") = metadata);
    }
    nb::object http_status = scope->get("HTTPStatus");
    if (!response.attr("status").equal(http_status.attr("OK"))) {
        nb::object dumped = cloudpickle.attr("dumps")(response);
        check_result(dumped, &PyBytes_Type);
        return dumped;
    }

    nb::object result = response.attr("result");
    // Functions and classes the cell made are pickled with the globals they use, which cloudpickle
    // looks up in the shell's namespace: hold the run's names there while the results are pickled.
    RunNamesBack names(shell, result);
    // Usually everything pickles: then once, as a whole. Otherwise the parts are tried one by
    // one and what fails is left out.
    try {
        nb::object dumped = cloudpickle.attr("dumps")(response);
        check_result(dumped, &PyBytes_Type);
        return dumped;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    if (!result.attr("last_output").is_none()) {
        try {
            cloudpickle.attr("dumps")(result.attr("last_output"));
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            response.attr("status") = http_status.attr("PARTIAL_CONTENT");
            response.attr("message") = "Warning";
            result.attr("last_output") = nb::none();
        }
    }
    nb::list non_serializable;
    nb::object outputs = result.attr("non_module_outputs");
    for (auto [name, value] : dict_state(outputs)) {
        try {
            cloudpickle.attr("dumps")(value);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            non_serializable.append(name);
        }
    }
    if (nb::len(non_serializable) > 0) {
        response.attr("status") = http_status.attr("PARTIAL_CONTENT");
        nb::object component_name = metadata.attr("get")("component_name", "");
        response.attr("message") = nb::str("{}{} in component \"{}{}")
                                       .format(kNonSerializableWarning, nb::str(non_serializable),
                                               nb::str(component_name), kNonSerializableAdvice);
        if (result.attr("captured").is_none()) result.attr("captured") = nb::list();
        result.attr("captured").attr("append")(scope->get("TrelvoCapturedModel")(
            nb::arg("type") = "stream", nb::arg("name") = "stderr",
            nb::arg("text") = response.attr("message")));
        for (nb::handle name : non_serializable) outputs.attr("pop")(name);
    }
    nb::object dumped = cloudpickle.attr("dumps")(response);
    check_result(dumped, &PyBytes_Type);
    return dumped;
}

void bind_imports(const Scope& s) {
    s.import("inspect");
    s.import_from("builtins", {"exec"});
    s.import("re");
    s.import("sys");
    s.import_from("http", {"HTTPStatus"});
    s.import_from("typing", {"Any", "Dict", "List", "Optional", "Tuple"});
    s.import("cloudpickle");
    s.import_from("IPython.core.interactiveshell", {"ExecutionResult", "InteractiveShell"});
    s.import_from("IPython.core.displayhook", {"DisplayHook"});
    s.import_from("trelvo_core.capture", {"TrelvoPellory"});
    s.import_from("trelvo_core.capture.pellory", {"_still_current"});
    s.import_from("trelvo_core.common.utils", {"convert_modules_to_statements", "format_code"});
    s.import_from("trelvo_core.ipython", {"TrelvoIPKernelApp"});
    s.import_from("trelvo_core.misc.models",
                  {"TrelvoCacheModel", "TrelvoCapturedModel", "TrelvoComponentOutputsSummaryModel",
                   "TrelvoExecutionRequestModel", "TrelvoExecutionResponseModel"});
    nb::list init_locals;
    for (const char* name : kShellInitLocals) init_locals.append(name);
    s.set("SHELL_INIT_LOCALS", init_locals);
}

void register_functions(const Scope& s) {
    nb::object none = nb::none(), yes = nb::bool_(true), no = nb::bool_(false);
    define_function(s, "_get_last_traceback", {arg("ipython_shell", "InteractiveShell")},
                    "Optional[List[str]]", get_last_traceback,
                    "The structured traceback of the exception the shell saw last.");
    define_function(s, "_run_cell",
                    {arg("ipython_shell", "InteractiveShell"), arg("cell_code", "str")},
                    "Tuple[bool, Optional[Any], Optional[List[str]]]", run_cell,
                    "Run code without history: (True, result, None), or (False, None, traceback) "
                    "with the namespace cleared.");
    define_function(s, "execute_in_shell",
                    {arg("ipython_shell", "InteractiveShell"),
                     arg("request", "TrelvoExecutionRequestModel"), opt("send_to_front", yes, "bool"),
                     opt("verbose", no, "bool"), opt("metadata", none, "Optional[Dict[str, str]]")},
                    "TrelvoExecutionResponseModel", execute_in_shell,
                    "Run a component's request in the shell, in a clean namespace, capturing its "
                    "output; the shell's namespace is restored on every return.");
    define_function(s, "execute_in_process",
                    {arg("iopub_port", "int"), arg("request", "bytes"),
                     opt("send_to_front", yes, "bool"), opt("verbose", no, "bool"),
                     opt("metadata", none, "Optional[Dict[str, str]]")},
                    "bytes", execute_in_process,
                    "Body of a worker process: start the kernel application with IOPub on the "
                    "given port, run the cloudpickled request and return the cloudpickled "
                    "response without what cannot be pickled.");
}

}  // namespace
}  // namespace trelvo::executors::component_executor::dastrin

NB_MODULE(dastrin, m) {
    using namespace trelvo::executors::component_executor::dastrin;
    scope = new trelvo::py::Scope(m);
    names = new Names();
    bind_imports(*scope);
    models = new RunModels();
    register_functions(*scope);
    own_run_cell = scope->get("_run_cell").release();
    own_format_code = scope->get("format_code").release();
    trelvo::py::define_function(*scope, "_do_nothing", {trelvo::py::star_args("args"), trelvo::py::star_kwargs("kwargs")},
                                "None", do_nothing, "A display-hook step that does nothing.");
    trelvo::py::define_function(*scope, "_no_format_data", {trelvo::py::star_args("args")},
                                "Tuple[dict, dict]", no_format_data, "No format data: nothing to display.");
    trelvo::py::define_function(*scope, "_quiet_from_closure", {}, "bool", quiet_from_closure,
                                "Whether the cell's own code ends in a semicolon.");
    trelvo::py::define_function(*scope, "_ignore_traceback",
                                {trelvo::py::star_args("args"), trelvo::py::star_kwargs("kwargs")},
                                "None", ignore_traceback, "Shows nothing: the response holds the traceback.");
}

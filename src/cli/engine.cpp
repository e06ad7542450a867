// The engine's side of `trelvo run`: an IPython extension loaded into the kernel that runs a
// notebook's cells. It notes what each cell bound at run time, keeps a cell's deadline, and
// stores and loads the namespace's values in the run cache's value store. The runner reaches it
// through user expressions and silent requests, so nothing of it shows in a cell's outputs or
// in the namespace.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"
#include "engine_state.hpp"
#include "engine_values.hpp"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace trelvo::cli::engine {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// The kernel's shell and what this extension keeps between calls; set when the extension loads.
struct Engine {
    nb::object shell;
    nb::dict user_ns, hidden;
    nb::dict before;  // name -> id of its value when the running cell started
    nb::dict state_before;   // process state when the running cell started
    nb::dict initial_state;  // process state when the kernel started
    double timeout = 0;
    nb::object previous_alarm;
};
Engine* engine = nullptr;

Engine& loaded() {
    if (!engine) raise(PyExc_RuntimeError, "the trelvo engine extension is not loaded in this kernel");
    return *engine;
}

nb::object json_loads(nb::handle text) { return scope->get("json").attr("loads")(text); }

// The answer to a user expression: its text/plain form is the JSON itself.
nb::object reply(nb::handle value) {
    nb::object text = scope->get("json").attr("dumps")(value, nb::arg("default") = scope->get("repr"));
    return scope->get("Reply")(text);
}

nb::object reply_repr(const Args& a) { return nb::getattr(a[0], "_text"); }
nb::object reply_init(const Args& a) {
    nb::setattr(a[0], "_text", a[1]);
    return nb::none();
}

bool is_user_name(const Engine& e, nb::handle name) {
    return PyUnicode_Check(name.ptr()) && !e.hidden.contains(name);
}

nb::object id_of(nb::handle value) { return nb::steal(PyLong_FromVoidPtr(value.ptr())); }

// ---- a cell's deadline ---------------------------------------------------------------------

std::string timeout_message(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "the cell was stopped: it ran longer than the %g s timeout", seconds);
    return text;
}

// A builtin rather than one of the package's functions: those show in tracebacks, and the
// cell's traceback should end in the cell.
PyObject* deadline_passed(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TimeoutError, timeout_message(engine ? engine->timeout : 0).c_str());
    return nullptr;
}

PyMethodDef deadline_handler{"_deadline_passed", deadline_passed, METH_VARARGS,
                             "SIGALRM handler: stops the running cell with a TimeoutError."};

// The alarm fires again every second in case the cell swallows the first.
void arm_deadline(Engine& e) {
    if (e.timeout <= 0) return;
    nb::object signal = scope->get("signal");
    e.previous_alarm = signal.attr("signal")(signal.attr("SIGALRM"), scope->get("_deadline_passed"));
    signal.attr("setitimer")(signal.attr("ITIMER_REAL"), e.timeout, 1.0);
}

void disarm_deadline(Engine& e) {
    if (!e.previous_alarm.is_valid()) return;
    nb::object signal = scope->get("signal");
    signal.attr("setitimer")(signal.attr("ITIMER_REAL"), 0);
    signal.attr("signal")(signal.attr("SIGALRM"), e.previous_alarm);
    e.previous_alarm = nb::object();
}

// ---- the cell hooks --------------------------------------------------------------------------

nb::object pre_run_cell(const Args&) {
    Engine& e = loaded();
    e.before = nb::dict();
    for (auto [name, value] : e.user_ns)
        if (is_user_name(e, name)) e.before[name] = id_of(value);
    e.state_before = state_snapshot(*scope);
    arm_deadline(e);
    return nb::none();
}

nb::object post_run_cell(const Args&) {
    disarm_deadline(loaded());
    return nb::none();
}

// ---- what a cell left ----------------------------------------------------------------------

// The importable name of a module bound in the namespace.
nb::object module_name(nb::handle module) {
    nb::object name = nb::getattr(module, "__name__", nb::none());
    nb::object imported_as = nb::getattr(module, "__spec__", nb::none());
    nb::object modules = scope->get("sys").attr("modules");
    if (!name.is_none() && modules.attr("get")(name).is(module)) return name;
    if (!imported_as.is_none() && modules.attr("get")(imported_as.attr("name")).is(module))
        return imported_as.attr("name");
    return name;
}

// The object a value shares its state with: itself, or the array a numpy view looks into.
PyObject* root_of(nb::handle value) {
    nb::object numpy = scope->get("sys").attr("modules").attr("get")("numpy");
    if (numpy.is_none() || !nb::isinstance(value, numpy.attr("ndarray"))) return value.ptr();
    nb::object root = nb::borrow(value);
    for (nb::object base = root.attr("base"); nb::isinstance(base, numpy.attr("ndarray")); base = base.attr("base"))
        root = base;
    return root.ptr();
}

// Stores the values of `names`. Names that share an object (b = a, a view and its array) are
// pickled together, so that loading them together brings the sharing back.
void store(Engine& e, const std::vector<nb::object>& names, const std::string& directory, nb::dict stored,
           nb::dict unstored) {
    std::map<PyObject*, std::vector<nb::object>> groups;
    std::vector<PyObject*> order;
    for (const nb::object& name : names) {
        PyObject* root = root_of(e.user_ns[name]);
        if (!groups.count(root)) order.push_back(root);
        groups[root].push_back(name);
    }
    for (PyObject* root : order) {
        const std::vector<nb::object>& members = groups[root];
        nb::object value = e.user_ns[members[0]];
        nb::list member_names;
        if (members.size() > 1) {
            nb::dict together;
            for (const nb::object& name : members) {
                together[name] = e.user_ns[name];
                member_names.append(name);
            }
            value = together;
        }
        try {
            ValueFile file = write_value_file(*scope, value, directory, e.user_ns);
            for (const nb::object& name : members) {
                nb::dict entry;
                entry["digest"] = from_utf8(file.digest);
                entry["size"] = file.size;
                if (members.size() > 1) entry["members"] = member_names;
                if (nb::len(file.reads)) entry["reads"] = file.reads;
                stored[name] = entry;
            }
        } catch (nb::python_error& error) {
            for (const nb::object& name : members)
                unstored[name] = from_utf8(unpicklable_reason(*scope, name, e.user_ns[name], error));
        }
    }
}

// after_cell(request): what the cell that just ran bound, rebound and deleted, with the module
// each new module name holds; with "store": [names] and "dir", also the values of those names
// and of the bound ones, written to the value store.
nb::object after_cell(const Args& a) {
    Engine& e = loaded();
    nb::dict request = nb::borrow<nb::dict>(json_loads(arg_str(a[0], "request")));
    nb::list bound, deleted;
    nb::dict modules;
    nb::object is_module = scope->get("inspect").attr("ismodule");
    for (auto [name, value] : e.user_ns) {
        if (!is_user_name(e, name)) continue;
        PyObject* was = PyDict_GetItemWithError(e.before.ptr(), name.ptr());
        if (!was && PyErr_Occurred()) throw nb::python_error();
        if (was && nb::handle(was).equal(id_of(value))) continue;
        bound.append(name);
        if (arg_bool(is_module(value))) modules[name] = module_name(value);
    }
    for (auto [name, id] : e.before)
        if (!e.user_ns.contains(name)) deleted.append(name);
    nb::dict state = state_snapshot(*scope);
    std::vector<std::string> changed = changed_states(e.state_before, state);
    for (const std::string& kind : changed) bound.append(from_utf8(kind));
    nb::dict result;
    result["bound"] = bound;
    result["deleted"] = deleted;
    result["modules"] = modules;
    if (request.contains("store")) {
        std::string directory = utf8(request["dir"]);
        nb::dict stored, unstored;
        nb::object candidates = scope->get("set")(bound);
        candidates.attr("update")(request["store"]);
        std::vector<nb::object> names;
        for (nb::handle name : scope->get("sorted")(candidates)) {
            PyObject* value = PyDict_GetItemWithError(e.user_ns.ptr(), name.ptr());
            if (!value) {
                if (PyErr_Occurred()) throw nb::python_error();
                continue;
            }
            if (is_user_name(e, name) && !arg_bool(is_module(nb::handle(value)))) names.push_back(nb::borrow(name));
        }
        store(e, names, directory, stored, unstored);
        for (const std::string& kind : changed) {  // as the cell left it, to be put back later
            nb::str key = from_utf8(kind);
            try {
                ValueFile file = write_value_file(*scope, state[key], directory, e.user_ns);
                nb::dict entry;
                entry["digest"] = from_utf8(file.digest);
                entry["size"] = file.size;
                stored[key] = entry;
            } catch (nb::python_error& error) {
                unstored[key] = from_utf8(kind + " cannot be pickled: " + error_line(error));
            }
        }
        result["stored"] = stored;
        result["unstored"] = unstored;
    }
    return reply(result);
}

// prepare(request): before a cell runs, brings in what it needs: "imports" {name: module},
// "values" {name: digest} from "dir", and "count", the execution count the cell gets. "reset"
// first empties the namespace, as a fresh kernel has it.
nb::object prepare(const Args& a) {
    Engine& e = loaded();
    nb::dict request = nb::borrow<nb::dict>(json_loads(arg_str(a[0], "request")));
    nb::dict failed;
    if (request.contains("reset") && arg_bool(request["reset"])) {
        for (nb::handle name : snapshot(e.user_ns))
            if (is_user_name(e, name)) e.user_ns.attr("pop")(name);
        for (auto [kind, initial] : e.initial_state) restore_state(*scope, utf8(kind), initial);
    }
    if (request.contains("imports")) {
        nb::object import_module = scope->get("importlib").attr("import_module");
        for (auto [name, module] : nb::borrow<nb::dict>(request["imports"])) {
            try {
                e.user_ns[name] = import_module(module);
            } catch (nb::python_error& error) {
                failed[name] = from_utf8(error_line(error));
            }
        }
    }
    if (request.contains("states")) {
        std::string directory = utf8(request["dir"]);
        for (auto [kind, digest] : nb::borrow<nb::dict>(request["states"])) {
            try {
                restore_state(*scope, utf8(kind), read_value_file(*scope, directory, utf8(digest), e.user_ns));
            } catch (nb::python_error& error) {
                failed[kind] = from_utf8(error_line(error));
            }
        }
    }
    if (request.contains("values")) {
        std::string directory = utf8(request["dir"]);
        nb::object groups = request.contains("groups") ? nb::object(request["groups"]) : nb::object(nb::list());
        nb::dict read;  // digest -> value: the names of one group get the very same objects
        for (auto [name, digest] : nb::borrow<nb::dict>(request["values"])) {
            try {
                if (!read.contains(digest)) read[digest] = read_value_file(*scope, directory, utf8(digest), e.user_ns);
                nb::object value = read[digest];
                e.user_ns[name] = contains(groups, digest) ? nb::object(value[name]) : value;
            } catch (nb::python_error& error) {
                failed[name] = from_utf8(error_line(error));
            }
        }
    }
    if (request.contains("count")) e.shell.attr("execution_count") = request["count"];
    nb::dict result;
    result["failed"] = failed;
    return reply(result);
}

// configure(settings): "timeout", the seconds a cell may run (0: no limit).
nb::object configure(const Args& a) {
    Engine& e = loaded();
    nb::dict settings = nb::borrow<nb::dict>(json_loads(arg_str(a[0], "settings")));
    if (settings.contains("timeout")) e.timeout = nb::cast<double>(settings["timeout"]);
    return reply(nb::dict());
}

nb::object load_extension(const Args& a) {
    if (engine) return nb::none();
    nb::handle shell = a[0];
    engine = new Engine;  // lives as long as the kernel
    engine->shell = nb::borrow(shell);
    engine->user_ns = nb::borrow<nb::dict>(shell.attr("user_ns"));
    engine->hidden = nb::borrow<nb::dict>(shell.attr("user_ns_hidden"));
    engine->initial_state = state_snapshot(*scope);
    shell.attr("events").attr("register")("pre_run_cell", scope->get("_pre_run_cell"));
    shell.attr("events").attr("register")("post_run_cell", scope->get("_post_run_cell"));
    return nb::none();
}

nb::object unload_extension(const Args& a) {
    if (!engine) return nb::none();
    nb::handle shell = a[0];
    shell.attr("events").attr("unregister")("pre_run_cell", scope->get("_pre_run_cell"));
    shell.attr("events").attr("unregister")("post_run_cell", scope->get("_post_run_cell"));
    disarm_deadline(*engine);
    delete engine;
    engine = nullptr;
    return nb::none();
}

}  // namespace
}  // namespace trelvo::cli::engine

NB_MODULE(engine, m) {
    using namespace trelvo::cli::engine;
    using namespace trelvo::py;
    scope = new Scope(m);
    for (const char* module : {"importlib", "inspect", "json", "os", "signal", "sys", "warnings"}) scope->import(module);
    scope->import_from("builtins", {"dict", "repr", "set", "sorted"});
    register_value_files(*scope);
    ClassBuilder(*scope, "Reply", "A JSON answer to the runner; its repr is the JSON text.")
        .method("__init__", {arg("self"), arg("text", "str")}, "None", reply_init)
        .method("__repr__", {arg("self")}, "str", reply_repr)
        .build(object_base());
    define_function(*scope, "load_ipython_extension", {arg("ipython")}, "None", load_extension,
                    "Registers the cell hooks in the kernel's shell.");
    define_function(*scope, "unload_ipython_extension", {arg("ipython")}, "None", unload_extension,
                    "Removes the cell hooks and disarms a pending deadline.");
    define_function(*scope, "_pre_run_cell", {arg("info")}, "None", pre_run_cell,
                    "Notes the namespace before a cell runs and arms its deadline.");
    define_function(*scope, "_post_run_cell", {arg("result")}, "None", post_run_cell,
                    "Disarms the deadline of the cell that ran.");
    scope->set("_deadline_passed", nb::steal(PyCFunction_NewEx(&deadline_handler, nullptr, m.attr("__name__").ptr())));
    define_function(*scope, "configure", {arg("settings", "str")}, "Reply", configure,
                    "Takes the run's settings (JSON): the timeout of a cell.");
    define_function(*scope, "after_cell", {arg("request", "str")}, "Reply", after_cell,
                    "What the cell that ran bound and deleted; stores the values asked for.");
    define_function(*scope, "prepare", {arg("request", "str")}, "Reply", prepare,
                    "Imports modules, loads stored values and sets the execution count before a cell.");
}

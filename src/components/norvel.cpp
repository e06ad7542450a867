// TrelvoComponentNorvel: one notebook code cell as a node of a pipeline graph, with its status,
// parents, the results of its last run in memory or in a disk cache, and its model form. This
// file holds its state, properties, parents and model form and builds the class; the caches and
// the runs are norvel_caches.cpp and norvel_execution.cpp.
#include "norvel_internal.hpp"
#include "strings.hpp"
#include "text.hpp"

#include <unordered_map>

namespace trelvo::components::norvel {

const Scope* scope = nullptr;

// ---- small helpers ----

using Members = std::unordered_map<const char*, nb::object>;  // used under the GIL

// An enum's member, remembered by the address of its name (a string literal).
nb::object enum_member(Members& members, const char* enum_name, const char* member) {
    auto found = members.find(member);
    if (found != members.end()) return found->second;
    nb::object value = scope->get(enum_name).attr(member);
    members.emplace(member, value);
    return value;
}

nb::object component_status(const char* member) {
    static auto* members = new Members();
    return enum_member(*members, "TrelvoComponentStatus", member);
}
nb::object diskcache_status(const char* member) {
    static auto* members = new Members();
    return enum_member(*members, "TrelvoDiskcacheStatus", member);
}

bool equal(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool truth(nb::handle value) { return arg_bool(value); }

bool assertions_enabled() {
    static const bool enabled =
        nb::cast<int>(scope->get("sys").attr("flags").attr("optimize")) == 0;
    return enabled;
}

bool has_status(nb::handle self, const char* member) {
    return equal(own(self, Property::status), component_status(member));
}

nb::object typed(nb::object value, PyTypeObject* type) {
    check_result(value, type);
    return value;
}

// ---- the live components of the process, so that a finaliser spares a shared cache ----

nb::object live_components() { return scope->get("_LIVE_COMPONENTS"); }

bool directory_used_by_another(nb::handle self) {
    nb::object directory = self.attr("_diskcache_dir");
    if (directory.is_none()) return false;
    for (nb::handle other : nb::list(live_components())) {
        if (other.is(self)) continue;
        nb::object other_dir = nb::getattr(other, "_diskcache_dir", nb::none());
        if (!other_dir.is_none() && equal(other_dir, directory)) return true;
    }
    return false;
}

// ---- constructor ----

nb::object find_shell() {
    nb::object get_shell = scope->get("get_ipython_shell");
    if (!get_shell().is_none()) return get_shell();
    nb::object app = scope->get("TrelvoIPKernelApp").attr("instance")();
    app.attr("initialize")();
    app.attr("reset_io")();
    return app.attr("shell");
}

nb::object init(const Args& a) {
    nb::handle self = a[0];
    nb::str identifier = arg_str(a[1], "identifier");
    nb::str name = arg_str(a[2], "name");
    nb::str code = arg_str(a[3], "code");
    if (assertions_enabled()) {
        nb::object qualname = self.type().attr("__qualname__");
        if (!truth(qualname.attr("startswith")("TrelvoComponent")))
            raise(PyExc_AssertionError, "Class name must start with 'TrelvoComponent'.");
    }
    nb::object metadata = a[4].is_none()
                              ? scope->get("TrelvoComponentMetadataModel")(
                                    nb::arg("componentType") = "Norvel")
                              : nb::borrow(a[4]);
    nb::object shell = a[5].is_none() ? find_shell() : nb::borrow(a[5]);
    nb::object none = nb::none();
    nb::setattr(self, "_id", identifier);
    nb::setattr(self, "_name", name);
    nb::setattr(self, "_cell_code", code);
    nb::setattr(self, "_metadata", metadata);
    nb::setattr(self, "_ipython_shell", shell);
    nb::setattr(self, "_status", component_status("INVALID"));
    nb::setattr(self, "_parents", nb::dict());
    for (const char* attribute : {"_module_statements", "_non_module_outputs", "_last_output",
                                  "_captured", "_exception_msg", "_diskcache_dir",
                                  "_diskcache_task"})
        nb::setattr(self, attribute, none);
    nb::setattr(self, "_diskcache_status", diskcache_status("UNCACHED"));
    for (const char* attribute : {"_import_statements", "_non_module_inputs_names",
                                  "_non_module_outputs_names", "_outputs_summary"})
        nb::setattr(self, attribute, none);
    live_components().attr("add")(self);
    return nb::none();
}

// Set once the interpreter starts shutting down, before any exit hook (IPython's drops the whole
// namespace): from then on no finaliser removes anything.
bool shutting_down = false;

// The directories components wrote in this process: id(component) -> (pid, directory). A pid
// check keeps a forked child from removing what its parent wrote.
nb::object written_directories() { return scope->get("_WRITTEN_DIRECTORIES"); }

nb::object written_entry(nb::handle self, nb::handle directory) {
    return nb::make_tuple(scope->get("os").attr("getpid")(), directory);
}

nb::object finalize(const Args& a) {
    nb::handle self = a[0];
    // A finaliser never raises; it removes only a cache this component wrote in this process,
    // and none at shutdown or that another live component took over.
    try {
        nb::object key = nb::int_(reinterpret_cast<std::uintptr_t>(self.ptr()));
        nb::object entry = written_directories().attr("pop")(key, nb::none());
        if (shutting_down || truth(scope->get("sys").attr("is_finalizing")())) return nb::none();
        if (entry.is_none() || !equal(entry, written_entry(self, self.attr("_diskcache_dir"))))
            return nb::none();
        if (!directory_used_by_another(self)) self.attr("clear_diskcache")(nb::arg("rmtree") = true);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return nb::none();
}

void record_written(nb::handle self, nb::handle directory) {
    written_directories()[nb::int_(reinterpret_cast<std::uintptr_t>(self.ptr()))] =
        written_entry(self, directory);
}

// ---- plain properties ----

nb::object get_id(const Args& a) { return typed(a[0].attr("_id"), &PyUnicode_Type); }
nb::object get_name(const Args& a) { return typed(a[0].attr("_name"), &PyUnicode_Type); }

nb::object set_name(const Args& a) {
    nb::str name = arg_str(a[1], "new_name");
    if (!equal(name, a[0].attr("_name"))) nb::setattr(a[0], "_name", name);
    return nb::none();
}

nb::object get_cell_code(const Args& a) {
    return typed(a[0].attr("_cell_code"), &PyUnicode_Type);
}

nb::object set_cell_code(const Args& a) {
    nb::str code = arg_str(a[1], "new_cell_code");
    if (equal(code, a[0].attr("_cell_code"))) return nb::none();
    nb::setattr(a[0], "_cell_code", code);
    nb::setattr(a[0], "status", component_status("INVALID"));
    return nb::none();
}

nb::object get_last_expr(const Args& a) {
    nb::object code = scope->get("format_code")(a[0].attr("_cell_code"));
    nb::object pair = scope->get("parse_last_expr_from_code")(code);
    return typed(pair[0], &PyUnicode_Type);
}

nb::object get_metadata(const Args& a) { return a[0].attr("_metadata"); }

nb::object set_metadata(const Args& a) {
    nb::handle self = a[0];
    nb::object current = self.attr("_metadata");
    if (equal(current, a[1])) return nb::none();
    nb::object metadata =
        a[1].is_none() ? scope->get("TrelvoComponentMetadataModel")() : nb::borrow(a[1]);
    if (metadata.attr("remoteExecution").is_none() && !current.attr("remoteExecution").is_none())
        metadata.attr("remoteExecution") = current.attr("remoteExecution");
    nb::setattr(self, "_metadata", metadata);
    return nb::none();
}

nb::object get_status(const Args& a) { return a[0].attr("_status"); }

nb::object set_status(const Args& a) {
    nb::handle self = a[0], status = a[1];
    if (assertions_enabled() && !nb::isinstance(status, scope->get("TrelvoComponentStatus")))
        raise(PyExc_AssertionError, "%S is not a valid component status.", status.ptr());
    if (equal(status, self.attr("_status"))) return nb::none();
    if (!equal(status, component_status("SUCCESSFUL"))) {
        if (equal(status, component_status("INVALID"))) self.attr("clear_cache")();
        for (const char* attribute : {"_import_statements", "_non_module_inputs_names",
                                      "_non_module_outputs_names", "_outputs_summary"})
            nb::setattr(self, attribute, nb::none());
    }
    nb::setattr(self, "_status", status);
    return nb::none();
}

nb::object get_parents(const Args& a) {
    nb::list parents;
    for (auto [identifier, name] : dict_state(a[0].attr("_parents"))) {
        nb::dict parent;
        parent["id"] = identifier;
        parent["name"] = name;
        parents.append(parent);
    }
    return parents;
}

nb::object get_component_type(const Args& a) {
    return typed(a[0].attr("_metadata").attr("componentType"), &PyUnicode_Type);
}

nb::object get_use_diskcache(const Args& a) { return a[0].attr("_metadata").attr("diskcache"); }

nb::object set_use_diskcache(const Args& a) {
    nb::handle self = a[0];
    bool value = truth(a[1]);
    if (equal(own(self, Property::use_diskcache), nb::bool_(value))) return nb::none();
    if (!value) self.attr("clear_diskcache")();
    self.attr("_metadata").attr("diskcache") = nb::bool_(value);
    return nb::none();
}

nb::object get_remote_config(const Args& a) {
    return a[0].attr("_metadata").attr("remoteExecution");
}

nb::object set_remote_config(const Args& a) {
    nb::handle self = a[0], value = a[1];
    if (equal(own(self, Property::remote_config), value)) return nb::none();
    self.attr("_metadata").attr("remoteExecution") = truth(value) ? nb::borrow(value) : nb::none();
    return nb::none();
}

nb::object get_diskcache_dir(const Args& a) {
    if (!truth(own(a[0], Property::use_diskcache))) return nb::none();
    return typed(a[0].attr("_diskcache_dir"), &PyUnicode_Type);
}

nb::object get_diskcache_status(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL") || !truth(own(self, Property::use_diskcache)) ||
        own(self, Property::diskcache_dir).is_none())
        return diskcache_status("UNCACHED");
    return self.attr("_diskcache_status");
}

// ---- result properties: memory or disk cache, by status ----

bool results_on_disk(nb::handle self) {
    return equal(own(self, Property::diskcache_status), diskcache_status("CACHED"));
}

nb::object read_key(nb::handle directory, const char* key) {
    nb::object value;
    with_context(open_cache(directory), [&](nb::handle cache) {
        value = cache.attr("get")(key, nb::arg("default") = nb::none());
    });
    return value;
}

nb::object get_module_statements(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    nb::object value = results_on_disk(self)
                           ? read_key(own(self, Property::diskcache_dir), "module_statements")
                           : nb::object(self.attr("_module_statements"));
    return typed(value, &PyDict_Type);
}

nb::object get_non_module_outputs(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    if (!results_on_disk(self)) return typed(self.attr("_non_module_outputs"), &PyDict_Type);
    nb::dict result;
    nb::object directory = outputs_dir(own(self, Property::diskcache_dir));
    with_context(open_cache(directory), [&](nb::handle cache) {
        for (nb::handle key : cache.attr("iterkeys")())
            result[key] = cache.attr("get")(nb::arg("key") = key);
    });
    return nb::len(result) > 0 ? nb::object(result) : nb::none();
}

nb::object get_last_output(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    return results_on_disk(self) ? read_key(self.attr("_diskcache_dir"), "last_output")
                                 : nb::object(self.attr("_last_output"));
}

nb::object get_captured(const Args& a) {
    nb::handle self = a[0];
    nb::object status = own(self, Property::status);
    if (!equal(status, component_status("SUCCESSFUL")) && !equal(status, component_status("FAILED")))
        return nb::none();
    nb::object value = results_on_disk(self) ? read_key(self.attr("_diskcache_dir"), "captured")
                                             : nb::object(self.attr("_captured"));
    return typed(value, &PyList_Type);
}

nb::object get_outputs(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    nb::object module_statements = own(self, Property::module_statements);
    nb::object non_module_outputs = own(self, Property::non_module_outputs);
    nb::dict value;
    // Each result is read once: from a disk cache, a second read would load every variable
    // again.
    if (!module_statements.is_none()) {
        nb::dict globals = scope->dict();
        for (auto [symbol, statement] : dict_state(module_statements)) {
            nb::dict locals;
            locals["module_statements"] = module_statements;
            locals["non_module_outputs"] = non_module_outputs;
            locals["self"] = self;
            locals["stmt"] = statement;
            locals["sym"] = symbol;
            locals["value"] = value;
            value[symbol] = nb::module_::import_("builtins").attr("eval")(statement, globals, locals);
        }
    }
    if (!non_module_outputs.is_none())
        for (auto [key, variable] : dict_state(non_module_outputs))
            value[key] = variable;
    return nb::len(value) > 0 ? nb::object(value) : nb::none();
}

nb::object get_exception_msg(const Args& a) {
    if (!has_status(a[0], "FAILED")) return nb::none();
    return typed(a[0].attr("_exception_msg"), &PyList_Type);
}

nb::object get_exception(const Args& a) {
    nb::object message = own(a[0], Property::exception_msg);
    if (message.is_none()) return nb::none();
    nb::object error = scope->get("TrelvoPipelineError")(
        nb::arg("picked_stb") = message, nb::arg("ipython_shell") = a[0].attr("_ipython_shell"));
    if (!PyObject_TypeCheck(error.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
        raise(PyExc_TypeError, "Expected Exception, got %.200s", Py_TYPE(error.ptr())->tp_name);
    return error;
}

// ---- parents ----

nb::object add_parent(const Args& a) {
    nb::str identifier = arg_str(a[1], "identifier");
    nb::str name = arg_str(a[2], "name");
    nb::dict parents = dict_state(a[0].attr("_parents"));
    if (!parents.contains(identifier)) nb::setattr(a[0], "status", component_status("INVALID"));
    dict_state(a[0].attr("_parents"))[identifier] = name;
    return nb::none();
}

nb::object remove_parent(const Args& a) {
    nb::str identifier = arg_str(a[1], "identifier");
    if (!dict_state(a[0].attr("_parents")).contains(identifier)) return nb::bool_(false);
    nb::setattr(a[0], "status", component_status("INVALID"));
    a[0].attr("_parents").attr("pop")(identifier);
    return nb::bool_(true);
}

// ---- model conversion ----

// Whether the model's disk cache came back; an unreadable one counts as lost.
bool restore_diskcache(nb::handle component, nb::handle model) {
    try {
        return truth(component.attr("load_diskcache")(nb::arg("cache_dir") = model.attr("diskcache_dir")));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// A successful run whose results are gone has nothing to hand on: it says so. The attributes
// are set directly, since the status setter would clear a cache that is not this component's.
void mark_results_lost(nb::handle component) {
    if (!has_status(component, "SUCCESSFUL")) return;
    nb::setattr(component, "_status", component_status("INVALID"));
    nb::setattr(component, "_diskcache_status", diskcache_status("UNCACHED"));
    set_none(component, {"_captured", "_non_module_outputs_names", "_outputs_summary"});
}

nb::object from_model(const Args& a) {
    nb::handle cls = a[0], model = a[1];
    nb::object component = cls(nb::arg("identifier") = model.attr("identifier"),
                               nb::arg("name") = model.attr("name"),
                               nb::arg("code") = model.attr("code"),
                               nb::arg("metadata") = model.attr("metadata"));
    nb::object statuses = scope->get("TrelvoComponentStatus");
    nb::setattr(component, "_status", statuses[model.attr("execution_status").attr("upper")()]);
    nb::dict parents;
    for (nb::handle parent : model.attr("parents")) parents[parent["id"]] = parent["name"];
    nb::setattr(component, "_parents", parents);
    nb::setattr(component, "_diskcache_dir", model.attr("diskcache_dir"));
    nb::setattr(component, "_diskcache_status",
                scope->get("TrelvoDiskcacheStatus")[model.attr("diskcache_status").attr("upper")()]);
    nb::setattr(component, "_import_statements", model.attr("imports"));
    nb::setattr(component, "_non_module_inputs_names", model.attr("inputs"));
    nb::setattr(component, "_non_module_outputs_names", model.attr("outputs"));
    nb::setattr(component, "_outputs_summary", model.attr("summary"));

    nb::object status = component.attr("_status");
    nb::object captured = model.attr("captured");
    if (equal(status, component_status("SUCCESSFUL"))) {
        nb::setattr(component, "_captured", captured);
    } else if (equal(status, component_status("FAILED")) && nb::len(captured) == 1) {
        nb::object record = captured[0];
        if (equal(record.attr("type"), nb::str("stream")) && equal(record.attr("name"), nb::str("stderr")))
            nb::setattr(component, "_exception_msg", record.attr("text").attr("split")("\n"));
    }
    if (!model.attr("diskcache_dir").is_none() && !restore_diskcache(component, model))
        mark_results_lost(component);
    return component;
}

nb::object or_empty(nb::handle value) { return value.is_none() ? nb::object(nb::list()) : nb::borrow(value); }

nb::object to_model(const Args& a) {
    nb::handle self = a[0];
    nb::object summary = self.attr("_outputs_summary");
    if (summary.is_none()) summary = scope->get("TrelvoComponentOutputsSummaryModel")();
    nb::object captured = nb::list();
    if (has_status(self, "SUCCESSFUL")) {
        captured = or_empty(own(self, Property::captured));
    } else if (has_status(self, "FAILED")) {
        nb::object message = own(self, Property::exception_msg);
        if (!message.is_none()) {
            std::string joined = utf8(nb::str("\n").attr("join")(message));
            nb::list records;
            records.append(scope->get("TrelvoCapturedModel")(
                nb::arg("type") = "stream", nb::arg("name") = "stderr",
                nb::arg("text") = from_utf8(core::strip_ansi(joined))));
            captured = records;
        }
    }
    return scope->get("TrelvoComponentModel")(
        nb::arg("identifier") = self.attr("id"), nb::arg("name") = self.attr("name"),
        nb::arg("code") = self.attr("cell_code"), nb::arg("metadata") = self.attr("metadata"),
        nb::arg("execution_status") = own(self, Property::status),
        nb::arg("parents") = self.attr("parents"),
        nb::arg("diskcache_status") = own(self, Property::diskcache_status),
        nb::arg("diskcache_dir") = own(self, Property::diskcache_dir),
        nb::arg("imports") = or_empty(self.attr("_import_statements")),
        nb::arg("inputs") = or_empty(self.attr("_non_module_inputs_names")),
        nb::arg("outputs") = or_empty(self.attr("_non_module_outputs_names")),
        nb::arg("summary") = summary, nb::arg("captured") = captured,
        nb::arg("last_execution") = "");
}

// ---- the class's own properties, read directly ----

struct OwnProperty {
    const char* name;
    nb::object (*getter)(const Args&);
    PyObject* interned = nullptr;    // the name
    PyObject* descriptor = nullptr;  // the class's property object
};

// In the order of Property.
OwnProperty own_properties[] = {
    {"status", get_status},
    {"use_diskcache", get_use_diskcache},
    {"remote_config", get_remote_config},
    {"diskcache_dir", get_diskcache_dir},
    {"diskcache_status", get_diskcache_status},
    {"module_statements", get_module_statements},
    {"non_module_outputs", get_non_module_outputs},
    {"outputs", get_outputs},
    {"last_output", get_last_output},
    {"captured", get_captured},
    {"exception_msg", get_exception_msg},
};

nb::object own(nb::handle self, Property property) {
    const OwnProperty& entry = own_properties[static_cast<std::size_t>(property)];
    PyObject* in_place = _PyType_Lookup(Py_TYPE(self.ptr()), entry.interned);
    if (entry.descriptor && in_place == entry.descriptor) {
        PyObject* values[] = {self.ptr()};
        return entry.getter(Args(values, 1, nullptr));
    }
    PyObject* value = PyObject_GetAttr(self.ptr(), entry.interned);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

void remember_own_properties(nb::handle component_class) {
    for (OwnProperty& entry : own_properties) {
        entry.interned = intern(entry.name).release().ptr();
        entry.descriptor = nb::borrow(component_class.attr("__dict__")[entry.name]).release().ptr();
    }
}

// ---- module ----

void bind_imports(const Scope& s) {
    for (const char* module : {"multiprocessing", "os", "pickle", "re", "shutil", "signal", "sys",
                               "traceback"})
        s.import(module);
    s.import_from("multiprocessing", {"Process"});
    s.import_from("typing", {"TYPE_CHECKING", "Any", "Dict", "List", "Optional"});
    s.import("cloudpickle");
    s.import_from("IPython.core.interactiveshell", {"InteractiveShell"});
    s.import_from("trelvo_core.capture", {"TrelvoSelkin"});
    s.import_from("trelvo_core.common.utils", {"format_code"});
    s.import_from("trelvo_core.contrib", {"diskcache"});
    s.import_from("trelvo_core.executors", {"TrelvoRemoteComponentExecutor"});
    s.import_from("trelvo_core.executors.component_executor", {"execute_in_process", "execute_in_shell"});
    s.import_from("trelvo_core.executors.utils", {"parse_last_expr_from_code"});
    s.import_from("trelvo_core.ipython", {"TrelvoIPKernelApp", "get_ipython_shell",
                                          "is_io_redirected", "is_zmq_ipython_shell"});
    s.import_from("trelvo_core.misc", {"TrelvoComponentStatus", "TrelvoDiskcacheStatus",
                                       "TrelvoPipelineError"});
    s.import_from("trelvo_core.misc.models",
                  {"TrelvoCacheModel", "TrelvoCapturedModel", "TrelvoComponentMetadataModel",
                   "TrelvoComponentModel", "TrelvoComponentOutputsSummaryModel",
                   "TrelvoComponentRemoteConfigModel", "TrelvoExecutionRequestModel",
                   "TrelvoExecutionResponseModel"});
    s.set("EXC_LINE_LENGTH", nb::int_(75));
    s.set("EXC_TRACEBACK", nb::str("Traceback (most recent call last)"));
    s.set("_LIVE_COMPONENTS", nb::module_::import_("weakref").attr("WeakSet")());
    s.set("_WRITTEN_DIRECTORIES", nb::dict());
    s.import("glob");
    s.import("io");
    s.import("sqlite3");
    s.import_from("diskcache", {"Disk"});
    s.import_from("diskcache.core", {"MODE_PICKLE", "UNKNOWN"});
}

void register_shutdown_hook(const Scope& s) {
    nb::object mark = make_function({"_mark_shutting_down", "_mark_shutting_down", s.name(), "",
                                     {}, "None", [](const Args&) {
                                         shutting_down = true;
                                         return nb::none();
                                     }});
    s.set("_mark_shutting_down", mark);
    nb::module_::import_("threading").attr("_register_atexit")(mark);
}

void register_component(const Scope& s) {
    nb::object none = nb::none(), no = nb::bool_(false);
    ClassBuilder builder(s, "TrelvoComponentNorvel",
                         "Data structure to represent a code cell in a pipeline (or a graph node.)");
    builder
        .method("__init__",
                {arg("self"), arg("identifier", "str"), arg("name", "str"), arg("code", "str"),
                 opt("metadata", none, "Optional[TrelvoComponentMetadataModel]"),
                 opt("ipython_shell", none, "Optional[InteractiveShell]")},
                "", init)
        .method("__del__", {arg("self")}, "None", finalize)
        .property("id", "str", get_id)
        .property("name", "str", get_name, set_name, arg("new_name", "str"))
        .property("cell_code", "str", get_cell_code, set_cell_code, arg("new_cell_code", "str"))
        .property("last_expr", "str", get_last_expr)
        .property("metadata", "TrelvoComponentMetadataModel", get_metadata, set_metadata,
                  opt("new_metadata", none, "Optional[TrelvoComponentMetadataModel]"))
        .property("status", "TrelvoComponentStatus", get_status, set_status,
                  arg("new_status", "TrelvoComponentStatus"))
        .property("parents", "List[Dict[str, str]]", get_parents)
        .property("component_type", "str", get_component_type)
        .property("use_diskcache", "bool", get_use_diskcache, set_use_diskcache, arg("value", "bool"))
        .property("remote_config", "Optional[TrelvoComponentRemoteConfigModel]", get_remote_config,
                  set_remote_config, arg("value", "Optional[TrelvoComponentRemoteConfigModel]"))
        .property("diskcache_dir", "Optional[str]", get_diskcache_dir)
        .property("diskcache_status", "TrelvoDiskcacheStatus", get_diskcache_status)
        .property("module_statements", "Optional[Dict[str, str]]", get_module_statements)
        .property("non_module_outputs", "Optional[Dict[str, Any]]", get_non_module_outputs)
        .property("outputs", "Dict[str, Any]", get_outputs)
        .property("last_output", "Optional[Any]", get_last_output)
        .property("captured", "Optional[List[TrelvoCapturedModel]]", get_captured)
        .property("exception_msg", "Optional[List[str]]", get_exception_msg)
        .property("exception", "Optional[Exception]", get_exception)
        .method("execute",
                {arg("self"), opt("module_statements", none, "Optional[Dict[str, str]]"),
                 opt("non_module_inputs", none, "Optional[Dict[str, Any]]"),
                 opt("parameters", none, "Optional[Dict[str, Any]]"),
                 opt("send_to_front", nb::bool_(true), "bool"), opt("verbose", no, "bool")},
                "Optional[Any]", execute)
        .method("execute_async",
                {arg("self"), arg("process_pool", "'Pool'"), opt("iopub_port", nb::int_(0), "int"),
                 opt("module_statements", none, "Optional[Dict[str, str]]"),
                 opt("non_module_inputs", none, "Optional[Dict[str, Any]]"),
                 opt("parameters", none, "Optional[Dict[str, Any]]"),
                 opt("send_to_front", nb::bool_(true), "bool")},
                "'ApplyResult'", execute_async)
        .method("_execute_async_result", {arg("self"), arg("response", "bytes")}, "Optional[Any]",
                execute_async_result)
        .method("handle_error", {arg("self"), arg("exc", "BaseException")}, "None", handle_error)
        .method("show_last_output", {arg("self")}, "None", show_last_output)
        .method("show_captured", {arg("self")}, "None", show_captured)
        .method("show_exception_msg", {arg("self")}, "None", show_exception_msg)
        .method("add_parent", {arg("self"), arg("identifier", "str"), arg("name", "str")}, "None",
                add_parent)
        .method("remove_parent", {arg("self"), arg("identifier", "str")}, "bool", remove_parent)
        .method("load_memory_cache", {arg("self"), arg("cache", "TrelvoCacheModel")}, "None",
                load_memory_cache)
        .method("load_diskcache", {arg("self"), arg("cache_dir", "str")}, "bool", load_diskcache)
        .method("write_diskcache",
                {arg("self"), arg("cache_dir", "str"), opt("async_true", no, "bool")},
                "Optional['Process']", write_diskcache)
        .method("_write_diskcache", {arg("self"), arg("cache_dir", "str")}, "None",
                write_diskcache_body)
        .method("join_diskcache_task", {arg("self")}, "None", join_diskcache_task)
        .method("cancel_diskcache_task", {arg("self")}, "None", cancel_diskcache_task)
        .method("clear_memory_cache", {arg("self")}, "None", clear_memory_cache)
        .method("clear_diskcache", {arg("self"), opt("rmtree", no, "bool")}, "None", clear_diskcache)
        .method("clear_cache", {arg("self")}, "None", clear_cache)
        .class_method("from_model", {arg("cls"), arg("model", "TrelvoComponentModel")},
                      "'TrelvoComponentNorvel'", from_model)
        .method("to_model", {arg("self")}, "TrelvoComponentModel", to_model);
    nb::object component_class = builder.build(object_base());
    remember_own_properties(component_class);
    write_diskcache_function = nb::getattr(component_class, "_write_diskcache").release();
}

}  // namespace trelvo::components::norvel

NB_MODULE(norvel, m) {
    using namespace trelvo::components::norvel;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_disk(*scope);
    register_shutdown_hook(*scope);
    register_component(*scope);
}

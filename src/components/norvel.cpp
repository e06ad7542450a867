// TrelvoComponentNorvel: one notebook code cell as a node of a pipeline graph, with its status,
// parents, the results of its last run in memory or in a disk cache, and its model form.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "output_history.hpp"
#include "strings.hpp"
#include "text.hpp"

namespace trelvo::components::norvel {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

constexpr const char* kNonSerializableMessage =
    "Error: The cache can't be written to disk because there are non-serializable objects in the "
    "component '{}'. Remove those objects from the component and try again.";
constexpr const char* kOutputsDir = "non_module_outputs";

// ---- small helpers ----

nb::object component_status(const char* member) {
    return scope->get("TrelvoComponentStatus").attr(member);
}
nb::object diskcache_status(const char* member) {
    return scope->get("TrelvoDiskcacheStatus").attr(member);
}

bool equal(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool truth(nb::handle value) { return arg_bool(value); }

bool assertions_enabled() {
    return nb::cast<int>(scope->get("sys").attr("flags").attr("optimize")) == 0;
}

bool has_status(nb::handle self, const char* member) {
    return equal(self.attr("status"), component_status(member));
}

nb::object typed(nb::object value, PyTypeObject* type) {
    check_result(value, type);
    return value;
}

nb::handle trelvo_disk_class;  // diskcache's Disk, pickling values by value

nb::object open_cache(nb::handle directory) {
    return scope->get("diskcache").attr("Cache")(nb::arg("directory") = directory,
                                                 nb::arg("disk") = trelvo_disk_class);
}

// diskcache's Disk.store, with cloudpickle where the library would pickle: a cell's functions,
// classes and their instances come back in any process. Reading stays plain pickle.loads,
// which reads both.
nb::object disk_store(const Args& a) {
    enum { kSelf, kValue, kRead, kKey };
    nb::handle self = a[kSelf], value = a[kValue];
    PyTypeObject* type = Py_TYPE(value.ptr());
    bool library_handles = type == &PyUnicode_Type || type == &PyLong_Type ||
                           type == &PyFloat_Type || type == &PyBytes_Type || truth(a[kRead]);
    if (library_handles) return super_of(trelvo_disk_class, self).attr("store")(value, a[kRead], a[kKey]);
    nb::object pickled = scope->get("cloudpickle").attr("dumps")(
        value, nb::arg("protocol") = self.attr("pickle_protocol"));
    nb::object mode = scope->get("MODE_PICKLE");
    Py_ssize_t size = PyBytes_Size(pickled.ptr());
    if (size < nb::cast<Py_ssize_t>(self.attr("min_file_size")))
        return nb::make_tuple(0, mode, nb::none(), scope->get("sqlite3").attr("Binary")(pickled));
    nb::object names = self.attr("filename")(a[kKey], value);
    self.attr("_write")(names[1], scope->get("io").attr("BytesIO")(pickled), "xb");
    return nb::make_tuple(size, mode, names[0], nb::none());
}

// Empties a cache but for its lock entry, which a holder must keep, then removes value files
// that no entry refers to any more: a writer stopped while writing a value leaves its file.
void clear_keeping_lock(nb::handle cache, nb::handle lock_key) {
    for (nb::handle key : snapshot(cache.attr("iterkeys")()))
        if (!equal(key, lock_key)) cache.attr("delete")(key);
    nb::object os = scope->get("os");
    nb::object glob = scope->get("glob").attr("glob");
    // Values live two hex-named levels down; the sub cache's directory is not among them.
    nb::object pattern = os.attr("path").attr("join")(cache.attr("directory"), "??", "??", "*.val");
    for (nb::handle file : glob(pattern)) os.attr("remove")(file);
}

nb::object outputs_dir(nb::handle directory) {
    return scope->get("os").attr("path").attr("join")(directory, kOutputsDir);
}

// with diskcache.Lock(cache=cache, key=self._id): body()
void locked(nb::handle cache, nb::handle key, const std::function<void()>& body) {
    nb::object lock = scope->get("diskcache").attr("Lock")(nb::arg("cache") = cache,
                                                           nb::arg("key") = key);
    with_context(lock, [&](nb::handle) { body(); });
}

// The disk cache's status, read from the main cache on directory.
nb::object stored_status(nb::handle directory, nb::handle fallback) {
    nb::object status;
    with_context(open_cache(directory), [&](nb::handle cache) {
        status = cache.attr("get")("status", nb::arg("default") = fallback);
    });
    return status;
}

nb::object non_serializable_message(nb::handle self) {
    return nb::str(kNonSerializableMessage).format(nb::str(self.attr("_name")));
}

void show_records(nb::handle self, nb::handle records, nb::handle component_id);

// Shows a stored error as the component's standard-error output.
void show_error(nb::handle self, nb::handle message) {
    nb::object record = scope->get("TrelvoCapturedModel")(
        nb::arg("type") = "stream", nb::arg("name") = "stderr", nb::arg("text") = message);
    nb::list records;
    records.append(record);
    show_records(self, records, self.attr("id"));
}

// After a write, join or cancel: the in-memory status follows the disk, a failure shows its
// message.
void refresh_from_disk(nb::handle self, nb::handle cache, bool show_message) {
    if (!equal(self.attr("_diskcache_status"), diskcache_status("FAILED")) || !show_message)
        return;
    nb::object message = cache.attr("get")(nb::arg("key") = "_error_msg",
                                           nb::arg("default") = nb::none());
    check_result(message, &PyUnicode_Type);
    if (!message.is_none()) show_error(self, message);
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
    if (equal(self.attr("use_diskcache"), nb::bool_(value))) return nb::none();
    if (!value) self.attr("clear_diskcache")();
    self.attr("_metadata").attr("diskcache") = nb::bool_(value);
    return nb::none();
}

nb::object get_remote_config(const Args& a) {
    return a[0].attr("_metadata").attr("remoteExecution");
}

nb::object set_remote_config(const Args& a) {
    nb::handle self = a[0], value = a[1];
    if (equal(self.attr("remote_config"), value)) return nb::none();
    self.attr("_metadata").attr("remoteExecution") = truth(value) ? nb::borrow(value) : nb::none();
    return nb::none();
}

nb::object get_diskcache_dir(const Args& a) {
    if (!truth(a[0].attr("use_diskcache"))) return nb::none();
    return typed(a[0].attr("_diskcache_dir"), &PyUnicode_Type);
}

nb::object get_diskcache_status(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL") || !truth(self.attr("use_diskcache")) ||
        self.attr("diskcache_dir").is_none())
        return diskcache_status("UNCACHED");
    return self.attr("_diskcache_status");
}

// ---- result properties: memory or disk cache, by status ----

bool results_on_disk(nb::handle self) {
    return equal(self.attr("diskcache_status"), diskcache_status("CACHED"));
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
    nb::object value = results_on_disk(self) ? read_key(self.attr("diskcache_dir"), "module_statements")
                                             : nb::object(self.attr("_module_statements"));
    return typed(value, &PyDict_Type);
}

nb::object get_non_module_outputs(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    if (!results_on_disk(self)) return typed(self.attr("_non_module_outputs"), &PyDict_Type);
    nb::dict result;
    with_context(open_cache(outputs_dir(self.attr("diskcache_dir"))), [&](nb::handle cache) {
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
    nb::object status = self.attr("status");
    if (!equal(status, component_status("SUCCESSFUL")) && !equal(status, component_status("FAILED")))
        return nb::none();
    nb::object value = results_on_disk(self) ? read_key(self.attr("_diskcache_dir"), "captured")
                                             : nb::object(self.attr("_captured"));
    return typed(value, &PyList_Type);
}

nb::object get_outputs(const Args& a) {
    nb::handle self = a[0];
    if (!has_status(self, "SUCCESSFUL")) return nb::none();
    nb::object module_statements = self.attr("module_statements");
    nb::object non_module_outputs = self.attr("non_module_outputs");
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
    nb::object message = a[0].attr("exception_msg");
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

// ---- memory and disk caches ----

void set_none(nb::handle self, std::initializer_list<const char*> attributes) {
    for (const char* attribute : attributes) nb::setattr(self, attribute, nb::none());
}

nb::object load_memory_cache(const Args& a) {
    nb::handle self = a[0], cache = a[1];
    if (!cache.attr("exception_msg").is_none()) {
        set_none(self, {"_module_statements", "_non_module_outputs", "_last_output", "_captured"});
        nb::setattr(self, "_exception_msg", cache.attr("exception_msg"));
        set_none(self, {"_import_statements", "_non_module_inputs_names",
                        "_non_module_outputs_names", "_outputs_summary"});
        nb::setattr(self, "_status", component_status("FAILED"));
        return nb::none();
    }
    nb::setattr(self, "_module_statements", cache.attr("module_statements"));
    nb::setattr(self, "_non_module_outputs", cache.attr("non_module_outputs"));
    nb::setattr(self, "_last_output", cache.attr("last_output"));
    nb::setattr(self, "_captured", cache.attr("captured"));
    nb::setattr(self, "_exception_msg", nb::none());
    nb::setattr(self, "_non_module_outputs_names",
                nb::list(cache.attr("non_module_outputs").attr("keys")()));
    nb::setattr(self, "_outputs_summary", cache.attr("outputs_summary"));
    nb::setattr(self, "_status", component_status("SUCCESSFUL"));
    return nb::none();
}

// pickle's own errors, and the TypeError and AttributeError it raises for objects it cannot
// reduce (locks, local functions): all mean "cannot be pickled".
bool is_pickling_error(const nb::python_error& error) {
    nb::object pickle = scope->get("pickle");
    return error.matches(pickle.attr("PickleError")) || error.matches(PyExc_TypeError) ||
           error.matches(PyExc_AttributeError);
}

void write_entries(nb::handle self, nb::handle cache, nb::handle directory) {
    nb::object set = cache.attr("set");
    set(nb::arg("key") = "status", nb::arg("value") = diskcache_status("UPDATING"));
    set(nb::arg("key") = "identifier", nb::arg("value") = self.attr("_id"));
    set(nb::arg("key") = "code", nb::arg("value") = self.attr("_cell_code"));
    set(nb::arg("key") = "module_statements", nb::arg("value") = self.attr("_module_statements"));
    try {
        set(nb::arg("key") = "last_output", nb::arg("value") = self.attr("_last_output"));
    } catch (nb::python_error& error) {
        if (!is_pickling_error(error)) throw;
        set(nb::arg("key") = "last_output", nb::arg("value") = nb::none());
    }

    nb::list non_serializable;
    with_context(open_cache(outputs_dir(directory)), [&](nb::handle outputs) {
        // Variables of an earlier write to this directory must not come back with this one.
        outputs.attr("clear")();
        nb::object variables = self.attr("_non_module_outputs");
        if (variables.is_none()) return;
        for (auto [symbol, value] : dict_state(variables)) {
            try {
                outputs.attr("set")(nb::arg("key") = symbol, nb::arg("value") = value);
            } catch (nb::python_error& error) {
                if (!is_pickling_error(error)) throw;
                non_serializable.append(symbol);
            }
        }
    });
    if (nb::len(non_serializable) > 0) raise(PyExc_TypeError, "");
    set(nb::arg("key") = "captured", nb::arg("value") = self.attr("_captured"));
    set(nb::arg("key") = "outputs_summary", nb::arg("value") = self.attr("_outputs_summary"));
}

bool ends_a_write(const nb::python_error& error) {
    // Exception, KeyboardInterrupt (a cancelled writer) and SystemExit alike.
    return error.matches(PyExc_Exception) || error.matches(PyExc_KeyboardInterrupt) ||
           error.matches(PyExc_SystemExit);
}

// A failed write, still holding the lock: nothing of it stays, the status says FAILED.
void record_failed_write(nb::handle self, nb::handle cache, nb::handle directory, bool type_error) {
    with_context(open_cache(outputs_dir(directory)), [&](nb::handle outputs) {
        clear_keeping_lock(outputs, nb::none());
    });
    clear_keeping_lock(cache, self.attr("_id"));
    cache.attr("set")(nb::arg("key") = "status", nb::arg("value") = diskcache_status("FAILED"));
    if (type_error)
        cache.attr("set")(nb::arg("key") = "_error_msg", nb::arg("value") = non_serializable_message(self));
}

nb::object write_diskcache_body(const Args& a) {
    nb::handle self = a[0];
    nb::str directory = arg_str(a[1], "cache_dir");
    with_context(open_cache(directory), [&](nb::handle cache) {
        // A writer stopped while it waits for the lock has written nothing and clears nothing:
        // the data there is another writer's.
        locked(cache, self.attr("_id"), [&] {
            try {
                write_entries(self, cache, directory);
            } catch (nb::python_error& error) {
                if (!ends_a_write(error)) throw;
                record_failed_write(self, cache, directory, error.matches(PyExc_TypeError));
                throw;
            }
        });
        cache.attr("set")(nb::arg("key") = "status", nb::arg("value") = diskcache_status("CACHED"));
    });
    return nb::none();
}

nb::handle write_diskcache_function;  // the class's own _write_diskcache

nb::object write_diskcache(const Args& a) {
    nb::handle self = a[0];
    nb::str directory = arg_str(a[1], "cache_dir");
    bool in_background = truth(a[2]);
    if (!truth(self.attr("use_diskcache")) || !has_status(self, "SUCCESSFUL")) return nb::none();
    nb::setattr(self, "_diskcache_dir", directory);
    nb::setattr(self, "_diskcache_status", diskcache_status("UPDATING"));
    record_written(self, directory);

    if (!in_background) {
        try {
            self.attr("_write_diskcache")(nb::arg("cache_dir") = directory);
        } catch (nb::python_error&) {
            // The disk says FAILED; so does the component.
            nb::setattr(self, "_diskcache_status", diskcache_status("FAILED"));
            throw;
        }
        // The package's own write returns only after setting CACHED: opening the cache again
        // to read that back (about 2 ms) would change nothing. An override of _write_diskcache
        // may leave anything, so its outcome is read from the disk.
        if (nb::getattr(self.type(), "_write_diskcache").is(write_diskcache_function)) {
            nb::setattr(self, "_diskcache_status", diskcache_status("CACHED"));
            return nb::none();
        }
        with_context(open_cache(directory), [&](nb::handle cache) {
            nb::setattr(self, "_diskcache_status",
                        cache.attr("get")("status", nb::arg("default") = diskcache_status("UNCACHED")));
            refresh_from_disk(self, cache, true);
        });
        return nb::none();
    }

    nb::object context = scope->get("multiprocessing").attr("get_context")(nb::arg("method") = "fork");
    nb::object task = context.attr("Process")(
        nb::arg("name") = nb::str("TrelvoComponentNorvel-{}-diskcache").format(nb::str(self.attr("_id"))),
        nb::arg("target") = self.attr("_write_diskcache"), nb::arg("args") = nb::make_tuple(directory));
    nb::setattr(self, "_diskcache_task", task);
    try {
        task.attr("start")();
    } catch (nb::python_error& error) {
        nb::object pickle = scope->get("pickle");
        if (!error.matches(PyExc_TypeError) && !error.matches(pickle.attr("PickleError"))) throw;
        task.attr("close")();
        nb::setattr(self, "_diskcache_task", nb::none());
        nb::object message = non_serializable_message(self);
        with_context(open_cache(directory), [&](nb::handle cache) {
            locked(cache, self.attr("_id"), [&] {
                clear_keeping_lock(cache, self.attr("_id"));
                cache.attr("set")(nb::arg("key") = "status", nb::arg("value") = diskcache_status("FAILED"));
                cache.attr("set")(nb::arg("key") = "_error_msg", nb::arg("value") = message);
            });
        });
        nb::setattr(self, "_diskcache_status", diskcache_status("FAILED"));
        show_error(self, message);
    }
    return self.attr("_diskcache_task");
}

// Closes the finished writer and takes the status the disk holds (fallback when none).
void finish_task(nb::handle self, const char* fallback, bool show_message) {
    self.attr("_diskcache_task").attr("close")();
    nb::setattr(self, "_diskcache_task", nb::none());
    with_context(open_cache(self.attr("_diskcache_dir")), [&](nb::handle cache) {
        nb::setattr(self, "_diskcache_status",
                    cache.attr("get")("status", nb::arg("default") = diskcache_status(fallback)));
        refresh_from_disk(self, cache, show_message);
    });
}

nb::object join_diskcache_task(const Args& a) {
    nb::object task = a[0].attr("_diskcache_task");
    if (task.is_none()) return nb::none();
    if (truth(task.attr("is_alive")())) task.attr("join")();
    finish_task(a[0], "UNCACHED", true);
    return nb::none();
}

nb::object cancel_diskcache_task(const Args& a) {
    nb::object task = a[0].attr("_diskcache_task");
    if (task.is_none()) return nb::none();
    if (truth(task.attr("is_alive")())) {
        scope->get("os").attr("kill")(task.attr("pid"), scope->get("signal").attr("SIGINT"));
        task.attr("join")();
    }
    finish_task(a[0], "FAILED", false);
    return nb::none();
}

nb::object load_diskcache(const Args& a) {
    nb::handle self = a[0];
    nb::str directory = arg_str(a[1], "cache_dir");
    if (!truth(self.attr("use_diskcache"))) return nb::bool_(false);
    nb::object path = scope->get("os").attr("path");
    if (!truth(path.attr("exists")(directory)) || !truth(path.attr("isdir")(directory)))
        return nb::bool_(false);

    bool usable = false;
    nb::object summary;
    with_context(open_cache(directory), [&](nb::handle cache) {
        nb::object get = cache.attr("get");
        if (!equal(get("status", nb::arg("default") = diskcache_status("UNCACHED")),
                   diskcache_status("CACHED")))
            return;
        nb::object identifier = typed(get("identifier", nb::arg("default") = nb::none()), &PyUnicode_Type);
        if (!equal(identifier, self.attr("_id"))) return;
        nb::object code = typed(get("code", nb::arg("default") = nb::none()), &PyUnicode_Type);
        if (!equal(code, self.attr("_cell_code"))) return;
        summary = get("outputs_summary",
                      nb::arg("default") = scope->get("TrelvoComponentOutputsSummaryModel")());
        usable = true;
    });
    if (!usable) return nb::bool_(false);

    nb::list names;
    with_context(open_cache(outputs_dir(directory)), [&](nb::handle outputs) {
        names = nb::list(outputs.attr("iterkeys")());
    });
    nb::setattr(self, "_non_module_outputs_names", names);
    nb::setattr(self, "_outputs_summary", summary);
    nb::setattr(self, "_diskcache_status", diskcache_status("CACHED"));
    nb::setattr(self, "_diskcache_dir", directory);
    nb::setattr(self, "status", component_status("SUCCESSFUL"));
    nb::object shell = self.attr("_ipython_shell");
    if (!shell.is_none()) {
        nb::object outputs = typed(self.attr("outputs"), &PyDict_Type);
        if (!outputs.is_none()) shell.attr("push")(outputs);
    }
    self.attr("clear_memory_cache")();
    return nb::bool_(true);
}

nb::object clear_memory_cache(const Args& a) {
    set_none(a[0], {"_module_statements", "_non_module_outputs", "_last_output", "_captured",
                    "_exception_msg"});
    return nb::none();
}

nb::object clear_diskcache(const Args& a) {
    nb::handle self = a[0];
    bool remove_tree = truth(a[1]);
    if (!truth(self.attr("use_diskcache"))) return nb::none();
    nb::object directory = self.attr("diskcache_dir");
    if (directory.is_none()) return nb::none();
    // Under the lock that writers hold, so that no write is cleared half-way.
    with_context(open_cache(directory), [&](nb::handle cache) {
        locked(cache, self.attr("_id"), [&] {
            with_context(open_cache(outputs_dir(directory)), [&](nb::handle outputs) {
                clear_keeping_lock(outputs, nb::none());
            });
            clear_keeping_lock(cache, self.attr("_id"));
        });
    });
    nb::setattr(self, "_diskcache_status", diskcache_status("UNCACHED"));
    if (remove_tree)
        scope->get("shutil").attr("rmtree")(nb::arg("path") = directory,
                                            nb::arg("ignore_errors") = true);
    return nb::none();
}

nb::object clear_cache(const Args& a) {
    a[0].attr("clear_memory_cache")();
    a[0].attr("clear_diskcache")();
    return nb::none();
}

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
    nb::object config = self.attr("remote_config");
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

    bool remote = !self.attr("remote_config").is_none();
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
    if (send_to_front) {
        if (remote) self.attr("show_captured")();
        if (truth(scope->get("is_io_redirected")())) self.attr("show_last_output")();
    }
    nb::object shell = self.attr("_ipython_shell");
    if (!shell.is_none()) {
        nb::object outputs = typed(self.attr("outputs"), &PyDict_Type);
        if (!outputs.is_none()) shell.attr("push")(outputs);
    }
    return self.attr("last_output");
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

nb::object show_last_output(const Args& a) {
    nb::handle self = a[0];
    nb::object value = self.attr("last_output");
    if (value.is_none()) return nb::none();
    if (publishes_on_iopub(self)) {
        nb::object formatted = self.attr("_ipython_shell").attr("display_formatter").attr("format")(value);
        for (nb::handle data : formatted) {
            nb::dict content;
            content["execution_count"] = self.attr("_ipython_shell").attr("execution_count");
            content["data"] = data;
            content["metadata"] = tagged(self);
            publish(self, "execute_result", content);
        }
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
    nb::object captured = a[0].attr("captured");
    if (truth(captured)) show_records(a[0], captured, a[0].attr("_id"));
    return nb::none();
}

nb::object show_exception_msg(const Args& a) {
    nb::object message = a[0].attr("exception_msg");
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
    nb::object config = self.attr("remote_config");
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
        return self.attr("last_output");
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
        captured = or_empty(self.attr("captured"));
    } else if (has_status(self, "FAILED")) {
        nb::object message = self.attr("exception_msg");
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
        nb::arg("execution_status") = self.attr("status"), nb::arg("parents") = self.attr("parents"),
        nb::arg("diskcache_status") = self.attr("diskcache_status"),
        nb::arg("diskcache_dir") = self.attr("diskcache_dir"),
        nb::arg("imports") = or_empty(self.attr("_import_statements")),
        nb::arg("inputs") = or_empty(self.attr("_non_module_inputs_names")),
        nb::arg("outputs") = or_empty(self.attr("_non_module_outputs_names")),
        nb::arg("summary") = summary, nb::arg("captured") = captured,
        nb::arg("last_execution") = "");
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

void register_disk(const Scope& s) {
    ClassBuilder builder(s, "_TrelvoDisk",
                         "diskcache's Disk, storing what it pickles with cloudpickle.");
    builder.method("store", {arg("self"), arg("value"), arg("read"), opt("key", s.get("UNKNOWN"))},
                   "", disk_store);
    trelvo_disk_class = builder.build(nb::make_tuple(s.get("Disk"))).release();
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
    write_diskcache_function = nb::getattr(component_class, "_write_diskcache").release();
}

}  // namespace
}  // namespace trelvo::components::norvel

NB_MODULE(norvel, m) {
    using namespace trelvo::components::norvel;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_disk(*scope);
    register_shutdown_hook(*scope);
    register_component(*scope);
}

// TrelvoComponentNorvel's memory and disk caches: the disk that pickles by value, writing in
// the caller or a forked writer, joining, cancelling, loading and clearing.
#include "norvel_internal.hpp"

namespace trelvo::components::norvel {

constexpr const char* kNonSerializableMessage =
    "Error: The cache can't be written to disk because there are non-serializable objects in the "
    "component '{}'. Remove those objects from the component and try again.";
constexpr const char* kOutputsDir = "non_module_outputs";

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

// ---- memory and disk caches ----

void set_none(nb::handle self, std::initializer_list<const char*> attributes) {
    for (const char* attribute : attributes) nb::setattr(self, attribute, nb::none());
}

nb::object load_memory_cache(const Args& a) {
    nb::handle self = a[0], cache = a[1];
    if (!cache.attr("exception_msg").is_none()) {
        set_none(self, {"_module_statements", "_non_module_outputs", "_last_output"});
        // What the cell wrote before it raised stays with its error.
        nb::setattr(self, "_captured", cache.attr("captured"));
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
        // Those this write sets again are replaced: only the others are deleted (a clear costs
        // a scan and a delete of every row).
        nb::object variables = self.attr("_non_module_outputs");
        nb::dict current = variables.is_none() ? nb::dict() : dict_state(variables);
        for (nb::handle key : snapshot(outputs.attr("iterkeys")()))
            if (!current.contains(key)) outputs.attr("delete")(key);
        for (auto [symbol, value] : current) {
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
    if (!truth(own(self, Property::use_diskcache)) || !has_status(self, "SUCCESSFUL"))
        return nb::none();
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
    if (!truth(own(self, Property::use_diskcache))) return nb::bool_(false);
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
        nb::object outputs = typed(own(self, Property::outputs), &PyDict_Type);
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
    if (!truth(own(self, Property::use_diskcache))) return nb::none();
    nb::object directory = own(self, Property::diskcache_dir);
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

void register_disk(const Scope& s) {
    ClassBuilder builder(s, "_TrelvoDisk",
                         "diskcache's Disk, storing what it pickles with cloudpickle.");
    builder.method("store", {arg("self"), arg("value"), arg("read"), opt("key", s.get("UNKNOWN"))},
                   "", disk_store);
    trelvo_disk_class = builder.build(nb::make_tuple(s.get("Disk"))).release();
}

}  // namespace trelvo::components::norvel

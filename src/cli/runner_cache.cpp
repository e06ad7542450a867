// The run cache: one entry per cell key under <cache root>/<key>/, holding the component's disk
// cache ("component/") and the record of the run ("record.json": the cell's output events). The
// record is written last, by rename, so an entry that a killed run left behind has none and is
// never read as valid. An entry that cannot be read is ignored with a warning and replaced.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {
namespace {

constexpr int kRecordFormat = 2;

nb::object path_join(const std::string& a, const std::string& b) {
    return scope->get("os").attr("path").attr("join")(from_utf8(a), from_utf8(b));
}

std::string entry_dir(const Run& run, const Cell& cell) { return run.cache_root + "/" + cell.key; }

void remove_entry(const std::string& directory) {
    scope->get("shutil").attr("rmtree")(from_utf8(directory), nb::arg("ignore_errors") = true);
}

}  // namespace

// Everything that decides a cell's results: its code, its parents' keys, the parameters it reads
// itself, and the interpreter and package that run it.
std::string cell_key(const Run& run, const Cell& cell) {
    nb::dict material;
    material["id"] = from_utf8(cell.id);
    material["code"] = from_utf8(cell.code);
    nb::list parents;
    for (std::size_t parent : cell.parents) parents.append(from_utf8(run.cells[parent].key));
    material["parents"] = parents;
    nb::dict parameters;
    for (const std::string& name : cell.parameters) {
        nb::str key = from_utf8(name);
        parameters[key] = nb::repr(run.parameters[key]);
    }
    material["parameters"] = parameters;
    material["python"] = scope->get("sys").attr("version");
    material["trelvo"] = scope->get("trelvo_core").attr("__version__");
    material["format"] = kRecordFormat;
    nb::object text = scope->get("json").attr("dumps")(material, nb::arg("sort_keys") = true);
    nb::object digest = scope->get("hashlib").attr("sha256")(text.attr("encode")("utf-8"));
    return utf8(digest.attr("hexdigest")()).substr(0, 32);
}

bool load_cached(Run& run, Cell& cell) {
    std::string directory = entry_dir(run, cell);
    nb::object os_path = scope->get("os").attr("path");
    if (!arg_bool(os_path.attr("isdir")(from_utf8(directory)))) return false;
    nb::object record_path = path_join(directory, "record.json");
    try {
        if (!arg_bool(os_path.attr("exists")(record_path))) {
            progress->warning("ignoring the unfinished cache of " + cell.name +
                              " (a run stopped while writing it)");
            remove_entry(directory);
            return false;
        }
        nb::object file = scope->get("open")(record_path, "r", nb::arg("encoding") = "utf-8");
        nb::object record;
        try {
            record = scope->get("json").attr("load")(file);
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        if (!PyDict_Check(record.ptr()) || !record.attr("get")("format").equal(nb::int_(kRecordFormat)) ||
            !record.attr("get")("id").equal(from_utf8(cell.id)) ||
            !PyList_Check(record.attr("get")("events").ptr()))
            raise(PyExc_ValueError, "it is not a record of this cell");
        // load_diskcache puts the outputs into the shell; each run sets up its own namespace.
        nb::dict user_ns = nb::borrow<nb::dict>(run.shell.attr("user_ns"));
        nb::object before = scope->get("set")(user_ns);
        bool loaded = arg_bool(cell.component.attr("load_diskcache")(path_join(directory, "component")));
        for (nb::handle name : snapshot(user_ns))
            if (!contains(before, name)) user_ns.attr("pop")(name, nb::none());
        if (!loaded) raise(PyExc_ValueError, "its results are not complete");
        cell.events = record["events"];
        // What the run that wrote the entry was given, as from_model restores it: the exports
        // need it.
        nb::setattr(cell.component, "_import_statements", record.attr("get")("imports"));
        nb::setattr(cell.component, "_non_module_inputs_names", record.attr("get")("inputs"));
    } catch (nb::python_error& error) {
        progress->warning("ignoring the cache of " + cell.name + " at " + directory + ": " +
                          utf8(nb::str(error.value())));
        remove_entry(directory);
        return false;
    }
    return true;
}

// A successful run's results and events; a failure to write is a warning (the next run runs the
// cell again), never the run's failure.
void store_cached(Run& run, Cell& cell) {
    std::string directory = entry_dir(run, cell);
    try {
        remove_entry(directory);
        scope->get("os").attr("makedirs")(from_utf8(directory), nb::arg("exist_ok") = true);
        {
            // Functions and classes are pickled with the globals they use, looked up in the
            // shell's namespace: hold the cell's names there while it is written.
            nb::dict user_ns = nb::borrow<nb::dict>(run.shell.attr("user_ns"));
            nb::object saved = user_ns.attr("copy")();
            nb::object outputs = cell.component.attr("outputs");
            if (!outputs.is_none()) user_ns.update(nb::borrow<nb::dict>(outputs));
            try {
                cell.component.attr("write_diskcache")(path_join(directory, "component"));
            } catch (...) {
                user_ns.clear();
                user_ns.update(nb::borrow<nb::dict>(saved));
                throw;
            }
            user_ns.clear();
            user_ns.update(nb::borrow<nb::dict>(saved));
        }
        if (!cell.component.attr("diskcache_status").equal(scope->get("TrelvoDiskcacheStatus").attr("CACHED")))
            raise(PyExc_ValueError, "its results cannot be pickled");
        nb::dict record;
        record["format"] = kRecordFormat;
        record["id"] = from_utf8(cell.id);
        record["name"] = from_utf8(cell.name);
        record["events"] = cell.events;
        nb::object model = cell.component.attr("to_model")();
        record["imports"] = model.attr("imports");
        record["inputs"] = model.attr("inputs");
        nb::object text = scope->get("json").attr("dumps")(record, nb::arg("default") = scope->get("repr"));
        nb::object temporary = path_join(directory, "record.json.partial");
        nb::object file = scope->get("open")(temporary, "w", nb::arg("encoding") = "utf-8");
        file.attr("write")(text);
        file.attr("close")();
        scope->get("os").attr("replace")(temporary, path_join(directory, "record.json"));
        // The run cache owns the entry from now on: the component's finaliser must not remove
        // what it wrote.
        scope->get("_WRITTEN_DIRECTORIES").attr("pop")(nb::int_(reinterpret_cast<std::uintptr_t>(cell.component.ptr())), nb::none());
    } catch (nb::python_error& error) {
        progress->warning("the results of " + cell.name + " are not cached: " +
                          utf8(nb::str(error.value())));
        remove_entry(directory);
    }
}

}  // namespace trelvo::cli::runner

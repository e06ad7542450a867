// The run cache, under its root:
//   entries/<key[:2]>/<key>.json    the record of a cell's successful run: its output events,
//                                   what it bound, the digests of the values it left
//   values/<digest[:2]>/<digest>    the value store, which the engine writes and reads
//   analysis/<digest[:2]>/<digest>.json  what a code does with names, by the digest of the code
// An entry is found by its key, which covers what the cell's results depend on, never by the
// cell's place. Every file is written to a temporary name and renamed, so a killed run leaves
// nothing that reads as valid; an entry that cannot be read is ignored with a warning. The cache
// holds every value of the notebook: its directories are 0700 and its files 0600.
#include "runner_internal.hpp"

#include <fcntl.h>

namespace trelvo::cli::runner {
namespace {

constexpr int kFormat = 3;

nb::object os() { return scope->get("os"); }

void make_private_directory(const std::string& path) {
    os().attr("makedirs")(from_utf8(path), nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    os().attr("chmod")(from_utf8(path), 0700);
}

std::string sha256(nb::handle text) {
    return text_of(scope->get("hashlib").attr("sha256")(text.attr("encode")("utf-8", "surrogatepass")).attr("hexdigest")());
}

std::string fanned(const std::string& directory, const std::string& digest, const char* suffix) {
    return directory + "/" + digest.substr(0, 2) + "/" + digest + suffix;
}

// JSON written whole or not at all, readable by the user only.
void write_private(const std::string& path, nb::handle text) {
    std::string folder = text_of(os().attr("path").attr("dirname")(from_utf8(path)));
    os().attr("makedirs")(from_utf8(folder), nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    std::string temporary = path + ".tmp." + text_of(nb::str(os().attr("getpid")()));
    nb::object fd = os().attr("open")(from_utf8(temporary), nb::int_(O_WRONLY | O_CREAT | O_TRUNC), 0600);
    nb::object file = os().attr("fdopen")(fd, "w", nb::arg("encoding") = "utf-8");
    try {
        file.attr("write")(text);
        file.attr("close")();
    } catch (...) {
        file.attr("close")();
        os().attr("unlink")(from_utf8(temporary));
        throw;
    }
    os().attr("replace")(from_utf8(temporary), from_utf8(path));
}

nb::object read_json(const std::string& path) {
    nb::object file = scope->get("open")(from_utf8(path), "r", nb::arg("encoding") = "utf-8");
    try {
        nb::object value = scope->get("json").attr("load")(file);
        file.attr("close")();
        return value;
    } catch (...) {
        file.attr("close")();
        throw;
    }
}

// The installed distributions, by the names of their metadata directories (which carry their
// versions), with the interpreter's version: results computed under other packages are not reused.
std::string environment_fingerprint() {
    nb::list seen;
    seen.append(scope->get("sys").attr("version"));
    for (nb::handle entry : scope->get("sys").attr("path")) {
        std::string path = text_of(entry);
        if (path.find("-packages") == std::string::npos) continue;
        try {
            for (nb::handle name : scope->get("sorted")(os().attr("listdir")(entry)))
                if (text_of(name).find(".dist-info") != std::string::npos ||
                    text_of(name).find(".egg-info") != std::string::npos)
                    seen.append(name);
        } catch (nb::python_error&) {
        }
    }
    return sha256(scope->get("json").attr("dumps")(seen));
}

}  // namespace

Cache::Cache(const Run& run) : root_(run.options.cache_dir) {
    entries_ = root_ + "/entries";
    values_ = root_ + "/values";
    analyses_ = root_ + "/analysis";
    environment_ = environment_fingerprint();
}

// The directories are made when the run starts, after every check of the command line: a command
// that cannot run writes nothing.
void Cache::open() {
    if (opened_) return;
    opened_ = true;
    for (const std::string& directory : {root_, entries_, values_, analyses_}) make_private_directory(directory);
    std::string tag = root_ + "/CACHEDIR.TAG";
    if (!arg_bool(os().attr("path").attr("exists")(from_utf8(tag))))
        write_private(tag, nb::str("Signature: 8a477f597d28d172789f06886806bc55\n"
                                   "# The run cache of trelvo: values and outputs of notebook cells.\n"));
    for (auto& [path, text] : pending_analyses_) {
        try {
            write_private(path, text);
        } catch (nb::python_error&) {
        }
    }
    pending_analyses_.clear();
}

// Everything that decides a cell's results: its code, the state of every name it reads (the key of
// the cell it comes from, or a parameter's value), the barriers before it, the working directory,
// and the interpreter and packages that run it.
std::string Cache::key_of(const Run& run, const Cell& cell) const {
    nb::dict material;
    material["format"] = kFormat;
    material["code"] = from_utf8(cell.code);
    nb::list inputs, barriers;
    for (const auto& [name, provider] : cell.needs.inputs) {
        const Cell& from = run.cells[provider];
        nb::str key = from_utf8(name);
        std::string version = from.sets_parameters && run.parameters.contains(key)
                                  ? "=" + text_of(nb::repr(run.parameters[key]))
                                  : from.key;
        inputs.append(nb::make_tuple(key, from_utf8(version)));
    }
    for (std::size_t parent : cell.needs.parents)
        if (run.cells[parent].needs.barrier) barriers.append(from_utf8(run.cells[parent].key));
    material["inputs"] = inputs;
    material["barriers"] = barriers;
    material["cwd"] = from_utf8(run.options.cwd);
    material["environment"] = from_utf8(environment_);
    material["trelvo"] = scope->get("trelvo_core").attr("__version__");
    return sha256(scope->get("json").attr("dumps")(material, nb::arg("sort_keys") = true)).substr(0, 32);
}

bool Cache::has(const std::string& key) const {
    return arg_bool(os().attr("path").attr("exists")(from_utf8(fanned(entries_, key, ".json"))));
}

bool Cache::load(Cell& cell) {
    std::string path = fanned(entries_, cell.key, ".json");
    if (!arg_bool(os().attr("path").attr("exists")(from_utf8(path)))) return false;
    try {
        nb::object record = read_json(path);
        if (!PyDict_Check(record.ptr()) || !record.attr("get")("format").equal(nb::int_(kFormat)) ||
            !record.attr("get")("key").equal(from_utf8(cell.key)) || !PyList_Check(record.attr("get")("events").ptr()))
            raise(PyExc_ValueError, "it is not a record of this cell");
        cell.events = record["events"];
        cell.timing = nb::borrow<nb::dict>(record.attr("get")("timing", nb::dict()));
        cell.facts = core::RunFacts();
        for (nb::handle name : record["bound"]) cell.facts.bound.insert(text_of(name));
        for (nb::handle name : record["deleted"]) cell.facts.deleted.insert(text_of(name));
        cell.modules = nb::borrow<nb::dict>(record["modules"]);
        for (auto [name, module] : cell.modules) cell.facts.modules.insert(text_of(name));
        cell.stored = nb::borrow<nb::dict>(record["stored"]);
        cell.grouped = nb::borrow<nb::dict>(record["grouped"]);
        cell.value_reads = nb::borrow<nb::dict>(record["value_reads"]);
        cell.unstored = nb::borrow<nb::dict>(record["unstored"]);
    } catch (nb::python_error& error) {
        progress->warning("ignoring the cache entry of " + cell.name + " (" + path + "): " + text_of(error.value()));
        os().attr("unlink")(from_utf8(path));
        return false;
    }
    return true;
}

void Cache::store(const Cell& cell) {
    open();
    try {
        nb::dict record;
        record["format"] = kFormat;
        record["key"] = from_utf8(cell.key);
        record["cell"] = from_utf8(cell.name);
        record["events"] = cell.events;
        record["timing"] = cell.timing;
        nb::list bound, deleted;
        for (const std::string& name : cell.facts.bound) bound.append(from_utf8(name));
        for (const std::string& name : cell.facts.deleted) deleted.append(from_utf8(name));
        record["bound"] = bound;
        record["deleted"] = deleted;
        record["modules"] = cell.modules;
        record["stored"] = cell.stored;
        record["grouped"] = cell.grouped;
        record["value_reads"] = cell.value_reads;
        record["unstored"] = cell.unstored;
        write_private(fanned(entries_, cell.key, ".json"),
                      scope->get("json").attr("dumps")(record, nb::arg("default") = scope->get("repr")));
    } catch (nb::python_error& error) {
        progress->warning("the results of " + cell.name + " are not cached: " + text_of(error.value()));
    }
}

nb::object Cache::analysis(nb::handle code) {
    std::string digest = sha256(nb::str(from_utf8(environment_ + "\n")) + nb::str(code));
    std::string path = fanned(analyses_, digest, ".json");
    try {
        return read_json(path);
    } catch (nb::python_error&) {
    }
    nb::object result = imported("trelvo_core.cli.cells").attr("analyse_cell")(code);
    nb::object text = scope->get("json").attr("dumps")(result);
    if (!opened_) {
        pending_analyses_.emplace_back(path, text);
        return result;
    }
    try {
        write_private(path, text);
    } catch (nb::python_error&) {
    }
    return result;
}

}  // namespace trelvo::cli::runner

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

#include <algorithm>
#include <functional>

namespace trelvo::cli::runner {
namespace {

constexpr int kFormat = 4;
constexpr int kAnalysisFormat = 4;  // raised whenever the analysis of a code changes

nb::object os() { return scope->get("os"); }

void make_private_directory(const std::string& path) {
    os().attr("makedirs")(from_utf8(path), nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    os().attr("chmod")(from_utf8(path), 0700);
}

std::string sha256(nb::handle text) {
    return text_of(scope->get("hashlib").attr("sha256")(text.attr("encode")("utf-8", "surrogatepass")).attr("hexdigest")());
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

std::string fanned(const std::string& directory, const std::string& digest, const char* suffix) {
    return directory + "/" + digest.substr(0, 2) + "/" + digest + suffix;
}

void write_private(const std::string& path, nb::handle data) {
    nb::object os = scope->get("os");
    std::string folder = text_of(os.attr("path").attr("dirname")(from_utf8(path)));
    os.attr("makedirs")(from_utf8(folder), nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    std::string temporary = path + ".tmp." + text_of(nb::str(os.attr("getpid")()));
    nb::object fd = os.attr("open")(from_utf8(temporary), nb::int_(O_WRONLY | O_CREAT | O_TRUNC), 0600);
    nb::object file = PyBytes_Check(data.ptr()) ? os.attr("fdopen")(fd, "wb")
                                                : os.attr("fdopen")(fd, "w", nb::arg("encoding") = "utf-8");
    try {
        file.attr("write")(data);
        file.attr("close")();
    } catch (...) {
        file.attr("close")();
        os.attr("unlink")(from_utf8(temporary));
        throw;
    }
    os.attr("replace")(from_utf8(temporary), from_utf8(path));
}


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
std::string Cache::key_of(const Run& run, Cell& cell) const {
    cell.material = material_of(run, cell);
    return sha256(scope->get("json").attr("dumps")(cell.material, nb::arg("sort_keys") = true)).substr(0, 32);
}

nb::dict Cache::material_of(const Run& run, const Cell& cell) const {
    nb::dict material;
    material["format"] = kFormat;
    material["code"] = from_utf8(cell.code);
    nb::list inputs, barriers;
    for (const auto& [name, provider] : cell.needs.inputs) {
        const Cell& from = run.cells[provider];
        nb::str key = from_utf8(name);
        // A value or a file is known by its contents where it was stored: a cell whose inputs hold
        // what they held before stays cached when the cell that handed them on ran again. A state
        // and a module are known by the cell that bound them (a generator's state after import
        // is random every run), and so is what a cell that runs every time hands on.
        std::string version = from.key;
        if (from.volatile_key) {
            // as it is
        } else if (from.sets_parameters && run.parameters.contains(key)) {
            version = "=" + text_of(nb::repr(run.parameters[key]));
        } else if (is_file_state(name) && from.files.contains(from_utf8(file_of(name)))) {
            version = "#" + text_of(from.files[from_utf8(file_of(name))]);
        } else if (!core::is_state(name) && from.stored.contains(key)) {
            version = "#" + text_of(from.stored[key]);
        }
        inputs.append(nb::make_tuple(key, from_utf8(version)));
    }
    // A file no earlier cell changed is what the disk holds.
    for (const std::string& name : cell.needs.unprovided)
        if (is_file_state(name)) inputs.append(nb::make_tuple(from_utf8(name), from_utf8("=" + run.files->digest(file_of(name)))));
    for (std::size_t parent : cell.needs.parents)
        if (run.cells[parent].needs.barrier) barriers.append(from_utf8(run.cells[parent].key));
    nb::dict modules;  // the source of the local modules it imports
    for (const std::string& module : cell.names.modules) {
        std::string digest = run.files->module_digest(run.options.cwd, module);
        if (!digest.empty()) modules[from_utf8(module.substr(0, module.find('.')))] = from_utf8(digest);
    }
    material["modules"] = modules;
    material["inputs"] = inputs;
    material["barriers"] = barriers;
    material["cwd"] = from_utf8(run.options.cwd);
    material["environment"] = from_utf8(environment_);
    material["trelvo"] = scope->get("trelvo_core").attr("__version__");
    // A cell tagged no-cache, or named with --rerun, runs every time, and so do its descendants.
    if (cell.volatile_key) material["volatile"] = from_utf8(run.nonce);
    return material;
}

bool Cache::has(const std::string& key) const {
    return arg_bool(os().attr("path").attr("exists")(from_utf8(fanned(entries_, key, ".json"))));
}

// Whether a file of the cache is as this user wrote it: owned by them and writable by nobody else.
// Anyone else who can change the cache can make the kernel run code (values are pickles).
bool Cache::trusted(const std::string& path) const {
    try {
        nb::object status = os().attr("stat")(from_utf8(path));
        return nb::cast<long>(status.attr("st_uid")) == nb::cast<long>(os().attr("getuid")()) &&
               (nb::cast<long>(status.attr("st_mode")) & 022) == 0;
    } catch (nb::python_error&) {
        return false;
    }
}

nb::object Cache::record_of(const std::string& key) const {
    std::string path = fanned(entries_, key, ".json");
    if (!arg_bool(os().attr("path").attr("exists")(from_utf8(path))) || !trusted(path)) return nb::none();
    try {
        nb::object record = read_json(path);
        if (PyDict_Check(record.ptr()) && record.attr("get")("key").equal(from_utf8(key)) &&
            record.attr("get")("format").equal(nb::int_(kFormat)))
            return record;
    } catch (nb::python_error&) {
    }
    return nb::none();
}

bool Cache::load(Cell& cell) {
    std::string path = fanned(entries_, cell.key, ".json");
    if (!arg_bool(os().attr("path").attr("exists")(from_utf8(path)))) return false;
    if (!trusted(path)) {
        progress->warning("ignoring the cache entry of " + cell.name + " (" + path +
                          "): it was changed by another user");
        return false;
    }
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
        cell.files = nb::borrow<nb::dict>(record["files"]);
        cell.unstored = nb::borrow<nb::dict>(record["unstored"]);
    } catch (nb::python_error& error) {
        progress->warning("ignoring the cache entry of " + cell.name + " (" + path + "): " + text_of(error.value()));
        os().attr("unlink")(from_utf8(path));
        return false;
    }
    used_.insert(cell.key);
    touch(path);
    return true;
}

// Entries are evicted least recently used first: using one marks it.
void Cache::touch(const std::string& path) {
    try {
        os().attr("utime")(from_utf8(path));
    } catch (nb::python_error&) {
    }
}

void Cache::store(const Run& run, const Cell& cell) {
    open();
    try {
        nb::dict record;
        record["format"] = kFormat;
        record["key"] = from_utf8(cell.key);
        record["cell"] = from_utf8(cell.name);
        record["notebook"] = from_utf8(run.options.notebook);
        record["material"] = cell.material;
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
        record["files"] = cell.files;
        record["unstored"] = cell.unstored;
        write_private(fanned(entries_, cell.key, ".json"),
                      scope->get("json").attr("dumps")(record, nb::arg("default") = scope->get("repr")));
        used_.insert(cell.key);
        wrote_ = true;
    } catch (nb::python_error& error) {
        progress->warning("the results of " + cell.name + " are not cached: " + text_of(error.value()));
    }
}

// ---- what the notebooks' cells last ran as, and keeping the cache within its size ----------------

std::string Cache::index_path(const std::string& notebook) const {
    return root_ + "/notebooks/" + sha256(from_utf8(notebook)).substr(0, 32) + ".json";
}

void Cache::remember(const Run& run) {
    open();
    nb::dict index, cells;
    for (const Cell& cell : run.cells)
        cells[from_utf8(cell.id)] = nb::make_tuple(from_utf8(cell.key), status_word(cell.status));
    index["notebook"] = from_utf8(run.options.notebook);
    index["cells"] = cells;
    try {
        write_private(index_path(run.options.notebook), scope->get("json").attr("dumps")(index));
    } catch (nb::python_error& error) {
        progress->warning("cannot note the run in the cache: " + text_of(error.value()));
    }
}

std::pair<std::string, std::string> Cache::last_run(const Run& run, const Cell& cell) const {
    try {
        nb::object index = read_json(index_path(run.options.notebook));
        nb::object last = index["cells"].attr("get")(from_utf8(cell.id));
        if (!last.is_none()) return {text_of(last[0]), text_of(last[1])};
    } catch (nb::python_error&) {
    }
    return {"", ""};
}

std::vector<std::string> Cache::notebooks() const {
    std::vector<std::string> found;
    for (nb::handle path : imported("glob").attr("glob")(from_utf8(root_ + "/notebooks/*.json"))) {
        try {
            found.push_back(text_of(read_json(text_of(path))["notebook"]));
        } catch (nb::python_error&) {
        }
    }
    return found;
}

namespace {

// Every file under a directory, with its size and modification time.
struct Stored {
    std::string path;
    std::size_t size;
    double used;
};

std::vector<Stored> files_under(const std::string& directory) {
    std::vector<Stored> found;
    nb::object glob = imported("glob").attr("glob");
    for (nb::handle path : glob(from_utf8(directory + "/*/*"))) {
        try {
            nb::object status = scope->get("os").attr("stat")(path);
            found.push_back({text_of(path), nb::cast<std::size_t>(status.attr("st_size")),
                             nb::cast<double>(status.attr("st_mtime"))});
        } catch (nb::python_error&) {
        }
    }
    return found;
}

}  // namespace

// The entries and values of the cache, read once, with how many entries refer to each value.
Cache::Contents Cache::contents() const {
    Contents c;
    for (const Stored& value : files_under(values_)) {
        std::string name = text_of(os().attr("path").attr("basename")(from_utf8(value.path)));
        if (name.find('.') != std::string::npos) continue;  // being written
        c.values[name] = {value.path, value.size};
        c.bytes += value.size;
    }
    for (const Stored& file : files_under(entries_)) {
        Contents::Entry entry{text_of(os().attr("path").attr("basename")(from_utf8(file.path))).substr(0, 32),
                              file.path, file.size, file.used, {}, nb::none()};
        try {
            entry.record = read_json(file.path);
            if (!entry.record.attr("get")("format").equal(nb::int_(kFormat))) raise(PyExc_ValueError, "another format");
            for (auto [name, digest] : nb::borrow<nb::dict>(entry.record.attr("get")("stored", nb::dict()))) {
                entry.values.push_back(text_of(digest));
                ++c.references[text_of(digest)];
            }
        } catch (nb::python_error&) {
            entry.record = nb::none();
        }
        c.bytes += file.size;
        c.entries.push_back(std::move(entry));
    }
    return c;
}

// Removes an entry, and the values no other entry refers to.
void Cache::remove(Contents& c, const Contents::Entry& entry) {
    try {
        os().attr("unlink")(from_utf8(entry.path));
    } catch (nb::python_error&) {
    }
    c.bytes -= entry.size;
    for (const std::string& digest : entry.values) {
        if (--c.references[digest] > 0) continue;
        auto value = c.values.find(digest);
        if (value == c.values.end()) continue;
        try {
            os().attr("unlink")(from_utf8(value->second.first));
        } catch (nb::python_error&) {
        }
        c.bytes -= value->second.second;
        c.values.erase(value);
    }
}

// After a run that wrote to the cache: the entries used least recently go until it fits in
// `limit` bytes; those this run used stay.
void Cache::keep_within(std::size_t limit) {
    if (!wrote_) return;
    std::size_t bytes = 0;  // by the files' sizes: the records are read only when something must go
    for (const std::string& directory : {entries_, values_})
        for (const Stored& file : files_under(directory)) bytes += file.size;
    if (bytes <= limit) return;
    Contents c = contents();
    if (c.bytes <= limit) return;
    std::sort(c.entries.begin(), c.entries.end(), [](const auto& a, const auto& b) { return a.used < b.used; });
    for (const Contents::Entry& entry : c.entries) {
        if (c.bytes <= limit) break;
        if (!used_.count(entry.key)) remove(c, entry);
    }
    if (c.bytes > limit)
        progress->warning("the cache at " + root_ + " holds more than --cache-size: this run's own results need that much");
}

// Removes the entries that `keep` does not keep (and those that cannot be read), then the values
// no entry refers to; returns how many entries went.
std::size_t Cache::prune(const std::function<bool(const std::string& key, nb::handle record)>& keep) {
    Contents c = contents();
    std::size_t removed = 0;
    for (const Contents::Entry& entry : c.entries)
        if (entry.record.is_none() || !keep(entry.key, entry.record)) {
            remove(c, entry);
            ++removed;
        }
    for (const auto& [digest, value] : c.values)  // values no entry refers to at all
        if (!c.references[digest]) {
            try {
                os().attr("unlink")(from_utf8(value.first));
            } catch (nb::python_error&) {
            }
        }
    return removed;
}

CacheUsage Cache::usage() const {
    Contents c = contents();
    return {c.entries.size(), c.values.size(), c.bytes};
}

nb::object Cache::analysis(nb::handle code) {
    std::string digest = sha256(nb::str(from_utf8(environment_ + "\n" + std::to_string(kAnalysisFormat) + "\n")) + nb::str(code));
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

// `trelvo run`: a notebook's code cells become components wired by the names they read, run
// incrementally against the run cache, and the executed notebook is written beside the input.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {

const Scope* scope = nullptr;
const std::chrono::steady_clock::time_point loaded_at = std::chrono::steady_clock::now();

void register_execution(const Scope& s);

[[noreturn]] void usage_error(const std::string& message) {
    PyErr_SetString(scope->get("TrelvoUsageError").ptr(), message.c_str());
    throw nb::python_error();
}

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// ---- the options and the notebook --------------------------------------------------------

nb::object literal_or_text(nb::handle text) {
    try {
        return scope->get("ast").attr("literal_eval")(text);
    } catch (nb::python_error&) {
        return nb::borrow(text);
    }
}

nb::object option(nb::handle args, const char* name) { return nb::getattr(args, name, nb::none()); }

}  // namespace

// The options every command shares; those a command does not have keep their defaults.
Options read_options(nb::handle args) {
    Options o;
    o.notebook = text_of(args.attr("notebook"));
    nb::object path = scope->get("os").attr("path");
    nb::object directory = path.attr("dirname")(path.attr("abspath")(from_utf8(o.notebook)));
    o.cache_dir = option(args, "cache_dir").is_none() ? text_of(path.attr("join")(directory, ".trelvo-cache"))
                                                      : text_of(option(args, "cache_dir"));
    nb::object overrides = option(args, "parameter");
    if (!overrides.is_none())
        for (nb::handle pair : overrides) o.parameters[pair[0]] = literal_or_text(pair[1]);
    o.use_cache = !arg_bool(option(args, "no_cache"));
    o.force = arg_bool(option(args, "force"));
    o.quiet = arg_bool(option(args, "quiet"));
    if (!option(args, "jobs").is_none()) o.jobs = nb::cast<int>(args.attr("jobs"));
    if (o.jobs < 1) usage_error("--jobs must be at least 1, got " + std::to_string(o.jobs));
    if (!option(args, "remote").is_none()) {
        o.broker = text_of(args.attr("remote"));
        o.backend = option(args, "backend").is_none() ? o.broker : text_of(args.attr("backend"));
    } else if (!option(args, "backend").is_none()) {
        usage_error("--backend needs --remote");
    }
    if (!option(args, "timeout").is_none()) {
        o.timeout = nb::cast<double>(args.attr("timeout"));
        if (!(o.timeout > 0)) usage_error("--timeout must be a positive number of seconds");
    }
    return o;
}

// OUTPUT, or <stem><suffix> beside the notebook; its directory must exist.
std::string output_path(const Options& o, nb::handle given, const std::string& suffix) {
    nb::object path = scope->get("os").attr("path");
    std::string output = given.is_none()
        ? text_of(path.attr("join")(path.attr("dirname")(path.attr("abspath")(from_utf8(o.notebook))),
                                    from_utf8(notebook_stem(o) + suffix)))
        : text_of(given);
    if (output != "-" &&
        !arg_bool(path.attr("isdir")(path.attr("dirname")(path.attr("abspath")(from_utf8(output))))))
        usage_error("cannot write " + quoted(output) + ": its directory does not exist");
    return output;
}

std::string notebook_stem(const Options& o) {
    nb::object path = scope->get("os").attr("path");
    return text_of(path.attr("splitext")(path.attr("basename")(from_utf8(o.notebook)))[0]);
}

namespace {

// A cell's text field as one string (the file may hold a list of lines).
nb::object joined(nb::handle text) {
    if (PyList_Check(text.ptr())) return nb::str("").attr("join")(text);
    if (!PyUnicode_Check(text.ptr())) raise(PyExc_ValueError, "a cell's source is not text");
    return nb::borrow(text);
}

// The notebook's JSON with every source as one string, or a usage error naming what is wrong
// with the file. nbformat is imported only to upgrade an older format: importing it costs a
// second (its schema validator).
nb::object read_notebook(const std::string& file) {
    nb::object text;
    try {
        nb::object handle = scope->get("open")(from_utf8(file), "r", nb::arg("encoding") = "utf-8");
        text = handle.attr("read")();
        handle.attr("close")();
    } catch (nb::python_error& error) {
        nb::object reason = nb::getattr(error.value(), "strerror", nb::none());
        usage_error("cannot read " + quoted(file) + ": " +
                    (reason.is_none() ? text_of(error.value()) : text_of(reason)));
    }
    nb::object notebook;
    try {
        notebook = scope->get("json").attr("loads")(text);
    } catch (nb::python_error& error) {
        usage_error(quoted(file) + " is not valid JSON: " + text_of(error.value()));
    }
    try {
        if (!PyDict_Check(notebook.ptr()) || !PyList_Check(notebook.attr("get")("cells").ptr()))
            raise(PyExc_ValueError, "it has no list of cells");
        if (!notebook.attr("get")("nbformat").equal(nb::int_(4))) {
            nb::object nbformat = scope->get("importlib").attr("import_module")("nbformat");
            notebook = scope->get("json").attr("loads")(
                nbformat.attr("writes")(nbformat.attr("reads")(text, nb::arg("as_version") = 4)));
        }
        for (nb::handle cell : notebook["cells"]) {
            if (!PyDict_Check(cell.ptr())) raise(PyExc_ValueError, "a cell is not an object");
            std::string type = text_of(cell.attr("get")("cell_type"));
            if (type != "code" && type != "markdown" && type != "raw")
                raise(PyExc_ValueError, "a cell has the unknown type '%s'", type.c_str());
            cell["source"] = joined(cell.attr("get")("source", ""));
            if (!PyDict_Check(cell.attr("setdefault")("metadata", nb::dict()).ptr()))
                raise(PyExc_ValueError, "a cell's metadata is not an object");
        }
        return notebook;
    } catch (nb::python_error& error) {
        std::string reason = text_of(error.value());
        reason = reason.substr(0, reason.find('\n'));
        usage_error(quoted(file) + " is not a Jupyter notebook: " + reason);
    }
}

bool has_tag(nb::handle cell, const char* tag) {
    nb::object tags = cell["metadata"].attr("get")("tags", nb::list());
    return PyList_Check(tags.ptr()) && contains(tags, nb::str(tag));
}

std::string cell_name(nb::handle code, std::size_t position) {
    std::string first = text_of(code);
    first = first.substr(0, first.find('\n'));
    nb::object match = scope->get("re").attr("match")(R"(\s*#\s*name:\s*(.*\S))", from_utf8(first));
    return match.is_none() ? "cell-" + std::to_string(position) : text_of(match.attr("group")(1));
}

// ---- the plan ------------------------------------------------------------------------------

// The parameters cell's values, with the overrides applied; an override of a name the cell does
// not set is a usage error.
void read_parameters(Run& run, nb::handle parameters_cell) {
    std::vector<std::string> names;
    if (parameters_cell.is_valid()) {
        nb::str code = nb::str(parameters_cell["source"]);
        nb::dict values;
        try {
            nb::object python = scope->get("TransformerManager")().attr("transform_cell")(code);
            scope->get("exec")(scope->get("compile")(python, "<parameters>", "exec"), values);
        } catch (nb::python_error& error) {
            usage_error("the parameters cell of " + quoted(run.options.notebook) + " fails: " +
                        text_of(nb::str(nb::handle((PyObject*)Py_TYPE(error.value().ptr())).attr("__name__"))) +
                        ": " + text_of(error.value()));
        }
        nb::object analysed = scope->get("analyse_cell")(code);
        nb::object binds = analysed["binds"];
        for (nb::handle name : binds) {
            if (!values.contains(name)) continue;
            run.parameters[name] = values[name];
            names.push_back(text_of(name));
        }
    }
    for (auto [name, value] : run.options.parameters) {
        if (!run.parameters.contains(name)) {
            std::string known;
            for (const std::string& n : names) known += (known.empty() ? "" : ", ") + n;
            usage_error(parameters_cell.is_valid()
                            ? "unknown parameter '" + text_of(name) + "' (the parameters cell sets: " +
                                  (known.empty() ? "nothing" : known) + ")"
                            : "-p " + text_of(name) + ": no cell of " + quoted(run.options.notebook) +
                                  " is tagged 'parameters'");
        }
        run.parameters[name] = value;
    }
}

void plan_cells(Run& run) {
    nb::list notebook_cells = nb::list(run.notebook["cells"]);
    nb::handle parameters_cell;
    nb::list codes, parameter_names;
    for (std::size_t i = 0; i < nb::len(notebook_cells); ++i) {
        nb::handle nb_cell = notebook_cells[i];
        if (text_of(nb_cell["cell_type"]) != "code") continue;
        nb::str code = nb::str(nb_cell["source"]);
        if (!parameters_cell.is_valid() && has_tag(nb_cell, "parameters")) parameters_cell = nb_cell;
        if (!arg_bool(code.attr("strip")()) || has_tag(nb_cell, "skip-execution")) continue;
        Cell cell;
        cell.notebook_index = i;
        nb::object id = nb_cell.attr("get")("id");
        cell.id = id.is_none() ? "position-" + std::to_string(i + 1) : text_of(id);
        cell.name = cell_name(code, i + 1);
        cell.code = text_of(code);
        codes.append(code);
        run.cells.push_back(std::move(cell));
    }
    read_parameters(run, parameters_cell);
    for (auto [name, value] : run.parameters) parameter_names.append(name);
    nb::list dependencies = nb::borrow<nb::list>(scope->get("cell_dependencies")(codes, parameter_names));
    for (std::size_t i = 0; i < run.cells.size(); ++i) {
        Cell& cell = run.cells[i];
        nb::handle d = dependencies[i];
        for (nb::handle parent : d["parents"]) cell.parents.push_back(nb::cast<std::size_t>(parent));
        for (auto [name, parent] : nb::borrow<nb::dict>(d["inputs"])) cell.inputs[text_of(name)] = nb::cast<std::size_t>(parent);
        for (nb::handle name : d["parameters"]) cell.parameters.push_back(text_of(name));
        cell.key = cell_key(run, cell);
    }
}

void make_components(Run& run) {
    nb::object remote = nb::none();
    if (!run.options.broker.empty())
        remote = scope->get("TrelvoComponentRemoteConfigModel")(
            nb::arg("broker") = from_utf8(run.options.broker), nb::arg("backend") = from_utf8(run.options.backend));
    for (Cell& cell : run.cells) {
        nb::object metadata = scope->get("TrelvoComponentMetadataModel")(
            nb::arg("componentType") = "Norvel", nb::arg("diskcache") = run.options.use_cache,
            nb::arg("remoteExecution") = remote);
        // The first component starts the kernel application in this process; the rest share it.
        cell.component = scope->get("TrelvoComponentNorvel")(
            from_utf8(cell.id), from_utf8(cell.name), from_utf8(cell.code),
            nb::arg("metadata") = metadata,
            nb::arg("ipython_shell") = run.shell.is_valid() ? nb::object(run.shell) : nb::none());
        if (!run.shell.is_valid()) run.shell = cell.component.attr("_ipython_shell");
        for (std::size_t parent : cell.parents)
            cell.component.attr("add_parent")(from_utf8(run.cells[parent].id), from_utf8(run.cells[parent].name));
    }
}

// ---- the executed notebook ---------------------------------------------------------------

nb::dict trelvo_metadata(const Run& run, const Cell& cell) {
    nb::dict metadata;
    const char* status = cell.status == CellStatus::ran ? "successful" : status_word(cell.status);
    metadata["status"] = status;
    metadata["duration"] = std::round(cell.duration * 1e6) / 1e6;
    nb::list parents;
    for (std::size_t parent : cell.parents) parents.append(from_utf8(run.cells[parent].id));
    metadata["parents"] = parents;
    return metadata;
}

nb::object split_lines(nb::handle text) {
    return PyUnicode_Check(text.ptr()) ? nb::object(text.attr("splitlines")(true)) : nb::borrow(text);
}

bool is_json_mime(const std::string& mime) {
    return mime == "application/json" || (mime.size() > 5 && mime.compare(mime.size() - 5, 5, "+json") == 0);
}

// The notebook as nbformat writes it: multi-line texts as lists of lines, JSON data as is.
nb::object as_written(nb::handle notebook) {
    for (nb::handle cell : notebook["cells"]) {
        cell["source"] = split_lines(cell["source"]);
        if (!nb::borrow<nb::dict>(cell).contains("outputs")) continue;
        for (nb::handle output : cell["outputs"]) {
            nb::dict o = nb::borrow<nb::dict>(output);
            if (o.contains("text")) o["text"] = split_lines(o["text"]);
            if (!o.contains("data") || !PyDict_Check(nb::object(o["data"]).ptr())) continue;
            for (auto [mime, value] : nb::borrow<nb::dict>(o["data"]))
                if (!is_json_mime(text_of(mime))) o["data"][mime] = split_lines(value);
        }
    }
    return nb::borrow(notebook);
}

void write_notebook(Run& run) {
    nb::list cells = nb::list(run.notebook["cells"]);
    std::size_t size = nb::len(cells);
    nb::list events, counts;
    for (std::size_t i = 0; i < size; ++i) {
        events.append(nb::none());
        counts.append(nb::none());
    }
    int count = 0;
    for (const Cell& cell : run.cells) {
        events[cell.notebook_index] = cell.events.is_valid() ? cell.events : nb::object(nb::list());
        if (cell.status != CellStatus::skipped) counts[cell.notebook_index] = ++count;
    }
    nb::list outputs = nb::borrow<nb::list>(scope->get("assemble")(events, counts));
    for (const Cell& cell : run.cells) {
        nb::handle nb_cell = cells[cell.notebook_index];
        nb_cell["outputs"] = outputs[cell.notebook_index];
        nb_cell["execution_count"] = counts[cell.notebook_index];
        nb_cell["metadata"]["trelvo"] = trelvo_metadata(run, cell);
    }
    for (nb::handle nb_cell : cells)
        if (text_of(nb_cell["cell_type"]) == "code" && has_tag(nb_cell, "skip-execution")) {
            nb::dict metadata;
            metadata["status"] = "skipped";
            metadata["duration"] = 0.0;
            metadata["parents"] = nb::list();
            nb_cell["metadata"]["trelvo"] = metadata;
        }
    nb::str temporary = from_utf8(run.options.output + ".partial");
    nb::object file = scope->get("open")(temporary, "w", nb::arg("encoding") = "utf-8");
    file.attr("write")(scope->get("json").attr("dumps")(as_written(run.notebook), nb::arg("sort_keys") = true,
                                                        nb::arg("indent") = 1, nb::arg("ensure_ascii") = false));
    file.attr("write")("\n");
    file.attr("close")();
    scope->get("os").attr("replace")(temporary, from_utf8(run.options.output));
}

}  // namespace

void plan(Run& run) { plan_cells(run); }

void prepare(Run& run, nb::handle args) {
    run.options = read_options(args);
    run.notebook = read_notebook(run.options.notebook);
    plan(run);
    run.cache_root = text_of(scope->get("os").attr("path").attr("abspath")(from_utf8(run.options.cache_dir)));
}

// sys.stdin empty for the span of the scope: a cell that asks for input fails at once (as under
// a notebook executor) instead of waiting on the terminal.
class NoInput {
public:
    NoInput() {
        nb::object sys = scope->get("sys");
        saved_ = sys.attr("stdin");
        sys.attr("stdin") = scope->get("io").attr("StringIO")("");
    }
    ~NoInput() { scope->get("sys").attr("stdin") = saved_; }

private:
    nb::object saved_;
};

void execute(Run& run) {
    NoInput no_input;
    // Workers are forked before this process starts its kernel, so they start from a clean one.
    if (run.options.jobs > 1 && run.options.broker.empty())
        run.pool = scope->get("multiprocessing").attr("get_context")("fork").attr("Pool")(run.options.jobs);
    try {
        make_components(run);
        if (!run.options.broker.empty()) {
            nb::object executor = scope->get("TrelvoRemoteComponentExecutor")(
                "ping", "ping", nb::arg("backend") = from_utf8(run.options.backend),
                nb::arg("broker") = from_utf8(run.options.broker));
            nb::tuple answer = nb::tuple(executor.attr("ping")());
            if (!arg_bool(answer[0]))
                usage_error("no celery worker answers at " + run.options.broker +
                            " (start one with: trelvo worker --broker " + run.options.broker + ")");
        }
        if (run.options.use_cache && !run.options.force)
            for (Cell& cell : run.cells)
                if (load_cached(run, cell)) cell.status = CellStatus::cached;
        run_cells(run);
    } catch (...) {
        if (run.pool.is_valid()) run.pool.attr("terminate")();
        throw;
    }
    if (run.pool.is_valid()) {
        run.pool.attr("close")();
        run.pool.attr("join")();
    }
}

const Cell* first_failed(const Run& run) {
    for (const Cell& cell : run.cells)
        if (cell.status == CellStatus::failed) return &cell;
    return nullptr;
}

namespace {

nb::object run_notebook(const Args& a) {
    Run run;
    prepare(run, a[0]);
    run.options.output = output_path(run.options, option(a[0], "output"), ".out.ipynb");
    Progress reporter(run, run.options.quiet);
    ProgressScope scope_of_progress(reporter);
    execute(run);
    write_notebook(run);
    reporter.summary();
    return nb::int_(first_failed(run) ? 1 : 0);
}

}  // namespace
}  // namespace trelvo::cli::runner

NB_MODULE(runner, m) {
    using namespace trelvo::cli::runner;
    scope = new Scope(m);
    for (const char* module : {"ast", "hashlib", "importlib", "io", "json", "multiprocessing", "os", "queue",
                               "re", "shutil", "signal", "sys", "traceback", "trelvo_core"})
        scope->import(module);
    scope->import_from("builtins", {"compile", "exec", "open", "repr", "set"});
    scope->import_from("multiprocessing.pool", {"ThreadPool"});
    scope->import_from("types", {"SimpleNamespace"});
    scope->import_from("IPython.core.inputtransformer2", {"TransformerManager"});
    scope->import_from("trelvo_core.cli.cells", {"analyse_cell", "cell_dependencies"});
    scope->import_from("trelvo_core.cli.outputs", {"assemble", "error_event", "record_events", "result_events"});
    scope->import_from("trelvo_core.components.norvel", {"TrelvoComponentNorvel", "_WRITTEN_DIRECTORIES"});
    scope->import_from("trelvo_core.executors", {"TrelvoRemoteComponentExecutor"});
    scope->import_from("trelvo_core.misc", {"TrelvoComponentStatus", "TrelvoDiskcacheStatus"});
    scope->import_from("trelvo_core.misc.models",
                       {"TrelvoComponentMetadataModel", "TrelvoComponentRemoteConfigModel"});
    nb::object usage = nb::steal(PyErr_NewExceptionWithDoc(
        "trelvo_core.cli.runner.TrelvoUsageError",
        "A command line that cannot run: the message is the one line to show.", PyExc_ValueError, nullptr));
    scope->set("TrelvoUsageError", usage);
    register_execution(*scope);
    register_export(*scope);
    register_optimize(*scope);
    define_function(*scope, "run_notebook", {arg("args")}, "int", run_notebook,
                    "Runs the notebook of the parsed `trelvo run` arguments and writes the executed "
                    "notebook; returns the exit status (1 when a cell failed).");
}

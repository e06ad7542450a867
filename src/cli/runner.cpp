// `trelvo run`: a notebook's code cells run as Jupyter runs them, in a kernel of their own, with
// the run cache serving the cells whose results cannot have changed and the dependencies between
// cells deciding what a failure stops; the executed notebook is written beside the input.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {

const Scope* scope = nullptr;
const std::chrono::steady_clock::time_point loaded_at = std::chrono::steady_clock::now();

Run::Run() = default;
Run::~Run() {
    engine.reset();
    if (!own_store.empty()) imported("shutil").attr("rmtree")(from_utf8(own_store), nb::arg("ignore_errors") = true);
}

nb::object imported(const char* module) { return nb::module_::import_(module); }

[[noreturn]] void usage_error(const std::string& message) {
    PyErr_SetString(scope->get("TrelvoUsageError").ptr(), message.c_str());
    throw nb::python_error();
}

namespace {

nb::object literal_or_text(nb::handle text) {
    try {
        return scope->get("ast").attr("literal_eval")(text);
    } catch (nb::python_error&) {
        return nb::borrow(text);
    }
}

nb::object option(nb::handle args, const char* name) { return nb::getattr(args, name, nb::none()); }

std::string absolute(nb::handle path) { return text_of(scope->get("os").attr("path").attr("abspath")(path)); }

// "500M", "10G", "2048K" or a number of bytes.
std::size_t size_in_bytes(const std::string& text) {
    nb::object match = scope->get("re").attr("fullmatch")(R"(\s*(\d+(?:\.\d+)?)\s*([KMGT]?)i?B?\s*)",
                                                          from_utf8(text), scope->get("re").attr("I"));
    if (match.is_none()) usage_error("--cache-size " + text + ": expected a size such as 500M or 10G");
    double number = nb::cast<double>(nb::float_(match.attr("group")(1)));
    std::string unit = text_of(match.attr("group")(2).attr("upper")());
    int shift = unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : unit == "T" ? 40 : 0;
    return static_cast<std::size_t>(number * static_cast<double>(std::size_t(1) << shift));
}

}  // namespace

// The options every command shares; those a command does not have keep their defaults. Paths are
// made absolute here, before any cell runs: a cell's os.chdir cannot move them.
Options read_options(nb::handle args) {
    Options o;
    nb::object path = scope->get("os").attr("path");
    nb::object notebook = option(args, "notebook");
    o.notebook = notebook.is_none() ? "" : absolute(notebook);
    std::string directory = notebook.is_none() ? absolute(nb::str(".")) : text_of(path.attr("dirname")(from_utf8(o.notebook)));
    o.cache_dir = option(args, "cache_dir").is_none() ? directory + "/.trelvo-cache" : absolute(option(args, "cache_dir"));
    o.cwd = option(args, "cwd").is_none() ? directory : absolute(option(args, "cwd"));
    if (!arg_bool(path.attr("isdir")(from_utf8(o.cwd))))
        usage_error("--cwd " + text_of(option(args, "cwd")) + ": no such directory");
    nb::object overrides = option(args, "parameter");
    if (!overrides.is_none())
        for (nb::handle pair : overrides) o.parameters[pair[0]] = literal_or_text(pair[1]);
    o.use_cache = !arg_bool(option(args, "no_cache"));
    o.force = arg_bool(option(args, "force"));
    o.explain = arg_bool(option(args, "explain"));
    if (o.explain && !o.use_cache) usage_error("--explain says what the cache would do: it cannot go with --no-cache");
    nb::object rerun = option(args, "rerun");
    if (!rerun.is_none())
        for (nb::handle name : rerun) o.rerun.push_back(text_of(name));
    if (!option(args, "cache_size").is_none()) o.cache_size = size_in_bytes(text_of(args.attr("cache_size")));
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

void prepare(Run& run, nb::handle args) {
    run.options = read_options(args);
    run.notebook = read_notebook(run.options);
    read_parameters(run);
}

const Cell* first_failure(const Run& run) {
    for (const Cell& cell : run.cells)
        if (cell.status == CellStatus::failed && !cell.expects_error) return &cell;
    return nullptr;
}

namespace {

nb::object run_notebook(const Args& a) {
    Run run;
    prepare(run, a[0]);
    run.options.output = output_path(run.options, option(a[0], "output"), ".out.ipynb");
    // Every cell runs: the kernel starts while the cells are planned.
    if (!run.options.use_cache && run.options.broker.empty()) run.engine = std::make_unique<Engine>(run.options);
    plan(run);
    if (run.options.explain) {
        Progress silent(run, true, true);
        ProgressScope scope_of_progress(silent);
        return nb::int_(explain(run));
    }
    Progress reporter(run, run.options.quiet);
    ProgressScope scope_of_progress(reporter);
    try {
        run_cells(run);
    } catch (std::runtime_error& error) {
        reporter.problem(error.what());
        return nb::int_(1);
    }
    if (run.engine && run.engine->language_info.is_valid() && !run.engine->language_info.is_none())
        run.notebook["metadata"]["language_info"] = run.engine->language_info;
    write_notebook(run);
    reporter.summary();
    run.engine.reset();
    return nb::int_(first_failure(run) ? 1 : 0);
}

}  // namespace
}  // namespace trelvo::cli::runner

NB_MODULE(runner, m) {
    using namespace trelvo::cli::runner;
    scope = new Scope(m);
    for (const char* module : {"ast", "hashlib", "importlib", "json", "os", "re", "stat", "sys", "trelvo_core"})
        scope->import(module);
    scope->import_from("builtins", {"dict", "open", "repr", "sorted"});
    nb::object usage = nb::steal(PyErr_NewExceptionWithDoc(
        "trelvo_core.cli.runner.TrelvoUsageError",
        "A command line that cannot run: the message is the one line to show.", PyExc_ValueError, nullptr));
    scope->set("TrelvoUsageError", usage);
    scope->import("threading");
    register_workers(*scope);
    register_cache_command(*scope);
    register_export(*scope);
    register_optimize(*scope);
    define_function(*scope, "run_notebook", {arg("args")}, "int", run_notebook,
                    "Runs the notebook of the parsed `trelvo run` arguments and writes the executed "
                    "notebook; returns the exit status (1 when a cell failed).");
}

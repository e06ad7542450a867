// The `trelvo` command: `trelvo run` runs a notebook as a pipeline, `trelvo worker` serves
// remote runs. A command line that cannot run is one line on standard error and exit status 2.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

namespace trelvo::cli::main {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

constexpr const char* kRunner = "trelvo_core.cli.runner";

// The runner, and with it everything a run needs (IPython, ipykernel, celery: most of a second),
// is imported when a command runs, so that help comes at once.
nb::object runner(const char* name) { return nb::module_::import_(kRunner).attr(name); }

// A usage error comes from the parser or the runner; before the runner is loaded there is none.
bool is_usage_error(const nb::python_error& error) {
    nb::dict modules = nb::borrow<nb::dict>(scope->get("sys").attr("modules"));
    return modules.contains(kRunner) && error.matches(runner("TrelvoUsageError"));
}

// argparse reports a bad command line with the usage text and exits; here it is one line.
nb::object parser_error(const Args& a) {
    PyErr_SetObject(runner("TrelvoUsageError").ptr(), a[1].ptr());
    throw nb::python_error();
}

// What run, export and optimize share: the notebook, parameter overrides, the cache, quiet.
void add_notebook_options(nb::handle parser, const char* quiet_help) {
    parser.attr("add_argument")("notebook", nb::arg("metavar") = "NOTEBOOK");
    parser.attr("add_argument")("-p", "--parameter", nb::arg("nargs") = 2, nb::arg("action") = "append",
                                nb::arg("default") = nb::list(), nb::arg("metavar") = nb::make_tuple("NAME", "VALUE"),
                                nb::arg("help") = "override a value of the cell tagged 'parameters' "
                                                  "(a Python literal, else text)");
    parser.attr("add_argument")("--cache-dir", nb::arg("metavar") = "DIR",
                                nb::arg("help") = "the run cache (default: .trelvo-cache beside NOTEBOOK)");
    parser.attr("add_argument")("--cwd", nb::arg("metavar") = "DIR",
                                nb::arg("help") = "the directory the cells run in (default: NOTEBOOK's, as in Jupyter)");
    parser.attr("add_argument")("-q", "--quiet", nb::arg("action") = "store_true",
                                nb::arg("help") = quiet_help);
}

nb::object build_parser() {
    nb::object parser = scope->get("TrelvoArgumentParser")(
        nb::arg("prog") = "trelvo",
        nb::arg("description") = "Runs Jupyter notebooks as pipelines of cells.");
    nb::object commands = parser.attr("add_subparsers")(nb::arg("dest") = "command",
                                                        nb::arg("metavar") = "COMMAND");
    nb::object run = commands.attr("add_parser")(
        "run", nb::arg("help") = "run a notebook incrementally and write the executed notebook",
        nb::arg("description") =
            "Runs each code cell as a component fed by the cells whose names it reads, reusing "
            "the cached results of unchanged cells, and writes the executed notebook.");
    add_notebook_options(run, "print only the summary line and errors");
    run.attr("add_argument")("-o", "--output", nb::arg("metavar") = "OUTPUT",
                             nb::arg("help") = "the executed notebook (default: <stem>.out.ipynb beside NOTEBOOK)");
    run.attr("add_argument")("--no-cache", nb::arg("action") = "store_true",
                             nb::arg("help") = "neither read nor write the run cache");
    run.attr("add_argument")("--force", nb::arg("action") = "store_true",
                             nb::arg("help") = "run every cell and refresh the cache");
    run.attr("add_argument")("--rerun", nb::arg("nargs") = "+", nb::arg("metavar") = "CELL",
                             nb::arg("help") = "run these cells (names or ids) and the cells that depend on them");
    run.attr("add_argument")("--explain", nb::arg("action") = "store_true",
                             nb::arg("help") = "run nothing: say for each cell whether it comes from the cache, and why not");
    run.attr("add_argument")("--cache-size", nb::arg("metavar") = "SIZE",
                             nb::arg("help") = "keep the cache within SIZE (e.g. 500M; default 10G), "
                                               "dropping what was used least recently");
    run.attr("add_argument")("--jobs", nb::arg("type") = scope->get("int"), nb::arg("default") = 1,
                             nb::arg("metavar") = "N",
                             nb::arg("help") = "run up to N cells at once in worker processes");
    run.attr("add_argument")("--remote", nb::arg("metavar") = "BROKER_URL",
                             nb::arg("help") = "run the cells on celery workers of this broker");
    run.attr("add_argument")("--backend", nb::arg("metavar") = "URL",
                             nb::arg("help") = "celery result backend (default: the broker)");
    run.attr("add_argument")("--timeout", nb::arg("type") = scope->get("float"),
                             nb::arg("metavar") = "SECONDS",
                             nb::arg("help") = "stop a cell that runs longer than this");
    nb::object export_ = commands.attr("add_parser")(
        "export", nb::arg("help") = "write the notebook's pipeline as Kubeflow Pipelines YAML or a Python script",
        nb::arg("description") =
            "Brings the notebook's pipeline up to date (as trelvo run does, from its cache) and "
            "renders it through the export templates.");
    add_notebook_options(export_, "print only the summary line and errors");
    export_.attr("add_argument")("--to", nb::arg("required") = true,
                                 nb::arg("choices") = nb::make_tuple("kfp", "kfp-component", "python"));
    export_.attr("add_argument")("-o", "--output", nb::arg("metavar") = "FILE",
                                 nb::arg("help") = "default: <stem>.yaml or <stem>.py beside NOTEBOOK; - for stdout");
    export_.attr("add_argument")("--cell", nb::arg("metavar") = "NAME",
                                 nb::arg("help") = "the cell to export with --to kfp-component");
    export_.attr("add_argument")("--base-image", nb::arg("metavar") = "IMAGE");
    export_.attr("add_argument")("--packages", nb::arg("nargs") = "+", nb::arg("metavar") = "REQ",
                                 nb::arg("help") = "packages the Kubeflow steps install");
    nb::object optimize = commands.attr("add_parser")(
        "optimize", nb::arg("help") = "search the notebook's parameters for the best objective values",
        nb::arg("description") =
            "Runs the notebook once per trial with suggested parameters (cells that do not read "
            "them come from the cache) and reads the objectives from the variables the cells leave.");
    add_notebook_options(optimize, "no progress, only the results and errors");
    optimize.attr("add_argument")("--search", nb::arg("action") = "append", nb::arg("required") = true,
                                  nb::arg("metavar") = "NAME=LOW:HIGH[:STEP]",
                                  nb::arg("help") = "a parameter to search; integer bounds give integers");
    optimize.attr("add_argument")("--objective", nb::arg("action") = "append", nb::arg("required") = true,
                                  nb::arg("metavar") = "VAR[:min|:max]",
                                  nb::arg("help") = "a variable to minimise (default) or maximise");
    optimize.attr("add_argument")("--trials", nb::arg("type") = scope->get("int"), nb::arg("metavar") = "N",
                                  nb::arg("help") = "default: the grid's size for GridSearch, else 20");
    optimize.attr("add_argument")("--method", nb::arg("default") = "TPESearch",
                                  nb::arg("choices") = nb::make_tuple("RandomSearch", "TPESearch", "GridSearch"));
    optimize.attr("add_argument")("--early-stop", nb::arg("type") = scope->get("int"), nb::arg("metavar") = "ROUNDS",
                                  nb::arg("help") = "stop after ROUNDS trials without improvement");
    optimize.attr("add_argument")("--report-url", nb::arg("metavar") = "URL",
                                  nb::arg("help") = "post live reports to the pipeline server's endpoint");
    optimize.attr("add_argument")("--header", nb::arg("metavar") = "TEXT");
    optimize.attr("add_argument")("--cookie", nb::arg("metavar") = "TEXT");
    optimize.attr("add_argument")("-o", "--output", nb::arg("metavar") = "RESULTS.json",
                                  nb::arg("help") = "best trials, the trial log and the importances as JSON");
    nb::object cache = commands.attr("add_parser")(
        "cache", nb::arg("help") = "show or trim the run cache",
        nb::arg("description") = "info: the cache's size; prune: remove what no cell of the notebooks as they "
                                 "are now can reach (only NOTEBOOK's when given).");
    cache.attr("add_argument")("action", nb::arg("choices") = nb::make_tuple("info", "prune"));
    cache.attr("add_argument")("notebook", nb::arg("nargs") = "?", nb::arg("metavar") = "NOTEBOOK");
    cache.attr("add_argument")("--cache-dir", nb::arg("metavar") = "DIR",
                               nb::arg("help") = "the run cache (default: .trelvo-cache beside NOTEBOOK, or here)");
    nb::object worker = commands.attr("add_parser")(
        "worker", nb::arg("help") = "serve remote runs as a celery worker");
    worker.attr("add_argument")("--broker", nb::arg("required") = true, nb::arg("metavar") = "URL");
    worker.attr("add_argument")("--backend", nb::arg("metavar") = "URL",
                                nb::arg("help") = "celery result backend (default: the broker)");
    worker.attr("add_argument")("--loglevel", nb::arg("default") = "INFO", nb::arg("metavar") = "LEVEL");
    return parser;
}

nb::object dispatch(nb::handle argv) {
    nb::object args = build_parser().attr("parse_args")(argv);
    std::string command = args.attr("command").is_none() ? "" : utf8(args.attr("command"));
    if (command == "run") return runner("run_notebook")(args);
    if (command == "export") return runner("export_notebook")(args);
    if (command == "optimize") return runner("optimize_notebook")(args);
    if (command == "cache") return runner(utf8(args.attr("action")) == "info" ? "cache_info" : "cache_prune")(args);
    if (command == "worker") {
        // The worker also serves the cells of `trelvo run --remote`: its app gets that task too.
        nb::module_::import_("celery._state").attr("connect_on_app_finalize")(runner("register_remote_task"));
        nb::object backend = args.attr("backend").is_none() ? args.attr("broker") : args.attr("backend");
        nb::object executor_class =
            nb::module_::import_("trelvo_core.executors").attr("TrelvoRemoteComponentExecutor");
        nb::object executor = executor_class(
            "worker", "worker", nb::arg("backend") = backend, nb::arg("broker") = args.attr("broker"));
        return executor.attr("run_executor")(nb::arg("loglevel") = args.attr("loglevel"));
    }
    PyErr_SetString(runner("TrelvoUsageError").ptr(), "choose a command: run, export, optimize, cache or worker (see trelvo --help)");
    throw nb::python_error();
}

void say(const std::string& line) {
    nb::object stderr_ = scope->get("sys").attr("stderr");
    stderr_.attr("write")(from_utf8(line + "\n"));
    stderr_.attr("flush")();
}

nb::object run_command(const Args& a) {
    nb::object argv = nb::borrow(a[0]);
    if (argv.is_none()) {
        argv = nb::steal(PySequence_GetSlice(scope->get("sys").attr("argv").ptr(), 1, PY_SSIZE_T_MAX));
        if (!argv.is_valid()) throw nb::python_error();
    }
    try {
        return dispatch(argv);
    } catch (nb::python_error& error) {
        if (is_usage_error(error)) {
            say("trelvo: error: " + utf8(nb::str(error.value())));
            return nb::int_(2);
        }
        if (error.matches(PyExc_KeyboardInterrupt)) {
            say("trelvo: interrupted");
            return nb::int_(130);
        }
        if (error.matches(PyExc_BrokenPipeError)) {  // `trelvo run --explain | head`: the reader has enough
            nb::object os = scope->get("os");
            os.attr("dup2")(os.attr("open")(os.attr("devnull"), os.attr("O_WRONLY")), 1);
            return nb::int_(0);
        }
        throw;
    }
}

// The console script: the command, then exit without the interpreter's teardown of every module
// and object (a third of a short run's wall time). Exit handlers still run and the standard
// streams are flushed; everything the command writes is closed before it returns.
nb::object exit_with_status(const Args&) {
    nb::object status = scope->get("main")();
    scope->get("atexit").attr("_run_exitfuncs")();
    for (const char* stream : {"stdout", "stderr"}) {
        try {
            scope->get("sys").attr(stream).attr("flush")();
        } catch (nb::python_error&) {
        }
    }
    scope->get("os").attr("_exit")(status);
    return nb::none();
}

}  // namespace
}  // namespace trelvo::cli::main

NB_MODULE(main, m) {
    using namespace trelvo::cli::main;
    using namespace trelvo::py;
    scope = new Scope(m);
    scope->import("argparse");
    scope->import("atexit");
    scope->import("os");
    scope->import("sys");
    scope->import_from("builtins", {"float", "int"});
    ClassBuilder(*scope, "TrelvoArgumentParser", "argparse's parser, reporting errors in one line.")
        .method("error", {arg("self"), arg("message")}, "NoReturn", parser_error)
        .build(nb::make_tuple(scope->get("argparse").attr("ArgumentParser")));
    define_function(*scope, "main", {opt("argv", nb::none(), "Optional[List[str]]")}, "int", run_command,
                    "The trelvo command; returns its exit status.");
    define_function(*scope, "console_main", {}, "NoReturn", exit_with_status,
                    "The trelvo command as the console script runs it: exits with its status.");
}

// `trelvo optimize`: a parameter search over the notebook's pipeline. Each trial is an
// incremental run with the suggested parameters, so the cells that do not read them come from
// the cache after the first trial; the objectives are variables the cells leave.
#include "runner_internal.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace trelvo::cli::runner {
namespace {

struct Search {
    std::string name;
    nb::object low, high, step;  // step None when not given
    bool integer = false;
};

struct Objective {
    std::string variable;
    bool maximize = false;
    std::string setter;  // the last cell whose code binds the variable
};

struct Study {
    Run base;  // the plan with the notebook's own parameters
    nb::object notebook;  // the notebook as read, copied for each trial
    std::vector<Search> searches;
    std::vector<Objective> objectives;
    std::unique_ptr<Engine> engine;  // one kernel for every trial, its namespace reset between them
    int trials = 0, done = 0;
    double best = NAN;
    bool terminal = false, quiet = false;
    nb::object completion;  // the data of the completion report, when one was made
};

Study* current = nullptr;  // the objective function's study, while optimize runs

nb::object number(const std::string& text, const std::string& option) {
    try {
        nb::object value = scope->get("ast").attr("literal_eval")(from_utf8(text));
        if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
            raise(PyExc_ValueError, "not a number");
        return value;
    } catch (nb::python_error&) {
        usage_error(option + ": '" + text + "' is not a number");
    }
}

Search read_search(const std::string& text, const Run& base) {
    std::string option = "--search " + text;
    std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) usage_error(option + ": expected NAME=LOW:HIGH[:STEP]");
    Search s;
    s.name = text.substr(0, equals);
    std::vector<std::string> bounds;
    std::string rest = text.substr(equals + 1);
    for (std::size_t start = 0;;) {
        std::size_t colon = rest.find(':', start);
        bounds.push_back(rest.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (bounds.size() < 2 || bounds.size() > 3) usage_error(option + ": expected NAME=LOW:HIGH[:STEP]");
    if (!base.parameters.contains(from_utf8(s.name))) {
        std::string known;
        for (auto [name, value] : base.parameters) known += (known.empty() ? "" : ", ") + text_of(name);
        usage_error(option + ": '" + s.name + "' is not a parameter (the parameters cell sets: " +
                    (known.empty() ? "nothing" : known) + ")");
    }
    s.low = number(bounds[0], option);
    s.high = number(bounds[1], option);
    s.step = bounds.size() == 3 ? number(bounds[2], option) : nb::none();
    s.integer = PyLong_Check(s.low.ptr()) && PyLong_Check(s.high.ptr()) &&
                (s.step.is_none() || PyLong_Check(s.step.ptr()));
    if (!(nb::cast<double>(s.low) < nb::cast<double>(s.high))) usage_error(option + ": LOW must be below HIGH");
    if (!s.step.is_none() && !(nb::cast<double>(s.step) > 0)) usage_error(option + ": STEP must be positive");
    return s;
}

Objective read_objective(const std::string& text, const Run& base) {
    Objective o;
    std::size_t colon = text.rfind(':');
    o.variable = text;
    if (colon != std::string::npos) {
        std::string direction = text.substr(colon + 1);
        if (direction != "min" && direction != "max")
            usage_error("--objective " + text + ": the direction is min or max");
        o.maximize = direction == "max";
        o.variable = text.substr(0, colon);
    }
    for (const Cell& cell : base.cells)
        if (cell.names.binds.count(o.variable)) o.setter = cell.name;
    if (o.setter.empty()) usage_error("--objective " + text + ": no cell sets '" + o.variable + "'");
    return o;
}

// ---- one trial -----------------------------------------------------------------------------

void write_err(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(2, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

std::string formatted(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The objective's value left by the cells, or the reason the trial has none: from the engine when
// the cell that sets it ran there, else from the value store.
std::optional<double> objective_value(Run& trial, const Objective& o, std::string& why) {
    for (auto cell = trial.cells.rbegin(); cell != trial.cells.rend(); ++cell) {
        if (cell->name != o.setter) continue;
        if (cell->status == CellStatus::failed || cell->status == CellStatus::skipped) {
            why = "cell '" + o.setter + "' " + status_word(cell->status);
            return std::nullopt;
        }
        nb::str key = from_utf8(o.variable);
        nb::object value;
        auto held = trial.engine ? trial.engine->holds.find(o.variable) : std::map<std::string, std::string>::iterator();
        if (trial.engine && held != trial.engine->holds.end() && held->second == cell->key) {
            std::optional<std::string> text = trial.engine->evaluate("float(" + o.variable + ")");
            if (text) value = nb::float_(nb::cast<double>(nb::float_(from_utf8(*text))));
        } else if (cell->stored.contains(key) && trial.cache) {
            value = imported("trelvo_core.cli.engine").attr("read_value")(from_utf8(trial.cache->values()),
                                                                         cell->stored[key]);
        }
        if (!value.is_valid()) {
            why = "cell '" + o.setter + "' did not set '" + o.variable + "'";
            return std::nullopt;
        }
        PyObject* number = PyNumber_Float(value.ptr());
        if (!number) {
            PyErr_Clear();
            why = "'" + o.variable + "' is not a number";
            return std::nullopt;
        }
        double result = PyFloat_AS_DOUBLE(number);
        Py_DECREF(number);
        return result;
    }
    why = "no cell sets '" + o.variable + "'";
    return std::nullopt;
}

void report_trial(Study& study, const nb::dict& suggested, const std::vector<double>& values,
                  const std::string& why, int ran, double seconds) {
    ++study.done;
    if (why.empty() && study.objectives.size() == 1) {
        bool better = std::isnan(study.best) ||
                      (study.objectives[0].maximize ? values[0] > study.best : values[0] < study.best);
        if (better) study.best = values[0];
    }
    if (study.quiet) return;
    if (study.terminal) {
        const int width = 24;
        int filled = study.trials ? study.done * width / study.trials : width;
        write_err("\r\x1b[2K[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                  std::to_string(study.done) + "/" + std::to_string(study.trials) + " trials" +
                  (std::isnan(study.best) ? "" : "  best " + formatted(study.best)) +
                  (study.done == study.trials ? "\n" : ""));
        return;
    }
    std::string line = "trial " + std::to_string(study.done - 1) + ":";
    for (auto [name, value] : suggested) line += " " + text_of(name) + "=" + text_of(nb::repr(value));
    if (why.empty()) {
        line += " ->";
        for (double v : values) line += " " + formatted(v);
    } else {
        line += " -> failed (" + why + ")";
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, "  (%.2f s, %d cell%s ran)\n", seconds, ran, ran == 1 ? "" : "s");
    write_err(line + tail);
}

nb::object run_trial(const Args& a) {
    Study& study = *current;
    nb::handle trial = a[0];
    auto started = std::chrono::steady_clock::now();
    nb::dict suggested;
    for (const Search& s : study.searches) {
        nb::str name = from_utf8(s.name);
        if (s.integer)
            suggested[name] = trial.attr("suggest_int")(name, s.low, s.high,
                                                        nb::arg("step") = s.step.is_none() ? nb::int_(1) : s.step);
        else
            suggested[name] = trial.attr("suggest_float")(name, s.low, s.high, nb::arg("step") = s.step);
    }
    Run run;
    run.options = study.base.options;
    run.options.parameters = nb::borrow<nb::dict>(study.base.options.parameters.attr("copy")());
    run.options.parameters.update(suggested);
    run.notebook = scope->get("json").attr("loads")(study.notebook);
    read_parameters(run);
    plan(run);
    if (study.engine) {
        study.engine->reset();  // the trial starts from a namespace as fresh as a new kernel's
        run.engine = std::move(study.engine);
    }
    Progress silent(run, true, true);
    ProgressScope scope_of_progress(silent);
    run_cells(run);
    int ran = 0;
    for (const Cell& cell : run.cells) ran += cell.status == CellStatus::ran || cell.status == CellStatus::failed;
    std::vector<double> values;
    std::string why;
    for (const Objective& o : study.objectives) {
        std::optional<double> value = objective_value(run, o, why);
        if (!value) break;
        values.push_back(*value);
    }
    study.engine = std::move(run.engine);
    report_trial(study, suggested, values, why, ran, seconds_since(started));
    // A NaN makes the trial a failed one for optuna; the study goes on.
    if (!why.empty()) values.assign(study.objectives.size(), NAN);
    if (values.size() == 1) return nb::float_(values[0]);
    nb::list result;
    for (double v : values) result.append(nb::float_(v));
    return nb::tuple(result);
}

nb::handle run_trial_function, report_function;

void keep_completion(nb::handle data) {
    if (data.attr("procedure").equal(scope->get("TrelvoPipelineCallbackProcedure").attr("HPO_COMPLETED")))
        current->completion = nb::borrow(data.attr("successful"));
}

// Without a report URL the optimizer's one direct report, the completion, is only kept.
nb::object report(const Args& a) {
    keep_completion(a[0]);
    return nb::none();
}

// With one, the pipeline callback also keeps the completion report it posts.
nb::object report_and_post(const Args& a) {
    keep_completion(a[1]);
    return super_of(scope->get("_ReportingCallback"), a[0]).attr("__call__")(a[1]);
}

// ---- the results -----------------------------------------------------------------------

void print_best(const Study& study, nb::handle optimizer) {
    std::string header = "trial";
    for (const Search& s : study.searches) header += "  " + s.name;
    for (const Objective& o : study.objectives) header += "  " + o.variable;
    std::string lines = "best trial" + std::string(nb::len(nb::object(optimizer.attr("best_trials"))) == 1 ? "" : "s") + ":\n" + header + "\n";
    for (auto [number, trial] : nb::borrow<nb::dict>(optimizer.attr("best_trials"))) {
        std::string line = text_of(number);
        for (const Search& s : study.searches) line += "  " + text_of(nb::repr(trial["parameters"][from_utf8(s.name)]));
        for (nb::handle value : trial["values"]) line += "  " + formatted(nb::cast<double>(value));
        lines += line + "\n";
    }
    nb::object out = scope->get("sys").attr("stdout");
    out.attr("write")(from_utf8(lines));
    out.attr("flush")();
}

// A trial as the results file holds it: strict JSON, where a value that is no finite number is
// null and the trial's state says why ("diverged: loss is inf").
nb::dict trial_entry(const Study& study, nb::handle parameters, nb::handle values, std::string state) {
    nb::dict entry;
    entry["parameters"] = parameters;
    nb::list finite;
    if (!values.is_none()) {
        std::size_t i = 0;
        for (nb::handle value : values) {
            double number = nb::cast<double>(value);
            std::string objective = i < study.objectives.size() ? study.objectives[i].variable : "value";
            ++i;
            if (std::isfinite(number)) {
                finite.append(value);
                continue;
            }
            finite.append(nb::none());
            if (state == "complete")
                state = std::string(std::isnan(number) ? "failed: " : "diverged: ") + objective + " is " +
                        (std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf");
        }
    }
    entry["values"] = values.is_none() ? nb::object(nb::none()) : nb::object(finite);
    entry["state"] = from_utf8(state);
    return entry;
}

void write_results(const std::string& path, const Study& study, nb::handle optimizer) {
    nb::dict results, best;
    for (auto [number, trial] : nb::borrow<nb::dict>(optimizer.attr("best_trials")))
        best[nb::str(number)] = trial_entry(study, trial["parameters"], trial["values"], "complete");
    results["best_trials"] = best;
    // From the study itself: a search stopped by a divergence leaves the optimiser's log empty.
    nb::list log;
    for (nb::handle trial : optimizer.attr("_study").attr("trials")) {
        std::string state = text_of(trial.attr("state").attr("name").attr("lower")());
        nb::dict entry = trial_entry(study, trial.attr("params"), trial.attr("values"), state);
        entry["number"] = trial.attr("number");
        log.append(entry);
    }
    results["optimization_log"] = log;
    results["parameter_importance"] =
        study.completion.is_valid() ? nb::object(study.completion.attr("get")("parameter_importance")) : nb::object(nb::list());
    nb::object text = scope->get("json").attr("dumps")(results, nb::arg("indent") = 1, nb::arg("allow_nan") = false,
                                                      nb::arg("default") = scope->get("repr"));
    nb::object file = scope->get("open")(from_utf8(path), "w", nb::arg("encoding") = "utf-8");
    file.attr("write")(text);
    file.attr("close")();
}

// The study stops at a trial whose objective diverges; the user is told, or fewer trials than
// asked for would look like a finished search.
void say_if_diverged(const Study& study, nb::handle optimizer) {
    for (nb::handle trial : optimizer.attr("_study").attr("trials")) {
        nb::object values = trial.attr("values");
        if (values.is_none()) continue;
        std::size_t i = 0;
        for (nb::handle value : values) {
            double number = nb::cast<double>(value);
            std::string objective = i < study.objectives.size() ? study.objectives[i].variable : "value";
            ++i;
            if (!std::isinf(number)) continue;
            write_err("trelvo: the search stopped at trial " + text_of(nb::str(trial.attr("number"))) + ": " +
                      objective + " diverged to " + (number > 0 ? "inf" : "-inf") + "\n");
            return;
        }
    }
}

// optuna is imported when a search starts: it takes a second.
void import_optimizer() {
    nb::object importlib = scope->get("importlib");
    // tqdm, which optuna imports, takes the embedded kernel for a notebook without widgets.
    importlib.attr("import_module")("warnings").attr("filterwarnings")(
        "ignore", nb::arg("message") = "IProgress not found");
    nb::object quenmar = importlib.attr("import_module")("trelvo_core.parameters_optimizer.optimizers");
    scope->set("TrelvoHPOptimizer", quenmar.attr("TrelvoHPOptimizer"));
    scope->set("get_search_space", quenmar.attr("get_search_space"));
    scope->set("TrelvoPipelineCallback",
               importlib.attr("import_module")("trelvo_core.callbacks").attr("TrelvoPipelineCallback"));
    scope->set("TrelvoPipelineCallbackProcedure",
               importlib.attr("import_module")("trelvo_core.misc").attr("TrelvoPipelineCallbackProcedure"));
    if (!scope->dict().contains("_ReportingCallback"))
        ClassBuilder(*scope, "_ReportingCallback", "A pipeline callback that keeps the completion report.")
            .method("__call__", {arg("self"), arg("data")}, "None", report_and_post)
            .build(nb::make_tuple(scope->get("TrelvoPipelineCallback")));
}

nb::object optimize_notebook(const Args& a) {
    nb::handle args = a[0];
    import_optimizer();
    Study study;
    study.base.options = read_options(args);
    study.base.notebook = read_notebook(study.base.options);
    study.notebook = scope->get("json").attr("dumps")(study.base.notebook);
    read_parameters(study.base);
    for (nb::handle text : args.attr("search")) study.searches.push_back(read_search(text_of(text), study.base));
    std::string method = text_of(args.attr("method"));
    nb::dict grid;
    if (method == "GridSearch")
        for (const Search& s : study.searches) {
            if (s.step.is_none()) usage_error("--method GridSearch needs a STEP in --search " + s.name + "=LOW:HIGH:STEP");
            nb::dict bounds;
            bounds["low"] = s.low;
            bounds["high"] = s.high;
            bounds["interval"] = s.step;
            grid[from_utf8(s.name)] = bounds;
        }
    std::string results_path = args.attr("output").is_none() ? "" : output_path(study.base.options, args.attr("output"), "");
    plan(study.base);
    for (nb::handle text : args.attr("objective")) study.objectives.push_back(read_objective(text_of(text), study.base));
    nb::object pipeline_callback = nb::none();
    if (!args.attr("report_url").is_none()) {
        try {
            pipeline_callback = scope->get("_ReportingCallback")(
                args.attr("report_url"), nb::arg("header") = args.attr("header"), nb::arg("cookie") = args.attr("cookie"));
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_ValueError)) throw;
            usage_error("--header and --cookie take NAME=VALUE pairs joined by '; '");
        }
    }
    nb::list directions;
    nb::list target_names;
    for (const Objective& o : study.objectives) {
        directions.append(o.maximize ? 1 : 0);
        target_names.append(from_utf8(o.variable));
    }
    nb::object optimizer = scope->get("TrelvoHPOptimizer")(
        from_utf8(method), directions, nb::arg("parameters") = method == "GridSearch" ? nb::object(grid) : nb::none(),
        nb::arg("windrel_rounds") = args.attr("early_stop"),
        nb::arg("pipeline_callback") = pipeline_callback.is_none() ? nb::borrow(report_function) : pipeline_callback);
    std::size_t grid_size = 1;
    if (method == "GridSearch")
        for (auto [name, values] : nb::borrow<nb::dict>(scope->get("get_search_space")(grid))) grid_size *= nb::len(values);
    study.trials = args.attr("trials").is_none() ? int(method == "GridSearch" ? grid_size : 20)
                                                 : nb::cast<int>(args.attr("trials"));
    if (study.trials < 1) usage_error("--trials must be at least 1");
    study.quiet = arg_bool(nb::getattr(args, "quiet", nb::none()));
    study.terminal = isatty(2);
    current = &study;
    struct Reset {
        ~Reset() { current = nullptr; }
    } reset;
    optimizer.attr("create_study")();
    optimizer.attr("optimize")(run_trial_function, study.trials, target_names);
    study.engine.reset();
    say_if_diverged(study, optimizer);
    if (nb::len(nb::object(optimizer.attr("best_trials"))) == 0) {
        write_err("trelvo: error: no trial succeeded\n");
        return nb::int_(1);
    }
    print_best(study, optimizer);
    if (!results_path.empty()) write_results(results_path, study, optimizer);
    return nb::int_(0);
}

}  // namespace

void register_optimize(const Scope& s) {
    run_trial_function = make_function({"trial", "trial", s.name(), "", {arg("trial")}, "Any", run_trial}).release();
    report_function = make_function({"keep_report", "keep_report", s.name(), "", {arg("data")}, "None", report}).release();
    define_function(s, "optimize_notebook", {arg("args")}, "int", optimize_notebook,
                    "Searches the notebook's parameters for the best objective values; returns "
                    "the exit status (1 when no trial succeeded).");
}

}  // namespace trelvo::cli::runner

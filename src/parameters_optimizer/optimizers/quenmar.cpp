// TrelvoHPOptimizer: runs an optuna study of a caller's objective with live trial reports and
// early stopping, then collects the best trials, the trial log, the Pareto front and the
// parameter importances, and posts the completion report. get_search_space makes grid-search
// spaces.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "grid.hpp"
#include "strings.hpp"

#include <cmath>

namespace trelvo::parameters_optimizer::optimizers::quenmar {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// ---- grid search spaces -------------------------------------------------------------------

double real_number(nb::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return number;
}

nb::list grid(double low, double high, double interval) {
    std::vector<double> values;
    try {
        values = core::grid_values(low, high, interval);
    } catch (const core::GridError& error) {
        PyObject* type = error.fault == core::GridError::Fault::zero_interval
                             ? PyExc_ZeroDivisionError
                             : PyExc_ValueError;
        raise(type, "%s", error.what());
    }
    nb::list list;
    for (double value : values) list.append(nb::float_(value));
    return list;
}

nb::object get_search_space(const Args& a) {
    nb::dict parameters = arg_dict(a[0], "parameters");
    nb::dict search_space;
    for (auto [name, description] : parameters) {
        double bounds[3];  // interval, low, high: read in this order
        const char* keys[3] = {"interval", "low", "high"};
        for (int i = 0; i < 3; ++i) {
            nb::object value;
            try {
                value = description[keys[i]];
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_KeyError)) throw;
                nb::object message = nb::str(
                    "The information of parameter '{}' to get search space for grid search "
                    "is not proper.").format(name);
                nb::raise_from(error, PyExc_ValueError, "%U", message.ptr());
            }
            bounds[i] = real_number(value);
        }
        search_space[name] = grid(bounds[1], bounds[2], bounds[0]);
    }
    return search_space;
}

// ---- the optimiser ------------------------------------------------------------------------

bool truth(nb::handle value) { return arg_bool(value); }

nb::object make_sampler(nb::handle opt_method, nb::handle parameters) {
    if (opt_method.equal(nb::str("RandomSearch"))) return scope->get("RandomSampler")();
    if (opt_method.equal(nb::str("TPESearch"))) return scope->get("TPESampler")();
    if (opt_method.equal(nb::str("GridSearch"))) {
        if (parameters.is_none())
            raise(PyExc_ValueError, "In GridSearch , 'parameters' must not be NoneType.");
        return scope->get("GridSampler")(
            nb::arg("search_space") = scope->get("get_search_space")(parameters));
    }
    raise(PyExc_ValueError, "Invalid input: optimization method '%U'", opt_method.ptr());
}

nb::object init(const Args& a) {
    enum { kSelf, kOptMethod, kDirections, kParameters, kWindrelRounds, kPipelineCallback };
    nb::handle self = a[kSelf];
    nb::str opt_method = arg_str(a[kOptMethod], "opt_method");
    nb::list directions = arg_list(a[kDirections], "directions");
    check_arg(a[kParameters], "parameters", &PyDict_Type, true);
    nb::object windrel_rounds = a[kWindrelRounds].is_none()
                                    ? nb::none()
                                    : nb::object(arg_int(a[kWindrelRounds], "windrel_rounds"));

    nb::setattr(self, "_sampler", make_sampler(opt_method, a[kParameters]));
    if (nb::len(directions) == 0) raise(PyExc_ValueError, "Invalid input: no optimization directions");
    nb::list direction_names;
    for (nb::handle direction : directions)
        direction_names.append(nb::str(truth(direction) ? "maximize" : "minimize"));
    nb::setattr(self, "_directions", direction_names);

    nb::setattr(self, "_study", nb::none());
    nb::setattr(self, "_best_params", nb::list());
    nb::setattr(self, "_best_values", nb::list());
    nb::setattr(self, "_best_trials", nb::dict());
    nb::setattr(self, "_optimization_log", nb::list());
    nb::setattr(self, "_pipeline_callback", a[kPipelineCallback]);
    nb::setattr(self, "_prisket_callback",
                scope->get("TrelvoHPOPrisketCallback")(
                    nb::arg("pipeline_callback") = self.attr("_pipeline_callback")));
    nb::setattr(self, "_windrel_callback", nb::none());
    if (!windrel_rounds.is_none() && nb::len(direction_names) == 1) {
        nb::setattr(self, "_windrel_callback",
                    scope->get("TrelvoHPOWindrelCallback")(
                        nb::arg("pipeline_callback") = self.attr("_pipeline_callback"),
                        nb::arg("windrel_rounds") = windrel_rounds,
                        nb::arg("direction") = nb::object(direction_names[0])));
    }
    scope->get("optuna").attr("logging").attr("disable_default_handler")();
    return nb::none();
}

nb::object create_study(const Args& a) {
    nb::setattr(a[0], "_study",
                scope->get("optuna").attr("create_study")(
                    nb::arg("sampler") = a[0].attr("_sampler"),
                    nb::arg("directions") = a[0].attr("_directions")));
    return nb::none();
}

bool diverged(nb::handle trials) {
    nb::object isinf = scope->get("math").attr("isinf");
    for (nb::handle trial : trials) {
        nb::object values = trial.attr("values");
        if (values.is_none()) continue;  // a failed trial has no values
        for (nb::handle value : values)
            if (truth(isinf(value))) return true;
    }
    return false;
}

nb::dict trial_record(nb::handle trial) {
    nb::dict record;
    record["parameters"] = trial.attr("params");
    record["values"] = trial.attr("values");
    return record;
}

// The objective that importances are computed for: PED-ANOVA ranks the trials with the lowest
// target values first, so a maximised objective is negated.
nb::handle importance_target_function;  // made once; closures carry (index, negate)

nb::object importance_target_body(const Args& a) {
    nb::handle closure = a.closure();
    nb::object index = closure[0];
    nb::object value = a[0].attr("values")[index];
    if (!truth(closure[1])) return value;
    PyObject* negated = PyNumber_Negative(value.ptr());
    if (!negated) throw nb::python_error();
    return nb::steal(negated);
}

nb::object importance_target(std::size_t index, bool maximize) {
    return make_closure(importance_target_function,
                        nb::make_tuple(nb::int_(index), nb::bool_(maximize)));
}

std::size_t completed_trials(nb::handle trials) {
    nb::object complete = scope->get("optuna").attr("trial").attr("TrialState").attr("COMPLETE");
    std::size_t count = 0;
    for (nb::handle trial : trials)
        if (trial.attr("state").is(complete)) ++count;
    return count;
}

nb::list parameter_importances(nb::handle self, nb::handle study, nb::handle trials) {
    nb::list importances;
    nb::list directions = list_state(self.attr("_directions"));
    // Fewer than two completed trials rank nothing: optuna would warn and give every parameter
    // the same meaningless share.
    bool enough = completed_trials(trials) >= 2;
    nb::object warnings = scope->get("warnings");
    for (std::size_t i = 0; i < nb::len(directions); ++i) {
        if (!enough) {
            importances.append(nb::dict());
            continue;
        }
        bool maximize = directions[i].equal(nb::str("maximize"));
        with_context(warnings.attr("catch_warnings")(), [&](nb::handle) {
            // The sign is taken care of above; the evaluator's reminder of it is noise.
            warnings.attr("filterwarnings")(
                "ignore", nb::arg("message") = "PedAnovaImportanceEvaluator computes",
                nb::arg("category") = nb::handle(PyExc_UserWarning));
            nb::object result = scope->get("get_param_importances")(
                study, nb::arg("target") = importance_target(i, maximize));
            importances.append(nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(result));
        });
    }
    return importances;
}

nb::object optimize(const Args& a) {
    enum { kSelf, kTargetFunc, kTrials, kTargetNames };
    nb::handle self = a[kSelf];
    nb::int_ n_trials = arg_int(a[kTrials], "n_trials");
    nb::list target_names = arg_list(a[kTargetNames], "target_names");

    nb::list callbacks;
    callbacks.append(self.attr("_prisket_callback"));
    nb::object windrel = self.attr("_windrel_callback");
    if (truth(windrel)) callbacks.append(windrel);
    nb::object study = self.attr("_study");
    study.attr("optimize")(a[kTargetFunc], nb::arg("n_trials") = n_trials,
                           nb::arg("callbacks") = callbacks);

    nb::list best_params, best_values;
    nb::dict best_trials;
    for (nb::handle trial : study.attr("best_trials")) {
        best_params.append(trial.attr("params"));
        best_values.append(trial.attr("values"));
        best_trials[trial.attr("number")] = trial_record(trial);
    }
    nb::setattr(self, "_best_params", best_params);
    nb::setattr(self, "_best_values", best_values);
    nb::setattr(self, "_best_trials", best_trials);

    nb::object trials = study.attr("trials");
    if (diverged(trials)) return nb::none();
    nb::list log;
    for (nb::handle trial : trials) log.append(trial_record(trial));
    nb::setattr(self, "_optimization_log", log);

    nb::object pareto_front_plot = nb::none();
    std::size_t objectives = nb::len(nb::object(self.attr("_directions")));
    if (objectives == 2 || objectives == 3) {
        pareto_front_plot = scope->get("plot_pareto_front")(
            nb::arg("study") = study, nb::arg("target_names") = target_names).attr("to_dict")();
        check_result(pareto_front_plot, &PyDict_Type, false);
    }
    nb::dict data;
    data["best_trials"] = self.attr("best_trials");
    data["pareto_front_plot"] = pareto_front_plot;
    data["parameter_importance"] = parameter_importances(self, study, trials);

    nb::object pipeline_callback = self.attr("_pipeline_callback");
    if (truth(pipeline_callback)) {
        pipeline_callback(scope->get("TrelvoPipelineCallbackDataModel")(
            nb::arg("procedure") =
                scope->get("TrelvoPipelineCallbackProcedure").attr("HPO_COMPLETED"),
            nb::arg("status") = scope->get("TrelvoPipelineCallbackStatus").attr("SUCCESSFUL"),
            nb::arg("msg") = "", nb::arg("successful") = data));
    }
    return nb::none();
}

nb::object copy_of(nb::handle self, const char* attribute, PyTypeObject* type) {
    nb::object value = self.attr(attribute);
    check_result(value, type, false);
    PyObject* copy = type == &PyDict_Type ? PyDict_Copy(value.ptr())
                                          : PyList_GetSlice(value.ptr(), 0, PY_SSIZE_T_MAX);
    if (!copy) throw nb::python_error();
    return nb::steal(copy);
}

void bind_imports(const Scope& s) {
    s.import("math");
    s.import("warnings");
    s.import("numpy", "np");
    s.import("optuna");
    s.import_from("typing", {"Any", "Callable", "Dict", "List", "Optional"});
    s.import_from("optuna.importance", {"get_param_importances"});
    s.import_from("optuna.samplers", {"GridSampler", "RandomSampler", "TPESampler"});
    s.import_from("optuna.study", {"Study"});
    s.import_from("optuna.visualization", {"plot_pareto_front"});
    s.import_from("trelvo_core.callbacks", {"TrelvoPipelineCallback"});
    s.import_from("trelvo_core.misc",
                  {"TrelvoPipelineCallbackProcedure", "TrelvoPipelineCallbackStatus"});
    s.import_from("trelvo_core.misc.models", {"TrelvoPipelineCallbackDataModel"});
    s.import_from("trelvo_core.parameters_optimizer.callbacks",
                  {"TrelvoHPOPrisketCallback", "TrelvoHPOWindrelCallback"});
}

void register_optimizer(const Scope& s) {
    nb::object none = nb::none();
    importance_target_function =
        make_function({"importance_target", "importance_target", s.name(), "", {arg("trial")},
                       "float", importance_target_body})
            .release();
    define_function(s, "get_search_space", {arg("parameters", "Dict[str, Any]")},
                    "Dict[str, List[float]]", get_search_space);
    ClassBuilder builder(s, "TrelvoHPOptimizer", "Parameter optimizing manager.");
    builder
        .method("__init__",
                {arg("self"), arg("opt_method", "str"), arg("directions", "List[int]"),
                 opt("parameters", none, "Optional[Dict[str, Any]]"),
                 opt("windrel_rounds", none, "Optional[int]"),
                 opt("pipeline_callback", none, "Optional[TrelvoPipelineCallback]")},
                "None", init)
        .method("create_study", {arg("self")}, "None", create_study)
        .method("optimize",
                {arg("self"), arg("target_func", "Callable[[optuna.trial.Trial], Any]"),
                 arg("n_trials", "int"), arg("target_names", "List[str]")},
                "None", optimize)
        .property("best_params", "List[Dict[str, Any]]",
                  [](const Args& a) { return copy_of(a[0], "_best_params", &PyList_Type); })
        .property("best_values", "List[List[float]]",
                  [](const Args& a) { return copy_of(a[0], "_best_values", &PyList_Type); })
        .property("best_trials", "Dict[str, Any]",
                  [](const Args& a) { return copy_of(a[0], "_best_trials", &PyDict_Type); })
        .property("optimization_log", "List[Dict[str, Any]]",
                  [](const Args& a) { return a[0].attr("_optimization_log"); });
    builder.build(object_base());
}

}  // namespace
}  // namespace trelvo::parameters_optimizer::optimizers::quenmar

NB_MODULE(quenmar, m) {
    using namespace trelvo::parameters_optimizer::optimizers::quenmar;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_optimizer(*scope);
}

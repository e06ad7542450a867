// TrelvoHPOPrisketCallback: keeps the latest trial's record, reports every trial, and stops the
// study when an objective value diverges to infinity.
#include "class_builder.hpp"
#include "report.hpp"

#include <cmath>

namespace trelvo::parameters_optimizer::callbacks::prisket {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle prisket_class;  // for super() in __init__

nb::object init(const Args& a) {
    super_of(prisket_class, a[0]).attr("__init__")(nb::arg("pipeline_callback") = a[1]);
    nb::setattr(a[0], "_live_log", nb::dict());
    return nb::none();
}

nb::object new_reference(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool is_infinite(nb::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return std::isinf(number);
}

nb::object call(const Args& a) {
    enum { kSelf, kStudy, kTrial };
    nb::handle self = a[kSelf];
    nb::handle study = a[kStudy];
    // The study's latest trial, read without deep-copying the whole history (study.trials does,
    // which makes a study quadratic); the record copies what it keeps instead.
    nb::object current_trial = study.attr("get_trials")(nb::arg("deepcopy") = false)[-1];
    nb::object values = current_trial.attr("values");
    // A failed trial (NaN, or an error the study was told to catch) has no values to report.
    if (values.is_none()) return nb::none();
    for (nb::handle value : values) {
        if (is_infinite(value)) {
            study.attr("stop")();
            post_report(*scope, self, "HPO_ERROR",
                        "Optimization failed because the target value diverged");
            return nb::none();
        }
    }
    nb::dict record;
    record["trials"] = current_trial.attr("number");
    record["parameters"] = new_reference(PyDict_Copy(nb::object(current_trial.attr("params")).ptr()));
    record["values"] = new_reference(PySequence_List(values.ptr()));
    nb::object live_log = self.attr("_live_log");
    live_log.attr("update")(record);
    post_report(*scope, self, "HPO_TRIAL_EXECUTED", "", live_log);
    return nb::none();
}

void register_prisket(const Scope& s) {
    ClassBuilder builder(s, "TrelvoHPOPrisketCallback", "Live logger callback for optimizer.");
    builder
        .method("__init__", {arg("self"), arg("pipeline_callback", "TrelvoPipelineCallback")},
                "None", init)
        .method("__call__", {arg("self"), arg("study", "Study"), arg("trial", "Trial")}, "None",
                call);
    prisket_class = builder.build(nb::make_tuple(s.get("ITrelvoHPOCallback"))).release();
}

}  // namespace
}  // namespace trelvo::parameters_optimizer::callbacks::prisket

NB_MODULE(prisket, m) {
    using namespace trelvo::parameters_optimizer::callbacks::prisket;
    scope = new trelvo::py::Scope(m);
    trelvo::parameters_optimizer::callbacks::bind_report_imports(*scope);
    scope->import_from("optuna.trial", {"FrozenTrial"});
    register_prisket(*scope);
}

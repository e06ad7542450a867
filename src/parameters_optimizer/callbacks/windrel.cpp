// TrelvoHPOWindrelCallback: stops a study after a number of trials in a row that did not set a
// new best value.
#include "checks.hpp"
#include "class_builder.hpp"
#include "report.hpp"

namespace trelvo::parameters_optimizer::callbacks::windrel {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle windrel_class;  // for super() in __init__

nb::object init(const Args& a) {
    enum { kSelf, kPipelineCallback, kRounds, kDirection };
    nb::handle self = a[kSelf];
    nb::int_ rounds = arg_int(a[kRounds], "windrel_rounds");
    nb::str direction = arg_str(a[kDirection], "direction");
    super_of(windrel_class, self).attr("__init__")(nb::arg("pipeline_callback") = a[kPipelineCallback]);

    nb::setattr(self, "_windrel_rounds", rounds);
    nb::setattr(self, "_iter", nb::int_(0));
    bool minimize = direction.attr("lower")().equal(nb::str("minimize"));
    nb::object score = scope->get("math").attr("inf");
    if (!minimize) score = nb::steal(PyNumber_Negative(score.ptr()));
    nb::setattr(self, "_operator", scope->get("operator").attr(minimize ? "lt" : "gt"));
    nb::setattr(self, "_score", score);
    return nb::none();
}

// The study's best value, or an invalid handle while no trial has completed.
nb::object best_value(nb::handle study) {
    try {
        return study.attr("best_value");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return nb::object();
    }
}

bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::object call(const Args& a) {
    enum { kSelf, kStudy, kTrial };
    nb::handle self = a[kSelf];
    nb::handle study = a[kStudy];
    nb::object best = best_value(study);
    if (best.is_valid() && truth(self.attr("_operator")(best, self.attr("_score")))) {
        nb::setattr(self, "_iter", nb::int_(0));
        nb::setattr(self, "_score", best);
    } else {
        PyObject* next = PyNumber_Add(self.attr("_iter").ptr(), nb::int_(1).ptr());
        if (!next) throw nb::python_error();
        nb::setattr(self, "_iter", nb::steal(next));
    }
    int stop = PyObject_RichCompareBool(self.attr("_iter").ptr(),
                                        self.attr("_windrel_rounds").ptr(), Py_GE);
    if (stop < 0) throw nb::python_error();
    if (stop) {
        study.attr("stop")();
        post_report(*scope, self, "HPO_EARLY_STOPPED", "The optimizing iteration was early stopped");
    }
    return nb::none();
}

void register_windrel(const Scope& s) {
    ClassBuilder builder(s, "TrelvoHPOWindrelCallback", "Early stopping callback for optimizer.");
    builder
        .method("__init__",
                {arg("self"), arg("pipeline_callback", "TrelvoPipelineCallback"),
                 arg("windrel_rounds", "int"), arg("direction", "str")},
                "None", init)
        .method("__call__", {arg("self"), arg("study", "Study"), arg("trial", "Trial")}, "None",
                call);
    windrel_class = builder.build(nb::make_tuple(s.get("ITrelvoHPOCallback"))).release();
}

}  // namespace
}  // namespace trelvo::parameters_optimizer::callbacks::windrel

NB_MODULE(windrel, m) {
    using namespace trelvo::parameters_optimizer::callbacks::windrel;
    scope = new trelvo::py::Scope(m);
    scope->import("operator");
    trelvo::parameters_optimizer::callbacks::bind_report_imports(*scope);
    register_windrel(*scope);
}

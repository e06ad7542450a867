// The progress report that the trial callbacks send through their pipeline callback.
#pragma once

#include "scope.hpp"

namespace trelvo::parameters_optimizer::callbacks {

namespace nb = nanobind;

// Posts a SUCCESSFUL report of the given procedure when the callback's _pipeline_callback is a
// TrelvoPipelineCallback; anything else there receives nothing. successful is left unset when
// not given.
inline void post_report(const py::Scope& scope, nb::handle self, const char* procedure,
                        const char* msg, nb::handle successful = nb::handle()) {
    nb::object pipeline_callback = self.attr("_pipeline_callback");
    if (pipeline_callback.is_none() ||
        !nb::isinstance(pipeline_callback, scope.get("TrelvoPipelineCallback")))
        return;
    nb::object procedure_member = scope.get("TrelvoPipelineCallbackProcedure").attr(procedure);
    nb::object status = scope.get("TrelvoPipelineCallbackStatus").attr("SUCCESSFUL");
    nb::object model_class = scope.get("TrelvoPipelineCallbackDataModel");
    nb::object model = successful.is_valid()
                           ? model_class(nb::arg("procedure") = procedure_member,
                                         nb::arg("status") = status, nb::arg("msg") = msg,
                                         nb::arg("successful") = successful)
                           : model_class(nb::arg("procedure") = procedure_member,
                                         nb::arg("status") = status, nb::arg("msg") = msg);
    pipeline_callback.attr("post")(nb::arg("data") = model);
}

// The imports the reporting callbacks share.
inline void bind_report_imports(const py::Scope& s) {
    s.import("math");
    s.import_from("optuna", {"Study", "Trial"});
    s.import_from("trelvo_core.callbacks", {"TrelvoPipelineCallback"});
    s.import_from("trelvo_core.misc",
                  {"TrelvoPipelineCallbackProcedure", "TrelvoPipelineCallbackStatus"});
    s.import_from("trelvo_core.misc.models", {"TrelvoPipelineCallbackDataModel"});
    s.import_from("trelvo_core.parameters_optimizer.callbacks.tovmar", {"ITrelvoHPOCallback"});
}

}  // namespace trelvo::parameters_optimizer::callbacks

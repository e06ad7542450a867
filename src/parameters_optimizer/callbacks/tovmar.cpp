// ITrelvoHPOCallback: the interface of the callbacks that optuna calls after every trial.
#include "class_builder.hpp"

namespace trelvo::parameters_optimizer::callbacks::tovmar {
namespace {

using namespace trelvo::py;

void bind_imports(const Scope& s) {
    s.import_from("abc", {"ABCMeta", "abstractmethod"});
    s.import_from("typing", {"Optional"});
    s.import_from("optuna", {"Study", "Trial"});
    s.import_from("trelvo_core.callbacks", {"TrelvoPipelineCallback"});
}

void register_interface(const Scope& s) {
    nb::object call = make_function(
        {"__call__", "ITrelvoHPOCallback.__call__", s.name(), "",
         {arg("self"), arg("study", "Study"), arg("trial", "Trial")}, "None",
         [](const Args&) { return nb::none(); }});
    ClassBuilder builder(s, "ITrelvoHPOCallback", "Callback interface.");
    builder
        .method("__init__",
                {arg("self"), opt("pipeline_callback", nb::none(), "Optional[TrelvoPipelineCallback]")},
                "None",
                [](const Args& a) {
                    nb::setattr(a[0], "_pipeline_callback", a[1]);
                    return nb::none();
                })
        .attribute("__call__", s.get("abstractmethod")(call));
    builder.build(object_base(), s.get("ABCMeta"));
}

}  // namespace
}  // namespace trelvo::parameters_optimizer::callbacks::tovmar

NB_MODULE(tovmar, m) {
    using namespace trelvo::parameters_optimizer::callbacks::tovmar;
    auto* scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_interface(*scope);
}

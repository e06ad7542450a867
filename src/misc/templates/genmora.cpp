// Genmora: the template that exports a pipeline as a stand-alone Python script.
#include "class_builder.hpp"
#include "template_init.hpp"

namespace trelvo::misc::templates::genmora {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle genmora_class;

void register_genmora(const Scope& s) {
    ClassBuilder builder(s, "Genmora", "Exports a pipeline as a stand-alone Python script.");
    builder.method("__init__", {arg("self")}, "None", [](const Args& a) {
        init_template(*scope, genmora_class, a[0], "genmora_pipeline.jinja2");
        return nb::none();
    });
    genmora_class = builder.build(nb::make_tuple(s.get("Draffen"))).release();
}

}  // namespace
}  // namespace trelvo::misc::templates::genmora

NB_MODULE(genmora, m) {
    using namespace trelvo::misc::templates::genmora;
    scope = new trelvo::py::Scope(m);
    scope->import_from("jinja2", {"Template"});
    scope->import_from("trelvo_core.misc.templates.draffen", {"Draffen"});
    scope->import_from("trelvo_core.misc.templates.pipeline", {"describe_pipeline"});
    register_genmora(*scope);
}

// The Kubeflow Pipelines templates: the generated module is written to a temporary directory,
// imported, and compiles its pipeline (or one component) to the YAML returned.
#include "calls.hpp"
#include "class_builder.hpp"
#include "template_init.hpp"

namespace trelvo::misc::templates::morvish {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle component_class, pipeline_class;

nb::object open_file(nb::handle path, const char* mode) {
    return nb::module_::import_("builtins").attr("open")(path, nb::arg("mode") = mode,
                                                         nb::arg("encoding") = "utf-8");
}

// Imports the generated module, then reloads it. A failed import takes the temporary directory
// off sys.path again: it would otherwise stay there for the life of the process.
nb::object import_generated(nb::handle module_name, nb::handle temp_dir) {
    nb::object sys = scope->get("sys");
    nb::object importlib = scope->get("importlib");
    sys.attr("path").attr("append")(temp_dir);
    try {
        return importlib.attr("reload")(importlib.attr("import_module")(module_name));
    } catch (nb::python_error&) {
        nb::object path = sys.attr("path");
        if (contains(path, temp_dir)) path.attr("pop")(path.attr("index")(temp_dir));
        sys.attr("modules").attr("pop")(module_name, nb::none());
        throw;
    }
}

nb::object compile_to_yaml(const Args& a) {
    enum { kSelf, kKwargs };
    PyObject* rendered = PyObject_Call(a[kSelf].attr("render").ptr(), nb::tuple().ptr(), a[kKwargs].ptr());
    if (!rendered) throw nb::python_error();
    nb::object code = nb::steal(rendered);
    nb::object os_path = scope->get("os").attr("path");
    nb::object sys = scope->get("sys");
    nb::object kfp_yaml;
    nb::object directory = scope->get("tempfile").attr("TemporaryDirectory")(nb::arg("prefix") = "trelvo-kfp-");
    with_context(directory, [&](nb::handle temp_dir) {
        nb::object uuid_text = nb::str(scope->get("uuid").attr("uuid4")());
        nb::object module_name =
            nb::str("kfp_{}").format(uuid_text.attr("split")("-", nb::arg("maxsplit") = 1)[0]);
        nb::object temp_py_path = os_path.attr("join")(temp_dir, nb::str("{}.py").format(module_name));
        nb::object temp_yaml_path = os_path.attr("join")(temp_dir, nb::str("{}.yaml").format(module_name));
        with_context(open_file(temp_py_path, "w"), [&](nb::handle file) { file.attr("write")(code); });
        nb::object module = import_generated(module_name, temp_dir);
        sys.attr("modules").attr("pop")(module_name);
        nb::object path = sys.attr("path");
        path.attr("pop")(path.attr("index")(temp_dir));
        module.attr("compile_to_yaml")(nb::arg("save_path") = temp_yaml_path);
        with_context(open_file(temp_yaml_path, "r"), [&](nb::handle file) { kfp_yaml = file.attr("read")(); });
    });
    return kfp_yaml;
}

void register_classes(const Scope& s) {
    ClassBuilder base(s, "MorvishBase", "Base of the Kubeflow Pipelines templates.");
    base.method("compile_to_yaml", {arg("self"), star_kwargs("kwargs", "Any")}, "str", compile_to_yaml);
    nb::object base_class = base.build(nb::make_tuple(s.get("Draffen")));

    ClassBuilder component(s, "MorvishComponent", "Compiles one component to Kubeflow Pipelines YAML.");
    component.method("__init__", {arg("self")}, "None", [](const Args& a) {
        init_template(*scope, component_class, a[0], "morvish_component.jinja2");
        return nb::none();
    });
    component_class = component.build(nb::make_tuple(base_class)).release();

    ClassBuilder pipeline(s, "MorvishPipeline", "Compiles a pipeline to Kubeflow Pipelines YAML.");
    pipeline.method("__init__", {arg("self")}, "None", [](const Args& a) {
        init_template(*scope, pipeline_class, a[0], "morvish_pipeline.jinja2");
        return nb::none();
    });
    pipeline_class = pipeline.build(nb::make_tuple(base_class)).release();
}

}  // namespace
}  // namespace trelvo::misc::templates::morvish

NB_MODULE(morvish, m) {
    using namespace trelvo::misc::templates::morvish;
    scope = new trelvo::py::Scope(m);
    scope->import("importlib");
    scope->import("os");
    scope->import("sys");
    scope->import("tempfile");
    scope->import("uuid");
    scope->import_from("typing", {"Any"});
    scope->import_from("trelvo_core.misc.templates.draffen", {"Draffen"});
    scope->import_from("trelvo_core.misc.templates.pipeline", {"describe_pipeline"});
    register_classes(*scope);
}

// The pydantic models of a pipeline parameter: its name, declared type and value as Python
// literal source text, and the platform resource it may stand for.
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::misc::models::parameter {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// A "str" parameter always holds literal source text: text that does not parse as a literal
// is quoted with repr.
nb::object parameter_model_validator(const Args& a) {
    enum { kCls, kValues };
    nb::dict values = arg_dict(a[kValues], "values");
    PyObject* type = PyDict_GetItemWithError(values.ptr(), nb::str("type").ptr());
    if (!type && PyErr_Occurred()) throw nb::python_error();
    if (type && nb::handle(type).equal(nb::str("str"))) {
        nb::object value = values["value"];
        try {
            scope->get("ast").attr("literal_eval")(value);
        } catch (nb::python_error& error) {
            if (!error.matches(nb::make_tuple(nb::handle(PyExc_ValueError),
                                              nb::handle(PyExc_SyntaxError))))
                throw;
            PyObject* quoted = PyObject_Repr(value.ptr());
            if (!quoted) throw nb::python_error();
            values["value"] = nb::steal(quoted);
        }
    }
    return values;
}

void bind_imports(const Scope& s) {
    s.import("ast");
    s.import_from("typing", {"Any", "Dict", "Optional"});
    s.import_from_either("typing", "typing_extensions", {"Literal"});
    s.import("pydantic");
    s.import_from("pydantic", {"BaseModel", "ConfigDict"});
    s.import_from("pydantic", {is_pydantic_v1(s) ? "root_validator" : "model_validator"});
}

void register_metadata_model(const Scope& s) {
    nb::object none = nb::none();
    ClassBuilder builder(s, "TrelvoParameterMetadataModel", "Metadata of TrelvoPipeline parameter.");
    builder.annotate("resource_type", "Literal['orvane_dataset', 'orvane_model']")
        .annotate("resource_id", "Optional[int]", none)
        .annotate("resource_name", "Optional[str]", none)
        .annotate("dataset_version_id", "Optional[int]", none)
        .annotate("is_latest", "Optional[bool]", none);
    resolve_model_annotations(builder.build(nb::make_tuple(s.get("BaseModel"))), s);
}

void register_parameter_model(const Scope& s) {
    define_function(s, "_parameter_model_validator",
                    {arg("cls", "'TrelvoParameterModel'"), arg("values", "Dict[str, Any]")},
                    "Dict[str, Any]", parameter_model_validator);
    nb::object validator = s.get("_parameter_model_validator");
    bool v1 = is_pydantic_v1(s);
    nb::object none = nb::none();
    ClassBuilder builder(s, "TrelvoParameterModel", "Parameter of TrelvoPipeline.");
    builder.annotate("name", "str")
        .annotate("type", "Optional[Literal['bool', 'int', 'float', 'str', 'dict', 'list', 'tuple']]",
                  none)
        .annotate("value", "str")
        .annotate("metadata", "Optional[TrelvoParameterMetadataModel]", none);
    if (v1) {
        builder.attribute("_validate", s.get("root_validator")(nb::arg("pre") = false)(validator));
    } else {
        builder.attribute("model_config", s.get("ConfigDict")(nb::arg("coerce_numbers_to_str") = true))
            .attribute("_validate", s.get("model_validator")(nb::arg("mode") = "before")(validator));
    }
    resolve_model_annotations(builder.build(nb::make_tuple(s.get("BaseModel"))), s);
}

}  // namespace
}  // namespace trelvo::misc::models::parameter

NB_MODULE(parameter, m) {
    using namespace trelvo::misc::models::parameter;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_metadata_model(*scope);
    register_parameter_model(*scope);
}

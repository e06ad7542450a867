// Source helpers: cell-code normalisation, module-to-statement conversion, black and isort.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"
#include "text.hpp"

namespace trelvo::common::utils {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

nb::object format_code(const Args& a) {
    return from_utf8(core::normalize_cell_code(utf8(arg_str(a[0], "code"))));
}

// The name under which sys.modules holds this very module object.
nb::object importable_name(nb::handle module) {
    nb::object modules = scope->get("sys").attr("modules");
    nb::object name = module.attr("__name__");
    nb::object registered = modules.attr("get")(name);
    if (registered.is(module)) return name;
    nb::object origin = nb::getattr(module, "__spec__", nb::none());
    if (!origin.is_none()) {
        nb::object origin_name = origin.attr("name");
        if (modules.attr("get")(origin_name).is(module)) return origin_name;
    }
    return name;
}

nb::object convert_modules_to_statements(const Args& a) {
    nb::dict modules = arg_dict(a[0], "modules");
    nb::object is_module = scope->get("inspect").attr("ismodule");
    nb::dict statements;
    for (auto [symbol, module] : modules) {
        if (!arg_bool(is_module(module)))
            raise(PyExc_TypeError, "Expected module, got %.200s", Py_TYPE(module.ptr())->tp_name);
        nb::object name = importable_name(module);
        check_result(name, &PyUnicode_Type, false);
        statements[symbol] = from_utf8(core::module_expression(utf8(name)));
    }
    return statements;
}

nb::object format_with_black(const Args& a) {
    nb::str code = arg_str(a[0], "code");
    nb::module_ black = nb::module_::import_("black");
    nb::object formatted = black.attr("format_str")(code, nb::arg("mode") = black.attr("Mode")());
    check_result(formatted, &PyUnicode_Type);
    return formatted;
}

nb::object format_with_isort(const Args& a) {
    nb::str code = arg_str(a[0], "code");
    nb::object formatted = nb::module_::import_("isort").attr("code")(code);
    check_result(formatted, &PyUnicode_Type);
    return formatted;
}

void register_functions(const Scope& s) {
    define_function(s, "format_code", {arg("code", "str")}, "str", format_code,
           "Normalise a cell's source: newlines, surrounding blank lines and shared indentation.");
    define_function(s, "convert_modules_to_statements", {arg("modules", "Dict[str, ModuleType]")},
           "Dict[str, str]", convert_modules_to_statements,
           "Map each name to an expression that re-imports the module bound to it.");
    define_function(s, "format_with_black", {arg("code", "str")}, "str", format_with_black,
           "Format Python source with black.");
    define_function(s, "format_with_isort", {arg("code", "str")}, "str", format_with_isort,
           "Sort the imports of Python source with isort.");
}

}  // namespace
}  // namespace trelvo::common::utils

NB_MODULE(utils, m) {
    using namespace trelvo::common::utils;
    scope = new trelvo::py::Scope(m);
    scope->import("inspect");
    scope->import("sys");
    scope->import_from("types", {"ModuleType"});
    scope->import_from("typing", {"Dict"});
    register_functions(*scope);
}

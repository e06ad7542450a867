// Finds the last expression of a cell, after IPython's own syntax has been turned into Python.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"
#include "text.hpp"

namespace trelvo::executors::utils {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// (last expression's source or "", the source before it)
nb::object parse_last_expr_from_code(const Args& a) {
    nb::str code = arg_str(a[0], "code");
    nb::object transformer = scope->get("TransformerManager")();
    nb::object source = transformer.attr("transform_cell")(code);
    check_result(source, &PyUnicode_Type, false);

    nb::object tree;
    try {
        tree = scope->get("ast").attr("parse")(source);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_SyntaxError)) throw;
        return nb::make_tuple("", code);
    }
    nb::object body = tree.attr("body");
    if (nb::len(body) == 0) return nb::make_tuple("", source);
    nb::object last = body[nb::len(body) - 1];
    if (!nb::isinstance(last, scope->get("ast").attr("Expr"))) return nb::make_tuple("", source);

    std::string text = utf8(source);
    std::size_t start = core::source_offset(text, nb::cast<std::size_t>(last.attr("lineno")),
                                            nb::cast<std::size_t>(last.attr("col_offset")));
    std::size_t end = core::source_offset(text, nb::cast<std::size_t>(last.attr("end_lineno")),
                                          nb::cast<std::size_t>(last.attr("end_col_offset")));
    std::string_view view(text);
    return nb::make_tuple(from_utf8(view.substr(start, end - start)),
                          from_utf8(view.substr(0, start)));
}

}  // namespace
}  // namespace trelvo::executors::utils

NB_MODULE(utils, m) {
    using namespace trelvo::executors::utils;
    scope = new trelvo::py::Scope(m);
    scope->import("ast");
    scope->import_from("IPython.core.inputtransformer2", {"TransformerManager"});
    scope->import_from("typing", {"Tuple"});
    trelvo::py::define_function(
        *scope, "parse_last_expr_from_code", {trelvo::py::arg("code", "str")}, "Tuple[str, str]",
        parse_last_expr_from_code,
        "Split a cell into its last expression's source and the source before it; the first is "
        "empty when the cell does not end in an expression.");
}

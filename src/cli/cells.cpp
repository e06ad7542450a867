// What a notebook's code cells do with names, and so which cell each one depends on. The code is
// read with Python's own parser after IPython's input transformations, as the shell runs it.
#include "cell_dependencies.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

#include <regex>
#include <string>

namespace trelvo::cli::cells {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

std::string node_kind(nb::handle node) {
    PyObject* name = PyType_GetName(Py_TYPE(node.ptr()));
    if (!name) throw nb::python_error();
    return utf8(nb::steal(name));
}

bool is_a(nb::handle node, const char* name) { return node_kind(node) == name; }

std::string text_attr(nb::handle node, const char* name) { return utf8(node.attr(name)); }

// Walks one cell at module level, in evaluation order: a name read before the cell binds it is a
// read of the cell. Function, class, lambda and comprehension bodies are scopes of their own:
// the global names they read count as reads of the cell (a function may be called in the cell).
class CellWalker {
public:
    core::CellNames names;

    void statements(nb::handle body) {
        for (nb::handle statement : body) this->statement(statement);
    }

private:
    std::set<std::string> read_set_;

    void read(const std::string& name) {
        if (!names.binds.count(name) && read_set_.insert(name).second) names.reads.push_back(name);
    }
    void bind(const std::string& name) {
        names.binds.insert(name);
        names.imports.erase(name);
    }

    void children(nb::handle node) {
        for (nb::handle child : scope->get("ast").attr("iter_child_nodes")(node)) {
            if (nb::isinstance(child, scope->get("ast").attr("stmt")) ||
                nb::isinstance(child, scope->get("ast").attr("excepthandler")))
                statement(child);
            else
                expression(child);
        }
    }

    void each(nb::handle node, const char* field, void (CellWalker::*visit)(nb::handle)) {
        nb::object value = node.attr(field);
        if (value.is_none()) return;
        if (PyList_Check(value.ptr()))
            for (nb::handle item : value) (this->*visit)(item);
        else
            (this->*visit)(value);
    }

    void statement(nb::handle node) {
        const std::string kind = node_kind(node);
        if (kind == "FunctionDef" || kind == "AsyncFunctionDef" || kind == "ClassDef") {
            std::vector<std::string> globals = free_names(node);
            for (const std::string& name : globals) read(name);
            std::string name = text_attr(node, "name");
            names.globals_of[name] = globals;
            bind(name);
        } else if (kind == "Import" || kind == "ImportFrom") {
            for (nb::handle alias : node.attr("names")) {
                std::string name = text_attr(alias, "name");
                if (name == "*") continue;
                if (!alias.attr("asname").is_none())
                    name = text_attr(alias, "asname");
                else if (kind == "Import")
                    name = name.substr(0, name.find('.'));
                bind(name);
                names.imports.insert(name);
            }
        } else if (kind == "Assign") {
            expression(node.attr("value"));
            each(node, "targets", &CellWalker::target);
        } else if (kind == "AugAssign") {
            nb::object target = node.attr("target");
            if (is_a(target, "Name")) read(text_attr(target, "id"));
            expression(node.attr("value"));
            this->target(target);
        } else if (kind == "AnnAssign") {
            each(node, "annotation", &CellWalker::expression);
            each(node, "value", &CellWalker::expression);
            target(node.attr("target"));
        } else if (kind == "For" || kind == "AsyncFor") {
            expression(node.attr("iter"));
            target(node.attr("target"));
            statements(node.attr("body"));
            statements(node.attr("orelse"));
        } else if (kind == "With" || kind == "AsyncWith") {
            for (nb::handle item : node.attr("items")) {
                expression(item.attr("context_expr"));
                each(item, "optional_vars", &CellWalker::target);
            }
            statements(node.attr("body"));
        } else if (kind == "ExceptHandler") {
            each(node, "type", &CellWalker::expression);
            if (!node.attr("name").is_none()) bind(text_attr(node, "name"));
            statements(node.attr("body"));
        } else if (kind == "Global" || kind == "Nonlocal") {
        } else {
            children(node);  // if, while, try, match, expressions, return, raise, ...
        }
    }

    void target(nb::handle node) {
        const std::string kind = node_kind(node);
        if (kind == "Name")
            bind(text_attr(node, "id"));
        else if (kind == "Tuple" || kind == "List")
            each(node, "elts", &CellWalker::target);
        else if (kind == "Starred")
            target(node.attr("value"));
        else
            expression(node);  // attribute or subscript targets read their base
    }

    void expression(nb::handle node) {
        const std::string kind = node_kind(node);
        if (kind == "Name") {
            if (is_a(node.attr("ctx"), "Store"))
                bind(text_attr(node, "id"));
            else
                read(text_attr(node, "id"));
        } else if (kind == "NamedExpr") {
            expression(node.attr("value"));
            target(node.attr("target"));
        } else if (kind == "Lambda" || kind == "ListComp" || kind == "SetComp" ||
                   kind == "DictComp" || kind == "GeneratorExp") {
            for (const std::string& name : free_names(node)) read(name);
        } else if (kind == "Call" && ipython_call(node)) {
        } else if (kind == "MatchAs" || kind == "MatchStar") {
            if (!node.attr("name").is_none()) bind(text_attr(node, "name"));
            children(node);
        } else if (kind == "MatchMapping") {
            if (!node.attr("rest").is_none()) bind(text_attr(node, "rest"));
            children(node);
        } else {
            children(node);
        }
    }

    // get_ipython().<method>(...) as IPython's transformations write magics and shell escapes:
    // the code a timing magic runs is the cell's own, and {expression} or $name in a command
    // line reads names.
    bool ipython_call(nb::handle call) {
        nb::object function = call.attr("func");
        if (!is_a(function, "Attribute") || !is_a(function.attr("value"), "Call")) return false;
        nb::object receiver = function.attr("value").attr("func");
        if (!is_a(receiver, "Name") || text_attr(receiver, "id") != "get_ipython") return false;
        read("get_ipython");
        std::vector<std::string> texts;
        for (nb::handle argument : call.attr("args"))
            if (is_a(argument, "Constant") && PyUnicode_Check(argument.attr("value").ptr()))
                texts.push_back(utf8(argument.attr("value")));
        std::string method = text_attr(function, "attr");
        bool runs_code = !texts.empty() && (texts[0] == "time" || texts[0] == "timeit" ||
                                            texts[0] == "prun" || texts[0] == "capture");
        if (runs_code && (method == "run_line_magic" || method == "run_cell_magic")) {
            for (std::size_t i = 1; i < texts.size(); ++i) parsed_statements(texts[i]);
        } else {
            for (const std::string& text : texts) expanded_names(text);
        }
        return true;
    }

    void parsed_statements(const std::string& code) {
        try {
            statements(scope->get("ast").attr("parse")(from_utf8(code)).attr("body"));
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_SyntaxError) && !error.matches(PyExc_ValueError)) throw;
        }
    }

    void expanded_names(const std::string& text) {
        static const std::regex braces(R"(\{([^{}]+)\})"), dollar(R"(\$([A-Za-z_]\w*))");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), braces); it != std::sregex_iterator(); ++it) {
            try {
                expression(scope->get("ast").attr("parse")(from_utf8((*it)[1].str()), nb::arg("mode") = "eval").attr("body"));
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_SyntaxError) && !error.matches(PyExc_ValueError)) throw;
            }
        }
        for (auto it = std::sregex_iterator(text.begin(), text.end(), dollar); it != std::sregex_iterator(); ++it)
            read((*it)[1].str());
    }

    // The names a nested scope reads that it does not bind itself, in order of first use.
    static std::vector<std::string> free_names(nb::handle scope_node) {
        std::set<std::string> locals, declared_global;
        std::vector<nb::object> loads;
        for (nb::handle node : scope->get("ast").attr("walk")(scope_node)) {
            const std::string kind = node_kind(node);
            if (node.is(scope_node)) continue;
            if (kind == "Name") {
                if (is_a(node.attr("ctx"), "Load"))
                    loads.push_back(node.attr("id"));
                else
                    locals.insert(text_attr(node, "id"));
            } else if (kind == "arg") {
                locals.insert(text_attr(node, "arg"));
            } else if (kind == "FunctionDef" || kind == "AsyncFunctionDef" || kind == "ClassDef") {
                locals.insert(text_attr(node, "name"));
            } else if (kind == "Import" || kind == "ImportFrom") {
                for (nb::handle alias : node.attr("names")) {
                    std::string name = alias.attr("asname").is_none() ? text_attr(alias, "name")
                                                                      : text_attr(alias, "asname");
                    locals.insert(name.substr(0, name.find('.')));
                }
            } else if (kind == "ExceptHandler" && !node.attr("name").is_none()) {
                locals.insert(text_attr(node, "name"));
            } else if (kind == "Global") {
                for (nb::handle name : node.attr("names")) declared_global.insert(utf8(name));
            }
        }
        for (const std::string& name : declared_global) locals.erase(name);
        std::vector<std::string> result;
        std::set<std::string> seen;
        for (const nb::object& load : loads) {
            std::string name = utf8(load);
            if (!locals.count(name) && seen.insert(name).second) result.push_back(name);
        }
        return result;
    }
};

nb::list to_list(const std::vector<std::string>& items) {
    nb::list list;
    for (const std::string& item : items) list.append(from_utf8(item));
    return list;
}

// IPython syntax becomes the Python the shell runs; a cell Python cannot parse reads and binds
// nothing (it fails when it runs).
core::CellNames names_of(nb::handle code) {
    CellWalker walker;
    nb::object transformed = scope->get("TransformerManager")().attr("transform_cell")(code);
    nb::object tree;
    try {
        tree = scope->get("ast").attr("parse")(transformed);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_SyntaxError) && !error.matches(PyExc_ValueError)) throw;
        return walker.names;
    }
    walker.statements(tree.attr("body"));
    return walker.names;
}

nb::object analyse_cell(const Args& a) {
    core::CellNames names = names_of(arg_str(a[0], "code"));
    nb::dict result, globals_of;
    result["reads"] = to_list(names.reads);
    result["binds"] = to_list({names.binds.begin(), names.binds.end()});
    for (const auto& [name, globals] : names.globals_of) globals_of[from_utf8(name)] = to_list(globals);
    result["globals_of"] = globals_of;
    return result;
}

nb::object cell_dependencies(const Args& a) {
    std::vector<core::CellNames> cells;
    for (nb::handle code : arg_list(a[0], "codes")) cells.push_back(names_of(arg_str(code, "codes")));
    std::set<std::string> parameters;
    for (nb::handle name : arg_list(a[1], "parameters")) parameters.insert(utf8(nb::str(name)));
    nb::list result;
    for (const core::CellDependencies& cell : core::cell_dependencies(cells, parameters)) {
        nb::dict entry, inputs;
        nb::list parents;
        for (std::size_t parent : cell.parents) parents.append(parent);
        for (const auto& [name, parent] : cell.inputs) inputs[from_utf8(name)] = parent;
        entry["parents"] = parents;
        entry["inputs"] = inputs;
        entry["parameters"] = to_list({cell.parameters.begin(), cell.parameters.end()});
        result.append(entry);
    }
    return result;
}

}  // namespace
}  // namespace trelvo::cli::cells

NB_MODULE(cells, m) {
    using namespace trelvo::cli::cells;
    using namespace trelvo::py;
    scope = new Scope(m);
    scope->import("ast");
    scope->import_from("IPython.core.inputtransformer2", {"TransformerManager"});
    define_function(*scope, "analyse_cell", {arg("code", "str")}, "Dict[str, Any]", analyse_cell,
                    "The names a cell reads before binding them, the names it binds, and the "
                    "global names read by each function or class it defines.");
    define_function(*scope, "cell_dependencies", {arg("codes", "list"), arg("parameters", "list")},
                    "List[Dict[str, Any]]", cell_dependencies,
                    "Per cell: its parents (earlier cell indices), which parent hands on each "
                    "name it reads, and the parameters it reads itself.");
}

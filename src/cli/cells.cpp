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

const std::set<std::string>& history_names() {
    static const std::set<std::string> names{"_", "__", "___", "_i", "_ii", "_iii", "_ih", "_oh", "_dh", "In", "Out"};
    return names;
}

// `_3`, `_i3`, `In`, `Out`, `_`: IPython's history of earlier cells.
bool is_history_name(const std::string& name) {
    if (history_names().count(name)) return true;
    std::size_t digits = name.rfind("_i", 0) == 0 ? 2 : (name.rfind('_', 0) == 0 ? 1 : name.size());
    return digits < name.size() && name.find_first_not_of("0123456789", digits) == std::string::npos;
}

// The words of a magic's argument line, as its option parser splits them.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    std::string word;
    for (char c : line + " ") {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) result.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    return result;
}

// Walks one cell at module level, in evaluation order: a name read before the cell surely binds
// it is a read of the cell. A binding inside if, for, while, try or match may not happen, so it
// is a possible binding, which also reads the name (the value it had goes on when the branch is
// not taken). Function, class, lambda and comprehension bodies are scopes of their own: the global
// names they read count as reads of the cell (a function may be called in the cell).
class CellWalker {
public:
    core::CellNames names;

    void statements(nb::handle body) {
        for (nb::handle statement : body) this->statement(statement);
    }

    void finish() {
        for (const std::string& name : names.binds)
            if (!sure_.count(name)) names.maybe_binds.insert(name);
        for (const std::string& text : names.literals)
            if (!read_literals_.count(text)) names.written.insert(text);
    }

private:
    std::set<std::string> read_set_, sure_;
    int conditional_ = 0;

    void read(const std::string& name) {
        if (sure_.count(name)) return;
        if (is_history_name(name)) names.reads_unseen = true;
        if (read_set_.insert(name).second) names.reads.push_back(name);
    }
    void bind(const std::string& name) {
        if (conditional_) read(name);
        else sure_.insert(name);
        names.binds.insert(name);
        names.imports.erase(name);
    }
    void effect(const std::string& what) {
        if (names.ipython_effect.empty()) names.ipython_effect = what;
    }
    void unseen(bool reads, bool binds) {
        names.reads_unseen |= reads;
        names.binds_unseen |= binds;
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

    // Statements that may or may not run.
    void branch(nb::handle node, std::initializer_list<const char*> fields) {
        ++conditional_;
        for (const char* field : fields) each(node, field, &CellWalker::statement);
        --conditional_;
    }

    void statement(nb::handle node) {
        const std::string kind = node_kind(node);
        if (kind == "FunctionDef" || kind == "AsyncFunctionDef" || kind == "ClassDef") {
            Body body = scope_names(node);
            for (const std::string& name : body.reads) read(name);
            std::string name = text_attr(node, "name");
            names.globals_of[name] = body.reads;
            if (!body.assigned_globals.empty()) names.sets_of[name] = body.assigned_globals;
            bind(name);
        } else if (kind == "Import" || kind == "ImportFrom") {
            if (kind == "ImportFrom" && !node.attr("module").is_none() && nb::cast<int>(node.attr("level")) == 0)
                names.modules.insert(text_attr(node, "module"));
            for (nb::handle alias : node.attr("names")) {
                std::string name = text_attr(alias, "name");
                if (kind == "Import") names.modules.insert(name);
                if (name == "*") {
                    unseen(false, true);
                    continue;
                }
                if (!alias.attr("asname").is_none())
                    name = text_attr(alias, "asname");
                else if (kind == "Import")
                    name = name.substr(0, name.find('.'));
                bind(name);
                names.imports.insert(name);
            }
        } else if (kind == "Assign") {
            nb::object value = node.attr("value");
            if (is_a(value, "Call") && is_a(value.attr("func"), "Attribute") &&
                is_get_ipython(value.attr("func").attr("value")))
                effect("an assignment from IPython syntax (x = !cmd, x = %magic)");
            expression(value);
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
            ++conditional_;  // the loop may not run at all
            target(node.attr("target"));
            --conditional_;
            branch(node, {"body", "orelse"});
        } else if (kind == "While") {
            expression(node.attr("test"));
            branch(node, {"body", "orelse"});
        } else if (kind == "If") {
            expression(node.attr("test"));
            branch(node, {"body", "orelse"});
        } else if (kind == "Try" || kind == "TryStar") {
            branch(node, {"body", "handlers", "orelse", "finalbody"});
        } else if (kind == "Match") {
            expression(node.attr("subject"));
            ++conditional_;
            for (nb::handle match_case : node.attr("cases")) {
                expression(match_case.attr("pattern"));
                each(match_case, "guard", &CellWalker::expression);
                statements(match_case.attr("body"));
            }
            --conditional_;
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
        } else if (kind == "Delete") {
            each(node, "targets", &CellWalker::target);
        } else if (kind == "Global" || kind == "Nonlocal") {
        } else {
            children(node);  // expressions, return, raise, assert, ...
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

    std::set<std::string> read_literals_;
    std::set<PyObject*> written_nodes_;  // string constants in a writing position (the tree lives for the walk)

    void literal(const std::string& text, bool write_only = false) {
        if (text.empty() || text.size() > 4096 || text.find('\n') != std::string::npos ||
            text.find('\0') != std::string::npos)
            return;
        names.literals.insert(text);
        if (!write_only) read_literals_.insert(text);
    }

    // The strings a call writes to without reading them first: the path of np.save, df.to_csv,
    // fig.savefig, Path(p).write_text, open(p, "w").
    void written_paths(nb::handle call) {
        static const std::set<std::string> writers{
            "save", "savez", "savez_compressed", "savetxt", "tofile", "to_csv", "to_parquet", "to_pickle",
            "to_json", "to_excel", "to_hdf", "to_feather", "to_html", "to_latex", "to_markdown", "to_stata",
            "to_xml", "savefig", "write_text", "write_bytes", "imsave", "imwrite", "dump_svmlight_file"};
        nb::object function = call.attr("func");
        std::string called = is_a(function, "Attribute") ? text_attr(function, "attr")
                           : is_a(function, "Name") ? text_attr(function, "id") : "";
        auto string_of = [](nb::handle node) {
            return is_a(node, "Constant") && PyUnicode_Check(node.attr("value").ptr()) ? text_attr(node, "value")
                                                                                        : std::string();
        };
        auto written = [&](nb::handle node) {
            if (!string_of(node).empty()) written_nodes_.insert(node.ptr());
        };
        if (called == "open") {
            nb::list args = nb::list(call.attr("args"));
            std::string mode = nb::len(args) > 1 ? string_of(args[1]) : "";
            for (nb::handle keyword : call.attr("keywords"))
                if (!keyword.attr("arg").is_none() && text_attr(keyword, "arg") == "mode") mode = string_of(keyword.attr("value"));
            bool writes_only = (mode.find('w') != std::string::npos || mode.find('x') != std::string::npos) &&
                               mode.find('+') == std::string::npos;
            if (writes_only && nb::len(args)) written(args[0]);
            return;
        }
        if (!writers.count(called)) return;
        for (nb::handle argument : call.attr("args")) written(argument);
        if (is_a(function, "Attribute") && is_a(function.attr("value"), "Call"))  // Path("out.txt").write_text(...)
            for (nb::handle argument : function.attr("value").attr("args")) written(argument);
    }

    void expression(nb::handle node) {
        const std::string kind = node_kind(node);
        if (kind == "Constant" && PyUnicode_Check(node.attr("value").ptr())) {
            literal(text_attr(node, "value"), written_nodes_.count(node.ptr()) > 0);
        } else if (kind == "Name") {
            if (is_a(node.attr("ctx"), "Load"))
                read(text_attr(node, "id"));
            else
                bind(text_attr(node, "id"));
        } else if (kind == "NamedExpr") {
            expression(node.attr("value"));
            target(node.attr("target"));
        } else if (kind == "Lambda" || kind == "ListComp" || kind == "SetComp" ||
                   kind == "DictComp" || kind == "GeneratorExp") {
            Body body = scope_names(node);
            for (const std::string& name : body.reads) read(name);
            if (!body.assigned_globals.empty()) unseen(false, true);
        } else if (kind == "Call" && ipython_call(node)) {
        } else if (kind == "Call") {
            dynamic_call(node);
            written_paths(node);
            children(node);
        } else if (kind == "Attribute" && is_get_ipython(node.attr("value")) &&
                   (text_attr(node, "attr") == "user_ns" || text_attr(node, "attr") == "push")) {
            read("get_ipython");
            unseen(true, true);
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

    // exec(), eval(), globals(), locals(), vars(), dir(): names the code does not spell out.
    void dynamic_call(nb::handle call) {
        nb::object function = call.attr("func");
        if (!is_a(function, "Name")) return;
        std::string name = text_attr(function, "id");
        bool no_arguments = nb::len(nb::object(call.attr("args"))) == 0;
        if (name == "exec" || name == "execfile" || name == "globals" || name == "locals" ||
            (name == "vars" && no_arguments))
            unseen(true, true);
        else if (name == "eval" || (name == "dir" && no_arguments))
            unseen(true, false);
    }

    static bool is_get_ipython(nb::handle node) {
        if (!is_a(node, "Call")) return false;
        nb::object receiver = node.attr("func");
        return is_a(receiver, "Name") && text_attr(receiver, "id") == "get_ipython";
    }

    // get_ipython().<method>(...) as IPython's transformations write magics and shell escapes:
    // the code a timing magic runs is the cell's own, {expression} or $name in a command line
    // reads names, and some magics bind or read names the code does not spell out.
    bool ipython_call(nb::handle call) {
        nb::object function = call.attr("func");
        if (!is_a(function, "Attribute") || !is_get_ipython(function.attr("value"))) return false;
        read("get_ipython");
        std::vector<std::string> texts;
        for (nb::handle argument : call.attr("args"))
            if (is_a(argument, "Constant") && PyUnicode_Check(argument.attr("value").ptr()))
                texts.push_back(utf8(argument.attr("value")));
        std::string method = text_attr(function, "attr");
        bool magic = method == "run_line_magic" || method == "run_cell_magic";
        std::string name = magic && !texts.empty() ? texts[0] : "";
        if (name == "time" || name == "timeit" || name == "prun" || name == "capture") {
            if (name == "capture" && method == "run_cell_magic" && texts.size() > 1)
                for (const std::string& word : words(texts[1]))
                    if (word[0] != '-') {
                        bind(word);
                        effect("%%capture " + word);
                        break;
                    }
            for (std::size_t i = 1; i < texts.size(); ++i) parsed_statements(texts[i]);
            return true;
        }
        // Magics that change the shell's own settings, which later cells' outputs show.
        static const std::set<std::string> settings{"matplotlib", "config", "load_ext", "reload_ext", "unload_ext",
                                                    "autoreload", "aimport", "precision", "xmode", "colors",
                                                    "pylab", "doctest_mode", "alias", "unalias", "autocall",
                                                    "automagic"};
        if (settings.count(name)) bind("<ipython>");
        if (magic && texts.size() > 1) {  // a magic's arguments may name files: %run helper.py
            std::vector<std::string> line = words(texts[1]);
            bool appends = std::find(line.begin(), line.end(), "-a") != line.end();
            for (const std::string& word : line) literal(word, name == "writefile" && !appends);
        }
        if (name == "pylab" || name == "run" || name == "store" || name == "writefile")
            effect((method == "run_cell_magic" ? "%%" : "%") + name + (texts.size() > 1 ? " " + texts[1] : ""));
        if (name == "pylab" || name == "reset" || name == "reset_selective") unseen(false, true);
        if (name == "run" || name == "store") unseen(true, true);
        if (name == "who" || name == "whos" || name == "who_ls") unseen(true, false);
        static const std::set<std::string> scripts{"script", "bash", "sh", "python", "python2", "python3",
                                                   "pypy", "perl", "ruby"};
        if (method == "run_cell_magic" && scripts.count(name) && texts.size() > 1) {
            std::vector<std::string> line = words(texts[1]);
            for (std::size_t i = 0; i + 1 < line.size(); ++i)
                if (line[i] == "--out" || line[i] == "--err" || line[i] == "--proc") {
                    bind(line[i + 1]);
                    effect("%%" + name + " " + texts[1]);
                }
        }
        if (method == "push" || method == "ex" || method == "ev") unseen(true, method != "ev");
        for (const std::string& text : texts) expanded_names(text);
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

    struct Body {
        std::vector<std::string> reads;             // global names read, in order of first use
        std::vector<std::string> assigned_globals;  // declared global and assigned; "*": unseen
    };

    // What a nested scope (function, class, lambda, comprehension) does with global names.
    static Body scope_names(nb::handle scope_node) {
        std::set<std::string> locals, declared_global, assigned;
        std::vector<nb::object> loads;
        bool unseen_bindings = false;
        for (nb::handle node : scope->get("ast").attr("walk")(scope_node)) {
            const std::string kind = node_kind(node);
            if (node.is(scope_node)) continue;
            if (kind == "Name") {
                if (is_a(node.attr("ctx"), "Load")) {
                    loads.push_back(node.attr("id"));
                } else {
                    locals.insert(text_attr(node, "id"));
                    assigned.insert(text_attr(node, "id"));
                }
            } else if (kind == "arg") {
                locals.insert(text_attr(node, "arg"));
            } else if (kind == "FunctionDef" || kind == "AsyncFunctionDef" || kind == "ClassDef") {
                locals.insert(text_attr(node, "name"));
                assigned.insert(text_attr(node, "name"));
            } else if (kind == "Import" || kind == "ImportFrom") {
                for (nb::handle alias : node.attr("names")) {
                    std::string name = alias.attr("asname").is_none() ? text_attr(alias, "name")
                                                                      : text_attr(alias, "asname");
                    locals.insert(name.substr(0, name.find('.')));
                    assigned.insert(name.substr(0, name.find('.')));
                }
            } else if (kind == "ExceptHandler" && !node.attr("name").is_none()) {
                locals.insert(text_attr(node, "name"));
            } else if (kind == "Global") {
                for (nb::handle name : node.attr("names")) declared_global.insert(utf8(name));
            } else if (kind == "Call" && is_a(node.attr("func"), "Name")) {
                std::string called = text_attr(node.attr("func"), "id");
                if (called == "exec" || called == "globals") unseen_bindings = true;
            }
        }
        for (const std::string& name : declared_global) locals.erase(name);
        Body result;
        std::set<std::string> seen;
        for (const nb::object& load : loads) {
            std::string name = utf8(load);
            if (!locals.count(name) && seen.insert(name).second) result.reads.push_back(name);
        }
        for (const std::string& name : declared_global)
            if (assigned.count(name)) result.assigned_globals.push_back(name);
        if (unseen_bindings) result.assigned_globals.push_back("*");
        return result;
    }
};

nb::list to_list(const std::vector<std::string>& items) {
    nb::list list;
    for (const std::string& item : items) list.append(from_utf8(item));
    return list;
}

nb::list to_list(const std::set<std::string>& items) { return to_list(std::vector<std::string>(items.begin(), items.end())); }

nb::dict to_dict(const std::map<std::string, std::vector<std::string>>& lists) {
    nb::dict dict;
    for (const auto& [name, items] : lists) dict[from_utf8(name)] = to_list(items);
    return dict;
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
    walker.finish();
    return walker.names;
}

nb::object analyse_cell(const Args& a) {
    core::CellNames names = names_of(arg_str(a[0], "code"));
    nb::dict result;
    result["reads"] = to_list(names.reads);
    result["binds"] = to_list(names.binds);
    result["maybe_binds"] = to_list(names.maybe_binds);
    result["imports"] = to_list(names.imports);
    result["globals_of"] = to_dict(names.globals_of);
    result["sets_of"] = to_dict(names.sets_of);
    result["binds_unseen"] = nb::bool_(names.binds_unseen);
    result["reads_unseen"] = nb::bool_(names.reads_unseen);
    result["literals"] = to_list(names.literals);
    result["written"] = to_list(names.written);
    result["modules"] = to_list(names.modules);
    result["ipython_effect"] = from_utf8(names.ipython_effect);
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
                    "What a cell does with names: those it reads before binding them, those it binds "
                    "(and of them those it may bind and those it imports), the globals each function or "
                    "class it defines reads and assigns, and whether it binds or reads names it does "
                    "not spell out.");
}

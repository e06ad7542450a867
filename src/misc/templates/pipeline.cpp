// describe_pipeline: the pipeline that the export templates render, worked out once: the
// components in dependency order, where each input comes from, generated names, parameter
// types and defaults, and cell code that a plain Python file can hold.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "pipeline_graph.hpp"
#include "strings.hpp"
#include "text.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace trelvo::misc::templates::pipeline {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// Names the generated modules use themselves at module level. Parameters never live there: the
// script keeps their defaults in PARAMETERS, and a Kubeflow step takes them under a prefix.
const char* const kHelperNames[] = {"PARAMETERS", "PIPELINE", "_arguments", "_run", "_text", "_value",
                                    "argparse", "ast", "cloudpickle", "compile_to_yaml", "compiler", "dsl",
                                    "main", "pipeline", "sys", "traceback"};

// What Kubeflow Pipelines itself takes as a parameter's name: a letter, then ASCII letters,
// digits and "_"; and not "Output", which it keeps for a component's single output.
bool kfp_takes(const std::string& name) {
    if (name.empty() || name == "Output" || !std::isalpha(static_cast<unsigned char>(name[0])) ||
        static_cast<unsigned char>(name[0]) >= 0x80)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    });
}

// ---- reading what the caller passed ------------------------------------------------------

bool is_undefined(nb::handle value) {
    return value.is_none() || nb::isinstance(value, scope->get("Undefined"));
}

// A model as its dict; a dict as it is.
nb::dict plain(nb::handle value, const char* what) {
    if (nb::isinstance(value, scope->get("BaseModel"))) {
        nb::object dumped = is_pydantic_v1(*scope) ? value.attr("dict")() : value.attr("model_dump")();
        return dict_state(dumped);
    }
    if (!PyDict_Check(value.ptr()))
        raise(PyExc_TypeError, "Expected a model or a dict for %s, got %.200s", what,
              Py_TYPE(value.ptr())->tp_name);
    return nb::borrow<nb::dict>(value);
}

nb::object field(nb::dict record, const char* key) {
    PyObject* value = PyDict_GetItemString(record.ptr(), key);
    return value ? nb::borrow(value) : nb::none();
}

std::string text_field(nb::dict record, const char* key) {
    nb::object value = field(record, key);
    return value.is_none() ? std::string() : utf8(nb::str(value));
}

std::vector<std::string> text_list(nb::dict record, const char* key) {
    std::vector<std::string> items;
    nb::object value = field(record, key);
    if (value.is_none()) return items;
    for (nb::handle item : value) items.push_back(utf8(nb::str(item)));
    return items;
}

nb::list to_list(const std::vector<std::string>& items) {
    nb::list list;
    for (const std::string& item : items) list.append(from_utf8(item));
    return list;
}

std::string repr_text(nb::handle value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (!text) throw nb::python_error();
    return utf8(nb::steal(text));
}

// ---- parameters --------------------------------------------------------------------------

struct Parameter {
    std::string name;
    std::string type;       // bool, int, float, str, dict, list or tuple
    nb::object value;       // the default, of that type
};

// A Python literal, or the text itself.
nb::object literal_or_text(const std::string& text) {
    try {
        return scope->get("ast").attr("literal_eval")(from_utf8(text));
    } catch (nb::python_error& error) {
        if (!error.matches(nb::make_tuple(nb::handle(PyExc_ValueError), nb::handle(PyExc_SyntaxError))))
            throw;
        return from_utf8(text);
    }
}

const std::map<std::string, const char*> kTypeOf = {
    {"bool", "bool"}, {"int", "int"}, {"float", "float"}, {"str", "str"},
    {"dict", "dict"}, {"list", "list"}, {"tuple", "tuple"}};

nb::object as_type(const Parameter& p, nb::handle value) {
    nb::object builtins = nb::module_::import_("builtins");
    auto is = [&](const char* type) { return nb::isinstance(value, builtins.attr(type)); };
    bool fits = p.type == "str" || (p.type == "float" && (is("int") || is("float"))) ||
                (p.type == "int" && is("int")) || (p.type == "bool" && is("bool")) ||
                (p.type == "dict" && is("dict")) ||
                ((p.type == "list" || p.type == "tuple") && (is("list") || is("tuple")));
    if (!fits)
        raise(PyExc_ValueError, "Parameter '%s' of type %s has the value %s, which is not a %s.",
              p.name.c_str(), p.type.c_str(), repr_text(value).c_str(), p.type.c_str());
    return builtins.attr(kTypeOf.at(p.type))(value);
}

Parameter read_parameter(nb::handle given) {
    nb::dict record = plain(given, "a parameter");
    Parameter p{text_field(record, "name"), text_field(record, "type"), nb::none()};
    nb::object value = literal_or_text(text_field(record, "value"));
    if (p.type.empty()) {
        std::string inferred = utf8(value.type().attr("__name__"));
        p.type = kTypeOf.count(inferred) ? inferred : "str";
    } else if (!kTypeOf.count(p.type)) {
        raise(PyExc_ValueError, "Parameter '%s' has the unknown type '%s'.", p.name.c_str(),
              p.type.c_str());
    }
    p.value = as_type(p, value);
    return p;
}

nb::dict describe_parameter(const Parameter& p) {
    nb::dict d;
    d["name"] = from_utf8(p.name);
    d["type"] = from_utf8(p.type);
    // KFP carries the numbers inside lists and dicts as doubles (2 arrives as 2.0) and knows no
    // tuples: such values travel as their Python literal, read back in the step.
    bool literal = p.type == "list" || p.type == "dict" || p.type == "tuple";
    d["literal"] = nb::bool_(literal);
    d["kfp_type"] = from_utf8(literal ? "str" : p.type);
    d["default"] = from_utf8(repr_text(p.value));
    d["kfp_default"] = from_utf8(literal ? repr_text(from_utf8(repr_text(p.value))) : repr_text(p.value));
    return d;
}

// ---- components --------------------------------------------------------------------------

struct Component {
    std::string id, name, code;
    std::vector<std::string> imports, inputs, outputs;
    std::vector<std::pair<std::string, std::string>> parents;  // id, name
    bool isolated = false;  // binds or reads names it does not spell out: runs in a namespace of its own
};

Component read_component(nb::handle given) {
    nb::dict record = plain(given, "a component");
    Component c{text_field(record, "identifier"), text_field(record, "name"),
                core::without_ipython_syntax(core::normalize_cell_code(text_field(record, "code"))),
                text_list(record, "imports"), text_list(record, "inputs"),
                text_list(record, "outputs"), {}};
    c.isolated = arg_bool(field(record, "isolated"));
    nb::object parents = field(record, "parents");
    if (!parents.is_none()) {
        for (nb::handle parent : parents) {
            nb::dict p = plain(parent, "a parent");
            c.parents.emplace_back(text_field(p, "id"), text_field(p, "name"));
        }
    }
    return c;
}

[[noreturn]] void invalid(const Component& c, const std::string& problem) {
    raise(PyExc_ValueError, "Component '%s' (id '%s') %s", c.name.c_str(), c.id.c_str(),
          problem.c_str());
}

std::string indented(const std::string& code) {
    std::string out;
    std::size_t start = 0;
    while (start <= code.size()) {
        std::size_t end = std::min(code.find('\n', start), code.size());
        std::string_view line(code.data() + start, end - start);
        if (!line.empty()) out += "    " + std::string(line);
        out += '\n';
        start = end + 1;
    }
    return out;
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

bool compiles(const std::string& source) {
    try {
        nb::module_::import_("builtins").attr("compile")(from_utf8(source), "<export>", "exec");
        return true;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_SyntaxError)) throw;
        return false;
    }
}

// The script's function for a component: the cell as its body when Python allows it there,
// else an exec of the cell in a namespace of its own.
std::string script_definition(const std::string& function, const std::vector<std::string>& args,
                              const Component& c, const std::vector<std::string>& imports) {
    std::vector<std::string> returned, names;
    for (const std::string& output : c.outputs) {
        returned.push_back(repr_text(from_utf8(output)) + ": " + output);
        names.push_back(repr_text(from_utf8(output)));
    }
    std::string head = "def " + function + "(" + joined(args, ", ") + "):\n";
    std::string body = head + indented(c.code) + "    return {" + joined(returned, ", ") + "}\n";
    if (!c.isolated && compiles(body)) return body;
    std::vector<std::string> given;
    for (const std::string& arg : args) given.push_back(repr_text(from_utf8(arg)) + ": " + arg);
    std::string source = joined(imports, "\n") + (imports.empty() ? "" : "\n") + c.code;
    return head + "    namespace = {" + joined(given, ", ") + "}\n" +
           "    exec(compile(" + repr_text(from_utf8(source)) + ", " +
           repr_text(from_utf8("<" + c.name + ">")) + ", \"exec\"), namespace)\n" +
           "    return {name: namespace[name] for name in [" + joined(names, ", ") + "]}\n";
}

// ---- the whole description ---------------------------------------------------------------

std::set<std::string> reserved_names(const std::vector<Parameter>& parameters,
                                     const std::vector<Component>& components) {
    std::set<std::string> reserved(std::begin(kHelperNames), std::end(kHelperNames));
    for (nb::handle name : scope->get("keyword").attr("kwlist")) reserved.insert(utf8(name));
    nb::object builtins = nb::module_::import_("builtins");
    for (nb::handle name : nb::steal(PyObject_Dir(builtins.ptr()))) reserved.insert(utf8(name));
    for (const Parameter& p : parameters) reserved.insert(p.name);
    for (const Component& c : components)
        for (const std::string& statement : c.imports)
            if (std::size_t equals = statement.find(" = "); equals != std::string::npos)
                reserved.insert(statement.substr(0, equals));
    return reserved;
}

// The components, their order and their parents, read and checked once.
struct Graph {
    std::vector<Component> components;
    std::vector<Parameter> parameters;
    std::vector<std::vector<std::size_t>> parents;  // indices, in each one's `parents` order
    std::vector<std::size_t> order;
    std::vector<std::string> names;      // the components' names, or their ids
    std::vector<std::string> functions;  // the Python names made from them
    std::vector<std::string> tasks;      // the names of their tasks in the pipeline's function
    bool single = false;                 // one component whose parents are elsewhere
};

bool is_parameter(const Graph& g, const std::string& name) {
    return std::any_of(g.parameters.begin(), g.parameters.end(),
                       [&](const Parameter& p) { return p.name == name; });
}

// The later parent in `parents` order wins, as when the run was given the parents' outputs.
std::string provider_of(const Graph& g, std::size_t index, const std::string& input) {
    std::string provider;
    for (std::size_t parent : g.parents[index])
        for (const std::string& output : g.components[parent].outputs)
            if (output == input) provider = g.functions[parent];
    if (provider.empty())
        invalid(g.components[index], "reads '" + input + "', which none of its parents provides.");
    return provider;
}

// The step's inputs; their names go to args. Parameters are pushed after inputs and win.
nb::list step_inputs(const Graph& g, std::size_t index, std::vector<std::string>& args) {
    nb::list inputs;
    for (const std::string& input : g.components[index].inputs) {
        if (is_parameter(g, input)) continue;
        nb::dict described;
        described["name"] = from_utf8(input);
        if (!g.single) described["parent"] = from_utf8(provider_of(g, index, input));
        inputs.append(described);
        args.push_back(input);
    }
    return inputs;
}

// The parameters the step's code names (or hands on); their names go to args.
nb::list step_parameters(const Graph& g, std::size_t index, std::vector<std::string>& args) {
    const Component& c = g.components[index];
    nb::list used;
    for (const Parameter& p : g.parameters) {
        bool handed_on = std::find(c.outputs.begin(), c.outputs.end(), p.name) != c.outputs.end();
        if (core::mentions_name(c.code, p.name) || handed_on) {
            used.append(describe_parameter(p));
            args.push_back(p.name);
        }
    }
    return used;
}

// The step's parents: their functions, and the names of their artifacts as the step's inputs,
// which no parameter of the step has.
nb::list step_parents(const Graph& g, std::size_t index, const std::set<std::string>& taken) {
    std::vector<std::string> functions;
    if (!g.single) {
        for (std::size_t parent : g.parents[index]) functions.push_back(g.functions[parent]);
    } else {
        std::vector<std::string> names;
        for (const auto& [id, name] : g.components[index].parents) names.push_back(name.empty() ? id : name);
        functions = core::python_names(names, reserved_names(g.parameters, g.components));
    }
    std::vector<std::string> inputs;
    for (const std::string& function : functions) inputs.push_back("from_" + function);
    inputs = core::python_names(inputs, taken);
    nb::list parents;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        nb::dict parent;
        parent["function"] = from_utf8(functions[i]);
        parent["input"] = from_utf8(inputs[i]);
        parents.append(parent);
    }
    return parents;
}

nb::dict describe_step(const Graph& g, std::size_t index) {
    const Component& c = g.components[index];
    std::vector<std::string> imports;
    for (const std::string& statement : c.imports) imports.push_back(core::readable_import(statement));
    std::vector<std::string> args;
    nb::list inputs = step_inputs(g, index, args);
    std::vector<std::string> input_names = args;
    nb::list parameters = step_parameters(g, index, args);
    std::string source = joined(imports, "\n") + (imports.empty() ? "" : "\n") + c.code;

    nb::dict step;
    step["id"] = from_utf8(c.id);
    step["name"] = from_utf8(g.names[index]);
    step["function"] = from_utf8(g.functions[index]);
    step["imports"] = to_list(imports);
    step["inputs"] = inputs;
    step["input_names"] = to_list(input_names);
    step["outputs"] = to_list(c.outputs);
    std::set<std::string> taken;  // the step's parameters: its artifacts take other names
    for (const Parameter& p : g.parameters) taken.insert(p.name);
    step["output"] = from_utf8(core::python_names({"results"}, taken)[0]);
    taken.insert(utf8(step["output"]));
    step["parents"] = step_parents(g, index, taken);
    step["parameters"] = parameters;
    step["source"] = from_utf8(repr_text(from_utf8(source)));
    step["filename"] = from_utf8(repr_text(from_utf8("<" + g.names[index] + ">")));
    step["definition"] = from_utf8(script_definition(g.functions[index], args, c, imports));
    step["task"] = from_utf8(g.tasks[index]);
    return step;
}

// Parent ids to indices, and the order that puts parents first; what cannot run is refused.
void order_components(Graph& g) {
    std::size_t count = g.components.size();
    g.parents.assign(count, {});
    if (g.single) {
        g.order = {0};
        return;
    }
    std::map<std::string, std::size_t> by_id;
    for (std::size_t i = 0; i < count; ++i)
        if (!by_id.emplace(g.components[i].id, i).second)
            invalid(g.components[i], "has the same id as another component.");
    for (std::size_t i = 0; i < count; ++i) {
        for (const auto& [id, name] : g.components[i].parents) {
            auto found = by_id.find(id);
            if (found == by_id.end())
                invalid(g.components[i], "has a parent '" + id + "' that is not in the pipeline.");
            g.parents[i].push_back(found->second);
        }
    }
    try {
        g.order = core::dependency_order(g.parents);
    } catch (const core::CycleError& cycle) {
        invalid(g.components[cycle.node], "depends on itself through its parents.");
    }
}

Graph read_graph(nb::handle components, nb::handle component, nb::handle parameters, bool kfp) {
    Graph g;
    g.single = !is_undefined(component);
    if (g.single) {
        g.components.push_back(read_component(component));
    } else {
        if (is_undefined(components)) raise(PyExc_ValueError, "No components given to export.");
        for (nb::handle given : components) g.components.push_back(read_component(given));
    }
    if (!is_undefined(parameters))
        for (nb::handle given : parameters) g.parameters.push_back(read_parameter(given));
    for (const Parameter& p : g.parameters)
        if (kfp && !kfp_takes(p.name))
            raise(PyExc_ValueError,
                  "Parameter '%s' cannot be a Kubeflow Pipelines parameter: KFP takes names that begin with "
                  "a letter and hold only ASCII letters, digits and '_', other than 'Output'; rename it.",
                  p.name.c_str());
    order_components(g);
    for (const Component& c : g.components) g.names.push_back(c.name.empty() ? c.id : c.name);
    std::set<std::string> reserved = reserved_names(g.parameters, g.components);
    g.functions = core::python_names(g.names, reserved);
    reserved.insert(g.functions.begin(), g.functions.end());
    std::vector<std::string> tasks;
    for (const std::string& function : g.functions) tasks.push_back(function + "_task");
    g.tasks = core::python_names(tasks, reserved);
    return g;
}

std::string kfp_packages(nb::handle given) {
    nb::list packages;
    if (!is_undefined(given))
        for (nb::handle package : given) packages.append(nb::str(package));
    if (!contains(packages, nb::str("cloudpickle"))) packages.append(nb::str("cloudpickle"));
    return repr_text(packages);
}

nb::object describe_pipeline(const Args& a) {
    enum { kName, kComponents, kParameters, kBaseImage, kPackages, kComponent, kKfp };
    Graph g = read_graph(a[kComponents], a[kComponent], a[kParameters], arg_bool(a[kKfp]));
    std::string name = is_undefined(a[kName]) ? std::string() : utf8(nb::str(a[kName]));
    nb::dict described;
    described["name"] = from_utf8(name);
    described["kfp_name"] = from_utf8(core::kfp_name(name));
    described["base_image"] = from_utf8(
        repr_text(is_undefined(a[kBaseImage]) ? nb::str("python:3.11") : nb::str(a[kBaseImage])));
    described["packages"] = from_utf8(kfp_packages(a[kPackages]));
    nb::list parameters;
    for (const Parameter& p : g.parameters) parameters.append(describe_parameter(p));
    described["parameters"] = parameters;
    nb::list steps, imports;
    for (std::size_t index : g.order) steps.append(describe_step(g, index));
    for (nb::handle step : steps)
        for (nb::handle line : step["imports"])
            if (!contains(imports, line)) imports.append(line);
    described["imports"] = imports;
    described["steps"] = steps;
    return described;
}

}  // namespace
}  // namespace trelvo::misc::templates::pipeline

NB_MODULE(pipeline, m) {
    using namespace trelvo::misc::templates::pipeline;
    using namespace trelvo::py;
    scope = new Scope(m);
    scope->import("ast");
    scope->import("keyword");
    scope->import_from("jinja2", {"Undefined"});
    scope->import("pydantic");
    scope->import_from("pydantic", {"BaseModel"});
    nb::object none = nb::none();
    define_function(*scope, "describe_pipeline",
                    {kwonly("pipeline_name", none), kwonly("components", none),
                     kwonly("parameters", none), kwonly("base_image", none),
                     kwonly("packages_to_install", none), kwonly("component", none),
                     kwonly("kfp", nb::bool_(false))},
                    "Dict[str, Any]", describe_pipeline,
                    "The pipeline the export templates render: components in dependency order, "
                    "generated names, parameter types and defaults, exportable cell code.");
}

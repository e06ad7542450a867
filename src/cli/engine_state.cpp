// Snapshots of the process state that cells change without names, taken before and after each
// cell: a kind that changed is a binding of the cell, and its snapshot is stored so that a later
// run can put the state back as the cell left it.
#include "engine_state.hpp"

#include "calls.hpp"
#include "checks.hpp"
#include "strings.hpp"

namespace trelvo::cli::engine {
namespace {

using namespace trelvo::py;

nb::object loaded(const Scope& scope, const char* module) {
    return scope.get("sys").attr("modules").attr("get")(module);
}

// pandas keeps its options in nested dicts: "display.max_rows" is config["display"]["max_rows"].
void flatten(nb::handle config, const std::string& prefix, nb::dict into) {
    for (auto [key, value] : nb::borrow<nb::dict>(config)) {
        std::string name = prefix + utf8(nb::str(key));
        if (PyDict_Check(value.ptr())) flatten(value, name + ".", into);
        else into[from_utf8(name)] = value;
    }
}

bool same(nb::handle a, nb::handle b) {
    int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (equal < 0) {  // values that cannot tell (arrays): count as changed
        PyErr_Clear();
        return false;
    }
    return equal == 1;
}

}  // namespace

nb::dict state_snapshot(const Scope& scope) {
    nb::dict state;
    nb::object random = loaded(scope, "random");
    if (!random.is_none()) state["<random>"] = random.attr("getstate")();
    nb::object numpy = loaded(scope, "numpy");
    if (!numpy.is_none()) {
        // The legacy global generator's state, with its key array as bytes so snapshots compare.
        nb::tuple generator = nb::borrow<nb::tuple>(numpy.attr("random").attr("get_state")());
        state["<numpy.random>"] = nb::make_tuple(generator[0], generator[1].attr("tobytes")(), generator[2],
                                                 generator[3], generator[4]);
        state["<numpy printoptions>"] = numpy.attr("get_printoptions")();
    }
    nb::object pandas = loaded(scope, "pandas._config.config");
    if (!pandas.is_none()) {
        nb::dict options;
        flatten(pandas.attr("_global_config"), "", options);
        state["<pandas options>"] = options;
    }
    nb::object matplotlib = loaded(scope, "matplotlib");
    if (!matplotlib.is_none() && nb::hasattr(matplotlib, "rcParams"))
        state["<matplotlib rcParams>"] = nb::steal(PyDict_Copy(matplotlib.attr("rcParams").ptr()));
    // Copies: nb::list of an attribute would be the live list itself.
    state["<warnings>"] = snapshot(scope.get("warnings").attr("filters"));
    state["<sys.path>"] = snapshot(scope.get("sys").attr("path"));
    nb::object os = scope.get("os");
    state["<os.environ>"] = scope.get("dict")(os.attr("environ"));
    try {
        state["<cwd>"] = os.attr("getcwd")();
    } catch (nb::python_error&) {  // a directory deleted under the kernel
    }
    return state;
}

std::vector<std::string> changed_states(nb::dict before, nb::dict after) {
    std::vector<std::string> changed;
    for (auto [kind, snapshot] : after) {
        PyObject* was = PyDict_GetItemWithError(before.ptr(), kind.ptr());
        if (!was && PyErr_Occurred()) throw nb::python_error();
        if (!was || !same(was, snapshot)) changed.push_back(utf8(kind));
    }
    return changed;
}

void restore_state(const Scope& scope, const std::string& kind, nb::handle snapshot) {
    if (kind == "<random>") {
        scope.get("importlib").attr("import_module")("random").attr("setstate")(snapshot);
    } else if (kind == "<numpy.random>") {
        nb::object numpy = scope.get("importlib").attr("import_module")("numpy");
        nb::object keys = numpy.attr("frombuffer")(snapshot[1], nb::arg("dtype") = numpy.attr("uint32")).attr("copy")();
        numpy.attr("random").attr("set_state")(nb::make_tuple(snapshot[0], keys, snapshot[2], snapshot[3], snapshot[4]));
    } else if (kind == "<numpy printoptions>") {
        scope.get("importlib").attr("import_module")("numpy").attr("set_printoptions")(**nb::borrow<nb::dict>(snapshot));
    } else if (kind == "<pandas options>") {
        // Through set_option, so that pandas' own callbacks see the change.
        nb::object pandas = scope.get("importlib").attr("import_module")("pandas");
        nb::dict now;
        flatten(scope.get("importlib").attr("import_module")("pandas._config.config").attr("_global_config"), "", now);
        for (auto [name, value] : nb::borrow<nb::dict>(snapshot))
            if (!now.contains(name) || !same(now[name], value)) pandas.attr("set_option")(name, value);
    } else if (kind == "<matplotlib rcParams>") {
        nb::object params = scope.get("importlib").attr("import_module")("matplotlib").attr("rcParams");
        nb::dict changed;
        for (auto [name, value] : nb::borrow<nb::dict>(snapshot)) {
            PyObject* now = PyDict_GetItemWithError(params.ptr(), name.ptr());  // the stored value, without warnings
            if (!now && PyErr_Occurred()) throw nb::python_error();
            if (!now || !same(now, value)) changed[name] = value;
        }
        if (nb::len(changed)) params.attr("update")(changed);
    } else if (kind == "<warnings>") {
        nb::object warnings = scope.get("warnings");
        warnings.attr("filters").attr("__setitem__")(nb::slice(nb::none(), nb::none(), nb::none()), snapshot);
        warnings.attr("_filters_mutated")();
    } else if (kind == "<sys.path>") {
        scope.get("sys").attr("path").attr("__setitem__")(nb::slice(nb::none(), nb::none(), nb::none()), snapshot);
    } else if (kind == "<os.environ>") {
        nb::object environ = scope.get("os").attr("environ");
        for (nb::handle name : nb::list(environ.attr("keys")()))
            if (!nb::borrow<nb::dict>(snapshot).contains(name)) environ.attr("pop")(name);
        environ.attr("update")(snapshot);
    } else if (kind == "<cwd>") {
        scope.get("os").attr("chdir")(snapshot);
    }
}

}  // namespace trelvo::cli::engine

// TrelvoSelkin: holds a component's captured output and replays what follows the last
// clear-output record, tagged with the component's id.
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::capture::selkin {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

constexpr const char* kStdoutMime = "application/vnd.jupyter.stdout";
constexpr const char* kStderrMime = "application/vnd.jupyter.stderr";

bool equals(nb::handle value, const char* text) {
    int equal = PyObject_RichCompareBool(value.ptr(), nb::str(text).ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal != 0;
}

bool contains(nb::handle container, const char* item) {
    int found = PySequence_Contains(container.ptr(), nb::str(item).ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

nb::object init(const Args& a) {
    check_arg(a[1], "captured", &PyList_Type, true);
    nb::setattr(a[0], "_captured", a[1].is_none() ? nb::object(nb::list()) : nb::borrow(a[1]));
    nb::setattr(a[0], "_ipython_shell", a[2]);
    return nb::none();
}

nb::object captured(const Args& a) {
    nb::object value = a[0].attr("_captured");
    check_result(value, &PyList_Type);
    return value;
}

// Copies of the records after the last clear-output record, oldest first.
nb::object records_to_show(nb::handle self) {
    nb::object shown = scope->get("deque")(nb::list());
    nb::object records = self.attr("captured");
    for (Py_ssize_t i = nb::len(records) - 1; i >= 0; --i) {
        nb::object item = records[i];
        if (equals(item.attr("type"), "clear_output")) break;
        bool v1 = is_pydantic_v1(*scope);
        shown.attr("appendleft")(v1 ? item.attr("copy")() : item.attr("model_copy")());
    }
    return shown;
}

void write_text(nb::handle data, const char* mime, const char* stream_name) {
    nb::object stream = scope->get("sys").attr(stream_name);
    stream.attr("write")(data[mime]);
    stream.attr("flush")();
}

nb::object show(const Args& a) {
    nb::handle self = a[0];
    check_arg(a[1], "component_id", &PyUnicode_Type, true);
    nb::object shell = self.attr("_ipython_shell");
    for (nb::handle item : records_to_show(self)) {
        if (equals(item.attr("type"), "stream")) {
            const char* mime = contains(item.attr("name"), "stderr") ? kStderrMime : kStdoutMime;
            nb::dict data;
            data[mime] = item.attr("text");
            item.attr("data") = data;
        }
        if (item.attr("metadata").is_none()) item.attr("metadata") = nb::dict();
        nb::dict tag;
        tag["component_id"] = a[1];
        item.attr("metadata").attr("update")(tag);

        if (arg_bool(scope->get("is_zmq_ipython_shell")(nb::arg("ipython_shell") = shell)) &&
            arg_bool(scope->get("is_io_redirected")())) {
            shell.attr("display_pub").attr("publish")(
                nb::arg("data") = item.attr("data"), nb::arg("metadata") = item.attr("metadata"),
                nb::arg("transient") = item.attr("transient"), nb::arg("update") = item.attr("update"));
            continue;
        }
        nb::object data = item.attr("data");
        if (contains(data, kStdoutMime)) {
            write_text(data, kStdoutMime, "stdout");
        } else if (contains(data, kStderrMime)) {
            write_text(data, kStderrMime, "stderr");
        }
    }
    return nb::none();
}

constexpr const char* kDoc =
    "Simple object for containing captured Trelvo stdout/err and display StringIO objects.\n"
    "\n"
    "    Each instance `c.outputs` has three types of outputs: stdout, stderr, display.\n"
    "\n"
    "    Additionally, there's a ``c.show()`` method which will print all of the\n"
    "    above in the same order, and can be invoked simply via ``c()``.\n"
    "    ";

void bind_imports(const Scope& s) {
    s.import("sys");
    s.import_from("collections", {"deque"});
    s.import_from("typing", {"Deque", "List", "Optional"});
    s.import("pydantic");
    s.import_from("IPython.terminal.interactiveshell", {"InteractiveShell"});
    s.import_from("trelvo_core.ipython", {"is_io_redirected", "is_zmq_ipython_shell"});
    s.import_from("trelvo_core.misc.models", {"TrelvoCapturedModel"});
}

void register_selkin(const Scope& s) {
    nb::object none = nb::none();
    ClassBuilder builder(s, "TrelvoSelkin", kDoc);
    nb::object show_function = make_function(
        {"show", "TrelvoSelkin.show", s.name(), "",
         {arg("self"), opt("component_id", none, "Optional[str]")}, "", show});
    builder
        .method("__init__",
                {arg("self"), opt("captured", none, "Optional[List[TrelvoCapturedModel]]"),
                 opt("ipython_shell", none, "Optional[InteractiveShell]")},
                "", init)
        .property("captured", "List[TrelvoCapturedModel]", captured)
        .attribute("show", show_function)
        .attribute("__call__", show_function);
    builder.build(object_base());
}

}  // namespace
}  // namespace trelvo::capture::selkin

NB_MODULE(selkin, m) {
    using namespace trelvo::capture::selkin;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_selkin(*scope);
}

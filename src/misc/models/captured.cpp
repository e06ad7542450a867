// The captured-output record: one stream chunk, display, clear request or execution result,
// convertible to and from notebook output records and the flat Trelvo dictionary.
#include "class_builder.hpp"
#include "checks.hpp"
#include "strings.hpp"
#include "text.hpp"

namespace trelvo::misc::models::captured {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;  // the module's namespace, kept for the life of the process

[[noreturn]] void raise_invalid_type(nb::handle type) {
    raise(PyExc_ValueError,
          "Invalid 'type': '%S'. Expected one of ['clear_output', 'display_data', "
          "'execute_result', 'stream'].",
          type.ptr());
}

bool equals(nb::handle value, const char* text) {
    int equal = PyObject_RichCompareBool(value.ptr(), nb::str(text).ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal != 0;
}

nb::object item(nb::dict record, const char* key) {
    PyObject* value = PyObject_GetItem(record.ptr(), nb::str(key).ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

nb::object get(nb::dict record, const char* key) {
    PyObject* value = PyDict_GetItemWithError(record.ptr(), nb::str(key).ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value ? nb::borrow(value) : nb::none();
}

nb::object from_ipynb_output(const Args& a) {
    nb::handle cls = a[0];
    nb::dict output = arg_dict(a[1], "output_obj");
    nb::object output_type = item(output, "output_type");
    check_result(output_type, &PyUnicode_Type);

    if (equals(output_type, "clear_output"))
        return cls(nb::arg("type") = output_type, nb::arg("metadata") = get(output, "metadata"));
    if (equals(output_type, "display_data")) {
        nb::object data = item(output, "data");
        return cls(nb::arg("type") = output_type, nb::arg("data") = data,
                   nb::arg("metadata") = get(output, "metadata"));
    }
    if (equals(output_type, "execute_result")) {
        nb::object data = item(output, "data");
        nb::object metadata = get(output, "metadata");
        return cls(nb::arg("type") = output_type, nb::arg("data") = data,
                   nb::arg("metadata") = metadata,
                   nb::arg("execution_count") = get(output, "execution_count"));
    }
    if (equals(output_type, "stream")) {
        nb::object lines = item(output, "text");
        check_result(lines, &PyList_Type);
        nb::object name = item(output, "name");
        PyObject* text = PyUnicode_Join(nb::str("").ptr(), lines.ptr());
        if (!text) throw nb::python_error();
        return cls(nb::arg("type") = output_type, nb::arg("name") = name,
                   nb::arg("text") = nb::steal(text));
    }
    raise_invalid_type(output_type);
}

nb::list stream_lines(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        raise(PyExc_AttributeError, "'%.50s' object has no attribute 'split'",
              Py_TYPE(text.ptr())->tp_name);
    nb::list lines;
    for (const std::string& line : core::split_stream_text(utf8(text))) lines.append(from_utf8(line));
    return lines;
}

nb::object to_ipynb_output(const Args& a) {
    nb::handle self = a[0];
    nb::object type = self.attr("type");
    nb::dict record;
    if (equals(type, "clear_output")) {
        record["metadata"] = self.attr("metadata");
        record["output_type"] = type;
    } else if (equals(type, "display_data")) {
        record["data"] = self.attr("data");
        record["metadata"] = self.attr("metadata");
        record["output_type"] = type;
    } else if (equals(type, "execute_result")) {
        record["data"] = self.attr("data");
        record["metadata"] = self.attr("metadata");
        record["output_type"] = type;
        record["execution_count"] = self.attr("execution_count");
    } else if (equals(type, "stream")) {
        record["name"] = self.attr("name");
        record["output_type"] = type;
        record["text"] = stream_lines(self.attr("text"));
    } else {
        raise_invalid_type(type);
    }
    return record;
}

nb::object from_trelvo_dict(const Args& a) {
    nb::dict record = arg_dict(a[1], "dict_obj");
    nb::object copy = nb::steal(PyDict_Copy(record.ptr()));
    if (!copy.is_valid()) throw nb::python_error();
    PyObject* model = PyObject_Call(a[0].ptr(), nb::tuple().ptr(), copy.ptr());
    if (!model) throw nb::python_error();
    return nb::steal(model);
}

nb::object to_trelvo_dict(const Args& a) {
    nb::object dumped = is_pydantic_v1(*scope) ? a[0].attr("dict")() : a[0].attr("model_dump")();
    check_result(dumped, &PyDict_Type);
    return dumped;
}

void bind_imports(const Scope& s) {
    s.import_from("typing", {"Any", "Callable", "ClassVar", "Dict", "List", "Optional"});
    s.import_from_either("typing", "typing_extensions", {"Literal"});
    s.import("pydantic");
    s.import_from("pydantic", {"BaseModel"});
}

void register_captured_model(const Scope& s) {
    nb::object none = nb::none();
    nb::object no = nb::bool_(false);
    ClassBuilder builder(s, "TrelvoCapturedModel",
                         "Model definition for captured outputs of TrelvoSelkin.");
    builder.annotate("type", "Literal['clear_output', 'display_data', 'execute_result', 'stream']")
        .annotate("wait", "bool", no)
        .annotate("data", "Optional[Dict[str, Any]]", none)
        .annotate("metadata", "Optional[Dict[str, Any]]", none)
        .annotate("transient", "Optional[Dict[str, Any]]", none)
        .annotate("update", "bool", no)
        .annotate("name", "Optional[Literal['stderr', 'stdout', '<stderr>', '<stdout>']]", none)
        .annotate("text", "Optional[str]", none)
        .annotate("execution_count", "Optional[int]", none)
        .annotate("to_ipynb_output", "ClassVar[Callable]")
        .annotate("to_trelvo_dict", "ClassVar[Callable]");
    builder
        .class_method("from_ipynb_output", {arg("cls"), arg("output_obj", "Dict[str, Any]")},
                      "'TrelvoCapturedModel'", from_ipynb_output,
                      "Create a TrelvoCapturedModel from IPython Notebook cell output.")
        .method("to_ipynb_output", {arg("self")}, "Dict[str, Any]", to_ipynb_output,
                "Export to IPython Notebook cell output.")
        .class_method("from_trelvo_dict", {arg("cls"), arg("dict_obj", "Dict[str, Any]")},
                      "'TrelvoCapturedModel'", from_trelvo_dict,
                      "Create a TrelvoCapturedModel from Trelvo JSON object.")
        .method("to_trelvo_dict", {arg("self")}, "Dict[str, Any]", to_trelvo_dict,
                "Export to Trelvo JSON object.");
    if (is_pydantic_v1(s)) {
        // pydantic 1 would copy every record again whenever a list of them is a field.
        nb::dict config;
        config["copy_on_model_validation"] = "none";
        builder.attribute("Config", nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
                                        "Config", nb::tuple(), config));
    }
    nb::object model = builder.build(nb::make_tuple(s.get("BaseModel")));
    resolve_model_annotations(model, s);
}

}  // namespace
}  // namespace trelvo::misc::models::captured

NB_MODULE(captured, m) {
    using namespace trelvo::misc::models::captured;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_captured_model(*scope);
}

// The template base: the SingletonInstance metaclass and Draffen, which loads the Jinja2
// templates installed beside it, renders one, and formats the generated source.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::misc::templates::draffen {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle singleton_class;  // for super() in __call__

nb::object singleton_call(const Args& a) {
    enum { kCls, kArgs, kKwargs };
    nb::handle cls = a[kCls];
    nb::object instances = cls.attr("_instances");
    if (!contains(instances, cls)) {
        nb::object call = super_of(singleton_class, cls).attr("__call__");
        PyObject* instance = PyObject_Call(call.ptr(), a[kArgs].ptr(), a[kKwargs].ptr());
        if (!instance) throw nb::python_error();
        instances[cls] = nb::steal(instance);
    }
    return instances[cls];
}

nb::object init(const Args& a) {
    nb::object path = scope->get("os").attr("path");
    nb::object template_dir = path.attr("abspath")(path.attr("dirname")(scope->get("__file__")));
    nb::object template_loader = scope->get("FileSystemLoader")(template_dir);
    nb::setattr(a[0], "_template_env", scope->get("Environment")(nb::arg("loader") = template_loader));
    nb::setattr(a[0], "_template", nb::none());
    return nb::none();
}

nb::object render(const Args& a) {
    enum { kSelf, kKwargs };
    nb::object template_ = a[kSelf].attr("_template");
    if (template_.is_none()) raise(PyExc_RuntimeError, "No Jinja2 templates loaded.");
    nb::object kwargs = nb::steal(PyDict_Copy(a[kKwargs].ptr()));
    PyObject* rendered = PyObject_Call(template_.attr("render").ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!rendered) throw nb::python_error();
    nb::object code = nb::steal(rendered);
    check_result(code, &PyUnicode_Type);
    code = scope->get("format_with_black")(nb::arg("code") = code);
    check_result(code, &PyUnicode_Type);
    code = scope->get("format_with_isort")(nb::arg("code") = code);
    check_result(code, &PyUnicode_Type);
    return code;
}

void bind_imports(const Scope& s) {
    s.import("os");
    s.import_from("typing", {"Any", "Dict"});
    s.import_from("jinja2", {"Environment", "FileSystemLoader", "Template"});
    s.import_from("trelvo_core.common.utils", {"format_with_black", "format_with_isort"});
}

void register_classes(const Scope& s) {
    nb::handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    ClassBuilder metaclass(s, "SingletonInstance", "Singleton base class.");
    metaclass.annotate("_instances", "Dict[Any, Any]", nb::dict())
        .method("__call__", {arg("cls"), star_args("args", "Any"), star_kwargs("kwargs", "Any")},
                "Any", singleton_call);
    singleton_class = metaclass.build(nb::make_tuple(type), type).release();

    ClassBuilder draffen(s, "Draffen", "Base of the pipeline export templates.");
    draffen.method("__init__", {arg("self")}, "None", init)
        .method("render", {arg("self"), star_kwargs("kwargs", "Any")}, "str", render);
    draffen.build(object_base(), singleton_class);
}

}  // namespace
}  // namespace trelvo::misc::templates::draffen

NB_MODULE(draffen, m) {
    using namespace trelvo::misc::templates::draffen;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_classes(*scope);
}

// Builds ordinary Python classes whose methods are C++.
#include "class_builder.hpp"

namespace trelvo::py {

ClassBuilder::ClassBuilder(const Scope& scope, std::string name, std::string doc)
    : scope_(scope), name_(std::move(name)) {
    namespace_["__module__"] = nb::str(scope.name());
    namespace_["__qualname__"] = nb::str(name_.c_str());
    namespace_["__doc__"] = nb::str(doc.c_str());
    namespace_["__annotations__"] = annotations_;
}

nb::object ClassBuilder::function(std::string name, std::vector<Param> params, std::string returns,
                                  Body body, std::string doc) {
    std::string qualname = name_ + "." + name;
    return make_function({std::move(name), std::move(qualname), scope_.name(), std::move(doc),
                          std::move(params), std::move(returns), std::move(body)});
}

ClassBuilder& ClassBuilder::method(std::string name, std::vector<Param> params, std::string returns,
                                   Body body, std::string doc) {
    std::string key = name;
    namespace_[key.c_str()] =
        function(std::move(name), std::move(params), std::move(returns), std::move(body), std::move(doc));
    return *this;
}

ClassBuilder& ClassBuilder::class_method(std::string name, std::vector<Param> params,
                                         std::string returns, Body body, std::string doc) {
    std::string key = name;
    nb::object fn =
        function(std::move(name), std::move(params), std::move(returns), std::move(body), std::move(doc));
    namespace_[key.c_str()] = nb::steal(PyClassMethod_New(fn.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(std::string name, std::vector<Param> params,
                                          std::string returns, Body body, std::string doc) {
    std::string key = name;
    nb::object fn =
        function(std::move(name), std::move(params), std::move(returns), std::move(body), std::move(doc));
    namespace_[key.c_str()] = nb::steal(PyStaticMethod_New(fn.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::property(std::string name, std::string annotation, Body getter,
                                     Body setter, Param setter_param, std::string doc) {
    std::string key = name;
    nb::object fget = function(name, {arg("self")}, annotation, std::move(getter), doc);
    nb::object fset = nb::none();
    if (setter) {
        if (setter_param.annotation.empty()) setter_param.annotation = annotation;
        fset = function(name, {arg("self"), std::move(setter_param)}, "", std::move(setter), "");
    }
    namespace_[key.c_str()] =
        nb::borrow<nb::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(fget, fset);
    return *this;
}

ClassBuilder& ClassBuilder::attribute(const std::string& name, nb::handle value) {
    namespace_[name.c_str()] = value;
    return *this;
}

ClassBuilder& ClassBuilder::annotate(const std::string& name, std::string annotation,
                                     nb::handle default_value) {
    annotations_[name.c_str()] = nb::str(annotation.c_str());
    if (default_value.is_valid()) namespace_[name.c_str()] = default_value;
    return *this;
}

nb::object ClassBuilder::build(nb::tuple bases, nb::handle metaclass) {
    nb::handle meta = metaclass.is_valid() ? metaclass : bases[0].type();
    nb::object cls = nb::borrow<nb::object>(meta)(nb::str(name_.c_str()), bases, namespace_);
    scope_.set(name_.c_str(), cls);
    return cls;
}

nb::object super_of(nb::handle cls, nb::handle self) {
    PyObject* bound = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                   cls.ptr(), self.ptr(), nullptr);
    if (!bound) throw nb::python_error();
    return nb::steal(bound);
}

nb::tuple object_base() {
    return nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
}

void define_function(const Scope& scope, const char* name, std::vector<Param> params,
                     const char* returns, Body body, const char* doc) {
    scope.set(name, make_function({name, name, scope.name(), doc, std::move(params), returns,
                                   std::move(body)}));
}

bool is_pydantic_v1(const Scope& scope) {
    nb::object version = scope.get("pydantic").attr("__version__");
    int less = PyObject_RichCompareBool(version.ptr(), nb::str("2.0.0").ptr(), Py_LT);
    if (less < 0) throw nb::python_error();
    return less != 0;
}

void resolve_model_annotations(nb::handle model, const Scope& scope) {
    if (is_pydantic_v1(scope)) {
        model.attr("update_forward_refs")(**scope.dict());
    } else {
        model.attr("model_rebuild")(nb::arg("_types_namespace") = scope.dict());
    }
}

}  // namespace trelvo::py

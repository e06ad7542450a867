#include "traits.hpp"

#include "strings.hpp"

#include <utility>

namespace trelvo::py {

namespace {

struct Names {
    nb::str trait_values = intern("_trait_values"), get = intern("get"),
            descriptor_get = intern("__get__"), name = intern("name");
};

const Names& names() {
    static const Names* names = new Names();
    return *names;
}

// TraitType's own __get__ and get, found on first use.
std::pair<PyObject*, PyObject*> trait_type_functions() {
    static std::pair<PyObject*, PyObject*> functions = [] {
        nb::object trait_type = nb::module_::import_("traitlets").attr("TraitType");
        auto* type = reinterpret_cast<PyTypeObject*>(trait_type.ptr());
        PyObject* descriptor_get = _PyType_Lookup(type, names().descriptor_get.ptr());
        PyObject* get = _PyType_Lookup(type, names().get.ptr());
        Py_XINCREF(descriptor_get);
        Py_XINCREF(get);
        return std::pair{descriptor_get, get};
    }();
    return functions;
}

PyObject* own_item(PyObject* owner, PyObject* key) {
    PyObject** dict = _PyObject_GetDictPtr(owner);
    if (!dict || !*dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(*dict, key);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// Whether the descriptor is a plain trait named name.
bool is_plain_trait(PyObject* descriptor, nb::handle name) {
    auto [descriptor_get, get] = trait_type_functions();
    PyTypeObject* type = Py_TYPE(descriptor);
    if (!get || _PyType_Lookup(type, names().descriptor_get.ptr()) != descriptor_get ||
        _PyType_Lookup(type, names().get.ptr()) != get)
        return false;
    PyObject* own_name = own_item(descriptor, names().name.ptr());
    if (!own_name) return false;
    return nb::handle(own_name).equal(name);
}

}  // namespace

nb::object trait_value(nb::handle obj, nb::handle name, nb::handle default_value) {
    nb::object descriptor = nb::borrow(_PyType_Lookup(Py_TYPE(obj.ptr()), name.ptr()));
    if (descriptor.is_valid() && is_plain_trait(descriptor.ptr(), name)) {
        PyObject* values = own_item(obj.ptr(), names().trait_values.ptr());
        if (values && PyDict_CheckExact(values)) {
            PyObject* value = PyDict_GetItemWithError(values, name.ptr());
            if (value) return nb::borrow(value);
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return default_value.is_valid() ? nb::getattr(obj, name, default_value) : obj.attr(name);
}

}  // namespace trelvo::py

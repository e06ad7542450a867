// An extension module's namespace, holding its module-level imports.
#include "scope.hpp"

#include "checks.hpp"
#include "strings.hpp"

namespace trelvo::py {

Scope::Scope(nb::module_ module)
    : module_(module),
      dict_(nb::borrow<nb::dict>(PyModule_GetDict(module.ptr()))),
      name_(PyModule_GetName(module.ptr())) {}

void Scope::import(const char* module, const char* alias) const {
    nb::module_ imported = nb::module_::import_(module);
    if (alias) {
        set(alias, imported);
        return;
    }
    std::string top(module);
    top = top.substr(0, top.find('.'));
    set(top.c_str(), nb::module_::import_(top.c_str()));
}

void Scope::import_from(const char* module, std::initializer_list<const char*> names) const {
    nb::module_ imported = nb::module_::import_(module);
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
        if (!value) {
            // As Python's from-import does: the name may be a submodule not imported yet.
            PyErr_Clear();
            std::string submodule = std::string(module) + "." + name;
            value = PyImport_ImportModule(submodule.c_str());
            if (!value) {
                PyErr_Clear();
                raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            }
        }
        set(name, nb::steal(value));
    }
}

void Scope::import_from_either(const char* module, const char* fallback,
                               std::initializer_list<const char*> names) const {
    try {
        import_from(module, names);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        import_from(fallback, names);
    }
}

void Scope::set(const char* name, nb::handle value) const {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

nb::object Scope::get(const char* name) const {
    nb::object& key = keys_[name];
    if (!key.is_valid()) key = intern(name);
    return get(key);
}

}  // namespace trelvo::py

namespace trelvo::py {

nb::object Scope::get(nb::handle name) const {
    PyObject* value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    return nb::borrow(value);
}

}  // namespace trelvo::py

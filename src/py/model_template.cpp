#include "model_template.hpp"

#include "calls.hpp"
#include "strings.hpp"

#include <algorithm>
#include <stdexcept>

#include <structmember.h>

namespace trelvo::py {

namespace {

const nb::str& dict_name() {
    static auto* name = new nb::str(intern("__dict__"));
    return *name;
}

// Mutable model state (the set of fields given, private values, a default list) is the
// instance's own.
nb::object own_copy(nb::handle value) {
    PyObject* copy = nullptr;
    if (PyAnySet_CheckExact(value.ptr())) {
        copy = PySet_New(value.ptr());
    } else if (PyDict_CheckExact(value.ptr())) {
        copy = PyDict_Copy(value.ptr());
    } else if (PyList_CheckExact(value.ptr())) {
        copy = PyList_GetSlice(value.ptr(), 0, PY_SSIZE_T_MAX);
    } else {
        return nb::borrow(value);
    }
    if (!copy) throw nb::python_error();
    return nb::steal(copy);
}

// The names of the slots the model's classes declare, besides __dict__ and __weakref__.
std::vector<nb::object> slot_names(nb::handle model) {
    std::vector<nb::object> names;
    for (nb::handle base : nb::borrow<nb::tuple>(model.attr("__mro__"))) {
        PyObject* slots = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(base.ptr())->tp_dict,
                                               "__slots__");
        if (!slots) continue;
        nb::object declared = PyUnicode_Check(slots) ? nb::object(nb::make_tuple(nb::handle(slots)))
                                                     : nb::borrow(slots);
        for (nb::handle name : declared) {
            std::string_view text = nb::borrow<nb::str>(name).c_str();
            if (text != "__dict__" && text != "__weakref__") names.push_back(nb::borrow(name));
        }
    }
    return names;
}

nb::object generic_get(nb::handle target, nb::handle name) {
    PyObject* value = PyObject_GenericGetAttr(target.ptr(), name.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

void generic_set(nb::handle target, nb::handle name, nb::handle value) {
    // object.__setattr__: a model's own __setattr__ would validate the assignment.
    if (PyObject_GenericSetAttr(target.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// The offset of a writable object slot the type declares under name, or -1: a new instance's
// slot is then filled in place, as its member descriptor would fill it.
Py_ssize_t object_slot_offset(nb::handle type, nb::handle name) {
    PyObject* descriptor = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), name.ptr());
    if (!descriptor || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return -1;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
    bool object = member->type == T_OBJECT_EX || member->type == T_OBJECT;
    return object && !(member->flags & READONLY) ? member->offset : -1;
}

// Fills a slot of a new instance (empty until now) with a new reference.
void fill(nb::handle instance, Py_ssize_t offset, nb::object value) {
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance.ptr()) + offset);
    Py_XSETREF(*slot, value.release().ptr());
}

}  // namespace

ModelTemplate::ModelTemplate(const Scope& scope, const char* model,
                             std::initializer_list<nb::handle> example_values,
                             std::initializer_list<const char*> fields)
    : scope_(scope), model_name_(model), keywords_(keyword_names(fields)) {
    nb::object example = call_with_keywords(scope.get(model), example_values, keywords_);
    try {
        field_values_ = generic_get(example, dict_name());
        if (!PyDict_CheckExact(field_values_.ptr())) return;  // not a state this copy knows
        model_ = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(example.ptr())));
        for (nb::object& name : slot_names(model_))
            slots_.push_back({name, generic_get(example, name), object_slot_offset(model_, name)});
        dict_offset_ = std::max<Py_ssize_t>(Py_TYPE(example.ptr())->tp_dictoffset, 0);
        for (auto [name, value] : nb::borrow<nb::dict>(field_values_))
            if (!contains(keywords_, name) && !own_copy(value).is(value))
                own_defaults_.emplace_back(nb::borrow(name), nb::borrow(value));
    } catch (nb::python_error& error) {
        // A model state this copy cannot read (an unset slot, no __dict__): the model validates.
        if (!error.matches(PyExc_Exception)) throw;
        model_ = nb::object();
        return;
    }
    if (!reproduces(example)) model_ = nb::object();
}

nb::object ModelTemplate::make(std::initializer_list<nb::handle> values) const {
    if (values.size() != static_cast<std::size_t>(PyTuple_GET_SIZE(keywords_.ptr())))
        throw std::invalid_argument("ModelTemplate::make takes one value per field");
    nb::object model = scope_.get(model_name_);
    if (model_.is_valid() && model.is(model_)) return copy_of_example(values);
    return call_with_keywords(model, values, keywords_);
}

nb::object ModelTemplate::copy_of_example(std::initializer_list<nb::handle> values) const {
    auto* type = reinterpret_cast<PyTypeObject*>(model_.ptr());
    nb::object instance = nb::steal(type->tp_new(type, nb::tuple().ptr(), nullptr));
    if (!instance.is_valid()) throw nb::python_error();
    nb::object field_values = own_copy(field_values_);
    Py_ssize_t field = 0;
    for (nb::handle value : values) {
        PyObject* name = PyTuple_GET_ITEM(keywords_.ptr(), field++);
        if (PyDict_SetItem(field_values.ptr(), name, value.ptr()) < 0) throw nb::python_error();
    }
    for (const auto& [name, value] : own_defaults_)
        if (PyDict_SetItem(field_values.ptr(), name.ptr(), own_copy(value).ptr()) < 0)
            throw nb::python_error();
    if (dict_offset_ > 0) {
        fill(instance, dict_offset_, std::move(field_values));
    } else {
        generic_set(instance, dict_name(), field_values);
    }
    for (const Slot& slot : slots_) {
        if (slot.offset >= 0) {
            fill(instance, slot.offset, own_copy(slot.value));
        } else {
            generic_set(instance, slot.name, own_copy(slot.value));
        }
    }
    return instance;
}

// Whether a copy of the example equals it in every part of its state.
bool ModelTemplate::reproduces(nb::handle example) const {
    try {
        nb::object copy = copy_of_example({});
        if (!generic_get(copy, dict_name()).equal(field_values_)) return false;
        for (const Slot& slot : slots_) {
            if (!generic_get(copy, slot.name).equal(slot.value)) return false;
        }
        return copy.equal(example);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace trelvo::py

// Argument and result checks shared by every module, with the package's fixed messages.
#include "checks.hpp"

#include <cstdarg>

namespace trelvo::py {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

void check_arg(nb::handle value, const char* name, PyTypeObject* type, bool optional) {
    if (Py_TYPE(value.ptr()) == type || (optional && value.is_none())) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

nb::str arg_str(nb::handle value, const char* name) {
    check_arg(value, name, &PyUnicode_Type);
    return nb::borrow<nb::str>(value);
}

nb::bytes arg_bytes(nb::handle value, const char* name) {
    check_arg(value, name, &PyBytes_Type);
    return nb::borrow<nb::bytes>(value);
}

nb::list arg_list(nb::handle value, const char* name) {
    check_arg(value, name, &PyList_Type);
    return nb::borrow<nb::list>(value);
}

nb::dict arg_dict(nb::handle value, const char* name) {
    check_arg(value, name, &PyDict_Type);
    return nb::borrow<nb::dict>(value);
}

nb::int_ arg_int(nb::handle value, const char* name) {
    if (PyLong_CheckExact(value.ptr())) return nb::borrow<nb::int_>(value);
    if (!PyNumber_Check(value.ptr()))
        raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              name, PyLong_Type.tp_name, Py_TYPE(value.ptr())->tp_name);
    PyObject* converted = PyNumber_Long(value.ptr());
    if (!converted) throw nb::python_error();
    return nb::steal<nb::int_>(converted);
}

bool arg_bool(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

void check_result(nb::handle value, PyTypeObject* type, bool optional) {
    if (Py_TYPE(value.ptr()) == type || (optional && value.is_none())) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

nb::dict dict_state(nb::handle value) {
    if (!PyDict_Check(value.ptr()))
        raise(PyExc_TypeError, "Expected dict, got %.200s", Py_TYPE(value.ptr())->tp_name);
    return nb::borrow<nb::dict>(value);
}

nb::list list_state(nb::handle value) {
    if (!PyList_Check(value.ptr()))
        raise(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(value.ptr())->tp_name);
    return nb::borrow<nb::list>(value);
}

}  // namespace trelvo::py

// IPython's record of what cells printed and displayed, marked and restored around a run.
#include "output_history.hpp"

#include "strings.hpp"
#include "traits.hpp"

namespace trelvo::py {

namespace {

struct Names {
    nb::str history_manager = intern("history_manager"), outputs = intern("outputs"),
            execution_count = intern("execution_count");
};

const Names& names() {
    static const Names* names = new Names();
    return *names;
}

}  // namespace

OutputHistoryMark::OutputHistoryMark(nb::handle shell) : outputs_(nb::none()) {
    nb::object manager = trait_value(shell, names().history_manager, nb::none());
    nb::object outputs =
        manager.is_none() ? nb::none() : nb::getattr(manager, names().outputs, nb::none());
    nb::object count = trait_value(shell, names().execution_count, nb::none());
    if (!PyDict_Check(outputs.ptr()) || !PyLong_Check(count.ptr())) return;
    outputs_ = outputs;
    PyObject* previous = PyNumber_Subtract(count.ptr(), nb::int_(1).ptr());
    if (!previous) throw nb::python_error();
    for (nb::object key : {count, nb::steal(previous)}) {
        PyObject* records = PyDict_GetItemWithError(outputs.ptr(), key.ptr());
        if (!records && PyErr_Occurred()) throw nb::python_error();
        lengths_.emplace_back(key, records ? PyObject_Length(records) : -1);
    }
}

void OutputHistoryMark::restore() const {
    for (const auto& [key, length] : lengths_) {
        PyObject* records = PyDict_GetItemWithError(outputs_.ptr(), key.ptr());
        if (!records) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        if (length < 0) {
            if (PyDict_DelItem(outputs_.ptr(), key.ptr()) < 0) throw nb::python_error();
        } else if (PyList_Check(records) &&
                   PyList_SetSlice(records, length, PY_SSIZE_T_MAX, nullptr) < 0) {
            throw nb::python_error();
        }
    }
}

}  // namespace trelvo::py

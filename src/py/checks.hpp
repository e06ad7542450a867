// Argument and result checks shared by every module, with the package's fixed messages.
#pragma once

#include <nanobind/nanobind.h>

namespace trelvo::py {

namespace nb = nanobind;

// Raises the given Python exception with a printf-style message.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// An argument annotated str, bytes, list, dict, tuple: exactly that type (None only when
// optional), else TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void check_arg(nb::handle value, const char* name, PyTypeObject* type, bool optional = false);

nb::str arg_str(nb::handle value, const char* name);
nb::bytes arg_bytes(nb::handle value, const char* name);
nb::list arg_list(nb::handle value, const char* name);
nb::dict arg_dict(nb::handle value, const char* name);

// An argument annotated int: any number, converted with int().
nb::int_ arg_int(nb::handle value, const char* name);

// An argument annotated bool: its truth value.
bool arg_bool(nb::handle value);

// A result or local annotated str, list, dict, ...: exactly that type or None, else TypeError
// "Expected <type>, got <type>".
void check_result(nb::handle value, PyTypeObject* type, bool optional = true);

// Private state read back from an instance (or a result held on it): a dict or list, of any
// subclass, else TypeError "Expected dict, got <type>". Code that goes on with the value's C
// API must never trust its type: a wrong one would crash the interpreter.
nb::dict dict_state(nb::handle value);
nb::list list_state(nb::handle value);

}  // namespace trelvo::py

// Moving text between Python str and the core's UTF-8 strings.
#include "strings.hpp"

namespace trelvo::py {

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(data, static_cast<std::size_t>(size));
    // Text read with surrogateescape holds lone surrogates: carry them through unchanged.
    PyErr_Clear();
    nb::object encoded = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!encoded.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

nb::str from_utf8(std::string_view text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "surrogatepass");
    if (!decoded) throw nb::python_error();
    return nb::steal<nb::str>(decoded);
}

nb::str intern(const char* text) {
    PyObject* interned = PyUnicode_InternFromString(text);
    if (!interned) throw nb::python_error();
    return nb::steal<nb::str>(interned);
}

}  // namespace trelvo::py

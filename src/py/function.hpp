// Python-level functions whose bodies are C++: they bind like Python functions, carry a real
// signature, docstring and annotations, and pickle by qualified name.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <vector>

namespace trelvo::py {

namespace nb = nanobind;

enum class ParamKind { positional_or_keyword, var_positional, keyword_only, var_keyword };

struct Param {
    std::string name;
    std::string annotation;      // empty: not annotated
    nb::object default_value;    // invalid handle: required
    ParamKind kind = ParamKind::positional_or_keyword;
};

// Parameter declarations, read like a Python signature.
Param arg(std::string name, std::string annotation = "");
Param opt(std::string name, nb::object default_value, std::string annotation = "");
Param kwonly(std::string name, nb::object default_value, std::string annotation = "");
Param star_args(std::string name, std::string annotation = "");
Param star_kwargs(std::string name, std::string annotation = "");

// The bound arguments of one call, one per parameter in declaration order. A *args parameter
// holds a tuple and a **kwargs parameter a dict. closure() is the value a closure was made over.
class Args {
public:
    Args(PyObject* const* values, std::size_t size, PyObject* closure)
        : values_(values), size_(size), closure_(closure) {}
    nb::handle operator[](std::size_t index) const { return values_[index]; }
    std::size_t size() const { return size_; }
    nb::handle closure() const { return closure_; }

private:
    PyObject* const* values_;
    std::size_t size_;
    PyObject* closure_;
};

using Body = std::function<nb::object(const Args&)>;

struct FunctionDecl {
    std::string name;
    std::string qualname;
    std::string module;
    std::string doc;               // empty: no docstring
    std::vector<Param> params;
    std::string return_annotation; // empty: not annotated
    Body body;
};

// Creates the function object. C++ exceptions raised by the body become Python exceptions.
nb::object make_function(FunctionDecl decl);

// A closure: a new function sharing function's signature and body, called with
// Args::closure() set to value. Cheap enough to make on every call of a method.
nb::object make_closure(nb::handle function, nb::handle value);

// Runs fn, turning any C++ exception into the pending Python error; returns false on error.
bool translate_exceptions(const std::function<void()>& fn) noexcept;

}  // namespace trelvo::py

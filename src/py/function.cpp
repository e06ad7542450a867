// The C++-bodied function type: argument binding with Python's own messages, method binding,
// introspection (signature, annotations, docstring) and pickling by qualified name.
#include "function.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <structmember.h>

namespace trelvo::py {
namespace {

struct Compiled {
    FunctionDecl decl;
    std::vector<nb::object> names;  // interned parameter names
    std::size_t positional = 0;     // parameters that take positional arguments
    long var_positional = -1;
    long var_keyword = -1;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* closure;  // None for plain functions
    std::shared_ptr<const Compiled>* compiled;
};

const Compiled& compiled_of(PyObject* self) {
    return **reinterpret_cast<FunctionObject*>(self)->compiled;
}

constexpr std::size_t kStackParams = 16;

// Messages follow the compiled-extension conventions the package has always used, e.g.
// "f() takes exactly 2 positional arguments (3 given)".
std::string display_name(const Compiled& c) { return c.decl.name; }

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

std::size_t required_positional(const Compiled& c) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < c.positional; ++i)
        if (!c.decl.params[i].default_value.is_valid()) ++required;
    return required;
}

[[noreturn]] void raise_arg_count(const Compiled& c, Py_ssize_t given) {
    std::size_t minimum = required_positional(c);
    bool unbounded = c.var_positional >= 0;
    bool exact = minimum == c.positional && !unbounded;
    bool too_few = static_cast<std::size_t>(given) < minimum;
    std::size_t expected = too_few ? minimum : c.positional;
    const char* how = exact ? "exactly" : (too_few ? "at least" : "at most");
    raise_type_error(display_name(c) + "() takes " + how + " " + std::to_string(expected) +
                     " positional argument" + (expected == 1 ? "" : "s") + " (" +
                     std::to_string(given) + " given)");
}

[[noreturn]] void raise_keyword_required(const Compiled& c, const std::string& name) {
    raise_type_error(display_name(c) + "() needs keyword-only argument " + name);
}

long find_keyword(const Compiled& c, PyObject* key) {
    for (std::size_t i = 0; i < c.names.size(); ++i) {
        ParamKind kind = c.decl.params[i].kind;
        if (kind != ParamKind::positional_or_keyword && kind != ParamKind::keyword_only) continue;
        PyObject* name = c.names[i].ptr();
        if (name == key) return static_cast<long>(i);
    }
    for (std::size_t i = 0; i < c.names.size(); ++i) {
        ParamKind kind = c.decl.params[i].kind;
        if (kind != ParamKind::positional_or_keyword && kind != ParamKind::keyword_only) continue;
        int equal = PyObject_RichCompareBool(c.names[i].ptr(), key, Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal) return static_cast<long>(i);
    }
    return -1;
}

nb::object call_bound(const Compiled& c, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject* closure) {
    const std::size_t count = c.decl.params.size();
    PyObject* stack_values[kStackParams];
    std::vector<PyObject*> heap_values;
    PyObject** values = stack_values;
    if (count > kStackParams) {
        heap_values.resize(count);
        values = heap_values.data();
    }
    std::fill(values, values + count, nullptr);

    nb::object extra_args, extra_kwargs;
    auto positional = static_cast<Py_ssize_t>(c.positional);
    if (nargs > positional && c.var_positional < 0) raise_arg_count(c, nargs);
    for (Py_ssize_t i = 0; i < nargs && i < positional; ++i) values[i] = args[i];
    if (c.var_positional >= 0) {
        Py_ssize_t extra = nargs > positional ? nargs - positional : 0;
        extra_args = nb::steal(PyTuple_New(extra));
        if (!extra_args.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(extra_args.ptr(), i, Py_NewRef(args[positional + i]));
        values[c.var_positional] = extra_args.ptr();
    }
    if (c.var_keyword >= 0) {
        extra_kwargs = nb::dict();
        values[c.var_keyword] = extra_kwargs.ptr();
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        long index = find_keyword(c, key);
        if (index < 0) {
            if (c.var_keyword < 0)
                raise_type_error(display_name(c) + "() got an unexpected keyword argument '" +
                                 nb::borrow<nb::str>(key).c_str() + "'");
            if (PyDict_SetItem(extra_kwargs.ptr(), key, value) < 0) throw nb::python_error();
            continue;
        }
        if (values[index])
            raise_type_error(display_name(c) + "() got multiple values for keyword argument '" +
                             c.decl.params[index].name + "'");
        values[index] = value;
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (values[i]) continue;
        const Param& p = c.decl.params[i];
        if (p.default_value.is_valid()) {
            values[i] = p.default_value.ptr();
        } else if (p.kind == ParamKind::keyword_only) {
            raise_keyword_required(c, p.name);
        } else {
            raise_arg_count(c, nargs);
        }
    }

    return c.decl.body(Args(values, count, closure));
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* result = nullptr;
    bool ok = translate_exceptions([&] {
        nb::object value = call_bound(**f->compiled, args, PyVectorcall_NARGS(nargsf), kwnames,
                                      f->closure);
        result = value.is_valid() ? value.release().ptr() : Py_NewRef(Py_None);
    });
    if (!ok) {
        // The function shows in the traceback, as a compiled Python function would.
        const FunctionDecl& decl = (*f->compiled)->decl;
        _PyTraceback_Add(decl.qualname.c_str(), decl.module.c_str(), 0);
    }
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", compiled_of(self).decl.qualname.c_str(),
                                self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->closure);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
    Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->compiled;
    type->tp_free(self);
    Py_DECREF(type);
}

// Pickled by reference: a class method as the function behind its owner's bound method,
// everything else by its qualified name.
nb::object reduce_by_reference(const FunctionDecl& decl) {
    nb::str qualname(decl.qualname.c_str());
    std::size_t dot = decl.qualname.rfind('.');
    if (dot == std::string::npos) return qualname;
    nb::object owner = nb::module_::import_(decl.module.c_str());
    std::string path = decl.qualname.substr(0, dot);
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find('.', start), path.size());
        owner = owner.attr(path.substr(start, end - start).c_str());
        start = end + 1;
    }
    nb::object entry = owner.attr("__dict__").attr("get")(decl.name.c_str());
    if (!nb::isinstance(entry, nb::handle(reinterpret_cast<PyObject*>(&PyClassMethod_Type))))
        return qualname;
    nb::object getter = nb::module_::import_("operator").attr("attrgetter")(
        nb::str((decl.name + ".__func__").c_str()));
    return nb::make_tuple(getter, nb::make_tuple(owner));
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* result = nullptr;
    translate_exceptions([&] {
        result = reduce_by_reference(compiled_of(self).decl)
                     .release()
                     .ptr();
    });
    return result;
}

PyObject* function_signature(PyObject* self, void*) {
    const Compiled& compiled = compiled_of(self);
    PyObject* result = nullptr;
    translate_exceptions([&] {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        static const char* const kinds[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                            "KEYWORD_ONLY", "VAR_KEYWORD"};
        nb::list params;
        for (const Param& p : compiled.decl.params) {
            nb::dict kwargs;
            if (!p.annotation.empty()) kwargs["annotation"] = nb::str(p.annotation.c_str());
            if (p.default_value.is_valid()) kwargs["default"] = p.default_value;
            params.append(parameter(nb::str(p.name.c_str()),
                                    parameter.attr(kinds[static_cast<int>(p.kind)]), **kwargs));
        }
        nb::dict kwargs;
        const std::string& returns = compiled.decl.return_annotation;
        if (!returns.empty()) kwargs["return_annotation"] = nb::str(returns.c_str());
        result = inspect.attr("Signature")(params, **kwargs).release().ptr();
    });
    return result;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "trelvo_core.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Created once per extension module and kept for the life of the process.
PyTypeObject* function_type() {
    static PyTypeObject* type = [] {
        PyObject* created = PyType_FromSpec(&function_type_spec);
        if (!created) throw nb::python_error();
        return reinterpret_cast<PyTypeObject*>(created);
    }();
    return type;
}

nb::object new_function(std::shared_ptr<const Compiled> compiled, nb::handle dict,
                        PyObject* closure) {
    auto* f = PyObject_GC_New(FunctionObject, function_type());
    if (!f) throw nb::python_error();
    f->vectorcall = function_vectorcall;
    f->dict = Py_NewRef(dict.ptr());
    f->weakrefs = nullptr;
    f->closure = Py_NewRef(closure);
    f->compiled = new std::shared_ptr<const Compiled>(std::move(compiled));
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject*>(f));
}

nb::dict introspection_dict(const FunctionDecl& decl) {
    nb::dict dict;
    dict["__name__"] = nb::str(decl.name.c_str());
    dict["__qualname__"] = nb::str(decl.qualname.c_str());
    dict["__module__"] = nb::str(decl.module.c_str());
    dict["__doc__"] = decl.doc.empty() ? nb::none() : nb::object(nb::str(decl.doc.c_str()));
    nb::dict annotations;
    for (const Param& p : decl.params)
        if (!p.annotation.empty()) annotations[p.name.c_str()] = nb::str(p.annotation.c_str());
    if (!decl.return_annotation.empty())
        annotations["return"] = nb::str(decl.return_annotation.c_str());
    dict["__annotations__"] = annotations;
    return dict;
}

}  // namespace

Param arg(std::string name, std::string annotation) {
    return {std::move(name), std::move(annotation), nb::object(), ParamKind::positional_or_keyword};
}
Param opt(std::string name, nb::object default_value, std::string annotation) {
    return {std::move(name), std::move(annotation), std::move(default_value),
            ParamKind::positional_or_keyword};
}
Param kwonly(std::string name, nb::object default_value, std::string annotation) {
    return {std::move(name), std::move(annotation), std::move(default_value),
            ParamKind::keyword_only};
}
Param star_args(std::string name, std::string annotation) {
    return {std::move(name), std::move(annotation), nb::object(), ParamKind::var_positional};
}
Param star_kwargs(std::string name, std::string annotation) {
    return {std::move(name), std::move(annotation), nb::object(), ParamKind::var_keyword};
}

nb::object make_function(FunctionDecl decl) {
    auto compiled = std::make_unique<Compiled>();
    for (std::size_t i = 0; i < decl.params.size(); ++i) {
        const Param& p = decl.params[i];
        PyObject* name = PyUnicode_InternFromString(p.name.c_str());
        if (!name) throw nb::python_error();
        compiled->names.push_back(nb::steal(name));
        if (p.kind == ParamKind::positional_or_keyword) {
            if (compiled->var_positional >= 0 || i != compiled->positional)
                throw std::invalid_argument("positional parameter after *args: " + p.name);
            ++compiled->positional;
        } else if (p.kind == ParamKind::var_positional) {
            compiled->var_positional = static_cast<long>(i);
        } else if (p.kind == ParamKind::var_keyword) {
            compiled->var_keyword = static_cast<long>(i);
        }
    }
    nb::dict dict = introspection_dict(decl);
    compiled->decl = std::move(decl);
    return new_function(std::make_shared<const Compiled>(std::move(*compiled)), dict, Py_None);
}

nb::object make_closure(nb::handle function, nb::handle value) {
    if (Py_TYPE(function.ptr()) != function_type())
        throw std::invalid_argument("make_closure needs a C++-bodied function");
    auto* f = reinterpret_cast<FunctionObject*>(function.ptr());
    nb::object dict = nb::steal(PyDict_Copy(f->dict));
    if (!dict.is_valid()) throw nb::python_error();
    return new_function(*f->compiled, dict, value.ptr());
}

bool translate_exceptions(const std::function<void()>& fn) noexcept {
    try {
        fn();
        return true;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return false;
}

}  // namespace trelvo::py

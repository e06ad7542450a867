// Calling Python objects from C++ without building argument tuples and dicts.
#include "calls.hpp"

#include "function.hpp"
#include "strings.hpp"

#include <vector>

namespace trelvo::py {

nb::object call_with_keywords(nb::handle callable, std::initializer_list<nb::handle> values,
                              nb::handle keyword_names) {
    std::size_t keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(keyword_names.ptr()));
    constexpr std::size_t kStack = 12;
    PyObject* stack[kStack];
    std::vector<PyObject*> heap;
    PyObject** args = stack;
    if (values.size() > kStack) {
        heap.resize(values.size());
        args = heap.data();
    }
    std::size_t i = 0;
    for (nb::handle value : values) args[i++] = value.ptr();
    PyObject* result = PyObject_Vectorcall(callable.ptr(), args, values.size() - keywords,
                                           keyword_names.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

void with_context(nb::handle manager, const std::function<void(nb::handle)>& body) {
    nb::object type = nb::borrow(manager.type());
    nb::object exit = type.attr("__exit__");
    nb::object value = type.attr("__enter__")(manager);
    // Any C++ exception of the body becomes the Python error __exit__ is told of.
    if (translate_exceptions([&] { body(value); })) {
        exit(manager, nb::none(), nb::none(), nb::none());
        return;
    }
    nb::python_error error;
    nb::object traceback = error.traceback();
    nb::object suppress = exit(manager, error.type(), error.value(),
                               traceback.is_valid() ? traceback : nb::none());
    int truth = PyObject_IsTrue(suppress.ptr());
    if (truth < 0) throw nb::python_error();
    if (!truth) throw error;
}

nb::list snapshot(nb::handle iterable) {
    PyObject* copy = PySequence_List(iterable.ptr());
    if (!copy) throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

nb::tuple keyword_names(std::initializer_list<const char*> names) {
    nb::list list;
    for (const char* name : names) list.append(intern(name));
    return nb::tuple(list);
}

}  // namespace trelvo::py

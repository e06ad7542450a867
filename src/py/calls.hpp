// Calling Python objects from C++ without building argument tuples and dicts.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>

namespace trelvo::py {

namespace nb = nanobind;

// callable(*positional, **dict(zip(keyword_names, keyword_values))) through vectorcall: the
// values are the positional ones followed by one per name of the keyword_names tuple.
nb::object call_with_keywords(nb::handle callable, std::initializer_list<nb::handle> values,
                              nb::handle keyword_names);

// with manager as value: body(value), with the manager's __exit__ told of an exception, which it
// may suppress.
void with_context(nb::handle manager, const std::function<void(nb::handle)>& body);

// list(iterable): a new list, for walking what the walk itself changes. (nb::list(x) of an
// attribute accessor borrows the live list instead.)
nb::list snapshot(nb::handle iterable);

// item in container, as Python's `in` tests it.
bool contains(nb::handle container, nb::handle item);

// A tuple of interned names, for call_with_keywords.
nb::tuple keyword_names(std::initializer_list<const char*> names);

}  // namespace trelvo::py

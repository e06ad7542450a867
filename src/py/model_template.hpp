// A pydantic model of a module's scope, made on hot paths from a template: a validated example's
// field values and model state, the given fields replaced (and a copy of each default list, dict
// or set, as a default factory would give). For values that need no validation
// (the caller's own, of the declared types), where validation costs microseconds a model and
// copies every dict and list again. The model itself makes (validates) the instance when the
// scope's model is no longer the one the example came from, or when a copy of the example would
// not equal it (a pydantic whose model state the copy does not reproduce).
#pragma once

#include "scope.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace trelvo::py {

namespace nb = nanobind;

class ModelTemplate {
public:
    // The example is model(**dict(zip(fields, example_values))); make() takes one value per field.
    ModelTemplate(const Scope& scope, const char* model,
                  std::initializer_list<nb::handle> example_values,
                  std::initializer_list<const char*> fields);

    nb::object make(std::initializer_list<nb::handle> values) const;

private:
    nb::object copy_of_example(std::initializer_list<nb::handle> values) const;
    bool reproduces(nb::handle example) const;

    const Scope& scope_;
    const char* model_name_;
    nb::tuple keywords_;
    nb::object model_;  // the example's class; unset when the copy does not reproduce it
    nb::object field_values_;
    struct Slot {
        nb::object name, value;  // the example's value
        Py_ssize_t offset;       // where an object slot lives in the instance, or -1
    };
    std::vector<Slot> slots_;
    Py_ssize_t dict_offset_ = 0;  // where the instance's __dict__ lives, when at a fixed place
    // Fields not given whose default is a list, dict or set: each instance gets a copy.
    std::vector<std::pair<nb::object, nb::object>> own_defaults_;
};

}  // namespace trelvo::py

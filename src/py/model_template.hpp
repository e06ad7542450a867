// New instances of a pydantic model shaped like one validated example: the example's field values
// and model state, some fields replaced. For records built on hot paths from values that need no
// validation (exact str, bool, None), where the model's validation costs microseconds each.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <optional>
#include <vector>

namespace trelvo::py {

namespace nb = nanobind;

class ModelTemplate {
public:
    // Built from example, a validated instance, replacing `fields` (in the order make() takes
    // their values). Empty when an instance so built would differ from the example (a pydantic
    // whose model state the copy does not reproduce): callers validate then.
    static std::optional<ModelTemplate> from_example(nb::handle example,
                                                     std::initializer_list<const char*> fields);

    nb::handle model() const { return model_; }
    nb::object make(std::initializer_list<nb::handle> values) const;

private:
    ModelTemplate(nb::handle example, std::initializer_list<const char*> fields);
    bool reproduces(nb::handle example) const;

    nb::object model_, field_values_;
    std::vector<nb::object> fields_;
    std::vector<std::pair<nb::object, nb::object>> slots_;  // (name, the example's value)
};

}  // namespace trelvo::py

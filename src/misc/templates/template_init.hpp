// The constructor that the template classes share: the base's, then the pipeline description
// for the templates to call, then the class's own template.
#pragma once

#include "class_builder.hpp"

namespace trelvo::misc::templates {

namespace nb = nanobind;

inline void init_template(const py::Scope& scope, nb::handle cls, nb::handle self,
                          const char* template_name) {
    py::super_of(cls, self).attr("__init__")();
    nb::object environment = self.attr("_template_env");
    environment.attr("globals")["describe_pipeline"] = scope.get("describe_pipeline");
    nb::setattr(self, "_template", environment.attr("get_template")(template_name));
}

}  // namespace trelvo::misc::templates

// Reading traitlets traits (IPython's shell, display hook and history manager are configurable
// objects) without the Python-level descriptor call, on paths taken by every run.
#pragma once

#include <nanobind/nanobind.h>

namespace trelvo::py {

namespace nb = nanobind;

// obj.<name>: for a plain trait (its class keeps TraitType's own __get__ and get) the value it
// holds, read from the object's trait values as TraitType.get reads it; otherwise, or while the
// trait has no value yet, by getattr (with the default, when one is given, for a missing
// attribute).
nb::object trait_value(nb::handle obj, nb::handle name, nb::handle default_value = nb::handle());

}  // namespace trelvo::py

// Process state that cells read and change without names: random generators, display and print
// options, matplotlib's settings, warning filters, sys.path, the environment and the working
// directory. Each kind has a name that no Python name can be ("<numpy.random>"), a snapshot that
// pickles, and a way to put a snapshot back.
#pragma once

#include "scope.hpp"

#include <string>
#include <vector>

namespace trelvo::cli::engine {

namespace nb = nanobind;

// kind -> snapshot, for the kinds whose module is loaded.
nb::dict state_snapshot(const trelvo::py::Scope& scope);

// The kinds whose snapshot differs between before and after (one that appeared counts).
std::vector<std::string> changed_states(nb::dict before, nb::dict after);

// Puts a snapshot of a kind back into the process.
void restore_state(const trelvo::py::Scope& scope, const std::string& kind, nb::handle snapshot);

}  // namespace trelvo::cli::engine

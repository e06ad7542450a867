// Text and graph work of pipeline export: dependency order, generated names, cell code that a
// plain Python file can hold.
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trelvo::core {

// A dependency cycle; node is the index of a node on it.
struct CycleError : std::runtime_error {
    explicit CycleError(std::size_t node) : std::runtime_error("cycle"), node(node) {}
    std::size_t node;
};

// Node indices ordered so that every node follows its parents; among nodes that are ready at
// the same time the earlier one in the input goes first, so an ordered input stays as it is.
std::vector<std::size_t> dependency_order(const std::vector<std::vector<std::size_t>>& parents);

// Python identifiers made from names: lower-case ASCII letters and digits, every other run of
// characters one "_" (none at the ends), "step" for what is left empty, a leading digit prefixed
// with "step_"; names in reserved or already made get "_2", "_3", ...
std::vector<std::string> python_names(const std::vector<std::string>& names,
                                      std::set<std::string> reserved);

// A Kubeflow Pipelines name: lower case, every run of characters outside [-0-9a-z] one "-", no
// dash at either end, at most 128 characters; "pipeline" when nothing is left.
std::string kfp_name(std::string_view name);

// Whether code holds name as a whole identifier (a cheap over-approximation of "reads it").
bool mentions_name(std::string_view code, std::string_view name);

// The cell's code with IPython syntax left out: line magics, shell escapes ("!cmd",
// "x = !cmd"), help queries ("obj?") become `pass` with a comment holding the line; a cell
// magic keeps its body when that body is Python (%%time, %%timeit, %%prun) and is commented
// out whole otherwise.
std::string without_ipython_syntax(std::string_view code);

// "np = __import__('importlib').import_module('numpy')" as "import numpy as np" (and
// "import numpy" when the names agree); any other statement unchanged.
std::string readable_import(std::string_view statement);

}  // namespace trelvo::core

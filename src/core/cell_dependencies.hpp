// Which earlier cell each cell of a notebook depends on, from the names the cells read and bind.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace trelvo::core {

// What one cell's code does with names, in the order the code first reads them.
struct CellNames {
    std::vector<std::string> reads;  // read before the cell binds them itself
    std::set<std::string> binds;     // assigned, imported, defined, loop or with targets
    // Functions and classes the cell defines, with the global names their bodies read: a later
    // cell that calls one needs those names too.
    std::map<std::string, std::vector<std::string>> globals_of;
    std::set<std::string> imports;  // of binds, those whose last binding is an import
};

struct CellDependencies {
    std::map<std::string, std::size_t> inputs;  // name read -> the parent cell that hands it on
    std::vector<std::size_t> parents;           // ascending cell indices
    std::set<std::string> parameters;           // parameters the cell reads itself
};

// For each cell: a name it reads that some earlier cell binds comes from the nearest earlier
// cell that reads or binds it (a cell hands on the names it was given), except a module: every
// cell that reads it holds the same module, so it comes from the cell that imported it. Names no earlier cell
// binds (builtins) make no parent; parameter names never do, they are recorded apart. A name
// that names an earlier cell's function brings the globals that function reads along.
std::vector<CellDependencies> cell_dependencies(const std::vector<CellNames>& cells,
                                                const std::set<std::string>& parameters);

}  // namespace trelvo::core

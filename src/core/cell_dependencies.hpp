// Which earlier cell each cell of a notebook depends on, from the names the cells read and bind,
// followed cell by cell as a run goes: what a cell really bound is known once it has run.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace trelvo::core {

// What one cell's code does with names, in the order the code first reads them.
struct CellNames {
    std::vector<std::string> reads;  // read before the cell surely binds them itself
    std::set<std::string> binds;     // assigned, imported, defined, loop or with targets
    std::set<std::string> maybe_binds;  // of binds, those bound only on some paths (if, for, try)
    std::set<std::string> imports;      // of binds, those whose last binding is an import
    // Functions and classes the cell defines, with the global names their bodies read: a later
    // cell that calls one needs those names too.
    std::map<std::string, std::vector<std::string>> globals_of;
    // Functions that assign globals when called; "*" stands for names they do not spell out.
    std::map<std::string, std::vector<std::string>> sets_of;
    bool binds_unseen = false;  // a star import, exec, a binding magic: names it does not spell out
    bool reads_unseen = false;  // globals(), eval, %who: it may read any name
    std::set<std::string> literals;  // its strings: the paths of files it may read or write
    std::set<std::string> written;   // of literals, those it only writes (np.save(path), open(path, 'w'))
    std::set<std::string> modules;   // the modules it imports ("os.path", "mylib")
    // IPython syntax that binds names or writes files ("%%capture out"): an export leaves it out.
    std::string ipython_effect;
};

// What a cell did when it ran, or what the record of an earlier run says it did.
struct RunFacts {
    std::set<std::string> bound;    // names bound or rebound
    std::set<std::string> deleted;
    std::set<std::string> modules;  // of bound, those that hold a module
};

enum class Outcome { succeeded, failed, skipped };

struct CellNeeds {
    std::map<std::string, std::size_t> inputs;  // name read -> the earlier cell that hands it on
    std::set<std::string> unprovided;           // read, but bound by no earlier cell (builtins)
    std::set<std::string> also_binds;           // globals that the functions it calls assign
    std::vector<std::size_t> parents;           // ascending cell indices
    bool barrier = false;                       // it binds names nobody can see before it runs
    std::map<std::string, std::size_t> tainted;  // name -> failed cell that would have bound it
};

// Names of state that is no Python name (process state, files) start with '<': "<numpy.random>",
// "<file:/data/sales.csv>". Only the cells that change such a state provide it.
inline bool is_state(const std::string& name) { return !name.empty() && name[0] == '<'; }

// Follows a notebook's cells in order. A name a cell reads comes from the nearest earlier cell
// that read or bound it (a cell hands on the names it was given, also when it failed), except a
// module and a state: every cell holding it holds the same module, and reading a state leaves
// it as it was, so they come from the cell that bound them. A function brings the globals its body reads, and the globals it assigns count as possible
// bindings of the cell that calls it. A barrier (a cell that binds names it does not spell out)
// is a parent of every later cell. A name that a failed cell would have bound is tainted until a
// later cell surely binds it; a cell that reads a tainted name is skipped and taints what it
// would have bound in turn.
class DependencyTracker {
public:
    // What the next cell needs, given the cells recorded so far.
    CellNeeds needs(const CellNames& cell) const;
    // The next cell, once it ran, came from a record, or was skipped.
    void record(const CellNames& cell, const CellNeeds& needs, const RunFacts& facts, Outcome outcome);
    std::size_t size() const { return cells_.size(); }
    // Every name some recorded cell provides, with that cell.
    const std::map<std::string, std::size_t>& providers() const { return provider_; }
    bool holds_module(const std::string& name) const { return modules_.count(name) > 0; }

private:
    std::vector<CellNames> cells_;
    std::map<std::string, std::size_t> provider_;  // the cell a name comes from
    std::map<std::string, std::size_t> definer_;   // the cell that last bound it
    std::set<std::string> modules_;
    std::vector<std::size_t> barriers_;
    std::map<std::string, std::size_t> taint_;
};

}  // namespace trelvo::core

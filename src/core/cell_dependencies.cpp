#include "cell_dependencies.hpp"

#include <algorithm>
#include <optional>

namespace trelvo::core {
namespace {

// The nearest cell before `before` whose names satisfy `has`.
template <typename Has>
std::optional<std::size_t> nearest_before(std::size_t before, Has has) {
    for (std::size_t j = before; j-- > 0;)
        if (has(j)) return j;
    return std::nullopt;
}

}  // namespace

std::vector<CellDependencies> cell_dependencies(const std::vector<CellNames>& cells,
                                                const std::set<std::string>& parameters) {
    std::vector<CellDependencies> result(cells.size());
    // Names each cell holds after its run: what it was given and what it bound.
    std::vector<std::set<std::string>> held(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const CellNames& cell = cells[i];
        std::vector<std::string> pending(cell.reads.rbegin(), cell.reads.rend());
        std::set<std::string> seen;
        while (!pending.empty()) {
            std::string name = pending.back();
            pending.pop_back();
            if (!seen.insert(name).second) continue;
            if (parameters.count(name)) {
                result[i].parameters.insert(name);
                continue;
            }
            auto binder = nearest_before(i, [&](std::size_t j) { return cells[j].binds.count(name) > 0; });
            if (!binder) continue;
            auto giver = cells[*binder].imports.count(name)
                             ? binder
                             : nearest_before(i, [&](std::size_t j) { return held[j].count(name) > 0; });
            result[i].inputs[name] = *giver;
            auto function = cells[*binder].globals_of.find(name);
            if (function == cells[*binder].globals_of.end()) continue;
            for (auto it = function->second.rbegin(); it != function->second.rend(); ++it)
                if (!cell.binds.count(*it)) pending.push_back(*it);
        }
        std::set<std::size_t> parents;
        for (const auto& [name, parent] : result[i].inputs) {
            parents.insert(parent);
            held[i].insert(name);
        }
        held[i].insert(cell.binds.begin(), cell.binds.end());
        result[i].parents.assign(parents.begin(), parents.end());
    }
    return result;
}

}  // namespace trelvo::core

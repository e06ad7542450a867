#include "cell_dependencies.hpp"

#include <deque>

namespace trelvo::core {

CellNeeds DependencyTracker::needs(const CellNames& cell) const {
    CellNeeds result;
    result.barrier = cell.binds_unseen;
    std::deque<std::string> pending(cell.reads.begin(), cell.reads.end());
    std::set<std::string> seen;
    while (!pending.empty()) {
        std::string name = pending.front();
        pending.pop_front();
        if (!seen.insert(name).second) continue;
        if (auto taint = taint_.find(name); taint != taint_.end()) result.tainted[name] = taint->second;
        auto provider = provider_.find(name);
        if (provider == provider_.end()) {
            result.unprovided.insert(name);
            continue;
        }
        result.inputs[name] = provider->second;
        auto definer = definer_.find(name);
        if (definer == definer_.end()) continue;
        const CellNames& defining = cells_[definer->second];
        if (auto globals = defining.globals_of.find(name); globals != defining.globals_of.end())
            for (const std::string& global : globals->second)
                if (!cell.binds.count(global)) pending.push_back(global);
        if (auto sets = defining.sets_of.find(name); sets != defining.sets_of.end())
            for (const std::string& global : sets->second) {
                if (global == "*") {
                    result.barrier = true;
                    continue;
                }
                result.also_binds.insert(global);
                pending.push_back(global);  // a possible binding hands on the value it found
            }
    }
    if (cell.reads_unseen)
        for (const auto& [name, provider] : provider_) result.inputs.emplace(name, provider);
    std::set<std::size_t> parents(barriers_.begin(), barriers_.end());
    for (const auto& [name, provider] : result.inputs) parents.insert(provider);
    result.parents.assign(parents.begin(), parents.end());
    return result;
}

void DependencyTracker::record(const CellNames& cell, const CellNeeds& needs, const RunFacts& facts,
                               Outcome outcome) {
    const std::size_t index = cells_.size();
    cells_.push_back(cell);
    for (const auto& [name, provider] : needs.inputs)
        if (!modules_.count(name) && !is_state(name)) provider_[name] = index;
    std::set<std::string> bound = cell.binds;
    bound.insert(needs.also_binds.begin(), needs.also_binds.end());
    bound.insert(facts.bound.begin(), facts.bound.end());
    for (const std::string& name : bound) {
        provider_[name] = index;
        definer_[name] = index;
        if (cell.imports.count(name) || facts.modules.count(name))
            modules_.insert(name);
        else
            modules_.erase(name);
    }
    for (const std::string& name : facts.deleted) {
        provider_[name] = index;
        definer_.erase(name);
        modules_.erase(name);
    }
    if (needs.barrier) barriers_.push_back(index);
    switch (outcome) {
        case Outcome::succeeded:
            for (const std::string& name : cell.binds)
                if (!cell.maybe_binds.count(name)) taint_.erase(name);
            for (const std::string& name : facts.bound) taint_.erase(name);
            break;
        case Outcome::failed:
            for (const std::string& name : bound) taint_[name] = index;
            break;
        case Outcome::skipped: {
            std::size_t origin = needs.tainted.empty() ? index : needs.tainted.begin()->second;
            for (const std::string& name : bound) taint_[name] = origin;
            break;
        }
    }
}

}  // namespace trelvo::core

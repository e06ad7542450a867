// Running the cells in notebook order in the engine, as Jupyter runs them, in one namespace, so a
// cell sees the very objects the cells before it left. The run cache and the dependencies between
// cells decide what runs: a cell whose entry is current comes from the cache, and a cell that reads
// a name a failed cell would have bound is skipped. Before a cell runs, the engine is given what it
// reads and does not hold yet (after cells came from the cache, or after the kernel died): the
// modules of the cells before it, and its inputs, loaded from the value store or made again by
// running the cells that made them.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {
namespace {

Engine& engine_of(Run& run) {
    if (run.engine && !run.engine->alive()) run.engine.reset();  // a fresh one takes over
    if (!run.engine) run.engine = std::make_unique<Engine>(run.options);
    return *run.engine;
}

nb::list names_list(const std::set<std::string>& names) {
    nb::list list;
    for (const std::string& name : names) list.append(from_utf8(name));
    return list;
}

}  // namespace

std::string dumps(nb::handle value) { return text_of(scope->get("json").attr("dumps")(value)); }

// The request of the helper's after_cell: with the cache, the values the cell may have changed
// are stored: those it read and those it bound.
std::string after_request(const Run& run, const Cell& cell) {
    nb::dict request;
    if (!run.store.empty()) {
        std::set<std::string> names(cell.names.binds.begin(), cell.names.binds.end());
        names.insert(cell.needs.also_binds.begin(), cell.needs.also_binds.end());
        for (const auto& [name, provider] : cell.needs.inputs) names.insert(name);
        std::erase_if(names, [](const std::string& name) { return core::is_state(name); });  // stored when changed
        request["store"] = names_list(names);
        request["dir"] = from_utf8(run.store);
    }
    return dumps(request);
}

void take_facts(Run& run, Cell& cell, nb::handle answer) {
    cell.facts = core::RunFacts();
    if (!answer.is_valid() || answer.is_none()) return;
    for (nb::handle name : answer["bound"]) cell.facts.bound.insert(text_of(name));
    for (nb::handle name : answer["deleted"]) cell.facts.deleted.insert(text_of(name));
    cell.modules = nb::borrow<nb::dict>(answer["modules"]);
    for (auto [name, module] : cell.modules) cell.facts.modules.insert(text_of(name));
    if (!nb::borrow<nb::dict>(answer).contains("stored")) return;
    cell.stored = nb::dict();
    cell.grouped = nb::dict();
    cell.value_reads = nb::dict();
    for (auto [name, stored] : nb::borrow<nb::dict>(answer["stored"])) {
        nb::dict entry = nb::borrow<nb::dict>(stored);
        cell.stored[name] = entry["digest"];
        if (entry.contains("members")) cell.grouped[entry["digest"]] = entry["members"];
        if (entry.contains("reads")) cell.value_reads[name] = entry["reads"];
    }
    cell.unstored = nb::borrow<nb::dict>(answer["unstored"]);
    if (run.cache)
        for (auto [name, reason] : cell.unstored)
            progress->warning("a value of " + cell.name + " is not cached: " + text_of(reason));
}

// What an engine holds once `cell` ran in it: the state the cell left of the names it read and bound.
void note_held(const Run& run, Holdings& holds, const Cell& cell) {
    auto hold = [&](const std::string& name) { holds[name] = cell.key; };
    for (const auto& [name, provider] : cell.needs.inputs)  // reading a module or a state leaves it as it was
        if (!run.tracker.holds_module(name) && !core::is_state(name)) hold(name);
    for (const std::string& name : cell.names.binds) hold(name);
    for (const std::string& name : cell.needs.also_binds) hold(name);
    for (const std::string& name : cell.facts.bound) hold(name);
    for (const std::string& name : cell.facts.deleted) holds.erase(name);
}

nb::dict error_output(const std::string& ename, const std::string& evalue) {
    nb::dict e;
    e["output_type"] = "error";
    e["ename"] = from_utf8(ename);
    e["evalue"] = from_utf8(evalue);
    nb::list traceback;
    traceback.append(from_utf8(ename + ": " + evalue));
    e["traceback"] = traceback;
    return e;
}

// The cell's status, events and facts from its run, wherever it ran; a successful run goes to
// the cache.
void conclude(Run& run, Cell& cell, const Execution& result, nb::list events, double duration) {
    cell.duration = duration;
    if (result.outcome == Execution::died || result.outcome == Execution::timed_out)
        events.append(error_output(result.outcome == Execution::died ? "DeadKernelError" : "TimeoutError", result.reason));
    cell.events = events;
    cell.failure = result.outcome == Execution::timed_out ? "TimeoutError: " + result.reason : result.reason;
    cell.timing = result.timing;
    take_facts(run, cell, result.answer);
    note_file_changes(run, cell);
    cell.status = result.outcome == Execution::ok ? CellStatus::ran : CellStatus::failed;
    if (cell.status == CellStatus::ran && run.cache) run.cache->store(run, cell);
}

namespace {

// Runs cell `index` in the main engine. Its outcome and events are the cell's when it counts as
// run now (it had not run, or came from the cache); else they only make the engine's state again.
void execute(Run& run, std::size_t index, bool counts) {
    Cell& cell = run.cells[index];
    Engine& engine = engine_of(run);
    nb::list events;
    if (counts) note_files_before(run, cell);
    auto started = std::chrono::steady_clock::now();
    Execution result = engine.execute(cell.code, cell.count, events, after_request(run, cell));
    if (result.outcome == Execution::error && engine.alive())
        result.answer = engine.call("after_cell", "{}");  // what the failed cell bound before it failed
    if (counts) conclude(run, cell, result, events, seconds_since(started));
    else if (result.outcome == Execution::ok) take_facts(run, cell, result.answer);
    if (result.outcome == Execution::ok || engine.alive()) note_held(run, engine.holds, cell);
}

// The position of the cell with this key; none (-1) for a key of no cell of the run.
long index_of(const Run& run, const std::string& key) {
    for (std::size_t i = 0; i < run.cells.size(); ++i)
        if (run.cells[i].key == key) return static_cast<long>(i);
    return -1;
}

// The modules in the namespace before cell `index`, with the cell that bound each.
std::map<std::string, std::pair<std::size_t, nb::object>> modules_before(const Run& run, std::size_t index) {
    std::map<std::string, std::pair<std::size_t, nb::object>> modules;
    for (std::size_t j = 0; j < index; ++j) {
        const Cell& cell = run.cells[j];
        if (cell.status == CellStatus::skipped || cell.status == CellStatus::pending) continue;
        for (const std::string& name : cell.facts.bound) modules.erase(name);
        for (const std::string& name : cell.facts.deleted) modules.erase(name);
        for (auto [name, module] : cell.modules) modules[text_of(name)] = {j, nb::borrow(module)};
    }
    return modules;
}

}  // namespace

// Adds to `steps` what gives an engine holding `holds` the state cell `index` reads: the modules of
// the cells before it, and each name it reads as the cell providing it left it, loaded from the
// value store or, where the store has none, made again by running that cell (after what it reads
// in turn). Runs come first, in notebook order, and loads last, so no run undoes a load; `holds`
// becomes what the engine will hold.
void plan_inputs(const Run& run, std::size_t index, Holdings& holds, std::vector<Step>& steps,
                 std::set<std::size_t>& planned) {
    const Cell& cell = run.cells[index];
    while (true) {
        Step load{Step::load};
        std::set<std::size_t> sources;
        for (const auto& [name, bound] : modules_before(run, index)) {
            auto held = holds.find(name);
            if (held != holds.end() && held->second == run.cells[bound.first].key) continue;
            load.imports[from_utf8(name)] = bound.second;
            load.from[name] = bound.first;
        }
        for (const auto& [name, provider] : cell.needs.inputs) {
            nb::str key = from_utf8(name);
            const Cell& from = run.cells[provider];
            if (is_file_state(name)) {  // the file as the cell that changed it left it, or that cell runs again
                nb::str path = from_utf8(file_of(name));
                bool as_left = from.files.contains(path) && run.files->digest(file_of(name)) == text_of(from.files[path]);
                if (!as_left && !planned.count(provider)) sources.insert(provider);
                continue;
            }
            if (load.imports.contains(key) || from.modules.contains(key)) continue;
            auto held = holds.find(name);
            // An import may change a state the engine held (pandas adds warning filters): after
            // one, the states the cell reads are put back all the same.
            bool imports_first = core::is_state(name) && nb::len(load.imports);
            if (held != holds.end() && held->second == from.key && !imports_first) continue;
            if (from.stored.contains(key) && core::is_state(name)) {
                load.states[key] = from.stored[key];
                load.from[name] = provider;
            } else if (from.stored.contains(key)) {
                nb::object digest = from.stored[key];
                load.values[key] = digest;
                load.from[name] = provider;
                if (!from.grouped.contains(digest)) continue;
                if (!contains(load.groups, digest)) load.groups.append(digest);
                // The names sharing its object come along, so they stay one object; not those the
                // engine holds in a later state.
                for (nb::handle member : from.grouped[digest]) {
                    std::string other = text_of(member);
                    auto other_held = holds.find(other);
                    if (load.from.count(other) ||
                        (other_held != holds.end() && index_of(run, other_held->second) > static_cast<long>(provider)))
                        continue;
                    load.values[member] = digest;
                    load.from[other] = provider;
                }
            } else if (!planned.count(provider)) {
                sources.insert(provider);
            }  // else its run did not leave it: the cell finds what Jupyter would find
        }
        if (sources.empty()) {
            for (const auto& [name, provider] : load.from) holds[name] = run.cells[provider].key;
            if (!load.from.empty()) steps.push_back(std::move(load));
            return;
        }
        std::size_t again = *sources.begin();
        planned.insert(again);
        plan_inputs(run, again, holds, steps, planned);
        Step rerun{Step::rerun};
        rerun.cell = again;
        steps.push_back(std::move(rerun));
        note_held(run, holds, run.cells[again]);
    }
}

namespace {

// Gives the local engine what cell `index` reads, as planned above; a value that cannot be loaded
// is made again by its cell instead.
void provide(Run& run, std::size_t index) {
    while (true) {
        Engine& engine = engine_of(run);
        std::vector<Step> steps;
        std::set<std::size_t> planned;
        Holdings after = engine.holds;
        plan_inputs(run, index, after, steps, planned);
        bool loaded = true;
        for (const Step& step : steps) {
            if (step.kind == Step::rerun) {
                Cell& again = run.cells[step.cell];
                bool counts = again.status == CellStatus::cached;  // its outputs now come from this run
                if (counts) progress->started(again);
                execute(run, step.cell, counts);
                if (counts) progress->finished(again);
                continue;
            }
            nb::dict request;
            request["imports"] = step.imports;
            request["states"] = step.states;
            request["values"] = step.values;
            request["groups"] = step.groups;
            request["dir"] = from_utf8(run.store);
            nb::dict failed = nb::borrow<nb::dict>(engine.call("prepare", dumps(request))["failed"]);
            for (const auto& [name, provider] : step.from) {
                nb::str key = from_utf8(name);
                if (!failed.contains(key)) {
                    engine.holds[name] = run.cells[provider].key;
                    continue;
                }
                progress->warning("cannot load '" + name + "' of " + run.cells[provider].name +
                                  " from the cache (" + text_of(failed[key]) + "): running that cell again");
                run.cells[provider].stored.attr("pop")(key, nb::none());
                loaded = false;
            }
            if (!loaded) break;
        }
        if (loaded) return;
    }
}

}  // namespace

void skip(Run& run, Cell& cell) {
    cell.status = CellStatus::skipped;
    cell.failed_ancestor = run.cells[cell.needs.tainted.begin()->second].name;
    nb::dict note;
    note["output_type"] = "stream";
    note["name"] = "stderr";
    note["text"] = from_utf8("Not run: this cell depends on cell '" + cell.failed_ancestor + "', which failed.\n");
    nb::list events;
    events.append(note);
    cell.events = events;
    progress->finished(cell);
}

void note_files_before(Run& run, Cell& cell) {
    cell.files_before.clear();
    for (const std::string& literal : cell.names.literals) {
        std::string path = Files::path(run.options.cwd, literal);
        cell.files_before[path] = run.files->digest(path);
    }
}

void note_file_changes(Run& run, Cell& cell) {
    for (const auto& [path, before] : cell.files_before) {
        std::string after = run.files->digest(path);
        if (after == before) continue;
        cell.facts.bound.insert(file_state(path));
        cell.files[from_utf8(path)] = from_utf8(after);
    }
}

core::Outcome outcome_of(const Cell& cell) {
    switch (cell.status) {
        case CellStatus::failed: return cell.expects_error ? core::Outcome::succeeded : core::Outcome::failed;
        case CellStatus::skipped: return core::Outcome::skipped;
        default: return core::Outcome::succeeded;
    }
}

std::map<std::string, std::string> module_names_before(const Run& run, std::size_t index) {
    std::map<std::string, std::string> names;
    for (const auto& [name, bound] : modules_before(run, index)) names[name] = text_of(bound.second);
    return names;
}

core::CellNeeds needs_of(const Run& run, const Cell& cell, const core::DependencyTracker& tracker) {
    core::CellNames names = cell.names;
    // Every cell reads the process state, and the files its strings name, when they exist or an
    // earlier cell changed them.
    for (const std::string& kind : state_kinds())
        if (!names.binds.count(kind)) names.reads.push_back(kind);
    for (const std::string& literal : names.literals) {
        if (names.written.count(literal)) continue;  // what it only writes is no input of it
        std::string name = file_state(Files::path(run.options.cwd, literal));
        if (tracker.providers().count(name) || !run.files->digest(file_of(name)).empty()) names.reads.push_back(name);
    }
    core::CellNeeds needs = tracker.needs(names);
    while (true) {
        std::set<std::string> more;
        auto add = [&](nb::handle read) {
            std::string global = text_of(read);
            if (!needs.inputs.count(global) && !needs.unprovided.count(global) && !names.binds.count(global))
                more.insert(global);
        };
        for (const auto& [name, provider] : needs.inputs) {
            const Cell& from = run.cells[provider];
            nb::object reads = from.value_reads.attr("get")(from_utf8(name));
            if (!reads.is_none())
                for (nb::handle read : reads) add(read);
            // Names sharing the object it reads: changing it in place changes them too.
            nb::object digest = from.stored.attr("get")(from_utf8(name));
            if (!digest.is_none() && from.grouped.contains(digest))
                for (nb::handle member : from.grouped[digest]) add(member);
        }
        if (more.empty()) return needs;
        names.reads.insert(names.reads.end(), more.begin(), more.end());
        needs = tracker.needs(names);
    }
}

std::vector<std::size_t> data_parents(const Run& run, const Cell& cell) {
    std::set<std::size_t> parents;
    for (const auto& [name, provider] : cell.needs.inputs)
        if (!core::is_state(name) || is_file_state(name)) parents.insert(provider);
    for (std::size_t parent : cell.needs.parents)
        if (run.cells[parent].needs.barrier) parents.insert(parent);
    return {parents.begin(), parents.end()};
}

void run_main_cell(Run& run, std::size_t index) {
    provide(run, index);
    execute(run, index, true);
}

void run_cells(Run& run) {
    if (!run.options.broker.empty()) check_workers(run);  // before anything is written
    if (run.cache) run.cache->open();
    if (run.options.jobs > 1 || !run.options.broker.empty()) run_with_workers(run);
    else run_in_order(run);
    run.files->save();
    if (run.cache) {
        run.cache->remember(run);
        run.cache->keep_within(run.options.cache_size);
    }
}

bool settle(Run& run, std::size_t index) {
    Cell& cell = run.cells[index];
    cell.needs = needs_of(run, cell, run.tracker);
    cell.key = run.cache ? run.cache->key_of(run, cell) : "#" + std::to_string(index);
    if (!cell.needs.tainted.empty()) {
        skip(run, cell);
        return true;
    }
    if (run.cache && !run.options.force && run.cache->load(cell)) {
        cell.status = CellStatus::cached;
        progress->finished(cell);
        return true;
    }
    return false;
}

void run_in_order(Run& run) {
    for (std::size_t i = 0; i < run.cells.size(); ++i) {
        Cell& cell = run.cells[i];
        if (!settle(run, i)) {
            progress->started(cell);
            run_main_cell(run, i);
            progress->finished(cell);
        }
        run.tracker.record(cell.names, cell.needs, cell.facts, outcome_of(cell));
    }
}

}  // namespace trelvo::cli::runner

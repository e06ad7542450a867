// What the run cache would do, without running a cell: `trelvo run --explain` says for each cell
// whether it comes from the cache or runs, and why; `trelvo cache info` and `trelvo cache prune`
// show and trim the cache.
#include "runner_internal.hpp"

#include <cstdio>

namespace trelvo::cli::runner {
namespace {

// A version in a key's material, by name.
std::map<std::string, std::string> versions(nb::handle material) {
    std::map<std::string, std::string> found;
    for (nb::handle pair : material.attr("get")("inputs", nb::list())) found[text_of(pair[0])] = text_of(pair[1]);
    return found;
}

bool differ(nb::handle before, nb::handle now, const char* field) {
    return !before.attr("get")(field).equal(now.attr("get")(field));
}

std::string shown_path(const Run& run, const std::string& path) {
    std::string prefix = run.options.cwd + "/";
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

// Why the cell's key has no entry, from what its last run's key covered.
std::string why_it_runs(const Run& run, const Cell& cell) {
    if (cell.volatile_key)
        return std::find(run.options.rerun.begin(), run.options.rerun.end(), cell.name) != run.options.rerun.end() ||
                       std::find(run.options.rerun.begin(), run.options.rerun.end(), cell.id) != run.options.rerun.end()
                   ? "asked for with --rerun"
                   : "tagged no-cache";
    auto [key, status] = run.cache->last_run(run, cell);
    if (status == "failed") return "it failed last time";
    nb::object last = key.empty() ? nb::object(nb::none()) : run.cache->record_of(key);
    if (last.is_none()) return "no entry";
    nb::object before = last.attr("get")("material", nb::dict());
    nb::dict now = cell.material;
    std::vector<std::string> reasons;
    if (differ(before, now, "code")) reasons.push_back("code changed");
    std::map<std::string, std::string> was = versions(before);
    for (const auto& [name, version] : versions(now)) {
        auto old = was.find(name);
        if (old != was.end() && old->second == version) continue;
        auto provider = cell.needs.inputs.find(name);
        if (is_file_state(name))
            reasons.push_back("file " + shown_path(run, file_of(name)) + " changed");
        else if (provider != cell.needs.inputs.end() && run.cells[provider->second].sets_parameters && version[0] == '=')
            reasons.push_back("parameter " + name + " changed");
        else if (provider != cell.needs.inputs.end())
            reasons.push_back("parent " + run.cells[provider->second].name + " changed");
    }
    nb::object modules_before = before.attr("get")("modules", nb::dict());
    for (auto [module, digest] : nb::borrow<nb::dict>(now["modules"]))
        if (!modules_before.attr("get")(module).equal(digest)) reasons.push_back("module " + text_of(module) + " changed");
    if (differ(before, now, "barriers")) reasons.push_back("a cell before it that binds unseen names changed");
    if (differ(before, now, "cwd")) reasons.push_back("the working directory changed");
    if (differ(before, now, "environment")) reasons.push_back("the installed packages changed");
    if (reasons.empty()) return "no entry";
    std::sort(reasons.begin(), reasons.end());
    reasons.erase(std::unique(reasons.begin(), reasons.end()), reasons.end());
    std::string text;
    for (std::size_t i = 0; i < reasons.size() && i < 3; ++i) text += (i ? ", " : "") + reasons[i];
    if (reasons.size() > 3) text += ", ...";
    return text;
}

void print(const std::string& text) {
    nb::object out = scope->get("sys").attr("stdout");
    out.attr("write")(from_utf8(text));
    out.attr("flush")();
}

std::string human(std::size_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double size = static_cast<double>(bytes);
    int unit = 0;
    while (size >= 1024 && unit < 4) {
        size /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", size, units[unit]);
    return text;
}

}  // namespace

void plan_keys(Run& run, const std::function<void(Cell& cell, bool cached)>& each) {
    for (Cell& cell : run.cells) {
        cell.needs = needs_of(run, cell, run.tracker);
        cell.key = run.cache->key_of(run, cell);
        bool cached = !cell.volatile_key && run.cache->load(cell);
        if (!cached) {  // what it bound last time is the best guess of what it binds
            cell.facts = core::RunFacts();
            nb::object last = run.cache->record_of(run.cache->last_run(run, cell).first);
            if (!last.is_none())
                for (nb::handle name : last["bound"]) cell.facts.bound.insert(text_of(name));
        }
        each(cell, cached);
        run.tracker.record(cell.names, cell.needs, cell.facts, core::Outcome::succeeded);
    }
}

int explain(Run& run) {
    int cached_cells = 0;
    plan_keys(run, [&](Cell& cell, bool cached) {
        std::string line = "  " + cell.name;
        if (line.size() < 24) line.resize(24, ' ');
        line += cached ? " cached" : " runs: " + why_it_runs(run, cell);
        if (!cached && run.options.jobs > 1)
            if (std::string main = why_in_main(run, cell, cell.needs); !main.empty()) line += " (in the main kernel: " + main + ")";
        print(line + "\n");
        cached_cells += cached;
    });
    print(std::to_string(run.cells.size()) + " cells: " + std::to_string(cached_cells) + " from the cache, " +
          std::to_string(run.cells.size() - cached_cells) + " would run\n");
    return 0;
}

namespace {

nb::object cache_info(const Args& a) {
    Run run;
    run.options = read_options(a[0]);
    Cache cache(run);
    CacheUsage usage = cache.usage();
    std::string text = "cache: " + cache.root() + "\nsize: " + human(usage.bytes) + " in " +
                       std::to_string(usage.entries) + " entries and " + std::to_string(usage.values) + " values\n";
    for (const std::string& notebook : cache.notebooks()) text += "notebook: " + notebook + "\n";
    print(text);
    return nb::int_(0);
}

// Keeps the entries that the current version of each remembered notebook (or of the one given)
// can reach; entries of notebooks that are gone go too.
nb::object cache_prune(const Args& a) {
    Run base;
    base.options = read_options(a[0]);
    Cache cache(base);
    std::vector<std::string> notebooks =
        base.options.notebook.empty() ? cache.notebooks() : std::vector<std::string>{base.options.notebook};
    std::set<std::string> reachable;
    Progress silent(base, true, true);
    ProgressScope scope_of_progress(silent);
    for (const std::string& notebook : notebooks) {
        if (!arg_bool(scope->get("os").attr("path").attr("isfile")(from_utf8(notebook)))) continue;
        Run run;
        run.options = base.options;
        run.options.notebook = notebook;
        run.options.cwd = text_of(scope->get("os").attr("path").attr("dirname")(from_utf8(notebook)));
        run.notebook = read_notebook(run.options);
        read_parameters(run);
        plan(run);
        plan_keys(run, [&](Cell& cell, bool) { reachable.insert(cell.key); });
    }
    std::set<std::string> pruned(notebooks.begin(), notebooks.end());
    std::size_t removed = cache.prune([&](const std::string& key, nb::handle record) {
        std::string notebook = text_of(record.attr("get")("notebook", nb::str("")));
        return (!base.options.notebook.empty() && !pruned.count(notebook)) || reachable.count(key) > 0;
    });
    CacheUsage usage = cache.usage();
    print("pruned " + std::to_string(removed) + " entries; the cache holds " + human(usage.bytes) + " in " +
          std::to_string(usage.entries) + " entries and " + std::to_string(usage.values) + " values\n");
    return nb::int_(0);
}

}  // namespace

void register_cache_command(const Scope& s) {
    define_function(s, "cache_info", {arg("args")}, "int", cache_info, "Says how large the run cache is.");
    define_function(s, "cache_prune", {arg("args")}, "int", cache_prune,
                    "Removes what the notebooks' cells as they are now cannot reach from the run cache.");
}

}  // namespace trelvo::cli::runner

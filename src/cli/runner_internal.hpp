// The parts of the notebook runner: the run's plan and state (runner.cpp), the run cache
// (runner_cache.cpp), running the cells (runner_execution.cpp) and progress (runner_progress.cpp).
#pragma once

#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace trelvo::cli::runner {

using namespace trelvo::py;

extern const Scope* scope;

inline std::string text_of(nb::handle value) { return utf8(nb::str(value)); }

enum class CellStatus { pending, ran, cached, failed, skipped };

const char* status_word(CellStatus status);  // "ran", "cached", "failed", "skipped"

// When the runner was loaded: the command's wall time counts its imports too.
extern const std::chrono::steady_clock::time_point loaded_at;

struct Options {
    std::string notebook, output, cache_dir;
    nb::dict parameters;  // overrides, already parsed
    bool use_cache = true, force = false, quiet = false;
    int jobs = 1;
    std::string broker, backend;  // empty: run locally
    double timeout = 0;           // seconds; 0: none
};

// One code cell of the notebook that becomes a component.
struct Cell {
    std::size_t notebook_index = 0;
    std::string id, name, code;
    std::vector<std::size_t> parents;  // indices into the run's cells
    std::map<std::string, std::size_t> inputs;
    std::vector<std::string> parameters;
    std::string key;
    nb::object component;
    CellStatus status = CellStatus::pending;
    double duration = 0;
    nb::object events;             // list of output events once finished
    nb::object module_statements;  // once finished (read once: the disk cache is slow to open)
    std::string failed_ancestor;
};

struct Run {
    Options options;
    nb::object notebook;
    std::vector<Cell> cells;
    nb::dict parameters;  // defaults with the overrides applied
    nb::object shell;
    nb::object pool;  // worker processes of --jobs
    std::string cache_root;
    std::chrono::steady_clock::time_point started = loaded_at;
};

// The usage error of the command line: one line, exit status 2.
[[noreturn]] void usage_error(const std::string& message);

// runner.cpp: the plan of a run and running it, shared by the commands
Options read_options(nb::handle args);
std::string notebook_stem(const Options& options);
std::string output_path(const Options& options, nb::handle given, const std::string& suffix);
void prepare(Run& run, nb::handle args);  // options, notebook, cells, parents, keys
void plan(Run& run);                      // cells, parents, keys of a read notebook
void execute(Run& run);                   // components, cache, cells; progress must be set
const Cell* first_failed(const Run& run);

// runner_export.cpp, runner_optimize.cpp
void register_export(const Scope& s);
void register_optimize(const Scope& s);

// runner_cache.cpp
std::string cell_key(const Run& run, const Cell& cell);
bool load_cached(Run& run, Cell& cell);
void store_cached(Run& run, Cell& cell);

// runner_execution.cpp
void run_cells(Run& run);
nb::object deadline_handler();

// runner_progress.cpp
class Progress {
public:
    // quiet: the summary and warnings only; silent: warnings only.
    Progress(const Run& run, bool quiet, bool silent = false);
    ~Progress();
    void started(const Cell& cell);
    void finished(const Cell& cell);
    void warning(const std::string& text);
    void problem(const std::string& text);
    void summary();

private:
    void stop();
    void write(const std::string& text) const;
    void draw();
    const Run& run_;
    bool quiet_, silent_, terminal_;
    std::size_t done_ = 0;
    std::string current_;
    std::chrono::steady_clock::time_point current_started_;
    struct Ticker;
    Ticker* ticker_ = nullptr;
};

extern Progress* progress;

// The progress of a command's run, for the span of the scope.
struct ProgressScope {
    explicit ProgressScope(Progress& p) { progress = &p; }
    ~ProgressScope() { progress = nullptr; }
};

double seconds_since(std::chrono::steady_clock::time_point start);

}  // namespace trelvo::cli::runner

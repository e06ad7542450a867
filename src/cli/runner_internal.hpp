// The parts of the notebook runner: the run and its options (runner.cpp), the notebook read and
// written (runner_notebook.cpp), the engine, a kernel process that holds the notebook's namespace
// (runner_engine.cpp), running the cells (runner_execution.cpp) and running them besides it
// (runner_workers.cpp), the run cache (runner_cache.cpp, runner_files.cpp, runner_explain.cpp),
// progress (runner_progress.cpp), and the export and optimize commands.
#pragma once

#include "calls.hpp"
#include "cell_dependencies.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace trelvo::cli::runner {

using namespace trelvo::py;

extern const Scope* scope;

inline std::string text_of(nb::handle value) { return utf8(nb::str(value)); }

// A module the runner uses only on some paths, imported on first use: a run that only reads the
// cache starts no kernel and imports neither IPython nor ZeroMQ.
nb::object imported(const char* module);

enum class CellStatus { pending, ran, cached, failed, skipped };

const char* status_word(CellStatus status);  // "ran", "cached", "failed", "skipped"

// When the runner was loaded: the command's wall time counts its imports too.
extern const std::chrono::steady_clock::time_point loaded_at;

struct Options {
    std::string notebook, output, cache_dir, cwd;  // absolute, fixed before any cell runs
    nb::dict parameters;                           // overrides, already parsed
    bool use_cache = true, force = false, quiet = false, explain = false;
    std::vector<std::string> rerun;  // cells to run with their descendants, by name or id
    std::size_t cache_size = std::size_t(10) << 30;
    int jobs = 1;
    std::string broker, backend;  // empty: run locally
    double timeout = 0;           // seconds; 0: none
};

// One code cell of the notebook that runs.
struct Cell {
    std::size_t notebook_index = 0;
    std::string id, name, code;
    int count = 0;               // the execution count Jupyter gives it
    bool expects_error = false;  // tagged raises-exception: its error is no failure of the run
    bool sets_parameters = false;  // the parameters cell or the injected one
    core::CellNames names;       // what its code does with names
    core::CellNeeds needs;       // known when the run reaches the cell
    std::string key;             // in the run cache; "#<position>" without one
    nb::dict material;           // what the key covers, kept to say why a cell runs
    bool volatile_key = false;   // tagged no-cache or named with --rerun: runs every time
    CellStatus status = CellStatus::pending;
    double duration = 0;
    nb::object events;            // its output events, once finished
    nb::dict timing;              // when the kernel ran it, as nbclient records it
    std::string failure;          // "KeyError: 'b'"
    std::string failed_ancestor;  // the failed cell a skipped one depends on
    core::RunFacts facts;         // what it bound when it ran, or what its record says
    nb::dict modules;             // name -> the module it holds
    nb::dict stored;              // name -> digest of the value it left, in the value store
    nb::dict grouped;             // digest -> the names stored together in it (they share objects)
    nb::dict value_reads;         // name -> globals its value's functions may read when called
    std::map<std::string, std::string> files_before;  // path -> digest of the files it names, before it ran
    nb::dict files;               // path -> digest of the files it changed, as it left them
    nb::dict unstored;            // name -> why that value is not stored
};

class Engine;
class Cache;

// The contents of files and local modules, by digest (runner_files.cpp).
class Files {
public:
    explicit Files(std::string remembered);  // the file remembering digests between runs; "" for none
    // The digest of a regular file's contents; "" when there is none.
    std::string digest(const std::string& path);
    // The absolute path a cell's string names, read from the working directory.
    static std::string path(const std::string& cwd, const std::string& literal);
    // A module imported from the working directory, with the local modules it imports; "" else.
    std::string module_digest(const std::string& cwd, const std::string& module);
    void save();

private:
    std::vector<std::string> imports_of(const std::string& source);
    std::string remembered_;
    nb::dict known_;  // path -> ((size, mtime_ns, inode), digest)
    bool changed_ = false;
    std::map<std::string, std::string> modules_;
};

// The process state that cells read and change without names (see engine_state.hpp), with the
// shell's own settings, which magics change (%matplotlib, %config, %load_ext).
inline const std::vector<std::string>& state_kinds() {
    static const std::vector<std::string> kinds{"<random>", "<numpy.random>", "<numpy printoptions>",
                                                "<pandas options>", "<matplotlib rcParams>", "<warnings>",
                                                "<sys.path>", "<os.environ>", "<cwd>", "<ipython>"};
    return kinds;
}
inline bool is_file_state(const std::string& name) { return name.rfind("<file:", 0) == 0; }
inline std::string file_state(const std::string& path) { return "<file:" + path + ">"; }
inline std::string file_of(const std::string& name) { return name.substr(6, name.size() - 7); }

// What an engine's namespace holds: name -> the key of the cell whose state of it that is.
using Holdings = std::map<std::string, std::string>;

// One step of giving an engine what a cell reads: loading modules and stored values, or running an
// earlier cell again.
struct Step {
    enum Kind { load, rerun } kind;
    nb::dict imports, values, states;           // load: name -> module; name, state -> digest
    nb::list groups;                            // load: the digests that hold several names
    std::map<std::string, std::size_t> from;    // load: name -> the cell whose state it is
    std::size_t cell = 0;                       // rerun
};

struct Run {
    Options options;
    nb::object notebook;
    std::vector<Cell> cells;
    nb::dict parameters;  // the parameters cell's literal values, with the overrides
    core::DependencyTracker tracker;
    std::unique_ptr<Cache> cache;    // none with --no-cache
    std::string store;               // the value store: the cache's, or the run's own for workers
    std::string own_store;           // the run's own store, removed when the run ends
    std::unique_ptr<Engine> engine;  // started when a cell must run
    std::unique_ptr<Files> files;
    std::chrono::steady_clock::time_point started = loaded_at;
    std::string nonce;  // this run's own: in the keys of the cells that run every time
    Run();
    ~Run();
};

// The usage error of the command line: one line, exit status 2.
[[noreturn]] void usage_error(const std::string& message);

// runner.cpp
Options read_options(nb::handle args);
void prepare(Run& run, nb::handle args);  // options, notebook, parameters: all checked, nothing written
const Cell* first_failure(const Run& run);  // a failed cell that did not expect its error

// runner_notebook.cpp
nb::object read_notebook(const Options& options);
// The parameters cell's values with the overrides, and the cell injecting them.
void read_parameters(Run& run);
void plan(Run& run);  // the cells that run, their names, counts and analysis; opens the cache
std::string output_path(const Options& options, nb::handle given, const std::string& suffix);
std::string notebook_stem(const Options& options);
void write_notebook(Run& run);

// runner_engine.cpp: a kernel process holding the notebook's namespace.
struct Execution {
    enum Outcome { ok, error, died, timed_out } outcome = ok;
    std::string reason;  // "KeyError: 'b'", "the process running it died: signal 11 (SIGSEGV)"
    nb::object answer;   // the engine helper's answer after the cell, when it gave one
    nb::dict timing;     // as nbclient records it: iopub.status.busy, iopub.execute_input, ...
};

class Engine {
public:
    explicit Engine(const Options& options);  // starts the kernel process; ready() waits for it
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Runs code as cell `count`; its output events go to `events`. `after` is the JSON request
    // of the helper's after_cell, evaluated once the code ran.
    Execution execute(const std::string& code, int count, nb::handle events, const std::string& after);
    // A call of the engine helper (after_cell, prepare, configure) with a JSON request, silently.
    nb::object call(const char* function, const std::string& request);
    // The text of an expression's value in the namespace; none when it raises.
    std::optional<std::string> evaluate(const std::string& expression);
    // Empties the namespace, as a new kernel has it.
    void reset();
    bool alive();
    void kill();  // at once; a run in progress returns as died
    bool serves(const Options& options) const { return options.cwd == cwd_ && options.timeout == timeout_; }

    Holdings holds;  // what the namespace holds
    nb::object language_info;  // as the kernel describes its language, once it answered

private:
    void ready();
    nb::object expression_value(const std::string& expression);
    std::string send(nb::handle socket, const char* msg_type, nb::handle content);  // the message's id
    struct Message {
        std::string type, parent;
        nb::object content, date;  // date: of the header, as the kernel wrote it
    };
    std::optional<Message> receive(nb::handle socket);
    std::string death() const;
    void stop();

    std::string cwd_;
    double timeout_ = 0;
    nb::object process_, context_, shell_, iopub_, poller_, directory_, log_;
    nb::bytes key_;
    std::string session_;
    bool ready_ = false;
    int next_count_ = 1;
};

// runner_cache.cpp
// The path of a digest's file under a directory fanned out by the digest's first two characters.
std::string fanned(const std::string& directory, const std::string& digest, const char* suffix);
// A file of the cache, text or bytes, written whole or not at all, readable by the user only.
void write_private(const std::string& path, nb::handle data);

struct CacheUsage {
    std::size_t entries = 0, values = 0, bytes = 0;
};

class Cache {
public:
    explicit Cache(const Run& run);  // nothing is written before open()
    std::string key_of(const Run& run, Cell& cell) const;  // and the cell's material of it
    nb::dict material_of(const Run& run, const Cell& cell) const;
    bool load(Cell& cell);  // from the entry of cell.key; a damaged one is ignored with a warning
    bool has(const std::string& key) const;
    nb::object record_of(const std::string& key) const;  // None when there is none to trust
    void store(const Run& run, const Cell& cell);      // a successful run's entry
    void remember(const Run& run);                     // the keys the notebook's cells ran as
    // The key and status ("ran", "failed") the cell had in the notebook's last run; empty when none.
    std::pair<std::string, std::string> last_run(const Run& run, const Cell& cell) const;
    std::vector<std::string> notebooks() const;  // those whose runs the cache remembers
    void keep_within(std::size_t limit);  // evicts entries used least recently
    // Removes the entries `keep` does not keep, and the values no entry refers to.
    std::size_t prune(const std::function<bool(const std::string& key, nb::handle record)>& keep);
    CacheUsage usage() const;
    const std::string& values() const { return values_; }
    const std::string& root() const { return root_; }
    nb::object analysis(nb::handle code);  // the analysis of a code, kept by its digest
    void open();  // makes the directories: done when the run starts
    std::string remembered_files() const { return root_ + "/files.json"; }

private:
    struct Contents {
        struct Entry {
            std::string key, path;
            std::size_t size;
            double used;
            std::vector<std::string> values;
            nb::object record;  // None when it cannot be read
        };
        std::vector<Entry> entries;
        std::map<std::string, std::pair<std::string, std::size_t>> values;  // digest -> path, size
        std::map<std::string, int> references;
        std::size_t bytes = 0;
    };
    Contents contents() const;
    void remove(Contents& c, const Contents::Entry& entry);
    bool trusted(const std::string& path) const;
    void touch(const std::string& path);
    std::string index_path(const std::string& notebook) const;

    std::string root_, entries_, values_, analyses_, environment_;
    bool opened_ = false, wrote_ = false;
    std::set<std::string> used_;  // the entries this run used or wrote: never evicted by it
    std::vector<std::pair<std::string, nb::object>> pending_analyses_;  // written once opened
};

// runner_execution.cpp: the cells in notebook order in the main engine
void run_cells(Run& run);
// What the cell needs, given the cells before it: the names its code reads, and the globals that
// the functions of the values it reads may read when called (model.predict reads SCALE).
core::CellNeeds needs_of(const Run& run, const Cell& cell, const core::DependencyTracker& tracker);
// The cells a cell takes names or files from, and the barriers before it: its parents in the
// pipeline. (Process state comes from further cells, which every later cell would list.)
std::vector<std::size_t> data_parents(const Run& run, const Cell& cell);
void run_main_cell(Run& run, std::size_t index);  // gives the main engine what it reads and runs it
// Works out what cell `index` needs and its key, then skips it or takes it from the cache where it
// can: false when it must run.
bool settle(Run& run, std::size_t index);
void run_in_order(Run& run);  // every cell in the main engine
std::string dumps(nb::handle value);  // JSON text
// The helper's after_cell request for a cell: with a value store, the values to store.
std::string after_request(const Run& run, const Cell& cell);
void take_facts(Run& run, Cell& cell, nb::handle answer);  // from the helper's after_cell answer
void note_held(const Run& run, Holdings& holds, const Cell& cell);
// The cell's status, events and facts from its run, wherever it ran.
void conclude(Run& run, Cell& cell, const Execution& result, nb::list events, double duration);
// The steps that give an engine holding `holds` what cell `index` reads; `planned` are cells
// already run again on the way.
void plan_inputs(const Run& run, std::size_t index, Holdings& holds, std::vector<Step>& steps,
                 std::set<std::size_t>& planned);
void skip(Run& run, Cell& cell);  // a cell reading what a failed cell would have bound
// The files a cell's strings name, as they are before it runs, and after: a file it changed is a
// state it provides to later cells.
void note_files_before(Run& run, Cell& cell);
void note_file_changes(Run& run, Cell& cell);
core::Outcome outcome_of(const Cell& cell);

// runner_workers.cpp: side engines (--jobs) and celery workers (--remote)
void run_with_workers(Run& run);
void check_workers(const Run& run);  // a usage error when no celery worker answers
// Why a cell whose parents have finished cannot run in a side kernel: "" when it can.
std::string why_in_main(const Run& run, const Cell& cell, const core::CellNeeds& needs);
void register_workers(const Scope& s);
// The modules in the namespace before a cell: name -> module name.
std::map<std::string, std::string> module_names_before(const Run& run, std::size_t index);

// runner_progress.cpp
class Progress {
public:
    // quiet: the summary, failures and warnings only; silent: warnings only.
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
    std::set<const Cell*> reported_;  // a cached cell run again later is counted once
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

// runner_explain.cpp: --explain, and the cache command
// The keys of the notebook's cells as they stand, computed without running any.
void plan_keys(Run& run, const std::function<void(Cell& cell, bool cached)>& each);
int explain(Run& run);
void register_cache_command(const Scope& s);

// runner_export.cpp, runner_optimize.cpp
void register_export(const Scope& s);
void register_optimize(const Scope& s);

}  // namespace trelvo::cli::runner

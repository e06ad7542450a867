// Cells that run besides the main engine: with --jobs N in up to N-1 side kernels on this machine
// while the main kernel goes on in notebook order, and with --remote on celery workers started
// with `trelvo worker`, each cell one task carrying the values it reads. A cell runs ahead only
// when no cell still to run before it can change what it reads: its inputs come from finished
// cells and are in the value store. When the run reaches the cell, what it really reads is checked
// against what it ran with; a cell that ran with other inputs runs again, in order.
#include "runner_internal.hpp"

#include <atomic>

namespace trelvo::cli::runner {
namespace {

constexpr std::size_t kLookAhead = 64;  // cells considered for running ahead
constexpr double kWorkerCheckSeconds = 10;
constexpr const char* kTaskName = "trelvo_core.cli.runner.TrelvoRemoteCellsTask";

// What a worker is asked to do, made whole by the main thread: loads and runs, the cell last.
struct Action {
    bool load = false;
    nb::dict imports, values, states;  // load: name -> module; name, state -> digest
    nb::list groups;                   // load: digests holding several names
    std::string code, after;   // run
    int count = 0;
};

struct Done {
    Execution execution;
    nb::list events;
    double duration = 0;
    bool unloadable = false;  // a value could not be loaded: the cell runs in order instead
    std::string error;        // the worker itself failed
};

nb::object read_bytes(const std::string& path) {
    nb::object file = scope->get("open")(from_utf8(path), "rb");
    nb::object data = file.attr("read")();
    file.attr("close")();
    return data;
}

// A value file received from a worker, written into the store as the engine writes its own.
void write_value_bytes(const std::string& store, const std::string& digest, nb::handle data) {
    std::string path = fanned(store, digest, "");
    if (!arg_bool(scope->get("os").attr("path").attr("exists")(from_utf8(path)))) write_private(path, data);
}

nb::dict result_of(const Execution& execution, nb::handle events) {
    static const char* outcomes[] = {"ok", "error", "died", "timed_out"};
    nb::dict result;
    result["outcome"] = outcomes[execution.outcome];
    result["reason"] = from_utf8(execution.reason);
    result["events"] = events;
    result["answer"] = execution.answer.is_valid() ? execution.answer : nb::none();
    return result;
}

Execution execution_of(nb::handle result) {
    Execution execution;
    std::string outcome = text_of(result["outcome"]);
    execution.outcome = outcome == "ok" ? Execution::ok
                      : outcome == "error" ? Execution::error
                      : outcome == "died" ? Execution::died : Execution::timed_out;
    execution.reason = text_of(result["reason"]);
    execution.answer = nb::borrow(result["answer"]);
    return execution;
}

// Runs the actions in an engine, the cell's run last: its result and events.
Done perform_in(Engine& engine, const std::vector<Action>& actions, const std::string& store) {
    Done done;
    for (const Action& action : actions) {
        if (action.load) {
            nb::dict request;
            request["imports"] = action.imports;
            request["states"] = action.states;
            request["values"] = action.values;
            request["groups"] = action.groups;
            request["dir"] = from_utf8(store);
            if (nb::len(nb::object(engine.call("prepare", dumps(request))["failed"]))) {
                done.unloadable = true;
                return done;
            }
            continue;
        }
        nb::list events;
        auto started = std::chrono::steady_clock::now();
        done.execution = engine.execute(action.code, action.count, events, action.after);
        done.events = events;
        done.duration = seconds_since(started);
        if (done.execution.outcome == Execution::died || done.execution.outcome == Execution::timed_out) return done;
    }
    return done;
}

// ---- workers -----------------------------------------------------------------------------------

class Worker {
public:
    virtual ~Worker() = default;

    // Starts the actions in a thread of this process.
    void begin(std::vector<Action> actions) {
        actions_ = std::move(actions);
        done_ = Done();
        nb::object body = make_closure(scope->get("_worker_thread"), nb::capsule(this));
        thread_ = scope->get("threading").attr("Thread")(nb::arg("target") = body, nb::arg("daemon") = true);
        thread_.attr("start")();
    }
    bool busy() const { return thread_.is_valid(); }
    bool running() const { return thread_.is_valid() && arg_bool(thread_.attr("is_alive")()); }
    Done finish() {
        thread_.attr("join")();
        thread_ = nb::object();
        return std::move(done_);
    }
    void work() {
        try {
            done_ = perform(actions_);
        } catch (nb::python_error& error) {
            done_.error = text_of(error.value());
        } catch (std::exception& error) {
            done_.error = error.what();
        }
    }
    virtual void stop() {}

    Holdings holds;  // what its namespace holds between cells

protected:
    virtual Done perform(const std::vector<Action>& actions) = 0;
    std::atomic<bool> stopping_{false};

private:
    nb::object thread_;
    std::vector<Action> actions_;
    Done done_;
};

nb::object worker_thread(const Args& a) {
    auto* worker = static_cast<Worker*>(nb::cast<nb::capsule>(a.closure()).data());
    worker->work();
    return nb::none();
}

// A side kernel on this machine, reading and writing the run's value store.
class SideKernel : public Worker {
public:
    SideKernel(const Run& run) : options_(run.options), store_(run.store), engine_(std::make_unique<Engine>(run.options)) {}
    ~SideKernel() override { stop(); }
    void stop() override {
        if (running() && engine_) engine_->kill();  // its run returns at once
        if (busy()) finish();
    }

protected:
    Done perform(const std::vector<Action>& actions) override {
        if (!engine_->alive()) {
            engine_ = std::make_unique<Engine>(options_);
            holds.clear();
        }
        return perform_in(*engine_, actions, store_);
    }

private:
    Options options_;
    std::string store_;
    std::unique_ptr<Engine> engine_;
};

// Celery workers: each task starts from an empty namespace and carries the values it loads.
class RemoteWorker : public Worker {
public:
    RemoteWorker(const Run& run, nb::handle app) : store_(run.store), cwd_(run.options.cwd), timeout_(run.options.timeout),
                                                    broker_(run.options.broker), app_(nb::borrow(app)) {}
    ~RemoteWorker() override { stop(); }
    void stop() override {
        stopping_ = true;
        if (busy()) finish();
    }

protected:
    Done perform(const std::vector<Action>& actions) override {
        nb::dict request, values;
        nb::list steps;
        for (const Action& action : actions) {
            nb::dict step;
            step["load"] = nb::bool_(action.load);
            step["imports"] = action.imports;
            step["values"] = action.values;
            step["states"] = action.states;
            step["groups"] = action.groups;
            step["code"] = from_utf8(action.code);
            step["after"] = from_utf8(action.after);
            step["count"] = action.count;
            steps.append(step);
            for (nb::handle loads : {nb::handle(action.values), nb::handle(action.states)})
                for (auto [name, digest] : nb::borrow<nb::dict>(loads))
                    values[digest] = read_bytes(fanned(store_, text_of(digest), ""));
        }
        request["steps"] = steps;
        request["values"] = values;
        request["cwd"] = from_utf8(cwd_);
        request["timeout"] = timeout_;
        nb::object pending = app_.attr("send_task")(kTaskName, nb::arg("args") = nb::make_tuple(request));
        nb::object response = wait(pending);
        for (auto [digest, data] : nb::borrow<nb::dict>(response["values"])) write_value_bytes(store_, text_of(digest), data);
        Done done;
        done.unloadable = arg_bool(response["unloadable"]);
        nb::list results = nb::borrow<nb::list>(response["results"]);
        if (nb::len(results)) {
            nb::object last = results[nb::len(results) - 1];
            done.execution = execution_of(last);
            done.events = nb::list(last["events"]);
            done.duration = nb::cast<double>(response["duration"]);
        }
        return done;
    }

private:
    // The task's answer, however long the cell runs on a live worker; a run whose workers are all
    // gone fails instead of waiting for ever.
    nb::object wait(nb::handle pending) {
        nb::object timeout_error = imported("celery.exceptions").attr("TimeoutError");
        auto checked = std::chrono::steady_clock::now();
        int unanswered = 0;
        while (!stopping_) {
            try {
                return pending.attr("get")(nb::arg("timeout") = 1.0);
            } catch (nb::python_error& error) {
                if (!error.matches(timeout_error)) throw;
            }
            if (seconds_since(checked) < kWorkerCheckSeconds) continue;
            checked = std::chrono::steady_clock::now();
            unanswered = workers_answer(app_) ? 0 : unanswered + 1;
            if (unanswered >= 2)
                throw std::runtime_error("no worker is left on the broker " + safe_url(broker_) + ": the worker stopped");
        }
        throw std::runtime_error("stopped");
    }

    std::string store_, cwd_;
    double timeout_;
    std::string broker_;
    nb::object app_;

public:
    static std::string safe_url(const std::string& url) {
        nb::object parts = imported("urllib.parse").attr("urlsplit")(from_utf8(url));
        if (parts.attr("password").is_none()) return url;
        std::string host = text_of(parts.attr("hostname")) +
                           (parts.attr("port").is_none() ? "" : ":" + text_of(nb::str(parts.attr("port"))));
        std::string user = parts.attr("username").is_none() ? "" : text_of(parts.attr("username"));
        return text_of(parts.attr("scheme")) + "://" + user + ":***@" + host + text_of(parts.attr("path"));
    }

    // Whether a worker answers on the broker's control channel, over a connection of its own.
    static bool workers_answer(nb::handle app, double timeout = 1.0) {
        nb::object connection = app.attr("connection_for_write")();
        try {
            nb::object answer = app.attr("control").attr("inspect")(nb::arg("timeout") = timeout,
                                                                    nb::arg("connection") = connection).attr("ping")();
            connection.attr("close")();
            return arg_bool(answer);
        } catch (nb::python_error&) {
            translate_exceptions([&] { connection.attr("close")(); });
            PyErr_Clear();
            return false;
        }
    }
};

nb::object celery_app(const Options& options) {
    nb::object app = imported("celery").attr("Celery")(nb::arg("main") = "trelvo-run",
                                                       nb::arg("broker") = from_utf8(options.broker),
                                                       nb::arg("backend") = from_utf8(options.backend));
    nb::object conf = app.attr("conf");
    conf.attr("result_serializer") = "pickle";
    conf.attr("task_serializer") = "pickle";
    nb::list accepted;
    accepted.append("application/x-python-serialize");
    conf.attr("accept_content") = accepted;
    conf.attr("result_accept_content") = accepted;
    // A broker that cannot be reached fails the first send at once instead of retrying for ever.
    conf.attr("broker_connection_retry_on_startup") = false;
    conf.attr("broker_connection_max_retries") = 0;
    conf.attr("broker_connection_timeout") = 4;
    return app;
}

// ---- the schedule ------------------------------------------------------------------------------

// Modules whose use changes no process state.
bool is_pure_module(const std::string& name) {
    static const std::set<std::string> pure{"math", "cmath", "time", "json", "re", "string", "textwrap",
                                            "collections", "itertools", "functools", "operator", "datetime",
                                            "decimal", "fractions", "statistics", "typing", "dataclasses", "enum",
                                            "copy", "pprint", "bisect", "heapq", "array", "struct"};
    return pure.count(name) > 0;
}

// What a cell still to run may change, as far as its code tells before it runs: the files its
// strings name, and the process state when it imports or uses a module that can change it.
core::RunFacts possible_changes(const Run& run, const Cell& cell, const core::DependencyTracker& before) {
    core::RunFacts facts;
    for (const std::string& literal : cell.names.literals) facts.bound.insert(file_state(Files::path(run.options.cwd, literal)));
    bool stateful = !cell.names.modules.empty() || cell.names.binds_unseen;
    for (const std::string& name : cell.names.reads)
        if (before.holds_module(name) && !is_pure_module(name)) stateful = true;
    if (stateful)
        for (const std::string& kind : state_kinds()) facts.bound.insert(kind);
    return facts;
}

struct Ahead {
    std::size_t worker;
    core::CellNeeds needs;  // what it ran with
    Holdings holds;         // what the side kernel holds once the run is over
    std::optional<Done> done;
};

std::vector<Action> actions_for(const Run& run, std::size_t index, const std::vector<Step>& steps) {
    std::vector<Action> actions;
    for (const Step& step : steps) {
        Action action;
        action.load = step.kind == Step::load;
        if (action.load) {
            action.imports = step.imports;
            action.values = step.values;
            action.states = step.states;
            action.groups = step.groups;
        } else {
            const Cell& again = run.cells[step.cell];
            action.code = again.code;
            action.count = again.count;
            action.after = after_request(run, again);
        }
        actions.push_back(std::move(action));
    }
    Action cell;
    cell.code = run.cells[index].code;
    cell.count = run.cells[index].count;
    cell.after = after_request(run, run.cells[index]);
    actions.push_back(std::move(cell));
    return actions;
}

class Schedule {
public:
    Schedule(Run& run) : run_(run), remote_(!run.options.broker.empty()) {
        std::size_t slots = remote_ ? run.options.jobs : run.options.jobs - 1;
        if (remote_) app_ = celery_app(run.options);
        for (std::size_t i = 0; i < slots; ++i) {
            if (remote_) workers_.push_back(std::make_unique<RemoteWorker>(run, app_));
            else workers_.push_back(std::make_unique<SideKernel>(run));
        }
    }
    ~Schedule() {
        for (auto& worker : workers_) worker->stop();
        if (app_.is_valid()) translate_exceptions([&] { app_.attr("close")(); });
        PyErr_Clear();
    }

    void run() {
        for (std::size_t i = 0; i < run_.cells.size(); ++i) {
            dispatch_ahead(i);
            Cell& cell = run_.cells[i];
            bool settled = settle(run_, i);
            std::optional<Done> ran_ahead = collect(i);  // frees its worker either way
            if (settled) {
                // skipped, or from the cache
            } else if (ran_ahead && ran_ahead->error.empty() && !ran_ahead->unloadable) {
                accept(i, *ran_ahead);
            } else if (remote_) {
                if (ran_ahead && !ran_ahead->error.empty()) throw std::runtime_error(ran_ahead->error);
                progress->started(cell);
                note_files_before(run_, cell);
                std::size_t worker = free_worker();
                std::vector<Step> steps;
                std::set<std::size_t> planned;
                Holdings empty;
                plan_inputs(run_, i, empty, steps, planned);
                workers_[worker]->begin(actions_for(run_, i, steps));
                Done done = workers_[worker]->finish();
                if (!done.error.empty()) throw std::runtime_error(done.error);
                accept(i, done);
            } else {
                run_in_main(i);
            }
            run_.tracker.record(cell.names, cell.needs, cell.facts, outcome_of(cell));
        }
    }

private:
    // The result of a cell that ran ahead, when it ran with what it reads now; none else.
    std::optional<Done> collect(std::size_t index) {
        auto found = ahead_.find(index);
        if (found == ahead_.end()) return std::nullopt;
        Ahead entry = std::move(found->second);
        ahead_.erase(found);
        Worker& worker = *workers_[entry.worker];
        Done done = entry.done ? std::move(*entry.done) : worker.finish();
        bool same = entry.needs.inputs == run_.cells[index].needs.inputs &&
                    entry.needs.parents == run_.cells[index].needs.parents;
        if (done.error.empty() && !done.unloadable && done.execution.outcome == Execution::ok) {
            worker.holds = entry.holds;
        } else {
            worker.holds.clear();
        }
        if (!same) {
            worker.holds.clear();
            return std::nullopt;
        }
        return done;
    }

    void accept(std::size_t index, Done& done) {
        Cell& cell = run_.cells[index];
        conclude(run_, cell, done.execution, done.events, done.duration);
        progress->finished(cell);
    }

    void run_in_main(std::size_t index) {
        Cell& cell = run_.cells[index];
        progress->started(cell);
        run_main_cell(run_, index);
        progress->finished(cell);
    }

    // A worker with nothing to do, waiting for the one that started first when all are busy.
    std::size_t free_worker() {
        for (std::size_t w = 0; w < workers_.size(); ++w)
            if (!workers_[w]->busy()) return w;
        for (auto& [cell, entry] : ahead_)
            if (!entry.done) {
                entry.done = workers_[entry.worker]->finish();
                return entry.worker;
            }
        throw std::runtime_error("no worker is free");
    }

    // Starts cells after `index` on idle workers when nothing still to run before them can change
    // what they read.
    void dispatch_ahead(std::size_t index) {
        for (auto& [cell, entry] : ahead_)  // workers done with their cell are free again
            if (!entry.done && !workers_[entry.worker]->running()) entry.done = workers_[entry.worker]->finish();
        if (std::all_of(workers_.begin(), workers_.end(), [](const auto& w) { return w->busy(); })) return;
        core::DependencyTracker forward = run_.tracker;
        std::size_t end = std::min(run_.cells.size(), index + kLookAhead);
        bool blocked = false;  // a cell before the candidate binds names nobody can see
        for (std::size_t k = index; k < end; ++k) {
            Cell& cell = run_.cells[k];
            core::CellNeeds needs = needs_of(run_, cell, forward);
            bool candidate = (remote_ || k > index) && !blocked && !ahead_.count(k) && eligible(index, cell, needs);
            if (candidate) {
                std::optional<std::size_t> worker;
                for (std::size_t w = 0; w < workers_.size() && !worker; ++w)
                    if (!workers_[w]->busy()) worker = w;
                if (!worker) return;
                start(k, needs, *worker);
            }
            blocked |= needs.barrier || cell.names.reads_unseen;
            core::RunFacts facts = possible_changes(run_, cell, forward);
            forward.record(cell.names, needs, facts, core::Outcome::succeeded);
        }
    }

    bool eligible(std::size_t index, Cell& cell, const core::CellNeeds& needs) {
        if (!needs.tainted.empty()) return false;
        for (std::size_t parent : needs.parents)
            if (parent >= index) return false;
        if (!why_in_main(run_, cell, needs).empty()) return false;
        if (run_.cache && !run_.options.force) {
            core::CellNeeds actual = cell.needs;
            cell.needs = needs;
            std::string key = run_.cache->key_of(run_, cell);
            cell.needs = actual;
            if (run_.cache->has(key)) return false;  // it comes from the cache when the run gets there
        }
        return true;
    }

    void start(std::size_t index, const core::CellNeeds& needs, std::size_t worker) {
        Cell& cell = run_.cells[index];
        core::CellNeeds actual = cell.needs;
        cell.needs = needs;
        std::string key = cell.key;
        if (run_.cache) cell.key = run_.cache->key_of(run_, cell);
        Ahead entry{worker, needs, remote_ ? Holdings() : workers_[worker]->holds, std::nullopt};
        std::vector<Step> steps;
        std::set<std::size_t> planned;
        plan_inputs(run_, index, entry.holds, steps, planned);
        std::vector<Action> actions = actions_for(run_, index, steps);
        note_held(run_, entry.holds, cell);
        cell.needs = actual;
        cell.key = key;
        note_files_before(run_, cell);
        progress->started(cell);
        workers_[worker]->begin(std::move(actions));
        ahead_.emplace(index, std::move(entry));
    }

    Run& run_;
    bool remote_;
    nb::object app_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::map<std::size_t, Ahead> ahead_;
};

// ---- the worker's side of a remote run -----------------------------------------------------------

std::unique_ptr<Engine> served_engine;  // one kernel per worker process, its namespace emptied per task

nb::object serve_cells(const Args& a) {
    nb::dict request = nb::borrow<nb::dict>(a[1]);
    nb::object os = scope->get("os");
    Options options;
    options.cwd = text_of(request["cwd"]);
    if (!arg_bool(os.attr("path").attr("isdir")(from_utf8(options.cwd)))) options.cwd = text_of(os.attr("getcwd")());
    options.timeout = nb::cast<double>(request["timeout"]);
    if (!served_engine || !served_engine->alive() || !served_engine->serves(options))
        served_engine = std::make_unique<Engine>(options);
    else
        served_engine->reset();
    nb::object store_object = imported("tempfile").attr("mkdtemp")(nb::arg("prefix") = "trelvo-values-");
    std::string store = text_of(store_object);
    nb::dict response;
    try {
        for (auto [digest, data] : nb::borrow<nb::dict>(request["values"])) write_value_bytes(store, text_of(digest), data);
        std::vector<Action> actions;
        for (nb::handle step : request["steps"]) {
            Action action;
            action.load = arg_bool(step["load"]);
            action.imports = nb::borrow<nb::dict>(step["imports"]);
            action.values = nb::borrow<nb::dict>(step["values"]);
            action.states = nb::borrow<nb::dict>(step["states"]);
            action.groups = nb::borrow<nb::list>(step["groups"]);
            action.code = text_of(step["code"]);
            action.count = nb::cast<int>(step["count"]);
            if (!action.load) {  // its values go to this task's store
                nb::object after = scope->get("json").attr("loads")(step["after"]);
                if (nb::borrow<nb::dict>(after).contains("dir")) after["dir"] = store_object;
                action.after = dumps(after);
            }
            actions.push_back(std::move(action));
        }
        Done done = perform_in(*served_engine, actions, store);
        nb::list results;
        if (!done.unloadable) results.append(result_of(done.execution, done.events));
        nb::dict values;
        nb::object answer = done.execution.answer;
        if (answer.is_valid() && !answer.is_none() && nb::borrow<nb::dict>(answer).contains("stored"))
            for (auto [name, stored] : nb::borrow<nb::dict>(answer["stored"])) {
                std::string digest = text_of(stored["digest"]);
                values[from_utf8(digest)] = read_bytes(fanned(store, digest, ""));
            }
        response["results"] = results;
        response["values"] = values;
        response["unloadable"] = nb::bool_(done.unloadable);
        response["duration"] = done.duration;
    } catch (...) {
        imported("shutil").attr("rmtree")(store_object, nb::arg("ignore_errors") = true);
        throw;
    }
    imported("shutil").attr("rmtree")(store_object, nb::arg("ignore_errors") = true);
    return response;
}

// The task class is made when a worker registers it: celery is imported only then.
nb::object register_task_on(const Args& a) {
    if (!scope->dict().contains("TrelvoRemoteCellsTask"))
        ClassBuilder(*scope, "TrelvoRemoteCellsTask", "Runs cells of a `trelvo run --remote` in the worker's kernel.")
            .attribute("name", nb::str(kTaskName))
            .method("run", {arg("self"), arg("request", "dict")}, "dict", serve_cells)
            .build(nb::make_tuple(imported("celery").attr("Task")));
    a[0].attr("register_task")(scope->get("TrelvoRemoteCellsTask"));
    return nb::none();
}

}  // namespace

// Why a cell whose parents have finished cannot run in a side kernel: "" when it can.
std::string why_in_main(const Run& run, const Cell& cell, const core::CellNeeds& needs) {
    if (needs.barrier) return "it binds names nobody can see before it runs";
    if (cell.names.reads_unseen) return "it reads names it does not spell out";
    for (const auto& [name, provider] : needs.inputs) {
        const Cell& from = run.cells[provider];
        nb::str key = from_utf8(name);
        // What a cell still to run will store is not known yet.
        if (from.modules.contains(key) || is_file_state(name) || from.status == CellStatus::pending) continue;
        if (!from.stored.contains(key)) {
            if (core::is_state(name)) return "it reads " + name + ", which " + from.name + " changes and the cache cannot hold";
            return "'" + name + "' of " + from.name + " cannot be stored";
        }
        // A name sharing its object with names the cell does not read: changing it elsewhere
        // would leave them unchanged here.
        nb::object digest = from.stored[key];
        if (from.grouped.contains(digest))
            for (nb::handle member : from.grouped[digest])
                if (!needs.inputs.count(text_of(member)))
                    return "'" + name + "' shares its object with '" + text_of(member) + "'";
    }
    return "";
}

void run_with_workers(Run& run) {
    if (run.store.empty()) {
        run.own_store = text_of(imported("tempfile").attr("mkdtemp")(nb::arg("prefix") = "trelvo-values-"));
        run.store = run.own_store;
    }
    Schedule(run).run();
}

// Before any cell runs: the broker can be reached and a worker answers, or one line says which
// is missing (the URL without its password), within seconds.
void check_workers(const Run& run) {
    std::string broker = RemoteWorker::safe_url(run.options.broker);
    nb::object app = celery_app(run.options);
    bool answered = false;
    try {
        nb::object connection = app.attr("connection_for_write")();
        try {
            connection.attr("ensure_connection")(nb::arg("max_retries") = 1, nb::arg("timeout") = 4);
        } catch (nb::python_error& error) {
            translate_exceptions([&] { connection.attr("close")(); });
            PyErr_Clear();
            std::string reason = text_of(error.value());
            usage_error("cannot reach the broker " + broker + (reason.empty() ? "" : ": " + reason.substr(0, reason.find('\n'))));
        }
        connection.attr("close")();
        answered = RemoteWorker::workers_answer(app, 3.0);
    } catch (...) {
        translate_exceptions([&] { app.attr("close")(); });
        throw;
    }
    translate_exceptions([&] { app.attr("close")(); });
    PyErr_Clear();
    if (!answered)
        usage_error("no celery worker answers at " + broker + " (start one with: trelvo worker --broker " + broker + ")");
}

void register_workers(const Scope& s) {
    define_function(s, "_worker_thread", {}, "None", worker_thread, "The body of a worker's thread.");
    define_function(s, "register_remote_task", {arg("app")}, "None", register_task_on,
                    "Registers the task that runs cells for `trelvo run --remote` on a celery app.");
}

}  // namespace trelvo::cli::runner

// Running the cells: in notebook order in this process's shell, or in dependency order with up
// to --jobs cells at once in worker processes, or on celery workers. Whichever way, a cell gets
// the module statements of the earlier cells and its parents' values of the names it reads, and
// its events are made the same way.
#include "runner_internal.hpp"

#include <cstdio>

namespace trelvo::cli::runner {
namespace {

// ---- what a cell is given ----------------------------------------------------------------

nb::dict module_statements_before(Run& run, std::size_t index) {
    nb::dict statements;
    for (std::size_t j = 0; j < index; ++j) {
        Cell& earlier = run.cells[j];
        if (earlier.status != CellStatus::ran && earlier.status != CellStatus::cached) continue;
        if (!earlier.module_statements.is_valid())
            earlier.module_statements = earlier.component.attr("module_statements");
        if (!earlier.module_statements.is_none())
            statements.update(nb::borrow<nb::dict>(earlier.module_statements));
    }
    return statements;
}

nb::dict inputs_of(const Run& run, const Cell& cell) {
    std::map<std::size_t, nb::object> outputs_of_parent;
    nb::dict inputs;
    for (const auto& [name, parent] : cell.inputs) {
        auto found = outputs_of_parent.find(parent);
        if (found == outputs_of_parent.end())
            found = outputs_of_parent.emplace(parent, run.cells[parent].component.attr("non_module_outputs")).first;
        if (found->second.is_none()) continue;
        nb::str key = from_utf8(name);
        PyObject* value = PyDict_GetItemWithError(found->second.ptr(), key.ptr());
        if (value) inputs[key] = nb::borrow(value);  // modules come as module statements
        else if (PyErr_Occurred()) throw nb::python_error();
    }
    return inputs;
}

// The first failed cell that a cell depends on, by name; empty when none.
std::string failed_ancestor(const Run& run, const Cell& cell) {
    for (std::size_t parent : cell.parents) {
        const Cell& p = run.cells[parent];
        if (p.status == CellStatus::failed) return p.name;
        if (p.status == CellStatus::skipped) return p.failed_ancestor;
    }
    return "";
}

bool ready(const Run& run, const Cell& cell) {
    for (std::size_t parent : cell.parents) {
        CellStatus s = run.cells[parent].status;
        if (s != CellStatus::ran && s != CellStatus::cached) return false;
    }
    return true;
}

// ---- what a cell leaves ------------------------------------------------------------------

nb::dict component_metadata(const Cell& cell) {
    nb::dict metadata;
    metadata["component_id"] = from_utf8(cell.id);
    metadata["component_name"] = from_utf8(cell.name);
    return metadata;
}

nb::list captured_events(const Cell& cell) {
    nb::object captured = cell.component.attr("captured");
    return nb::borrow<nb::list>(scope->get("record_events")(
        captured.is_none() ? nb::list() : nb::list(captured), component_metadata(cell)));
}

void skip(Run& run, Cell& cell, const std::string& failed) {
    cell.status = CellStatus::skipped;
    cell.failed_ancestor = failed;
    nb::dict note;
    note["output_type"] = "stream";
    note["name"] = "stderr";
    note["text"] = from_utf8("Not run: this cell depends on cell '" + failed + "', which failed.\n");
    cell.events = nb::list();
    nb::borrow<nb::list>(cell.events).append(note);
    progress->finished(cell);
}

// The cell's status and events from its component once its run is over; `error` is an exception
// that ended the run outside the cell's own code.
void finish(Run& run, Cell& cell, std::chrono::steady_clock::time_point started,
            nb::handle error = nb::handle()) {
    cell.duration = seconds_since(started);
    nb::object successful = scope->get("TrelvoComponentStatus").attr("SUCCESSFUL");
    nb::list events = captured_events(cell);
    if (!error.is_valid() && cell.component.attr("status").equal(successful)) {
        cell.status = CellStatus::ran;
        for (nb::handle e : scope->get("result_events")(run.shell, cell.component.attr("last_output"),
                                                        from_utf8(cell.code)))
            events.append(e);
        cell.events = events;
        if (run.options.use_cache) store_cached(run, cell);
    } else {
        cell.status = CellStatus::failed;
        nb::object message = cell.component.attr("exception_msg");
        if (error.is_valid() || message.is_none()) {
            nb::handle exception = error.is_valid() ? error : nb::handle(Py_None);
            nb::object lines = exception.is_none()
                ? nb::object(nb::make_tuple(nb::str("RuntimeError: the run ended without a result")))
                : scope->get("traceback").attr("format_exception")(exception);
            message = nb::list();
            for (nb::handle line : lines) nb::borrow<nb::list>(message).append(nb::str(line).attr("rstrip")("\n"));
        }
        nb::object error_event = scope->get("error_event")(message);
        events.append(error_event);
        cell.events = events;
        // Ctrl-C stops the run, not just the cell that IPython reports it in.
        if (text_of(error_event["ename"]) == "KeyboardInterrupt") {
            progress->finished(cell);
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw nb::python_error();
        }
    }
    progress->finished(cell);
}

// ---- cell deadlines ----------------------------------------------------------------------

double deadline_seconds = 0;

std::string timeout_message(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "the cell was stopped: it ran longer than the %g s timeout", seconds);
    return text;
}

nb::object deadline_passed(const Args&) {
    PyErr_SetString(PyExc_TimeoutError, timeout_message(deadline_seconds).c_str());
    throw nb::python_error();
}

// Arms SIGALRM in this thread's process for the span of a run; it fires again every second
// until disarmed, in case the cell swallows the first.
class Deadline {
public:
    explicit Deadline(double seconds) : armed_(seconds > 0) {
        if (!armed_) return;
        deadline_seconds = seconds;
        nb::object signal = scope->get("signal");
        previous_ = signal.attr("signal")(signal.attr("SIGALRM"), deadline_handler());
        signal.attr("setitimer")(signal.attr("ITIMER_REAL"), seconds, 1.0);
    }
    ~Deadline() {
        if (!armed_) return;
        translate_exceptions([&] {
            nb::object signal = scope->get("signal");
            signal.attr("setitimer")(signal.attr("ITIMER_REAL"), 0);
            signal.attr("signal")(signal.attr("SIGALRM"), previous_);
        });
        PyErr_Clear();
    }

private:
    bool armed_;
    nb::object previous_;
};

// ---- in this process, in notebook order --------------------------------------------------

void run_here(Run& run, Cell& cell, std::size_t index) {
    progress->started(cell);
    auto started = std::chrono::steady_clock::now();
    nb::dict statements = module_statements_before(run, index), inputs = inputs_of(run, cell);
    try {
        Deadline deadline(run.options.timeout);
        cell.component.attr("execute")(nb::arg("module_statements") = statements,
                                       nb::arg("non_module_inputs") = inputs,
                                       nb::arg("parameters") = run.parameters,
                                       nb::arg("send_to_front") = false);
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_KeyboardInterrupt)) throw;
        cell.component.attr("status") = scope->get("TrelvoComponentStatus").attr("FAILED");
        finish(run, cell, started, error.value());
        return;
    }
    finish(run, cell, started);
}

void run_in_order(Run& run) {
    for (std::size_t i = 0; i < run.cells.size(); ++i) {
        Cell& cell = run.cells[i];
        if (cell.status == CellStatus::cached) {
            progress->finished(cell);
            continue;
        }
        std::string failed = failed_ancestor(run, cell);
        if (!failed.empty())
            skip(run, cell, failed);
        else
            run_here(run, cell, i);
    }
}

// ---- in workers, in dependency order -----------------------------------------------------

nb::handle submit_function, completed_function, failed_function;

// The pool's own callbacks, then word to the scheduler: (cell index, exception or None).
nb::object completed(const Args& a) {
    nb::handle closure = a.closure();
    closure[0](a[0]);
    closure[1].attr("put")(nb::make_tuple(closure[2], nb::none()));
    return nb::none();
}

nb::object failed(const Args& a) {
    nb::handle closure = a.closure();
    try {
        closure[0](a[0]);
    } catch (nb::python_error&) {
    }
    closure[1].attr("put")(nb::make_tuple(closure[2], a[0]));
    return nb::none();
}

// apply_async for one cell: in a worker process under the cell's deadline, or (remote) in a
// thread of this process, reporting to the scheduler's queue.
nb::object submit(const Args& a) {
    nb::handle closure = a.closure();  // (pool, timeout, index, queue, in_process)
    nb::object func = nb::borrow(a[0]), args = nb::borrow(a[1]);
    nb::object tail = nb::make_tuple(a[2], closure[3], closure[2]);
    nb::object callback = make_closure(completed_function, tail);
    nb::object error_callback = make_closure(failed_function, nb::make_tuple(a[3], closure[3], closure[2]));
    if (arg_bool(closure[4])) {
        args = nb::tuple(nb::make_tuple(closure[1], func) + nb::tuple(args));
        func = scope->get("run_with_deadline");
    }
    return closure[0].attr("apply_async")(nb::arg("func") = func, nb::arg("args") = args,
                                          nb::arg("callback") = callback,
                                          nb::arg("error_callback") = error_callback);
}

void run_in_workers(Run& run) {
    const bool remote = !run.options.broker.empty();
    nb::object pool = remote ? scope->get("ThreadPool")(run.options.jobs) : run.pool;
    nb::object queue = scope->get("queue").attr("SimpleQueue")();
    std::map<std::size_t, std::chrono::steady_clock::time_point> running;
    std::vector<bool> started(run.cells.size(), false);
    auto settle_skips = [&] {
        for (Cell& cell : run.cells) {
            if (cell.status != CellStatus::pending || started[&cell - run.cells.data()]) continue;
            std::string failed = failed_ancestor(run, cell);
            if (!failed.empty()) skip(run, cell, failed);
        }
    };
    for (const Cell& cell : run.cells)
        if (cell.status == CellStatus::cached) progress->finished(cell);
    try {
        while (true) {
            settle_skips();
            for (std::size_t i = 0; i < run.cells.size() && running.size() < std::size_t(run.options.jobs); ++i) {
                Cell& cell = run.cells[i];
                if (cell.status != CellStatus::pending || started[i] || !ready(run, cell)) continue;
                started[i] = true;
                progress->started(cell);
                running[i] = std::chrono::steady_clock::now();
                nb::object submitter = scope->get("SimpleNamespace")(
                    nb::arg("apply_async") = make_closure(
                        submit_function, nb::make_tuple(pool, run.options.timeout, i, queue, !remote)));
                try {
                    cell.component.attr("execute_async")(
                        submitter, nb::arg("module_statements") = module_statements_before(run, i),
                        nb::arg("non_module_inputs") = inputs_of(run, cell),
                        nb::arg("parameters") = run.parameters, nb::arg("send_to_front") = false);
                } catch (nb::python_error& error) {
                    if (error.matches(PyExc_KeyboardInterrupt)) throw;
                    auto at = running[i];
                    running.erase(i);
                    finish(run, cell, at, error.value());
                }
            }
            if (running.empty()) break;
            nb::object item;
            try {
                item = queue.attr("get")(nb::arg("timeout") = 0.2);
            } catch (nb::python_error& error) {
                if (!error.matches(scope->get("queue").attr("Empty"))) throw;
            }
            if (item.is_valid()) {
                std::size_t i = nb::cast<std::size_t>(item[0]);
                auto at = running[i];
                running.erase(i);
                finish(run, run.cells[i], at, item[1].is_none() ? nb::handle() : nb::handle(item[1]));
            }
            // A remote run cannot be stopped from here; past its deadline it counts as failed.
            if (run.options.timeout > 0 && remote)
                for (auto it = running.begin(); it != running.end();) {
                    if (seconds_since(it->second) <= run.options.timeout) { ++it; continue; }
                    Cell& cell = run.cells[it->first];
                    PyErr_SetString(PyExc_TimeoutError, timeout_message(run.options.timeout).c_str());
                    nb::python_error timeout;
                    cell.component.attr("status") = scope->get("TrelvoComponentStatus").attr("FAILED");
                    finish(run, cell, it->second, timeout.value());
                    it = running.erase(it);
                }
        }
    } catch (...) {
        if (remote) pool.attr("terminate")();
        throw;
    }
    if (remote) pool.attr("terminate")();
}

}  // namespace

nb::object deadline_handler() { return scope->get("_deadline_passed"); }

// In a worker process: func(*args) under a deadline of `timeout` seconds (none when 0).
nb::object run_with_deadline(const Args& a) {
    Deadline deadline(nb::cast<double>(a[0]));
    return nb::borrow(a[1])(*nb::tuple(a[2]));
}

void run_cells(Run& run) {
    if (run.options.jobs > 1 || !run.options.broker.empty())
        run_in_workers(run);
    else
        run_in_order(run);
}

void register_execution(const Scope& s) {
    define_function(s, "_deadline_passed", {arg("signum"), arg("frame")}, "None", deadline_passed,
                    "SIGALRM handler: stops the running cell with a TimeoutError.");
    define_function(s, "run_with_deadline", {arg("timeout", "float"), arg("func"), star_args("args")},
                    "Any", run_with_deadline,
                    "func(*args) under a deadline of timeout seconds (0: none), in a worker.");
    submit_function = make_function({"apply_async", "apply_async", s.name(), "",
                                     {arg("func"), arg("args"), arg("callback"), arg("error_callback")},
                                     "Any", submit}).release();
    completed_function = make_function({"completed", "completed", s.name(), "", {arg("result")},
                                        "None", completed}).release();
    failed_function = make_function({"failed", "failed", s.name(), "", {arg("error")}, "None",
                                     failed}).release();
}

}  // namespace trelvo::cli::runner

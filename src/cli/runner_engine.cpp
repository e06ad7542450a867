// The engine: a Jupyter kernel (ipykernel, as nbconvert runs one) started by the runner, holding
// the notebook's namespace. The runner speaks the kernel's messaging protocol to it over IPC
// sockets in a private directory, signing every message with a key of the run. The kernel loads
// the engine helper (trelvo_core.cli.engine) as an IPython extension; the helper's answers come
// back as user expressions, so nothing of the runner shows in a cell's outputs.
#include "runner_internal.hpp"

#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace trelvo::cli::runner {
namespace {

constexpr double kStartSeconds = 60;  // for the kernel to answer its first request
// A cell stuck in C code ignores the kernel's own deadline; past this much more the runner kills
// the kernel.
constexpr double kGraceSeconds = 2;
constexpr const char* kHelper = "__import__('trelvo_core.cli.engine', fromlist=['prepare']).";

nb::object json() { return scope->get("json"); }

// A Python str literal of text, for the helper calls' source.
std::string literal(const std::string& text) { return text_of(nb::repr(from_utf8(text))); }

std::string now_iso() {
    return text_of(imported("datetime").attr("datetime").attr("now")(
                       imported("datetime").attr("timezone").attr("utc")).attr("isoformat")());
}

// An execute request as nbclient sends one with errors allowed: no input, and the requests after
// an error are not aborted. A cell is stored in the history; the runner's own requests are silent.
nb::dict execute_request(const std::string& code, bool cell, nb::handle expressions) {
    nb::dict content;
    content["code"] = from_utf8(code);
    content["silent"] = !cell;
    content["store_history"] = cell;
    content["user_expressions"] = expressions;
    content["allow_stdin"] = false;
    content["stop_on_error"] = false;
    return content;
}

// The sockets with a message waiting, after waiting at most `milliseconds` for one.
nb::dict polled(nb::handle poller, int milliseconds) {
    return nb::borrow<nb::dict>(scope->get("dict")(poller.attr("poll")(milliseconds)));
}

std::string last_line(const std::string& path) {
    try {
        nb::object file = scope->get("open")(from_utf8(path), "r", nb::arg("encoding") = "utf-8",
                                             nb::arg("errors") = "replace");
        nb::object lines = file.attr("read")().attr("strip")().attr("splitlines")();
        file.attr("close")();
        return nb::len(lines) ? text_of(lines[nb::len(lines) - 1]) : "";
    } catch (nb::python_error&) {
        return "";
    }
}

}  // namespace

Engine::Engine(const Options& options) : cwd_(options.cwd), timeout_(options.timeout) {
    nb::object os = scope->get("os");
    directory_ = imported("tempfile").attr("mkdtemp")(nb::arg("prefix") = "trelvo-engine-");
    if (nb::len(directory_) > 90) {  // a socket's path must fit in 107 bytes
        imported("shutil").attr("rmtree")(directory_);
        directory_ = imported("tempfile").attr("mkdtemp")(nb::arg("prefix") = "trelvo-engine-", nb::arg("dir") = "/tmp");
    }
    std::string directory = text_of(directory_);
    std::string token = text_of(imported("secrets").attr("token_hex")(32));
    key_ = nb::bytes(token.data(), token.size());
    session_ = text_of(imported("uuid").attr("uuid4")().attr("hex"));
    nb::dict connection;
    connection["transport"] = "ipc";
    connection["ip"] = from_utf8(directory + "/kernel");
    connection["shell_port"] = 1;
    connection["iopub_port"] = 2;
    connection["stdin_port"] = 3;
    connection["control_port"] = 4;
    connection["hb_port"] = 5;
    connection["key"] = from_utf8(token);
    connection["signature_scheme"] = "hmac-sha256";
    connection["kernel_name"] = "";
    std::string connection_file = directory + "/connection.json";
    nb::object fd = os.attr("open")(from_utf8(connection_file), nb::int_(O_WRONLY | O_CREAT | O_EXCL), 0600);
    nb::object file = os.attr("fdopen")(fd, "w");
    json().attr("dump")(connection, file);
    file.attr("close")();
    log_ = scope->get("open")(from_utf8(directory + "/kernel.log"), "wb");
    nb::dict environment = nb::borrow<nb::dict>(scope->get("dict")(os.attr("environ")));
    // The kernel ends itself when the runner dies, however it dies.
    environment["JPY_PARENT_PID"] = nb::str(os.attr("getpid")());
    nb::list argv;
    for (nb::handle part : {nb::object(scope->get("sys").attr("executable")), nb::object(nb::str("-m")),
                            nb::object(nb::str("ipykernel_launcher")), nb::object(nb::str("-f")),
                            nb::object(from_utf8(connection_file)),
                            // as nbclient starts kernels: a run leaves no history database behind
                            nb::object(nb::str("--HistoryManager.hist_file=:memory:")),
                            nb::object(nb::str("--InteractiveShellApp.extensions=trelvo_core.cli.engine"))})
        argv.append(part);
    nb::object subprocess = imported("subprocess");
    process_ = subprocess.attr("Popen")(argv, nb::arg("cwd") = from_utf8(cwd_),
                                        nb::arg("env") = environment, nb::arg("stdin") = subprocess.attr("DEVNULL"),
                                        nb::arg("stdout") = log_, nb::arg("stderr") = log_,
                                        nb::arg("start_new_session") = true);
}

Engine::~Engine() {
    translate_exceptions([&] { stop(); });
    PyErr_Clear();
}

void Engine::stop() {
    if (!process_.is_valid()) return;
    if (ready_ && alive()) {
        // As Jupyter shuts a kernel down: the cells' exit handlers run.
        nb::object control = context_.attr("socket")(imported("zmq").attr("DEALER"));
        control.attr("connect")(from_utf8("ipc://" + text_of(directory_) + "/kernel-4"));
        nb::dict content;
        content["restart"] = false;
        send(control, "shutdown_request", content);
        try {
            process_.attr("wait")(nb::arg("timeout") = 2);
        } catch (nb::python_error&) {
        }
        control.attr("close")(nb::arg("linger") = 0);
    }
    if (process_.attr("poll")().is_none()) {
        process_.attr("kill")();
        process_.attr("wait")();
    }
    process_ = nb::object();
    if (context_.is_valid()) context_.attr("destroy")(nb::arg("linger") = 0);
    log_.attr("close")();
    imported("shutil").attr("rmtree")(directory_, nb::arg("ignore_errors") = true);
}

bool Engine::alive() { return process_.is_valid() && process_.attr("poll")().is_none(); }

void Engine::kill() {
    if (alive()) process_.attr("kill")();
}

// "signal 11 (SIGSEGV)", "exited with status 3".
std::string Engine::death() const {
    int code = nb::cast<int>(process_.attr("returncode"));
    if (code >= 0) return "exited with status " + std::to_string(code);
    std::string name = "signal " + std::to_string(-code);
    try {
        name += " (" + text_of(imported("signal").attr("Signals")(-code).attr("name")) + ")";
    } catch (nb::python_error&) {
    }
    return name;
}

std::string Engine::send(nb::handle socket, const char* msg_type, nb::handle content) {
    nb::dict header;
    std::string id = text_of(imported("uuid").attr("uuid4")().attr("hex"));
    header["msg_id"] = from_utf8(id);
    header["session"] = from_utf8(session_);
    header["username"] = "trelvo";
    header["date"] = from_utf8(now_iso());
    header["msg_type"] = msg_type;
    header["version"] = "5.3";
    nb::list parts;
    for (nb::handle part : {nb::handle(header), nb::handle(nb::dict()), nb::handle(nb::dict()), content})
        parts.append(json().attr("dumps")(part).attr("encode")());
    nb::object signature = imported("hmac").attr("new")(key_, nb::bytes("").attr("join")(parts), "sha256");
    nb::list frames;
    frames.append(nb::bytes("<IDS|MSG>"));
    frames.append(signature.attr("hexdigest")().attr("encode")());
    for (nb::handle part : parts) frames.append(part);
    socket.attr("send_multipart")(frames);
    return id;
}

std::optional<Engine::Message> Engine::receive(nb::handle socket) {
    nb::list frames = nb::borrow<nb::list>(socket.attr("recv_multipart")());
    std::size_t size = nb::len(frames), at = 0;
    while (at < size && !frames[at].equal(nb::bytes("<IDS|MSG>"))) ++at;
    if (at + 6 > size) return std::nullopt;
    nb::object signed_part = nb::bytes("").attr("join")(nb::steal(PySequence_GetSlice(frames.ptr(), at + 2, at + 6)));
    nb::object expected = imported("hmac").attr("new")(key_, signed_part, "sha256").attr("hexdigest")().attr("encode")();
    if (!arg_bool(imported("hmac").attr("compare_digest")(expected, frames[at + 1]))) return std::nullopt;
    Message message;
    nb::object header = json().attr("loads")(frames[at + 2]);
    nb::object parent = json().attr("loads")(frames[at + 3]);
    message.type = text_of(header["msg_type"]);
    message.date = header.attr("get")("date");
    nb::object parent_id = parent.attr("get")("msg_id");
    message.parent = parent_id.is_none() ? "" : text_of(parent_id);
    message.content = json().attr("loads")(frames[at + 5]);
    return message;
}

void Engine::ready() {
    if (ready_) return;
    nb::object zmq = imported("zmq");
    context_ = zmq.attr("Context")();
    std::string base = "ipc://" + text_of(directory_) + "/kernel-";
    shell_ = context_.attr("socket")(zmq.attr("DEALER"));
    shell_.attr("connect")(from_utf8(base + "1"));
    iopub_ = context_.attr("socket")(zmq.attr("SUB"));
    iopub_.attr("setsockopt")(zmq.attr("SUBSCRIBE"), nb::bytes(""));
    iopub_.attr("connect")(from_utf8(base + "2"));
    poller_ = zmq.attr("Poller")();
    poller_.attr("register")(shell_, zmq.attr("POLLIN"));
    poller_.attr("register")(iopub_, zmq.attr("POLLIN"));
    auto began = std::chrono::steady_clock::now();
    // The kernel is ready when it answers a request and what it publishes about the request
    // arrives too: a subscriber misses what is published before its subscription has settled.
    while (true) {
        if (!alive())
            throw std::runtime_error("the kernel did not start: " + death() + ": " + last_line(text_of(directory_) + "/kernel.log"));
        if (seconds_since(began) > kStartSeconds) throw std::runtime_error("the kernel did not start within a minute");
        std::string id = send(shell_, "kernel_info_request", nb::dict());
        bool replied = false, published = false;
        auto asked = std::chrono::steady_clock::now();
        while (!(replied && published) && seconds_since(asked) < 0.5) {
            nb::dict events = polled(poller_, 50);
            if (events.contains(shell_))
                if (auto m = receive(shell_); m && m->parent == id) {
                    replied = true;
                    language_info = m->content.attr("get")("language_info");
                }
            if (events.contains(iopub_))
                if (auto m = receive(iopub_); m && m->parent == id) published = true;
        }
        if (replied && published) break;
    }
    ready_ = true;
    if (timeout_ > 0) {
        nb::dict settings;
        settings["timeout"] = timeout_;
        call("configure", text_of(json().attr("dumps")(settings)));
    }
}

void Engine::reset() {
    call("prepare", "{\"reset\": true}");
    holds.clear();
}

std::optional<std::string> Engine::evaluate(const std::string& expression) {
    nb::object answer = expression_value(expression);
    if (text_of(answer["status"]) != "ok") return std::nullopt;
    return text_of(answer["data"]["text/plain"]);
}

nb::object Engine::call(const char* function, const std::string& request) {
    nb::object answer = expression_value(std::string(kHelper) + function + "(" + literal(request) + ")");
    if (text_of(answer["status"]) != "ok")
        throw std::runtime_error(std::string("the engine's ") + function + " failed: " +
                                 text_of(answer.attr("get")("ename")) + ": " + text_of(answer.attr("get")("evalue")));
    return json().attr("loads")(answer["data"]["text/plain"]);
}

// A user expression evaluated in the namespace by a silent request: its result as the kernel
// reports it ({"status", "data"} or {"status", "ename", "evalue"}).
nb::object Engine::expression_value(const std::string& expression) {
    ready();
    nb::dict expressions;
    expressions["r"] = from_utf8(expression);
    std::string id = send(shell_, "execute_request", execute_request("", false, expressions));
    while (true) {
        nb::dict events = polled(poller_, 100);
        if (events.contains(iopub_)) receive(iopub_);  // its busy and idle states
        if (events.contains(shell_)) {
            auto m = receive(shell_);
            if (!m || m->parent != id) continue;
            nb::object answer = m->content.attr("get")("user_expressions", nb::dict()).attr("get")("r");
            if (answer.is_none()) throw std::runtime_error("the kernel gave no answer to the runner's request");
            return answer;
        }
        if (!alive()) throw std::runtime_error("the kernel died: " + death());
    }
}

Execution Engine::execute(const std::string& code, int count, nb::handle events, const std::string& after) {
    ready();
    if (count != next_count_) {
        nb::dict request;
        request["count"] = count;
        call("prepare", text_of(json().attr("dumps")(request)));
    }
    nb::dict expressions;
    if (!after.empty()) expressions["trelvo"] = from_utf8(std::string(kHelper) + "after_cell(" + literal(after) + ")");
    std::string id = send(shell_, "execute_request", execute_request(code, true, expressions));
    auto began = std::chrono::steady_clock::now();
    nb::object output_event = imported("trelvo_core.cli.outputs").attr("output_event");
    nb::list sink = nb::borrow<nb::list>(events);
    Execution result;
    nb::object reply;
    bool idle = false;
    while (!(reply.is_valid() && idle)) {
        nb::dict ready_sockets = polled(poller_, 100);
        if (ready_sockets.contains(iopub_)) {
            auto m = receive(iopub_);
            if (m && m->parent == id) {
                if (m->type == "status") {
                    idle = text_of(m->content["execution_state"]) == "idle";
                    result.timing[idle ? "iopub.status.idle" : "iopub.status.busy"] = m->date;
                } else if (m->type == "execute_input") {
                    result.timing["iopub.execute_input"] = m->date;
                } else if (nb::object e = output_event(from_utf8(m->type), m->content); !e.is_none()) {
                    sink.append(e);
                }
            }
        }
        if (ready_sockets.contains(shell_)) {
            auto m = receive(shell_);
            if (m && m->parent == id) {
                reply = m->content;
                result.timing["shell.execute_reply"] = m->date;
            }
        }
        if (reply.is_valid() && idle) break;
        if (!alive()) {
            result.outcome = Execution::died;
            result.reason = "the process running it died: " + death();
            ready_ = false;
            return result;
        }
        if (timeout_ > 0 && seconds_since(began) > timeout_ + kGraceSeconds) {
            process_.attr("kill")();
            process_.attr("wait")();
            char text[96];
            std::snprintf(text, sizeof text, "the cell was stopped: it ran longer than the %g s timeout",
                          timeout_);
            result.outcome = Execution::timed_out;
            result.reason = text;
            ready_ = false;
            return result;
        }
    }
    next_count_ = count + 1;
    std::string status = text_of(reply["status"]);
    if (status == "ok") {
        result.outcome = Execution::ok;
    } else {
        result.outcome = Execution::error;
        nb::object ename = reply.attr("get")("ename", nb::str("Error")), evalue = reply.attr("get")("evalue", nb::str(""));
        std::string value = text_of(evalue);
        value = value.substr(0, value.find('\n'));
        result.reason = status == "aborted" ? "the kernel aborted it" : text_of(ename) + (value.empty() ? "" : ": " + value);
    }
    nb::object answer = reply.attr("get")("user_expressions", nb::dict()).attr("get")("trelvo");
    if (!answer.is_none() && text_of(answer["status"]) == "ok")
        result.answer = json().attr("loads")(answer["data"]["text/plain"]);
    return result;
}

}  // namespace trelvo::cli::runner

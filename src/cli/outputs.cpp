// A cell's run as the outputs Jupyter writes into a notebook. A run is first a list of events
// (what the cell printed and displayed, clear requests, display updates, its result or its
// error), which is what the run cache keeps; the notebook's outputs are then assembled from the
// events of all cells in notebook order, as a notebook client applies the kernel's messages:
// consecutive chunks of one stream merged, clear requests and display updates applied, also an
// update from a later cell of a display shown by an earlier one.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"
#include "text.hpp"

#include <map>
#include <string>
#include <vector>

namespace trelvo::cli::outputs {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

nb::object item(nb::handle mapping, const char* key) {
    PyObject* value = PyDict_GetItemString(mapping.ptr(), key);
    return value ? nb::borrow(value) : nb::none();
}

std::string text_of(nb::handle value) { return value.is_none() ? std::string() : utf8(nb::str(value)); }

// Display metadata as the cell gave it: without the component keys the capture merged in.
nb::dict own_metadata(nb::handle metadata, nb::dict component) {
    nb::dict result;
    if (metadata.is_none()) return result;
    for (auto [key, value] : nb::borrow<nb::dict>(metadata)) {
        nb::object merged = item(component, utf8(nb::str(key)).c_str());
        if (!merged.is_none() && merged.equal(value)) continue;
        result[key] = value;
    }
    return result;
}

// dict(mapping): a copy the notebook owns.
nb::dict copy_dict(nb::handle mapping) {
    PyObject* copy = PyObject_CallOneArg((PyObject*)&PyDict_Type, mapping.ptr());
    if (!copy) throw nb::python_error();
    return nb::steal<nb::dict>(copy);
}

nb::dict event(const char* output_type) {
    nb::dict e;
    e["output_type"] = output_type;
    return e;
}

nb::object record_events(const Args& a) {
    nb::list records = arg_list(a[0], "captured");
    nb::dict component = arg_dict(a[1], "component_metadata");
    nb::list events;
    for (nb::handle record : records) {
        std::string type = text_of(record.attr("type"));
        if (type == "stream") {
            nb::dict e = event("stream");
            e["name"] = text_of(record.attr("name")).find("stderr") != std::string::npos ? "stderr" : "stdout";
            e["text"] = record.attr("text").is_none() ? nb::str("") : nb::str(record.attr("text"));
            events.append(e);
        } else if (type == "display_data" || type == "execute_result") {
            bool update = arg_bool(record.attr("update"));
            nb::dict e = event(update ? "update_display_data" : "display_data");
            e["data"] = record.attr("data").is_none() ? nb::dict() : copy_dict(record.attr("data"));
            e["metadata"] = own_metadata(record.attr("metadata"), component);
            nb::object transient = record.attr("transient");
            if (!transient.is_none() && nb::len(transient)) e["transient"] = copy_dict(transient);
            events.append(e);
        } else if (type == "clear_output") {
            nb::dict e = event("clear_output");
            e["wait"] = nb::bool_(arg_bool(record.attr("wait")));
            events.append(e);
        }
    }
    return events;
}

// The value of the cell's last expression as Jupyter shows it, as events: what formatting it
// displays (an object with _ipython_display_ shows itself), then its execute_result; nothing for
// None or a trailing semicolon.
nb::object result_events(const Args& a) {
    nb::handle shell = a[0], value = a[1];
    nb::str code = arg_str(a[2], "code");
    nb::list events;
    if (value.is_none() ||
        arg_bool(scope->get("DisplayHook").attr("semicolon_at_end_of_expression")(
            scope->get("TransformerManager")().attr("transform_cell")(code))))
        return events;  // the cell ran, so its code tokenizes
    nb::list captured;
    nb::object pellory = scope->get("TrelvoPellory")(nb::arg("ipython_shell") = shell);
    pellory.attr("wrap_methods")(captured, nb::arg("send_to_front") = false, nb::arg("verbose") = false);
    nb::object formatted;
    try {
        formatted = shell.attr("display_formatter").attr("format")(value);
    } catch (...) {
        pellory.attr("unwrap_methods")();
        throw;
    }
    pellory.attr("unwrap_methods")();
    for (nb::handle e : scope->get("record_events")(captured, nb::dict())) events.append(e);
    nb::object data = nb::tuple(formatted)[0];
    if (nb::len(data)) {
        nb::dict e = event("execute_result");
        e["data"] = data;
        e["metadata"] = nb::tuple(formatted)[1];
        events.append(e);
    }
    return events;
}

// An error output from the structured traceback: its last entry names the exception and its
// text ("ValueError: bad", or just the name when there is no text).
nb::object error_event(const Args& a) {
    nb::list traceback = arg_list(a[0], "traceback");
    std::size_t size = nb::len(traceback);
    std::string last = size ? core::strip_ansi(utf8(nb::str(traceback[size - 1]))) : "";
    while (!last.empty() && (last.back() == '\n' || last.back() == ' ')) last.pop_back();
    if (!last.empty() && last.back() == ':') last.pop_back();  // "KeyboardInterrupt: "
    std::size_t colon = last.find(": ");
    nb::dict e = event("error");
    e["ename"] = from_utf8(colon == std::string::npos ? last : last.substr(0, colon));
    e["evalue"] = from_utf8(colon == std::string::npos ? "" : last.substr(colon + 2));
    e["traceback"] = traceback;
    return e;
}

// ---- assembling the notebook's outputs ---------------------------------------------------

struct DisplaySlot {
    std::size_t cell, output;
};

class Assembler {
public:
    explicit Assembler(std::size_t cells) : outputs_(cells) {}

    void cell(std::size_t index, nb::handle events, nb::handle execution_count) {
        outputs_[index] = nb::list();
        bool clear_before_next = false;
        for (nb::handle e : events) {
            std::string type = text_of(item(e, "output_type"));
            std::string display_id = display_id_of(e);
            if (type == "clear_output") {
                if (arg_bool(item(e, "wait"))) {
                    clear_before_next = true;
                } else {
                    clear(index);
                }
                continue;
            }
            if (!display_id.empty()) update(display_id, e);
            if (type == "update_display_data") continue;
            if (clear_before_next) {
                clear(index);
                clear_before_next = false;
            }
            append(index, e, type, display_id, execution_count);
        }
    }

    nb::list result() const {
        nb::list cells;
        for (const nb::object& outputs : outputs_) cells.append(outputs.is_valid() ? outputs : nb::none());
        return cells;
    }

private:
    std::vector<nb::object> outputs_;
    std::map<std::string, std::vector<DisplaySlot>> displays_;

    static std::string display_id_of(nb::handle e) {
        nb::object transient = item(e, "transient");
        if (transient.is_none() || !PyDict_Check(transient.ptr())) return "";
        return text_of(item(transient, "display_id"));
    }

    void clear(std::size_t index) {
        nb::borrow<nb::list>(outputs_[index]).attr("clear")();
        for (auto& [id, slots] : displays_)
            std::erase_if(slots, [&](const DisplaySlot& slot) { return slot.cell == index; });
    }

    void update(const std::string& display_id, nb::handle e) {
        auto found = displays_.find(display_id);
        if (found == displays_.end()) return;
        for (const DisplaySlot& slot : found->second) {
            nb::object output = nb::borrow<nb::list>(outputs_[slot.cell])[slot.output];
            output["data"] = item(e, "data");
            output["metadata"] = item(e, "metadata");
        }
    }

    void append(std::size_t index, nb::handle e, const std::string& type,
                const std::string& display_id, nb::handle execution_count) {
        nb::list outputs = nb::borrow<nb::list>(outputs_[index]);
        std::size_t size = nb::len(outputs);
        if (type == "stream" && size) {
            nb::object last = outputs[size - 1];
            if (text_of(item(last, "output_type")) == "stream" &&
                item(last, "name").equal(item(e, "name"))) {
                last["text"] = nb::str(last["text"]) + nb::str(item(e, "text"));
                return;
            }
        }
        nb::dict output;
        for (auto [key, value] : nb::borrow<nb::dict>(e))
            if (utf8(key) != "transient") output[key] = value;
        if (type == "display_data" || type == "execute_result")
            output["metadata"] = item(e, "metadata").is_none() ? nb::dict() : item(e, "metadata");
        if (type == "execute_result") output["execution_count"] = execution_count;
        if (!display_id.empty()) displays_[display_id].push_back({index, size});
        outputs.append(output);
    }
};

nb::object assemble(const Args& a) {
    nb::list events = arg_list(a[0], "events");
    nb::list counts = arg_list(a[1], "execution_counts");
    if (nb::len(counts) != nb::len(events))
        raise(PyExc_ValueError, "events and execution_counts differ in length");
    Assembler assembler(nb::len(events));
    for (std::size_t i = 0; i < nb::len(events); ++i)
        if (!events[i].is_none()) assembler.cell(i, events[i], counts[i]);
    return assembler.result();
}

}  // namespace
}  // namespace trelvo::cli::outputs

NB_MODULE(outputs, m) {
    using namespace trelvo::cli::outputs;
    using namespace trelvo::py;
    scope = new Scope(m);
    scope->import_from("IPython.core.displayhook", {"DisplayHook"});
    scope->import_from("IPython.core.inputtransformer2", {"TransformerManager"});
    scope->import_from("trelvo_core.capture", {"TrelvoPellory"});
    define_function(*scope, "record_events", {arg("captured", "list"), arg("component_metadata", "dict")},
                    "List[Dict[str, Any]]", record_events,
                    "A run's captured records as output events, without the component keys the "
                    "capture merged into display metadata.");
    define_function(*scope, "result_events", {arg("shell"), arg("value"), arg("code", "str")},
                    "List[Dict[str, Any]]", result_events,
                    "The events of a cell's last value: what formatting it displays, then its "
                    "execute_result; none when Jupyter shows none.");
    define_function(*scope, "error_event", {arg("traceback", "list")}, "Dict[str, Any]",
                    error_event, "The error output of a structured traceback.");
    define_function(*scope, "assemble", {arg("events", "list"), arg("execution_counts", "list")},
                    "List[Optional[List[Dict[str, Any]]]]", assemble,
                    "Each cell's notebook outputs from the events of all cells, in notebook "
                    "order; None for a cell without events.");
}

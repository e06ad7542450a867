// A run's output events as the outputs Jupyter writes into a notebook. The events of a cell are
// the kernel's output messages for it (streams, displays, results, errors, clear requests, display
// updates), which is what the run cache keeps; the notebook's outputs are assembled from the
// events of all cells in notebook order, as a notebook client applies the kernel's messages:
// consecutive chunks of one stream merged, clear requests and display updates applied, also an
// update from a later cell of a display shown by an earlier one.
#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

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
                if (arg_bool(item(e, "wait")))
                    clear_before_next = true;
                else
                    clear(index);
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
        join_streams(index);
    }

    nb::list result() const {
        nb::list cells;
        for (const nb::object& outputs : outputs_) cells.append(outputs.is_valid() ? outputs : nb::none());
        return cells;
    }

private:
    std::vector<nb::object> outputs_;
    std::map<std::string, std::vector<DisplaySlot>> displays_;
    // The chunks of the cell's stream outputs, joined once the cell is done: a cell printing a
    // million lines arrives in many chunks.
    std::map<std::size_t, nb::list> chunks_;

    static std::string display_id_of(nb::handle e) {
        nb::object transient = item(e, "transient");
        if (transient.is_none() || !PyDict_Check(transient.ptr())) return "";
        return text_of(item(transient, "display_id"));
    }

    void clear(std::size_t index) {
        nb::borrow<nb::list>(outputs_[index]).attr("clear")();
        chunks_.clear();
        for (auto& [id, slots] : displays_)
            std::erase_if(slots, [&](const DisplaySlot& slot) { return slot.cell == index; });
    }

    void join_streams(std::size_t index) {
        nb::list outputs = nb::borrow<nb::list>(outputs_[index]);
        for (auto& [position, pieces] : chunks_) outputs[position]["text"] = nb::str("").attr("join")(pieces);
        chunks_.clear();
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

    void append(std::size_t index, nb::handle e, const std::string& type, const std::string& display_id,
                nb::handle execution_count) {
        nb::list outputs = nb::borrow<nb::list>(outputs_[index]);
        std::size_t size = nb::len(outputs);
        if (type == "stream" && size) {
            nb::object last = outputs[size - 1];
            if (text_of(item(last, "output_type")) == "stream" && item(last, "name").equal(item(e, "name"))) {
                auto [pieces, fresh] = chunks_.try_emplace(size - 1);
                if (fresh) pieces->second.append(last["text"]);
                pieces->second.append(item(e, "text"));
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
    if (nb::len(counts) != nb::len(events)) raise(PyExc_ValueError, "events and execution_counts differ in length");
    Assembler assembler(nb::len(events));
    for (std::size_t i = 0; i < nb::len(events); ++i)
        if (!events[i].is_none()) assembler.cell(i, events[i], counts[i]);
    return assembler.result();
}

// An output event from a kernel's IOPub message, as nbformat makes an output of it; None for
// messages that are not outputs.
nb::object output_event(const Args& a) {
    std::string type = utf8(arg_str(a[0], "msg_type"));
    nb::dict content = arg_dict(a[1], "content");
    nb::dict e;
    e["output_type"] = a[0];
    if (type == "stream") {
        e["name"] = item(content, "name");
        e["text"] = item(content, "text");
    } else if (type == "display_data" || type == "update_display_data" || type == "execute_result") {
        e["data"] = item(content, "data");
        e["metadata"] = item(content, "metadata");
        nb::object transient = item(content, "transient");
        if (!transient.is_none()) e["transient"] = transient;
        if (type == "execute_result") e["execution_count"] = item(content, "execution_count");
    } else if (type == "error") {
        e["ename"] = item(content, "ename");
        e["evalue"] = item(content, "evalue");
        e["traceback"] = item(content, "traceback");
    } else if (type == "clear_output") {
        e["wait"] = nb::bool_(arg_bool(item(content, "wait")));
    } else {
        return nb::none();
    }
    return e;
}

}  // namespace
}  // namespace trelvo::cli::outputs

NB_MODULE(outputs, m) {
    using namespace trelvo::cli::outputs;
    using namespace trelvo::py;
    scope = new Scope(m);
    define_function(*scope, "output_event", {arg("msg_type", "str"), arg("content", "dict")},
                    "Optional[Dict[str, Any]]", output_event,
                    "The output event of a kernel's IOPub message; None for messages that are not "
                    "outputs.");
    define_function(*scope, "assemble", {arg("events", "list"), arg("execution_counts", "list")},
                    "List[Optional[List[Dict[str, Any]]]]", assemble,
                    "Each cell's notebook outputs from the events of all cells, in notebook order; "
                    "None for a cell without events.");
}

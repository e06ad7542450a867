// TrelvoPellory: captures what a component's run writes, displays, clears and logs, by
// replacing six callables of the process while capture contexts are open.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"
#include "model_template.hpp"
#include "strings.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

namespace trelvo::capture::pellory {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// Interned names used on every captured write.
struct Names {
    nb::str captured = intern("captured"), metadata = intern("metadata"),
            verbose = intern("verbose"), send_to_front = intern("send_to_front"),
            logger = intern("logger"), info = intern("info"), name = intern("name"),
            get = intern("get"), stdout_write = intern("_stdout_write"),
            own_metadata = intern("_metadata"), captured_list = intern("_captured_list"),
            send_to_front_list = intern("_send_to_front_list"),
            verbose_list = intern("_verbose_list"),
            stderr_write = intern("_stderr_write"), display_publish = intern("_display_publish"),
            clear_output = intern("_clear_output"), text_io_wrapper = intern("TextIOWrapper"),
            out_stream = intern("OutStream"), captured_model = intern("TrelvoCapturedModel"),
            stderr = intern("stderr"), stdout = intern("stdout"), stream = intern("stream"),
            display_data = intern("display_data"), clear = intern("clear_output"),
            component_name = intern("component_name"), newline = intern("\n"),
            stdout_mime = intern("application/vnd.jupyter.stdout"),
            stderr_mime = intern("application/vnd.jupyter.stderr"),
            flush_streams = intern("_flush_streams"), self_ = intern("__self__"),
            own_logger = intern("_logger"), own_stdout = intern("_stdout"),
            own_stderr = intern("_stderr"), own_shell = intern("_ipython_shell"),
            logging_info = intern("_logging_info"), logging_error = intern("_logging_error"),
            gc_threshold = intern("_gc_threshold"), write = intern("write"),
            error = intern("error"), publish = intern("publish"),
            display_pub = intern("display_pub"), sys = intern("sys"), gc = intern("gc"),
            get_threshold = intern("get_threshold"), set_threshold = intern("set_threshold"),
            store_context = intern("store_context"), remove_context = intern("remove_context"),
            is_unwrapped = intern("is_unwrapped"),
            has_remaining_context = intern("has_remaining_context"),
            replacement_methods = intern("_replacement_methods"),
            publisher_methods = intern("_publisher_methods");
    nb::tuple display_record = keyword_names({"type", "data", "metadata", "transient", "update"});
    nb::tuple clear_record = keyword_names({"type", "wait"});
    nb::tuple publish_call = keyword_names({"data", "metadata", "transient", "update"});
    nb::tuple clear_call = keyword_names({"wait"});
};
const Names* names = nullptr;

bool truth(nb::handle value) { return arg_bool(value); }

bool is_zmq_shell(nb::handle shell) {
    return truth(scope->get("is_zmq_ipython_shell")(shell));
}

// ---- the replacements installed by wrap_methods ----

// An attribute of the manager, read from its instance dict when it is there: the replacements
// run on every write while capturing, so they skip the property machinery.
nb::object own(nb::handle self, nb::handle key) {
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    if (dict && *dict) {
        PyObject* value = PyDict_GetItemWithError(*dict, key.ptr());
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return self.attr(key);
}

nb::object innermost(nb::handle self, nb::handle stack_name) {
    nb::object stack = own(self, stack_name);
    Py_ssize_t size = PyObject_Length(stack.ptr());
    if (size < 0) throw nb::python_error();
    if (size == 0) raise(PyExc_IndexError, "list index out of range");
    return stack[size - 1];
}

// The innermost context: where records go and what happens to the output.
struct Context {
    nb::object captured;
    bool send_to_front;
    bool verbose;
};

Context innermost_context(nb::handle self) {
    nb::object captured = innermost(self, names->captured_list);
    check_result(captured, &PyList_Type);
    return {captured, truth(innermost(self, names->send_to_front_list)),
            truth(innermost(self, names->verbose_list))};
}

nb::object manager_metadata(nb::handle self) {
    nb::object metadata = own(self, names->own_metadata);
    check_result(metadata, &PyDict_Type);
    return metadata;
}

void append(const Context& context, nb::handle record) {
    if (PyList_Append(context.captured.ptr(), record.ptr()) < 0) throw nb::python_error();
}

nb::object echo_log_lines(const Args& a, const char* writer) {
    nb::handle self = a.closure();
    nb::str string = arg_str(a[1], "string");
    if (string.equal(names->newline)) return nb::none();
    nb::object component_name = nb::none();
    nb::object metadata = manager_metadata(self);
    if (!metadata.is_none()) {
        component_name = metadata.attr(names->get)(names->component_name, nb::none());
        check_result(component_name, &PyUnicode_Type);
    }
    nb::object write = own(self, nb::str(writer));
    nb::object prefix = nb::str("[TrelvoComponentName={}] ").format(component_name);
    for (nb::handle line : string.attr("split")(nb::arg("sep") = "\n"))
        write(nb::str("{}{}\n").format(prefix, line));
    return nb::none();
}

nb::object logging_info(const Args& a) { return echo_log_lines(a, "_stdout_write"); }
nb::object logging_error(const Args& a) { return echo_log_lines(a, "_stderr_write"); }

// What a text stream accepts: a str, of any subclass, kept as the exact str it holds.
nb::str written_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow<nb::str>(value);
    if (!PyUnicode_Check(value.ptr())) return arg_str(value, "string");  // the usual TypeError
    PyObject* exact = PyUnicode_FromObject(value.ptr());
    if (!exact) throw nb::python_error();
    return nb::steal<nb::str>(exact);
}

// The text as the front end can take it: a lone surrogate (from a file name that is not UTF-8)
// cannot be sent in a message, so the copies that go out carry U+FFFD in its place; the record
// keeps the text as written.
nb::str sendable(nb::str text) {
    if (PyUnicode_MAX_CHAR_VALUE(text.ptr()) < 0xD800) return text;  // the usual case: nothing to scan
    Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    bool surrogates = false;
    for (Py_ssize_t i = 0; i < size && !surrogates; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        surrogates = c >= 0xD800 && c <= 0xDFFF;
    }
    if (!surrogates) return text;
    PyObject* copy = PyUnicode_New(size, 0x10FFFF);
    if (!copy) throw nb::python_error();
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        PyUnicode_WRITE(PyUnicode_KIND(copy), PyUnicode_DATA(copy), i, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
    }
    return nb::steal<nb::str>(copy);
}

nb::object no_flush(const Args&) { return nb::none(); }

// The publisher of a bound publish method without its stream flush, for the span of the scope.
class WithoutStreamFlush {
public:
    explicit WithoutStreamFlush(nb::handle publish) {
        PyObject* publisher = PyObject_GetAttr(publish.ptr(), names->self_.ptr());
        if (!publisher) {
            PyErr_Clear();
            return;
        }
        publisher_ = nb::steal(publisher);
        if (PyObject_SetAttr(publisher, names->flush_streams.ptr(), scope->get("_no_flush").ptr()) < 0) {
            PyErr_Clear();
            publisher_ = nb::object();
        }
    }
    ~WithoutStreamFlush() {
        if (publisher_.is_valid() && PyObject_DelAttr(publisher_.ptr(), names->flush_streams.ptr()) < 0)
            PyErr_Clear();
    }

private:
    nb::object publisher_;
};

// ---- forwarded stream text ----------------------------------------------------------------
// The front end receives stream text also as display data of the stream's MIME type, with the
// manager's metadata. Consecutive writes to one stream go out as one display: on the next other
// output (another stream, a display, a clear request), when the capture ends, and otherwise at
// most kForwardDelay after the first of them, so a long silence does not hold text back. The
// text, its order among the outputs and the metadata are those of the writes; only the number of
// messages is smaller (one per write was most of a printing cell's time).
constexpr double kForwardDelay = 0.05;

struct PendingForward {
    nb::object publish, metadata, timer;
    nb::str mime;
    nb::list texts;
    long batch = 0;
};

std::mutex forwarding;  // held from taking a batch to its message being sent: batches stay in order
std::map<PyObject*, PendingForward> pending_forwards;  // by manager
long next_batch = 0;
long batches_being_sent = 0;  // like pending_forwards, changed only under the GIL

struct Sending {
    Sending() { ++batches_being_sent; }
    ~Sending() { --batches_being_sent; }
};

// Sends the manager's pending text, if any (and, when batch is given, only that batch).
void flush_forward(nb::handle self, long batch = -1) {
    // Nothing to send and nothing on its way: no need to wait for the lock, which means letting
    // go of the GIL (every capture starts and ends here).
    if (batches_being_sent == 0 && pending_forwards.find(self.ptr()) == pending_forwards.end())
        return;
    {
        nb::gil_scoped_release unlocked;
        forwarding.lock();
    }
    std::unique_lock lock(forwarding, std::adopt_lock);
    auto found = pending_forwards.find(self.ptr());
    if (found == pending_forwards.end() || (batch >= 0 && found->second.batch != batch)) return;
    PendingForward pending = std::move(found->second);
    pending_forwards.erase(found);
    Sending sending;
    if (pending.timer.is_valid()) pending.timer.attr("cancel")();
    nb::dict data;
    data[pending.mime] = nb::str("").attr("join")(pending.texts);
    WithoutStreamFlush no_flush(pending.publish);
    call_with_keywords(pending.publish, {data, pending.metadata, nb::dict(), Py_False},
                       names->publish_call);
}

// The timer's side of forwarding. A thread of the capture must never write into what it captures:
// a failure to send is dropped here, where threading would print it to the captured stderr.
nb::object flush_forward_later(const Args& a) {
    nb::handle closure = a.closure();  // (manager, batch)
    if (!translate_exceptions([&] { flush_forward(closure[0], nb::cast<long>(closure[1])); })) PyErr_Clear();
    return nb::none();
}

nb::handle flush_forward_function;

void forward(nb::handle self, nb::handle publish, nb::str mime, nb::str text) {
    auto found = pending_forwards.find(self.ptr());
    if (found != pending_forwards.end() && !found->second.mime.equal(mime)) {
        flush_forward(self);
        found = pending_forwards.end();
    }
    if (found == pending_forwards.end()) {
        PendingForward pending;
        pending.publish = nb::borrow(publish);
        pending.metadata = manager_metadata(self);
        pending.mime = mime;
        pending.batch = next_batch++;
        pending.timer = scope->get("Timer")(kForwardDelay, make_closure(flush_forward_function,
                                                                        nb::make_tuple(self, pending.batch)));
        pending.timer.attr("daemon") = true;
        found = pending_forwards.emplace(self.ptr(), std::move(pending)).first;
        found->second.texts.append(text);
        found->second.timer.attr("start")();
        return;
    }
    found->second.texts.append(text);
}

// Stream records are made on every write: from a template of the model, which gives the same
// record as the model's validation of these plain str values, in a fraction of its time.
const ModelTemplate* stream_records = nullptr;

nb::object stream_record(nb::handle stream_name, nb::handle text) {
    return stream_records->make({names->stream, stream_name, text});
}

nb::object stream_write(const Args& a) {
    nb::handle self = a.closure();
    nb::handle stream = a[0];
    nb::str string = written_text(a[1]);
    Context context = innermost_context(self);
    if (context.verbose && !string.equal(names->newline))
        self.attr(names->logger).attr(names->info)(string);

    bool to_stderr = false;
    if (nb::isinstance(stream, scope->get(names->text_io_wrapper)) ||
        nb::isinstance(stream, scope->get(names->out_stream))) {
        // A text stream over a buffer has no name, one opened on a descriptor an int name.
        nb::object name = nb::getattr(stream, names->name, nb::none());
        to_stderr = PyUnicode_Check(name.ptr()) &&
                    PyUnicode_Find(name.ptr(), names->stderr.ptr(), 0, PY_SSIZE_T_MAX, 1) >= 0;
    }
    append(context, stream_record(to_stderr ? names->stderr : names->stdout, string));

    if (context.send_to_front) {
        nb::str sent = sendable(string);
        nb::object publish = own(self, names->display_publish);
        if (!publish.is_none()) {
            forward(self, publish, to_stderr ? names->stderr_mime : names->stdout_mime, sent);
        }
        own(self, to_stderr ? names->stderr_write : names->stdout_write)(sent);
    }
    return nb::int_(PyUnicode_GET_LENGTH(string.ptr()));
}

nb::object display_publish(const Args& a) {
    nb::handle self = a.closure();
    flush_forward(self);
    nb::dict data = arg_dict(a[1], "data");
    check_arg(a[2], "metadata", &PyDict_Type, true);
    check_arg(a[3], "transient", &PyDict_Type, true);
    bool update = truth(a[4]);
    // IPython's publish_display_data passes metadata=None: merge into a new dict then.
    nb::object metadata = a[2].is_none() ? nb::object(nb::dict()) : nb::borrow(a[2]);
    Context context = innermost_context(self);
    nb::object own_metadata = manager_metadata(self);
    if (!own_metadata.is_none()) metadata.attr("update")(own_metadata);
    nb::object record = call_with_keywords(
        scope->get(names->captured_model),
        {names->display_data, data, metadata, a[3], update ? Py_True : Py_False},
        names->display_record);
    append(context, record);
    nb::object publish = own(self, names->display_publish);
    if (context.send_to_front && !publish.is_none())
        // By keyword: ipykernel 7 takes transient and update by keyword only.
        call_with_keywords(publish, {data, metadata, a[3], update ? Py_True : Py_False},
                           names->publish_call);
    return nb::none();
}

nb::object clear_output(const Args& a) {
    nb::handle self = a.closure();
    flush_forward(self);
    nb::handle wait = truth(a[1]) ? Py_True : Py_False;
    Context context = innermost_context(self);
    nb::object record = call_with_keywords(scope->get(names->captured_model),
                                           {names->clear, wait}, names->clear_record);
    append(context, record);
    nb::object clear = own(self, names->clear_output);
    if (context.send_to_front && !clear.is_none())
        call_with_keywords(clear, {wait}, names->clear_call);
    return nb::none();
}

// The replacements' templates; wrap_methods makes closures of them over the manager.
struct Replacements {
    nb::object logging_info, logging_error, stream_write, display_publish, clear_output;
};
const Replacements* replacements = nullptr;

nb::object replacement(const char* name, std::vector<Param> params, const char* returns,
                       Body body) {
    std::string qualname = std::string("TrelvoPellory.wrap_methods.<locals>.") + name;
    return make_function({name, qualname, scope->name(), "", std::move(params), returns,
                          std::move(body)});
}

std::vector<Param> writer_params(const char* target_annotation) {
    return {arg("stream", target_annotation), arg("string", "str")};
}

const Replacements* make_replacements() {
    nb::object none = nb::none(), no = nb::bool_(false);
    return new Replacements{
        replacement("_logging_info", writer_params("OutStream"), "None", logging_info),
        replacement("_logging_error", writer_params("OutStream"), "None", logging_error),
        replacement("_stream_write",
                    writer_params("Union[TextIOWrapper, OutStream, LoggingProxy]"), "int",
                    stream_write),
        replacement("_display_publish",
                    {arg("publisher", "ZMQDisplayPublisher"), arg("data", "Dict[str, Any]"),
                     opt("metadata", none, "Optional[Dict[str, Any]]"),
                     opt("transient", none, "Optional[Dict[str, Any]]"),
                     opt("update", no, "bool")},
                    "None", display_publish),
        replacement("_clear_output",
                    {arg("publisher", "ZMQDisplayPublisher"), opt("wait", no, "bool")}, "None",
                    clear_output),
    };
}

// ---- installing and restoring ----

nb::object bind(nb::handle function, nb::handle target) {
    PyObject* method = PyMethod_New(function.ptr(), target.ptr());
    if (!method) throw nb::python_error();
    return nb::steal(method);
}

// Puts a saved callable back. When it is just the target's own method, the instance attribute
// that shadowed it goes again, so the object is left exactly as it was.
void restore(nb::handle target, nb::handle key, nb::handle saved) {
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(target.ptr()), key.ptr());  // borrowed
    bool own_method = false;
    if (descriptor && PyMethod_Check(saved.ptr())) {
        own_method = PyMethod_GET_SELF(saved.ptr()) == target.ptr() &&
                     PyMethod_GET_FUNCTION(saved.ptr()) == descriptor;
    } else if (descriptor && Py_TYPE(descriptor)->tp_descr_get) {
        nb::object bound = nb::steal(Py_TYPE(descriptor)->tp_descr_get(
            descriptor, target.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(target.ptr()))));
        if (!bound.is_valid()) throw nb::python_error();
        own_method = bound.equal(saved);
    }
    PyObject** dict = _PyObject_GetDictPtr(target.ptr());
    bool shadowed = dict && *dict && PyDict_Contains(*dict, key.ptr()) == 1;
    if (own_method && shadowed) {
        nb::delattr(target, key);
    } else {
        nb::setattr(target, key, saved);
    }
}

// logging hands out one logger per name for the life of the process: asked once.
nb::object own_logger() {
    static PyObject* logger = nullptr;
    if (!logger) {
        logger = scope->get("logging").attr("getLogger")(
            nb::arg("name") = nb::str("{}.TrelvoPellory").format(scope->get("__name__"))).release().ptr();
    }
    return nb::borrow(logger);
}

nb::object init(const Args& a) {
    nb::handle self = a[0];
    check_arg(a[1], "metadata", &PyDict_Type, true);
    nb::object logger = own_logger();
    nb::object sys = scope->get(names->sys);
    nb::object out = sys.attr(names->stdout), err = sys.attr(names->stderr);
    nb::object none = nb::none(), publish = none, clear = none;
    if (is_zmq_shell(a[2])) {
        nb::object publisher = a[2].attr(names->display_pub);
        publish = publisher.attr(names->publish);
        clear = publisher.attr(names->clear);
    }
    const std::pair<const nb::str&, nb::object> attributes[] = {
        {names->own_metadata, nb::borrow(a[1])},
        {names->own_shell, nb::borrow(a[2])},
        {names->captured_list, nb::list()},
        {names->send_to_front_list, nb::list()},
        {names->verbose_list, nb::list()},
        {names->own_logger, logger},
        {names->logging_info, nb::object(logger.attr(names->info))},
        {names->logging_error, nb::object(logger.attr(names->error))},
        {names->own_stdout, out},
        {names->own_stderr, err},
        {names->stdout_write, nb::object(out.attr(names->write))},
        {names->stderr_write, nb::object(err.attr(names->write))},
        {names->display_publish, publish},
        {names->clear_output, clear},
        {names->gc_threshold, none},
        {names->replacement_methods, none},
        {names->publisher_methods, none},
    };
    for (const auto& [name, value] : attributes) nb::setattr(self, name, value);
    return nb::none();
}

void push(nb::handle self, nb::handle stack_name, nb::handle value) {
    nb::object stack = own(self, stack_name);
    if (PyList_CheckExact(stack.ptr())) {
        if (PyList_Append(stack.ptr(), value.ptr()) < 0) throw nb::python_error();
    } else {
        stack.attr("append")(value);
    }
}

void pop(nb::handle self, nb::handle stack_name) {
    nb::object stack = own(self, stack_name);
    Py_ssize_t size = PyList_CheckExact(stack.ptr()) ? PyList_GET_SIZE(stack.ptr()) : 0;
    if (size == 0) {  // not a list, or an empty one: its own pop, and its own error
        stack.attr("pop")();
    } else if (PyList_SetSlice(stack.ptr(), size - 1, size, nullptr) < 0) {
        throw nb::python_error();
    }
}

nb::object store_context(const Args& a) {
    nb::list captured = arg_list(a[1], "captured");
    push(a[0], names->captured_list, captured);
    push(a[0], names->send_to_front_list, nb::bool_(truth(a[2])));
    push(a[0], names->verbose_list, nb::bool_(truth(a[3])));
    return nb::none();
}

nb::object remove_context(const Args& a) {
    pop(a[0], names->captured_list);
    pop(a[0], names->send_to_front_list);
    pop(a[0], names->verbose_list);
    return nb::none();
}

// Every print makes two records that the cyclic collector tracks and that live as long as the
// capture: full collections then walk ever more of them, and the cost per line grows with the
// output. While capturing, a full collection waits for a thousand middle-generation ones (not
// ten), which keeps the cost flat and still collects in a long cell; the thresholds come back
// when the last context closes.
constexpr long kCapturingFullCollectionThreshold = 1000;

void hold_full_collections(nb::handle self) {
    nb::object gc = scope->get(names->gc);
    nb::object thresholds = gc.attr(names->get_threshold)();
    nb::setattr(self, names->gc_threshold, thresholds);
    long full = nb::cast<long>(thresholds[2]);
    gc.attr(names->set_threshold)(thresholds[0], thresholds[1],
                             std::max(full, kCapturingFullCollectionThreshold));
}

void release_full_collections(nb::handle self) {
    nb::object saved = own(self, names->gc_threshold);
    if (saved.is_none()) return;
    PyObject* result = PyObject_CallObject(scope->get(names->gc).attr(names->set_threshold).ptr(), saved.ptr());
    if (!result) throw nb::python_error();
    Py_DECREF(result);
    nb::setattr(self, names->gc_threshold, nb::none());
}

nb::object is_unwrapped(const Args& a);
nb::object has_remaining_context(const Args& a);

nb::handle manager_class;

// A manager of the class itself, without methods of its own: wrapping and unwrapping call the
// class's context methods and properties directly instead of looking them up each time.
bool plain_manager(nb::handle self) {
    if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(manager_class.ptr())) return false;
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    if (!dict || !*dict) return true;
    for (const nb::str* name : {&names->store_context, &names->remove_context}) {
        int own_method = PyDict_Contains(*dict, name->ptr());
        if (own_method < 0) throw nb::python_error();
        if (own_method) return false;
    }
    return true;
}

// The replacements bound to what they replace, made at a manager's first wrap and kept: a
// manager wrapped again (the engine keeps one per shell) binds nothing new.
nb::tuple replacement_methods(nb::handle self, nb::handle logger, nb::handle out, nb::handle err) {
    nb::object kept = own(self, names->replacement_methods);
    if (PyTuple_CheckExact(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 4) {
        bool bound_to_these = true;  // the saved objects may have been replaced since
        PyObject* targets[] = {logger.ptr(), logger.ptr(), out.ptr(), err.ptr()};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyObject* method = PyTuple_GET_ITEM(kept.ptr(), i);
            bound_to_these &= PyMethod_Check(method) && PyMethod_GET_SELF(method) == targets[i];
        }
        if (bound_to_these) return nb::borrow<nb::tuple>(kept);
    }
    nb::object stream_writer = make_closure(replacements->stream_write, self);
    nb::tuple methods = nb::make_tuple(bind(make_closure(replacements->logging_info, self), logger),
                                       bind(make_closure(replacements->logging_error, self), logger),
                                       bind(stream_writer, out), bind(stream_writer, err));
    nb::setattr(self, names->replacement_methods, methods);
    return methods;
}

// The same for the publisher's two methods: (publisher, publish, clear_output).
nb::tuple publisher_methods(nb::handle self, nb::handle publisher) {
    nb::object kept = own(self, names->publisher_methods);
    if (PyTuple_CheckExact(kept.ptr()) && nb::handle(kept[0]).is(publisher))
        return nb::borrow<nb::tuple>(kept);
    nb::tuple methods =
        nb::make_tuple(publisher, bind(make_closure(replacements->display_publish, self), publisher),
                       bind(make_closure(replacements->clear_output, self), publisher));
    nb::setattr(self, names->publisher_methods, methods);
    return methods;
}

nb::object wrap_methods(const Args& a) {
    nb::handle self = a[0];
    flush_forward(self);  // the text of the outer context goes first
    arg_list(a[1], "captured");
    bool plain = plain_manager(self);
    if (truth(plain ? is_unwrapped(a) : self.attr(names->is_unwrapped))) {
        hold_full_collections(self);
        nb::object logger = own(self, names->own_logger);
        // The streams whose write was saved, not whatever sys.stdout is by now: a cell may
        // replace it, and unwrapping must restore the object that was wrapped.
        nb::object out = own(self, names->own_stdout);
        nb::object err = own(self, names->own_stderr);
        nb::tuple methods = replacement_methods(self, logger, out, err);
        nb::setattr(logger, names->info, methods[0]);
        nb::setattr(logger, names->error, methods[1]);
        nb::setattr(out, names->write, methods[2]);
        nb::setattr(err, names->write, methods[3]);
        // A ZMQ shell's publisher was saved at construction; asking again costs every run.
        if (!own(self, names->display_publish).is_none()) {
            nb::object publisher = own(self, names->own_shell).attr(names->display_pub);
            nb::tuple methods = publisher_methods(self, publisher);
            nb::setattr(publisher, names->publish, methods[1]);
            nb::setattr(publisher, names->clear, methods[2]);
        }
    }
    if (plain) {
        store_context(a);
    } else {
        self.attr(names->store_context)(a[1], a[2], a[3]);
    }
    return nb::none();
}

nb::object unwrap_methods(const Args& a) {
    nb::handle self = a[0];
    flush_forward(self);
    bool plain = plain_manager(self);
    if (plain) {
        remove_context(a);
    } else {
        self.attr(names->remove_context)();
    }
    if (truth(plain ? has_remaining_context(a) : self.attr(names->has_remaining_context)))
        return nb::none();
    release_full_collections(self);
    nb::object logger = own(self, names->own_logger);
    restore(logger, names->info, own(self, names->logging_info));
    restore(logger, names->error, own(self, names->logging_error));
    restore(own(self, names->own_stdout), names->write, own(self, names->stdout_write));
    restore(own(self, names->own_stderr), names->write, own(self, names->stderr_write));
    nb::object publish = own(self, names->display_publish);
    if (!publish.is_none()) {
        nb::object publisher = own(self, names->own_shell).attr(names->display_pub);
        restore(publisher, names->publish, publish);
        restore(publisher, names->clear, own(self, names->clear_output));
    }
    return nb::none();
}

// ---- reuse ----

// Whether a manager made earlier may capture a new run in the shell as a new one would: it is
// idle, for this shell, and everything it saved when it was made (the streams and their write,
// the logger's methods, the publisher's) is what a new one would save now.
nb::object still_current(const Args& a) {
    nb::handle self = a[0], shell = a[1];
    nb::object captured = own(self, names->captured_list);
    if (!own(self, names->own_shell).is(shell) || !PyList_CheckExact(captured.ptr()) ||
        PyList_GET_SIZE(captured.ptr()) != 0)
        return nb::bool_(false);
    nb::object sys = scope->get(names->sys);
    for (auto [stream_name, stream, write] :
         {std::tuple{&names->stdout, &names->own_stdout, &names->stdout_write},
          std::tuple{&names->stderr, &names->own_stderr, &names->stderr_write}}) {
        nb::object current = sys.attr(*stream_name);
        if (!own(self, *stream).is(current) ||
            !current.attr(names->write).equal(own(self, *write)))
            return nb::bool_(false);
    }
    nb::object logger = own(self, names->own_logger);
    if (!logger.attr(names->info).equal(own(self, names->logging_info)) ||
        !logger.attr(names->error).equal(own(self, names->logging_error)))
        return nb::bool_(false);
    nb::object publish = own(self, names->display_publish);
    if (publish.is_none()) return nb::bool_(!is_zmq_shell(shell));
    nb::object publisher = shell.attr(names->display_pub);
    return nb::bool_(publisher.attr(names->publish).equal(publish) &&
                     publisher.attr(names->clear).equal(own(self, names->clear_output)));
}

// ---- properties ----

nb::object metadata(const Args& a) { return manager_metadata(a[0]); }

nb::object captured(const Args& a) {
    nb::object value = innermost(a[0], names->captured_list);
    check_result(value, &PyList_Type);
    return value;
}

nb::object send_to_front(const Args& a) { return innermost(a[0], names->send_to_front_list); }
nb::object verbose(const Args& a) { return innermost(a[0], names->verbose_list); }
nb::object logger(const Args& a) { return a[0].attr("_logger"); }

nb::object is_unwrapped(const Args& a) {
    nb::object write = scope->get(names->sys).attr(names->stdout).attr(names->write);
    return nb::bool_(write.equal(own(a[0], names->stdout_write)));
}

nb::object has_remaining_context(const Args& a) {
    Py_ssize_t size = PyObject_Length(own(a[0], names->captured_list).ptr());
    if (size < 0) throw nb::python_error();
    return nb::bool_(size > 0);
}

constexpr const char* kDoc = R"(Wrapper manager for display-pub Session's send method.

    Wrapped methods:
        sys.stdout.write()
        sys.stderr.write()
        shell.display_pub.publish()
        shell.display_pub.clear_output()

    Call chains:
        text:    print() -> sys.stdout.write() -> sys.stdout.session.send()
        display: display() -> shell.display_pub.publish() -> shell.display_pub.session.send()

    Note: on Windows, sys.stdout is sometimes a colorama.ansitowin32.StreamWrapper
    instead of an ipykernel.iostream.OutStream.
    )";

void bind_imports(const Scope& s) {
    s.import("gc");
    s.import("logging");
    s.import("sys");
    s.import_from("io", {"TextIOWrapper"});
    s.import_from("threading", {"Timer"});
    s.import_from("typing", {"Any", "Dict", "List", "Optional", "Union"});
    s.import_from("celery.utils.log", {"LoggingProxy"});
    s.import_from("ipykernel.iostream", {"OutStream"});
    s.import_from("ipykernel.zmqshell", {"ZMQDisplayPublisher"});
    s.import_from("IPython.terminal.interactiveshell", {"InteractiveShell"});
    s.import_from("trelvo_core.ipython", {"is_zmq_ipython_shell"});
    s.import_from("trelvo_core.misc.models", {"TrelvoCapturedModel"});
}

void register_pellory(const Scope& s) {
    nb::object none = nb::none();
    nb::object yes = nb::bool_(true), no = nb::bool_(false);
    ClassBuilder builder(s, "TrelvoPellory", kDoc);
    builder
        .method("__init__",
                {arg("self"), opt("metadata", none, "Optional[Dict[str, str]]"),
                 opt("ipython_shell", none, "Optional[InteractiveShell]")},
                "", init)
        .property("metadata", "Optional[Dict[str, str]]", metadata)
        .property("captured", "List[TrelvoCapturedModel]", captured)
        .property("send_to_front", "bool", send_to_front)
        .property("verbose", "bool", verbose)
        .property("logger", "logging.Logger", logger)
        .property("is_unwrapped", "bool", is_unwrapped)
        .property("has_remaining_context", "bool", has_remaining_context)
        .method("store_context",
                {arg("self"), arg("captured", "List[TrelvoCapturedModel]"),
                 opt("send_to_front", yes, "bool"), opt("verbose", no, "bool")},
                "", store_context)
        .method("remove_context", {arg("self")}, "", remove_context)
        .method("wrap_methods",
                {arg("self"), arg("captured", "List[TrelvoCapturedModel]"),
                 opt("send_to_front", yes, "bool"), opt("verbose", yes, "bool")},
                "", wrap_methods)
        .method("unwrap_methods", {arg("self")}, "", unwrap_methods);
    manager_class = builder.build(object_base()).release();
}

}  // namespace
}  // namespace trelvo::capture::pellory

NB_MODULE(pellory, m) {
    using namespace trelvo::capture::pellory;
    scope = new trelvo::py::Scope(m);
    names = new Names();
    bind_imports(*scope);
    replacements = make_replacements();
    stream_records = new trelvo::py::ModelTemplate(
        *scope, "TrelvoCapturedModel", {names->stream, names->stdout, nb::str("")},
        {"type", "name", "text"});
    register_pellory(*scope);
    flush_forward_function = trelvo::py::make_function(
        {"flush_forward", "flush_forward", scope->name(), "", {}, "None", flush_forward_later}).release();
    trelvo::py::define_function(*scope, "_still_current",
                                {trelvo::py::arg("manager", "TrelvoPellory"),
                                 trelvo::py::arg("ipython_shell", "InteractiveShell")},
                                "bool", still_current,
                                "Whether the idle manager may capture a new run in the shell as a "
                                "new one would.");
    trelvo::py::define_function(*scope, "_no_flush", {}, "None", no_flush,
                                "Flushes nothing: the forwarded text is a copy of stream text.");
}

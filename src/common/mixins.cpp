// LoggingMixin: per-class console and rotating-file loggers under the package's root logger,
// and the two process-wide controls of that root logger.
#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::common::mixins {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;
nb::handle mixin_class;  // the class itself, for super() in __init__

constexpr const char* kMessageFormat =
    "%(asctime)s %(name)s.%(funcName)s() %(levelname)s: %(message)s";
constexpr const char* kDateFormat = "[%Y-%m-%d %H:%M:%S]";
constexpr long kMaxBytes = 10485760;
constexpr long kBackupCount = 10;

nb::object class_logger(nb::handle self) {
    nb::object name = nb::str("{}.{}").format(scope->get("ROOT_LOGGER_NAME"),
                                              self.type().attr("__qualname__"));
    return scope->get("logging").attr("getLogger")(name);
}

nb::object root_logger() {
    return scope->get("logging").attr("getLogger")(scope->get("ROOT_LOGGER_NAME"));
}

nb::object rotating_file_handler(nb::handle filename) {
    return scope->get("logging").attr("handlers").attr("RotatingFileHandler")(
        nb::arg("filename") = filename, nb::arg("maxBytes") = kMaxBytes,
        nb::arg("backupCount") = kBackupCount, nb::arg("encoding") = "utf-8");
}

void add_handlers(nb::handle logger) {
    nb::object logging = scope->get("logging");
    nb::object os = scope->get("os");
    nb::object formatter = logging.attr("Formatter")(kMessageFormat, kDateFormat);

    nb::object stream_handler = logging.attr("StreamHandler")();
    stream_handler.attr("setFormatter")(formatter);
    stream_handler.attr("setLevel")(logging.attr("INFO"));
    logger.attr("addHandler")(stream_handler);

    nb::object logs_dir = scope->get("FILE_LOGS_DIR");
    if (!arg_bool(os.attr("path").attr("exists")(logs_dir))) os.attr("makedirs")(logs_dir);
    nb::object filename = nb::str("{}-{}.log").format(scope->get("ROOT_LOGGER_NAME"),
                                                      os.attr("getpid")());
    nb::object file_handler = rotating_file_handler(os.attr("path").attr("join")(logs_dir, filename));
    file_handler.attr("setFormatter")(formatter);
    file_handler.attr("setLevel")(logging.attr("DEBUG"));
    logger.attr("addHandler")(file_handler);
    logger.attr("propagate") = false;
}

nb::object init(const Args& a) {
    nb::handle self = a[0];
    PyObject* result = PyObject_Call(super_of(mixin_class, self).attr("__init__").ptr(), a[1].ptr(),
                                     a[2].ptr());
    if (!result) throw nb::python_error();
    Py_DECREF(result);

    nb::object logger = class_logger(self);
    if (!arg_bool(logger.attr("handlers"))) add_handlers(logger);
    self.attr("logger").attr("setLevel")(scope->get("logging").attr("DEBUG"));
    return nb::none();
}

nb::object logger(const Args& a) { return class_logger(a[0]); }

// The package's loggers: the root logger and every logger under it, the per-class ones of the
// mixin among them. The handlers live there, not on the root logger alone.
std::vector<nb::object> package_loggers() {
    std::vector<nb::object> loggers{root_logger()};
    nb::object logging = scope->get("logging");
    nb::object prefix = nb::str("{}.").format(scope->get("ROOT_LOGGER_NAME"));
    nb::list names = snapshot(logging.attr("root").attr("manager").attr("loggerDict"));
    for (nb::handle name : names) {
        if (!PyUnicode_Check(name.ptr()) || !arg_bool(name.attr("startswith")(prefix))) continue;
        nb::object logger = logging.attr("root").attr("manager").attr("loggerDict")[name];
        if (nb::isinstance(logger, logging.attr("Logger"))) loggers.push_back(logger);
    }
    return loggers;
}

// The console level: the first handler of each package logger is its console handler.
nb::object set_root_logging_level(const Args& a) {
    nb::int_ level = arg_int(a[0], "level");
    for (const nb::object& logger : package_loggers()) {
        nb::object handlers = logger.attr("handlers");
        if (nb::len(handlers) > 0) handlers[0].attr("setLevel")(level);
    }
    return nb::none();
}

// Moves a log file into new_filename, appending when that file exists already.
void move_log_file(nb::handle old_filename, nb::handle new_filename) {
    nb::object os = scope->get("os");
    if (!arg_bool(os.attr("path").attr("exists")(old_filename))) return;
    if (!arg_bool(os.attr("path").attr("exists")(new_filename))) {
        os.attr("rename")(old_filename, new_filename);
        return;
    }
    nb::object builtins_open = nb::module_::import_("builtins").attr("open");
    nb::object content;
    with_context(builtins_open(old_filename, nb::arg("mode") = "r", nb::arg("encoding") = "utf-8"),
                 [&](nb::handle file) { content = file.attr("read")(); });
    with_context(builtins_open(new_filename, nb::arg("mode") = "a", nb::arg("encoding") = "utf-8"),
                 [&](nb::handle file) { file.attr("write")(content); });
    os.attr("remove")(old_filename);
}

// Every package file handler not yet on new_filename is closed, its file moved (once, however
// many handlers of the per-class loggers share it) and a handler on the new file takes its
// place, with its formatter and level.
nb::object set_logging_filename(const Args& a) {
    nb::str filename = arg_str(a[0], "filename");
    nb::object file_handler_type = scope->get("logging").attr("handlers").attr("RotatingFileHandler");
    nb::object new_filename = scope->get("os").attr("path").attr("join")(
        scope->get("FILE_LOGS_DIR"), nb::str("{}.log").format(filename));
    struct Moved {
        nb::object logger, formatter, level;
    };
    std::vector<Moved> moved;
    nb::list old_files;
    for (const nb::object& logger : package_loggers()) {
        for (nb::handle handler : snapshot(logger.attr("handlers"))) {
            if (!nb::isinstance(handler, file_handler_type)) continue;
            nb::object old_filename = handler.attr("baseFilename");
            if (old_filename.equal(new_filename)) continue;
            moved.push_back({logger, handler.attr("formatter"), handler.attr("level")});
            logger.attr("removeHandler")(handler);
            handler.attr("close")();
            if (!contains(old_files, old_filename)) old_files.append(old_filename);
        }
    }
    for (nb::handle old_filename : old_files) move_log_file(old_filename, new_filename);
    for (const Moved& entry : moved) {
        nb::object file_handler = rotating_file_handler(new_filename);
        file_handler.attr("setFormatter")(entry.formatter);
        file_handler.attr("setLevel")(entry.level);
        entry.logger.attr("addHandler")(file_handler);
    }
    return nb::none();
}

void bind_module_names(const Scope& s) {
    s.import("logging");
    s.import("logging.handlers");
    s.import("os");
    s.import_from("typing", {"Any", "Dict", "List"});
    s.import_from("trelvo_core.common.info", {"APP_NAME"});
    s.set("ROOT_LOGGER_NAME", s.get("APP_NAME"));
    nb::object os = s.get("os");
    nb::object hidden_dir = nb::str(".{}-logs").format(s.get("ROOT_LOGGER_NAME"));
    s.set("FILE_LOGS_DIR", os.attr("path").attr("join")(os.attr("getcwd")(), hidden_dir));
}

void register_logging_mixin(const Scope& s) {
    ClassBuilder builder(s, "LoggingMixin", "A mixin class to add logging.");
    builder
        .method("__init__",
                {arg("self"), star_args("args", "List[Any]"), star_kwargs("kwargs", "Dict[str, Any]")},
                "", init)
        .property("logger", "logging.Logger", logger)
        .static_method("set_root_logging_level", {arg("level", "int")}, "",
                       set_root_logging_level)
        .static_method("set_logging_filename", {arg("filename", "str")}, "",
                       set_logging_filename);
    mixin_class = builder.build(object_base())
                      .release();
}

}  // namespace
}  // namespace trelvo::common::mixins

NB_MODULE(mixins, m) {
    using namespace trelvo::common::mixins;
    scope = new trelvo::py::Scope(m);
    bind_module_names(*scope);
    register_logging_mixin(*scope);
}

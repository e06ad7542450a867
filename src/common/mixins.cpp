// LoggingMixin: per-class console and rotating-file loggers under the package's root logger,
// and the two process-wide controls of that root logger.
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

nb::object set_root_logging_level(const Args& a) {
    nb::int_ level = arg_int(a[0], "level");
    root_logger().attr("handlers")[0].attr("setLevel")(level);
    return nb::none();
}

// Moves one file handler's log into new_filename, appending when that file exists already.
void move_log(nb::handle logger, nb::handle handler, nb::handle new_filename) {
    nb::object os = scope->get("os");
    nb::object builtins_open = nb::module_::import_("builtins").attr("open");
    nb::object old_filename = handler.attr("baseFilename");
    nb::object formatter = handler.attr("formatter");
    nb::object level = handler.attr("level");
    logger.attr("removeHandler")(handler);
    handler.attr("close")();

    if (arg_bool(os.attr("path").attr("exists")(new_filename))) {
        nb::object old_file = builtins_open(old_filename, nb::arg("mode") = "r",
                                            nb::arg("encoding") = "utf-8");
        nb::object content;
        try {
            content = old_file.attr("read")();
        } catch (...) {
            old_file.attr("close")();
            throw;
        }
        old_file.attr("close")();
        nb::object new_file = builtins_open(new_filename, nb::arg("mode") = "a",
                                            nb::arg("encoding") = "utf-8");
        try {
            new_file.attr("write")(content);
        } catch (...) {
            new_file.attr("close")();
            throw;
        }
        new_file.attr("close")();
        os.attr("remove")(old_filename);
    } else {
        os.attr("rename")(old_filename, new_filename);
    }

    nb::object file_handler = rotating_file_handler(new_filename);
    file_handler.attr("setFormatter")(formatter);
    file_handler.attr("setLevel")(level);
    logger.attr("addHandler")(file_handler);
}

nb::object set_logging_filename(const Args& a) {
    nb::str filename = arg_str(a[0], "filename");
    nb::object logging = scope->get("logging");
    nb::object os = scope->get("os");
    nb::object logger = root_logger();
    nb::object file_handler_type = logging.attr("handlers").attr("RotatingFileHandler");
    nb::object new_filename = os.attr("path").attr("join")(scope->get("FILE_LOGS_DIR"),
                                                         nb::str("{}.log").format(filename));
    // The walk runs over the live list: a moved handler is appended and met again later.
    for (std::size_t i = 0; i < nb::len(nb::object(logger.attr("handlers"))); ++i) {
        nb::object handler = nb::object(logger.attr("handlers"))[i];
        if (!nb::isinstance(handler, file_handler_type)) continue;
        if (handler.attr("baseFilename").equal(new_filename)) continue;
        move_log(logger, handler, new_filename);
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

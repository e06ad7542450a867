// Questions about the running IPython shell and where the standard streams go.
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::ipython::utils {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

nb::object get_ipython_shell(const Args&) {
    nb::object shell_class = scope->get("InteractiveShell");
    if (!arg_bool(shell_class.attr("initialized")())) return nb::none();
    return shell_class.attr("instance")();
}

nb::object is_zmq_ipython_shell(const Args& a) {
    nb::handle shell = a[0];
    if (shell.is_none() || !nb::isinstance(shell, scope->get("ZMQInteractiveShell")))
        return nb::bool_(false);
    nb::object publisher = nb::getattr(shell, "display_pub", nb::none());
    return nb::bool_(nb::hasattr(publisher, "publish") && nb::hasattr(publisher, "clear_output"));
}

nb::object is_io_redirected(const Args&) {
    nb::object sys = scope->get("sys");
    nb::object out_stream = scope->get("OutStream");
    return nb::bool_(nb::isinstance(sys.attr("stdout"), out_stream) &&
                     nb::isinstance(sys.attr("stderr"), out_stream));
}

void register_functions(const Scope& s) {
    define_function(s, "get_ipython_shell", {}, "Optional[InteractiveShell]", get_ipython_shell,
                    "The running IPython shell, or None.");
    define_function(s, "is_zmq_ipython_shell",
                    {opt("ipython_shell", nb::none(), "Optional[InteractiveShell]")}, "bool",
                    is_zmq_ipython_shell,
                    "Whether the shell is a kernel shell that publishes display data on IOPub.");
    define_function(s, "is_io_redirected", {}, "bool", is_io_redirected,
                    "Whether the standard streams are the kernel's output streams.");
}

}  // namespace
}  // namespace trelvo::ipython::utils

NB_MODULE(utils, m) {
    using namespace trelvo::ipython::utils;
    scope = new trelvo::py::Scope(m);
    scope->import("sys");
    scope->import_from("typing", {"Optional"});
    scope->import_from("IPython.core.interactiveshell", {"InteractiveShell"});
    scope->import_from("ipykernel.iostream", {"OutStream"});
    scope->import_from("ipykernel.zmqshell", {"ZMQInteractiveShell"});
    register_functions(*scope);
}

// TrelvoPipelineCallback: posts progress reports (callback data models) to one endpoint of the
// tool's API server, with the header and cookie strings of the front end's requests.
#include "checks.hpp"
#include "class_builder.hpp"
#include "header_pairs.hpp"
#include "strings.hpp"

namespace trelvo::callbacks::ostrel {
namespace {

using namespace trelvo::py;

const Scope* scope = nullptr;

// Values that hold "=" are kept as their Python representation.
std::string python_repr(std::string_view value) {
    nb::object text = from_utf8(value);
    PyObject* repr = PyObject_Repr(text.ptr());
    if (!repr) throw nb::python_error();
    return utf8(nb::steal(repr));
}

core::Pairs parse(nb::handle text) {
    try {
        return core::parse_pairs(text.is_none() ? std::string() : utf8(text), python_repr);
    } catch (const core::MissingSeparator&) {
        // What str.index says, as the piece is searched for its "=".
        raise(PyExc_ValueError, "substring not found");
    }
}

nb::dict to_dict(const core::Pairs& pairs) {
    nb::dict dict;
    for (const auto& [name, value] : pairs) dict[from_utf8(name)] = from_utf8(value);
    return dict;
}

nb::dict checked_dict(nb::handle self, const char* attribute) {
    nb::object value = self.attr(attribute);
    check_result(value, &PyDict_Type, false);
    return nb::borrow<nb::dict>(value);
}

nb::object init(const Args& a) {
    enum { kSelf, kEndpoint, kHeader, kCookie, kTimeout };
    nb::handle self = a[kSelf];
    nb::str endpoint = arg_str(a[kEndpoint], "endpoint");
    check_arg(a[kHeader], "header", &PyUnicode_Type, true);
    check_arg(a[kCookie], "cookie", &PyUnicode_Type, true);
    nb::int_ timeout = arg_int(a[kTimeout], "timeout");

    core::Pairs headers = parse(a[kHeader]);
    core::Pairs cookies = parse(a[kCookie]);
    if (!cookies.empty()) {
        core::set_pair(headers, "Cookie", core::join_pairs(cookies));
        for (const auto& [name, value] : cookies)
            if (name == "_xsrf") core::set_pair(headers, "X-XSRFToken", value);
    }
    nb::setattr(self, "_endpoint", endpoint);
    nb::setattr(self, "_headers", to_dict(headers));
    nb::setattr(self, "_cookies", to_dict(cookies));
    nb::setattr(self, "_timeout", timeout);
    return nb::none();
}

nb::object joined(nb::handle self, const char* attribute) {
    core::Pairs pairs;
    for (auto [name, value] : checked_dict(self, attribute))
        pairs.emplace_back(utf8(nb::str(name)), utf8(nb::str(value)));
    return from_utf8(core::join_pairs(pairs));
}

nb::object copied(nb::handle self, const char* attribute) {
    return nb::steal(PyDict_Copy(checked_dict(self, attribute).ptr()));
}

nb::object base_url(const Args& a) {
    nb::object split = scope->get("urlsplit")(a[0].attr("_endpoint"));
    return nb::str("{}://{}").format(split.attr("scheme"), split.attr("netloc"));
}

nb::object post(const Args& a) {
    enum { kSelf, kData };
    nb::handle self = a[kSelf];
    try {
        nb::object text = is_pydantic_v1(*scope) ? a[kData].attr("json")()
                                                  : a[kData].attr("model_dump_json")();
        check_result(text, &PyUnicode_Type, false);
        scope->get("requests").attr("post")(
            nb::arg("url") = self.attr("endpoint"),
            nb::arg("data") = text.attr("encode")(nb::arg("encoding") = "utf-8"),
            nb::arg("headers") = self.attr("headers"), nb::arg("cookies") = self.attr("cookies"),
            nb::arg("timeout") = self.attr("_timeout"));
    } catch (nb::python_error& error) {
        // An unreachable server never disturbs the optimisation it reports on; a read
        // time-out and everything else reach the caller.
        nb::object requests = scope->get("requests");
        nb::tuple swallowed = nb::make_tuple(
            nb::handle(PyExc_ValueError), requests.attr("ConnectionError"),
            requests.attr("exceptions").attr("MissingSchema"));
        if (!error.matches(swallowed)) throw;
    }
    return nb::none();
}

void bind_imports(const Scope& s) {
    s.import_from("typing", {"Dict", "Optional"});
    s.import("pydantic");
    s.import("requests");
    s.import_from("jupyter_server.utils", {"SplitResult", "urlsplit"});
    s.import_from("trelvo_core.misc.models", {"TrelvoPipelineCallbackDataModel"});
}

void register_pipeline_callback(const Scope& s) {
    nb::object none = nb::none();
    ClassBuilder builder(s, "TrelvoPipelineCallback",
                         "Connector for communicating from Python kernel to API server.");
    nb::object post_function =
        make_function({"post", "TrelvoPipelineCallback.post", s.name(), "",
                       {arg("self"), arg("data", "TrelvoPipelineCallbackDataModel")}, "None", post});
    builder
        .method("__init__",
                {arg("self"), arg("endpoint", "str"), opt("header", none, "Optional[str]"),
                 opt("cookie", none, "Optional[str]"), opt("timeout", nb::int_(30), "int")},
                "None", init)
        .property("endpoint", "str", [](const Args& a) { return a[0].attr("_endpoint"); })
        .property("base_url", "str", base_url)
        .property("headers", "Dict[str, str]",
                  [](const Args& a) { return copied(a[0], "_headers"); })
        .property("header", "str", [](const Args& a) { return joined(a[0], "_headers"); })
        .property("cookies", "Dict[str, str]",
                  [](const Args& a) { return copied(a[0], "_cookies"); })
        .property("cookie", "str", [](const Args& a) { return joined(a[0], "_cookies"); })
        .attribute("post", post_function)
        .attribute("__call__", post_function);
    builder.build(object_base());
}

}  // namespace
}  // namespace trelvo::callbacks::ostrel

NB_MODULE(ostrel, m) {
    using namespace trelvo::callbacks::ostrel;
    scope = new trelvo::py::Scope(m);
    bind_imports(*scope);
    register_pipeline_callback(*scope);
}

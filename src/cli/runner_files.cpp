// The files and local modules cells read, by the digest of their contents: the run cache's keys
// cover them, and a cell that changes a file provides it to the later cells that read it. A file
// is read again only when its size, modification time or inode changed; with the cache, what was
// read is remembered between runs (files.json).
#include "runner_internal.hpp"

#include <fcntl.h>

namespace trelvo::cli::runner {
namespace {

nb::object os_path() { return scope->get("os").attr("path"); }

}  // namespace

Files::Files(std::string remembered) : remembered_(std::move(remembered)) {
    if (remembered_.empty()) return;
    try {
        nb::object file = scope->get("open")(from_utf8(remembered_), "r", nb::arg("encoding") = "utf-8");
        nb::object known = scope->get("json").attr("load")(file);
        file.attr("close")();
        if (PyDict_Check(known.ptr())) known_ = nb::borrow<nb::dict>(known);
    } catch (nb::python_error&) {  // none yet, or damaged: the files are read again
    }
}

void Files::save() {
    if (remembered_.empty() || !changed_) return;
    try {
        nb::object os = scope->get("os");
        std::string temporary = remembered_ + ".tmp." + text_of(nb::str(os.attr("getpid")()));
        nb::object fd = os.attr("open")(from_utf8(temporary), nb::int_(O_WRONLY | O_CREAT | O_TRUNC), 0600);
        nb::object file = os.attr("fdopen")(fd, "w", nb::arg("encoding") = "utf-8");
        scope->get("json").attr("dump")(known_, file);
        file.attr("close")();
        os.attr("replace")(from_utf8(temporary), from_utf8(remembered_));
    } catch (nb::python_error&) {  // it only saves reading files again
    }
}

std::string Files::path(const std::string& cwd, const std::string& literal) {
    nb::object joined = os_path().attr("join")(from_utf8(cwd), os_path().attr("expanduser")(from_utf8(literal)));
    return text_of(os_path().attr("normpath")(joined));
}

std::string Files::digest(const std::string& path) {
    nb::object stat;
    try {
        stat = scope->get("os").attr("stat")(from_utf8(path));
    } catch (nb::python_error&) {
        return "";
    }
    if (!arg_bool(scope->get("stat").attr("S_ISREG")(stat.attr("st_mode")))) return "";
    nb::object signature = nb::make_tuple(stat.attr("st_size"), stat.attr("st_mtime_ns"), stat.attr("st_ino"));
    nb::str key = from_utf8(path);
    if (known_.contains(key)) {
        nb::object known = known_[key];
        if (nb::len(known) == 2 && nb::tuple(known[0]).equal(signature)) return text_of(known[1]);
    }
    nb::object hash = imported("xxhash").attr("xxh3_128")();
    try {
        nb::object file = scope->get("open")(key, "rb");
        for (nb::object block = file.attr("read")(1 << 23); nb::len(block); block = file.attr("read")(1 << 23))
            hash.attr("update")(block);
        file.attr("close")();
    } catch (nb::python_error&) {  // unreadable: as if missing
        return "";
    }
    std::string digest = text_of(hash.attr("hexdigest")());
    known_[key] = nb::make_tuple(signature, from_utf8(digest));
    changed_ = true;
    return digest;
}

// A module imported from the working directory (a file or a package beside the notebook), with
// the local modules it imports in turn; "" for a module installed elsewhere.
std::string Files::module_digest(const std::string& cwd, const std::string& module) {
    std::string top = module.substr(0, module.find('.'));
    auto found = modules_.find(top);
    if (found != modules_.end()) return found->second;
    modules_[top] = "";  // an import cycle sees none
    std::vector<std::string> sources;
    std::string file = cwd + "/" + top + ".py", package = cwd + "/" + top;
    if (arg_bool(os_path().attr("isfile")(from_utf8(package + "/__init__.py")))) {
        for (nb::handle entry : scope->get("sorted")(imported("glob").attr("glob")(from_utf8(package + "/**/*.py"),
                                                                                   nb::arg("recursive") = true)))
            sources.push_back(text_of(entry));
    } else if (arg_bool(os_path().attr("isfile")(from_utf8(file)))) {
        sources.push_back(file);
    } else {
        return "";
    }
    nb::list parts;
    for (const std::string& source : sources) {
        parts.append(nb::make_tuple(from_utf8(source.substr(cwd.size())), from_utf8(digest(source))));
        for (const std::string& imported_module : imports_of(source))
            if (std::string more = module_digest(cwd, imported_module); !more.empty())
                parts.append(nb::make_tuple(from_utf8(imported_module), from_utf8(more)));
    }
    std::string digest = text_of(imported("xxhash").attr("xxh3_128_hexdigest")(
        scope->get("json").attr("dumps")(parts).attr("encode")()));
    modules_[top] = digest;
    return digest;
}

std::vector<std::string> Files::imports_of(const std::string& source) {
    std::vector<std::string> modules;
    try {
        nb::object file = scope->get("open")(from_utf8(source), "r", nb::arg("encoding") = "utf-8");
        nb::object tree = scope->get("ast").attr("parse")(file.attr("read")());
        file.attr("close")();
        for (nb::handle node : scope->get("ast").attr("walk")(tree)) {
            std::string kind = text_of(nb::handle((PyObject*)Py_TYPE(node.ptr())).attr("__name__"));
            if (kind == "Import")
                for (nb::handle alias : node.attr("names")) modules.push_back(text_of(alias.attr("name")));
            else if (kind == "ImportFrom" && !node.attr("module").is_none() && nb::cast<int>(node.attr("level")) == 0)
                modules.push_back(text_of(node.attr("module")));
        }
    } catch (nb::python_error&) {  // a module that does not parse fails when imported: its digest says enough
    }
    return modules;
}

}  // namespace trelvo::cli::runner

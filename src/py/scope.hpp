// An extension module's namespace: module-level imports are bound there at import time and
// looked up there on every use, as Python code looks up its globals.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <unordered_map>

namespace trelvo::py {

namespace nb = nanobind;

class Scope {
public:
    explicit Scope(nb::module_ module);

    // import <module> (a dotted module binds its top package, as Python does) or
    // import <module> as <alias>.
    void import(const char* module, const char* alias = nullptr) const;
    // from <module> import <name>, ...
    void import_from(const char* module, std::initializer_list<const char*> names) const;
    // The same, from fallback when importing from module raises ImportError.
    void import_from_either(const char* module, const char* fallback,
                            std::initializer_list<const char*> names) const;
    void set(const char* name, nb::handle value) const;

    // The global's current value; NameError when it is not bound. The name is a string literal:
    // it is made a Python str once and remembered by its address.
    nb::object get(const char* name) const;
    // The same for an interned name, for lookups on hot paths.
    nb::object get(nb::handle name) const;

    nb::module_ module() const { return module_; }
    nb::dict dict() const { return dict_; }
    const char* name() const { return name_; }

private:
    nb::module_ module_;
    nb::dict dict_;
    const char* name_;
    mutable std::unordered_map<const char*, nb::object> keys_;  // used under the GIL
};

}  // namespace trelvo::py

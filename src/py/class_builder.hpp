// Builds ordinary Python classes whose methods are C++: a namespace of functions, properties,
// class and static methods, annotations and defaults, handed to the class's metaclass.
#pragma once

#include "function.hpp"
#include "scope.hpp"

#include <string>
#include <vector>

namespace trelvo::py {

class ClassBuilder {
public:
    ClassBuilder(const Scope& scope, std::string name, std::string doc);

    ClassBuilder& method(std::string name, std::vector<Param> params, std::string returns,
                         Body body, std::string doc = "");
    ClassBuilder& class_method(std::string name, std::vector<Param> params, std::string returns,
                               Body body, std::string doc = "");
    ClassBuilder& static_method(std::string name, std::vector<Param> params, std::string returns,
                                Body body, std::string doc = "");
    // A property computed on each read; a setter only where given, taking setter_param.
    ClassBuilder& property(std::string name, std::string annotation, Body getter,
                           Body setter = nullptr, Param setter_param = arg("value"),
                           std::string doc = "");
    ClassBuilder& attribute(const std::string& name, nb::handle value);
    // A string annotation, with a class-level default when one is given (model fields).
    ClassBuilder& annotate(const std::string& name, std::string annotation,
                           nb::handle default_value = nb::handle());

    // Calls metaclass(name, bases, namespace), binds the class in the module and returns it.
    // Without a metaclass, the type of the first base is used.
    nb::object build(nb::tuple bases, nb::handle metaclass = nb::handle());

private:
    nb::object function(std::string name, std::vector<Param> params, std::string returns,
                        Body body, std::string doc);

    const Scope& scope_;
    std::string name_;
    nb::dict namespace_;
    nb::dict annotations_;
};

// super(cls, self), as a method of cls calls it.
nb::object super_of(nb::handle cls, nb::handle self);

// (object,): the bases of a plain class.
nb::tuple object_base();

// Binds a module-level function whose body is C++.
void define_function(const Scope& scope, const char* name, std::vector<Param> params,
                     const char* returns, Body body, const char* doc = "");

// Resolves a pydantic model's string annotations against the module's namespace, which is
// needed while the module initialises and is not yet importable.
void resolve_model_annotations(nb::handle model, const Scope& scope);

// The package's pydantic major choice: pydantic.__version__ < "2.0.0", compared as text.
bool is_pydantic_v1(const Scope& scope);

}  // namespace trelvo::py

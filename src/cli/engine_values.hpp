// The value store of the run cache: one file per pickled value, named by the digest of its
// pickle, so a value that several cells hold unchanged is stored once.
#pragma once

#include "scope.hpp"

#include <string>

namespace trelvo::cli::engine {

namespace nb = nanobind;

struct ValueFile {
    std::string digest;
    std::size_t size = 0;  // bytes of the pickle, buffers included
    nb::list reads;        // global names the value's functions may read when called
};

// Pickles value (cloudpickle, protocol 5; large buffers out of band) and writes it under
// directory unless a file of the same digest is there. Functions whose globals are `globals`
// are stored without them. Raises what pickling raises.
ValueFile write_value_file(const trelvo::py::Scope& scope, nb::handle value, const std::string& directory,
                           nb::handle globals);

// The value of a file written above; its functions look their globals up in `globals`.
nb::object read_value_file(const trelvo::py::Scope& scope, const std::string& directory,
                           const std::string& digest, nb::handle globals);

// "'fh' is an open file (TextIOWrapper) and cannot be pickled", or the type and the error.
std::string unpicklable_reason(const trelvo::py::Scope& scope, nb::handle name, nb::handle value,
                               nb::python_error& error);

// "TypeError: message", the exception's type and the first line of its message.
std::string error_line(nb::python_error& error);

// The pickler class, the function rebuilders and read_value(directory, digest) for the runner.
void register_value_files(const trelvo::py::Scope& scope);

}  // namespace trelvo::cli::engine

// Moving text between Python str and the core's UTF-8 strings, lone surrogates included.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace trelvo::py {

namespace nb = nanobind;

std::string utf8(nb::handle text);
nb::str from_utf8(std::string_view text);

// An interned str, for attribute names and keys used on hot paths; modules keep theirs for the
// life of the process.
nb::str intern(const char* text);

}  // namespace trelvo::py

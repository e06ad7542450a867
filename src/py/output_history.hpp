// IPython's record of what cells printed and displayed (history_manager.outputs, keyed by
// execution count, kept whether history is on or not): a component's run adds nothing to it.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

namespace trelvo::py {

namespace nb = nanobind;

// Remembers the shell's output history where a run can add to it (a run does not advance the
// execution count; IPython files outputs under the count and the one before), and puts it back.
class OutputHistoryMark {
public:
    explicit OutputHistoryMark(nb::handle shell);
    void restore() const;

private:
    nb::object outputs_;  // the dict, or None where IPython keeps none
    std::vector<std::pair<nb::object, Py_ssize_t>> lengths_;  // count, length (-1: no entry)
};

}  // namespace trelvo::py

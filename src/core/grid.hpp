// Grid-search values: numpy's arange from low to high (excluded) in steps of interval, each
// rounded to 15 decimals the way numpy rounds.
#pragma once

#include <stdexcept>
#include <vector>

namespace trelvo::core {

struct GridError : std::domain_error {
    enum class Fault { zero_interval, unknown_length, too_large };
    GridError(Fault fault, const char* what) : std::domain_error(what), fault(fault) {}
    Fault fault;
};

// The values low, low + delta, low + 2 * delta, ... below high (above it for a negative
// interval), where delta = (low + interval) - low, as numpy computes them.
std::vector<double> grid_values(double low, double high, double interval);

// x rounded to a number of decimals as numpy does: rint(x * 10^decimals) / 10^decimals. A value
// whose scaled form overflows is returned unchanged.
double round_decimals(double x, int decimals);

}  // namespace trelvo::core

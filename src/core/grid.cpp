// Grid-search values, computed as numpy's arange and round compute them.
#include "grid.hpp"

#include <cmath>
#include <cstdint>

namespace trelvo::core {
namespace {

constexpr int kDecimals = 15;

std::size_t arange_length(double low, double high, double interval) {
    if (interval == 0.0) throw GridError(GridError::Fault::zero_interval, "float division by zero");
    double span = high - low;
    double steps = span / interval;
    // An underflowing quotient still gives one value when there is a span to cover.
    if (steps == 0.0 && span != 0.0) return std::signbit(steps) ? 0 : 1;
    double length = std::ceil(steps);
    if (std::isnan(length))
        throw GridError(GridError::Fault::unknown_length, "arange: cannot compute length");
    if (length > static_cast<double>(INTPTR_MAX))
        throw GridError(GridError::Fault::too_large, "Maximum allowed size exceeded");
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

}  // namespace

double round_decimals(double x, int decimals) {
    double scale = 1.0;
    for (int i = 0; i < decimals; ++i) scale *= 10.0;
    double scaled = x * scale;
    if (!std::isfinite(scaled)) return x;
    return std::nearbyint(scaled) / scale;
}

std::vector<double> grid_values(double low, double high, double interval) {
    std::size_t length = arange_length(low, high, interval);
    std::vector<double> values;
    values.reserve(length);
    if (length > 0) values.push_back(low);
    double second = low + interval;
    double delta = second - low;
    if (length > 1) values.push_back(second);
    for (std::size_t i = 2; i < length; ++i) values.push_back(low + static_cast<double>(i) * delta);
    for (double& value : values) value = round_decimals(value, kDecimals);
    return values;
}

}  // namespace trelvo::core

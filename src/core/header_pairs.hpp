// Header and cookie strings ("name=value; name2=value2") as ordered name/value pairs.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trelvo::core {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A piece that holds no "=".
struct MissingSeparator : std::invalid_argument {
    explicit MissingSeparator(const std::string& piece)
        : std::invalid_argument("no '=' in '" + piece + "'") {}
};

// Splits on ";", strips spaces (only " ") around each piece, skips empty pieces and cuts each
// at its first "=". Nothing else is stripped. A value that still holds "=" is passed through
// quote. A repeated name takes the later value and keeps its first position.
Pairs parse_pairs(std::string_view text, const std::function<std::string(std::string_view)>& quote);

// Sets name to value: in place when the name is there, appended otherwise.
void set_pair(Pairs& pairs, std::string name, std::string value);

// "name=value" for every pair, joined with "; ".
std::string join_pairs(const Pairs& pairs);

}  // namespace trelvo::core

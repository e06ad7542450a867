// Header and cookie strings as ordered name/value pairs.
#include "header_pairs.hpp"

#include <algorithm>

namespace trelvo::core {
namespace {

std::string_view strip_spaces(std::string_view text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

Pairs parse_pairs(std::string_view text,
                  const std::function<std::string(std::string_view)>& quote) {
    Pairs pairs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find(';', start), text.size());
        std::string_view piece = strip_spaces(text.substr(start, end - start));
        start = end + 1;
        if (piece.empty()) continue;
        std::size_t separator = piece.find('=');
        if (separator == std::string_view::npos) throw MissingSeparator(std::string(piece));
        std::string_view value = piece.substr(separator + 1);
        set_pair(pairs, std::string(piece.substr(0, separator)),
                 value.find('=') == std::string_view::npos ? std::string(value) : quote(value));
    }
    return pairs;
}

void set_pair(Pairs& pairs, std::string name, std::string value) {
    auto found = std::find_if(pairs.begin(), pairs.end(),
                              [&](const auto& pair) { return pair.first == name; });
    if (found != pairs.end()) {
        found->second = std::move(value);
    } else {
        pairs.emplace_back(std::move(name), std::move(value));
    }
}

std::string join_pairs(const Pairs& pairs) {
    std::string joined;
    for (const auto& [name, value] : pairs) {
        if (!joined.empty()) joined += "; ";
        joined += name;
        joined += '=';
        joined += value;
    }
    return joined;
}

}  // namespace trelvo::core

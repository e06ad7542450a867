// Text and graph work of pipeline export.
#include "pipeline_graph.hpp"

#include <algorithm>
#include <cctype>

namespace trelvo::core {
namespace {

constexpr std::string_view kLeftOut = "IPython syntax left out of the export: ";

bool is_identifier_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::size_t indentation(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i;
}

// "x = !ls", "a, b = %sx ls": an assignment whose value is an escape.
bool is_escape_assignment(std::string_view content) {
    std::size_t equals = content.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    for (char c : content.substr(0, equals))
        if (!is_identifier_char(c) && c != ' ' && c != ',' && c != '.') return false;
    std::string_view value = content.substr(equals + 1);
    std::size_t first = value.find_first_not_of(' ');
    return first != std::string_view::npos && (value[first] == '!' || value[first] == '%');
}

bool is_ipython_line(std::string_view content) {
    if (content.empty() || content[0] == '#') return false;
    if (content[0] == '%' || content[0] == '!' || content[0] == '?') return true;
    if (is_escape_assignment(content)) return true;
    // "obj?" and "obj??": a help query, not a comment that ends in "?"
    return content.back() == '?' && content.find('#') == std::string_view::npos &&
           content.find('"') == std::string_view::npos &&
           content.find('\'') == std::string_view::npos;
}

std::string commented(std::string_view line) {
    return std::string(line.substr(0, indentation(line))) + "pass  # " + std::string(kLeftOut) +
           std::string(line.substr(indentation(line)));
}

std::string cell_magic_name(std::string_view first_line) {
    std::string_view rest = first_line.substr(2);
    std::size_t end = 0;
    while (end < rest.size() && is_identifier_char(rest[end])) ++end;
    return std::string(rest.substr(0, end));
}

// For each line, whether it starts a logical line: not inside brackets, a string or a
// backslash continuation. Only such lines can hold IPython syntax.
std::vector<bool> logical_line_starts(const std::vector<std::string_view>& lines) {
    std::vector<bool> starts;
    int depth = 0;
    std::string quote;  // the open string's delimiter: one or three quote characters
    bool continued = false;
    for (std::string_view line : lines) {
        starts.push_back(depth == 0 && quote.empty() && !continued);
        continued = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            char c = line[i];
            if (!quote.empty()) {
                if (c == '\\') {
                    ++i;
                } else if (line.compare(i, quote.size(), quote) == 0) {
                    i += quote.size() - 1;
                    quote.clear();
                }
            } else if (c == '#') {
                break;
            } else if (c == '\'' || c == '"') {
                bool triple = line.compare(i, 3, std::string(3, c)) == 0;
                quote = triple ? std::string(3, c) : std::string(1, c);
                if (triple) i += 2;
            } else if (c == '(' || c == '[' || c == '{') {
                ++depth;
            } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
                --depth;
            } else if (c == '\\' && i + 1 == line.size()) {
                continued = true;
            }
        }
        if (quote.size() == 1) quote.clear();  // an unterminated short string ends with its line
    }
    return starts;
}

// An index of a node on a cycle among the nodes left unordered.
std::size_t node_on_cycle(const std::vector<std::vector<std::size_t>>& parents,
                          const std::vector<bool>& ordered) {
    std::size_t node = 0;
    while (ordered[node]) ++node;
    std::vector<bool> seen(parents.size(), false);
    // Walking to unordered parents must come back to a node already seen: that one is on a
    // cycle, since every unordered node has an unordered parent.
    while (!seen[node]) {
        seen[node] = true;
        for (std::size_t parent : parents[node]) {
            if (!ordered[parent]) {
                node = parent;
                break;
            }
        }
    }
    return node;
}

}  // namespace

std::vector<std::size_t> dependency_order(const std::vector<std::vector<std::size_t>>& parents) {
    std::size_t count = parents.size();
    std::vector<std::size_t> order;
    std::vector<bool> ordered(count, false);
    while (order.size() < count) {
        std::size_t ready = count;
        for (std::size_t node = 0; node < count && ready == count; ++node) {
            if (ordered[node]) continue;
            bool parents_done = std::all_of(parents[node].begin(), parents[node].end(),
                                            [&](std::size_t parent) { return ordered[parent]; });
            if (parents_done) ready = node;
        }
        if (ready == count) throw CycleError(node_on_cycle(parents, ordered));
        ordered[ready] = true;
        order.push_back(ready);
    }
    return order;
}

std::vector<std::string> python_names(const std::vector<std::string>& names,
                                      std::set<std::string> reserved) {
    std::vector<std::string> made;
    for (const std::string& name : names) {
        std::string base;
        for (char c : name) {
            bool ascii_word = std::isalnum(static_cast<unsigned char>(c)) != 0;
            char next = ascii_word ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
            if (next == '_' && (base.empty() || base.back() == '_')) continue;
            base.push_back(next);
        }
        if (!base.empty() && base.back() == '_') base.pop_back();
        if (base.empty()) base = "step";
        if (std::isdigit(static_cast<unsigned char>(base[0]))) base = "step_" + base;
        std::string candidate = base;
        for (int suffix = 2; reserved.count(candidate); ++suffix)
            candidate = base + "_" + std::to_string(suffix);
        reserved.insert(candidate);
        made.push_back(candidate);
    }
    return made;
}

std::string kfp_name(std::string_view name) {
    std::string made;
    for (char c : name) {
        char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool allowed = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '-';
        char next = allowed ? lower : '-';
        if (next == '-' && !made.empty() && made.back() == '-') continue;
        made.push_back(next);
    }
    std::size_t first = made.find_first_not_of('-');
    if (first == std::string::npos) return "pipeline";
    made = made.substr(first, made.find_last_not_of('-') - first + 1).substr(0, 128);
    while (made.back() == '-') made.pop_back();
    return made;
}

bool mentions_name(std::string_view code, std::string_view name) {
    for (std::size_t at = code.find(name); at != std::string_view::npos;
         at = code.find(name, at + 1)) {
        bool starts = at == 0 || !is_identifier_char(code[at - 1]);
        std::size_t after = at + name.size();
        bool ends = after == code.size() || !is_identifier_char(code[after]);
        if (starts && ends) return true;
    }
    return false;
}

std::string without_ipython_syntax(std::string_view code) {
    std::vector<std::string_view> lines = lines_of(code);
    std::string result;
    auto first = std::find_if(lines.begin(), lines.end(), [](std::string_view line) {
        return indentation(line) < line.size();
    });
    bool whole_cell_out = false;
    if (first != lines.end() && first->substr(indentation(*first)).substr(0, 2) == "%%") {
        std::string magic = cell_magic_name(first->substr(indentation(*first)));
        whole_cell_out = magic != "time" && magic != "timeit" && magic != "prun";
    }
    std::vector<bool> starts = logical_line_starts(lines);
    for (auto line = lines.begin(); line != lines.end(); ++line) {
        if (line != lines.begin()) result.push_back('\n');
        std::string_view content = line->substr(indentation(*line));
        if (whole_cell_out) {
            result += line == first ? commented(*line) : "# " + std::string(*line);
        } else if (starts[line - lines.begin()] && is_ipython_line(content)) {
            result += commented(*line);
        } else {
            result += *line;
        }
    }
    return result;
}

std::string readable_import(std::string_view statement) {
    constexpr std::string_view kCall = "__import__('importlib').import_module('";
    std::size_t equals = statement.find(" = ");
    if (equals == std::string_view::npos) return std::string(statement);
    std::string_view symbol = statement.substr(0, equals);
    std::string_view call = statement.substr(equals + 3);
    if (call.substr(0, kCall.size()) != kCall || call.substr(call.size() - 2) != "')")
        return std::string(statement);
    std::string_view module = call.substr(kCall.size(), call.size() - kCall.size() - 2);
    bool plain = std::all_of(module.begin(), module.end(),
                             [](char c) { return is_identifier_char(c) || c == '.'; }) &&
                 std::all_of(symbol.begin(), symbol.end(), is_identifier_char) && !module.empty();
    if (!plain) return std::string(statement);
    if (module == symbol) return "import " + std::string(module);
    return "import " + std::string(module) + " as " + std::string(symbol);
}

}  // namespace trelvo::core

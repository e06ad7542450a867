// Text work shared by the extension modules; no Python dependency.
#include "text.hpp"

#include <algorithm>
#include <cstddef>

namespace trelvo::core {
namespace {

constexpr char kEscape = '\x1B';

bool in_range(char c, char low, char high) {
    return static_cast<unsigned char>(c) >= static_cast<unsigned char>(low) &&
           static_cast<unsigned char>(c) <= static_cast<unsigned char>(high);
}

// Length of the escape sequence starting at text[pos] (an ESC), or 0 when none matches.
std::size_t escape_length(std::string_view text, std::size_t pos) {
    std::size_t i = pos + 1;
    if (i >= text.size()) return 0;
    char c = text[i];
    if (c != '[') return (in_range(c, '@', 'Z') || in_range(c, '\\', '_')) ? 2 : 0;
    ++i;
    while (i < text.size() && in_range(text[i], '0', '?')) ++i;
    while (i < text.size() && in_range(text[i], ' ', '/')) ++i;
    if (i < text.size() && in_range(text[i], '@', '~')) return i + 1 - pos;
    return 0;
}

bool is_blank(std::string_view line) {
    return line.find_first_not_of(" \t\f\v") == std::string_view::npos;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

std::string strip_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t esc = text.find(kEscape, pos);
        if (esc == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, esc - pos));
        std::size_t length = escape_length(text, esc);
        if (length == 0) {
            out.push_back(kEscape);
            pos = esc + 1;
        } else {
            pos = esc + length;
        }
    }
    return out;
}

std::vector<std::string> split_stream_text(std::string_view text) {
    std::vector<std::string> pieces;
    for (std::string_view line : split_lines(text)) {
        std::string piece(line);
        piece.push_back('\n');
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

bool is_history_name(std::string_view name) {
    std::size_t underscores = name.find_first_not_of('_');
    if (name.empty() || underscores == 0) return false;
    if (underscores == std::string_view::npos) return true;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(underscores), name.end(),
                       [](char c) { return c == 'i' || in_range(c, '0', '9'); });
}

std::string build_import_code(const std::vector<std::pair<std::string, std::string>>& statements) {
    std::string code;
    for (std::size_t i = 0; i < statements.size(); ++i) {
        const auto& [symbol, statement] = statements[i];
        if (i > 0) code.push_back('\n');
        if (symbol.find('.') == std::string::npos) {
            code.append(symbol);
            code.append(" = ");
        }
        code.append(statement);
    }
    return code;
}

std::string python_string_literal(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "'";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\'') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte == 0x7F) {
            out.append("\\x");
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

std::string module_expression(std::string_view module_name) {
    return "__import__('importlib').import_module(" + python_string_literal(module_name) + ")";
}

std::string normalize_cell_code(std::string_view code) {
    std::string unified;
    unified.reserve(code.size());
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (code[i] == '\r') {
            unified.push_back('\n');
            if (i + 1 < code.size() && code[i + 1] == '\n') ++i;
        } else {
            unified.push_back(code[i]);
        }
    }
    std::vector<std::string_view> lines = split_lines(unified);
    auto first = std::find_if_not(lines.begin(), lines.end(), is_blank);
    auto last = std::find_if_not(lines.rbegin(), lines.rend(), is_blank).base();
    if (first >= last) return "";

    std::string_view indent;
    bool have_indent = false;
    for (auto it = first; it != last; ++it) {
        if (is_blank(*it)) continue;
        std::string_view own = it->substr(0, it->find_first_not_of(" \t"));
        if (!have_indent) {
            indent = own;
            have_indent = true;
            continue;
        }
        std::size_t common = 0;
        while (common < indent.size() && common < own.size() && indent[common] == own[common])
            ++common;
        indent = indent.substr(0, common);
    }

    std::string out;
    out.reserve(unified.size());
    for (auto it = first; it != last; ++it) {
        if (it != first) out.push_back('\n');
        if (it->substr(0, indent.size()) == indent) {
            out.append(it->substr(indent.size()));
        } else {
            out.append(*it);  // a blank line shorter than the indentation
        }
    }
    return out;
}

}  // namespace trelvo::core

namespace trelvo::core {

std::size_t source_offset(std::string_view text, std::size_t line, std::size_t column) {
    std::size_t offset = 0;
    for (std::size_t current = 1; current < line; ++current) {
        std::size_t newline = text.find('\n', offset);
        if (newline == std::string_view::npos) return text.size();
        offset = newline + 1;
    }
    return std::min(text.size(), offset + column);
}

}  // namespace trelvo::core

namespace trelvo::core {

std::string url_without_password(std::string_view url) {
    std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) return std::string(url);
    std::size_t authority = scheme_end + 3;
    std::size_t authority_end = url.find_first_of("/?#", authority);
    if (authority_end == std::string_view::npos) authority_end = url.size();
    std::size_t at = url.rfind('@', authority_end);
    if (at == std::string_view::npos || at < authority) return std::string(url);
    std::string_view user_info = url.substr(authority, at - authority);
    std::string_view user = user_info.substr(0, user_info.find(':'));
    std::string out(url.substr(0, authority));
    if (!user.empty()) {
        out.append(user);
        out.push_back('@');
    }
    out.append(url.substr(at + 1));
    return out;
}

}  // namespace trelvo::core

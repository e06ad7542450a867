// Text work shared by the extension modules; no Python dependency.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trelvo::core {

// Removes ANSI escape sequences: ESC followed by one Fe byte, or a CSI sequence.
std::string strip_ansi(std::string_view text);

// Splits stream text into notebook lines: every piece of split("\n"), the last one included,
// with one "\n" appended.
std::vector<std::string> split_stream_text(std::string_view text);

// True for the names IPython keeps its input and output history under (_, __, _i, _ii3, _12),
// for ASCII names; one or more underscores, then only 'i' and digits.
bool is_history_name(std::string_view name);

// The lines that bring module symbols into a namespace: a dotted symbol runs its statement
// alone, any other runs "symbol = statement".
std::string build_import_code(const std::vector<std::pair<std::string, std::string>>& statements);

// A Python string literal (single-quoted) holding text.
std::string python_string_literal(std::string_view text);

// A self-contained expression that yields the module imported by its full name.
std::string module_expression(std::string_view module_name);

// Normalises a cell's source: newlines become "\n", blank lines at both ends go, and the
// indentation that every line shares is removed. Line contents are left alone otherwise, so
// IPython syntax (magics, shell escapes, help queries) is kept.
std::string normalize_cell_code(std::string_view code);

}  // namespace trelvo::core

namespace trelvo::core {

// Byte offset of a (1-based line, 0-based UTF-8 byte column) position, as Python's ast reports
// positions; clamped to the text's size.
std::size_t source_offset(std::string_view text, std::size_t line, std::size_t column);

}  // namespace trelvo::core

namespace trelvo::core {

// The URL without the password of its user information ("redis://:pw@host" gives
// "redis://host", "amqp://user:pw@host" gives "amqp://user@host"), for messages.
std::string url_without_password(std::string_view url);

}  // namespace trelvo::core

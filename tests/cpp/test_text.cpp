// Tests of the core text library.
#include "text.hpp"

#include <gtest/gtest.h>

using namespace trelvo::core;

TEST(StripAnsi, RemovesColourAndControlSequences) {
    EXPECT_EQ(strip_ansi("\x1B[0;31mError\x1B[0m: boom"), "Error: boom");
    EXPECT_EQ(strip_ansi("a\x1B[1;32;40mb\x1B[Kc"), "abc");
    EXPECT_EQ(strip_ansi("\x1B" "Dx"), "x");   // one Fe byte
    EXPECT_EQ(strip_ansi("\x1B\\x"), "x");     // string terminator
}

TEST(StripAnsi, KeepsWhatIsNoSequence) {
    EXPECT_EQ(strip_ansi("plain"), "plain");
    EXPECT_EQ(strip_ansi(""), "");
    EXPECT_EQ(strip_ansi("end\x1B"), "end\x1B");           // lone ESC at the end
    EXPECT_EQ(strip_ansi("\x1B[12"), "\x1B[12");           // CSI without its final byte
    EXPECT_EQ(strip_ansi("\x1B[x"), "");                     // 'x' is a final byte
    EXPECT_EQ(strip_ansi("\x1Bz"), "\x1Bz");               // not an Fe byte
    EXPECT_EQ(strip_ansi("caf\xC3\xA9 \x1B[0m"), "caf\xC3\xA9 ");
}

TEST(SplitStreamText, EveryPieceGetsOneNewline) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split_stream_text("a\nb"), (V{"a\n", "b\n"}));
    EXPECT_EQ(split_stream_text("a\n"), (V{"a\n", "\n"}));
    EXPECT_EQ(split_stream_text(""), (V{"\n"}));
    EXPECT_EQ(split_stream_text("\n\n"), (V{"\n", "\n", "\n"}));
}

TEST(HistoryName, MatchesOnlyIPythonHistoryNames) {
    for (const char* name : {"_", "__", "___", "_i", "_ii", "_iii", "_7", "_i7", "__12", "_i1i2"})
        EXPECT_TRUE(is_history_name(name)) << name;
    for (const char* name : {"", "x", "_x", "_data", "i_", "_7a", "x_1", "_I"})
        EXPECT_FALSE(is_history_name(name)) << name;
}

TEST(BuildImportCode, DottedSymbolsRunTheirStatementAlone) {
    EXPECT_EQ(build_import_code({}), "");
    EXPECT_EQ(build_import_code({{"np", "import_module('numpy')"}}), "np = import_module('numpy')");
    EXPECT_EQ(build_import_code({{"os.path", "import os.path"}, {"re", "R"}}),
              "import os.path\nre = R");
}

TEST(ModuleExpression, QuotesTheName) {
    EXPECT_EQ(module_expression("xml.etree.ElementTree"),
              "__import__('importlib').import_module('xml.etree.ElementTree')");
    EXPECT_EQ(python_string_literal("a'b\\c\n"), "'a\\'b\\\\c\\x0a'");
}

TEST(NormalizeCellCode, UnifiesNewlinesAndTrimsBlankEnds) {
    EXPECT_EQ(normalize_cell_code("\n\n x = 1\r\n y = 2\r\n\n  \n"), "x = 1\ny = 2");
    EXPECT_EQ(normalize_cell_code("a\rb"), "a\nb");
    EXPECT_EQ(normalize_cell_code("   \n\t\n"), "");
    EXPECT_EQ(normalize_cell_code(""), "");
}

TEST(NormalizeCellCode, RemovesOnlySharedIndentation) {
    EXPECT_EQ(normalize_cell_code("    if x:\n        y\n\n    z"), "if x:\n    y\n\nz");
    EXPECT_EQ(normalize_cell_code("x\n    y"), "x\n    y");
    EXPECT_EQ(normalize_cell_code("  %time f()\n  !ls -l\n  x?"), "%time f()\n!ls -l\nx?");
    EXPECT_EQ(normalize_cell_code("\tx\n  y"), "\tx\n  y");  // tabs and spaces share nothing
}

TEST(SourceOffset, CountsLinesAndBytes) {
    const std::string text = "ab\ncd\nef";
    EXPECT_EQ(source_offset(text, 1, 0), 0u);
    EXPECT_EQ(source_offset(text, 2, 1), 4u);
    EXPECT_EQ(source_offset(text, 3, 2), 8u);
    EXPECT_EQ(source_offset(text, 9, 0), text.size());
    EXPECT_EQ(source_offset(text, 3, 99), text.size());
}

TEST(UrlWithoutPassword, DropsOnlyThePassword) {
    EXPECT_EQ(url_without_password("redis://:secret@localhost:6379/0"), "redis://localhost:6379/0");
    EXPECT_EQ(url_without_password("amqp://user:pw@host/vhost"), "amqp://user@host/vhost");
    EXPECT_EQ(url_without_password("redis://user@host"), "redis://user@host");
    EXPECT_EQ(url_without_password("redis://localhost:6379"), "redis://localhost:6379");
    EXPECT_EQ(url_without_password("redis://h/path@x"), "redis://h/path@x");
    EXPECT_EQ(url_without_password("not a url"), "not a url");
}

// Tests of header and cookie string parsing.
#include "header_pairs.hpp"

#include <gtest/gtest.h>

using namespace trelvo::core;

namespace {
std::string bracket(std::string_view value) { return "[" + std::string(value) + "]"; }
}  // namespace

TEST(ParsePairs, SplitsStripsSpacesOnlyAndSkipsEmptyPieces) {
    EXPECT_EQ(parse_pairs("", bracket), Pairs{});
    EXPECT_EQ(parse_pairs(" ;  ; ", bracket), Pairs{});
    EXPECT_EQ(parse_pairs("a=1; b=2;", bracket), (Pairs{{"a", "1"}, {"b", "2"}}));
    // Only the piece's ends lose their spaces; tabs and spaces around "=" stay.
    EXPECT_EQ(parse_pairs("  a = 1 ;\tb=2\t", bracket), (Pairs{{"a ", " 1"}, {"\tb", "2\t"}}));
    EXPECT_EQ(parse_pairs("empty=", bracket), (Pairs{{"empty", ""}}));
}

TEST(ParsePairs, QuotesValuesHoldingSeparatorAndKeepsFirstPosition) {
    EXPECT_EQ(parse_pairs("token=abc==; x=a=b", bracket),
              (Pairs{{"token", "[abc==]"}, {"x", "[a=b]"}}));
    EXPECT_EQ(parse_pairs("a=1; b=2; a=3", bracket), (Pairs{{"a", "3"}, {"b", "2"}}));
}

TEST(ParsePairs, PieceWithoutSeparatorIsAnError) {
    EXPECT_THROW(parse_pairs("a=1; flag", bracket), MissingSeparator);
}

TEST(JoinPairs, FormatsInOrder) {
    Pairs pairs{{"_xsrf", "t0k"}, {"user", "x"}};
    set_pair(pairs, "Cookie", "c");
    set_pair(pairs, "_xsrf", "new");
    EXPECT_EQ(join_pairs(pairs), "_xsrf=new; user=x; Cookie=c");
    EXPECT_EQ(join_pairs({}), "");
}

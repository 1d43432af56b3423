#include "program/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wakelet {
namespace {

TEST(VerboseArgument, OnlyTheWordInAnyAsciiCaseMatches) {
    const struct {
        const char* argument;
        bool verbose;
    } rows[] = {
        {"verbose", true},         {"VERBOSE", true},         {"VeRbOsE", true},   {"verbosE", true},
        {"-verbose", false},       {"/verbose", false},       {"verbose ", false}, {" verbose", false},
        {"verbosex", false},       {"verbos", false},         {"", false},         {"verb ose", false},
        {"v\xC3\xA9rbose", false}, {"VERBOS\xC4\xB0", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsVerboseArgument(std::string_view(row.argument)), row.verbose)
            << '"' << row.argument << '"';
}

TEST(VerboseArgument, OnlyAsciiCapitalsAreLoweredInUtf16) {
    EXPECT_TRUE(IsVerboseArgument(std::u16string_view(u"VERBOSE")));
    // KELVIN SIGN and DOTTED CAPITAL I lower to ASCII letters elsewhere; not here.
    EXPECT_FALSE(IsVerboseArgument(std::u16string_view(u"VERBOS\u0130")));
    EXPECT_FALSE(IsVerboseArgument(std::u16string_view(u"\u212Averbose")));
    // A code unit that only matches when truncated to 8 bits.
    EXPECT_FALSE(IsVerboseArgument(std::u16string_view(u"\u0176erbose")));
}

TEST(SplitCommandLine, FollowsTheOneStringRule) {
    using Args = std::vector<std::string>;
    const struct {
        const char* line;
        Args arguments;
    } rows[] = {
        {"wakelet", {}},
        {"wakelet verbose", {"verbose"}},
        {"  wakelet\t verbose   x  ", {"verbose", "x"}},
        {"\"C:\\Program Files\\wakelet.exe\" verbose", {"verbose"}},
        {"wakelet \"verbose \"", {"verbose "}},
        {"wakelet \"ver\"bose", {"verbose"}},
        {"wakelet ver\"b o\"se x", {"verb ose", "x"}},
        {"wakelet \"verbose", {"verbose"}},     // an open quote runs to the end
        {"wakelet \"\" verbose", {"verbose"}},  // a quote pair before an argument is skipped
        {"wakelet \"\"\"\"verbose", {"verbose"}},
        {"wakelet a \" \" b", {"a", " ", "b"}},
        {"wakelet a \"", {"a"}},  // counting stops at an empty argument
        {"wakelet a \"\"\" b", {"a", " b"}},
        {"wakelet a\\\"b c\\\" d", {"a\\b c\\", "d"}},  // no escape character
        {"wakelet\x01verbose\x1fx\x7f", {"verbose", "x\x7f"}},
        {"wakelet \x80verbose", {"\x80verbose"}},  // codes above 127 are not separators
        {"\"wake let\"verbose more", {"more"}},
        {"", {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SplitCommandLine(std::string_view(row.line)), row.arguments) << row.line;
}

TEST(SplitCommandLine, WorksOnUtf16CodeUnits) {
    EXPECT_EQ(SplitCommandLine(std::u16string_view(u"w.exe \u00e9\u00a0x \"a\u3000b\"")),
              (std::vector<std::u16string>{u"\u00e9\u00a0x", u"a\u3000b"}));
}

}  // namespace
}  // namespace wakelet

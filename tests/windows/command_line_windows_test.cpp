// The Windows entry's command line: one UTF-16 string, split by the program's own rule.
#include <gtest/gtest.h>

#include <string_view>

#include "program/command_line.h"

namespace wakelet {
namespace {

TEST(WindowsCommandLine, FirstArgumentSelectsVerboseMode) {
    const struct {
        const wchar_t* line;
        bool verbose;
    } rows[] = {
        {L"wakelet.exe verbose", true},
        {L"\"C:\\Program Files\\Wakelet\\wakelet.exe\" VERBOSE", true},
        {L"wakelet.exe\tVeRbOsE\tanything", true},
        {L"wakelet.exe \"verbose\"", true},
        {L"wakelet.exe \"ver\"bose", true},
        {L"wakelet.exe \"\" verbose", true},  // the C runtime's rule would see an empty first argument
        {L"wakelet.exe \"\"\"\" \"\" verbose", true},
        {L"wakelet.exe\x01\x1f\r\nverbose", true},  // every code unit up to 32 separates
        {L"wakelet.exe verbose\x7f", false},        // 127 does not
        {L"wakelet.exe \u00a0verbose", false},      // nor a no-break space
        {L"wakelet.exe \u3000verbose", false},      // nor an ideographic space
        {L"wakelet.exe \"verbose \"", false},
        {L"wakelet.exe \" verbose", false},       // an open quote runs to the end
        {L"wakelet.exe \\\"verbose\\\"", false},  // no escape: \verbose\ .
        {L"wakelet.exe -verbose", false},
        {L"wakelet.exe /verbose", false},
        {L"wakelet.exe x verbose", false},
        {L"wakelet.exe \"\t\" verbose", false},
        {L"wakelet.exe \"", false},  // an empty first argument ends the list
        {L"wakelet.exe", false},
        {L"\"wakelet.exe\"verbose", false},  // still the program's name
        {L"", false},
        {L"wakelet.exe VERBOS\u0130", false},  // only A to Z are lowered
        {L"wakelet.exe \u212averbose", false},
        {L"wakelet.exe \u0176erbose", false},  // 'v' only when cut to 8 bits
    };
    for (const auto& row : rows)
        EXPECT_EQ(FirstArgumentIsVerbose(std::wstring_view(row.line)), row.verbose) << '[' << row.line << ']';
}

}  // namespace
}  // namespace wakelet

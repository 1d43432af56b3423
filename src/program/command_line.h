// The command line's one word, and the split of a one-string command line (as Windows
// hands it over) into arguments. Templates over the character type: char on POSIX,
// UTF-16 code units on Windows.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace wakelet {

// True when `argument`, with only ASCII A-Z lowered, is exactly "verbose".
template <class Char>
bool IsVerboseArgument(std::basic_string_view<Char> argument) {
    constexpr char word[] = "verbose";
    if (argument.size() != sizeof word - 1) return false;
    for (std::size_t i = 0; i < argument.size(); ++i) {
        auto c = static_cast<std::make_unsigned_t<Char>>(argument[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<decltype(c)>(c - 'A' + 'a');
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

// Splits `line` into its arguments, without the program's name in front: runs of code
// units of 32 or less separate; a double quote opens a stretch that runs to the next one
// (or the end), blanks inside belong to the argument, and the quotes are dropped; there
// is no escape; pairs of quotes before an argument are skipped; the list ends at the
// first argument that comes out empty.
template <class Char>
std::vector<std::basic_string<Char>> SplitCommandLine(std::basic_string_view<Char> line) {
    std::size_t pos = 0;
    auto at = [&](std::size_t i) -> unsigned long {
        return i < line.size() ? static_cast<std::make_unsigned_t<Char>>(line[i]) : 0;
    };
    auto next = [&] {
        for (;;) {
            while (pos < line.size() && at(pos) <= 32) ++pos;
            if (at(pos) == '"' && at(pos + 1) == '"')
                pos += 2;
            else
                break;
        }
        std::basic_string<Char> argument;
        while (pos < line.size() && at(pos) > 32) {
            if (at(pos) == '"') {
                ++pos;
                while (pos < line.size() && at(pos) != '"') argument += line[pos++];
                if (pos < line.size()) ++pos;
            } else {
                argument += line[pos++];
            }
        }
        return argument;
    };
    next();  // the program's own name
    std::vector<std::basic_string<Char>> arguments;
    for (auto argument = next(); !argument.empty(); argument = next())
        arguments.push_back(std::move(argument));
    return arguments;
}

// Whether the first argument of a one-string command line selects verbose mode.
template <class Char>
bool FirstArgumentIsVerbose(std::basic_string_view<Char> line) {
    auto arguments = SplitCommandLine(line);
    return !arguments.empty() && IsVerboseArgument(std::basic_string_view<Char>(arguments.front()));
}

}  // namespace wakelet
